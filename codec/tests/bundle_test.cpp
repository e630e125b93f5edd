#include "test_bytes.hpp"
#include "vakra/bundle.hpp"
#include "vakra/header.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

TEST(BundleEncode, FramesEntriesInOrderAndRefusesUnwritten) {
  const Bytes key_a = {'a'}, packet74(74, 0x7E), packet1 = {9};
  const BundleEntry a74{key_a, packet74}, empty_key{{}, packet1}, k1{key_a, packet1};
  // Lengths of 4 GiB cannot be framed; these views are refused unread, so nothing backs them.
  const ByteView four_gib(packet74.data(), kMaxPartLength);
  const std::string too_many = error_message(make_error(ErrorKind::TooManyBundleEntries));
  struct Case { const char* name; std::vector<BundleEntry> entries; size_t buffer; std::string expected; };
  const Case cases[] = {
      {"empty", {}, 10, "ok"},
      {"one 74-byte packet", {a74}, 93, "ok"},
      {"empty key, duplicate keys", {a74, empty_key, a74}, 10 + 83 + 9 + 83, "ok"},
      {"255 entries", std::vector<BundleEntry>(255, k1), 10 + 255 * 10, "ok"},
      {"256 entries", std::vector<BundleEntry>(256, k1), 10 + 256 * 10, too_many},
      {"buffer one byte short", {a74}, 92, "Buffer too small"},
      {"4 GiB key", {a74, {four_gib, packet1}}, 200, "Malformed vakra packet"},
      {"4 GiB packet", {{key_a, four_gib}}, 200, "Malformed vakra packet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer(c.buffer + 1, 0x44);
    const Bytes canary = buffer;
    EXPECT_EQ(outcome(encode_bundle_into(c.entries, {buffer.data(), c.buffer})), c.expected);
    if (c.expected != "ok") {
      EXPECT_EQ(buffer, canary);
      continue;
    }
    Bytes expected = testing::v4_header(FLAG_BUNDLE, 0, static_cast<uint8_t>(c.entries.size()));
    for (const BundleEntry& e : c.entries) {
      testing::append_part(expected, Bytes(e.key.begin(), e.key.end()));
      testing::append_part(expected, Bytes(e.packet.begin(), e.packet.end()));
    }
    expected.push_back(0x44);  // the byte after the packet is left alone
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(*bundle_required_size(c.entries), c.buffer);
  }
  const ByteView largest(packet74.data(), kMaxPartLength - 1);  // one byte less is representable
  EXPECT_EQ(*bundle_required_size(std::vector<BundleEntry>{{largest, largest}}), 18 + 2 * (kMaxPartLength - 1));
}

}  // namespace
}  // namespace vakra
