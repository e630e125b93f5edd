// Packet header, shape block and element-count rule.
#include "vakra/header.hpp"

#include <algorithm>
#include <cstring>

#include "read_cursor_internal.hpp"

namespace vakra {

namespace {

// parse_header into `header`: the decoder reads every header this way, so no
// Result is built and copied for each packet.
Status read_header(ByteView bytes, PacketHeader& header) {
  VAKRA_RETURN_IF(bytes.size() < kHeaderLenV3, make_error(ErrorKind::PacketTooShort));
  VAKRA_RETURN_IF(std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0, make_error(ErrorKind::InvalidMagic));
  header.version = bytes[4];
  if (header.version == 3) {
    header.flags = bytes[5];
    header.dtype_code = bytes[6];
    header.ndim = bytes[7];
    header.reserved = 0;
    header.header_len = kHeaderLenV3;
    return {};
  }
  VAKRA_RETURN_IF(header.version != 4, make_error(ErrorKind::UnsupportedVersion, header.version));
  VAKRA_RETURN_IF(bytes.size() < kHeaderLenV4, make_error(ErrorKind::PacketTooShort));
  header.flags = static_cast<uint16_t>(bytes[5] | (bytes[6] << 8));
  header.dtype_code = bytes[7];
  header.ndim = bytes[8];
  header.reserved = bytes[9];
  header.header_len = kHeaderLenV4;
  return {};
}

}  // namespace

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

Status ReadCursor::header(PacketHeader& out) {
  const size_t available = end_ - begin_;
  uint8_t scratch[kHeaderLenV4];
  const size_t present = std::min(available, sizeof scratch);
  const uint8_t* head = data_ != nullptr ? data_ + begin_ : scratch;
  if (data_ == nullptr) source_->copy(begin_, present, scratch);
  if (reads_prefix()) {
    const size_t magic_bytes = std::min(present, sizeof kMagic);
    VAKRA_RETURN_IF(std::memcmp(head, kMagic, magic_bytes) != 0, make_error(ErrorKind::InvalidMagic));
    const bool has_version = present > 4;
    VAKRA_RETURN_IF(has_version && head[4] != 3 && head[4] != 4, make_error(ErrorKind::UnsupportedVersion, head[4]));
    VAKRA_TRY(require(begin_ + (has_version && head[4] == 4 ? kHeaderLenV4 : kHeaderLenV3)));
  }
  VAKRA_TRY(read_header({head, present}, out));
  position_ = begin_ + out.header_len;
  return {};
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
