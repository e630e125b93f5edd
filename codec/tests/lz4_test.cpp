// LZ4 frames: ours are liblz4's own bytes with any thread count, frames of
// other settings are read, damage is reported the same way with one thread or
// several, and decompression never runs past its bound.
#include <gtest/gtest.h>

#include "lz4_internal.hpp"
#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/threads.hpp"

namespace vakra {
namespace {

using namespace testing;

constexpr size_t kKiB = 1024, kMiB = 1024 * 1024;
const std::string kBad = "Malformed vakra packet";

// Restores the default thread count when a test ends.
struct ThreadCount {
  explicit ThreadCount(size_t n) { set_num_threads(n); }
  ~ThreadCount() { set_num_threads(0); }
};

enum class Fill { Compressible, Random, Alternating };

// Alternating: 4 MiB blocks take turns compressing well and not at all, so
// one frame mixes compressed and raw (high bit) blocks.
Bytes body_of(size_t n, Fill fill) {
  Bytes out(n);
  uint64_t state = 0x9E3779B97F4A7C15ull ^ n;
  for (size_t i = 0; i < n; ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    const bool noisy = fill == Fill::Random || (fill == Fill::Alternating && (i / (4 * kMiB)) % 2 == 1);
    out[i] = noisy ? static_cast<uint8_t>(state) : static_cast<uint8_t>((i / 64) % 7 + (state % 16 == 0));
  }
  return out;
}

Bytes compressed_with(size_t threads, const Bytes& body) {
  ThreadCount count(threads);
  const auto frame = lz4::compress_frame(body);
  return frame.ok() ? Bytes(frame->data(), frame->data() + frame->size()) : Bytes{};  // never a valid frame
}

// The settings compress_frame uses: independent blocks of the smallest of 64 KiB, 256 KiB and 4 MiB that fits.
Bytes reference_frame(const Bytes& body) {
  const auto block = body.size() <= 64 * kKiB ? LZ4F_max64KB : body.size() <= 256 * kKiB ? LZ4F_max256KB : LZ4F_max4MB;
  return liblz4_frame(body, {block, LZ4F_blockIndependent, LZ4F_noContentChecksum, LZ4F_frame, 0, 0, LZ4F_noBlockChecksum});
}

// Packets built on these frames are compared across thread counts by the Python
// tests; decoding them on several threads is the next test's first row.
TEST(Lz4Frame, IdenticalWithOneThreadAndSeveral) {
  // Around the parallel threshold and the block sizes (4 MiB + 1: a one-byte
  // last block), and a last block under 4 KiB.
  const size_t sizes[] = {0, 256 * kKiB - 1, 256 * kKiB, 256 * kKiB + 1, 4 * kMiB, 4 * kMiB + 1, 8 * kMiB + 100,
                          13 * kMiB + 4097};
  for (Fill fill : {Fill::Compressible, Fill::Random, Fill::Alternating}) {
    for (size_t n : sizes) {
      SCOPED_TRACE(::testing::Message() << "fill " << static_cast<int>(fill) << " size " << n);
      const Bytes body = body_of(n, fill);
      for (size_t threads : {1, 4}) EXPECT_EQ(compressed_with(threads, body), reference_frame(body)) << threads;
    }
  }
}

// Damaged and unusual frames: the concurrent decoder must not take a frame
// at face value, so whatever it does, the outcome is the sequential
// decoder's; and a failure never leaves the reused decoder unable to read the
// next frame.
TEST(Lz4Frame, DamagedOrUnusualFramesDecodeAsWithOneThread) {
  const Bytes body = body_of(12 * kMiB + 5, Fill::Alternating), frame = compressed_with(1, body);
  // Valid frames of other settings: linked blocks, checksums, a stored size, blocks shorter than the block size.
  const Bytes linked = liblz4_frame(body, {LZ4F_max1MB, LZ4F_blockLinked, LZ4F_contentChecksumEnabled, LZ4F_frame,
                                           body.size(), 0, LZ4F_blockChecksumEnabled});
  const Bytes short_blocks = liblz4_frame(
      body, {LZ4F_max4MB, LZ4F_blockIndependent, LZ4F_noContentChecksum, LZ4F_frame, 0, 0, LZ4F_noBlockChecksum}, 3 * kMiB);
  const uint32_t first_block = frame[7] | frame[8] << 8 | frame[9] << 16;  // compressed, high bit clear
  auto flipped = [](const Bytes& f, size_t at) { return with(f, at, {static_cast<uint8_t>(f[at] ^ 0x5A)}); };
  auto cut = [](const Bytes& f, size_t end) { return Bytes(f.begin(), f.begin() + end); };
  // The size each input decodes to (0: it never decodes); into any other size it fails.
  const std::pair<Bytes, size_t> cases[] = {
      {frame, body.size()}, {linked, body.size()}, {short_blocks, body.size()}, {concat(frame, frame), 2 * body.size()},
      {{}, 0}, {flipped(frame, 0), 0}, {flipped(frame, 6), 0},  // magic, header checksum
      {cut(frame, 5), 0}, {cut(frame, frame.size() - 4), 0},    // no end mark
      {flipped(frame, 11 + first_block / 2), 0},
      {with(frame, 7, {static_cast<uint8_t>(first_block - 10)}), 0},  // first block length cut
      {with(frame, 9, {0x7F}), 0},                                    // larger than the block size
      {concat(frame, {0}), 0}, {flipped(linked, linked.size() / 2), 0}, {flipped(linked, linked.size() - 1), 0},
      // Linked blocks with a stored size, cut short: this once left the reused decoder refusing every later frame.
      {cut(linked, linked.size() - 10), 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [input, decoded_size] = cases[i];
    for (size_t room : {body.size(), body.size() - 1, body.size() + 1, 2 * body.size()}) {
      SCOPED_TRACE(::testing::Message() << "row " << i << ", room " << room);
      Bytes out_one(room), out_many(room);
      std::string into_one, owned_one;
      {
        ThreadCount count(1);
        into_one = outcome(lz4_decompress_frame_into(input, out_one));
        owned_one = outcome(lz4_decompress_frame(input, room));
      }
      EXPECT_EQ(into_one == "ok", room == decoded_size) << into_one;
      EXPECT_TRUE(decoded_size == 0 || (owned_one == "ok") == (room >= decoded_size)) << owned_one;  // a bound, not a size
      ThreadCount count(3);
      EXPECT_EQ(outcome(lz4_decompress_frame_into(input, out_many)), into_one);
      EXPECT_EQ(outcome(lz4_decompress_frame(input, room)), owned_one);
      EXPECT_TRUE(into_one != "ok" || out_many == out_one);
    }
    Bytes out(body.size());
    EXPECT_EQ(outcome(lz4_decompress_frame_into(frame, out)), "ok");
    EXPECT_TRUE(out == body) << "row " << i;
  }
}

// One frame holding `copies` independent 4 MiB blocks of zeros: about 16 KiB
// of frame per 4 MiB of output.
Bytes zero_bomb(size_t copies) {
  const Bytes one = compressed_with(1, Bytes(4 * kMiB, 0));
  Bytes frame(one.begin(), one.begin() + 7);
  for (size_t i = 0; i < copies; ++i) frame.insert(frame.end(), one.begin() + 7, one.end() - 4);
  frame.insert(frame.end(), 4, 0);
  return frame;
}

TEST(Lz4Frame, OutputIsBoundedByTheShape) {
  const Bytes body = body_of(70'000, Fill::Compressible), frame = compressed_with(1, body);
  EXPECT_EQ(outcome(lz4_decompress_frame(frame, body.size() - 1)), kBad);
  EXPECT_EQ(lz4_decompress_frame(frame, body.size() + 100)->size(), body.size());
  Bytes eight_mib(8 * kMiB, 0xFF);
  ASSERT_TRUE(lz4_decompress_frame_into(zero_bomb(2), eight_mib).ok());
  EXPECT_EQ(eight_mib, Bytes(8 * kMiB, 0));
  const Bytes bomb = zero_bomb(256);  // 1 GiB of zeros in about 4 MiB
  EXPECT_EQ(outcome(lz4_decompress_frame(bomb, kMiB)), kBad);
  EXPECT_EQ(outcome(decode_owned(compressed_packet(1, 4, bomb))), kBad);  // float32 [4]
  // An unbounded caller gets a buffer sized by what the frame can hold. (A
  // shape whose frame could never hold it is refused before anything is
  // reserved: test_module_frame.py.)
  const Bytes small_frame = compressed_with(1, Bytes(1000, 3));
  const auto unbounded = lz4_decompress_frame(small_frame, UINT64_MAX);
  ASSERT_TRUE(unbounded.ok());
  EXPECT_EQ(Bytes(unbounded->data(), unbounded->data() + unbounded->size()), Bytes(1000, 3));
}

}  // namespace
}  // namespace vakra
