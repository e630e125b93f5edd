// Packet header, shape block and element-count rule.
#include "vakra/header.hpp"

#include <cstring>

#include "read_cursor_internal.hpp"

namespace vakra {

Result<PacketHeader> parse_header(ByteView bytes) {
  PacketHeader header;
  VAKRA_TRY(read_header(bytes, header));
  return header;
}

void write_v4_header(MutableBytes buffer, uint16_t flags, uint8_t dtype_code, uint8_t ndim) {
  uint8_t* p = buffer.data();
  std::memcpy(p, kMagic, sizeof kMagic);
  p[4] = kWriteVersion;
  p[5] = static_cast<uint8_t>(flags & 0xFF);
  p[6] = static_cast<uint8_t>(flags >> 8);
  p[7] = dtype_code;
  p[8] = ndim;
  p[9] = 0;
}

Result<std::vector<uint32_t>> read_shape(ByteView bytes, size_t offset, size_t ndim) {
  const ByteSource source(bytes);
  ReadCursor cursor(source, {0, bytes.size()});
  cursor.seek(offset);
  std::vector<uint32_t> dims;
  VAKRA_TRY(cursor.shape(ndim, dims));
  return dims;
}

Result<uint64_t> element_count(std::span<const uint32_t> shape) {
  uint64_t count = 1;
  for (uint32_t dim : shape) {
    VAKRA_RETURN_IF(__builtin_mul_overflow(count, uint64_t{dim}, &count), make_error(ErrorKind::TooManyElements));
  }
  VAKRA_RETURN_IF(count > MAX_ELEMENTS, make_error(ErrorKind::TooManyElements));
  return count;
}

}  // namespace vakra
