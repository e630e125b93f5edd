// The dispatcher: kind precedence, the Inline record, bundle and sparse
// bodies, nesting depth, compressed children, and damaged input.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"

namespace vakra {
namespace {

using testing::append_part;
using testing::Bytes;
using testing::bytes_of;
using testing::outcome;
using testing::with;

enum Alternative { kDense, kBundle, kSparse, kQuantized, kString, kRagged, kInline };

Bytes dense(std::vector<uint32_t> shape, Dtype dtype = Dtype::Int16, EncodeOptions options = {}) {
  Bytes data(std::accumulate(shape.begin(), shape.end(), size_t{1}, std::multiplies<>()) * element_size(dtype));
  std::iota(data.begin(), data.end(), uint8_t{1});
  return testing::encode_dense({data, shape, dtype}, options);
}

Bytes bundle(const std::vector<std::pair<std::string, Bytes>>& entries, uint16_t flags = 0x0010) {
  return testing::bundle_packet(entries, flags);
}

Bytes sparse(uint16_t flags, std::vector<uint32_t> shape, const std::vector<Bytes>& components) {
  return testing::sparse_packet(flags, shape, components);
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

Bytes int32_array(std::vector<int32_t> values) {
  return testing::encode_dense({{reinterpret_cast<const uint8_t*>(values.data()), 4 * values.size()},
                                std::vector<uint32_t>{static_cast<uint32_t>(values.size())}, Dtype::Int32});
}

// Values, indices and indptr of a sound 2 x 3 csr matrix (a 3 x 2 csc one).
const Bytes kTriple[] = {dense({2}, Dtype::Float64), int32_array({2, 0}), int32_array({0, 1, 2})};
const std::vector<Bytes> kComponents(std::begin(kTriple), std::end(kTriple));

TEST(Decode, KindPrecedence) {
  const Bytes high_bits = with(dense({3}), 6, 0xF8);  // bits 11 to 15 mean nothing
  const std::tuple<const char*, Bytes, int> cases[] = {
      {"bundle and string", bundle({}, 0x0110), kBundle},
      {"inline and bundle", inline_packet(0x0410), kInline},
      {"dense with bits 11 to 15", high_bits, kDense},
  };
  for (const auto& [name, packet, alternative] : cases) {
    const auto decoded = decode(packet);
    ASSERT_EQ(outcome(decoded), "ok") << name;
    EXPECT_EQ(static_cast<int>(decoded->value.index()), alternative) << name;
  }
  // coo over csr over csc; a csc packet may have no matrix dimensions.
  const std::tuple<uint16_t, std::vector<uint32_t>, SparseFormat> formats[] = {
      {0x0028, {2, 3}, SparseFormat::coo}, {0x0048, {2, 3}, SparseFormat::coo},
      {0x0060, {2, 3}, SparseFormat::csr}, {0x0040, {}, SparseFormat::csc}};
  for (const auto& [flags, shape, format] : formats) {
    EXPECT_EQ(std::get<DecodedSparse>(decode(sparse(flags, shape, kComponents))->value).format, format);
  }
  // Codes 16 to 19 without a kind bit belong to the quantized decoder, even
  // when the bytes would read as a dense packet.
  const auto quantized = decode(dense({4}, Dtype::Qint8));
  EXPECT_TRUE(!quantized.ok() || quantized->value.index() != kDense);
}

// Exact refusals: the header is read before the kind, the Inline record's
// rules, the nesting limit, and child errors that come back unchanged.
TEST(Decode, Refusals) {
  const std::string bad = "Malformed vakra packet", short_ = "Packet too short";
  Bytes short_count = bundle({{"a", dense({1})}, {"b", dense({1})}});
  short_count[8] = 3;
  const std::pair<Bytes, std::string> cases[] = {
      {bytes_of({'V', 'K', 'R', 'A', 4, 0x10, 0}), short_},
      {bytes_of({'V', 'K', 'R', 'A', 4, 0x10, 0, 0, 0}), short_},
      {with(bundle({}), 4, 5), "Unsupported protocol version: 5"},
      {with(dense({4}, Dtype::Qint8), 7, 20), "Unsupported or unknown dtype code: 20"},
      {inline_packet(0x0400, 0, 1, 105), short_},
      {inline_packet(0x0402), bad},  // with the checksum flag
      {inline_packet(0x0400, 0, 0), bad},  // reserved byte 0
      {inline_packet(0x0400, 1, 1), bad},  // count byte 1
      {nested_bundles(65), bad},
      {short_count, short_},
      {sparse(0x0008, {2, 3}, {kTriple[0], kTriple[1], with(kTriple[2], 0, 'X')}), "Invalid vakra packet"},
      {bundle({{"a", dense({1})}, {"b", with(dense({1}), 4, 7)}}), "Unsupported protocol version: 7"},
      {bundle({{"deep", bundle({{"deeper", with(dense({1}), 7, 22)}})}}), "Unsupported or unknown dtype code: 22"},
  };
  for (const auto& [packet, expected] : cases) EXPECT_EQ(outcome(decode(packet)), expected);
  EXPECT_EQ(outcome(decode_depth(ByteView(bundle({})), 65)), bad);
  // The owning path refuses containers; a bundle whose first entry is compressed
  // is read again as a dense packet, whose dtype code is 0.
  EXPECT_EQ(outcome(decode_dense_to_owned(bundle({{"a", dense({2})}}))), bad);
  EXPECT_EQ(outcome(decode_dense_to_owned(bundle({{"a", dense({2}, Dtype::Float32, {64, false, true})}}))),
            "Unsupported or unknown dtype code: 0");
}

TEST(Decode, InlineRecordAndNesting) {
  for (const Bytes& packet : {inline_packet(0x0405), inline_packet(0x0400, 0, 1, 200)}) {
    const auto decoded = decode(packet);
    ASSERT_EQ(outcome(decoded), "ok");
    const auto& record = std::get<DecodedInline>(decoded->value).record;
    EXPECT_TRUE(std::equal(record.begin(), record.end(), packet.begin() + 10));
  }
  const auto deepest = decode(nested_bundles(64));
  ASSERT_TRUE(deepest.ok());
  const Decoded* node = &*deepest;
  for (int level = 0; level < 64; ++level) node = &std::get<DecodedBundle>(node->value).entries.at(0).value;
  EXPECT_TRUE(std::get<DecodedBundle>(node->value).entries.empty());
}

TEST(Decode, BundleEntries) {
  const Bytes child = dense({3});
  const char* keys[] = {"x", "", "x", "\xC3\xA9\xF0\x9F\x98\x80"};
  const auto decoded = decode(bundle({{keys[0], child}, {keys[1], bundle({})}, {keys[2], child}, {keys[3], child}}));
  ASSERT_EQ(outcome(decoded), "ok");
  const auto& entries = std::get<DecodedBundle>(decoded->value).entries;
  ASSERT_EQ(entries.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(entries[i].key, keys[i]);
    EXPECT_EQ(static_cast<int>(entries[i].value.value.index()), i == 1 ? kBundle : kDense);
  }
  EXPECT_EQ(std::get<DecodedDense>(entries[0].value.value).shape, std::vector<uint32_t>{3});

  Bytes v3 = bytes_of({'V', 'K', 'R', 'A', 3, 0x10, 0, 1});  // version 3: count at offset 7, first key length at 8
  append_part(v3, bytes_of({'k'}));
  append_part(v3, child);
  EXPECT_EQ(std::get<DecodedBundle>(decode(v3)->value).entries.at(0).key, "k");
  Bytes empty_with_tail = bundle({});
  empty_with_tail.insert(empty_with_tail.end(), 5, 0xFF);
  EXPECT_TRUE(std::get<DecodedBundle>(decode(empty_with_tail)->value).entries.empty());
}

TEST(Decode, BundleKeysMustBeUtf8) {
  for (const char* key :
       {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "a\x80", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_EQ(outcome(decode(bundle({{key, dense({1})}}))), "Malformed vakra packet") << key;
  }
  for (const char* key : {"plain", "\x7F", "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_EQ(outcome(decode(bundle({{key, dense({1})}}))), "ok") << key;
  }
}

TEST(Decode, CompressedChildrenRefusedOrViewed) {
  const Bytes compressed = dense({40}, Dtype::Float32, {64, true, true});
  const Bytes packets[] = {bundle({{"c", compressed}}), sparse(0x0008, {40}, {compressed, kTriple[1], kTriple[2]})};
  for (const Bytes& packet : packets) {
    EXPECT_EQ(outcome(decode(packet)), "compressed dense bodies require an owning decode path");
    const auto viewed = decode(packet, CompressedBodies::View);
    ASSERT_EQ(outcome(viewed), "ok");
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
    Bytes out(160);
    EXPECT_TRUE(lz4_decompress_frame_into(body.data, out).ok());
  }
}

// Prefixes shorter than the packet (or, compressed, than its body start plus
// checksum) are too short; every prefix and many single-byte corruptions fail
// cleanly or succeed with views inside the input. Each input is an
// exactly-sized heap copy so that the sanitizer build catches any overread.
TEST(Decode, TruncatedAndDamagedPackets) {
  const Bytes packets[] = {
      dense({5}, Dtype::Float32, {16, true, false}),
      sparse(0x0020, {2, 3}, kComponents),
      bundle({{"m", sparse(0x0020, {2, 3}, kComponents)}, {"d", dense({2, 2}, Dtype::Uint8, {1, false, false})}}),
      inline_packet(),
      dense({300}, Dtype::Int16, {16, true, true}),
  };
  const size_t too_short_below[] = {packets[0].size(), packets[1].size(), packets[2].size(), 106, 16 + 8};
  auto check = [](const Bytes& source, size_t len, bool too_short) {
    const auto copy = std::make_unique<uint8_t[]>(len);
    std::copy(source.begin(), source.begin() + len, copy.get());
    const ByteView input(copy.get(), len);
    for (const auto mode : {CompressedBodies::Refuse, CompressedBodies::View}) {
      const auto decoded = decode(input, mode);
      EXPECT_TRUE(!too_short || outcome(decoded) == "Packet too short") << len;
      const auto* d = decoded.ok() ? std::get_if<DecodedDense>(&decoded->value) : nullptr;
      if (d && !d->data.empty()) {
        EXPECT_TRUE(d->data.data() >= input.data() && d->data.data() + d->data.size() <= input.data() + input.size());
      }
    }
    (void)decode_dense_to_owned(input);  // the sanitizer build watches this reader too
  };
  for (size_t p = 0; p < std::size(packets); ++p) {
    const Bytes& packet = packets[p];
    for (size_t len = 0; len <= packet.size(); ++len) check(packet, len, len < too_short_below[p]);
    for (size_t i = 0; i < packet.size(); ++i) {
      for (const int value : {packet[i] ^ 0x01, packet[i] ^ 0x80, 0, 0xFF}) {
        check(with(packet, i, value), packet.size(), false);
      }
    }
  }
}

}  // namespace
}  // namespace vakra
