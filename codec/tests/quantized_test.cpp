// The quantized decoder on packets edited by hand: what the checksum covers,
// table bounds and the alignment byte. (Layouts, refusals and round trips are
// pinned by encode_test, the roundtrip harness and the Python golden packets.)
#include <numeric>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/plan.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

Result<DecodedQuantized> decode_packet(ByteView p) { return decode_quantized(p, *parse_header(p)); }

TEST(QuantizedPacket, DecoderChecksBoundsAndChecksum) {
  // qint8 [4, 8], four table entries, codes counting up.
  const std::vector<uint32_t> shape = {4, 8};
  const Bytes scales(16, 0x10), zero_points(16, 0x40);
  Bytes codes(32);
  std::iota(codes.begin(), codes.end(), uint8_t{0x80});
  const QuantizedView view{shape, scales, zero_points, codes, 0xA1B2C3D4, 2, 255, Dtype::Qint8};
  const Bytes good = testing::encode(plan_quantized(view, {16, true, false}));
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
}

}  // namespace
}  // namespace vakra
