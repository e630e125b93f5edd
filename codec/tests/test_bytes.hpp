// Helpers for building and inspecting packets in codec tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "vakra/error.hpp"
#include "vakra/result.hpp"

namespace vakra::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

inline void append_u32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void append_u64(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A version 4 header: magic, version, flags LE, dtype, ndim, reserved.
inline Bytes v4_header(uint16_t flags, uint8_t dtype_code, uint8_t ndim, uint8_t reserved = 0) {
  return bytes_of({'V', 'K', 'R', 'A', 4, flags & 0xFF, flags >> 8, dtype_code, ndim, reserved});
}

// The message a failed Result carries, or "ok" — lets tests compare exact texts.
template <class R>
std::string outcome(const R& result) {
  return result.ok() ? std::string("ok") : error_message(result.error());
}

}  // namespace vakra::testing
