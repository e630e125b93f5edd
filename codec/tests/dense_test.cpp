// Dense packets: layouts, exact bytes, validation before writing, checksums,
// compressed descriptors and round trips through the decoder.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstring>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"
#include "vakra/plan.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::outcome;

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

Bytes encode(const DenseView& view, const EncodeOptions& options) {
  const auto size = dense_required_size(view, options);
  EXPECT_TRUE(size.ok()) << outcome(size);
  Bytes out(size.ok() ? *size : 0);
  const auto written = encode_dense_into(view, out, options);
  EXPECT_TRUE(written.ok()) << outcome(written);
  out.resize(written.ok() ? *written : 0);
  return out;
}

Result<Decoded> decode_bytes(const Bytes& packet) { return decode(ByteView(packet)); }

TEST(DenseLayout, WorkedExamples) {
  struct Case {
    size_t ndim, alignment, prefix, padding;
    bool custom;
  };
  const Case cases[] = {
      {2, 64, 18, 46, false}, {0, 64, 10, 54, false}, {3, 16, 23, 9, true},
      {2, 1, 19, 0, true},    {1, 128, 15, 113, true}, {13, 64, 62, 2, false},
  };
  for (const auto& c : cases) {
    const Tensor t(Dtype::Float32, std::vector<uint32_t>(c.ndim, 1));
    const auto layout = dense_layout(t.view(), c.alignment);
    ASSERT_TRUE(layout.ok());
    EXPECT_EQ(layout->prefix_len, c.prefix);
    EXPECT_EQ(layout->padding, c.padding);
    EXPECT_EQ(layout->custom_alignment, c.custom);
  }
}

TEST(DenseEncode, Float64ScalarIs72Bytes) {
  Bytes data(8);
  const double one = 1.0;
  std::memcpy(data.data(), &one, 8);
  Bytes expected = testing::v4_header(0x0001, 3, 0);
  expected.resize(64, 0);
  expected.insert(expected.end(), {0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
  EXPECT_EQ(encode({data, {}, Dtype::Float64}, {}), expected);
}

TEST(DenseEncode, Float32Matrix2x3Is88Bytes) {
  const Tensor t(Dtype::Float32, {2, 3});
  Bytes expected = testing::v4_header(0x0001, 1, 2);
  testing::append_u32(expected, 2);
  testing::append_u32(expected, 3);
  expected.resize(64, 0);
  expected.insert(expected.end(), t.data.begin(), t.data.end());
  EXPECT_EQ(encode(t.view(), {}), expected);
}

TEST(DenseEncode, AlignmentByteFlagsAndBodyOffset) {
  struct Case {
    size_t alignment;
    uint16_t flags;
    int alignment_byte;  // -1: none
    size_t body_offset;
  };
  const Case cases[] = {{1, 0x0080, 0, 15}, {16, 0x0080, 4, 16}, {64, 0x0001, -1, 64}, {128, 0x0080, 7, 128}};
  const Tensor t(Dtype::Int16, {5});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.alignment);
    const Bytes packet = encode(t.view(), {c.alignment, false, false});
    ASSERT_EQ(packet.size(), c.body_offset + t.data.size());
    EXPECT_EQ(packet[5] | packet[6] << 8, c.flags);
    if (c.alignment_byte >= 0) {
      EXPECT_EQ(packet[14], c.alignment_byte);
    }
    for (size_t i = 14 + (c.alignment_byte >= 0); i < c.body_offset; ++i) EXPECT_EQ(packet[i], 0) << i;
    EXPECT_TRUE(std::equal(t.data.begin(), t.data.end(), packet.begin() + c.body_offset));
  }
}

TEST(DenseEncode, InvalidInputsWriteNothing) {
  EXPECT_TRUE(dense_layout(Tensor(Dtype::Float32, std::vector<uint32_t>(32, 1)).view(), 64).ok());
  EXPECT_TRUE(dense_layout(Tensor(Dtype::Qint8, {3}).view(), 64).ok());

  struct Case {
    const char* name;
    Tensor tensor;
    size_t alignment;
    std::string expected;
  };
  Tensor huge(Dtype::Uint8, {});
  huge.shape = {100000, 10001};  // data stays 1 byte: the count is refused first
  const Case cases[] = {
      {"alignment 0", Tensor(Dtype::Float32, {2}), 0, "Malformed vakra packet"},
      {"alignment 3", Tensor(Dtype::Float32, {2}), 3, "Malformed vakra packet"},
      {"alignment 48", Tensor(Dtype::Float32, {2}), 48, "Malformed vakra packet"},
      {"33 dims", Tensor(Dtype::Float32, std::vector<uint32_t>(33, 1)), 64, "Packet exceeds maximum dimensions"},
      {"too many elements", huge, 64, "Packet exceeds maximum elements"},
      {"qint4", Tensor(Dtype::Qint4, {2}), 64, "Unsupported or unknown dtype code: 18"},
      {"quint4", Tensor(Dtype::Quint4, {2}), 64, "Unsupported or unknown dtype code: 19"},
      {"string", Tensor(Dtype::String, {2}), 64, "Unsupported or unknown dtype code: 20"},
      {"bytes", Tensor(Dtype::Bytes, {2}), 64, "Unsupported or unknown dtype code: 21"},
      {"one byte short", Tensor(Dtype::Float32, {2, 3}, -1), 64, "Malformed vakra packet"},
      {"one byte long", Tensor(Dtype::Float32, {2, 3}, 1), 64, "Malformed vakra packet"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool compress : {false, true}) {
      const EncodeOptions options{c.alignment, true, compress};
      EXPECT_EQ(outcome(dense_required_size(c.tensor.view(), options)), c.expected);
      Bytes buffer(4096, 0xA5);
      EXPECT_EQ(outcome(encode_dense_into(c.tensor.view(), buffer, options)), c.expected);
      EXPECT_EQ(buffer, Bytes(4096, 0xA5));
    }
  }
}

TEST(DenseEncode, BufferCapacity) {
  const Tensor t(Dtype::Complex64, {3, 2});
  for (const EncodeOptions options : {EncodeOptions{}, EncodeOptions{16, true, false}}) {
    const size_t required = *dense_required_size(t.view(), options);
    Bytes small(required - 1, 0xC3);
    EXPECT_EQ(outcome(encode_dense_into(t.view(), small, options)), "Buffer too small");
    EXPECT_EQ(small, Bytes(required - 1, 0xC3));

    Bytes large(required + 16, 0xC3);
    const auto written = encode_dense_into(t.view(), large, options);
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(*written, required);
    EXPECT_EQ(Bytes(large.begin() + required, large.end()), Bytes(16, 0xC3));
  }
}

TEST(DenseEncode, ChecksumCoversExactlyTheBody) {
  // Small, one chunk, and bodies spanning several copy-and-hash chunks.
  for (uint32_t n : {0u, 7u, 32768u, 32769u, 300001u}) {
    SCOPED_TRACE(n);
    const Tensor t(Dtype::Float32, {n});
    for (const bool compress : {false, true}) {
      const Bytes packet = encode(t.view(), {64, true, compress});
      ASSERT_GE(packet.size(), 72u);
      const ByteView body(packet.data() + 64, packet.size() - 72);
      if (!compress) {
        EXPECT_TRUE(std::equal(body.begin(), body.end(), t.data.begin(), t.data.end()));
      }
      uint64_t stored;
      std::memcpy(&stored, packet.data() + packet.size() - 8, 8);
      EXPECT_EQ(stored, XXH3_64bits(body.data(), body.size()));
    }
  }
}

TEST(DenseEncode, CompressedDescriptorBySize) {
  const std::pair<uint32_t, uint8_t> cases[] = {
      {0, 0x40}, {65536, 0x40}, {65537, 0x50}, {262144, 0x50}, {262145, 0x70}};
  for (const auto& [n, bd] : cases) {
    SCOPED_TRACE(n);
    const Tensor t(Dtype::Uint8, {n});
    const EncodeOptions options{64, false, true};
    const Bytes packet = encode(t.view(), options);
    EXPECT_LE(packet.size(), *dense_required_size(t.view(), options));
    EXPECT_EQ(packet[5] | packet[6] << 8, 0x0005);
    EXPECT_EQ(Bytes(packet.begin() + 10, packet.begin() + 14), bytes_of({int(n & 0xFF), int(n >> 8 & 0xFF),
                                                                         int(n >> 16), 0}));
    EXPECT_EQ(Bytes(packet.begin() + 64, packet.begin() + 70), bytes_of({0x04, 0x22, 0x4D, 0x18, 0x60, bd}));
    // Last four bytes: the end mark, with no content checksum after it.
    EXPECT_EQ(Bytes(packet.end() - 4, packet.end()), Bytes(4, 0));
  }
}

TEST(DenseRoundTrip, EveryDenseDtypeAndOption) {
  const EncodeOptions option_sets[] = {{64, false, false}, {1, true, false}, {16, false, true}, {128, true, true}};
  for (uint8_t code = 1; code <= 15; ++code) {
    const Tensor t(*dtype_from_code(code), {3, 1, 5});
    for (const auto& options : option_sets) {
      SCOPED_TRACE(::testing::Message() << "code " << int(code) << " alignment " << options.alignment);
      const Bytes packet = encode(t.view(), options);
      const auto owned = decode_dense_to_owned(packet);
      ASSERT_TRUE(owned.ok()) << outcome(owned);
      EXPECT_EQ(owned->dtype, t.dtype);
      EXPECT_EQ(owned->shape, t.shape);
      EXPECT_TRUE(std::equal(t.data.begin(), t.data.end(), owned->data.data(), owned->data.data() + owned->data.size()));
      EXPECT_EQ(owned->data.size(), t.data.size());

      const auto decoded = decode_bytes(packet);
      if (options.compress) {
        EXPECT_EQ(outcome(decoded), "compressed dense bodies require an owning decode path");
        continue;
      }
      ASSERT_TRUE(decoded.ok()) << outcome(decoded);
      const auto& dense = std::get<DecodedDense>(decoded->value);
      EXPECT_EQ(dense.dtype, t.dtype);
      EXPECT_EQ(dense.shape, t.shape);
      // A view in place, at the aligned body offset: nothing was copied.
      EXPECT_EQ(dense.data.data(), packet.data() + dense_layout(t.view(), options.alignment)->body_offset());
    }
  }
}

// Decoding packets edited by hand: each case names the expected outcome and,
// when it decodes, where the body view must start and how long it is.
struct DecodeCase {
  const char* name;
  Bytes packet;
  std::string expected;
  size_t body_offset = 0;
  size_t body_len = 0;
};

Bytes with(Bytes packet, size_t index, uint8_t value) {
  packet[index] = value;
  return packet;
}
Bytes with_flags(Bytes packet, uint16_t flags) { return with(with(std::move(packet), 5, flags & 0xFF), 6, flags >> 8); }

TEST(DenseDecode, HandEditedPackets) {
  const Tensor t(Dtype::Int32, {2});  // 8-byte body
  const Bytes standard = encode(t.view(), {});
  const Bytes byte_aligned = encode(t.view(), {1, false, false});  // alignment byte 0 at 14, body at 15
  const Bytes checked = encode(t.view(), {64, true, false});
  const Bytes compressed = encode(t.view(), {64, true, true});
  Bytes v3 = bytes_of({'V', 'K', 'R', 'A', 3, 0x01, 2, 1});
  testing::append_u32(v3, 2);
  v3.resize(64, 0);
  v3.insert(v3.end(), t.data.begin(), t.data.end());
  Bytes unaligned = byte_aligned;
  unaligned.erase(unaligned.begin() + 14);
  Bytes both_flags = with_flags(with(byte_aligned, 14, 4), 0x0081);  // 16-byte alignment and FLAG_ALIGNED
  both_flags.insert(both_flags.begin() + 15, 0xEE);
  Bytes trailing = standard;
  trailing.push_back(0x99);
  Bytes compressed_tail = compressed;
  compressed_tail.push_back(0);

  const DecodeCase cases[] = {
      {"standard", standard, "ok", 64, 8},
      {"version 3", v3, "ok", 64, 8},
      {"reserved byte set", with(standard, 9, 0x77), "ok", 64, 8},
      {"padding not zero", with(standard, 40, 0xEE), "ok", 64, 8},
      {"trailing bytes", trailing, "ok", 64, 8},
      {"alignment byte 0", byte_aligned, "ok", 15, 8},
      {"alignment byte 63", with(byte_aligned, 14, 63), "Packet too short"},
      {"alignment byte 64", with(byte_aligned, 14, 64), "Malformed vakra packet"},
      {"alignment byte missing", Bytes(byte_aligned.begin(), byte_aligned.begin() + 14), "Packet too short"},
      {"custom alignment wins", both_flags, "ok", 16, 8},
      {"no alignment flag", with_flags(unaligned, 0), "ok", 14, 8},
      {"body one byte short", Bytes(standard.begin(), standard.end() - 1), "Packet too short"},
      {"before the body start", Bytes(standard.begin(), standard.begin() + 20), "Packet too short"},
      {"dtype 0", with(standard, 7, 0), "Unsupported or unknown dtype code: 0"},
      {"dtype 20", with(standard, 7, 20), "Unsupported or unknown dtype code: 20"},
      {"dtype 22", with(standard, 7, 22), "Unsupported or unknown dtype code: 22"},
      {"33 dimensions", with(standard, 8, 33), "Packet exceeds maximum dimensions"},
      {"too many elements", with(with(standard, 8, 2), 17, 0x7F), "Packet exceeds maximum elements"},
      {"checksum", checked, "ok", 64, 8},
      {"checksum, body flipped", with(checked, 66, checked[66] ^ 1), "Integrity check failed: XXH3 mismatch"},
      {"checksum, padding flipped", with(checked, 30, 1), "ok", 64, 8},
      {"checksum missing", Bytes(checked.begin(), checked.end() - 1), "Packet too short"},
      {"compressed", compressed, "compressed dense bodies require an owning decode path"},
      {"compressed, checksum flipped", with(compressed, compressed.size() - 1, compressed.back() ^ 1),
       "Integrity check failed: XXH3 mismatch"},
      {"compressed, trailing byte", compressed_tail, "Integrity check failed: XXH3 mismatch"},
      {"compressed, no room for checksum", Bytes(compressed.begin(), compressed.begin() + 70), "Packet too short"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto decoded = decode_bytes(c.packet);
    ASSERT_EQ(outcome(decoded), c.expected);
    const auto owned = decode_dense_to_owned(c.packet);
    if (!decoded.ok()) {
      // The owning path fails the same way, except where it decompresses.
      if (decoded.error().kind != ErrorKind::Other) {
        EXPECT_EQ(outcome(owned), c.expected);
      }
      continue;
    }
    const auto& dense = std::get<DecodedDense>(decoded->value);
    EXPECT_EQ(dense.data.data(), c.packet.data() + c.body_offset);
    EXPECT_EQ(dense.data.size(), c.body_len);
    ASSERT_TRUE(owned.ok());
    EXPECT_TRUE(std::equal(dense.data.begin(), dense.data.end(), owned->data.data(),
                           owned->data.data() + owned->data.size()));
  }
}

TEST(DenseDecode, ScalarAndEmptyShapes) {
  for (const auto& shape : {std::vector<uint32_t>{}, std::vector<uint32_t>{4, 0, 2}}) {
    const Tensor t(Dtype::Complex128, shape);
    const Bytes packet = encode(t.view(), {64, true, false});
    const auto decoded = decode_bytes(packet);
    ASSERT_TRUE(decoded.ok()) << outcome(decoded);
    const auto& dense = std::get<DecodedDense>(decoded->value);
    EXPECT_EQ(dense.shape, shape);
    EXPECT_EQ(dense.data.size(), shape.empty() ? 16u : 0u);
  }
}

TEST(DenseOwned, ContainersAreNotDense) {
  const Tensor t(Dtype::Float32, {2});
  const Bytes plain = encode(t.view(), {});
  const Bytes compressed = encode(t.view(), {64, false, true});
  // A bundle of one entry, key "a".
  auto bundle_of = [](const Bytes& child) {
    Bytes out = testing::v4_header(0x0010, 0, 1);
    testing::append_u32(out, 1);
    out.push_back('a');
    testing::append_u32(out, static_cast<uint32_t>(child.size()));
    out.insert(out.end(), child.begin(), child.end());
    return out;
  };
  EXPECT_EQ(outcome(decode_dense_to_owned(bundle_of(plain))), "Malformed vakra packet");
  // The refused bundle is read again as a dense packet, whose dtype code is 0.
  EXPECT_EQ(outcome(decode_dense_to_owned(bundle_of(compressed))), "Unsupported or unknown dtype code: 0");
}

}  // namespace
}  // namespace vakra
