// Dense n-dimensional packets: the encoder's input and layout (plan.hpp
// plans and writes them), and the owning read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/dtype.hpp"
#include "vakra/header.hpp"
#include "vakra/result.hpp"

namespace vakra {

struct DenseView {
  ByteView data;                   // element bytes as they go on the wire
  std::span<const uint32_t> shape;  // outermost first
  Dtype dtype = Dtype::Float32;
};

struct EncodeOptions {
  size_t alignment = kStandardAlignment;  // power of two, 1 allowed
  bool check_integrity = false;
  bool compress = false;
};

struct DenseLayout {
  size_t prefix_len = 0;  // header + shape (+ alignment byte)
  size_t padding = 0;     // zero bytes before the body
  bool custom_alignment = false;
  size_t body_offset() const { return prefix_len + padding; }
};

// Validates the view and places the body for `alignment`.
Result<DenseLayout> dense_layout(const DenseView& view, size_t alignment);

struct DenseOwned {
  Dtype dtype = Dtype::Float32;
  OwnedBytes data;
  std::vector<uint32_t> shape;
};

// Owning read of a whole top-level dense packet, decompressing when needed.
Result<DenseOwned> decode_dense_to_owned(ByteView bytes);

// Decompresses one LZ4 frame (any standard settings, checksums verified).
// Output beyond `max_output` bytes is Malformed: a small hostile frame cannot
// make the caller allocate without bound.
Result<OwnedBytes> lz4_decompress_frame(ByteView frame, uint64_t max_output);

// Decompresses one LZ4 frame into exactly `out`: Malformed unless the frame
// holds exactly out.size() bytes.
Status lz4_decompress_frame_into(ByteView frame, MutableBytes out);

}  // namespace vakra
