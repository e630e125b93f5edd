// The readers of the kinds the dispatcher (decode.cpp) cannot hand to a
// public kind decoder: the containers, which recurse through decode_depth,
// and the Inline record. Each lives in its kind's file.
#pragma once

#include <cstddef>

#include "vakra/decode.hpp"

namespace vakra {

Result<Decoded> decode_bundle(ByteView bytes, const PacketHeader& header, size_t depth, CompressedBodies compressed);
Result<Decoded> decode_sparse(ByteView bytes, const PacketHeader& header, SparseFormat format, size_t depth,
                              CompressedBodies compressed);
Result<Decoded> decode_inline(ByteView bytes, const PacketHeader& header);

}  // namespace vakra
