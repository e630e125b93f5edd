// Encoding plans: a value is validated and sized first (compressing a dense
// body if asked), then written in place. Plans nest the way bundles and
// sparse matrices do, so a dict of arrays becomes one allocation with every
// body copied straight into its final place.
#pragma once

#include <array>
#include <cstddef>
#include <variant>
#include <vector>

#include "vakra/bundle.hpp"
#include "vakra/bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"
#include "vakra/result.hpp"

namespace vakra {

struct DensePlan {
  DenseView view;
  EncodeOptions options;
  DenseLayout layout;
  OwnedBytes compressed;  // the LZ4 frame when options.compress
  size_t body_length = 0;
  size_t size = 0;  // the exact packet length
  ByteView body() const { return options.compress ? compressed.view() : view.data; }
};

// Validates the view and, with `compress`, compresses the body.
Result<DensePlan> plan_dense(const DenseView& view, const EncodeOptions& options);
// Writes the packet; `out` holds at least plan.size bytes.
void write_dense(const DensePlan& plan, MutableBytes out);
// For vectored output, the packet in three pieces: the prefix (header through
// padding; `out` holds plan.layout.body_offset() bytes), plan.body(), and the
// checksum footer (8 bytes with check_integrity, else none).
void write_dense_prefix(const DensePlan& plan, MutableBytes out);
uint64_t dense_body_checksum(const DensePlan& plan);

struct SparsePlan {
  SparseFormat format = SparseFormat::coo;
  std::vector<uint32_t> shape;
  std::array<DensePlan, 3> components;  // alignment 64, no checksum, no compression
  size_t size = 0;
};

Result<SparsePlan> plan_sparse(SparseFormat format, std::span<const uint32_t> shape,
                               std::span<const DenseView> components);
void write_sparse(const SparsePlan& plan, MutableBytes out);

struct PacketPlan;
struct BundlePlanEntry;

struct BundlePlan {
  std::vector<BundlePlanEntry> entries;
  size_t size = 0;
};

// An already-encoded packet, copied verbatim.
struct RawPacket {
  ByteView bytes;
};

struct PacketPlan {
  std::variant<DensePlan, SparsePlan, BundlePlan, RawPacket> node;
  size_t size() const;
};

struct BundlePlanEntry {
  ByteView key;
  PacketPlan packet;
};

// Checks the entry count and part lengths of a filled-in bundle plan and sets its size.
Status finish_bundle_plan(BundlePlan& plan);
void write_bundle(const BundlePlan& plan, MutableBytes out);

// Writes any plan; `out` holds at least plan.size() bytes.
void write_plan(const PacketPlan& plan, MutableBytes out);
// Writes any plan after checking capacity (BufferTooSmall, nothing written).
Result<size_t> write_plan_checked(const PacketPlan& plan, MutableBytes out);

}  // namespace vakra
