// Inline records: a version 4 header (FLAG_INLINE, count byte 0, reserved
// byte 1) and one fixed 96-byte record. Read only; nothing here writes them.
#include "packet_kinds_internal.hpp"

namespace vakra {

Status read_inline(ReadCursor& cursor, const PacketHeader& header, WalkedInline& out) {
  // Only version 4 flags reach bit 10, so the header read was 10 bytes long.
  VAKRA_RETURN_IF((header.flags & (FLAG_INLINE | FLAG_INTEGRITY)) != FLAG_INLINE, make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(header.ndim != 0 || header.reserved != 1, make_error(ErrorKind::Malformed));
  return cursor.take(sizeof(DecodedInline::record), out.record);
}

void inline_value(const WalkedInline& record, const ByteSource& bytes, DecodedInline& out) {
  bytes.copy(record.record.offset, out.record.size(), out.record.data());
}

}  // namespace vakra
