// The dense decoder on packets edited by hand. (Refusals are in encode_test;
// layouts and bytes of every dtype are pinned through the extension by the
// Python tests, frames and checksums by size by the thread pool's tests.)
#include <gtest/gtest.h>


#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/plan.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::encode_dense;
using testing::outcome;
using testing::with;

// An array with a recognisable byte pattern and exactly the right length.
struct Tensor {
  Dtype dtype;
  std::vector<uint32_t> shape;
  Bytes data;
  Tensor(Dtype d, std::vector<uint32_t> s) : dtype(d), shape(std::move(s)) {
    size_t count = 1;
    for (uint32_t dim : shape) count *= dim;
    data.resize(count * element_size(dtype));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  }
  DenseView view() const { return {data, shape, dtype}; }
};

// Decoding packets edited by hand; when one decodes, where its body view starts (8 bytes long).
// Flipped checksummed bytes and changed padding are the roundtrip fuzz harness's business.
TEST(DenseDecode, HandEditedPackets) {
  const Tensor t(Dtype::Int32, {2});
  const Bytes standard = encode_dense(t.view());
  const Bytes byte_aligned = encode_dense(t.view(), {1, false, false});  // alignment byte 0 at 14, body at 15
  const Bytes compressed = encode_dense(t.view(), {64, true, true});
  Bytes v3 = bytes_of({'V', 'K', 'R', 'A', 3, 0x01, 2, 1}), unaligned = byte_aligned, both_flags = byte_aligned;
  testing::append_u32(v3, 2);
  v3.resize(64, 0);
  v3 = testing::concat(v3, t.data);
  unaligned.erase(unaligned.begin() + 14);
  unaligned[5] = 0;
  both_flags[5] = 0x81;  // FLAG_ALIGNED too: the custom 16-byte alignment wins
  both_flags[14] = 4;
  both_flags.insert(both_flags.begin() + 15, 0xEE);
  const std::tuple<const char*, Bytes, std::string, size_t> cases[] = {
      {"version 3", v3, "ok", 64},
      {"reserved byte set", with(standard, 9, 0x77), "ok", 64},
      {"trailing bytes", testing::concat(standard, {0x99}), "ok", 64},
      {"alignment byte 63", with(byte_aligned, 14, 63), "Packet too short", 0},
      {"alignment byte 64", with(byte_aligned, 14, 64), "Malformed vakra packet", 0},
      {"custom alignment wins", both_flags, "ok", 16},
      {"no alignment flag", unaligned, "ok", 14},
      {"dtype 20", with(standard, 7, 20), "Unsupported or unknown dtype code: 20", 0},
      {"33 dimensions", with(standard, 8, 33), "Packet exceeds maximum dimensions", 0},
      {"too many elements", with(with(standard, 8, 2), 17, 0x7F), "Packet exceeds maximum elements", 0},
      {"compressed, trailing byte", testing::concat(compressed, {0}), "Integrity check failed: XXH3 mismatch", 0},
  };
  for (const auto& [name, packet, expected, body_offset] : cases) {
    SCOPED_TRACE(name);
    const auto decoded = decode(ByteView(packet));
    ASSERT_EQ(outcome(decoded), expected);
    const auto owned = decode_dense_to_owned(packet);
    if (!decoded.ok()) {
      // The owning path fails the same way, except where it decompresses.
      if (decoded.error().kind != ErrorKind::Other) {
        EXPECT_EQ(outcome(owned), expected);
      }
      continue;
    }
    const auto& dense = std::get<DecodedDense>(decoded->value);
    EXPECT_EQ(dense.data.data(), packet.data() + body_offset);
    ASSERT_EQ(dense.data.size(), 8u);
    ASSERT_EQ(outcome(owned), "ok");
    EXPECT_TRUE(std::equal(dense.data.begin(), dense.data.end(), owned->data.data(), owned->data.data() + 8));
  }
}

}  // namespace
}  // namespace vakra
