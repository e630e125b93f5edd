// LZ4 frames: compressing a dense body into one frame, and decompressing
// frames into a caller-sized destination without ever passing its end.
#include <lz4frame.h>

#include <algorithm>

#include "lz4_internal.hpp"
#include "memory_internal.hpp"
#include "vakra/dense.hpp"

namespace vakra {
namespace {

constexpr size_t k64KiB = size_t{64} << 10;
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
  const uint64_t capacity = std::min(max_output, lz4::max_decompressed_size(frame.size()));
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
