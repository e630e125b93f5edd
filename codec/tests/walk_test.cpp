// The packet walker: exact lengths and prefixes of packets no encoder writes,
// and the framing it refuses. Where nested packets and bodies lie is shown
// through the extension by test_frames.py, whose frames decoder places bodies
// by the walked offsets.
#include <gtest/gtest.h>

#include "test_bytes.hpp"
#include "vakra/walk.hpp"

namespace vakra {
namespace {

using namespace testing;

// Two strings "ab", "c", read as ragged.
const std::vector<uint64_t> kOffsets = {0, 2, 3};
const uint8_t kAbc[] = {'a', 'b', 'c'};
const Bytes kText = encode(plan_string(2, kOffsets, kAbc, false));

const Bytes kInline = with(Bytes(106, 0x5A), 0, {'V', 'K', 'R', 'A', 4, 0x00, 0x04, 0, 0, 1});
const Bytes kCompressed = dense({1000}, Dtype::Float32, {64, false, true});

// Packets no encoder here writes, and an empty compressed body. Encoded
// packets of every kind are the walk fuzz harness's, and every prefix of them
// is swept through the extension by test_hostile.py. The LZ4 block rule, the
// meter and a frame of one-byte blocks are shown by test_streams.py.
TEST(Walk, ExactLengthsAndPrefixes) {
  const std::pair<const char*, Bytes> packets[] = {
      {"dense version 3", {'V', 'K', 'R', 'A', 3, 0, 10, 1, 3, 0, 0, 0, 1, 0, 2, 0, 3, 0}},
      {"dense compressed empty", dense({0}, Dtype::Int8, {64, false, true})},
      {"dense, LZ4 block and content checksums",
       compressed_packet(5, 200000, liblz4_frame(Bytes(200000, 7), {LZ4F_max64KB, LZ4F_blockLinked, LZ4F_contentChecksumEnabled,
                                                                    LZ4F_frame, 0, 0, LZ4F_blockChecksumEnabled}))},
      {"ragged", with(kText, 6, {FLAG_RAGGED >> 8})},
      {"inline", kInline},
  };
  for (const auto& [name, packet] : packets) {
    SCOPED_TRACE(name);
    const Bytes extended = concat(packet, {'V', 'K', 'R', 'A', 4, 0xFF});  // bytes after a packet are not its own
    const auto extent = probe_packet(extended);
    ASSERT_EQ(outcome(extent), "ok");
    EXPECT_TRUE(extent->complete);
    EXPECT_EQ(extent->length, packet.size());
    EXPECT_EQ(walk_packet(extended)->length, packet.size());
    for (size_t length = 0; length < packet.size(); ++length) {
      const Bytes prefix(packet.begin(), packet.begin() + length);  // exactly sized: reads past it are caught
      const auto partial = probe_packet(prefix);
      ASSERT_EQ(outcome(partial), "ok") << length;
      // Never complete; the need is at least 1 and never reaches past the packet.
      EXPECT_FALSE(partial->complete) << length;
      EXPECT_TRUE(partial->length >= 1 && length + partial->length <= packet.size()) << length;
      EXPECT_EQ(outcome(walk_packet(prefix)), "Packet too short");
    }
  }
}

TEST(Walk, Refusals) {
  const std::string bad = "Malformed vakra packet";
  Bytes child_cut = bundle({{"a", dense({4}, Dtype::Int32)}});
  child_cut[15] -= 1;  // the entry's length prefix is one byte short of its packet
  child_cut.pop_back();
  Bytes nested = bundle({});
  for (int level = 0; level < 65; ++level) nested = bundle({{"k", nested}});
  const std::pair<Bytes, std::string> cases[] = {
      {{'V', 'X'}, "Invalid vakra packet"},  // known from the second byte
      {child_cut, "Packet too short"},  // complete, but a child runs past its slot
      {v4_header(FLAG_ALIGNED, 20, 0), "Unsupported or unknown dtype code: 20"},
      {v4_header(FLAG_ALIGNED, 1, 33), "Packet exceeds maximum dimensions"},
      {with(kCompressed, 64, {0x05}), bad},  // LZ4 magic
      {with(kCompressed, 73, {0x01}), bad},  // the first block claims more than 64 KiB
      {bundle({{"\xFF", dense({1})}}), bad},
      {nested, bad},
      {v4_header(FLAG_INLINE | FLAG_INTEGRITY, 0, 0, 1), bad},
  };
  for (const auto& [packet, expected] : cases) EXPECT_EQ(outcome(probe_packet(packet)), expected) << expected;
}

}  // namespace
}  // namespace vakra
