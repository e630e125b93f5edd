// Bundle packets: the header with the entry count, then per entry a u32
// key length, the UTF-8 key, a u32 slot length and the slot: the packet, then
// any zero padding the plan gives it (decoders read a complete packet at the
// start of its slot and skip the rest). Written from
// plans (entries planned in place, or copied verbatim when they were encoded
// beforehand) and read back entry by entry, each packet walked in turn.
#include <algorithm>

#include "packet_kinds_internal.hpp"
#include "sink_internal.hpp"
#include "utf8_internal.hpp"
#include "vakra/header.hpp"
#include "wire_internal.hpp"

namespace vakra {

Status finish_bundle_plan(BundlePlan& plan) {
  VAKRA_RETURN_IF(plan.entries.size() > MAX_BUNDLE_ENTRIES, make_error(ErrorKind::TooManyBundleEntries));
  size_t total = kHeaderLenV4;
  for (const BundlePlanEntry& entry : plan.entries) {
    const size_t key_len = entry.key.size();
    const size_t packet_len = entry.packet.size() + entry.pad;
    // Both lengths travel as u32.
    VAKRA_RETURN_IF(key_len >= kMaxPartLength || packet_len >= kMaxPartLength, make_error(ErrorKind::Malformed));
    auto next = wire::checked_add(total, 8 + key_len);
    if (next) next = wire::checked_add(*next, packet_len);
    VAKRA_RETURN_IF(!next, make_error(ErrorKind::Malformed));
    total = *next;
  }
  plan.size = total;
  return {};
}

void emit_bundle(const BundlePlan& plan, PacketSink& sink) {
  write_v4_header(sink.piece(kHeaderLenV4), FLAG_BUNDLE, 0, static_cast<uint8_t>(plan.entries.size()));
  for (const BundlePlanEntry& entry : plan.entries) {
    // Keys are short: they travel inside the piece with their two length prefixes.
    const MutableBytes framing = sink.piece(8 + entry.key.size());
    wire::store_u32(framing.data(), static_cast<uint32_t>(entry.key.size()));
    std::ranges::copy(entry.key, framing.data() + 4);
    wire::store_u32(framing.data() + 4 + entry.key.size(), static_cast<uint32_t>(entry.packet.size() + entry.pad));
    emit_plan(entry.packet, sink);
    emit_zeros(entry.pad, sink);
  }
}

Result<BundleEntrySlot> read_bundle_entry(ReadCursor& cursor, bool more, WalkMode mode) {
  // A walker of a prefix asks for the next length prefix along with each part.
  const bool ahead = mode == WalkMode::Measure;
  BundleEntrySlot slot;
  VAKRA_TRY(cursor.part(slot.key, ahead ? 4 : 0));
  VAKRA_RETURN_IF(!is_valid_utf8(cursor.source().view(slot.key)), make_error(ErrorKind::Malformed));
  VAKRA_TRY(cursor.part(slot.packet, ahead && more ? 8 : 0));
  return slot;
}

}  // namespace vakra
