#include "test_bytes.hpp"
#include "vakra/header.hpp"
#include "vakra/plan.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

using RawEntries = std::vector<std::pair<ByteView, ByteView>>;

// A bundle of packets encoded beforehand, framed without looking inside them.
BundlePlan raw_bundle(const RawEntries& entries) {
  BundlePlan plan;
  for (const auto& [key, packet] : entries) plan.entries.push_back({key, PacketPlan{RawPacket{packet}}});
  return plan;
}

TEST(BundleEncode, FramesEntriesInOrderAndRefusesUnwritten) {
  const Bytes key_a = {'a'}, packet74(74, 0x7E), packet1 = {9};
  const std::pair<ByteView, ByteView> a74{key_a, packet74}, empty_key{{}, packet1}, k1{key_a, packet1};
  // Lengths of 4 GiB cannot be framed; these views are refused unread, so nothing backs them.
  const ByteView four_gib(packet74.data(), kMaxPartLength);
  const std::string too_many = error_message(make_error(ErrorKind::TooManyBundleEntries));
  struct Case { const char* name; RawEntries entries; size_t buffer; std::string expected; };
  const Case cases[] = {
      {"empty", {}, 10, "ok"},
      {"one 74-byte packet", {a74}, 93, "ok"},
      {"empty key, duplicate keys", {a74, empty_key, a74}, 10 + 83 + 9 + 83, "ok"},
      {"255 entries", RawEntries(255, k1), 10 + 255 * 10, "ok"},
      {"256 entries", RawEntries(256, k1), 10 + 256 * 10, too_many},
      {"buffer one byte short", {a74}, 92, "Buffer too small"},
      {"4 GiB key", {a74, {four_gib, packet1}}, 200, "Malformed vakra packet"},
      {"4 GiB packet", {{key_a, four_gib}}, 200, "Malformed vakra packet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketPlan plan{raw_bundle(c.entries)};
    const Status finished = finish_bundle_plan(std::get<BundlePlan>(plan.node));
    Bytes buffer(c.buffer + 1, 0x44);
    const Bytes canary = buffer;
    if (finished.ok()) {
      EXPECT_EQ(outcome(write_plan_checked(plan, {buffer.data(), c.buffer})), c.expected);
    } else {
      EXPECT_EQ(error_message(finished.error()), c.expected);
    }
    if (c.expected != "ok") {
      EXPECT_EQ(buffer, canary);
      continue;
    }
    Bytes expected = testing::v4_header(FLAG_BUNDLE, 0, static_cast<uint8_t>(c.entries.size()));
    for (const auto& [key, packet] : c.entries) {
      testing::append_part(expected, Bytes(key.begin(), key.end()));
      testing::append_part(expected, Bytes(packet.begin(), packet.end()));
    }
    expected.push_back(0x44);  // the byte after the packet is left alone
    EXPECT_EQ(buffer, expected);
  }
  const ByteView largest(packet74.data(), kMaxPartLength - 1);  // one byte less is representable
  BundlePlan plan = raw_bundle({{largest, largest}});
  ASSERT_TRUE(finish_bundle_plan(plan).ok());
  EXPECT_EQ(plan.size, 18 + 2 * (kMaxPartLength - 1));
}

}  // namespace
}  // namespace vakra
