// Quantized tensors: 8- or 4-bit codes with scale and zero-point tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vakra/bytes.hpp"
#include "vakra/dtype.hpp"

namespace vakra {

// A quantized tensor to encode, borrowed from the caller. The codec carries
// scheme, axis and group size as they are and gives them no meaning.
struct QuantizedView {
  std::span<const uint32_t> shape;  // of the unquantized tensor
  ByteView scales;       // 4 bytes per entry
  ByteView zero_points;  // same length as scales
  ByteView data;         // packed codes; only the first V bytes are used
  uint32_t group_size = 0;
  uint8_t quant_scheme = 0;    // the Python package: 0 per tensor, 1 per axis, 2 per group
  uint8_t axis = 0;
  Dtype dtype = Dtype::Qint8;  // qint8, quint8, qint4 or quint4
};

// Where the parts of a quantized packet lie, from its first byte.
struct QuantizedLayout {
  size_t params_start = 0;  // right after the shape: scheme, axis, group size, entry count, tables
  size_t tables_end = 0;    // end of the zero points; the alignment byte goes here
  size_t body_start = 0;
  size_t value_bytes = 0;   // V: one byte per code, or two 4-bit codes per byte
};

}  // namespace vakra
