// Encoding plans: a value is validated and sized first (compressing a dense
// body if asked), then written in place. Plans nest the way bundles and
// sparse matrices do, so a dict of any values becomes one allocation with
// every body copied straight into its final place. A plan only views its
// inputs: they must outlive it, and the plan must outlive what is written
// from it (segments.hpp hands out views of it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"
#include "vakra/quantized.hpp"
#include "vakra/result.hpp"

namespace vakra {

inline constexpr size_t MAX_BUNDLE_ENTRIES = 255;  // the entry count is one byte

// A validated dense packet, ready to write.
struct DensePlan {
  DenseView view;
  EncodeOptions options;
  DenseLayout layout;
  OwnedBytes compressed;  // the LZ4 frame when options.compress
  size_t size = 0;        // the exact packet length
  ByteView body() const { return options.compress ? compressed.view() : view.data; }
};

// Validates the view and, with `compress`, compresses the body.
Result<DensePlan> plan_dense(const DenseView& view, const EncodeOptions& options);

// A validated sparse packet: the matrix shape and its three component plans.
struct SparsePlan {
  SparseFormat format = SparseFormat::coo;
  std::vector<uint32_t> shape;
  // No checksum, no compression; alignment 64 (a model file's writer plans
  // them again at its alignment when that is larger).
  std::array<DensePlan, 3> components;
  // Zero bytes after each component inside its slot, which decoders skip: a
  // model file's writer sets them so that the next body is aligned in the file.
  std::array<size_t, 3> pads{};
  size_t size = 0;  // with the pads
};

// Validates a sparse matrix: its shape and exactly three components in wire
// order (COO: data, row, col; CSR and CSC: data, indices, indptr).
Result<SparsePlan> plan_sparse(SparseFormat format, std::span<const uint32_t> shape,
                               std::span<const DenseView> components);

// A validated string tensor: item i is payload[offsets[i], offsets[i + 1]).
struct StringPlan {
  uint32_t count = 0;
  std::span<const uint64_t> offsets;  // count + 1, from 0 up to the payload length
  ByteView payload;
  bool check_integrity = false;
  size_t size = 0;  // the exact packet length
};

// Malformed unless there are count + 1 offsets starting at 0, never
// decreasing and ending at the payload's length.
Result<StringPlan> plan_string(uint32_t count, std::span<const uint64_t> offsets, ByteView payload,
                               bool check_integrity);

// A validated quantized packet.
struct QuantizedPlan {
  QuantizedView view;
  EncodeOptions options;  // `compress` is ignored: quantized bodies are never compressed
  QuantizedLayout layout;
  size_t size = 0;
};

// Validates the view: scales and zero points of equal length, a multiple of 4
// bytes; enough code bytes for the shape.
Result<QuantizedPlan> plan_quantized(const QuantizedView& view, const EncodeOptions& options);

struct PacketPlan;
struct BundlePlanEntry;

// A dict: fill `entries` in wire order, then call finish_bundle_plan.
struct BundlePlan {
  std::vector<BundlePlanEntry> entries;
  size_t size = 0;  // set by finish_bundle_plan
};

// An already-encoded packet, copied verbatim.
struct RawPacket {
  ByteView bytes;
};

// Any planned packet; what write_plan and plan_segments take.
struct PacketPlan {
  std::variant<DensePlan, SparsePlan, BundlePlan, StringPlan, QuantizedPlan, RawPacket> node;
  size_t size() const;  // the exact packet length
};

// One named entry of a bundle plan.
struct BundlePlanEntry {
  ByteView key;  // UTF-8, not validated here
  PacketPlan packet;
  // Zero bytes after the packet inside its slot, which decoders skip (as for
  // SparsePlan::pads).
  size_t pad = 0;
};

// Checks the entry count (TooManyBundleEntries above 255) and the part
// lengths (Malformed for a key, or a packet with its pad, of 4 GiB or more)
// of a filled-in bundle plan and sets its size.
Status finish_bundle_plan(BundlePlan& plan);

// Whether writing the plan computes checksums: the one part of writing a
// plan, besides copying bodies, whose cost grows with them.
bool plan_takes_checksums(const PacketPlan& plan);

// Writes any plan; `out` holds at least plan.size() bytes.
void write_plan(const PacketPlan& plan, MutableBytes out);
// Writes any plan after checking capacity (BufferTooSmall, nothing written).
Result<size_t> write_plan_checked(const PacketPlan& plan, MutableBytes out);

}  // namespace vakra
