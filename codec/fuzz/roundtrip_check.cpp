// check_roundtrip: a value built from the input is encoded, walked, decoded
// every way, compared with what went in, then damaged in ways whose outcome
// the wire format fixes (truncation, flipped checksummed bytes, padding).
#include <optional>

#include "value_model.hpp"
#include "vakra/segments.hpp"
#include "vakra/walk.hpp"

namespace vakra::fuzz {
namespace {

Result<Decoded> decode_checked(ByteView packet, CompressedBodies mode) {
  auto decoded = decode(packet, mode);
  if (decoded.ok()) walk_decoded(*decoded, packet);
  return decoded;
}

// One nested plan, written whole or as segments, gives the bytes of the
// children written one by one and framed.
void check_plan_agrees(const Value& value, const Packet& packet) {
  const PacketPlan plan = plan_value(value);
  FUZZ_CHECK(write_checked(plan.size(), [&](MutableBytes out) { return write_plan_checked(plan, out); }) == packet);
  const SegmentList list = plan_segments(plan, packet.size() % 128);  // a copy threshold varying with the value
  Packet joined;
  for (const Segment& segment : list.segments()) {
    joined.insert(joined.end(), segment.bytes.begin(), segment.bytes.end());
  }
  FUZZ_CHECK(joined == packet);
}

// The part of a top-level value a checksum covers (dense and quantized: the
// body; strings: the payload), after checking where a dense body starts.
std::optional<ByteView> checksummed_part(const Value& value, const Decoded& viewed, const Packet& packet) {
  if (const auto* dense = std::get_if<DenseValue>(&value.node)) {
    const ByteView body = std::get<DecodedDense>(viewed.value).data;
    auto layout = dense_layout(dense->view(), dense->options.alignment);
    FUZZ_CHECK(layout.ok() && layout->body_offset() % dense->options.alignment == 0);
    FUZZ_CHECK(body.empty() || body.data() == packet.data() + layout->body_offset());
    return dense->options.check_integrity ? std::optional(body) : std::nullopt;
  }
  if (const auto* q = std::get_if<QuantizedValue>(&value.node); q && q->options.check_integrity) {
    return std::get<DecodedQuantized>(viewed.value).data;
  }
  if (const auto* s = std::get_if<StringValue>(&value.node); s && s->check_integrity) {
    return std::get<DecodedString>(viewed.value).payload;
  }
  return std::nullopt;
}

}  // namespace

void check_roundtrip(ByteView input) {
  FuzzInput in(input);
  const Value value = build_value(in, 3);
  const Packet packet = encode_value(value);
  check_plan_agrees(value, packet);

  // The walker measures the encoder's length exactly and finds every proper prefix incomplete.
  const auto extent = probe_packet(packet);
  const auto tree = walk_packet(packet);
  FUZZ_CHECK(extent.ok() && extent->complete && extent->length == packet.size());
  FUZZ_CHECK(tree.ok() && tree->length == packet.size());
  for (size_t length : {size_t{0}, packet.size() - 1, in.u32() % packet.size()}) expect_incomplete(packet, length);

  auto refused = decode_checked(packet, CompressedBodies::Refuse);
  const bool compressed = contains_compressed(value);
  FUZZ_CHECK(compressed ? !refused.ok() && is_refusal(refused.error()) : refused.ok());
  if (refused.ok()) expect_matches(value, *refused);
  auto viewed = decode_checked(packet, CompressedBodies::View);
  FUZZ_CHECK(viewed.ok());
  expect_matches(value, *viewed);
  auto owned = decode_owned(packet);
  FUZZ_CHECK(owned.ok());
  expect_matches(value, owned->value);
  const std::optional<ByteView> checksummed = checksummed_part(value, *viewed, packet);

  // Every proper prefix lacks a field the packet needs; a top-level
  // compressed body is the exception, its frame running to the end of the input.
  const auto* dense = std::get_if<DenseValue>(&value.node);
  for (size_t length : {packet.size() - 1, size_t{in.u32() % packet.size()}}) {
    if (dense != nullptr && dense->options.compress) break;
    const ByteView cut = ByteView(packet).first(length);
    auto cut_refused = decode_checked(cut, CompressedBodies::Refuse);
    FUZZ_CHECK(compressed ? !cut_refused.ok() : failed_with(cut_refused, ErrorKind::PacketTooShort));
    FUZZ_CHECK(failed_with(decode_checked(cut, CompressedBodies::View), ErrorKind::PacketTooShort));
  }

  // A flipped byte of the stored checksum (the last field) or of the part it
  // covers fails the check in both modes.
  const uint8_t mask = static_cast<uint8_t>(in.byte() | 1);
  if (checksummed) {
    const size_t start = static_cast<size_t>(checksummed->data() - packet.data());
    for (size_t at : {packet.size() - 1, checksummed->empty() ? packet.size() - 1 : start + in.u32() % checksummed->size()}) {
      Packet damaged = packet;
      damaged[at] ^= mask;
      FUZZ_CHECK(failed_with(decode_checked(damaged, CompressedBodies::Refuse), ErrorKind::IntegrityMismatch));
      FUZZ_CHECK(failed_with(decode_checked(damaged, CompressedBodies::View), ErrorKind::IntegrityMismatch));
    }
  }
  // Padding is skipped unread, so changing it changes nothing.
  if (dense != nullptr) {
    auto layout = dense_layout(dense->view(), dense->options.alignment);
    if (layout->padding == 0) return;
    Packet padded = packet;
    padded[layout->prefix_len + in.u32() % layout->padding] ^= mask;
    auto decoded = decode_checked(padded, CompressedBodies::View);
    FUZZ_CHECK(decoded.ok());
    expect_matches(value, *decoded);
  }
}

}  // namespace vakra::fuzz
