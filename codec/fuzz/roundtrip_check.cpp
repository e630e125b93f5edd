// check_roundtrip: a value built from the input is encoded, decoded every
// way, compared with what went in, then damaged in ways whose outcome the
// wire format fixes (truncation, flipped checksummed bytes, padding).
#include <cstring>

#include "fuzz_check.hpp"
#include "harnesses.hpp"
#include "refusals.hpp"
#include "tree_walk.hpp"
#include "vakra/segments.hpp"
#include "value_codec.hpp"

namespace vakra::fuzz {
namespace {

bool is_refusal(const CodecError& error) {
  return error.kind == ErrorKind::Other && error.text != nullptr &&
         std::strcmp(error.text, kCompressedNeedsOwningPath) == 0;
}

Result<Decoded> decode_checked(ByteView packet, CompressedBodies mode) {
  auto decoded = decode(packet, mode);
  if (decoded.ok()) walk_decoded(*decoded, packet);
  return decoded;
}

const DenseValue* top_dense(const Value& value) { return std::get_if<DenseValue>(&value.node); }
bool top_compressed(const Value& value) { return top_dense(value) != nullptr && top_dense(value)->options.compress; }

// One nested plan, written whole or as segments, gives the bytes of the
// children written one by one and framed.
void check_plan_agrees(const Value& value, const Packet& packet) {
  const PacketPlan plan = plan_value(value);
  FUZZ_CHECK(plan.size() == packet.size());
  const Packet planned = write_checked(plan.size(), true, [&](MutableBytes out) { return write_plan_checked(plan, out); });
  FUZZ_CHECK(planned == packet);
  // A copy threshold that varies with the value, without taking input bytes.
  const SegmentList list = plan_segments(plan, packet.size() % 128);
  Packet joined;
  for (const Segment& segment : list.segments()) joined.insert(joined.end(), segment.bytes.begin(), segment.bytes.end());
  FUZZ_CHECK(joined == packet);
}

// Where the body starts inside a top-level packet, from the value's own rules.
void check_body_position(const Value& value, const Decoded& viewed, const Packet& packet) {
  const auto offset = [&](ByteView view) { return static_cast<size_t>(view.data() - packet.data()); };
  if (const auto* dense = top_dense(value)) {
    auto layout = dense_layout(dense->view(), dense->options.alignment);
    FUZZ_CHECK(layout.ok());
    const ByteView body = std::get<DecodedDense>(viewed.value).data;
    if (!body.empty()) FUZZ_CHECK(offset(body) == layout->body_offset());
    FUZZ_CHECK(layout->body_offset() % dense->options.alignment == 0);
  } else if (const auto* q = std::get_if<QuantizedValue>(&value.node)) {
    const ByteView body = std::get<DecodedQuantized>(viewed.value).data;
    if (!body.empty()) FUZZ_CHECK(offset(body) % q->options.alignment == 0);
  } else if (std::holds_alternative<StringValue>(value.node)) {
    FUZZ_CHECK(offset(std::get<DecodedString>(viewed.value).offsets) == 64);
  }
}

void check_owning_reader(const Value& value, const Packet& packet) {
  auto owned = decode_dense_to_owned(packet);
  if (const auto* dense = top_dense(value)) {
    FUZZ_CHECK(owned.ok() && owned->dtype == dense->dtype && owned->shape == dense->shape);
    FUZZ_CHECK(owned->data.size() == dense->data.size());
    FUZZ_CHECK(dense->data.empty() || std::memcmp(owned->data.data(), dense->data.data(), dense->data.size()) == 0);
  } else if (contains_compressed(value)) {
    // Refused inside a container, then read as a dense packet: the
    // container's dtype byte is 0.
    FUZZ_CHECK(failed_with(owned, ErrorKind::UnknownDtype) && owned.error().code == 0);
  } else {
    FUZZ_CHECK(failed_with(owned, ErrorKind::Malformed));
  }
}

void check_reads_back(const Value& value, const Packet& packet) {
  auto refused = decode_checked(packet, CompressedBodies::Refuse);
  if (contains_compressed(value)) {
    FUZZ_CHECK(!refused.ok() && is_refusal(refused.error()));
  } else {
    FUZZ_CHECK(refused.ok());
    expect_matches(value, *refused);
  }
  auto viewed = decode_checked(packet, CompressedBodies::View);
  FUZZ_CHECK(viewed.ok());
  expect_matches(value, *viewed);
  check_body_position(value, *viewed, packet);
  check_owning_reader(value, packet);

  // Bytes after a packet are ignored, except after a compressed body, whose
  // frame runs to the end of the input.
  if (!top_compressed(value)) {
    Packet extended = packet;
    extended.insert(extended.end(), {0x56, 0x4b, 0x52, 0x41, 4, 0xff, 0xff});
    auto decoded = decode_checked(extended, CompressedBodies::View);
    FUZZ_CHECK(decoded.ok());
    expect_matches(value, *decoded);
  }
}

// Every proper prefix of a packet lacks a field the packet needs.
void check_truncated(const Value& value, const Packet& packet, size_t length) {
  if (top_compressed(value)) return;  // the frame end is not known from the header
  const ByteView cut = ByteView(packet).first(length);
  auto refused = decode_checked(cut, CompressedBodies::Refuse);
  FUZZ_CHECK(!refused.ok());
  if (!contains_compressed(value)) FUZZ_CHECK(refused.error().kind == ErrorKind::PacketTooShort);
  FUZZ_CHECK(failed_with(decode_checked(cut, CompressedBodies::View), ErrorKind::PacketTooShort));
}

// The checksummed body of a top-level value, if it has a checksum.
std::optional<ByteView> checksummed_body(const Value& value, const Decoded& viewed) {
  if (const auto* dense = top_dense(value); dense && dense->options.check_integrity) {
    return std::get<DecodedDense>(viewed.value).data;
  }
  if (const auto* s = std::get_if<StringValue>(&value.node); s && s->check_integrity) {
    return std::get<DecodedString>(viewed.value).payload;
  }
  if (const auto* q = std::get_if<QuantizedValue>(&value.node); q && q->options.check_integrity) {
    return std::get<DecodedQuantized>(viewed.value).data;
  }
  return std::nullopt;
}

void expect_integrity_failure(Packet damaged) {
  FUZZ_CHECK(failed_with(decode_checked(damaged, CompressedBodies::Refuse), ErrorKind::IntegrityMismatch));
  FUZZ_CHECK(failed_with(decode_checked(damaged, CompressedBodies::View), ErrorKind::IntegrityMismatch));
}

void check_flipped_bytes(const Value& value, const Packet& packet, FuzzInput& in) {
  auto viewed = decode(packet, CompressedBodies::View);
  FUZZ_CHECK(viewed.ok());
  const uint8_t mask = static_cast<uint8_t>(in.byte() | 1);
  if (auto body = checksummed_body(value, *viewed)) {
    Packet damaged = packet;
    damaged.back() ^= mask;  // the stored checksum is the last field
    expect_integrity_failure(damaged);
    if (!body->empty()) {
      damaged = packet;
      damaged[static_cast<size_t>(body->data() - packet.data()) + in.u32() % body->size()] ^= mask;
      expect_integrity_failure(damaged);
    }
  }
  // Padding is skipped unread, so changing it changes nothing.
  if (const auto* dense = top_dense(value)) {
    auto layout = dense_layout(dense->view(), dense->options.alignment);
    FUZZ_CHECK(layout.ok());
    if (layout->padding > 0) {
      Packet padded = packet;
      padded[layout->prefix_len + in.u32() % layout->padding] ^= mask;
      auto decoded = decode_checked(padded, CompressedBodies::View);
      FUZZ_CHECK(decoded.ok());
      expect_matches(value, *decoded);
    }
  }
}

// A chain of bundles decodes down to depth 64 and is refused below it.
void check_nesting_limit(FuzzInput& in) {
  const size_t levels = 60 + in.below(8);
  const Packet packet = encode_value(nested_bundles(levels));
  auto decoded = decode_checked(packet, CompressedBodies::Refuse);
  if (levels <= MAX_NESTING_DEPTH) {
    FUZZ_CHECK(decoded.ok());
  } else {
    FUZZ_CHECK(failed_with(decoded, ErrorKind::Malformed));
  }
}

}  // namespace

void check_roundtrip(ByteView input) {
  FuzzInput in(input);
  switch (in.byte() % 16) {
    case 14: check_nesting_limit(in); return;
    case 15: check_refusals(in); return;
    default: break;
  }
  const Value value = build_value(in, 3);
  const Packet packet = encode_value(value);
  check_plan_agrees(value, packet);
  check_reads_back(value, packet);
  check_truncated(value, packet, packet.size() - 1);
  check_truncated(value, packet, in.u32() % packet.size());
  check_flipped_bytes(value, packet, in);
}

}  // namespace vakra::fuzz
