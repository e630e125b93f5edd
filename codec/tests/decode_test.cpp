// The dispatcher: kind precedence, the Inline record, bundle and sparse
// bodies, nesting depth, compressed children, and damaged input.
#include <gtest/gtest.h>

#include <memory>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::outcome;

enum Alternative { kDense, kBundle, kSparse, kQuantized, kString, kRagged, kInline };

Bytes dense(std::vector<uint32_t> shape, Dtype dtype = Dtype::Int16, EncodeOptions options = {}) {
  size_t count = 1;
  for (uint32_t d : shape) count *= d;
  Bytes data(count * element_size(dtype));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
  const DenseView view{data, shape, dtype};
  Bytes out(*dense_required_size(view, options));
  out.resize(*encode_dense_into(view, out, options));
  return out;
}

void append_part(Bytes& out, const Bytes& part) {
  testing::append_u32(out, static_cast<uint32_t>(part.size()));
  out.insert(out.end(), part.begin(), part.end());
}

Bytes bundle(const std::vector<std::pair<std::string, Bytes>>& entries, uint16_t flags = 0x0010) {
  Bytes out = testing::v4_header(flags, 0, static_cast<uint8_t>(entries.size()));
  for (const auto& [key, packet] : entries) {
    append_part(out, Bytes(key.begin(), key.end()));
    append_part(out, packet);
  }
  return out;
}

Bytes sparse(uint16_t flags, std::vector<uint32_t> shape, const std::vector<Bytes>& components) {
  Bytes out = testing::v4_header(flags, 0, static_cast<uint8_t>(shape.size()));
  for (uint32_t d : shape) testing::append_u32(out, d);
  for (const auto& c : components) append_part(out, c);
  return out;
}

Bytes inline_packet(uint16_t flags = 0x0400, uint8_t ndim = 0, uint8_t reserved = 1, size_t size = 106) {
  Bytes out = testing::v4_header(flags, 0, ndim, reserved);
  for (size_t i = out.size(); i < size; ++i) out.push_back(static_cast<uint8_t>(i));
  return out;
}

Bytes nested_bundles(int levels) {
  Bytes packet = bundle({});
  for (int i = 0; i < levels; ++i) packet = bundle({{"k", packet}});
  return packet;
}

Result<Decoded> decode_bytes(const Bytes& packet, CompressedBodies mode = CompressedBodies::Refuse) {
  return decode(ByteView(packet), mode);
}

const Bytes kTriple[] = {dense({2}, Dtype::Float64), dense({2}, Dtype::Int32), dense({3}, Dtype::Int32)};
const std::vector<Bytes> kComponents(std::begin(kTriple), std::end(kTriple));

TEST(Decode, HeaderIsReadBeforeTheKind) {
  EXPECT_EQ(outcome(decode_bytes(bytes_of({'V', 'K', 'R', 'A', 4, 0x10, 0}))), "Packet too short");
  EXPECT_EQ(outcome(decode_bytes(bytes_of({'V', 'K', 'R', 'A', 4, 0x10, 0, 0, 0}))), "Packet too short");
  Bytes v5 = bundle({});
  v5[4] = 5;
  EXPECT_EQ(outcome(decode_bytes(v5)), "Unsupported protocol version: 5");
}

TEST(Decode, KindPrecedence) {
  Bytes qint8 = dense({4}, Dtype::Qint8);
  Bytes high_bits = dense({3});
  high_bits[6] = 0xF8;  // bits 11 to 15 mean nothing
  const std::tuple<const char*, Bytes, int> cases[] = {
      {"bundle and string", bundle({}, 0x0110), kBundle},
      {"coo and csr", sparse(0x0028, {2, 3}, kComponents), kSparse},
      {"csc with no matrix dimensions", sparse(0x0040, {}, kComponents), kSparse},
      {"inline and bundle", inline_packet(0x0410), kInline},
      {"dense with bits 11 to 15", high_bits, kDense},
  };
  for (const auto& [name, packet, alternative] : cases) {
    SCOPED_TRACE(name);
    const auto decoded = decode_bytes(packet);
    ASSERT_TRUE(decoded.ok()) << outcome(decoded);
    EXPECT_EQ(static_cast<int>(decoded->value.index()), alternative);
  }
  const std::pair<uint16_t, SparseFormat> formats[] = {
      {0x0028, SparseFormat::coo}, {0x0048, SparseFormat::coo}, {0x0060, SparseFormat::csr},
      {0x0040, SparseFormat::csc}};
  for (const auto& [flags, format] : formats) {
    EXPECT_EQ(std::get<DecodedSparse>(decode_bytes(sparse(flags, {2, 3}, kComponents))->value).format, format);
  }
  // Codes 16 to 19 without a kind bit belong to the quantized decoder, even
  // when the bytes would read as a dense packet.
  const auto quantized = decode_bytes(qint8);
  EXPECT_TRUE(!quantized.ok() || quantized->value.index() != kDense);
  qint8[7] = 20;
  EXPECT_EQ(outcome(decode_bytes(qint8)), "Unsupported or unknown dtype code: 20");
}

TEST(Decode, InlineRecord) {
  const std::pair<const char*, Bytes> failures[] = {
      {"105 bytes", inline_packet(0x0400, 0, 1, 105)},
      {"with checksum flag", inline_packet(0x0402)},
      {"reserved byte 0", inline_packet(0x0400, 0, 0)},
      {"count byte 1", inline_packet(0x0400, 1, 1)},
  };
  EXPECT_EQ(outcome(decode_bytes(failures[0].second)), "Packet too short");
  for (size_t i = 1; i < std::size(failures); ++i) {
    EXPECT_EQ(outcome(decode_bytes(failures[i].second)), "Malformed vakra packet") << failures[i].first;
  }
  for (const Bytes& packet : {inline_packet(0x0405), inline_packet(0x0400, 0, 1, 200)}) {
    const auto decoded = decode_bytes(packet);
    ASSERT_TRUE(decoded.ok()) << outcome(decoded);
    const auto& record = std::get<DecodedInline>(decoded->value).record;
    EXPECT_TRUE(std::equal(record.begin(), record.end(), packet.begin() + 10));
  }
}

TEST(Decode, NestingLimit) {
  const auto deepest = decode_bytes(nested_bundles(64));
  ASSERT_TRUE(deepest.ok());
  const Decoded* node = &*deepest;
  for (int level = 0; level < 64; ++level) node = &std::get<DecodedBundle>(node->value).entries.at(0).value;
  EXPECT_TRUE(std::get<DecodedBundle>(node->value).entries.empty());
  EXPECT_EQ(outcome(decode_bytes(nested_bundles(65))), "Malformed vakra packet");
  EXPECT_EQ(outcome(decode_depth(ByteView(bundle({})), 65)), "Malformed vakra packet");
}

TEST(Decode, BundleEntries) {
  const Bytes child = dense({3});
  const auto decoded = decode_bytes(bundle({{"x", child}, {"", bundle({})}, {"x", child}, {"\xC3\xA9\xF0\x9F\x98\x80", child}}));
  ASSERT_TRUE(decoded.ok()) << outcome(decoded);
  const auto& entries = std::get<DecodedBundle>(decoded->value).entries;
  ASSERT_EQ(entries.size(), 4u);
  const char* keys[] = {"x", "", "x", "\xC3\xA9\xF0\x9F\x98\x80"};
  const int kinds[] = {kDense, kBundle, kDense, kDense};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(entries[i].key, keys[i]);
    EXPECT_EQ(static_cast<int>(entries[i].value.value.index()), kinds[i]);
  }
  EXPECT_EQ(std::get<DecodedDense>(entries[0].value.value).shape, std::vector<uint32_t>{3});

  // Version 3 header: count at offset 7, first key length at 8.
  Bytes v3 = bytes_of({'V', 'K', 'R', 'A', 3, 0x10, 0, 1});
  append_part(v3, bytes_of({'k'}));
  append_part(v3, child);
  ASSERT_TRUE(decode_bytes(v3).ok());
  EXPECT_EQ(std::get<DecodedBundle>(decode_bytes(v3)->value).entries.at(0).key, "k");

  Bytes empty_with_tail = bundle({});
  empty_with_tail.insert(empty_with_tail.end(), 5, 0xFF);
  EXPECT_TRUE(std::get<DecodedBundle>(decode_bytes(empty_with_tail)->value).entries.empty());
}

TEST(Decode, BundleKeysMustBeUtf8) {
  const char* invalid[] = {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "a\x80", "\xF8\x88\x80\x80\x80"};
  for (const char* key : invalid) {
    EXPECT_EQ(outcome(decode_bytes(bundle({{key, dense({1})}}))), "Malformed vakra packet") << key;
  }
  const char* valid[] = {"plain", "\x7F", "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xF4\x8F\xBF\xBF"};
  for (const char* key : valid) EXPECT_TRUE(decode_bytes(bundle({{key, dense({1})}})).ok()) << key;
}

TEST(Decode, TruncatedContainersAreTooShort) {
  const Bytes packets[] = {bundle({{"first", dense({2})}, {"second", bundle({})}}),
                           sparse(0x0020, {2, 3}, kComponents)};
  for (const Bytes& packet : packets) {
    ASSERT_TRUE(decode_bytes(packet).ok());
    for (size_t len = 0; len < packet.size(); ++len) {
      EXPECT_EQ(outcome(decode(ByteView(packet.data(), len))), "Packet too short") << len;
    }
  }
  Bytes short_count = bundle({{"a", dense({1})}, {"b", dense({1})}});
  short_count[8] = 3;
  EXPECT_EQ(outcome(decode_bytes(short_count)), "Packet too short");
}

TEST(Decode, ChildErrorsComeBackUnchanged) {
  Bytes bad_magic = kTriple[2];
  bad_magic[0] = 'X';
  Bytes version7 = dense({1});
  version7[4] = 7;
  Bytes bad_dtype = dense({1});
  bad_dtype[7] = 22;
  const std::pair<Bytes, std::string> cases[] = {
      {sparse(0x0008, {2, 3}, {kTriple[0], kTriple[1], bad_magic}), "Invalid vakra packet"},
      {bundle({{"a", dense({1})}, {"b", version7}}), "Unsupported protocol version: 7"},
      {bundle({{"deep", bundle({{"deeper", bad_dtype}})}}), "Unsupported or unknown dtype code: 22"},
  };
  for (const auto& [packet, expected] : cases) EXPECT_EQ(outcome(decode_bytes(packet)), expected);
}

TEST(Decode, CompressedChildrenRefusedOrViewed) {
  const Bytes compressed = dense({40}, Dtype::Float32, {64, true, true});
  const Bytes packets[] = {bundle({{"c", compressed}}), sparse(0x0008, {40}, {compressed, kTriple[1], kTriple[2]})};
  for (const Bytes& packet : packets) {
    EXPECT_EQ(outcome(decode_bytes(packet)), "compressed dense bodies require an owning decode path");
    const auto viewed = decode_bytes(packet, CompressedBodies::View);
    ASSERT_TRUE(viewed.ok()) << outcome(viewed);
    const Decoded& child = std::holds_alternative<DecodedBundle>(viewed->value)
                               ? std::get<DecodedBundle>(viewed->value).entries.at(0).value
                               : std::get<DecodedSparse>(viewed->value).components.at(0);
    const auto& body = std::get<DecodedDense>(child.value);
    EXPECT_TRUE(body.compressed);
    EXPECT_EQ(body.shape, std::vector<uint32_t>{40});
    // The view is the frame: from the child's body start to its checksum.
    const uint8_t* child_start = &*std::search(packet.begin(), packet.end(), compressed.begin(), compressed.end());
    EXPECT_EQ(body.data.data(), child_start + 64);
    EXPECT_EQ(body.data.size(), compressed.size() - 64 - 8);
    Bytes frame(body.data.begin(), body.data.end());
    Bytes out(160);
    EXPECT_TRUE(lz4_decompress_frame_into(frame, out).ok());
  }
}

// Every prefix and many single-byte corruptions of valid packets: decoding
// must fail cleanly or succeed with views inside the input. Each input is an
// exactly-sized heap copy so that the sanitizer build catches any overread.
TEST(Decode, DamagedPacketsFailCleanly) {
  const Bytes packets[] = {
      dense({5}, Dtype::Float32, {64, true, false}),
      dense({300}, Dtype::Int16, {16, true, true}),
      bundle({{"m", sparse(0x0020, {2, 3}, kComponents)}, {"d", dense({2, 2}, Dtype::Uint8, {1, false, false})}}),
      inline_packet(),
  };
  auto check = [](const Bytes& source, size_t len) {
    const auto copy = std::make_unique<uint8_t[]>(len);
    std::copy(source.begin(), source.begin() + len, copy.get());
    const ByteView input(copy.get(), len);
    for (const auto mode : {CompressedBodies::Refuse, CompressedBodies::View}) {
      const auto decoded = decode(input, mode);
      if (!decoded.ok()) {
        EXPECT_FALSE(error_message(decoded.error()).empty());
      } else if (const auto* d = std::get_if<DecodedDense>(&decoded->value)) {
        EXPECT_TRUE(d->data.empty() || (d->data.data() >= input.data() &&
                                        d->data.data() + d->data.size() <= input.data() + input.size()));
      }
    }
    const auto owned = decode_dense_to_owned(input);
    if (!owned.ok()) {
      EXPECT_FALSE(error_message(owned.error()).empty());
    }
  };
  for (const Bytes& packet : packets) {
    for (size_t len = 0; len <= packet.size(); ++len) check(packet, len);
    for (size_t i = 0; i < packet.size(); ++i) {
      for (const uint8_t value : {uint8_t(packet[i] ^ 0x01), uint8_t(packet[i] ^ 0x80), uint8_t{0}, uint8_t{0xFF}}) {
        Bytes damaged = packet;
        damaged[i] = value;
        check(damaged, damaged.size());
      }
    }
  }
}

}  // namespace
}  // namespace vakra
