// Byte spans and owned byte buffers used across the codec API.
#pragma once

#include "vakra/language_version.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vakra {

// Bytes the codec reads: a packet, a body, a key. Never owned by the codec.
using ByteView = std::span<const uint8_t>;
// Bytes the codec writes into: a caller's output buffer.
using MutableBytes = std::span<uint8_t>;

// Where some bytes lie, by position: `length` bytes from `offset`.
struct ByteRange {
  size_t offset = 0;
  size_t length = 0;
  size_t end() const { return offset + length; }
  bool operator==(const ByteRange&) const = default;
};

// A heap buffer of a fixed size whose bytes start uninitialised, so large
// bodies are written once instead of being zero-filled first.
class OwnedBytes {
 public:
  OwnedBytes() = default;  // empty, no allocation
  // `size` bytes of unspecified content, to be overwritten by the caller.
  static OwnedBytes uninitialized(size_t size) {
    OwnedBytes out;
    out.data_ = std::make_unique_for_overwrite<uint8_t[]>(size);
    out.size_ = size;
    return out;
  }

  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  ByteView view() const { return {data_.get(), size_}; }  // valid while this object lives
  MutableBytes span() { return {data_.get(), size_}; }
  // Keeps the first `size` bytes; the allocation is not shrunk.
  void truncate(size_t size) { size_ = size < size_ ? size : size_; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
};

}  // namespace vakra
