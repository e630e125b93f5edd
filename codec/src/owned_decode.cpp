// decode_owned: a decoded tree moved into memory of its own, compressed
// bodies decompressed on the way.
#include <variant>
#include <vector>

#include "body_copy_internal.hpp"
#include "memory_internal.hpp"
#include "overloaded_internal.hpp"
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

// Bodies start at multiples of this in the owned memory: any element type
// can be read in place.
constexpr size_t kBodyAlignment = 64;

// A view of the tree and its place in the owned memory.
struct Placement {
  ByteView* view;
  size_t offset;
  size_t length;              // bytes in the owned memory
  bool* compressed = nullptr;  // a dense body whose view is an LZ4 frame, cleared once decompressed
};

class Placer {
 public:
  Status place(Decoded& node) {
    return std::visit(Overloaded{
                          [&](DecodedDense& dense) { return place_dense(dense); },
                          [&](DecodedBundle& bundle) -> Status {
                            for (BundleItem& item : bundle.entries) VAKRA_TRY(place(item.value));
                            return {};
                          },
                          [&](DecodedSparse& sparse) -> Status {
                            for (Decoded& component : sparse.components) VAKRA_TRY(place(component));
                            return {};
                          },
                          [&](DecodedQuantized& quantized) -> Status {
                            for (ByteView* view : {&quantized.scales, &quantized.zero_points, &quantized.data}) {
                              VAKRA_TRY(add(*view, view->size(), nullptr));
                            }
                            return {};
                          },
                          [&](DecodedString& string) { return place_offsets(string); },
                          [&](DecodedRagged& ragged) { return place_offsets(ragged); },
                          [](DecodedInline&) -> Status { return {}; },  // the record is a copy already
                      },
                      node.value);
  }

  size_t size() const { return size_; }
  const std::vector<Placement>& placements() const { return placements_; }

 private:
  Status add(ByteView& view, uint64_t length, bool* compressed) {
    const auto offset = wire::align_up(size_, kBodyAlignment);
    const auto end = offset ? wire::checked_add(*offset, length) : std::nullopt;
    VAKRA_RETURN_IF(!end, make_error(ErrorKind::Malformed));
    placements_.push_back({&view, *offset, static_cast<size_t>(length), compressed});
    size_ = *end;
    return {};
  }

  Status place_dense(DecodedDense& dense) {
    if (!dense.compressed) return add(dense.data, dense.data.size(), nullptr);
    // Checked by the decoder: at most 16 * 10^9 bytes.
    const uint64_t length = *dense_body_length(dense.dtype, dense.shape);
    // A frame too small to hold its array is refused before anything that size is allocated.
    VAKRA_RETURN_IF(length > lz4_max_decompressed_size(dense.data.size()), make_error(ErrorKind::Malformed));
    return add(dense.data, length, &dense.compressed);
  }
  Status place_offsets(DecodedOffsets& offsets) {
    VAKRA_TRY(add(offsets.offsets, offsets.offsets.size(), nullptr));
    return add(offsets.payload, offsets.payload.size(), nullptr);
  }

  std::vector<Placement> placements_;
  size_t size_ = 0;
};

}  // namespace

Result<OwnedDecoded> decode_owned(ByteView bytes) {
  OwnedDecoded out;
  VAKRA_ASSIGN_OR_RETURN(out.value, decode(bytes, CompressedBodies::View));
  Placer placer;
  VAKRA_TRY(placer.place(out.value));
  out.memory = memory::fresh_output(placer.size());
  std::vector<parallel::BodyCopy> copies;
  for (const Placement& placement : placer.placements()) {
    const MutableBytes destination = out.memory.span().subspan(placement.offset, placement.length);
    if (placement.compressed != nullptr) {
      VAKRA_TRY(lz4_decompress_frame_into(*placement.view, destination));
    } else {
      copies.push_back({destination.data(), *placement.view, nullptr});
    }
  }
  parallel::copy_bodies(copies);
  for (const Placement& placement : placer.placements()) {
    *placement.view = out.memory.view().subspan(placement.offset, placement.length);
    if (placement.compressed != nullptr) *placement.compressed = false;
  }
  return out;
}

}  // namespace vakra
