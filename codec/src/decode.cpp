// The packet dispatcher: picks the kind from the flags and dtype code and
// hands the packet to that kind's reader, in the kind's own file.
#include "decode_internal.hpp"
#include "vakra/decode.hpp"

namespace vakra {
namespace {

// Wraps a kind decoder's result as the matching Decoded alternative.
template <class T>
Result<Decoded> as_decoded(Result<T> result) {
  if (!result.ok()) return result.error();
  return Decoded{std::move(result).value()};
}

}  // namespace

Result<Decoded> decode(ByteView bytes, CompressedBodies compressed) { return decode_depth(bytes, 0, compressed); }

Result<Decoded> decode_depth(ByteView bytes, size_t depth, CompressedBodies compressed) {
  VAKRA_RETURN_IF(depth > MAX_NESTING_DEPTH, make_error(ErrorKind::Malformed));
  VAKRA_ASSIGN_OR_RETURN(const PacketHeader header, parse_header(bytes));
  // The first kind that matches wins; later kind bits are ignored.
  const uint16_t flags = header.flags;
  if (flags & FLAG_INLINE) return decode_inline(bytes, header);
  if (flags & FLAG_BUNDLE) return decode_bundle(bytes, header, depth, compressed);
  if (flags & FLAG_SPARSE_COO) return decode_sparse(bytes, header, SparseFormat::coo, depth, compressed);
  if (flags & FLAG_SPARSE_CSR) return decode_sparse(bytes, header, SparseFormat::csr, depth, compressed);
  if (flags & FLAG_SPARSE_CSC) return decode_sparse(bytes, header, SparseFormat::csc, depth, compressed);
  if (flags & FLAG_STRING) return as_decoded(decode_string(bytes, header));
  if (flags & FLAG_RAGGED) return as_decoded(decode_ragged(bytes, header));
  // Codes 16 to 19: qint8, quint8, qint4, quint4.
  if ((header.dtype_code & 0xFC) == 0x10) return as_decoded(decode_quantized(bytes, header));
  return as_decoded(decode_dense(bytes, header, compressed));
}

}  // namespace vakra
