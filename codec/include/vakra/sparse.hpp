// Sparse matrix packets: the matrix shape and three length-prefixed dense
// component packets (values and two index arrays).
#pragma once

#include <cstdint>
#include <span>

#include "vakra/bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"
#include "vakra/result.hpp"

namespace vakra {

uint16_t sparse_format_flag(SparseFormat format);

Result<size_t> sparse_required_size(std::span<const uint32_t> shape, std::span<const DenseView> components);

Result<size_t> encode_sparse_into(SparseFormat format, std::span<const uint32_t> shape,
                                  std::span<const DenseView> components, MutableBytes buffer);

}  // namespace vakra
