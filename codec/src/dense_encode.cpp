// Dense packets: layout, planning and writing (header, shape, alignment,
// body, optional checksum).
#include "lz4_internal.hpp"
#include "sink_internal.hpp"
#include "vakra/dense.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

constexpr size_t kChecksumLen = 8;

}  // namespace

Result<DenseLayout> dense_layout(const DenseView& view, size_t alignment) {
  VAKRA_RETURN_IF(!wire::is_power_of_two(alignment), make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(view.shape.size() > MAX_NDIM, make_error(ErrorKind::TooManyDimensions));
  VAKRA_ASSIGN_OR_RETURN(const uint64_t count, element_count(view.shape));
  const uint8_t code = dtype_code(view.dtype);
  // A Dtype outside the enumeration (a cast from a bad integer) has no table row.
  VAKRA_RETURN_IF(static_cast<uint8_t>(view.dtype) >= kMaxDtypeCode, make_error(ErrorKind::UnknownDtype, code));
  const size_t elem_size = element_size(view.dtype);
  VAKRA_RETURN_IF(elem_size == 0, make_error(ErrorKind::UnknownDtype, code));
  // count <= 10^9 and elem_size <= 16: the product cannot overflow.
  VAKRA_RETURN_IF(view.data.size() != count * elem_size, make_error(ErrorKind::Malformed));

  DenseLayout layout;
  layout.custom_alignment = alignment != kStandardAlignment;
  layout.prefix_len = kHeaderLenV4 + 4 * view.shape.size() + (layout.custom_alignment ? 1 : 0);
  layout.padding = wire::padding_for(layout.prefix_len, alignment);
  return layout;
}

Result<DensePlan> plan_dense(const DenseView& view, const EncodeOptions& options) {
  DensePlan plan;
  VAKRA_ASSIGN_OR_RETURN(plan.layout, dense_layout(view, options.alignment));
  plan.view = view;
  plan.options = options;
  if (options.compress) {
    VAKRA_ASSIGN_OR_RETURN(plan.compressed, lz4::compress_frame(view.data));
  }
  // The body offset is at most 2^63 (the largest alignment) and the body well
  // under 2^40, but the sum is checked rather than argued.
  auto total = wire::checked_add(plan.layout.body_offset(),
                                 plan.body().size() + (options.check_integrity ? kChecksumLen : 0));
  VAKRA_RETURN_IF(!total, make_error(ErrorKind::Malformed));
  plan.size = *total;
  return plan;
}

void emit_dense(const DensePlan& plan, PacketSink& sink) {
  const EncodeOptions& options = plan.options;
  uint16_t flags = wire::alignment_flag(options.alignment);
  if (options.check_integrity) flags |= FLAG_INTEGRITY;
  if (options.compress) flags |= FLAG_COMPRESSED;
  const size_t ndim = plan.view.shape.size();
  const MutableBytes prefix = sink.piece(plan.layout.body_offset());
  write_v4_header(prefix, flags, dtype_code(plan.view.dtype), static_cast<uint8_t>(ndim));
  for (size_t i = 0; i < ndim; ++i) wire::store_u32(prefix.data() + kHeaderLenV4 + 4 * i, plan.view.shape[i]);
  wire::write_alignment(prefix.data(), kHeaderLenV4 + 4 * ndim, options.alignment);

  if (!options.check_integrity) {
    sink.body(plan.body());
    return;
  }
  const uint64_t checksum = sink.hashed_body(plan.body());
  wire::store_u64(sink.piece(kChecksumLen).data(), checksum);
}

}  // namespace vakra
