// The packet walker: exact lengths of every kind, prefixes, the tree it
// builds, and the framing it refuses.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>

#include "test_bytes.hpp"
#include "vakra/walk.hpp"

namespace vakra {
namespace {

using testing::append_u32;
using testing::append_u64;
using testing::Bytes;
using testing::bytes_of;
using testing::outcome;

Bytes counting(size_t n) {
  Bytes out(n);
  std::iota(out.begin(), out.end(), uint8_t{1});
  return out;
}

Bytes dense(std::vector<uint32_t> shape, Dtype dtype, EncodeOptions options = {}) {
  const Bytes data = counting(std::accumulate(shape.begin(), shape.end(), size_t{1}, std::multiplies<>()) *
                              element_size(dtype));
  return testing::encode_dense({data, shape, dtype}, options);
}

// A dense uint8 packet whose body is an LZ4 frame with block and content
// checksums and three stored blocks, written by hand (the walker reads only
// the framing, so the checksum bytes need not be right).
Bytes dense_with_checksummed_frame() {
  Bytes out = testing::v4_header(FLAG_ALIGNED | FLAG_COMPRESSED, 5, 1);
  append_u32(out, 30);
  out.resize(64, 0);
  out.insert(out.end(), {0x04, 0x22, 0x4D, 0x18, 0x60 | 0x10 | 0x04, 0x40, 0xAB});
  for (uint32_t block : {10u, 15u, 5u}) {
    append_u32(out, block | 0x80000000u);
    out.resize(out.size() + block + 4, 0x33);  // stored bytes, block checksum
  }
  append_u32(out, 0);            // end mark
  append_u32(out, 0xC0FFEEu);    // content checksum
  return out;
}

// Two strings "ab", "c": offsets at 64, payload, checksum with FLAG_INTEGRITY.
Bytes offsets_packet(uint16_t kind_flag, bool check) {
  Bytes out = testing::v4_header(kind_flag | FLAG_ALIGNED | (check ? FLAG_INTEGRITY : 0), 20, 1);
  append_u32(out, 2);
  out.resize(64, 0);
  for (uint64_t offset : {0, 2, 3}) append_u64(out, offset);
  out.insert(out.end(), {'a', 'b', 'c'});
  if (check) append_u64(out, 0);
  return out;
}

// qint4 [5] with one scale entry, aligned to 16, with its checksum: 59 bytes.
Bytes quantized_qint4() {
  Bytes out = testing::v4_header(FLAG_CUSTOM_ALIGN | FLAG_INTEGRITY, 18, 1);
  append_u32(out, 5);
  out.insert(out.end(), {1, 0});  // scheme, axis
  append_u32(out, 0);             // group size
  append_u32(out, 1);             // scale entries
  out.resize(out.size() + 8, 0x3F);
  out.push_back(4);  // log2 of 16
  out.resize(48, 0);
  out.insert(out.end(), {0x12, 0x34, 0x05});
  append_u64(out, 0);
  return out;
}

Bytes inline_packet() {
  Bytes out = testing::v4_header(FLAG_INLINE, 0, 0, 1);
  out.resize(106, 0x5A);
  return out;
}

Bytes int32_array(std::vector<int32_t> values) {
  return testing::encode_dense({{reinterpret_cast<const uint8_t*>(values.data()), 4 * values.size()},
                                std::vector<uint32_t>{static_cast<uint32_t>(values.size())}, Dtype::Int32});
}

Bytes csr() { return testing::sparse_packet(FLAG_SPARSE_CSR, {2, 3}, {dense({2}, Dtype::Float64), int32_array({2, 0}), int32_array({0, 1, 2})}); }

const Bytes kCompressed = dense({1000}, Dtype::Float32, {64, false, true});

Bytes every_kind() {
  return testing::bundle_packet({{"w", kCompressed},
                                 {"m", csr()},
                                 {"s", offsets_packet(FLAG_STRING, true)},
                                 {"inner", testing::bundle_packet({{"q", quantized_qint4()}, {"", testing::bundle_packet({})}})}});
}

// An exactly sized heap copy of the first `length` bytes, so that the
// sanitizer build reports any read past them.
std::unique_ptr<uint8_t[]> prefix_copy(const Bytes& packet, size_t length) {
  auto copy = std::make_unique<uint8_t[]>(length);
  std::copy(packet.begin(), packet.begin() + length, copy.get());
  return copy;
}

TEST(Walk, ExactLengthsAndPrefixes) {
  const std::pair<const char*, Bytes> packets[] = {
      {"dense", dense({2, 3}, Dtype::Float32)},
      {"dense version 3", bytes_of({'V', 'K', 'R', 'A', 3, 0, 10, 1, 3, 0, 0, 0, 1, 0, 2, 0, 3, 0})},
      {"dense align 1, checksum", dense({5}, Dtype::Uint16, {1, true, false})},
      {"dense compressed", kCompressed},
      {"dense compressed, checksum, align 128", dense({33, 7}, Dtype::Int64, {128, true, true})},
      {"dense compressed empty", dense({0}, Dtype::Int8, {64, false, true})},
      {"dense, checksummed LZ4 blocks", dense_with_checksummed_frame()},
      {"string", offsets_packet(FLAG_STRING, false)},
      {"string checksum", offsets_packet(FLAG_STRING, true)},
      {"ragged", offsets_packet(FLAG_RAGGED, false)},
      {"quantized", quantized_qint4()},
      {"inline", inline_packet()},
      {"sparse", csr()},
      {"empty bundle", testing::bundle_packet({})},
      {"bundle of every kind", every_kind()},
  };
  for (const auto& [name, packet] : packets) {
    SCOPED_TRACE(name);
    Bytes extended = packet;
    extended.insert(extended.end(), {'V', 'K', 'R', 'A', 4, 0xFF});  // bytes after a packet are not its own
    const auto extent = probe_packet(extended);
    ASSERT_EQ(outcome(extent), "ok");
    EXPECT_TRUE(extent->complete);
    EXPECT_EQ(extent->length, packet.size());
    EXPECT_EQ(walk_packet(extended)->length, packet.size());
    for (size_t length = 0; length < packet.size(); ++length) {
      const auto copy = prefix_copy(packet, length);
      const ByteView prefix(copy.get(), length);
      const auto partial = probe_packet(prefix);
      ASSERT_EQ(outcome(partial), "ok") << length;
      // Never complete; the need is at least 1 and never reaches past the packet.
      EXPECT_FALSE(partial->complete) << length;
      EXPECT_TRUE(partial->length >= 1 && length + partial->length <= packet.size()) << length;
      EXPECT_EQ(outcome(walk_packet(prefix)), "Packet too short");
    }
  }
}

// Where each nested packet and body lies, counted from the first walked
// byte (kinds, sizes and details are what vakra.info reports and tests).
TEST(Walk, OffsetsOfNestedPackets) {
  const Bytes packet = every_kind();
  const auto root = walk_packet(packet);
  ASSERT_EQ(outcome(root), "ok");
  ASSERT_EQ(root->children.size(), 4u);
  const auto& entries = root->children;
  EXPECT_EQ(std::string(entries[3].key.begin(), entries[3].key.end()), "inner");
  // Each entry starts after its key and its packet's length prefix.
  for (const WalkedEntry& entry : entries) {
    EXPECT_EQ(entry.packet.offset, static_cast<size_t>(entry.key.data() - packet.data()) + entry.key.size() + 4);
  }
  const WalkedPacket& w = entries[0].packet;
  EXPECT_EQ(std::make_tuple(w.length, w.body_offset, w.body_length),
            std::make_tuple(kCompressed.size(), w.offset + 64, kCompressed.size() - 64));
  const WalkedPacket& indptr = entries[1].packet.children.at(2).packet;
  EXPECT_EQ(indptr.offset + indptr.length, entries[1].packet.offset + entries[1].packet.length);
  EXPECT_EQ(entries[2].packet.body_offset, entries[2].packet.offset + 64);
  const WalkedPacket& q = entries[3].packet.children.at(0).packet;
  EXPECT_EQ(q.body_offset, q.offset + 48);
}

TEST(Walk, Refusals) {
  const std::string bad = "Malformed vakra packet";
  Bytes child_cut = testing::bundle_packet({{"a", dense({4}, Dtype::Int32)}});
  child_cut[15] -= 1;  // the entry's length prefix is one byte short of its packet
  child_cut.pop_back();
  Bytes bad_frame = kCompressed, big_block = kCompressed;
  bad_frame[64] ^= 1;     // LZ4 magic
  big_block[73] = 0x01;   // the first block claims more than 64 KiB
  Bytes bad_key = testing::bundle_packet({{"\xFF", dense({1}, Dtype::Int8)}});
  Bytes nested = testing::bundle_packet({});
  for (int level = 0; level < 65; ++level) nested = testing::bundle_packet({{"k", nested}});
  const std::pair<Bytes, std::string> cases[] = {
      {bytes_of({'V', 'X'}), "Invalid vakra packet"},  // known from the second byte
      {bytes_of({'V', 'K', 'R', 'A', 9}), "Unsupported protocol version: 9"},
      {child_cut, "Packet too short"},  // complete, but a child runs past its slot
      {testing::v4_header(FLAG_ALIGNED, 20, 0), "Unsupported or unknown dtype code: 20"},
      {testing::v4_header(FLAG_ALIGNED, 1, 33), "Packet exceeds maximum dimensions"},
      {bad_frame, bad},
      {big_block, bad},
      {bad_key, bad},
      {nested, bad},
      {testing::v4_header(FLAG_INLINE | FLAG_INTEGRITY, 0, 0, 1), bad},
  };
  for (const auto& [packet, expected] : cases) EXPECT_EQ(outcome(probe_packet(packet)), expected) << expected;
}

}  // namespace
}  // namespace vakra
