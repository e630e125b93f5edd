#include "sparse_structure.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "buffer_view.hpp"
#include "errors.hpp"

namespace vakra::ext {
namespace {

// Calls scan(T{}) with T the C type of an integer dtype; false for any other
// dtype. Dispatching once per array keeps the scans tight loops.
template <class Scan>
bool with_integer_type(Dtype dtype, Scan&& scan) {
  switch (dtype) {
    case Dtype::Int8: return scan(int8_t{});
    case Dtype::Int16: return scan(int16_t{});
    case Dtype::Int32: return scan(int32_t{});
    case Dtype::Int64: return scan(int64_t{});
    case Dtype::Uint8: return scan(uint8_t{});
    case Dtype::Uint16: return scan(uint16_t{});
    case Dtype::Uint32: return scan(uint32_t{});
    case Dtype::Uint64: return scan(uint64_t{});
    default: return false;
  }
}

template <class T>
T load(const uint8_t* base, size_t i) {
  T value;
  std::memcpy(&value, base + i * sizeof(T), sizeof(T));
  return value;
}

// v as int64, with every value int64 cannot hold mapped to -1 (always invalid here).
template <class T>
int64_t widen(T v) {
  if constexpr (std::is_unsigned_v<T> && sizeof(T) == 8) return v > static_cast<uint64_t>(INT64_MAX) ? -1 : v;
  return static_cast<int64_t>(v);
}

// A converted component array's memory and its wire dtype.
struct IndexArray {
  BufferView memory;
  Dtype dtype = Dtype::Int32;

  bool open(PyObject* array, const Decoded& component) {
    const auto* dense = std::get_if<DecodedDense>(&component.value);
    if (dense == nullptr) return false;
    dtype = dense->dtype;
    if (!memory.acquire_any_contiguous(array)) {
      PyErr_Clear();
      return false;
    }
    return true;
  }
};

size_t element_count_of(const Decoded& component) {
  const auto* dense = std::get_if<DecodedDense>(&component.value);
  if (dense == nullptr) return SIZE_MAX;  // not an array: SciPy refuses it itself
  return element_count(dense->shape).value();  // already checked by the decoder
}

bool sound(const DecodedSparse& sparse, PyObject* const (&arrays)[3]) {
  const bool row_major = sparse.format == SparseFormat::csr;
  const int64_t major = sparse.shape[row_major ? 0 : 1];
  const int64_t minor = sparse.shape[row_major ? 1 : 0];
  IndexArray indices, indptr;
  if (!indices.open(arrays[1], sparse.components[1]) || !indptr.open(arrays[2], sparse.components[2])) return false;

  // indptr: major + 1 entries from 0, never decreasing; the last is the stored count.
  int64_t stored = 0;
  const bool pointers_ok = with_integer_type(indptr.dtype, [&](auto tag) {
    using T = decltype(tag);
    const size_t n = indptr.memory.size() / sizeof(T);
    if (n != static_cast<size_t>(major) + 1 || widen(load<T>(indptr.memory.data(), 0)) != 0) return false;
    int64_t previous = 0;
    for (size_t i = 1; i < n; ++i) {
      const int64_t entry = widen(load<T>(indptr.memory.data(), i));
      if (entry < previous) return false;
      previous = entry;
    }
    stored = previous;
    return true;
  });
  if (!pointers_ok) return false;
  if (static_cast<uint64_t>(stored) > element_count_of(sparse.components[0])) return false;

  // indices: the stored ones all lie in [0, minor).
  return with_integer_type(indices.dtype, [&](auto tag) {
    using T = decltype(tag);
    if (static_cast<uint64_t>(stored) > indices.memory.size() / sizeof(T)) return false;
    bool in_range = true;
    for (size_t i = 0; i < static_cast<size_t>(stored); ++i) {
      const int64_t index = widen(load<T>(indices.memory.data(), i));
      in_range &= index >= 0 && index < minor;
    }
    return in_range;
  });
}

}  // namespace

bool check_sparse_structure(const DecodedSparse& sparse, PyObject* const (&arrays)[3]) {
  if (sparse.format == SparseFormat::coo || sparse.shape.size() != 2) return true;
  if (sound(sparse, arrays)) return true;
  return raise_codec_error(make_error(ErrorKind::Malformed));
}

}  // namespace vakra::ext
