// Temporary stand-ins for the string, ragged and quantized decoders until
// they land; removed as soon as they do.
#include "vakra/decode.hpp"

namespace vakra {

Result<DecodedOffsets> decode_offset_payload(ByteView, const PacketHeader&) {
  return make_error(ErrorKind::Malformed);
}
Result<DecodedString> decode_string(ByteView, const PacketHeader&) { return make_error(ErrorKind::Malformed); }
Result<DecodedRagged> decode_ragged(ByteView, const PacketHeader&) { return make_error(ErrorKind::Malformed); }
Result<DecodedQuantized> decode_quantized(ByteView, const PacketHeader&) { return make_error(ErrorKind::Malformed); }

}  // namespace vakra
