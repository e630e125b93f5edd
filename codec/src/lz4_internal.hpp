// LZ4 frame compression of one dense body.
#pragma once

#include <lz4frame.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "vakra/bytes.hpp"
#include "vakra/result.hpp"

namespace vakra::lz4 {

// Compresses `body` into one LZ4 frame: independent blocks, no checksums, no
// content size, no dictionary ID; the block size is 64 KiB for bodies up to
// 65,536 bytes, 256 KiB up to 262,144 bytes, 4 MiB above.
// Other("LZ4 frame encode failed" / "LZ4 frame finish failed") on failure.
Result<OwnedBytes> compress_frame(ByteView body);

// Whether a body of `body_size` bytes in blocks of `block_bytes` is worth
// handing to the thread pool: several blocks, and more than one thread.
bool worth_splitting(size_t body_size, size_t block_bytes);

// The frame compress_frame writes, with its blocks compressed concurrently;
// `cctx` writes the frame header for `prefs`.
Result<OwnedBytes> compress_blocks_concurrently(ByteView body, LZ4F_cctx* cctx, const LZ4F_preferences_t& prefs,
                                                size_t block_bytes);

// Decodes a frame of the kind compress_frame writes (several independent
// blocks, no checksums) with one block per task, straight into `out`, and
// returns the decoded length. nullopt when the frame is of any other kind,
// damaged, or does not fit `out`: the caller then decodes it sequentially,
// which reports the failure the usual way.
std::optional<size_t> decompress_blocks_concurrently(ByteView frame, MutableBytes out);

// The most bytes any LZ4 frame data of `frame_size` bytes can decompress to.
// A compressed block expands at most 255-fold (each match-length byte adds at
// most 255 output bytes; literals are 1:1), stored blocks not at all, and
// headers, checksums and skippable frames add input but no output. Lets a
// caller refuse an impossible output size before allocating it.
constexpr uint64_t max_decompressed_size(uint64_t frame_size) {
  constexpr uint64_t kMaxExpansion = 255;
  return frame_size > UINT64_MAX / kMaxExpansion ? UINT64_MAX : frame_size * kMaxExpansion;
}

}  // namespace vakra::lz4
