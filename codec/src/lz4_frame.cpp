// LZ4 frames: compressing a dense body into one frame, decompressing frames
// into a caller-sized destination without ever passing its end, and
// measuring a frame by its block headers.
#include <lz4frame.h>

#include <algorithm>

#include "lz4_internal.hpp"
#include "memory_internal.hpp"
#include "vakra/dense.hpp"

namespace vakra {
namespace {

constexpr size_t k64KiB = size_t{64} << 10;
constexpr uint32_t kFrameMagic = 0x184D2204;
constexpr size_t kShortestFrame = 11;  // magic, FLG, BD, header checksum and the end mark
constexpr uint32_t kBlockLengthMask = 0x7FFFFFFF;  // the high bit marks a block stored uncompressed
constexpr size_t k256KiB = size_t{256} << 10;
constexpr size_t k4MiB = size_t{4} << 20;

// Contexts are kept per thread and reused, so a small body does not pay for
// allocating the compressor or decoder state on every call. They are created
// lazily and retried after an allocation failure.
class CompressionContext {
 public:
  ~CompressionContext() { LZ4F_freeCompressionContext(cctx_); }
  LZ4F_cctx* get() {
    if (cctx_ == nullptr && LZ4F_isError(LZ4F_createCompressionContext(&cctx_, LZ4F_VERSION))) cctx_ = nullptr;
    return cctx_;
  }

 private:
  LZ4F_cctx* cctx_ = nullptr;
};

class DecompressionContext {
 public:
  ~DecompressionContext() { discard(); }
  LZ4F_dctx* get() {
    if (dctx_ == nullptr && LZ4F_isError(LZ4F_createDecompressionContext(&dctx_, LZ4F_VERSION))) dctx_ = nullptr;
    return dctx_;
  }
  // After a failed frame the decoder's state is not trusted again (a reset
  // alone left liblz4 1.9.4 refusing every later frame): start afresh.
  void discard() {
    LZ4F_freeDecompressionContext(dctx_);
    dctx_ = nullptr;
  }

 private:
  LZ4F_dctx* dctx_ = nullptr;
};

LZ4F_blockSizeID_t block_size_id(size_t body_length) {
  if (body_length <= k64KiB) return LZ4F_max64KB;
  if (body_length <= k256KiB) return LZ4F_max256KB;
  return LZ4F_max4MB;
}

size_t block_bytes(LZ4F_blockSizeID_t id) {
  if (id == LZ4F_max64KB) return k64KiB;
  if (id == LZ4F_max256KB) return k256KiB;
  return k4MiB;
}

// Decodes the frame data in `frame` (one frame, or several back to back) into
// `out` and returns the decompressed length. Once `out` is full, the rest is
// decoded into a small probe: any further output is Malformed, so a hostile
// frame costs at most out.size() bytes plus the decoder's own block buffers.
Result<size_t> decompress_with(LZ4F_dctx* dctx, ByteView frame, MutableBytes out) {
  const CodecError failed = other_error(kLz4DecompressFailed);
  uint8_t probe[64];
  size_t consumed = 0;
  size_t produced = 0;
  size_t hint = 0;
  while (consumed < frame.size()) {
    const bool full = produced == out.size();
    size_t dst_size = full ? sizeof probe : out.size() - produced;
    size_t src_size = frame.size() - consumed;
    hint = LZ4F_decompress(dctx, full ? probe : out.data() + produced, &dst_size, frame.data() + consumed,
                           &src_size, nullptr);
    VAKRA_RETURN_IF(LZ4F_isError(hint), failed);
    VAKRA_RETURN_IF(full && dst_size != 0, make_error(ErrorKind::Malformed));
    VAKRA_RETURN_IF(src_size == 0 && dst_size == 0, failed);  // no progress: never loop forever
    consumed += src_size;
    produced += dst_size;
  }
  VAKRA_RETURN_IF(hint != 0, failed);  // the input ended inside a frame
  return produced;
}

Result<size_t> decompress_bounded(ByteView frame, MutableBytes out) {
  VAKRA_RETURN_IF(frame.empty(), other_error(kLz4DecompressFailed));
  if (const std::optional<size_t> produced = lz4::decompress_blocks_concurrently(frame, out)) return *produced;
  thread_local DecompressionContext context;
  LZ4F_dctx* dctx = context.get();
  VAKRA_RETURN_IF(dctx == nullptr, other_error(kLz4DecompressFailed));
  LZ4F_resetDecompressionContext(dctx);
  Result<size_t> produced = decompress_with(dctx, frame, out);
  if (!produced.ok()) context.discard();
  return produced;
}

}  // namespace

namespace lz4 {

// FLG and BD fix the optional fields and the largest block; each block is a
// u32 length (high bit: stored uncompressed), optionally followed by a block
// checksum; a zero u32 ends the frame, then the content checksum if declared.
//
// A frame may not hold more blocks than its body has bytes, and no stored
// block may be empty. liblz4's frame writer never writes an empty block (it
// flushes only when it holds input), so each of its blocks, like each of
// compress_frame's, adds at least one byte to the body; a frame of many
// empty blocks is no writer's output, only a way to make a reader that walks
// block by block take one step per 4 bytes of input without end.
Result<size_t> measure_frame(ReadCursor& cursor, size_t trailer, uint64_t body_length, WalkStop* resume) {
  const size_t start = cursor.position();
  VAKRA_TRY(cursor.require_ahead(kShortestFrame + trailer));
  VAKRA_ASSIGN_OR_RETURN(const uint32_t magic, cursor.u32());
  VAKRA_ASSIGN_OR_RETURN(const uint8_t flg, cursor.u8());
  VAKRA_ASSIGN_OR_RETURN(const uint8_t bd, cursor.u8());
  const unsigned block_size_id = (bd >> 4) & 7;
  const bool valid =
      magic == kFrameMagic && (flg >> 6) == 1 && (flg & 0x02) == 0 && (bd & 0x8F) == 0 && block_size_id >= 4;
  VAKRA_RETURN_IF(!valid, make_error(ErrorKind::Malformed));
  const size_t max_block = size_t{1} << (8 + 2 * block_size_id);  // 64 KiB to 4 MiB
  const size_t block_checksum = (flg & 0x10) ? 4 : 0;
  const size_t content_checksum = (flg & 0x04) ? 4 : 0;
  // Content size, dictionary ID, header checksum.
  VAKRA_TRY(cursor.skip(((flg & 0x08) ? 8 : 0) + ((flg & 0x01) ? 4 : 0) + 1));

  uint64_t blocks = 0;
  if (resume != nullptr && resume->position > cursor.position()) {
    cursor.seek(resume->position);
    blocks = resume->steps;
  }
  const size_t tail = 4 + content_checksum + trailer;  // at least the next block header and what ends the frame
  for (;;) {
    if (resume != nullptr) *resume = {cursor.position(), blocks};
    VAKRA_TRY(cursor.require_ahead(tail));
    VAKRA_ASSIGN_OR_RETURN(const uint32_t block_header, cursor.u32());
    if (block_header == 0) break;
    const size_t block_length = block_header & kBlockLengthMask;
    VAKRA_RETURN_IF(block_length == 0 || block_length > max_block || ++blocks > body_length,
                    make_error(ErrorKind::Malformed));
    VAKRA_TRY(cursor.require_ahead(block_length + block_checksum + tail));
    cursor.seek(cursor.position() + block_length + block_checksum);
  }
  VAKRA_TRY(cursor.skip(content_checksum));
  return cursor.position() - start;
}

Result<OwnedBytes> compress_frame(ByteView body) {
  LZ4F_preferences_t prefs = LZ4F_INIT_PREFERENCES;
  prefs.frameInfo.blockSizeID = block_size_id(body.size());
  prefs.frameInfo.blockMode = LZ4F_blockIndependent;
  prefs.compressionLevel = 0;
  // Every block, the last partial one included, is compressed straight from
  // the input into the output: no staging through the context's buffer.
  prefs.autoFlush = 1;

  thread_local CompressionContext context;
  LZ4F_cctx* cctx = context.get();
  VAKRA_RETURN_IF(cctx == nullptr, other_error(kLz4EncodeFailed));
  const size_t block = block_bytes(prefs.frameInfo.blockSizeID);
  if (worth_splitting(body.size(), block)) return compress_blocks_concurrently(body, cctx, prefs, block);

  // Header plus the bound for one update and the end mark: the frame always
  // fits, so there is no growth loop and no copy.
  const size_t capacity = LZ4F_HEADER_SIZE_MAX + LZ4F_compressBound(body.size(), &prefs);
  OwnedBytes frame = memory::fresh_output(capacity);
  uint8_t* out = frame.data();

  size_t written = LZ4F_compressBegin(cctx, out, capacity, &prefs);
  VAKRA_RETURN_IF(LZ4F_isError(written), other_error(kLz4EncodeFailed));
  if (!body.empty()) {
    const size_t blocks =
        LZ4F_compressUpdate(cctx, out + written, capacity - written, body.data(), body.size(), nullptr);
    VAKRA_RETURN_IF(LZ4F_isError(blocks), other_error(kLz4EncodeFailed));
    written += blocks;
  }
  const size_t end_mark = LZ4F_compressEnd(cctx, out + written, capacity - written, nullptr);
  VAKRA_RETURN_IF(LZ4F_isError(end_mark), other_error(kLz4FinishFailed));
  frame.truncate(written + end_mark);
  return frame;
}

}  // namespace lz4

Result<OwnedBytes> lz4_decompress_frame(ByteView frame, uint64_t max_output) {
  // Room for every byte the frame could hold, up to the caller's bound, is
  // reserved once and written in place, so a tiny frame never costs a large
  // allocation.
  const uint64_t capacity = std::min(max_output, lz4_max_decompressed_size(frame.size()));
  OwnedBytes out = memory::fresh_output(static_cast<size_t>(capacity));
  VAKRA_ASSIGN_OR_RETURN(const size_t produced, decompress_bounded(frame, out.span()));
  out.truncate(produced);
  return out;
}

Status lz4_decompress_frame_into(ByteView frame, MutableBytes out) {
  VAKRA_ASSIGN_OR_RETURN(const size_t produced, decompress_bounded(frame, out));
  VAKRA_RETURN_IF(produced != out.size(), make_error(ErrorKind::Malformed));
  return {};
}

}  // namespace vakra
