// Dense n-dimensional packets: the encoder's input and layout (plan.hpp
// plans and writes them), and LZ4 decompression of compressed bodies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vakra/bytes.hpp"
#include "vakra/dtype.hpp"
#include "vakra/header.hpp"
#include "vakra/result.hpp"

namespace vakra {

// A dense array to encode, borrowed from the caller: C order, little-endian
// element bytes, exactly element_count(shape) * element_size(dtype) of them.
struct DenseView {
  ByteView data;                   // element bytes as they go on the wire
  std::span<const uint32_t> shape;  // outermost first
  Dtype dtype = Dtype::Float32;  // a dense type (codes 1 to 15)
};

// How bodies are stored; the defaults give the smallest, fastest packets.
struct EncodeOptions {
  size_t alignment = kStandardAlignment;  // power of two, 1 allowed
  bool check_integrity = false;           // an XXH3-64 checksum after the body, verified on decode
  bool compress = false;                  // the body as one LZ4 frame (dense bodies only)
};

// Where a dense packet's body starts.
struct DenseLayout {
  size_t prefix_len = 0;  // header + shape (+ alignment byte)
  size_t padding = 0;     // zero bytes before the body
  bool custom_alignment = false;  // alignment other than 64: one extra byte records it
  size_t body_offset() const { return prefix_len + padding; }
};

// Validates the view and places the body for `alignment`.
Result<DenseLayout> dense_layout(const DenseView& view, size_t alignment);

// The most bytes any LZ4 frame data of `frame_size` bytes can decompress to.
// A compressed block expands at most 255-fold (each match-length byte adds at
// most 255 output bytes; literals are 1:1), stored blocks not at all, and
// headers, checksums and skippable frames add input but no output. Lets a
// caller refuse an impossible output size before allocating it.
constexpr uint64_t lz4_max_decompressed_size(uint64_t frame_size) {
  constexpr uint64_t kMaxExpansion = 255;
  return frame_size > UINT64_MAX / kMaxExpansion ? UINT64_MAX : frame_size * kMaxExpansion;
}

// Decompresses one LZ4 frame (any standard settings, checksums verified).
// Output beyond `max_output` bytes is Malformed: a small hostile frame cannot
// make the caller allocate without bound.
Result<OwnedBytes> lz4_decompress_frame(ByteView frame, uint64_t max_output);

// Decompresses one LZ4 frame into exactly `out`: Malformed unless the frame
// holds exactly out.size() bytes.
Status lz4_decompress_frame_into(ByteView frame, MutableBytes out);

}  // namespace vakra
