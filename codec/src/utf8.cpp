// Strict UTF-8 validation.
#include "utf8_internal.hpp"

namespace vakra {

bool is_valid_utf8(ByteView text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const uint8_t lead = text[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint8_t lo = 0x80;  // allowed range of the second byte
    uint8_t hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
      if (lead == 0xE0) lo = 0xA0;  // overlong
      if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
      if (lead == 0xF0) lo = 0x90;  // overlong
      if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (text[i + 1] < lo || text[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace vakra
