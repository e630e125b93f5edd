#include <xxhash.h>

#include <numeric>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/plan.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

// Owns what a QuantizedView points at.
struct Tensor {
  Dtype dtype;
  std::vector<uint32_t> shape;
  Bytes scales, zero_points, data;
  QuantizedView view() const { return {shape, scales, zero_points, data, 0xA1B2C3D4, 2, 255, dtype}; }
};

// Defaults: qint8 [4, 8] with four scale entries. The codes count up so a wrong slice shows.
Tensor tensor(Dtype dtype = Dtype::Qint8, std::vector<uint32_t> shape = {4, 8}, size_t scales = 16,
              size_t zero_points = 16, size_t data = 32) {
  Tensor t{dtype, shape, Bytes(scales, 0x10), Bytes(zero_points, 0x40), Bytes(data)};
  std::iota(t.data.begin(), t.data.end(), uint8_t{0x80});
  return t;
}

Result<DecodedQuantized> decode_packet(ByteView p) { return decode_quantized(p, *parse_header(p)); }

TEST(QuantizedPacket, GoldenQint8PacketsRoundTrip) {
  const Tensor t = tensor();
  for (bool check : {false, true}) {
    Bytes expected = testing::v4_header(check ? 0x0003 : 0x0001, 16, 2);
    expected.insert(expected.end(), {4, 0, 0, 0, 8, 0, 0, 0});
    expected.insert(expected.end(), {2, 255, 0xD4, 0xC3, 0xB2, 0xA1, 4, 0, 0, 0});  // scheme, axis, group, entries
    for (const Bytes* part : {&t.scales, &t.zero_points}) expected.insert(expected.end(), part->begin(), part->end());
    expected.resize(64, 0);  // padding: the body starts at 64
    expected.insert(expected.end(), t.data.begin(), t.data.end());
    if (check) {  // the two covered ranges, assembled here and hashed in one shot
      Bytes covered(expected.begin() + 18, expected.end());
      covered.erase(covered.begin() + 42, covered.begin() + 46);
      testing::append_u64(expected, XXH3_64bits(covered.data(), covered.size()));
    }
    ASSERT_EQ(expected.size(), check ? 104u : 96u);
    const EncodeOptions options{64, check, true};  // compress is ignored
    const PacketPlan plan{*plan_quantized(t.view(), options)};
    Bytes buffer(expected.size() + 1, 0xCC);
    EXPECT_EQ(*write_plan_checked(plan, buffer), expected.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), expected);
    EXPECT_EQ(buffer.back(), 0xCC);
    auto d = decode_packet(buffer);
    ASSERT_EQ(outcome(d), "ok");
    EXPECT_EQ(std::make_tuple(d->dtype, d->shape, d->axis, d->group_size, d->quant_scheme),
              std::make_tuple(t.dtype, t.shape, 255u, 0xA1B2C3D4u, uint8_t{2}));
    EXPECT_EQ(std::make_tuple(d->scales.data(), d->zero_points.data(), d->data.data(), d->data.size()),
              std::make_tuple(&buffer[28], &buffer[44], &buffer[64], size_t{32}));
  }
}

TEST(QuantizedPacket, LayoutAndRefusalsInOrder) {
  const std::vector<uint32_t> ndim33(33, 1), huge = {100000, 10001};
  const std::string ok = "ok", bad = "Malformed vakra packet";
  struct Case { Tensor tensor; size_t alignment, size, value_bytes; std::string expected; };
  const Case cases[] = {
      {tensor(Dtype::Quint8, {3}, 4, 4, 3), 16, 51, 3, ok},  // tables end at 32, alignment byte, body at 48
      {tensor(Dtype::Quint8, {3}, 4, 4, 3), 1, 36, 3, ok},
      {tensor(Dtype::Quint4, {5}, 0, 0, 5), 64, 67, 3, ok},  // V = ceil(5 / 2); only 3 of the 5 bytes go out
      {tensor(Dtype::Quint4, {5}, 0, 0, 2), 64, 99, 0, bad},
      {tensor(Dtype::Int8, ndim33, 16, 12, 32), 48, 99, 0, bad},
      {tensor(Dtype::Int8, ndim33, 16, 12, 32), 64, 99, 0, "Unsupported or unknown dtype code: 9"},
      {tensor(Dtype::Qint8, ndim33, 16, 12, 32), 64, 99, 0, "Packet exceeds maximum dimensions"},
      {tensor(Dtype::Qint8, huge, 16, 12, 32), 64, 99, 0, bad},
      {tensor(Dtype::Qint8, {4, 8}, 6, 6, 32), 64, 99, 0, bad},
      {tensor(Dtype::Qint8, huge, 16, 16, 0), 64, 99, 0, "Packet exceeds maximum elements"},
      {tensor(), 64, 95, 0, "Buffer too small"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << dtype_name(c.tensor.dtype) << " " << c.alignment << " " << c.expected);
    const EncodeOptions options{c.alignment, false, false};
    const bool planning_fails = c.expected != ok && c.expected != "Buffer too small";
    auto planned = plan_quantized(c.tensor.view(), options);
    EXPECT_EQ(outcome(planned), planning_fails ? c.expected : ok);
    if (!planned.ok()) continue;
    Bytes buffer(c.size + 1, 0xCC);
    const Bytes canary = buffer;
    EXPECT_EQ(outcome(write_plan_checked(PacketPlan{std::move(*planned)}, {buffer.data(), c.size})), c.expected);
    if (c.expected != ok) {
      EXPECT_EQ(buffer, canary);
      continue;
    }
    EXPECT_EQ(buffer[5] | buffer[6] << 8, c.alignment == 64 ? 0x0001 : 0x0080);
    if (c.alignment != 64) {
      EXPECT_EQ(buffer[32], __builtin_ctzll(c.alignment));
    }
    EXPECT_TRUE(std::equal(&buffer[c.size - c.value_bytes], &buffer[c.size], c.tensor.data.begin()));
    EXPECT_EQ(buffer[c.size], 0xCC);
  }
  // 2^32 scale entries would wrap the u32 entry count. Refused unread, so nothing backs the views.
  const Tensor t = tensor();
  const ByteView wrapping_table(t.scales.data(), size_t{4} << 32);
  const QuantizedView wrapping{t.shape, wrapping_table, wrapping_table, t.data, 0, 0, 0, Dtype::Qint8};
  EXPECT_EQ(outcome(plan_quantized(wrapping, {})), "Malformed vakra packet");
}

TEST(QuantizedPacket, DecoderChecksBoundsAndChecksum) {
  const Tensor t = tensor();
  const Bytes good = testing::encode(plan_quantized(t.view(), {16, true, false}));
  // Parameters at 18, scales 28..43, zero points 44..59, alignment byte 60, padding 61..63, body 64..95.
  auto with = [&](size_t at, std::initializer_list<uint8_t> bytes, size_t size = 0) {
    Bytes p = good;
    p.resize(size ? size : p.size());
    std::copy(bytes.begin(), bytes.end(), p.begin() + at);
    return p;
  };
  const std::string mismatch = "Integrity check failed: XXH3 mismatch";
  const std::pair<Bytes, std::string> cases[] = {
      {with(62, {0xEE}), "ok"},  // padding is not covered
      {with(30, {0xEE}), mismatch},  // scale
      {with(21, {0xEE}), mismatch},  // group size
      {with(95, {0xEE}), mismatch},  // body
      {with(24, {0x40, 0x42, 0x0F, 0}, 200), "Packet too short"},  // a million scale entries in 200 bytes
      {with(60, {64}), "Malformed vakra packet"},  // alignment byte
      {with(7, {1}), "Unsupported or unknown dtype code: 1"},  // not a quantized type
  };
  for (const auto& [packet, expected] : cases) EXPECT_EQ(outcome(decode_packet(packet)), expected);
  for (size_t len = 10; len < good.size(); ++len) {  // exact heap copies: the sanitizer sees any overread
    EXPECT_EQ(outcome(decode_packet(Bytes(good.begin(), good.begin() + len))), "Packet too short") << len;
  }
}

}  // namespace
}  // namespace vakra
