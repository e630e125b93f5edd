// Inline records: a version 4 header (FLAG_INLINE, count byte 0, reserved
// byte 1) and one fixed 96-byte record. Read only; nothing here writes them.
#include <cstring>

#include "decode_internal.hpp"

namespace vakra {
namespace {

constexpr size_t kInlineRecordOffset = kHeaderLenV4;
constexpr size_t kInlinePacketLen = kInlineRecordOffset + sizeof(DecodedInline::record);

}  // namespace

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

}  // namespace vakra
