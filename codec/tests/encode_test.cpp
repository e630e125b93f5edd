// Encoder refusals of every kind: each invalid input is refused while
// planning, before anything is compressed or written, with the error of the
// first rule it breaks. (Writing a valid plan into a short buffer, the
// canary and the bytes written are the roundtrip fuzz harness's checks.)
#include <functional>

#include "test_bytes.hpp"
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

std::string bundle(size_t entries, ByteView key, ByteView packet) {
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
  const std::pair<std::function<std::string()>, std::string> cases[] = {
      {[&] { return dense(Dtype::Float32, two, 8, 0); }, kBad},
      {[&] { return dense(Dtype::Float32, two, 8, 48); }, kBad},
      {[&] { return dense(Dtype::Float32, ndim33, 4); }, kDims},
      {[&] { return dense(Dtype::Uint8, huge, 1); }, "Packet exceeds maximum elements"},  // before the length
      {[&] { return dense(Dtype::Qint4, two, 1); }, "Unsupported or unknown dtype code: 18"},
      {[&] { return dense(Dtype::String, two, 8); }, "Unsupported or unknown dtype code: 20"},
      {[&] { return dense(Dtype::Float32, two, 7); }, kBad},
      {[&] { return dense(Dtype::Float32, two, 9); }, kBad},
      {[&] { return sparse(two, {values, indices}); }, kBad},
      {[&] { return sparse(two, {values, indices, indptr, indptr}); }, kBad},
      {[&] { return sparse(ndim33, {qint4, indices, indptr}); }, kDims},  // the matrix before its components
      {[&] { return sparse(two, {values, qint4, indptr}); }, "Unsupported or unknown dtype code: 18"},
      {[&] { return sparse(two, {values, short_data, qint4}); }, kBad},  // components in order
      {[&] { return sparse(two, {values, indices, four_gib_component}); }, kBad},
      {[&] { return strings(1, {1, 2}, "ab"); }, kBad},
      {[&] { return strings(2, {0, 3, 2}, "abc"); }, kBad},
      {[&] { return strings(1, {0, 2}, "abc"); }, kBad},
      {[&] { return strings(1, {0, 1, 2}, "ab"); }, kBad},
      {[&] { return strings(0xFFFFFFFF, {0}, ""); }, kBad},
      {[&] { return quantized(Dtype::Quint4, {5}, 0, 0, 2); }, kBad},  // 5 codes need 3 bytes
      {[&] { return quantized(Dtype::Int8, ndim33, 16, 12, 32, 48); }, kBad},  // the alignment first
      {[&] { return quantized(Dtype::Int8, ndim33, 16, 12, 32); }, "Unsupported or unknown dtype code: 9"},
      {[&] { return quantized(Dtype::Qint8, ndim33, 16, 12, 32); }, kDims},
      {[&] { return quantized(Dtype::Qint8, huge, 16, 12, 32); }, kBad},  // tables before the count
      {[&] { return quantized(Dtype::Qint8, shape48, 6, 6, 32); }, kBad},
      {[&] { return quantized(Dtype::Qint8, huge, 16, 16, 0); }, "Packet exceeds maximum elements"},
      {[&] {  // 2^32 entries would wrap the u32 entry count
         return outcome(plan_quantized({shape48, table_of_2_32, table_of_2_32, one, 0, 0, 0, Dtype::Qint8}, {}));
       }, kBad},
      {[&] { return bundle(256, one, one); }, error_message(make_error(ErrorKind::TooManyBundleEntries))},
      {[&] { return bundle(1, four_gib, one); }, kBad},
      {[&] { return bundle(1, one, four_gib); }, kBad},
      {[&] { return bundle(1, four_gib.first(kMaxPartLength - 1), four_gib.first(kMaxPartLength - 1)); }, "ok"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first(), cases[i].second) << "row " << i;
}

}  // namespace
}  // namespace vakra
