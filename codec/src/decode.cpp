// The packet dispatcher: picks the kind from the flags and dtype code, and
// parses the recursive kinds (bundle, sparse) and the Inline record itself.
#include <cstring>

#include "vakra/decode.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

constexpr size_t kInlineRecordOffset = kHeaderLenV4;
constexpr size_t kInlinePacketLen = kInlineRecordOffset + sizeof(DecodedInline::record);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(ByteView text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const uint8_t lead = text[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint8_t lo = 0x80;  // allowed range of the second byte
    uint8_t hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
      if (lead == 0xE0) lo = 0xA0;  // overlong
      if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
      if (lead == 0xF0) lo = 0x90;  // overlong
      if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (text[i + 1] < lo || text[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

// Reads the u32 length prefix at `p` and the range it names; PacketTooShort
// when either runs past the end of `bytes`.
Result<ByteView> length_prefixed(ByteView bytes, size_t p) {
  VAKRA_RETURN_IF(!wire::fits(p, 4, bytes.size()), make_error(ErrorKind::PacketTooShort));
  const size_t len = wire::load_u32(bytes.data() + p);
  VAKRA_RETURN_IF(!wire::fits(p + 4, len, bytes.size()), make_error(ErrorKind::PacketTooShort));
  return bytes.subspan(p + 4, len);
}

Result<Decoded> decode_inline(ByteView bytes, const PacketHeader& header) {
  // Only version 4 flags reach bit 10, so `bytes` holds the 10-byte header.
  VAKRA_RETURN_IF((header.flags & (FLAG_INLINE | FLAG_INTEGRITY)) != FLAG_INLINE,
                  make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(bytes[8] != 0 || bytes[9] != 1, make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(bytes.size() < kInlinePacketLen, make_error(ErrorKind::PacketTooShort));
  DecodedInline record;
  std::memcpy(record.record.data(), bytes.data() + kInlineRecordOffset, record.record.size());
  return Decoded{record};
}

Result<Decoded> decode_bundle(ByteView bytes, const PacketHeader& header, size_t depth,
                              CompressedBodies compressed) {
  DecodedBundle bundle;
  bundle.entries.reserve(header.ndim);
  size_t p = header.header_len;
  for (size_t i = 0; i < header.ndim; ++i) {
    VAKRA_ASSIGN_OR_RETURN(const ByteView key, length_prefixed(bytes, p));
    VAKRA_RETURN_IF(!is_valid_utf8(key), make_error(ErrorKind::Malformed));
    p += 4 + key.size();
    VAKRA_ASSIGN_OR_RETURN(const ByteView packet, length_prefixed(bytes, p));
    VAKRA_ASSIGN_OR_RETURN(Decoded value, decode_depth(packet, depth + 1, compressed));
    p += 4 + packet.size();
    bundle.entries.push_back(
        BundleItem{std::string(reinterpret_cast<const char*>(key.data()), key.size()), std::move(value)});
  }
  return Decoded{std::move(bundle)};
}

Result<Decoded> decode_sparse(ByteView bytes, const PacketHeader& header, SparseFormat format, size_t depth,
                              CompressedBodies compressed) {
  DecodedSparse sparse;
  sparse.format = format;
  VAKRA_ASSIGN_OR_RETURN(sparse.shape, read_shape(bytes, header.header_len, header.ndim));
  sparse.components.reserve(3);
  size_t p = header.header_len + 4 * header.ndim;
  for (int i = 0; i < 3; ++i) {
    VAKRA_ASSIGN_OR_RETURN(const ByteView packet, length_prefixed(bytes, p));
    VAKRA_ASSIGN_OR_RETURN(Decoded component, decode_depth(packet, depth + 1, compressed));
    sparse.components.push_back(std::move(component));
    p += 4 + packet.size();
  }
  return Decoded{std::move(sparse)};
}

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
