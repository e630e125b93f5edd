// Dense packets: layouts, exact bytes, validation before writing, checksums,
// compressed descriptors and round trips through the decoder.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstring>

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
  Tensor(Dtype d, std::vector<uint32_t> s, int extra_bytes = 0) : dtype(d), shape(std::move(s)) {
    size_t count = 1;
    for (uint32_t dim : shape) count *= dim;
    data.resize(count * element_size(dtype) + extra_bytes);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  }
  DenseView view() const { return {data, shape, dtype}; }
};

// Header, shape, the alignment byte (log2) only off the standard 64, zero padding, body.
TEST(DenseEncode, LayoutAndExactBytes) {
  struct Case { std::vector<uint32_t> shape; size_t alignment, prefix, padding; };
  const Case cases[] = {{{2, 3}, 64, 18, 46},      {{}, 64, 10, 54},  {{1, 2, 1}, 16, 23, 9},
                        {{2, 1}, 1, 19, 0},        {{3}, 128, 15, 113}, {std::vector<uint32_t>(13, 1), 64, 62, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.shape.size() << " dims, alignment " << c.alignment);
    const Tensor t(Dtype::Float32, c.shape);
    const auto layout = dense_layout(t.view(), c.alignment);
    ASSERT_TRUE(layout.ok());
    const bool custom = c.alignment != 64;
    EXPECT_EQ(std::make_tuple(layout->prefix_len, layout->padding, layout->custom_alignment),
              std::make_tuple(c.prefix, c.padding, custom));
    Bytes expected = testing::v4_header(custom ? 0x0080 : 0x0001, 1, c.shape.size());
    for (uint32_t dim : c.shape) testing::append_u32(expected, dim);
    if (custom) expected.push_back(__builtin_ctzll(c.alignment));
    expected.resize(c.prefix + c.padding, 0);
    expected.insert(expected.end(), t.data.begin(), t.data.end());
    EXPECT_EQ(encode_dense(t.view(), {c.alignment, false, false}), expected);
  }
  EXPECT_TRUE(dense_layout(Tensor(Dtype::Float32, std::vector<uint32_t>(32, 1)).view(), 64).ok());
  EXPECT_TRUE(dense_layout(Tensor(Dtype::Qint8, {3}).view(), 64).ok());
}

TEST(DenseEncode, InvalidInputsAreRefusedWhilePlanning) {
  Tensor huge(Dtype::Uint8, {});
  huge.shape = {100000, 10001};  // data stays 1 byte: the count is refused first
  const std::string bad = "Malformed vakra packet";
  const std::tuple<Tensor, size_t, std::string> cases[] = {
      {Tensor(Dtype::Float32, {2}), 0, bad},
      {Tensor(Dtype::Float32, {2}), 48, bad},
      {Tensor(Dtype::Float32, std::vector<uint32_t>(33, 1)), 64, "Packet exceeds maximum dimensions"},
      {huge, 64, "Packet exceeds maximum elements"},
      {Tensor(Dtype::Qint4, {2}), 64, "Unsupported or unknown dtype code: 18"},
      {Tensor(Dtype::String, {2}), 64, "Unsupported or unknown dtype code: 20"},
      {Tensor(Dtype::Float32, {2, 3}, -1), 64, bad},  // one byte short
      {Tensor(Dtype::Float32, {2, 3}, 1), 64, bad},   // one byte long
  };
  for (const auto& [tensor, alignment, expected] : cases) {
    for (const bool compress : {false, true}) {
      SCOPED_TRACE(::testing::Message() << expected << " alignment " << alignment << " compress " << compress);
      EXPECT_EQ(outcome(plan_dense(tensor.view(), {alignment, true, compress})), expected);
    }
  }
}

TEST(DenseEncode, BufferCapacity) {
  const Tensor t(Dtype::Complex64, {3, 2});
  for (const EncodeOptions options : {EncodeOptions{}, EncodeOptions{16, true, false}}) {
    const PacketPlan plan{*plan_dense(t.view(), options)};
    const size_t required = plan.size();
    Bytes small(required - 1, 0xC3), large(required + 16, 0xC3);
    EXPECT_EQ(outcome(write_plan_checked(plan, small)), "Buffer too small");
    EXPECT_EQ(small, Bytes(required - 1, 0xC3));
    EXPECT_EQ(*write_plan_checked(plan, large), required);
    EXPECT_EQ(Bytes(large.begin() + required, large.end()), Bytes(16, 0xC3));
  }
}

// Sizes around the LZ4 block sizes (64 KiB, 256 KiB) and the 128 KiB copy-and-hash chunk.
TEST(DenseEncode, ChecksumAndCompressedDescriptorBySize) {
  const std::pair<uint32_t, uint8_t> cases[] = {{0, 0x40},      {7, 0x40},      {65536, 0x40},
                                                {65537, 0x50},  {131072, 0x50}, {131073, 0x50},
                                                {262144, 0x50}, {262145, 0x70}, {1200004, 0x70}};
  for (const auto& [n, bd] : cases) {
    const Tensor t(Dtype::Uint8, {n});
    for (const bool compress : {false, true}) {
      SCOPED_TRACE(::testing::Message() << n << " compress " << compress);
      const Bytes packet = encode_dense(t.view(), {64, true, compress});
      ASSERT_GE(packet.size(), 72u);
      const ByteView body(packet.data() + 64, packet.size() - 72);
      uint64_t stored;
      std::memcpy(&stored, packet.data() + packet.size() - 8, 8);
      EXPECT_EQ(stored, XXH3_64bits(body.data(), body.size()));  // the body exactly, compressed or not
      if (!compress) {
        EXPECT_TRUE(std::equal(body.begin(), body.end(), t.data.begin(), t.data.end()));
        continue;
      }
      EXPECT_EQ(Bytes(packet.begin() + 5, packet.begin() + 14),
                bytes_of({0x07, 0x00, 5, 1, 0, int(n & 0xFF), int(n >> 8 & 0xFF), int(n >> 16), 0}));
      EXPECT_EQ(Bytes(body.begin(), body.begin() + 6), bytes_of({0x04, 0x22, 0x4D, 0x18, 0x60, bd}));
      EXPECT_EQ(Bytes(body.end() - 4, body.end()), Bytes(4, 0));  // the end mark, no content checksum after it
    }
  }
}

TEST(DenseRoundTrip, EveryDenseDtypeShapeAndOption) {
  const EncodeOptions option_sets[] = {{64, false, false}, {1, true, false}, {16, false, true}, {128, true, true}};
  for (uint8_t code = 1; code <= 15; ++code) {
    for (const std::vector<uint32_t>& shape : {std::vector<uint32_t>{}, {4, 0, 2}, {3, 1, 5}}) {
      const Tensor t(*dtype_from_code(code), shape);
      for (const auto& options : option_sets) {
        SCOPED_TRACE(::testing::Message() << "code " << int(code) << " ndim " << shape.size() << " alignment "
                                          << options.alignment);
        const Bytes packet = encode_dense(t.view(), options);
        const auto owned = decode_dense_to_owned(packet);
        ASSERT_EQ(outcome(owned), "ok");
        const Bytes copy(owned->data.data(), owned->data.data() + owned->data.size());
        EXPECT_EQ(std::make_tuple(owned->dtype, owned->shape, copy), std::make_tuple(t.dtype, t.shape, t.data));
        const auto decoded = decode(ByteView(packet));
        if (options.compress) {
          EXPECT_EQ(outcome(decoded), "compressed dense bodies require an owning decode path");
          continue;
        }
        ASSERT_EQ(outcome(decoded), "ok");
        const auto& dense = std::get<DecodedDense>(decoded->value);
        EXPECT_EQ(std::make_tuple(dense.dtype, dense.shape, dense.data.size()),
                  std::make_tuple(t.dtype, t.shape, t.data.size()));
        // A view in place, at the aligned body offset: nothing was copied.
        EXPECT_EQ(dense.data.data(), packet.data() + dense_layout(t.view(), options.alignment)->body_offset());
      }
    }
  }
}

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
