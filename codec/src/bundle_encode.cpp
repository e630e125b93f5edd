// Bundle framing: the header with the entry count, then per entry a u32
// key length, the key, a u32 packet length and the packet. Raw entries and
// planned entries share one sizing and one framing routine; they differ only
// in how an entry's packet is measured and written.
#include <algorithm>

#include "vakra/bundle.hpp"
#include "vakra/header.hpp"
#include "vakra/plan.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

// Key length field, key, packet length field, packet.
template <class Entries, class PacketLength>
Result<size_t> framed_size(const Entries& entries, PacketLength packet_length) {
  VAKRA_RETURN_IF(entries.size() > MAX_BUNDLE_ENTRIES, make_error(ErrorKind::TooManyBundleEntries));
  size_t total = kHeaderLenV4;
  for (const auto& entry : entries) {
    const size_t key_len = entry.key.size();
    const size_t packet_len = packet_length(entry);
    // Both lengths travel as u32.
    VAKRA_RETURN_IF(key_len >= kMaxPartLength || packet_len >= kMaxPartLength, make_error(ErrorKind::Malformed));
    auto next = wire::checked_add(total, 8 + key_len);
    if (next) next = wire::checked_add(*next, packet_len);
    VAKRA_RETURN_IF(!next, make_error(ErrorKind::Malformed));
    total = *next;
  }
  return total;
}

// `out` holds the whole framed size; lengths were checked by framed_size.
template <class Entries, class PacketLength, class WritePacket>
void write_framed(const Entries& entries, MutableBytes out, PacketLength packet_length, WritePacket write_packet) {
  write_v4_header(out, FLAG_BUNDLE, 0, static_cast<uint8_t>(entries.size()));
  size_t p = kHeaderLenV4;
  for (const auto& entry : entries) {
    wire::store_u32(out.data() + p, static_cast<uint32_t>(entry.key.size()));
    std::ranges::copy(entry.key, out.data() + p + 4);
    p += 4 + entry.key.size();
    const size_t packet_len = packet_length(entry);
    wire::store_u32(out.data() + p, static_cast<uint32_t>(packet_len));
    write_packet(entry, out.subspan(p + 4, packet_len));
    p += 4 + packet_len;
  }
}

size_t raw_length(const BundleEntry& entry) { return entry.packet.size(); }
void write_raw(const BundleEntry& entry, MutableBytes out) { std::ranges::copy(entry.packet, out.data()); }

size_t planned_length(const BundlePlanEntry& entry) { return entry.packet.size(); }
void write_planned(const BundlePlanEntry& entry, MutableBytes out) { write_plan(entry.packet, out); }

}  // namespace

Result<size_t> bundle_required_size(std::span<const BundleEntry> entries) {
  return framed_size(entries, raw_length);
}

Result<size_t> encode_bundle_into(std::span<const BundleEntry> entries, MutableBytes buffer) {
  size_t total;
  VAKRA_ASSIGN_OR_RETURN(total, bundle_required_size(entries));
  VAKRA_RETURN_IF(buffer.size() < total, make_error(ErrorKind::BufferTooSmall));
  write_framed(entries, buffer, raw_length, write_raw);
  return total;
}

Status finish_bundle_plan(BundlePlan& plan) {
  VAKRA_ASSIGN_OR_RETURN(plan.size, framed_size(plan.entries, planned_length));
  return {};
}

void write_bundle(const BundlePlan& plan, MutableBytes out) {
  write_framed(plan.entries, out, planned_length, write_planned);
}

}  // namespace vakra
