// Limits and refusals: the element-count rule, and encoder refusals of every
// kind (their texts are pinned through the extension by the Python tests):
// each invalid input is refused while planning, before anything is compressed
// or written, with the error of the first rule it breaks. (Writing a valid
// plan into a short buffer, the canary and the bytes written are the
// roundtrip fuzz harness's checks.)
#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/header.hpp"
#include "vakra/plan.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

const std::string kBad = "Malformed vakra packet", kDims = "Packet exceeds maximum dimensions";

std::string dense(Dtype dtype, std::vector<uint32_t> shape, size_t bytes, size_t alignment = 64) {
  static const Bytes data(64, 7);
  return outcome(plan_dense({ByteView(data).first(bytes), shape, dtype}, {alignment, true, true}));
}

std::string sparse(std::vector<uint32_t> shape, std::vector<DenseView> components) {
  return outcome(plan_sparse(SparseFormat::coo, shape, components));
}

std::string strings(uint32_t count, std::vector<uint64_t> offsets, std::string payload) {
  return outcome(plan_string(count, offsets, {reinterpret_cast<const uint8_t*>(payload.data()), payload.size()}, true));
}

// qint8 [4, 8] with four table entries unless changed; tables are 4 bytes per entry.
std::string quantized(Dtype dtype, std::vector<uint32_t> shape, size_t scales, size_t zero_points, size_t data,
                      size_t alignment = 64) {
  static const Bytes bytes(64, 3);
  const ByteView all(bytes);
  return outcome(plan_quantized({shape, all.first(scales), all.first(zero_points), all.first(data), 0, 1, 0, dtype},
                                {alignment, true, false}));
}

// Out of line: inlined into the table, GCC 12 warns of a moved-from plan it misreads.
[[gnu::noinline]] std::string bundle(size_t entries, ByteView key, ByteView packet) {
  BundlePlan plan;
  for (size_t i = 0; i < entries; ++i) plan.entries.push_back({key, PacketPlan{RawPacket{packet}}});
  return outcome(finish_bundle_plan(plan));
}

TEST(Encode, RefusalsInOrder) {
  const Bytes one(1), eight(8, 1), twelve(12, 1);
  const std::vector<uint32_t> two = {2}, three = {3}, ndim33(33, 1), huge = {100000, 10001};
  const DenseView values{eight, two, Dtype::Float32}, indices{eight, two, Dtype::Int32},
      indptr{twelve, three, Dtype::Int32}, qint4{one, two, Dtype::Qint4}, short_data{one, two, Dtype::Int32};
  // Lengths of 4 GiB cannot be length-prefixed. Such views are refused unread, so nothing backs them:
  // a complex128 component of 2^32 - 64 bytes makes a packet of exactly 4 GiB with its prefix.
  const std::vector<uint32_t> fills_4gib = {268435452};
  const DenseView four_gib_component{{one.data(), (size_t{1} << 32) - 64}, fills_4gib, Dtype::Complex128};
  const ByteView four_gib(one.data(), kMaxPartLength), table_of_2_32(one.data(), size_t{4} << 32);
  const std::vector<uint32_t> shape48 = {4, 8};
  const std::pair<std::string, std::string> cases[] = {
      {dense(Dtype::Float32, two, 8, 48), kBad},
      {dense(Dtype::Uint8, huge, 1), "Packet exceeds maximum elements"},  // before the length
      {dense(Dtype::Qint4, two, 1), "Unsupported or unknown dtype code: 18"},
      {dense(Dtype::Float32, two, 7), kBad},
      {sparse(two, {values, indices}), kBad},
      {sparse(ndim33, {qint4, indices, indptr}), kDims},  // the matrix before its components
      {sparse(two, {values, short_data, qint4}), kBad},  // components in order
      {sparse(two, {values, indices, four_gib_component}), kBad},
      {strings(1, {1, 2}, "ab"), kBad},
      {quantized(Dtype::Quint4, {5}, 0, 0, 2), kBad},  // 5 codes need 3 bytes
      {quantized(Dtype::Int8, ndim33, 16, 12, 32, 48), kBad},  // the alignment first
      {quantized(Dtype::Int8, ndim33, 16, 12, 32), "Unsupported or unknown dtype code: 9"},
      {quantized(Dtype::Qint8, huge, 16, 12, 32), kBad},  // tables before the count
      {quantized(Dtype::Qint8, huge, 16, 16, 0), "Packet exceeds maximum elements"},
      // 2^32 entries would wrap the u32 entry count.
      {outcome(plan_quantized({shape48, table_of_2_32, table_of_2_32, one, 0, 0, 0, Dtype::Qint8}, {})), kBad},
      {bundle(1, four_gib, one), kBad},
      {bundle(1, one, four_gib), kBad},
      {bundle(1, four_gib.first(kMaxPartLength - 1), four_gib.first(kMaxPartLength - 1)), "ok"},
  };
  // (Refusals of one rule alone, each input's first, are rows of test_module_frame.py: 33 dimensions, 2^32 - 1
  // strings, 256 bundle entries.)
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "row " << i;
}

TEST(ElementCount, LimitAndOverflow) {
  constexpr uint32_t kMax = 4294967295u;
  const std::pair<std::vector<uint32_t>, std::string> cases[] = {
      {{}, "1"},
      {{0, 7}, "0"},
      {{1000, 1000, 1000}, "1000000000"},
      {{1000000001}, "Packet exceeds maximum elements"},
      {{100000, 100000, 0}, "0"},  // the intermediate product is not limited
      {{kMax, kMax, kMax, 0}, "Packet exceeds maximum elements"},  // 64-bit overflow at the third step
      {{0, kMax, kMax, kMax}, "0"},
  };
  for (const auto& [shape, expected] : cases) {
    const auto count = element_count(shape);
    EXPECT_EQ(count.ok() ? std::to_string(*count) : outcome(count), expected);
  }
}

// Body lengths: elements times their size, float4 two to a byte along whole
// last dimensions; the codes no type has stay unknown.
TEST(Dtype, BodyLengthsAndUnknownCodes) {
  const std::tuple<Dtype, std::vector<uint32_t>, std::string> cases[] = {
      {Dtype::Float32, {}, "4"},          {Dtype::Complex128, {3}, "48"},
      {Dtype::Float8E4m3fn, {2, 3}, "6"}, {Dtype::Float8E8m0fnu, {}, "1"},
      {Dtype::Float4E2m1fn, {3, 4}, "6"}, {Dtype::Float4E2m1fn, {0, 2}, "0"},
      {Dtype::Float4E2m1fn, {2, 0}, "0"}, {Dtype::Float4E2m1fn, {4, 3}, kBad},
      {Dtype::Float4E2m1fn, {}, kBad},    {Dtype::Float4E2m1fn, {1000000002}, "Packet exceeds maximum elements"},
      {Dtype::Qint4, {2}, "Unsupported or unknown dtype code: 18"},
  };
  for (const auto& [dtype, shape, expected] : cases) {
    const auto length = dense_body_length(dtype, shape);
    EXPECT_EQ(length.ok() ? std::to_string(*length) : outcome(length), expected) << dtype_name(dtype);
  }
  for (unsigned code = 0; code < 256; ++code) {
    const bool unknown = code == 0 || (code > 21 && code < 32) || code > 37;
    EXPECT_EQ(outcome(dtype_from_code(static_cast<uint8_t>(code))),
              unknown ? "Unsupported or unknown dtype code: " + std::to_string(code) : "ok");
  }
  // A dense float4 body of an odd last dimension is refused by the encoder and the decoder alike.
  const Bytes odd = testing::concat(testing::with(testing::dense({3}, Dtype::Uint8), 7, {37}), Bytes(64, 0));
  EXPECT_EQ(outcome(decode(odd)), kBad);
  EXPECT_EQ(outcome(decode(testing::with(testing::dense({4}, Dtype::Uint8), 7, {37}))), "ok");
}

}  // namespace
}  // namespace vakra
