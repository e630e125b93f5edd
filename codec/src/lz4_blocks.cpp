// LZ4 frames of independent blocks, compressed and decompressed one block
// per task on the thread pool. The frame is byte for byte the one liblz4's
// frame compressor writes with the same settings: it compresses each
// independent block from a freshly reset state with room for one byte less
// than the input, and stores the block raw (high bit set) when that fails.
#include <lz4.h>
#include <lz4frame.h>
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "lz4_internal.hpp"
#include "memory_internal.hpp"
#include "thread_pool_internal.hpp"
#include "wire_internal.hpp"

namespace vakra::lz4 {
namespace {

constexpr uint32_t kFrameMagic = 0x184D2204;
constexpr uint32_t kRawBlockBit = 0x80000000u;
constexpr size_t kBlockHeaderLen = 4;
constexpr size_t kFrameHeaderLen = 7;  // magic, FLG, BD, header checksum
constexpr size_t kEndMarkLen = 4;
// FLG of a frame with independent blocks and no checksums, content size or
// dictionary ID: the only kind the concurrent decoder takes.
constexpr uint8_t kPlainFlg = 0x60;

size_t block_bytes_for_bd(uint8_t bd) {
  switch (bd) {
    case 0x40: return size_t{64} << 10;
    case 0x50: return size_t{256} << 10;
    case 0x60: return size_t{1} << 20;
    case 0x70: return size_t{4} << 20;
    default: return 0;
  }
}

// A block of frame data: where its bytes are and whether they are stored raw.
struct BlockRef {
  const uint8_t* data;
  uint32_t length;
  bool raw;
};

// The blocks of a plain frame that is the whole of `frame`, each decoding to
// exactly `block_bytes` except the last, and no more of them than `capacity`
// allows. Empty when the frame is anything else (other settings, a damaged
// header or block, trailing frames): the sequential decoder then reads it
// and reports whatever is wrong the usual way.
std::vector<BlockRef> index_blocks(ByteView frame, size_t capacity, size_t& block_bytes) {
  if (frame.size() < kFrameHeaderLen + kEndMarkLen || wire::load_u32(frame.data()) != kFrameMagic ||
      frame[4] != kPlainFlg) {
    return {};
  }
  block_bytes = block_bytes_for_bd(frame[5]);
  if (block_bytes == 0 || frame[6] != static_cast<uint8_t>(XXH32(frame.data() + 4, 2, 0) >> 8)) return {};
  std::vector<BlockRef> blocks;
  size_t at = kFrameHeaderLen;
  for (;;) {
    if (!wire::fits(at, kBlockHeaderLen, frame.size())) return {};
    const uint32_t word = wire::load_u32(frame.data() + at);
    at += kBlockHeaderLen;
    if (word == 0) break;
    const uint32_t length = word & ~kRawBlockBit;
    // Bounded: each block before the last fills block_bytes of the output.
    if (length == 0 || length > block_bytes || !wire::fits(at, length, frame.size()) ||
        blocks.size() * block_bytes >= capacity) {
      return {};
    }
    blocks.push_back({frame.data() + at, length, (word & kRawBlockBit) != 0});
    at += length;
  }
  if (at != frame.size()) return {};
  return blocks;
}

}  // namespace

bool worth_splitting(size_t body_size, size_t block_bytes) {
  return body_size > block_bytes && body_size >= parallel::kMinParallelCompute && num_threads() > 1;
}

Result<OwnedBytes> compress_blocks_concurrently(ByteView body, LZ4F_cctx* cctx, const LZ4F_preferences_t& prefs,
                                                size_t block_bytes) {
  const size_t blocks = (body.size() + block_bytes - 1) / block_bytes;
  // Each block gets a slot big enough for its raw form; the compressed
  // blocks are then moved down to close the gaps, in order.
  const size_t slot = kBlockHeaderLen + block_bytes;
  OwnedBytes frame = memory::fresh_output(LZ4F_HEADER_SIZE_MAX + blocks * slot + kEndMarkLen);
  uint8_t* out = frame.data();
  const size_t header = LZ4F_compressBegin(cctx, out, LZ4F_HEADER_SIZE_MAX, &prefs);
  VAKRA_RETURN_IF(LZ4F_isError(header), other_error(kLz4EncodeFailed));

  std::vector<uint32_t> lengths(blocks);
  parallel::for_each(blocks, [&](size_t i) {
    const size_t begin = i * block_bytes;
    const int length = static_cast<int>(std::min(block_bytes, body.size() - begin));
    const auto* source = reinterpret_cast<const char*>(body.data() + begin);
    uint8_t* place = out + header + i * slot;
    const int packed = LZ4_compress_default(source, reinterpret_cast<char*>(place + kBlockHeaderLen), length, length - 1);
    if (packed > 0) {
      wire::store_u32(place, static_cast<uint32_t>(packed));
      lengths[i] = static_cast<uint32_t>(packed);
    } else {
      wire::store_u32(place, static_cast<uint32_t>(length) | kRawBlockBit);
      std::memcpy(place + kBlockHeaderLen, source, static_cast<size_t>(length));
      lengths[i] = static_cast<uint32_t>(length);
    }
  });
  size_t written = header;
  for (size_t i = 0; i < blocks; ++i) {
    const size_t length = kBlockHeaderLen + lengths[i];
    std::memmove(out + written, out + header + i * slot, length);
    written += length;
  }
  wire::store_u32(out + written, 0);  // end mark
  frame.truncate(written + kEndMarkLen);
  return frame;
}

std::optional<size_t> decompress_blocks_concurrently(ByteView frame, MutableBytes out) {
  if (num_threads() == 1 || out.size() < parallel::kMinParallelCompute) return std::nullopt;
  size_t block_bytes = 0;
  const std::vector<BlockRef> blocks = index_blocks(frame, out.size(), block_bytes);
  if (blocks.size() < 2) return std::nullopt;

  // Each block decodes into its final place; a block that decodes to a size
  // other than the layout assumes spoils the whole attempt.
  std::vector<int> produced(blocks.size());
  parallel::for_each(blocks.size(), [&](size_t i) {
    const BlockRef& block = blocks[i];
    const size_t begin = i * block_bytes;
    const size_t room = std::min(block_bytes, out.size() - begin);
    if (block.raw) {
      produced[i] = block.length <= room ? static_cast<int>(block.length) : -1;
      if (produced[i] > 0) std::memcpy(out.data() + begin, block.data, block.length);
      return;
    }
    produced[i] = LZ4_decompress_safe(reinterpret_cast<const char*>(block.data),
                                      reinterpret_cast<char*>(out.data() + begin), static_cast<int>(block.length),
                                      static_cast<int>(room));
  });
  for (size_t i = 0; i + 1 < blocks.size(); ++i) {
    if (produced[i] != static_cast<int>(block_bytes)) return std::nullopt;
  }
  if (produced.back() < 0) return std::nullopt;
  return (blocks.size() - 1) * block_bytes + static_cast<size_t>(produced.back());
}

}  // namespace vakra::lz4
