// ReadCursor: the one way the readers touch a packet's bytes. Every read
// checks first that its field lies inside the bytes (PacketTooShort) and that
// no offset arithmetic overflows (Malformed); only then does it look.
//
// A cursor may also read the first bytes of a packet whose end has not
// arrived yet (the start of a stream). It is then given `wanted`: a read that
// runs past the end stores there the length the bytes must reach before it
// can succeed, which is how the walker tells a prefix from a broken packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/header.hpp"
#include "vakra/result.hpp"
#include "wire_internal.hpp"

namespace vakra {

class ReadCursor {
 public:
  explicit ReadCursor(ByteView bytes, size_t position = 0, size_t* wanted = nullptr)
      : bytes_(bytes), position_(position), wanted_(wanted) {}

  ByteView bytes() const { return bytes_; }
  size_t position() const { return position_; }
  // True when the bytes may be the prefix of a longer packet.
  bool reads_prefix() const { return wanted_ != nullptr; }

  // Moves to `position` without reading; the next read checks the bounds.
  void seek(size_t position) { position_ = position; }

  // The bytes [0, end) are present.
  Status require(size_t end) {
    if (end <= bytes_.size()) return {};
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
  Result<ByteView> take(size_t length) {
    VAKRA_TRY(require_ahead(length));
    const ByteView out = bytes_.subspan(position_, length);
    position_ += length;
    return out;
  }
  Result<uint8_t> u8() {
    VAKRA_TRY(require_ahead(1));
    return bytes_[position_++];
  }
  Result<uint32_t> u32() {
    VAKRA_TRY(require_ahead(4));
    const uint32_t v = wire::load_u32(bytes_.data() + position_);
    position_ += 4;
    return v;
  }
  Result<uint64_t> u64() {
    VAKRA_TRY(require_ahead(8));
    const uint64_t v = wire::load_u64(bytes_.data() + position_);
    position_ += 8;
    return v;
  }

  // A part framed by a u32 length prefix (a bundle key or entry, a sparse
  // component). With `then` the bytes after the part must hold that many
  // more: a reader of a prefix then asks for the next length prefix too.
  Result<ByteView> part(size_t then = 0) {
    VAKRA_ASSIGN_OR_RETURN(const uint32_t length, u32());
    VAKRA_TRY(require_ahead(size_t{length} + then));
    return take(length);
  }

  // `ndim` u32 dimensions: TooManyDimensions above MAX_NDIM before any bounds
  // check; with `limited` false any count is read (packet info reports up to 255).
  Result<std::vector<uint32_t>> shape(size_t ndim, bool limited = true) {
    VAKRA_RETURN_IF(limited && ndim > MAX_NDIM, make_error(ErrorKind::TooManyDimensions));
    const auto length = wire::checked_mul(ndim, 4);
    VAKRA_RETURN_IF(!length, make_error(ErrorKind::Malformed));
    VAKRA_TRY(require_ahead(*length));
    std::vector<uint32_t> dims(ndim);
    for (uint32_t& dim : dims) {
      dim = wire::load_u32(bytes_.data() + position_);
      position_ += 4;
    }
    return dims;
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
      VAKRA_RETURN_IF(log2_alignment > 63, make_error(ErrorKind::Malformed));
      alignment = size_t{1} << log2_alignment;
    } else if (flags & FLAG_ALIGNED) {
      alignment = kStandardAlignment;
    }
    const auto start = wire::align_up(position_, alignment);
    VAKRA_RETURN_IF(!start, make_error(ErrorKind::Malformed));
    position_ = *start;
    return *start;
  }

 private:
  ByteView bytes_;
  size_t position_ = 0;
  size_t* wanted_ = nullptr;
};

}  // namespace vakra
