// Building values from fuzz input.
#include "value_model.hpp"

#include <algorithm>

#include "vakra/header.hpp"

namespace vakra::fuzz {
namespace {

uint64_t product(const std::vector<uint32_t>& shape) {
  uint64_t n = 1;
  for (uint32_t dim : shape) n *= dim;
  return n;
}

std::vector<uint32_t> small_shape(FuzzInput& in, size_t max_ndim, uint32_t max_dim) {
  std::vector<uint32_t> shape(in.below(max_ndim + 1));
  for (uint32_t& dim : shape) dim = static_cast<uint32_t>(in.below(max_dim + 1));
  return shape;
}

EncodeOptions body_options(FuzzInput& in) {
  const uint8_t choice = in.byte();
  // Half the values keep the standard alignment; the rest use 1 to 4096.
  return {(choice & 0x10) ? kStandardAlignment : size_t{1} << (choice % 13), bool(choice & 0x20), bool(choice & 0x40)};
}

// The dense types: float32 (1) to bfloat16 (15), then the low-precision
// floats (32 on). qint8 and quint8 also have a size, but a dense packet with
// their codes reads back as quantized, so they are left to the quantized builder.
std::vector<Dtype> dense_dtypes() {
  std::vector<Dtype> out;
  for (const DtypeInfo& row : dtype_table()) {
    if (row.role == DtypeRole::Dense) out.push_back(row.dtype);
  }
  return out;
}

DenseValue build_dense(FuzzInput& in, size_t max_ndim, uint32_t max_dim, bool with_options) {
  static const std::vector<Dtype> kDense = dense_dtypes();
  DenseValue v;
  v.dtype = kDense[in.below(kDense.size())];
  v.shape = small_shape(in, max_ndim, max_dim);
  // Packed types fill whole units along a last dimension.
  const size_t unit = find_dtype_info(v.dtype)->unit_elements;
  if (unit != 1 && v.shape.empty()) v.shape.push_back(0);
  if (unit != 1) v.shape.back() -= v.shape.back() % unit;
  v.data = in.bytes(dense_body_length(v.dtype, v.shape).value());
  if (with_options) v.options = body_options(in);
  return v;
}

DenseValue int32_array(const std::vector<uint32_t>& values) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(values.data());  // a little-endian host
  return {Dtype::Int32, {static_cast<uint32_t>(values.size())}, std::vector<uint8_t>(bytes, bytes + 4 * values.size()), {}};
}

SparseValue build_sparse(FuzzInput& in) {
  SparseValue v{static_cast<SparseFormat>(in.below(3)), small_shape(in, 3, 255), {}};
  for (DenseValue& component : v.components) component = build_dense(in, 2, 6, false);
  if (v.format == SparseFormat::coo || v.shape.size() != 2) return v;
  // The decoder checks csr and csc structure, so a 2-D one gets int32 index
  // arrays that hold: indptr from 0 up to the stored count, indices inside the
  // minor dimension.
  const bool row_major = v.format == SparseFormat::csr;
  const uint32_t major = v.shape[row_major ? 0 : 1], minor = v.shape[row_major ? 1 : 0];
  const auto stored = static_cast<uint32_t>(
      major == 0 || minor == 0 ? 0 : std::min<uint64_t>(product(v.components[0].shape), in.below(8)));
  std::vector<uint32_t> indices(stored), indptr(major + 1, stored);
  for (uint32_t& index : indices) index = static_cast<uint32_t>(in.byte() % minor);
  for (uint32_t i = 0; i < major; ++i) indptr[i] = std::min(stored, i);
  v.components[1] = int32_array(indices);
  v.components[2] = int32_array(indptr);
  return v;
}

StringValue build_string(FuzzInput& in) {
  StringValue v{{0}, {}, false};
  for (size_t n = in.below(9); n > 0; --n) v.offsets.push_back(v.offsets.back() + in.below(7));
  v.payload = in.bytes(v.offsets.back());
  v.check_integrity = in.byte() & 1;
  return v;
}

QuantizedValue build_quantized(FuzzInput& in) {
  QuantizedValue v;
  v.dtype = static_cast<Dtype>(static_cast<uint8_t>(Dtype::Qint8) + in.below(4));
  v.shape = small_shape(in, 3, 9);
  const size_t scale_bytes = 4 * in.below(5);
  v.scales = in.bytes(scale_bytes);
  v.zero_points = in.bytes(scale_bytes);
  v.data = in.bytes(v.value_bytes() + in.below(3));
  v.group_size = in.u32();
  v.quant_scheme = in.byte();
  v.axis = in.byte();
  v.options = body_options(in);
  v.options.compress = false;
  return v;
}

BundleValue build_bundle(FuzzInput& in, int depth_left) {
  static constexpr const char* kPieces[] = {"a", "w", "_", "0", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x90\x8d"};
  BundleValue v;
  for (size_t n = in.below(5); n > 0; --n) {
    std::string key;
    for (size_t pieces = in.below(5); pieces > 0; --pieces) key += kPieces[in.below(std::size(kPieces))];
    v.entries.push_back({std::move(key), build_value(in, depth_left - 1)});
  }
  return v;
}

}  // namespace

size_t QuantizedValue::value_bytes() const {
  const uint64_t count = product(shape);
  return dtype == Dtype::Qint4 || dtype == Dtype::Quint4 ? (count + 1) / 2 : count;
}

Value build_value(FuzzInput& in, int depth_left) {
  const bool nested = depth_left < 3;
  switch (in.below(depth_left > 0 ? 5 : 4)) {
    case 0: return {build_dense(in, nested ? 2 : 4, nested ? 5 : 9, true)};
    case 1: return {build_sparse(in)};
    case 2: return {build_string(in)};
    case 3: return {build_quantized(in)};
    default: return {build_bundle(in, depth_left)};
  }
}

bool contains_compressed(const Value& value) {
  if (const auto* dense = std::get_if<DenseValue>(&value.node)) return dense->options.compress;
  const auto* bundle = std::get_if<BundleValue>(&value.node);
  return bundle != nullptr &&
         std::any_of(bundle->entries.begin(), bundle->entries.end(), [](const auto& e) { return contains_compressed(e.value); });
}

}  // namespace vakra::fuzz
