// Helpers for building and inspecting packets in codec tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "vakra/error.hpp"
#include "vakra/plan.hpp"
#include "vakra/result.hpp"

namespace vakra::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(std::initializer_list<int> values) { return Bytes(values.begin(), values.end()); }

inline void append_u32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void append_u64(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
// A u32 length prefix and the bytes: how bundles and sparse packets frame their parts.
inline void append_part(Bytes& out, const Bytes& part) {
  append_u32(out, static_cast<uint32_t>(part.size()));
  out.insert(out.end(), part.begin(), part.end());
}

inline Bytes concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
// A copy of `packet` with one byte replaced.
inline Bytes with(Bytes packet, size_t index, uint8_t value) {
  packet[index] = value;
  return packet;
}

// A version 4 header: magic, version, flags LE, dtype, ndim, reserved.
inline Bytes v4_header(uint16_t flags, uint8_t dtype_code, uint8_t ndim, uint8_t reserved = 0) {
  return bytes_of({'V', 'K', 'R', 'A', 4, flags & 0xFF, flags >> 8, dtype_code, ndim, reserved});
}

// A bundle of (key, packet) entries, and a sparse packet of its shape and
// three components, framed by hand.
inline Bytes bundle_packet(const std::vector<std::pair<std::string, Bytes>>& entries, uint16_t flags = 0x0010) {
  Bytes out = v4_header(flags, 0, static_cast<uint8_t>(entries.size()));
  for (const auto& [key, packet] : entries) {
    append_part(out, Bytes(key.begin(), key.end()));
    append_part(out, packet);
  }
  return out;
}
inline Bytes sparse_packet(uint16_t flags, const std::vector<uint32_t>& shape, const std::vector<Bytes>& components) {
  Bytes out = v4_header(flags, 0, static_cast<uint8_t>(shape.size()));
  for (uint32_t d : shape) append_u32(out, d);
  for (const auto& c : components) append_part(out, c);
  return out;
}

// The message a failed Result carries, or "ok" — lets tests compare exact texts.
template <class R>
std::string outcome(const R& result) {
  return result.ok() ? std::string("ok") : error_message(result.error());
}

// The packet of a successful kind plan (DensePlan, StringPlan, ...), written into a buffer of its size.
template <class Plan>
Bytes encode(Result<Plan> plan) {
  EXPECT_EQ(outcome(plan), "ok");
  if (!plan.ok()) return {};
  const PacketPlan packet{std::move(plan).value()};
  Bytes out(packet.size());
  write_plan(packet, out);
  return out;
}

inline Bytes encode_dense(const DenseView& view, const EncodeOptions& options = {}) {
  return encode(plan_dense(view, options));
}

}  // namespace vakra::testing
