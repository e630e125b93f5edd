// The structure check of csr and csc index arrays.
#include <cstring>
#include <type_traits>

#include "packet_kinds_internal.hpp"
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

// Element i as int64, with every value int64 cannot hold mapped to -1 (always invalid here).
template <class T>
int64_t load_index(ByteView bytes, size_t i) {
  T v;
  std::memcpy(&v, bytes.data() + i * sizeof(T), sizeof(T));
  if constexpr (std::is_unsigned_v<T> && sizeof(T) == 8) return v > static_cast<uint64_t>(INT64_MAX) ? -1 : v;
  return static_cast<int64_t>(v);
}

// An index component's elements, decompressed into `storage` if need be.
struct IndexArray {
  Dtype dtype = Dtype::Int32;
  ByteView elements;
  OwnedBytes storage;
};

// The elements are read where they stay unchanged until handed out
// (ByteSource::stable): the consumer builds the matrix from what was checked.
Result<IndexArray> index_array(const WalkedPacket& component, const ByteSource& bytes) {
  const auto* dense = std::get_if<WalkedDense>(&component.parts);
  VAKRA_RETURN_IF(dense == nullptr, make_error(ErrorKind::Malformed));
  IndexArray out;
  out.dtype = dense->dtype;
  out.elements = bytes.stable(dense->body);
  if (dense->compressed) {
    // A frame too small for the declared array is refused before allocating.
    const uint64_t length = *element_count(dense->shape) * element_size(dense->dtype);
    VAKRA_RETURN_IF(length > lz4_max_decompressed_size(out.elements.size()), make_error(ErrorKind::Malformed));
    out.storage = OwnedBytes::uninitialized(length);
    VAKRA_TRY(lz4_decompress_frame_into(out.elements, out.storage.span()));
    out.elements = out.storage.view();
  }
  return out;
}

uint64_t element_count_of(const WalkedPacket& component) {
  const auto* dense = std::get_if<WalkedDense>(&component.parts);
  return dense == nullptr ? UINT64_MAX : *element_count(dense->shape);  // checked by the walk
}

// indptr: major + 1 entries from 0, never decreasing; the last is the stored count.
bool read_stored_count(const IndexArray& indptr, uint64_t major, uint64_t& stored) {
  return with_integer_type(indptr.dtype, [&](auto tag) {
    using T = decltype(tag);
    const size_t n = indptr.elements.size() / sizeof(T);
    if (n != major + 1 || load_index<T>(indptr.elements, 0) != 0) return false;
    int64_t previous = 0;
    for (size_t i = 1; i < n; ++i) {
      const int64_t entry = load_index<T>(indptr.elements, i);
      if (entry < previous) return false;
      previous = entry;
    }
    stored = static_cast<uint64_t>(previous);
    return true;
  });
}

bool indices_in_range(const IndexArray& indices, uint64_t stored, int64_t minor) {
  return with_integer_type(indices.dtype, [&](auto tag) {
    using T = decltype(tag);
    if (stored > indices.elements.size() / sizeof(T)) return false;
    bool in_range = true;
    for (size_t i = 0; i < stored; ++i) {
      const int64_t index = load_index<T>(indices.elements, i);
      in_range &= index >= 0 && index < minor;
    }
    return in_range;
  });
}

// Ragged and Inline values are carried without meaning, so no consumer can
// build a matrix from a packet holding one anywhere.
bool holds_carried_only(const WalkedPacket& packet) {
  switch (packet.kind()) {
    case PacketKind::Ragged:
    case PacketKind::Inline: return true;
    case PacketKind::Bundle:
      for (const WalkedEntry& entry : std::get<WalkedBundle>(packet.parts).entries) {
        if (holds_carried_only(entry.packet)) return true;
      }
      return false;
    case PacketKind::Sparse:
      for (const WalkedPacket& component : std::get<WalkedSparse>(packet.parts).components) {
        if (holds_carried_only(component)) return true;
      }
      return false;
    default: return false;
  }
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
  const bool row_major = sparse.format == SparseFormat::csr;
  const uint64_t major = sparse.shape[row_major ? 0 : 1];
  const int64_t minor = sparse.shape[row_major ? 1 : 0];
  VAKRA_ASSIGN_OR_RETURN(const IndexArray indices, index_array(sparse.components[1], bytes));
  VAKRA_ASSIGN_OR_RETURN(const IndexArray indptr, index_array(sparse.components[2], bytes));
  uint64_t stored = 0;
  const bool sound = read_stored_count(indptr, major, stored) && stored <= element_count_of(sparse.components[0]) &&
                     indices_in_range(indices, stored, minor);
  VAKRA_RETURN_IF(!sound, make_error(ErrorKind::Malformed));
  return {};
}

}  // namespace vakra
