#include "value_model.hpp"

#include <algorithm>
#include <cstring>

#include "vakra/header.hpp"

namespace vakra::fuzz {
namespace {

// Dense codes with a NumPy element size: float32 (1) to bfloat16 (15). qint8
// and quint8 also have a size, but a dense packet with their codes reads back
// as quantized, so they are left to the quantized builder.
constexpr uint8_t kDenseCodes = 15;

std::vector<uint32_t> small_shape(FuzzInput& in, size_t max_ndim, uint32_t max_dim) {
  std::vector<uint32_t> shape(in.below(max_ndim + 1));
  for (uint32_t& dim : shape) dim = static_cast<uint32_t>(in.below(max_dim + 1));
  return shape;
}

uint64_t product(const std::vector<uint32_t>& shape) {
  uint64_t n = 1;
  for (uint32_t dim : shape) n *= dim;
  return n;
}

EncodeOptions body_options(FuzzInput& in) {
  EncodeOptions options;
  const uint8_t choice = in.byte();
  // Half the values keep the standard alignment; the rest use 1 to 4096.
  options.alignment = (choice & 0x10) ? kStandardAlignment : size_t{1} << (choice % 13);
  options.check_integrity = choice & 0x20;
  options.compress = choice & 0x40;
  return options;
}

DenseValue build_dense(FuzzInput& in, bool nested) {
  DenseValue v;
  v.dtype = static_cast<Dtype>(in.below(kDenseCodes));
  v.shape = small_shape(in, nested ? 2 : 4, nested ? 5 : 9);
  v.data = in.bytes(product(v.shape) * element_size(v.dtype));
  v.options = body_options(in);
  return v;
}

DenseValue sparse_component(FuzzInput& in) {
  DenseValue v;
  v.dtype = static_cast<Dtype>(in.below(kDenseCodes));
  v.shape = small_shape(in, 2, 6);
  v.data = in.bytes(product(v.shape) * element_size(v.dtype));
  return v;  // standard options: the sparse encoder ignores any others
}

DenseValue int32_component(const std::vector<uint32_t>& values) {
  DenseValue v;
  v.dtype = Dtype::Int32;
  v.shape = {static_cast<uint32_t>(values.size())};
  v.data.resize(4 * values.size());
  if (!values.empty()) std::memcpy(v.data.data(), values.data(), v.data.size());
  return v;
}

// The decoder checks csr and csc structure, so a 2-D one gets int32 index
// arrays that hold: indptr from 0 up to the stored count, indices inside the
// minor dimension.
void make_sound(SparseValue& v, FuzzInput& in) {
  if (v.format == SparseFormat::coo || v.shape.size() != 2) return;
  const bool row_major = v.format == SparseFormat::csr;
  const uint32_t major = v.shape[row_major ? 0 : 1];
  const uint32_t minor = v.shape[row_major ? 1 : 0];
  const uint32_t stored =
      major == 0 || minor == 0 ? 0 : static_cast<uint32_t>(std::min<uint64_t>(product(v.components[0].shape), in.below(8)));
  std::vector<uint32_t> indices(stored), indptr(major + 1, stored);
  for (uint32_t& index : indices) index = static_cast<uint32_t>(in.below(256) % minor);
  for (uint32_t i = 0; i < major; ++i) indptr[i] = std::min(stored, i);
  v.components[1] = int32_component(indices);
  v.components[2] = int32_component(indptr);
}

SparseValue build_sparse(FuzzInput& in) {
  SparseValue v;
  v.format = static_cast<SparseFormat>(in.below(3));
  v.shape = small_shape(in, 3, 255);
  for (DenseValue& component : v.components) component = sparse_component(in);
  make_sound(v, in);
  return v;
}

StringValue build_string(FuzzInput& in) {
  StringValue v;
  const size_t count = in.below(9);
  v.offsets.push_back(0);
  for (size_t i = 0; i < count; ++i) v.offsets.push_back(v.offsets.back() + in.below(7));
  v.payload = in.bytes(v.offsets.back());
  v.check_integrity = in.flag();
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

std::string build_key(FuzzInput& in) {
  static constexpr const char* kPieces[] = {"a", "w", "_", "0", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x90\x8d"};
  std::string key;
  for (size_t n = in.below(5); n > 0; --n) key += kPieces[in.below(std::size(kPieces))];
  return key;
}

BundleValue build_bundle(FuzzInput& in, int depth_left) {
  BundleValue v;
  for (size_t n = in.below(5); n > 0; --n) v.entries.push_back({build_key(in), build_value(in, depth_left - 1)});
  return v;
}

}  // namespace

size_t QuantizedValue::value_bytes() const {
  const uint64_t count = product(shape);
  return dtype == Dtype::Qint4 || dtype == Dtype::Quint4 ? (count + 1) / 2 : count;
}

QuantizedView QuantizedValue::view() const {
  return {shape, scales, zero_points, data, group_size, quant_scheme, axis, dtype};
}

Value build_value(FuzzInput& in, int depth_left) {
  const bool nested = depth_left < 3;
  switch (in.below(depth_left > 0 ? 5 : 4)) {
    case 0: return {build_dense(in, nested)};
    case 1: return {build_sparse(in)};
    case 2: return {build_string(in)};
    case 3: return {build_quantized(in)};
    default: return {build_bundle(in, depth_left)};
  }
}

Value nested_bundles(size_t levels) {
  DenseValue leaf;
  leaf.dtype = Dtype::Int16;
  leaf.shape = {2};
  leaf.data = {1, 2, 3, 4};
  Value value{leaf};
  for (size_t i = 0; i < levels; ++i) {
    BundleValue bundle;
    bundle.entries.push_back({"level", std::move(value)});
    value = Value{std::move(bundle)};
  }
  return value;
}

bool contains_compressed(const Value& value) {
  if (const auto* dense = std::get_if<DenseValue>(&value.node)) return dense->options.compress;
  if (const auto* bundle = std::get_if<BundleValue>(&value.node)) {
    for (const BundleItemValue& item : bundle->entries) {
      if (contains_compressed(item.value)) return true;
    }
  }
  return false;
}

}  // namespace vakra::fuzz
