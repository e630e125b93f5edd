// Dense packets: the layout (header, shape, alignment, body, optional
// checksum), the planning and writing of one, and its reader, check and view.
#include "hash_internal.hpp"
#include "lz4_internal.hpp"
#include "packet_kinds_internal.hpp"
#include "sink_internal.hpp"
#include "vakra/dense.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

// The element type of a dense body: a code whose type is dense.
Result<Dtype> dense_dtype(uint8_t code) {
  VAKRA_ASSIGN_OR_RETURN(const Dtype dtype, dtype_from_code(code));
  VAKRA_RETURN_IF(!is_dense(dtype), make_error(ErrorKind::UnknownDtype, code));
  return dtype;
}

}  // namespace

Result<DenseLayout> dense_layout(const DenseView& view, size_t alignment) {
  VAKRA_RETURN_IF(!wire::is_power_of_two(alignment), make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(view.shape.size() > MAX_NDIM, make_error(ErrorKind::TooManyDimensions));
  VAKRA_ASSIGN_OR_RETURN(const uint64_t body_length, dense_body_length(view.dtype, view.shape));
  VAKRA_RETURN_IF(view.data.size() != body_length, make_error(ErrorKind::Malformed));

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
                                 plan.body().size() + (options.check_integrity ? kChecksumLength : 0));
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

  if (options.check_integrity) {
    sink.checked_body(plan.body());
  } else {
    sink.body(plan.body());
  }
}

Status read_dense(ReadCursor& cursor, const PacketHeader& header, WalkMode mode, WalkStop* resume, WalkedDense& out) {
  VAKRA_ASSIGN_OR_RETURN(out.dtype, dense_dtype(header.dtype_code));
  VAKRA_TRY(cursor.shape(header.ndim, out.shape));
  VAKRA_ASSIGN_OR_RETURN(const uint64_t elements_length, dense_body_length(out.dtype, out.shape));  // <= 16 * 10^9
  VAKRA_ASSIGN_OR_RETURN(const size_t body_start, cursor.body_start(header.flags));
  const size_t footer = checksum_length(header);
  out.compressed = (header.flags & FLAG_COMPRESSED) != 0;
  if (out.compressed && mode == WalkMode::Measure) {
    VAKRA_ASSIGN_OR_RETURN(const size_t frame_length, lz4::measure_frame(cursor, footer, elements_length, resume));
    out.body = {body_start, frame_length};
  } else {
    size_t body_length = elements_length;
    if (out.compressed) {
      // The frame runs to the end of the packet's bytes, less the checksum.
      VAKRA_TRY(cursor.require(body_start));
      VAKRA_TRY(cursor.require_ahead(footer));
      body_length = cursor.end() - body_start - footer;
    }
    VAKRA_TRY(cursor.take(body_length, out.body, footer));
  }
  return cursor.take(footer, out.checksum);
}

Status verify_dense(const WalkedDense& dense, const ByteSource& bytes) {
  if (dense.checksum.length == 0) return {};
  VAKRA_RETURN_IF(bytes.u64_at(dense.checksum) != hash::xxh3(bytes.view(dense.body)), make_error(ErrorKind::IntegrityMismatch));
  return {};
}

void dense_value(WalkedDense&& dense, const ByteSource& bytes, DecodedDense& out) {
  out.dtype = dense.dtype;
  out.shape = std::move(dense.shape);
  out.data = bytes.view(dense.body);
  out.compressed = dense.compressed;
}

}  // namespace vakra
