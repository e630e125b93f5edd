// LZ4 frames: what we write is standard, any standard frame is read, damage
// is reported, and decompression never runs past its bound.
#include <gtest/gtest.h>
#include <lz4frame.h>

#include "lz4_internal.hpp"
#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

constexpr const char* kDecompressFailed = "LZ4 frame decompression failed";

// Half runs of a repeated byte, half pseudo-random bytes.
Bytes sample(size_t n) {
  Bytes out(n);
  uint32_t state = 12345;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1103515245u + 12345u;
    out[i] = (i / 1000) % 2 ? static_cast<uint8_t>(state >> 24) : 7;
  }
  return out;
}

Bytes compress_here(const Bytes& body) {
  auto frame = lz4::compress_frame(body);
  EXPECT_TRUE(frame.ok());
  return frame.ok() ? Bytes(frame->data(), frame->data() + frame->size()) : Bytes{};
}

// A frame written by liblz4 itself with the given settings.
Bytes liblz4_frame(const Bytes& body, const LZ4F_frameInfo_t& info) {
  LZ4F_preferences_t prefs = LZ4F_INIT_PREFERENCES;
  prefs.frameInfo = info;
  Bytes frame(LZ4F_compressFrameBound(body.size(), &prefs));
  const size_t len = LZ4F_compressFrame(frame.data(), frame.size(), body.data(), body.size(), &prefs);
  EXPECT_FALSE(LZ4F_isError(len));
  frame.resize(LZ4F_isError(len) ? 0 : len);
  return frame;
}

// Frames of any standard settings decode with ours. (That ours are liblz4's own
// frames, byte for byte, is pinned by the thread pool's tests.)
TEST(Lz4Frame, ReadsFramesOfEveryStandardSetting) {
  const Bytes body = sample(3'000'000);
  for (auto block_size : {LZ4F_max64KB, LZ4F_max256KB, LZ4F_max1MB, LZ4F_max4MB}) {
    for (auto mode : {LZ4F_blockLinked, LZ4F_blockIndependent}) {
      SCOPED_TRACE(::testing::Message() << block_size << " " << mode);
      const Bytes frame = liblz4_frame(body, {block_size, mode, LZ4F_contentChecksumEnabled, LZ4F_frame, body.size(),
                                              0, LZ4F_blockChecksumEnabled});
      const auto owned = lz4_decompress_frame(frame, body.size());
      ASSERT_EQ(outcome(owned), "ok");
      EXPECT_EQ(Bytes(owned->data(), owned->data() + owned->size()), body);
      Bytes exact(body.size());
      EXPECT_EQ(outcome(lz4_decompress_frame_into(frame, exact)), "ok");
      EXPECT_EQ(exact, body);
    }
  }
}

TEST(Lz4Frame, DamagedFramesFail) {
  const Bytes body = sample(100'000);
  const Bytes checked = liblz4_frame(
      body, {LZ4F_default, LZ4F_blockLinked, LZ4F_contentChecksumEnabled, LZ4F_frame, 0, 0, LZ4F_blockChecksumEnabled});
  // Linked blocks with a stored content size, cut short: this once left the
  // reused decoder refusing every later frame.
  Bytes sized = liblz4_frame(
      body, {LZ4F_default, LZ4F_blockLinked, LZ4F_noContentChecksum, LZ4F_frame, body.size(), 0, LZ4F_noBlockChecksum});
  sized.resize(sized.size() - 10);
  const Bytes ours = compress_here(body);
  auto flipped = [](const Bytes& frame, size_t index) { return testing::with(frame, index, frame[index] ^ 0x10); };
  const std::pair<const char*, Bytes> cases[] = {
      {"empty", {}},
      {"wrong magic", flipped(ours, 0)},
      {"header checksum", flipped(ours, 6)},
      {"truncated header", Bytes(ours.begin(), ours.begin() + 5)},
      {"truncated block", Bytes(ours.begin(), ours.begin() + ours.size() / 2)},
      {"no end mark", Bytes(ours.begin(), ours.end() - 4)},
      {"block larger than the block size", testing::with(ours, 9, 0x7F)},
      {"trailing garbage", testing::concat(ours, {0x42})},
      {"block checksum", flipped(checked, checked.size() / 2)},
      {"content checksum", flipped(checked, checked.size() - 1)},
      {"sized frame cut short", sized},
  };
  for (const auto& [name, frame] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(outcome(lz4_decompress_frame(frame, body.size())), kDecompressFailed);
    Bytes out(body.size());
    EXPECT_EQ(outcome(lz4_decompress_frame_into(frame, out)), kDecompressFailed);
    // A failure must not leave the reused decoder unable to read the next frame.
    EXPECT_EQ(outcome(lz4_decompress_frame_into(ours, out)), "ok");
    EXPECT_EQ(out, body);
  }
}

TEST(Lz4Frame, OutputIsBoundedAndExact) {
  const Bytes body = sample(70'000);
  const Bytes frame = compress_here(body);
  EXPECT_EQ(outcome(lz4_decompress_frame(frame, body.size() - 1)), "Malformed vakra packet");
  const auto roomy = lz4_decompress_frame(frame, body.size() + 100);
  ASSERT_TRUE(roomy.ok());
  EXPECT_EQ(roomy->size(), body.size());
  for (size_t size : {body.size() - 1, body.size() + 1}) {
    Bytes out(size);
    EXPECT_EQ(outcome(lz4_decompress_frame_into(frame, out)), "Malformed vakra packet");
  }
  // Frames back to back are one stream of frame data.
  Bytes out(2 * body.size());
  ASSERT_TRUE(lz4_decompress_frame_into(testing::concat(frame, frame), out).ok());
  EXPECT_EQ(Bytes(out.begin() + body.size(), out.end()), body);
}

// One frame holding `copies` independent 4 MiB blocks of zeros: about 16 KiB
// of frame per 4 MiB of output.
Bytes zero_bomb(size_t copies) {
  const Bytes one = compress_here(Bytes(size_t{4} << 20, 0));
  const Bytes block(one.begin() + 7, one.end() - 4);
  Bytes frame(one.begin(), one.begin() + 7);
  for (size_t i = 0; i < copies; ++i) frame.insert(frame.end(), block.begin(), block.end());
  frame.insert(frame.end(), 4, 0);
  return frame;
}

TEST(Lz4Frame, SmallPacketCannotInflateBeyondItsShape) {
  Bytes eight_mib(size_t{8} << 20, 0xFF);
  ASSERT_TRUE(lz4_decompress_frame_into(zero_bomb(2), eight_mib).ok());
  EXPECT_EQ(eight_mib, Bytes(size_t{8} << 20, 0));

  const Bytes bomb = zero_bomb(256);  // 1 GiB of zeros in about 4 MiB
  ASSERT_LT(bomb.size(), size_t{5} << 20);
  EXPECT_EQ(outcome(lz4_decompress_frame(bomb, 1 << 20)), "Malformed vakra packet");

  // A compressed one-dimensional dense packet around a frame.
  auto packet_of = [](uint8_t dtype_code, uint32_t dim, const Bytes& frame) {
    Bytes prefix = testing::v4_header(0x0005, dtype_code, 1);
    testing::append_u32(prefix, dim);
    prefix.resize(64, 0);
    return testing::concat(prefix, frame);
  };
  const Bytes packet = packet_of(1, 4, bomb);  // float32 [4]
  EXPECT_EQ(outcome(decode(ByteView(packet))), "compressed dense bodies require an owning decode path");
  EXPECT_EQ(outcome(decode_dense_to_owned(packet)), "Malformed vakra packet");

  // The reverse: a shape of 800 MB whose frame could never hold it is refused
  // before anything that size is reserved or any decompression is tried (the
  // frame here is also truncated, which decompressing would report).
  const Bytes small_frame = compress_here(Bytes(1000, 3));
  const Bytes claims_much = packet_of(3, 100'000'000, Bytes(small_frame.begin(), small_frame.end() - 1));
  EXPECT_EQ(outcome(decode_dense_to_owned(claims_much)), "Malformed vakra packet");
  // And an unbounded caller gets a buffer sized by what the frame can hold.
  const auto unbounded = lz4_decompress_frame(small_frame, UINT64_MAX);
  ASSERT_TRUE(unbounded.ok());
  EXPECT_EQ(Bytes(unbounded->data(), unbounded->data() + unbounded->size()), Bytes(1000, 3));
}

}  // namespace
}  // namespace vakra
