// LZ4 frame compression of one dense body.
#pragma once

#include <cstddef>

#include "vakra/bytes.hpp"
#include "vakra/result.hpp"

namespace vakra::lz4 {

// The block size a body of `body_length` bytes is framed with: 64 KiB up to
// 65,536 bytes, 256 KiB up to 262,144 bytes, 4 MiB above.
size_t max_block_size(size_t body_length);

// Compresses `body` into one LZ4 frame: independent blocks, no checksums, no
// content size, no dictionary ID, block size chosen from the body length.
// Other("LZ4 frame encode failed" / "LZ4 frame finish failed") on failure.
Result<OwnedBytes> compress_frame(ByteView body);

}  // namespace vakra::lz4
