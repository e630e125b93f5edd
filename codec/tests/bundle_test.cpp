#include <string>
#include <vector>

#include "test_bytes.hpp"
#include "vakra/bundle.hpp"
#include "vakra/header.hpp"

namespace vakra {
namespace {

using testing::append_u32;
using testing::Bytes;
using testing::outcome;

ByteView text(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(BundleEncode, GoldenFraming) {
  const std::string a = "a", empty, weights = "weights";
  const Bytes packet74(74, 0x7E), packet3 = {1, 2, 3};
  struct Case {
    const char* name;
    std::vector<BundleEntry> entries;
    Bytes expected_body;  // everything after the header
  };
  auto entry_bytes = [](const std::string& key, const Bytes& packet) {
    Bytes out;
    append_u32(out, static_cast<uint32_t>(key.size()));
    out.insert(out.end(), key.begin(), key.end());
    append_u32(out, static_cast<uint32_t>(packet.size()));
    out.insert(out.end(), packet.begin(), packet.end());
    return out;
  };
  auto concat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"one 74-byte packet", {{text(a), packet74}}, entry_bytes(a, packet74)},
      {"order kept, empty key and duplicates carried",
       {{text(weights), packet3}, {text(empty), {}}, {text(weights), packet74}},
       concat({entry_bytes(weights, packet3), entry_bytes(empty, {}), entry_bytes(weights, packet74)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes expected = testing::v4_header(FLAG_BUNDLE, 0, static_cast<uint8_t>(c.entries.size()));
    expected.insert(expected.end(), c.expected_body.begin(), c.expected_body.end());
    ASSERT_EQ(*bundle_required_size(c.entries), expected.size());
    Bytes buffer(expected.size() + 3, 0xB7);
    auto written = encode_bundle_into(c.entries, buffer);
    ASSERT_EQ(outcome(written), "ok");
    EXPECT_EQ(*written, expected.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + expected.size()), expected);
    EXPECT_EQ(Bytes(buffer.begin() + expected.size(), buffer.end()), Bytes(3, 0xB7));
  }
  EXPECT_EQ(*bundle_required_size(std::vector<BundleEntry>{}), 10u);
  EXPECT_EQ(*bundle_required_size(std::vector<BundleEntry>{{text(a), packet74}}), 93u);
}

TEST(BundleEncode, EntryCountLimit) {
  const std::string key = "k";
  const Bytes packet = {9};
  for (size_t count : {size_t{255}, size_t{256}}) {
    SCOPED_TRACE(count);
    const std::vector<BundleEntry> entries(count, BundleEntry{text(key), packet});
    const size_t size = 10 + count * (8 + 1 + 1);
    const Bytes canary(size, 0x44);
    Bytes buffer = canary;
    auto written = encode_bundle_into(entries, buffer);
    if (count == 255) {
      ASSERT_EQ(outcome(written), "ok");
      EXPECT_EQ(*written, size);
      EXPECT_EQ(buffer[8], 255);
      EXPECT_EQ(buffer[size - 1], 9);
    } else {
      EXPECT_EQ(outcome(written), error_message(make_error(ErrorKind::TooManyBundleEntries)));
      EXPECT_EQ(outcome(bundle_required_size(entries)), outcome(written));
      EXPECT_EQ(buffer, canary);
    }
  }
}

TEST(BundleEncode, RefusesBeforeWriting) {
  const std::string key = "key";
  const Bytes packet(20, 0x11);
  // Lengths of 4 GiB cannot be framed; the views are never read, so they need no memory behind them.
  const ByteView four_gib_key(packet.data(), kMaxPartLength);
  const ByteView four_gib_packet(packet.data(), kMaxPartLength);
  struct Case {
    const char* name;
    std::vector<BundleEntry> entries;
    size_t buffer_len;
    std::string expected;
  };
  const Case cases[] = {
      {"buffer one byte short", {{text(key), packet}}, 10 + 8 + 3 + 20 - 1, "Buffer too small"},
      {"empty bundle in 9 bytes", {}, 9, "Buffer too small"},
      {"4 GiB key", {{text(key), packet}, {four_gib_key, packet}}, 64, "Malformed vakra packet"},
      {"4 GiB packet", {{text(key), four_gib_packet}}, 64, "Malformed vakra packet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes canary(c.buffer_len, 0x44);
    Bytes buffer = canary;
    EXPECT_EQ(outcome(encode_bundle_into(c.entries, buffer)), c.expected);
    EXPECT_EQ(buffer, canary);
  }
  // One byte less is representable.
  const ByteView largest(packet.data(), kMaxPartLength - 1);
  EXPECT_EQ(*bundle_required_size(std::vector<BundleEntry>{{largest, largest}}), 10 + 8 + 2 * (kMaxPartLength - 1));
}

}  // namespace
}  // namespace vakra
