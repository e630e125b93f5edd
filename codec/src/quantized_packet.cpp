// Quantized packets: shape, quantization parameters with their scale and
// zero-point tables, then the packed codes at an aligned body start. The
// optional checksum covers the parameter block and the codes, streamed over
// the two ranges so they are never assembled.
#include <algorithm>

#include "hash_internal.hpp"
#include "packet_kinds_internal.hpp"
#include "sink_internal.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

// scheme (1), axis (1), group size (u32), scale entry count (u32).
constexpr size_t kParamsLength = 10;

// Bytes of packed codes: one per element, or two elements per byte for 4-bit types.
uint64_t value_bytes(Dtype dtype, uint64_t elements) {
  const bool four_bit = dtype == Dtype::Qint4 || dtype == Dtype::Quint4;
  return four_bit ? elements / 2 + elements % 2 : elements;
}

}  // namespace

// Validates the view in the documented order and places every part.
Result<QuantizedPlan> plan_quantized(const QuantizedView& view, const EncodeOptions& options) {
  VAKRA_RETURN_IF(!wire::is_power_of_two(options.alignment), make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(!is_quantized(view.dtype), make_error(ErrorKind::UnknownDtype, dtype_code(view.dtype)));
  VAKRA_RETURN_IF(view.shape.size() > MAX_NDIM, make_error(ErrorKind::TooManyDimensions));
  const size_t table_len = view.scales.size();
  VAKRA_RETURN_IF(view.zero_points.size() != table_len || table_len % 4 != 0, make_error(ErrorKind::Malformed));
  // The entry count is a u32 on the wire.
  VAKRA_RETURN_IF(table_len / 4 > UINT32_MAX, make_error(ErrorKind::Malformed));
  VAKRA_ASSIGN_OR_RETURN(const uint64_t elements, element_count(view.shape));
  QuantizedPlan plan{view, options, {}, 0};
  QuantizedLayout& layout = plan.layout;
  layout.value_bytes = value_bytes(view.dtype, elements);
  VAKRA_RETURN_IF(view.data.size() < layout.value_bytes, make_error(ErrorKind::Malformed));

  layout.params_start = kHeaderLenV4 + 4 * view.shape.size();
  // Both tables are views of real memory, so 2 * table_len cannot overflow.
  layout.tables_end = layout.params_start + kParamsLength + 2 * table_len;
  const size_t prefix = layout.tables_end + (options.alignment != kStandardAlignment ? 1 : 0);
  layout.body_start = prefix + wire::padding_for(prefix, options.alignment);
  plan.size = layout.body_start + layout.value_bytes + (options.check_integrity ? kChecksumLength : 0);
  return plan;
}

void emit_quantized(const QuantizedPlan& plan, PacketSink& sink) {
  const QuantizedView& view = plan.view;
  const QuantizedLayout& layout = plan.layout;
  const MutableBytes prefix = sink.piece(layout.body_start);
  uint8_t* out = prefix.data();
  const uint16_t flags = wire::alignment_flag(plan.options.alignment) | (plan.options.check_integrity ? FLAG_INTEGRITY : 0);
  write_v4_header(prefix, flags, dtype_code(view.dtype), static_cast<uint8_t>(view.shape.size()));
  size_t p = kHeaderLenV4;
  for (uint32_t dim : view.shape) {
    wire::store_u32(out + p, dim);
    p += 4;
  }
  out[p] = view.quant_scheme;
  out[p + 1] = view.axis;
  wire::store_u32(out + p + 2, view.group_size);
  wire::store_u32(out + p + 6, static_cast<uint32_t>(view.scales.size() / 4));
  p += kParamsLength;
  // The tables are small next to the codes: they travel inside the prefix.
  std::ranges::copy(view.scales, out + p);
  p += view.scales.size();
  std::ranges::copy(view.zero_points, out + p);
  wire::write_alignment(out, layout.tables_end, plan.options.alignment);

  const ByteView codes = view.data.first(layout.value_bytes);
  if (!plan.options.check_integrity) {
    sink.body(codes);
    return;
  }
  // The checksum covers the parameter block, as just written into the
  // packet, and the codes, as the sink writes them.
  hash::Xxh3Stream stream;
  stream.update(prefix.subspan(layout.params_start, layout.tables_end - layout.params_start));
  sink.checked_parts({&codes, 1}, std::move(stream));
}

Status read_quantized(ReadCursor& cursor, const PacketHeader& header, WalkedQuantized& out) {
  VAKRA_ASSIGN_OR_RETURN(out.dtype, dtype_from_code(header.dtype_code));
  // Only reached for quantized codes through the dispatcher; refuse others
  // rather than size their body by a rule that does not apply.
  VAKRA_RETURN_IF(!is_quantized(out.dtype), make_error(ErrorKind::UnknownDtype, header.dtype_code));
  VAKRA_TRY(cursor.shape(header.ndim, out.shape));
  VAKRA_ASSIGN_OR_RETURN(const uint64_t elements, element_count(out.shape));
  const size_t params_start = cursor.position();
  VAKRA_TRY(cursor.require_ahead(kParamsLength));
  VAKRA_ASSIGN_OR_RETURN(out.quant_scheme, cursor.u8());
  VAKRA_ASSIGN_OR_RETURN(out.axis, cursor.u8());
  VAKRA_ASSIGN_OR_RETURN(out.group_size, cursor.u32());
  VAKRA_ASSIGN_OR_RETURN(out.scale_count, cursor.u32());
  const size_t table_len = size_t{4} * out.scale_count;  // at most 2^34
  VAKRA_TRY(cursor.take(table_len, out.scales));
  VAKRA_TRY(cursor.take(table_len, out.zero_points));
  out.parameters = {params_start, cursor.position() - params_start};
  VAKRA_TRY(cursor.body_start(header.flags));
  const size_t footer = checksum_length(header);
  VAKRA_TRY(cursor.take(value_bytes(out.dtype, elements), out.codes, footer));
  return cursor.take(footer, out.checksum);
}

Status verify_quantized(const WalkedQuantized& quantized, const ByteSource& bytes) {
  if (quantized.checksum.length == 0) return {};
  // One digest over two ranges that are not neighbours, streamed.
  hash::Xxh3Stream stream;
  stream.update(bytes.view(quantized.parameters));
  stream.update(bytes.view(quantized.codes));
  VAKRA_RETURN_IF(bytes.u64_at(quantized.checksum) != stream.digest(), make_error(ErrorKind::IntegrityMismatch));
  return {};
}

void quantized_value(WalkedQuantized&& quantized, const ByteSource& bytes, DecodedQuantized& out) {
  out.dtype = quantized.dtype;
  out.shape = std::move(quantized.shape);
  out.scales = bytes.view(quantized.scales);
  out.zero_points = bytes.view(quantized.zero_points);
  out.data = bytes.view(quantized.codes);
  out.axis = quantized.axis;  // the wire byte, widened
  out.group_size = quantized.group_size;
  out.quant_scheme = quantized.quant_scheme;
}

}  // namespace vakra
