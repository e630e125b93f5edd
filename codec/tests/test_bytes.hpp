// Helpers for building and inspecting packets in codec tests.
#pragma once

#include <gtest/gtest.h>
#include <lz4frame.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "vakra/error.hpp"
#include "vakra/header.hpp"
#include "vakra/plan.hpp"
#include "vakra/result.hpp"

namespace vakra::testing {

using Bytes = std::vector<uint8_t>;

inline void append_u32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline Bytes concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
// A copy of `packet` with the bytes from `at` replaced.
inline Bytes with(Bytes packet, size_t at, std::initializer_list<uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), packet.begin() + at);
  return packet;
}

// A version 4 header: magic, version, flags LE, dtype, ndim, reserved.
inline Bytes v4_header(uint16_t flags, uint8_t dtype_code, uint8_t ndim, uint8_t reserved = 0) {
  return {'V', 'K', 'R', 'A', 4, static_cast<uint8_t>(flags), static_cast<uint8_t>(flags >> 8), dtype_code, ndim, reserved};
}

// A bundle of (key, packet) entries, framed by hand: u32 length prefixes before each key and packet.
inline Bytes bundle(const std::vector<std::pair<std::string, Bytes>>& entries, uint16_t flags = FLAG_BUNDLE) {
  Bytes out = v4_header(flags, 0, static_cast<uint8_t>(entries.size()));
  for (const auto& [key, packet] : entries) {
    append_u32(out, static_cast<uint32_t>(key.size()));
    out.insert(out.end(), key.begin(), key.end());
    append_u32(out, static_cast<uint32_t>(packet.size()));
    out = concat(out, packet);
  }
  return out;
}

// The message a failed Result carries, or "ok": tests compare exact texts.
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

// A dense packet of bytes counting up from 1.
inline Bytes dense(std::vector<uint32_t> shape, Dtype dtype = Dtype::Int16, EncodeOptions options = {}) {
  const Result<uint64_t> length = dense_body_length(dtype, shape);
  Bytes data(length.ok() ? *length : 0);  // none for the types without a dense body
  std::iota(data.begin(), data.end(), uint8_t{1});
  return encode(plan_dense({data, shape, dtype}, options));
}

inline Bytes int32_array(std::vector<int32_t> values) {
  const uint32_t shape[] = {static_cast<uint32_t>(values.size())};
  return encode(plan_dense({{reinterpret_cast<const uint8_t*>(values.data()), 4 * values.size()}, shape, Dtype::Int32}, {}));
}

// A sparse packet of its shape and three components, framed by hand.
inline Bytes sparse(uint16_t flags, const std::vector<uint32_t>& shape, const std::vector<Bytes>& components) {
  Bytes out = v4_header(flags, 0, static_cast<uint8_t>(shape.size()));
  for (uint32_t d : shape) append_u32(out, d);
  for (const Bytes& c : components) {
    append_u32(out, static_cast<uint32_t>(c.size()));
    out = concat(out, c);
  }
  return out;
}

// Values, indices and indptr of a sound 2 x 3 csr matrix (a 3 x 2 csc one).
inline std::vector<Bytes> sound_components() {
  return {dense({2}, Dtype::Float64), int32_array({2, 0}), int32_array({0, 1, 2})};
}

// liblz4's frame compressor from a fresh context, with `info`, the body fed
// in parts of `part` bytes, each flushed.
inline Bytes liblz4_frame(const Bytes& body, const LZ4F_frameInfo_t& info, size_t part = SIZE_MAX) {
  LZ4F_preferences_t prefs = LZ4F_INIT_PREFERENCES;
  prefs.frameInfo = info;
  prefs.autoFlush = 1;
  LZ4F_cctx* cctx;
  EXPECT_FALSE(LZ4F_isError(LZ4F_createCompressionContext(&cctx, LZ4F_VERSION)));
  Bytes frame(LZ4F_HEADER_SIZE_MAX + 2 * LZ4F_compressBound(body.size(), &prefs));
  size_t at = LZ4F_compressBegin(cctx, frame.data(), frame.size(), &prefs);
  for (size_t from = 0; from < body.size(); from += part) {
    const size_t n = std::min(part, body.size() - from);
    at += LZ4F_compressUpdate(cctx, frame.data() + at, frame.size() - at, body.data() + from, n, nullptr);
    at += LZ4F_flush(cctx, frame.data() + at, frame.size() - at, nullptr);
  }
  at += LZ4F_compressEnd(cctx, frame.data() + at, frame.size() - at, nullptr);
  LZ4F_freeCompressionContext(cctx);
  frame.resize(at);
  return frame;
}

// A compressed one-dimensional dense packet around any frame.
inline Bytes compressed_packet(uint8_t dtype_code, uint32_t dim, const Bytes& frame) {
  Bytes prefix = v4_header(FLAG_ALIGNED | FLAG_COMPRESSED, dtype_code, 1);
  append_u32(prefix, dim);
  prefix.resize(64, 0);
  return concat(prefix, frame);
}

}  // namespace vakra::testing
