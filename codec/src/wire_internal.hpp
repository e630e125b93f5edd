// Little-endian access, overflow-safe arithmetic and the alignment padding
// shared by the kind encoders and decoders.
#pragma once

#include <cstdint>
#include <bit>
#include <cstring>
#include <optional>

#include "vakra/bytes.hpp"
#include "vakra/header.hpp"
#include "vakra/result.hpp"

namespace vakra::wire {

// The wire is little-endian, like every platform this builds for.
static_assert(std::endian::native == std::endian::little, "vakra assumes a little-endian host");

inline uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void store_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }

// a + b, or nullopt on overflow.
inline std::optional<size_t> checked_add(size_t a, size_t b) {
  size_t out;
  if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
  return out;
}
inline std::optional<size_t> checked_mul(size_t a, size_t b) {
  size_t out;
  if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
  return out;
}

// The smallest multiple of `alignment` (a power of two) not below `offset`.
inline std::optional<size_t> align_up(size_t offset, size_t alignment) {
  auto bumped = checked_add(offset, alignment - 1);
  if (!bumped) return std::nullopt;
  return *bumped & ~(alignment - 1);
}

// True when `len` bytes at `offset` lie inside a span of `size` bytes.
inline bool fits(size_t offset, size_t len, size_t size) { return len <= size && offset <= size - len; }

constexpr bool is_power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Zero bytes needed after `prefix_len` so the next byte sits at a multiple of
// `alignment`, counted from the packet start.
constexpr size_t padding_for(size_t prefix_len, size_t alignment) {
  if (alignment < 2 || prefix_len % alignment == 0) return 0;
  return alignment - prefix_len % alignment;
}

// Writes the alignment byte (when the alignment is not 64) and the zero
// padding that follow a prefix ending at `prefix_end`; returns the body start.
inline size_t write_alignment(uint8_t* packet, size_t prefix_end, size_t alignment) {
  size_t p = prefix_end;
  if (alignment != kStandardAlignment) packet[p++] = static_cast<uint8_t>(__builtin_ctzll(alignment));
  const size_t pad = padding_for(p, alignment);
  std::memset(packet + p, 0, pad);
  return p + pad;
}

// Flags for a body written with `alignment`: FLAG_ALIGNED for 64, else FLAG_CUSTOM_ALIGN.
constexpr uint16_t alignment_flag(size_t alignment) {
  return alignment == kStandardAlignment ? FLAG_ALIGNED : FLAG_CUSTOM_ALIGN;
}

}  // namespace vakra::wire
