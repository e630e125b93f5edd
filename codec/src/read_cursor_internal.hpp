// ReadCursor: the one way the readers touch a packet's bytes. Every read
// checks first that its field lies inside the cursor's window (PacketTooShort)
// and that no offset arithmetic overflows (Malformed); only then does it look.
//
// The bytes come from a ByteSource: one buffer, or a packet handed over as a
// list of frames (FrameStore, frame_assembly.cpp), where a field cut by a frame
// boundary is pieced together. Positions always count from the first byte of
// the source, so the parts a reader returns say where they lie in the packet.
//
// A cursor may also read the first bytes of a packet whose end has not
// arrived yet (the start of a stream). It is then given `wanted`: a read that
// runs past the end stores there the length the bytes must reach before it
// can succeed, which is how the walker tells a prefix from a broken packet.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/header.hpp"
#include "vakra/result.hpp"
#include "wire_internal.hpp"

namespace vakra {

class FrameStore;

// The bytes behind a walk: one buffer, or the frames of a FrameStore.
class ByteSource {
 public:
  explicit ByteSource(ByteView bytes) : data_(bytes.data()), size_(bytes.size()) {}
  ByteSource(FrameStore& frames, size_t size) : size_(size), frames_(&frames) {}

  size_t size() const { return size_; }
  // The buffer, or null for frames.
  const uint8_t* contiguous() const { return frames_ == nullptr ? data_ : nullptr; }

  // The bytes of `part` (inside the source) as one view: of the buffer, of
  // the frame that holds the part whole, or of a copy.
  ByteView view(ByteRange part) const {
    return frames_ == nullptr ? ByteView(data_ + part.offset, part.length) : frames_view(part, false);
  }
  // Like view(), for a part that the decoder checks and consumers then trust
  // (an index array, an offset table): from frames, always a copy, so that
  // the bytes handed out are the bytes that were checked.
  ByteView stable(ByteRange part) const { return frames_ == nullptr ? view(part) : frames_view(part, true); }
  // Copies the `length` bytes at `offset` to `out`.
  void copy(size_t offset, size_t length, uint8_t* out) const {
    if (frames_ != nullptr) return frames_copy(offset, length, out);
    if (length != 0) std::memcpy(out, data_ + offset, length);
  }
  // The u64 LE of an 8-byte part (a stored checksum).
  uint64_t u64_at(ByteRange part) const {
    uint8_t v[8];
    copy(part.offset, sizeof v, v);
    return wire::load_u64(v);
  }

 private:
  // frame_assembly.cpp
  ByteView frames_view(ByteRange part, bool stable) const;
  void frames_copy(size_t offset, size_t length, uint8_t* out) const;

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  FrameStore* frames_ = nullptr;
};

// parse_header into `header`: the decoder reads every header this way, so no
// Result is built and copied for each packet.
inline Status read_header(ByteView bytes, PacketHeader& header) {
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

class ReadCursor {
 public:
  // Reads `window` of `source`, starting at its first byte. With `wanted`
  // the window may be the prefix of a longer packet.
  ReadCursor(const ByteSource& source, ByteRange window, size_t* wanted = nullptr)
      : source_(&source), data_(source.contiguous()), begin_(window.offset), end_(window.end()),
        position_(window.offset), wanted_(wanted) {}

  const ByteSource& source() const { return *source_; }
  size_t begin() const { return begin_; }
  size_t end() const { return end_; }
  size_t position() const { return position_; }
  // True when the bytes may be the prefix of a longer packet.
  bool reads_prefix() const { return wanted_ != nullptr; }
  // A cursor over `part`, a range this cursor has read: a complete packet, never a prefix.
  ReadCursor inside(ByteRange part) const { return ReadCursor(*source_, part); }

  // Moves to `position` without reading; the next read checks the bounds.
  void seek(size_t position) { position_ = position; }

  // The bytes [begin, end) are present.
  Status require(size_t end) {
    if (end <= end_) return {};
    if (wanted_ != nullptr) *wanted_ = end;
    return make_error(ErrorKind::PacketTooShort);
  }
  // The `length` bytes from the current position are present.
  Status require_ahead(size_t length) {
    const auto end = wire::checked_add(position_, length);
    VAKRA_RETURN_IF(!end, make_error(ErrorKind::Malformed));
    return require(*end);
  }

  Status skip(size_t length) {
    VAKRA_TRY(require_ahead(length));
    position_ += length;
    return {};
  }
  // `length` bytes as `out`; with `then` the bytes after them must hold that
  // many more. (Parts come back through a reference: a Result of two words
  // costs the decoder of a small packet a store-forwarding stall per part.)
  Status take(size_t length, ByteRange& out, size_t then = 0) {
    const auto needed = wire::checked_add(length, then);
    VAKRA_RETURN_IF(!needed, make_error(ErrorKind::Malformed));
    VAKRA_TRY(require_ahead(*needed));
    out = {position_, length};
    position_ += length;
    return {};
  }
  Result<uint8_t> u8() {
    uint8_t v[1];
    VAKRA_TRY(require_ahead(1));
    return *field(v, 1);
  }
  Result<uint32_t> u32() {
    uint8_t v[4];
    VAKRA_TRY(require_ahead(4));
    return wire::load_u32(field(v, 4));
  }
  Result<uint64_t> u64() {
    uint8_t v[8];
    VAKRA_TRY(require_ahead(8));
    return wire::load_u64(field(v, 8));
  }

  // A part framed by a u32 length prefix (a bundle key or entry, a sparse
  // component). With `then` the bytes after the part must hold that many
  // more: a reader of a prefix then asks for the next length prefix too.
  Status part(ByteRange& out, size_t then = 0) {
    VAKRA_ASSIGN_OR_RETURN(const uint32_t length, u32());
    return take(length, out, then);
  }

  // The packet header at the start of the window. A prefix already shows
  // whether it can start a packet: a wrong magic or version is reported from
  // the first bytes that show it.
  Status header(PacketHeader& out);

  // `ndim` u32 dimensions: TooManyDimensions above MAX_NDIM before any bounds
  // check; with `limited` false any count is read (packet info reports up to 255).
  Status shape(size_t ndim, std::vector<uint32_t>& dims, bool limited = true) {
    VAKRA_RETURN_IF(limited && ndim > MAX_NDIM, make_error(ErrorKind::TooManyDimensions));
    const auto length = wire::checked_mul(ndim, 4);
    VAKRA_RETURN_IF(!length, make_error(ErrorKind::Malformed));
    VAKRA_TRY(require_ahead(*length));
    dims = std::vector<uint32_t>(ndim);
    // The host is little-endian (wire_internal.hpp): the dimensions are copied as they lie.
    if (*length != 0) source_->copy(position_, *length, reinterpret_cast<uint8_t*>(dims.data()));
    position_ += *length;
    return {};
  }

  // Where a body starts when the block before it ends at the current
  // position: after the alignment byte of FLAG_CUSTOM_ALIGN (which wins) and
  // its padding, at the next multiple of 64 for FLAG_ALIGNED, else right
  // here. Padding is skipped unread; multiples count from the packet's first
  // byte. The cursor moves to the body start, which is not checked to exist.
  Result<size_t> body_start(uint16_t flags) {
    size_t alignment = 1;
    if (flags & FLAG_CUSTOM_ALIGN) {
      VAKRA_ASSIGN_OR_RETURN(const uint8_t log2_alignment, u8());
      VAKRA_RETURN_IF(log2_alignment > kMaxAlignmentLog2, make_error(ErrorKind::Malformed));
      alignment = size_t{1} << log2_alignment;
    } else if (flags & FLAG_ALIGNED) {
      alignment = kStandardAlignment;
    }
    const auto start = wire::align_up(position_ - begin_, alignment);
    VAKRA_RETURN_IF(!start, make_error(ErrorKind::Malformed));
    const auto absolute = wire::checked_add(*start, begin_);
    VAKRA_RETURN_IF(!absolute, make_error(ErrorKind::Malformed));
    position_ = *absolute;
    return *absolute;
  }

 private:
  // The `length` bytes at the position, which are present: in place in a
  // buffer, else copied to `scratch`. The cursor moves past them.
  const uint8_t* field(uint8_t* scratch, size_t length) {
    const uint8_t* out = data_ != nullptr ? data_ + position_ : scratch;
    if (data_ == nullptr) source_->copy(position_, length, scratch);
    position_ += length;
    return out;
  }

  const ByteSource* source_;
  const uint8_t* data_;  // the source's buffer, or null for frames
  size_t begin_;
  size_t end_;
  size_t position_;
  size_t* wanted_;
};

inline Status ReadCursor::header(PacketHeader& out) {
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

}  // namespace vakra
