// Where a model file's padding goes (model_file.hpp describes the layout).
//
// The rule: every packet whose body is aligned relative to its own first byte
// (an uncompressed array, a quantized tensor) starts at a multiple of the
// alignment in the file. Placing a value walks its plan in file order; such a
// packet takes the padding it needs at the end of the last slot before it
// that can take some, moving everything in between (compressed arrays,
// string tensors, headers and keys) along. Every slot takes padding but that
// of a compressed array, whose LZ4 frame runs to the end of its slot. Where
// no such slot exists since the last aligned packet, only a new top-level
// packet can have a filler packet before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vakra/model_file.hpp"
#include "vakra/plan.hpp"

namespace vakra::model {

inline constexpr uint64_t kMaxSlot = 0xFFFFFFFF;  // a slot's length travels as a u32
// The shortest filler: a uint8 vector with alignment 1 (header, one dimension, the alignment byte).
inline constexpr uint64_t kShortestFiller = 15;

// What takes the padding the next aligned packet needs.
enum class Room : uint8_t {
  None,         // nothing since the last aligned packet: a packet that needs padding cannot be placed
  WrittenSlot,  // the slot of the child written last, at the end of the file so far
  Filler,       // a filler packet before the value, which starts a top-level packet
  Slot,         // a slot of the value being placed
};

// The walk's state: where it is in the file, and what takes padding.
struct Placement {
  uint64_t position = 0;
  size_t alignment = 1;
  Room room = Room::None;
  size_t* slot_pad = nullptr;  // Room::Slot: that slot's pad in the plan
  uint64_t written_pad = 0;    // what the written slot took
  uint64_t filler = 0;         // the filler's length, 0 for none
  std::vector<size_t> path;    // the child being placed, by index
  std::optional<SlotOverflow> overflow;
};

enum class Placed : uint8_t { Ok, NoRoom, Overflow };

// Places `plan` from state.position: sets the pad of every slot in it so each
// packet that needs it starts aligned, and every bundle's and sparse
// matrix's size. NoRoom: a packet needs padding and nothing can take it.
// Overflow: a child with its padding is too long for its slot (state.overflow).
Placed place(PacketPlan& plan, Placement& state);

// Whether a slot holding `plan` may end in padding.
bool takes_padding(const PacketPlan& plan);

// Plans every sparse matrix's components in `plan` again at `alignment` when
// it is above 64, so that their bodies are aligned in the file.
Status align_sparse_components(PacketPlan& plan, size_t alignment);

}  // namespace vakra::model
