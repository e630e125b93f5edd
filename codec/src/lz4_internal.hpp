// LZ4 frames of dense bodies: compression, the concurrent block coders and
// the measuring of a frame by its block headers.
#pragma once

#include <lz4frame.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "read_cursor_internal.hpp"
#include "vakra/bytes.hpp"
#include "vakra/result.hpp"
#include "vakra/walk.hpp"

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

// The length of the LZ4 frame at the cursor, read from its header and block
// headers only, with the cursor left at its end; `trailer` bytes must follow
// it. `body_length` is what the frame decompresses to: a frame may hold at
// most that many blocks (see lz4_frame.cpp). With `resume` the walk over the
// blocks takes up where a previous call stopped for want of bytes.
Result<size_t> measure_frame(ReadCursor& cursor, size_t trailer, uint64_t body_length, WalkStop* resume);

}  // namespace vakra::lz4
