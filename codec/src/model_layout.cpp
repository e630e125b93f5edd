// The placement walk of a model file's values (model_layout_internal.hpp).
#include <variant>

#include "model_layout_internal.hpp"
#include "vakra/header.hpp"

namespace vakra::model {
namespace {

// Moves `room`'s end along by `pad` bytes (a filler by at least its shortest
// length, in steps of the alignment) and returns how far the walk moves.
uint64_t widen(Placement& state, uint64_t pad) {
  switch (state.room) {
    case Room::WrittenSlot:
      state.written_pad += pad;
      return pad;
    case Room::Filler:
      while (pad < kShortestFiller) pad += state.alignment;
      state.filler = pad;
      return pad;
    case Room::Slot:
      *state.slot_pad += pad;
      return pad;
    case Room::None:
      break;
  }
  return 0;  // not reached: callers check for Room::None
}

// A packet as the encoder writes it; `aligned` when its body is aligned relative to its start.
Placed place_packet(size_t size, bool aligned, Placement& state) {
  if (aligned) {
    const uint64_t pad = (state.alignment - state.position % state.alignment) % state.alignment;
    if (pad != 0) {
      if (state.room == Room::None) return Placed::NoRoom;
      state.position += widen(state, pad);
    }
    state.room = Room::None;  // padding before this packet would move it
  }
  state.position += size;
  return Placed::Ok;
}

// Places one child in its slot (after the slot's `framing` bytes) and makes
// the slot the room for what follows, if it takes padding.
Placed place_child(PacketPlan& child, size_t& pad, size_t framing, size_t index, Placement& state) {
  pad = 0;
  state.position += framing;
  state.path.push_back(index);
  const Placed placed = place(child, state);
  if (placed != Placed::Ok) return placed;
  state.path.pop_back();
  if (takes_padding(child)) {
    state.room = Room::Slot;
    state.slot_pad = &pad;
  }
  return Placed::Ok;
}

// Adds a placed child's slot to its parent's size, unless it is too long for its u32 length.
bool fits_slot(uint64_t child, size_t index, Placement& state) {
  if (child <= kMaxSlot) return true;
  state.path.push_back(index);
  state.overflow = SlotOverflow{state.path, child};
  return false;
}

struct PlaceVisitor {
  Placement& state;

  Placed operator()(DensePlan& dense) const {
    return place_packet(dense.size, !dense.options.compress, state);
  }
  Placed operator()(QuantizedPlan& quantized) const { return place_packet(quantized.size, true, state); }
  // A string packet's body is copied when decoded: it needs no alignment.
  Placed operator()(StringPlan& string) const { return place_packet(string.size, false, state); }
  // Copied as it is: whatever it holds is not aligned for the file.
  Placed operator()(RawPacket& raw) const { return place_packet(raw.bytes.size(), false, state); }

  Placed operator()(BundlePlan& bundle) const {
    state.position += kHeaderLenV4;
    for (size_t i = 0; i < bundle.entries.size(); ++i) {
      BundlePlanEntry& entry = bundle.entries[i];
      const Placed placed = place_child(entry.packet, entry.pad, 8 + entry.key.size(), i, state);
      if (placed != Placed::Ok) return placed;
    }
    uint64_t size = kHeaderLenV4;
    for (size_t i = 0; i < bundle.entries.size(); ++i) {
      const BundlePlanEntry& entry = bundle.entries[i];
      if (!fits_slot(entry.packet.size() + entry.pad, i, state)) return Placed::Overflow;
      size += 8 + entry.key.size() + entry.packet.size() + entry.pad;
    }
    bundle.size = size;
    return Placed::Ok;
  }

  Placed operator()(SparsePlan& sparse) const {
    const size_t head = kHeaderLenV4 + 4 * sparse.shape.size();
    state.position += head;
    for (size_t k = 0; k < sparse.components.size(); ++k) {
      // Components are uncompressed arrays: aligned, and their slots take padding.
      sparse.pads[k] = 0;
      state.position += 4;
      if (place_packet(sparse.components[k].size, true, state) != Placed::Ok) return Placed::NoRoom;
      state.room = Room::Slot;
      state.slot_pad = &sparse.pads[k];
    }
    uint64_t size = head;
    for (size_t k = 0; k < sparse.components.size(); ++k) {
      if (!fits_slot(sparse.components[k].size + sparse.pads[k], k, state)) return Placed::Overflow;
      size += 4 + sparse.components[k].size + sparse.pads[k];
    }
    sparse.size = size;
    return Placed::Ok;
  }
};

struct RealignVisitor {
  size_t alignment;

  Status operator()(SparsePlan& sparse) const {
    for (DensePlan& component : sparse.components) {
      if (component.options.alignment == alignment) continue;
      VAKRA_ASSIGN_OR_RETURN(component, plan_dense(component.view, {alignment, false, false}));
    }
    return {};
  }
  Status operator()(BundlePlan& bundle) const {
    for (BundlePlanEntry& entry : bundle.entries) VAKRA_TRY(std::visit(*this, entry.packet.node));
    return {};
  }
  Status operator()(auto&) const { return {}; }  // the other kinds have no components
};

}  // namespace

Placed place(PacketPlan& plan, Placement& state) { return std::visit(PlaceVisitor{state}, plan.node); }

bool takes_padding(const PacketPlan& plan) {
  const auto* dense = std::get_if<DensePlan>(&plan.node);
  if (dense != nullptr) return !dense->options.compress;
  return !std::holds_alternative<RawPacket>(plan.node);
}

Status align_sparse_components(PacketPlan& plan, size_t alignment) {
  if (alignment <= kStandardAlignment) return {};
  return std::visit(RealignVisitor{alignment}, plan.node);
}

}  // namespace vakra::model
