// Where a plan's writers put a packet's bytes. Each kind's writer walks its
// plan once, front to back, and hands the sink small pieces it fills itself
// (headers, shapes, padding, length prefixes, checksums) and the bodies it
// only points at. One sink copies everything into one buffer, another
// collects segments for vectored output; both see the same walk, so they
// cannot disagree about a byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "hash_internal.hpp"
#include "vakra/bytes.hpp"
#include "vakra/plan.hpp"

namespace vakra {

class PacketSink {
 public:
  // `n` bytes for the writer to fill completely before its next call to the sink.
  virtual MutableBytes piece(size_t n) = 0;
  // Body bytes, copied or referenced as the sink chooses.
  virtual void body(ByteView bytes) = 0;
  // Body bytes followed by their XXH3-64 (8 bytes, little-endian), taken of
  // the bytes as they end up in the packet.
  virtual void checked_body(ByteView bytes) = 0;
  // Body parts back to back, then the XXH3-64 (8 bytes, little-endian) of
  // `started` (which has taken whatever the checksum covers before them, from
  // pieces the writer filled) continued over the parts as they end up in the
  // packet, never as read from their source, which may change meanwhile.
  virtual void checked_parts(std::span<const ByteView> parts, hash::Xxh3Stream&& started) = 0;

 protected:
  ~PacketSink() = default;
};

// The writers of the packet kinds, each in its kind's file.
void emit_dense(const DensePlan& plan, PacketSink& sink);
void emit_sparse(const SparsePlan& plan, PacketSink& sink);
void emit_bundle(const BundlePlan& plan, PacketSink& sink);
void emit_string(const StringPlan& plan, PacketSink& sink);
void emit_quantized(const QuantizedPlan& plan, PacketSink& sink);
// Dispatches on the plan's kind.
void emit_plan(const PacketPlan& plan, PacketSink& sink);
// `n` zero bytes: the padding after a child inside its slot.
void emit_zeros(size_t n, PacketSink& sink);

}  // namespace vakra
