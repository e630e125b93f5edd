// Quantized tensors: 8- or 4-bit codes with scale and zero-point tables.
#pragma once

#include <cstdint>
#include <span>

#include "vakra/bytes.hpp"
#include "vakra/dense.hpp"
#include "vakra/dtype.hpp"
#include "vakra/result.hpp"

namespace vakra {

struct QuantizedView {
  std::span<const uint32_t> shape;
  ByteView scales;       // 4 bytes per entry
  ByteView zero_points;  // same length as scales
  ByteView data;         // packed codes; only the first V bytes are used
  uint32_t group_size = 0;
  uint8_t quant_scheme = 0;
  uint8_t axis = 0;
  Dtype dtype = Dtype::Qint8;
};

// `compress` in the options is ignored: quantized bodies are never compressed.
Result<size_t> quantized_required_size(const QuantizedView& view, const EncodeOptions& options);

Result<size_t> encode_quantized_into(const QuantizedView& view, MutableBytes buffer, const EncodeOptions& options);

}  // namespace vakra
