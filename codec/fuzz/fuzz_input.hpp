// Reads the fuzz input as a stream of choices. Once the input runs out every
// read returns zeros (and bytes() a fixed pattern), so any input, however
// short, still describes one complete value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vakra/bytes.hpp"

namespace vakra::fuzz {

class FuzzInput {
 public:
  explicit FuzzInput(ByteView bytes) : bytes_(bytes) {}

  uint8_t byte() { return pos_ < bytes_.size() ? bytes_[pos_++] : 0; }
  bool flag() { return byte() & 1; }
  // A value in [0, n); n is at most 256.
  size_t below(size_t n) { return n == 0 ? 0 : byte() % n; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{byte()} << (8 * i);
    return v;
  }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = pos_ < bytes_.size() ? bytes_[pos_++] : static_cast<uint8_t>(i * 37 + 11);
    return out;
  }

 private:
  ByteView bytes_;
  size_t pos_ = 0;
};

}  // namespace vakra::fuzz
