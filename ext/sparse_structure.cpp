#include "sparse_structure.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "buffer_view.hpp"
#include "errors.hpp"

namespace vakra::ext {
namespace {

// Element i of an integer array as int64, or nullopt for values int64 cannot hold.
template <class T>
std::optional<int64_t> load_as_int64(const uint8_t* base, size_t i) {
  T value;
  std::memcpy(&value, base + i * sizeof(T), sizeof(T));
  if constexpr (std::is_unsigned_v<T> && sizeof(T) == 8) {
    if (value > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  }
  return static_cast<int64_t>(value);
}

// A read-only integer view over a converted component array.
class IndexArray {
 public:
  bool open(PyObject* array, const Decoded& component) {
    const auto* dense = std::get_if<DecodedDense>(&component.value);
    if (dense == nullptr) return false;
    load_ = loader(dense->dtype);
    if (load_ == nullptr || !memory_.acquire_any_contiguous(array)) {
      PyErr_Clear();
      return false;
    }
    size_ = memory_.size() / element_size(dense->dtype);
    return true;
  }
  size_t size() const { return size_; }
  std::optional<int64_t> operator[](size_t i) const { return load_(memory_.data(), i); }

 private:
  using Loader = std::optional<int64_t> (*)(const uint8_t*, size_t);
  static Loader loader(Dtype dtype) {
    switch (dtype) {
      case Dtype::Int8: return load_as_int64<int8_t>;
      case Dtype::Int16: return load_as_int64<int16_t>;
      case Dtype::Int32: return load_as_int64<int32_t>;
      case Dtype::Int64: return load_as_int64<int64_t>;
      case Dtype::Uint8: return load_as_int64<uint8_t>;
      case Dtype::Uint16: return load_as_int64<uint16_t>;
      case Dtype::Uint32: return load_as_int64<uint32_t>;
      case Dtype::Uint64: return load_as_int64<uint64_t>;
      default: return nullptr;
    }
  }
  BufferView memory_;
  Loader load_ = nullptr;
  size_t size_ = 0;
};

size_t element_count_of(const Decoded& component) {
  const auto* dense = std::get_if<DecodedDense>(&component.value);
  if (dense == nullptr) return SIZE_MAX;  // not an array: SciPy refuses it itself
  size_t count = 1;
  for (uint32_t dim : dense->shape) count *= dim;  // capped at 10^9 by the decoder
  return count;
}

bool sound(const DecodedSparse& sparse, PyObject* const (&arrays)[3]) {
  const bool row_major = sparse.format == SparseFormat::csr;
  const int64_t major = sparse.shape[row_major ? 0 : 1];
  const int64_t minor = sparse.shape[row_major ? 1 : 0];
  IndexArray indices, indptr;
  if (!indices.open(arrays[1], sparse.components[1]) || !indptr.open(arrays[2], sparse.components[2])) return false;
  if (indptr.size() != static_cast<size_t>(major) + 1 || indptr[0] != 0) return false;
  int64_t previous = 0;
  for (size_t i = 1; i < indptr.size(); ++i) {
    const auto entry = indptr[i];
    if (!entry || *entry < previous) return false;
    previous = *entry;
  }
  const auto stored = static_cast<uint64_t>(previous);
  if (stored > indices.size() || stored > element_count_of(sparse.components[0])) return false;
  for (size_t i = 0; i < stored; ++i) {
    const auto index = indices[i];
    if (!index || *index < 0 || *index >= minor) return false;
  }
  return true;
}

}  // namespace

bool check_sparse_structure(const DecodedSparse& sparse, PyObject* const (&arrays)[3]) {
  if (sparse.format == SparseFormat::coo || sparse.shape.size() != 2) return true;
  if (sound(sparse, arrays)) return true;
  return raise_codec_error(make_error(ErrorKind::Malformed));
}

}  // namespace vakra::ext
