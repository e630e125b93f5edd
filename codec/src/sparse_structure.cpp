// The structure check of csr and csc index arrays, at memory speed:
// vectorized loops, on the thread pool for large arrays.
#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "body_copy_internal.hpp"
#include "overloaded_internal.hpp"
#include "packet_kinds_internal.hpp"
#include "thread_pool_internal.hpp"
#include "vakra/dense.hpp"

namespace vakra {
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

// Index arrays of this many bytes or more are scanned in pieces across the
// thread pool; each piece is a tight loop the compiler vectorizes.
constexpr size_t kScanPiece = size_t{1} << 20;

template <class T>
T element_at(const uint8_t* bytes, size_t i) {
  T v;
  std::memcpy(&v, bytes + i * sizeof(T), sizeof(T));  // elements need not be aligned in the packet
  return v;
}

// Whether `scan(begin, end)` holds for every piece of [0, n), the pieces on
// the pool when the array is large. Pieces never stop early: a branch-free
// pass over all of them costs less than checking a flag.
template <class T, class Scan>
bool all_pieces(size_t n, Scan&& scan) {
  const size_t per_piece = kScanPiece / sizeof(T);
  if (n * sizeof(T) < parallel::kMinParallelMemory || num_threads() == 1) return scan(size_t{0}, n);
  const size_t pieces = (n + per_piece - 1) / per_piece;
  std::vector<uint8_t> sound(pieces);
  parallel::for_each(pieces, [&](size_t piece) {
    sound[piece] = scan(piece * per_piece, std::min(n, (piece + 1) * per_piece)) ? 1 : 0;
  });
  return std::ranges::all_of(sound, [](uint8_t ok) { return ok != 0; });
}

// Whether every element of [begin, end) lies in [0, limit) (with
// `sign_only`, only that none is negative), and whether none is below the
// element before it: plain functions of their arguments with an accumulator
// of the elements' width, so the compiler vectorizes them. Kept out of line:
// inlined into the caller, whose calls may throw, they were left scalar.
template <class T>
[[gnu::noinline]] bool none_outside(const uint8_t* bytes, size_t begin, size_t end, T limit, bool sign_only) {
  T sign = 0;  // the OR of every element: negative when any is
  if (sign_only) {
    for (size_t i = begin; i < end; ++i) sign |= element_at<T>(bytes, i);
    return sign >= 0;
  }
  T over = 0;
  for (size_t i = begin; i < end; ++i) {
    const T x = element_at<T>(bytes, i);
    over |= static_cast<T>(x >= limit);
    sign |= x;
  }
  return over == 0 && sign >= 0;
}

template <class T>
[[gnu::noinline]] bool none_at_or_above(const uint8_t* bytes, size_t begin, size_t end, T limit) {
  T bad = 0;
  for (size_t i = begin; i < end; ++i) bad |= static_cast<T>(element_at<T>(bytes, i) >= limit);
  return bad == 0;
}

template <class T>
[[gnu::noinline]] bool none_decreasing(const uint8_t* bytes, size_t begin, size_t end) {
  T bad = 0;
  for (size_t i = std::max<size_t>(begin, 1); i < end; ++i) bad |= static_cast<T>(element_at<T>(bytes, i) < element_at<T>(bytes, i - 1));
  return bad == 0;
}

// Every element in [0, bound). Unsigned elements are compared as the signed
// type one size up where they would not fit (SSE2 compares signed integers only).
template <class T>
bool all_in_range(const uint8_t* bytes, size_t n, uint64_t bound) {
  if constexpr (std::is_unsigned_v<T>) {
    // Non-negative by type: in range unless some element reaches the bound,
    // which only a bound within the type's values allows.
    if (bound > std::numeric_limits<T>::max()) return true;
    const auto limit = static_cast<T>(bound);
    return all_pieces<T>(n, [=](size_t begin, size_t end) { return none_at_or_above<T>(bytes, begin, end, limit); });
  } else {
    const bool sign_only = bound > static_cast<uint64_t>(std::numeric_limits<T>::max());
    const T limit = sign_only ? T{0} : static_cast<T>(bound);
    return all_pieces<T>(n, [=](size_t begin, size_t end) { return none_outside<T>(bytes, begin, end, limit, sign_only); });
  }
}

// Every element at least the one before it.
template <class T>
bool never_decreasing(const uint8_t* bytes, size_t n) {
  return all_pieces<T>(n, [=](size_t begin, size_t end) { return none_decreasing<T>(bytes, begin, end); });
}

// An index array's elements: its dtype and bytes.
struct IndexElements {
  Dtype dtype = Dtype::Int32;
  ByteView bytes;
};

// An index component's elements, decompressed into `storage` if need be.
struct IndexArray {
  IndexElements elements;
  OwnedBytes storage;
};

// The elements are read where they stay unchanged until handed out
// (ByteSource::stable): the consumer builds the matrix from what was checked.
Result<IndexArray> index_array(const WalkedPacket& component, const ByteSource& bytes) {
  const auto* dense = std::get_if<WalkedDense>(&component.parts);
  VAKRA_RETURN_IF(dense == nullptr, make_error(ErrorKind::Malformed));
  IndexArray out;
  out.elements = {dense->dtype, bytes.stable(dense->body)};
  if (dense->compressed) {
    // A frame too small for the declared array is refused before allocating.
    const uint64_t length = *dense_body_length(dense->dtype, dense->shape);  // checked by the walk
    VAKRA_RETURN_IF(length > lz4_max_decompressed_size(out.elements.bytes.size()), make_error(ErrorKind::Malformed));
    out.storage = OwnedBytes::uninitialized(length);
    VAKRA_TRY(lz4_decompress_frame_into(out.elements.bytes, out.storage.span()));
    out.elements.bytes = out.storage.view();
  }
  return out;
}

uint64_t element_count_of(const WalkedPacket& component) {
  const auto* dense = std::get_if<WalkedDense>(&component.parts);
  return dense == nullptr ? UINT64_MAX : *element_count(dense->shape);  // checked by the walk
}

// indptr: major + 1 entries from 0, never decreasing; the last is the stored count.
bool read_stored_count(const IndexElements& indptr, uint64_t major, uint64_t& stored) {
  return with_integer_type(indptr.dtype, [&](auto tag) {
    using T = decltype(tag);
    const uint8_t* bytes = indptr.bytes.data();
    const size_t n = indptr.bytes.size() / sizeof(T);
    if (n != major + 1 || element_at<T>(bytes, 0) != 0 || !never_decreasing<T>(bytes, n)) return false;
    // From 0 and never decreasing, the last entry is the largest and not negative.
    stored = static_cast<uint64_t>(element_at<T>(bytes, n - 1));
    return true;
  });
}

bool indices_in_range(const IndexElements& indices, uint64_t stored, uint64_t minor) {
  return with_integer_type(indices.dtype, [&](auto tag) {
    using T = decltype(tag);
    if (stored > indices.bytes.size() / sizeof(T)) return false;
    return all_in_range<T>(indices.bytes.data(), stored, minor);
  });
}

// The structure rule of csr and csc index arrays (see verify_sparse), for a
// matrix whose data component holds `data_count` elements.
Status check_structure(SparseFormat format, std::span<const uint32_t> shape, uint64_t data_count,
                       const IndexElements& indices, const IndexElements& indptr) {
  const bool row_major = format == SparseFormat::csr;
  const uint64_t major = shape[row_major ? 0 : 1];
  const uint64_t minor = shape[row_major ? 1 : 0];
  uint64_t stored = 0;
  const bool sound =
      read_stored_count(indptr, major, stored) && stored <= data_count && indices_in_range(indices, stored, minor);
  VAKRA_RETURN_IF(!sound, make_error(ErrorKind::Malformed));
  return {};
}

// Ragged and Inline values are carried without meaning, so no consumer can
// build a matrix from a packet holding one anywhere.
bool holds_carried_only(const WalkedPacket& packet) {
  return std::visit(Overloaded{
                        [](const WalkedRagged&) { return true; },
                        [](const WalkedInline&) { return true; },
                        [](const WalkedBundle& bundle) {
                          return std::ranges::any_of(bundle.entries, [](const WalkedEntry& entry) {
                            return holds_carried_only(entry.packet);
                          });
                        },
                        [](const WalkedSparse& sparse) {
                          return std::ranges::any_of(sparse.components, [](const WalkedPacket& component) {
                            return holds_carried_only(component);
                          });
                        },
                        [](const WalkedDense&) { return false; },
                        [](const WalkedQuantized&) { return false; },
                        [](const WalkedString&) { return false; },
                    },
                    packet.parts);
}

}  // namespace

// Consumers build matrices straight from indptr and indices (SciPy's
// constructors do not bound-check them), and hostile indices would then read
// out of bounds when the matrix is used. So for csr and csc packets with a
// 2-D shape: indices and indptr are dense integer arrays; indptr has
// major + 1 entries, starts at 0 and never decreases; its last entry (the
// stored count) fits the data and indices; every stored index lies in
// [0, minor). Malformed otherwise. coo packets, other shapes, and packets
// with a component that holds a ragged or Inline value (which no consumer
// turns into an array) pass. Compressed index arrays are decompressed to be
// checked.
Status verify_sparse(const WalkedSparse& sparse, const ByteSource& bytes) {
  if (sparse.format == SparseFormat::coo || sparse.shape.size() != 2) return {};
  for (const WalkedPacket& component : sparse.components) {
    if (holds_carried_only(component)) return {};
  }
  VAKRA_ASSIGN_OR_RETURN(const IndexArray indices, index_array(sparse.components[1], bytes));
  VAKRA_ASSIGN_OR_RETURN(const IndexArray indptr, index_array(sparse.components[2], bytes));
  return check_structure(sparse.format, sparse.shape, element_count_of(sparse.components[0]), indices.elements,
                         indptr.elements);
}

namespace {

// A dense component's element bytes into exactly `out`, decompressed if need be.
Status copy_elements(const DecodedDense& dense, MutableBytes out, std::vector<parallel::BodyCopy>& copies) {
  if (!dense.compressed) {
    VAKRA_RETURN_IF(dense.data.size() != out.size(), make_error(ErrorKind::Malformed));
    copies.push_back({out.data(), dense.data, nullptr});
    return {};
  }
  VAKRA_RETURN_IF(out.size() > lz4_max_decompressed_size(dense.data.size()), make_error(ErrorKind::Malformed));
  return lz4_decompress_frame_into(dense.data, out);
}

}  // namespace

Status check_coo_components(const DecodedSparse& sparse) {
  VAKRA_RETURN_IF(sparse.format != SparseFormat::coo || sparse.components.size() != 3,
                  make_error(ErrorKind::Malformed));
  const auto* data = std::get_if<DecodedDense>(&sparse.components[0].value);
  VAKRA_RETURN_IF(data == nullptr, make_error(ErrorKind::Malformed));
  const uint64_t count = *element_count(data->shape);
  for (const Decoded& component : std::span(sparse.components).subspan(1)) {
    const auto* index = std::get_if<DecodedDense>(&component.value);
    const bool sound = index != nullptr && index->shape.size() == 1 && index->shape[0] == count &&
                       with_integer_type(index->dtype, [](auto) { return true; });
    VAKRA_RETURN_IF(!sound, make_error(ErrorKind::Malformed));
  }
  return {};
}

Status copy_checked_indices(const DecodedSparse& sparse, MutableBytes indices, MutableBytes indptr) {
  VAKRA_RETURN_IF(sparse.format == SparseFormat::coo || sparse.components.size() != 3,
                  make_error(ErrorKind::Malformed));
  const auto* data = std::get_if<DecodedDense>(&sparse.components[0].value);
  const auto* indices_dense = std::get_if<DecodedDense>(&sparse.components[1].value);
  const auto* indptr_dense = std::get_if<DecodedDense>(&sparse.components[2].value);
  VAKRA_RETURN_IF(data == nullptr || indices_dense == nullptr || indptr_dense == nullptr,
                  make_error(ErrorKind::Malformed));
  std::vector<parallel::BodyCopy> copies;
  VAKRA_TRY(copy_elements(*indices_dense, indices, copies));
  VAKRA_TRY(copy_elements(*indptr_dense, indptr, copies));
  parallel::copy_bodies(copies);
  // Other shapes are not checked by the decoder either.
  if (sparse.shape.size() != 2) return {};
  return check_structure(sparse.format, sparse.shape, *element_count(data->shape), {indices_dense->dtype, indices},
                         {indptr_dense->dtype, indptr});
}

}  // namespace vakra
