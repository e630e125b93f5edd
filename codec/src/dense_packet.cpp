// Dense packets: the layout (header, shape, alignment, body, optional
// checksum), the planning and writing of one, and its two readers: a
// borrowing view of the body, and an owning copy that also decompresses LZ4
// bodies.
#include <cstring>

#include "body_copy_internal.hpp"
#include "hash_internal.hpp"
#include "lz4_internal.hpp"
#include "memory_internal.hpp"
#include "read_cursor_internal.hpp"
#include "sink_internal.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

// The element type of a dense body: a valid code with a fixed element size.
Result<Dtype> dense_dtype(uint8_t code) {
  VAKRA_ASSIGN_OR_RETURN(const Dtype dtype, dtype_from_code(code));
  VAKRA_RETURN_IF(element_size(dtype) == 0, make_error(ErrorKind::UnknownDtype, code));
  return dtype;
}

// The LZ4 frame of a packet refused by the borrowing decoder, read again as a
// dense packet whatever its kind bits say, and decompressed into exactly
// element count x element size bytes.
Result<DenseOwned> decompress_refused(ByteView bytes) {
  VAKRA_ASSIGN_OR_RETURN(const PacketHeader header, parse_header(bytes));
  DenseOwned owned;
  VAKRA_ASSIGN_OR_RETURN(owned.dtype, dense_dtype(header.dtype_code));
  ReadCursor cursor(bytes, header.header_len);
  VAKRA_ASSIGN_OR_RETURN(owned.shape, cursor.shape(header.ndim));
  VAKRA_ASSIGN_OR_RETURN(const uint64_t count, element_count(owned.shape));
  // Alignment, checksum and compression bits all lie in the low flags byte.
  const uint16_t flags = header.flags & 0xFF;
  VAKRA_ASSIGN_OR_RETURN(const size_t body_start, cursor.body_start(flags));
  const size_t footer = (flags & FLAG_INTEGRITY) ? kChecksumLength : 0;
  VAKRA_TRY(cursor.require_ahead(footer));
  const ByteView frame = bytes.subspan(body_start, bytes.size() - footer - body_start);

  // A frame too small to hold the declared body is refused before the body
  // is allocated: a tiny packet cannot make us reserve gigabytes.
  const uint64_t body_len = count * element_size(owned.dtype);
  VAKRA_RETURN_IF(body_len > lz4::max_decompressed_size(frame.size()), make_error(ErrorKind::Malformed));
  owned.data = memory::fresh_output(body_len);
  VAKRA_TRY(lz4_decompress_frame_into(frame, owned.data.span()));
  return owned;
}

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

Result<DecodedDense> decode_dense(ByteView bytes, const PacketHeader& header, CompressedBodies compressed) {
  DecodedDense dense;
  VAKRA_ASSIGN_OR_RETURN(dense.dtype, dense_dtype(header.dtype_code));
  ReadCursor cursor(bytes, header.header_len);
  VAKRA_ASSIGN_OR_RETURN(dense.shape, cursor.shape(header.ndim));
  VAKRA_ASSIGN_OR_RETURN(const uint64_t count, element_count(dense.shape));
  VAKRA_ASSIGN_OR_RETURN(const size_t body_start, cursor.body_start(header.flags));
  VAKRA_TRY(cursor.require(body_start));
  const size_t footer = (header.flags & FLAG_INTEGRITY) ? kChecksumLength : 0;
  const bool is_compressed = (header.flags & FLAG_COMPRESSED) != 0;

  size_t body_len = count * element_size(dense.dtype);  // at most 16 * 10^9
  if (is_compressed) {
    // The frame runs to the end of the input, less the checksum.
    VAKRA_TRY(cursor.require_ahead(footer));
    body_len = bytes.size() - body_start - footer;
  }
  VAKRA_ASSIGN_OR_RETURN(dense.data, cursor.take(body_len));
  if (footer != 0) {
    VAKRA_ASSIGN_OR_RETURN(const uint64_t stored, cursor.u64());
    VAKRA_RETURN_IF(stored != hash::xxh3(dense.data), make_error(ErrorKind::IntegrityMismatch));
  }
  if (is_compressed) {
    VAKRA_RETURN_IF(compressed == CompressedBodies::Refuse, other_error(kCompressedNeedsOwningPath));
    dense.compressed = true;
  }
  return dense;
}

Result<DenseOwned> decode_dense_to_owned(ByteView bytes) {
  Result<Decoded> decoded = decode(bytes);
  if (!decoded.ok()) {
    // Other is the borrowing decoder's refusal of a compressed body, raised
    // only after every check up to and including the checksum has passed.
    if (decoded.error().kind == ErrorKind::Other) return decompress_refused(bytes);
    return decoded.error();
  }
  auto* dense = std::get_if<DecodedDense>(&decoded->value);
  VAKRA_RETURN_IF(dense == nullptr, make_error(ErrorKind::Malformed));

  DenseOwned owned;
  owned.dtype = dense->dtype;
  owned.shape = std::move(dense->shape);
  owned.data = memory::fresh_output(dense->data.size());
  const parallel::BodyCopy copy{owned.data.data(), dense->data};
  parallel::copy_bodies({&copy, 1});
  return owned;
}

}  // namespace vakra
