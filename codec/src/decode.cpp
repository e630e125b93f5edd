// The packet dispatcher: picks the kind from the flags and dtype code and
// hands the packet to that kind's reader, in the kind's own file.
#include "decode_internal.hpp"
#include "vakra/decode.hpp"
#include "vakra/walk.hpp"

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
  switch (packet_kind(header)) {
    case PacketKind::Inline: return decode_inline(bytes, header);
    case PacketKind::Bundle: return decode_bundle(bytes, header, depth, compressed);
    case PacketKind::Sparse: return decode_sparse(bytes, header, sparse_format(header), depth, compressed);
    case PacketKind::String: return as_decoded(decode_string(bytes, header));
    case PacketKind::Ragged: return as_decoded(decode_ragged(bytes, header));
    case PacketKind::Quantized: return as_decoded(decode_quantized(bytes, header));
    case PacketKind::Dense: break;
  }
  return as_decoded(decode_dense(bytes, header, compressed));
}

}  // namespace vakra
