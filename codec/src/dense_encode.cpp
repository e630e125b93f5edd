// Dense packets: layout, sizing and writing (header, shape, alignment,
// body, optional checksum).
#include <algorithm>
#include <cstring>

#include "body_copy_internal.hpp"
#include "hash_internal.hpp"
#include "lz4_internal.hpp"
#include "vakra/dense.hpp"
#include "vakra/plan.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

constexpr size_t kChecksumLen = 8;

// The LZ4 frame bound used for sizing before compressing: it covers any frame
// our settings produce (at most n + 4 bytes per 64 KiB block + 15).
uint64_t compressed_body_bound(uint64_t n) { return n * 110 / 100 + 4 * (n / 65536) + 88; }

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

Result<size_t> dense_required_size(const DenseView& view, const EncodeOptions& options) {
  VAKRA_ASSIGN_OR_RETURN(const DenseLayout layout, dense_layout(view, options.alignment));
  const uint64_t body = options.compress ? compressed_body_bound(view.data.size()) : view.data.size();
  // The body offset is at most 2^63 (the largest alignment) and the body well
  // under 2^40, but the sum is checked rather than argued.
  auto total = wire::checked_add(layout.body_offset(), body + (options.check_integrity ? kChecksumLen : 0));
  VAKRA_RETURN_IF(!total, make_error(ErrorKind::Malformed));
  return *total;
}

Result<DensePlan> plan_dense(const DenseView& view, const EncodeOptions& options) {
  DensePlan plan;
  VAKRA_ASSIGN_OR_RETURN(plan.layout, dense_layout(view, options.alignment));
  plan.view = view;
  plan.options = options;
  if (options.compress) {
    VAKRA_ASSIGN_OR_RETURN(plan.compressed, lz4::compress_frame(view.data));
  }
  plan.body_length = plan.body().size();
  auto total =
      wire::checked_add(plan.layout.body_offset(), plan.body_length + (options.check_integrity ? kChecksumLen : 0));
  VAKRA_RETURN_IF(!total, make_error(ErrorKind::Malformed));
  plan.size = *total;
  return plan;
}

void write_dense_prefix(const DensePlan& plan, MutableBytes out) {
  const EncodeOptions& options = plan.options;
  uint16_t flags = wire::alignment_flag(options.alignment);
  if (options.check_integrity) flags |= FLAG_INTEGRITY;
  if (options.compress) flags |= FLAG_COMPRESSED;
  const size_t ndim = plan.view.shape.size();
  write_v4_header(out, flags, dtype_code(plan.view.dtype), static_cast<uint8_t>(ndim));
  uint8_t* packet = out.data();
  for (size_t i = 0; i < ndim; ++i) wire::store_u32(packet + kHeaderLenV4 + 4 * i, plan.view.shape[i]);
  wire::write_alignment(packet, kHeaderLenV4 + 4 * ndim, options.alignment);
}

uint64_t dense_body_checksum(const DensePlan& plan) { return hash::xxh3(plan.body()); }

void write_dense(const DensePlan& plan, MutableBytes out) {
  write_dense_prefix(plan, out);
  uint8_t* body_start = out.data() + plan.layout.body_offset();
  const ByteView body = plan.body();
  uint64_t checksum = 0;
  const parallel::BodyCopy copy{body_start, body, plan.options.check_integrity ? &checksum : nullptr};
  parallel::copy_bodies({&copy, 1});
  if (plan.options.check_integrity) wire::store_u64(body_start + body.size(), checksum);
}

Result<size_t> encode_dense_into(const DenseView& view, MutableBytes buffer, const EncodeOptions& options) {
  VAKRA_ASSIGN_OR_RETURN(const DensePlan plan, plan_dense(view, options));
  VAKRA_RETURN_IF(buffer.size() < plan.size, make_error(ErrorKind::BufferTooSmall));
  write_dense(plan, buffer);
  return plan.size;
}

}  // namespace vakra
