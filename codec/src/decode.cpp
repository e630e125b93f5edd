// The packet dispatcher: picks the kind from the flags and dtype code, and
// parses the recursive kinds (bundle, sparse) and the Inline record itself.
#include <cstring>

#include "read_cursor_internal.hpp"
#include "sparse_structure_internal.hpp"
#include "utf8_internal.hpp"
#include "vakra/decode.hpp"
#include "vakra/walk.hpp"

namespace vakra {
namespace {

constexpr size_t kInlineRecordOffset = kHeaderLenV4;
constexpr size_t kInlinePacketLen = kInlineRecordOffset + sizeof(DecodedInline::record);

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
  ReadCursor cursor(bytes, header.header_len);
  for (size_t i = 0; i < header.ndim; ++i) {
    VAKRA_ASSIGN_OR_RETURN(const ByteView key, cursor.part());
    VAKRA_RETURN_IF(!is_valid_utf8(key), make_error(ErrorKind::Malformed));
    // Each child gets exactly the bytes its length prefix names.
    VAKRA_ASSIGN_OR_RETURN(const ByteView packet, cursor.part());
    VAKRA_ASSIGN_OR_RETURN(Decoded value, decode_depth(packet, depth + 1, compressed));
    bundle.entries.push_back(
        BundleItem{std::string(reinterpret_cast<const char*>(key.data()), key.size()), std::move(value)});
  }
  return Decoded{std::move(bundle)};
}

Result<Decoded> decode_sparse(ByteView bytes, const PacketHeader& header, size_t depth,
                              CompressedBodies compressed) {
  DecodedSparse sparse;
  sparse.format = sparse_format(header);
  ReadCursor cursor(bytes, header.header_len);
  VAKRA_ASSIGN_OR_RETURN(sparse.shape, cursor.shape(header.ndim));
  sparse.components.reserve(3);
  for (int i = 0; i < 3; ++i) {
    VAKRA_ASSIGN_OR_RETURN(const ByteView packet, cursor.part());
    VAKRA_ASSIGN_OR_RETURN(Decoded component, decode_depth(packet, depth + 1, compressed));
    sparse.components.push_back(std::move(component));
  }
  VAKRA_TRY(check_sparse_structure(sparse));
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
  switch (packet_kind(header)) {
    case PacketKind::Inline: return decode_inline(bytes, header);
    case PacketKind::Bundle: return decode_bundle(bytes, header, depth, compressed);
    case PacketKind::Sparse: return decode_sparse(bytes, header, depth, compressed);
    case PacketKind::String: return as_decoded(decode_string(bytes, header));
    case PacketKind::Ragged: return as_decoded(decode_ragged(bytes, header));
    case PacketKind::Quantized: return as_decoded(decode_quantized(bytes, header));
    case PacketKind::Dense: break;
  }
  return as_decoded(decode_dense(bytes, header, compressed));
}

}  // namespace vakra
