// Sparse matrix packets: header with the format bit, the matrix shape, then
// three u32-length-prefixed dense component packets written in place.
#include <algorithm>

#include "vakra/header.hpp"
#include "vakra/plan.hpp"
#include "vakra/sparse.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

constexpr size_t kComponentCount = 3;
// Components are always standard-aligned, unchecked and uncompressed, so
// planning them never allocates.
constexpr EncodeOptions kComponentOptions{kStandardAlignment, false, false};

struct SparseParts {
  std::array<DensePlan, kComponentCount> components;
  size_t size = 0;
};

Result<SparseParts> plan_parts(std::span<const uint32_t> shape, std::span<const DenseView> components) {
  VAKRA_RETURN_IF(components.size() != kComponentCount, make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(shape.size() > MAX_NDIM, make_error(ErrorKind::TooManyDimensions));
  SparseParts parts;
  for (size_t k = 0; k < kComponentCount; ++k) {
    VAKRA_ASSIGN_OR_RETURN(parts.components[k], plan_dense(components[k], kComponentOptions));
  }
  parts.size = kHeaderLenV4 + 4 * shape.size();
  for (const DensePlan& component : parts.components) {
    // The length prefix is a u32; three components below 4 GiB cannot overflow the sum.
    VAKRA_RETURN_IF(component.size >= kMaxPartLength, make_error(ErrorKind::Malformed));
    parts.size += 4 + component.size;
  }
  return parts;
}

// `out` holds at least the planned size.
void write_parts(uint16_t format_flag, std::span<const uint32_t> shape,
                 const std::array<DensePlan, kComponentCount>& components, MutableBytes out) {
  write_v4_header(out, format_flag, 0, static_cast<uint8_t>(shape.size()));
  size_t p = kHeaderLenV4;
  for (uint32_t dim : shape) {
    wire::store_u32(out.data() + p, dim);
    p += 4;
  }
  for (const DensePlan& component : components) {
    wire::store_u32(out.data() + p, static_cast<uint32_t>(component.size));
    write_dense(component, out.subspan(p + 4, component.size));
    p += 4 + component.size;
  }
}

}  // namespace

uint16_t sparse_format_flag(SparseFormat format) {
  switch (format) {
    case SparseFormat::coo:
      return FLAG_SPARSE_COO;
    case SparseFormat::csr:
      return FLAG_SPARSE_CSR;
    case SparseFormat::csc:
      return FLAG_SPARSE_CSC;
  }
  return 0;  // not a format
}

Result<size_t> sparse_required_size(std::span<const uint32_t> shape, std::span<const DenseView> components) {
  SparseParts parts;
  VAKRA_ASSIGN_OR_RETURN(parts, plan_parts(shape, components));
  return parts.size;
}

Result<size_t> encode_sparse_into(SparseFormat format, std::span<const uint32_t> shape,
                                  std::span<const DenseView> components, MutableBytes buffer) {
  SparseParts parts;
  VAKRA_ASSIGN_OR_RETURN(parts, plan_parts(shape, components));
  const uint16_t format_flag = sparse_format_flag(format);
  VAKRA_RETURN_IF(format_flag == 0, make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(buffer.size() < parts.size, make_error(ErrorKind::BufferTooSmall));
  write_parts(format_flag, shape, parts.components, buffer);
  return parts.size;
}

Result<SparsePlan> plan_sparse(SparseFormat format, std::span<const uint32_t> shape,
                               std::span<const DenseView> components) {
  SparseParts parts;
  VAKRA_ASSIGN_OR_RETURN(parts, plan_parts(shape, components));
  VAKRA_RETURN_IF(sparse_format_flag(format) == 0, make_error(ErrorKind::Malformed));
  SparsePlan plan;
  plan.format = format;
  plan.shape.assign(shape.begin(), shape.end());
  plan.components = std::move(parts.components);
  plan.size = parts.size;
  return plan;
}

void write_sparse(const SparsePlan& plan, MutableBytes out) {
  write_parts(sparse_format_flag(plan.format), plan.shape, plan.components, out);
}

}  // namespace vakra
