// Sparse matrix packets: header with the format bit, the matrix shape, then
// three u32-length-prefixed slots, each a dense component packet (values and
// two index arrays) and any zero padding the plan gives it, written from a
// plan and read back component by component.
#include "packet_kinds_internal.hpp"
#include "sink_internal.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

constexpr size_t kComponentCount = 3;
// Components are always standard-aligned, unchecked and uncompressed, so
// planning them never allocates.
constexpr EncodeOptions kComponentOptions{kStandardAlignment, false, false};

uint16_t format_flag(SparseFormat format) {
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

}  // namespace

Result<SparsePlan> plan_sparse(SparseFormat format, std::span<const uint32_t> shape,
                               std::span<const DenseView> components) {
  VAKRA_RETURN_IF(components.size() != kComponentCount, make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(shape.size() > MAX_NDIM, make_error(ErrorKind::TooManyDimensions));
  SparsePlan plan;
  for (size_t k = 0; k < kComponentCount; ++k) {
    VAKRA_ASSIGN_OR_RETURN(plan.components[k], plan_dense(components[k], kComponentOptions));
  }
  plan.size = kHeaderLenV4 + 4 * shape.size();
  for (const DensePlan& component : plan.components) {
    // The length prefix is a u32; three components below 4 GiB cannot overflow the sum.
    VAKRA_RETURN_IF(component.size >= kMaxPartLength, make_error(ErrorKind::Malformed));
    plan.size += 4 + component.size;
  }
  VAKRA_RETURN_IF(format_flag(format) == 0, make_error(ErrorKind::Malformed));
  plan.format = format;
  plan.shape.assign(shape.begin(), shape.end());
  return plan;
}

void emit_sparse(const SparsePlan& plan, PacketSink& sink) {
  const MutableBytes head = sink.piece(kHeaderLenV4 + 4 * plan.shape.size());
  write_v4_header(head, format_flag(plan.format), 0, static_cast<uint8_t>(plan.shape.size()));
  for (size_t i = 0; i < plan.shape.size(); ++i) wire::store_u32(head.data() + kHeaderLenV4 + 4 * i, plan.shape[i]);
  for (size_t k = 0; k < kComponentCount; ++k) {
    wire::store_u32(sink.piece(4).data(), static_cast<uint32_t>(plan.components[k].size + plan.pads[k]));
    emit_dense(plan.components[k], sink);
    emit_zeros(plan.pads[k], sink);
  }
}

Status read_sparse_component(ReadCursor& cursor, bool more, WalkMode mode, ByteRange& slot) {
  // A walker of a prefix asks for the next length prefix along with each component.
  return cursor.part(slot, mode == WalkMode::Measure && more ? 4 : 0);
}

}  // namespace vakra
