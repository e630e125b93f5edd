// The thread pool changes timing only: frames, packets and errors are the
// same with one thread as with several, and every task runs exactly once.
#include <gtest/gtest.h>
#include <lz4frame.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lz4_internal.hpp"
#include "test_bytes.hpp"
#include "thread_pool_internal.hpp"
#include "vakra/threads.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

constexpr size_t kKiB = 1024, kMiB = 1024 * 1024;

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

// liblz4's own frame compressor, from a fresh context, with the settings
// compress_frame uses and the body fed in one piece.
Bytes reference_frame(const Bytes& body) {
  LZ4F_preferences_t prefs = LZ4F_INIT_PREFERENCES;
  prefs.frameInfo.blockSizeID = body.size() <= 64 * kKiB ? LZ4F_max64KB
                                : body.size() <= 256 * kKiB ? LZ4F_max256KB
                                                            : LZ4F_max4MB;
  prefs.frameInfo.blockMode = LZ4F_blockIndependent;
  prefs.autoFlush = 1;
  LZ4F_cctx* cctx;
  EXPECT_FALSE(LZ4F_isError(LZ4F_createCompressionContext(&cctx, LZ4F_VERSION)));
  Bytes frame(LZ4F_HEADER_SIZE_MAX + LZ4F_compressBound(body.size(), &prefs));
  size_t at = LZ4F_compressBegin(cctx, frame.data(), frame.size(), &prefs);
  if (!body.empty()) at += LZ4F_compressUpdate(cctx, frame.data() + at, frame.size() - at, body.data(), body.size(), nullptr);
  at += LZ4F_compressEnd(cctx, frame.data() + at, frame.size() - at, nullptr);
  LZ4F_freeCompressionContext(cctx);
  frame.resize(at);
  return frame;
}

Bytes compressed_with(size_t threads, const Bytes& body) {
  ThreadCount count(threads);
  auto frame = lz4::compress_frame(body);
  EXPECT_TRUE(frame.ok());
  return frame.ok() ? Bytes(frame->data(), frame->data() + frame->size()) : Bytes{};
}

Bytes packet_with(size_t threads, const Bytes& body, const EncodeOptions& options) {
  ThreadCount count(threads);
  const uint32_t shape[] = {static_cast<uint32_t>(body.size())};
  return testing::encode_dense({body, shape, Dtype::Uint8}, options);
}

// Sizes around the LZ4 threshold and block sizes (4 MiB + 1: a one-byte last
// block), the copy threshold (4 MiB), and a last block under 4 KiB.
const size_t kSizes[] = {0, 256 * kKiB - 1, 256 * kKiB, 256 * kKiB + 1, 4 * kMiB, 4 * kMiB + 1, 8 * kMiB + 100,
                         13 * kMiB + 4097};

TEST(Threads, FramesAndPacketsAreByteIdentical) {
  for (Fill fill : {Fill::Compressible, Fill::Random, Fill::Alternating}) {
    for (size_t n : kSizes) {
      SCOPED_TRACE(::testing::Message() << "fill " << static_cast<int>(fill) << " size " << n);
      const Bytes body = body_of(n, fill);
      const Bytes one = compressed_with(1, body);
      EXPECT_EQ(one, reference_frame(body));
      EXPECT_EQ(compressed_with(4, body), one);
      for (const EncodeOptions options : {EncodeOptions{64, true, false}, EncodeOptions{64, true, true}}) {
        const Bytes packet = packet_with(1, body, options);
        EXPECT_EQ(packet_with(4, body, options), packet);
        ThreadCount count(4);
        const auto decoded = decode_dense_to_owned(packet);
        ASSERT_EQ(outcome(decoded), "ok");
        EXPECT_EQ(Bytes(decoded->data.data(), decoded->data.data() + decoded->data.size()), body);
      }
    }
  }
}

// Frames the concurrent decoder must not take at face value: whatever it
// does, the outcome is the sequential decoder's.
TEST(Threads, DamagedOrUnusualFramesDecodeAsSequentially) {
  const Bytes body = body_of(12 * kMiB + 5, Fill::Alternating);
  const Bytes frame = compressed_with(1, body);
  // A valid frame whose first block is shorter than the block size.
  LZ4F_preferences_t prefs = LZ4F_INIT_PREFERENCES;
  prefs.frameInfo = {LZ4F_max4MB, LZ4F_blockIndependent, LZ4F_noContentChecksum, LZ4F_frame, 0, 0,
                     LZ4F_noBlockChecksum};
  LZ4F_cctx* cctx;
  ASSERT_FALSE(LZ4F_isError(LZ4F_createCompressionContext(&cctx, LZ4F_VERSION)));
  Bytes flushed(LZ4F_compressBound(body.size(), &prefs) + 64);
  size_t at = LZ4F_compressBegin(cctx, flushed.data(), flushed.size(), &prefs);
  for (size_t part : {kMiB, body.size() - kMiB}) {
    at += LZ4F_compressUpdate(cctx, flushed.data() + at, flushed.size() - at, body.data() + (part == kMiB ? 0 : kMiB),
                              part, nullptr);
    at += LZ4F_flush(cctx, flushed.data() + at, flushed.size() - at, nullptr);
  }
  at += LZ4F_compressEnd(cctx, flushed.data() + at, flushed.size() - at, nullptr);
  LZ4F_freeCompressionContext(cctx);
  flushed.resize(at);

  const uint32_t first_block = frame[7] | frame[8] << 8 | frame[9] << 16;  // compressed, high bit clear
  Bytes cut_length = frame;
  cut_length[7] = static_cast<uint8_t>(first_block - 10);
  const size_t flip_at = 11 + first_block / 2;
  // The size each input decodes to (0: it never decodes); into any other size it fails.
  const std::tuple<const char*, Bytes, size_t> cases[] = {
      {"intact", frame, body.size()},
      {"short first block", flushed, body.size()},
      {"flipped byte in the first block", testing::with(frame, flip_at, frame[flip_at] ^ 0x5A), 0},
      {"first block length cut", cut_length, 0},
      {"truncated", Bytes(frame.begin(), frame.end() - 5), 0},
      {"two frames", testing::concat(frame, frame), 2 * body.size()},
      {"trailing byte", testing::concat(frame, {0}), 0},
  };
  for (const auto& [name, input, decoded_size] : cases) {
    for (size_t room : {body.size(), body.size() - 1, body.size() + 1, 2 * body.size()}) {
      SCOPED_TRACE(::testing::Message() << name << " room " << room);
      Bytes out_one(room), out_many(room);
      std::string into_one, owned_one;
      {
        ThreadCount count(1);
        into_one = outcome(lz4_decompress_frame_into(input, out_one));
        owned_one = outcome(lz4_decompress_frame(input, room));
      }
      EXPECT_EQ(into_one == "ok", room == decoded_size);
      ThreadCount count(3);
      EXPECT_EQ(outcome(lz4_decompress_frame_into(input, out_many)), into_one);
      EXPECT_EQ(outcome(lz4_decompress_frame(input, room)), owned_one);
      if (into_one == "ok") {
        EXPECT_EQ(out_many, out_one);
      }
    }
  }
}

TEST(Threads, EveryTaskRunsOnceUnderConcurrentCallers) {
  ThreadCount count(4);
  constexpr size_t kCallers = 6, kTasks = 1000;
  std::vector<std::vector<std::atomic<int>>> runs(kCallers);
  for (auto& r : runs) r = std::vector<std::atomic<int>>(kTasks);
  std::vector<std::thread> callers;
  for (size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 20; ++round) {
        parallel::for_each(kTasks, [&](size_t i) { runs[c][i].fetch_add(1); });
        if (c == 0 && round == 10) set_num_threads(2);  // retiring workers mid-stream
      }
    });
  }
  for (auto& caller : callers) caller.join();
  for (auto& r : runs) {
    for (auto& n : r) ASSERT_EQ(n.load(), 20);
  }
}

}  // namespace
}  // namespace vakra
