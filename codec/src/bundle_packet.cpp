// Bundle packets: the header with the entry count, then per entry a u32
// key length, the UTF-8 key, a u32 packet length and the packet. Written from
// plans (entries planned in place, or copied verbatim when they were encoded
// beforehand) and read back entry by entry, each packet through decode_depth.
#include <algorithm>
#include <string>

#include "decode_internal.hpp"
#include "sink_internal.hpp"
#include "vakra/header.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(ByteView text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const uint8_t lead = text[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint8_t lo = 0x80;  // allowed range of the second byte
    uint8_t hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
      if (lead == 0xE0) lo = 0xA0;  // overlong
      if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
      if (lead == 0xF0) lo = 0x90;  // overlong
      if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (text[i + 1] < lo || text[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace

Status finish_bundle_plan(BundlePlan& plan) {
  VAKRA_RETURN_IF(plan.entries.size() > MAX_BUNDLE_ENTRIES, make_error(ErrorKind::TooManyBundleEntries));
  size_t total = kHeaderLenV4;
  for (const BundlePlanEntry& entry : plan.entries) {
    const size_t key_len = entry.key.size();
    const size_t packet_len = entry.packet.size();
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
    wire::store_u32(framing.data() + 4 + entry.key.size(), static_cast<uint32_t>(entry.packet.size()));
    emit_plan(entry.packet, sink);
  }
}

Result<Decoded> decode_bundle(ByteView bytes, const PacketHeader& header, size_t depth,
                              CompressedBodies compressed) {
  DecodedBundle bundle;
  bundle.entries.reserve(header.ndim);
  size_t p = header.header_len;
  for (size_t i = 0; i < header.ndim; ++i) {
    VAKRA_ASSIGN_OR_RETURN(const ByteView key, wire::length_prefixed(bytes, p));
    VAKRA_RETURN_IF(!is_valid_utf8(key), make_error(ErrorKind::Malformed));
    p += 4 + key.size();
    VAKRA_ASSIGN_OR_RETURN(const ByteView packet, wire::length_prefixed(bytes, p));
    VAKRA_ASSIGN_OR_RETURN(Decoded value, decode_depth(packet, depth + 1, compressed));
    p += 4 + packet.size();
    bundle.entries.push_back(
        BundleItem{std::string(reinterpret_cast<const char*>(key.data()), key.size()), std::move(value)});
  }
  return Decoded{std::move(bundle)};
}

}  // namespace vakra
