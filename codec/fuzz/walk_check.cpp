// check_walk: the packet walker on arbitrary bytes (never a crash, a tree
// that stays inside the packet, a meter fed the bytes step by step answering
// as a fresh walk does). The walker on encoded packets is checked by the
// round trip harness; the decoder walks as it does, by construction.
#include <variant>

#include "fuzz_support.hpp"
#include "vakra/walk.hpp"

namespace vakra::fuzz {
namespace {

// Every node lies inside its parent, children one after another, bodies inside their node.
void check_inside(const WalkedPacket& node, size_t start, size_t end) {
  FUZZ_CHECK(node.offset >= start && node.length <= end - node.offset);
  const size_t node_end = node.offset + node.length;
  const ByteRange body = node.body();
  FUZZ_CHECK(body.length == 0 || (body.offset >= node.offset && body.length <= node_end - body.offset));
  size_t next = node.offset;
  auto child = [&](const WalkedPacket& packet) {
    check_inside(packet, next, node_end);
    next = packet.offset + packet.length;
  };
  if (const auto* bundle = std::get_if<WalkedBundle>(&node.parts)) {
    for (const WalkedEntry& entry : bundle->entries) child(entry.packet);
  } else if (const auto* sparse = std::get_if<WalkedSparse>(&node.parts)) {
    for (const WalkedPacket& component : sparse->components) child(component);
  }
}

// A stream reader's steps: each time the bytes so far are measured by one
// meter and it is given exactly what it asks for. Its answers are
// probe_packet's for the same bytes (compared on the first steps, on exact
// copies so that a read past them is seen).
void check_meter(ByteView input, const Result<PacketExtent>& whole) {
  PacketMeter meter;
  size_t have = 0;
  for (int step = 0;; ++step) {
    const bool compared = step < 64;
    const std::vector<uint8_t> copy(input.begin(), input.begin() + (compared ? have : 0));
    const ByteView prefix = compared ? ByteView(copy) : input.first(have);
    const auto measured = meter.measure(prefix);
    if (compared) {
      const auto probed = probe_packet(prefix);
      FUZZ_CHECK(probed.ok() == measured.ok());
      FUZZ_CHECK(probed.ok() ? probed->complete == measured->complete && probed->length == measured->length
                             : probed.error() == measured.error());
    }
    if (!measured.ok() || measured->complete || measured->length > input.size() - have) {
      // The stream ends or the packet is measured: as the whole input says.
      if (!measured.ok()) return FUZZ_CHECK(!whole.ok() && whole.error() == measured.error());
      if (measured->complete) return FUZZ_CHECK(whole.ok() && whole->complete && whole->length == measured->length);
      return FUZZ_CHECK(!whole.ok() || !whole->complete);  // an error may show before the bytes asked for
    }
    have += measured->length;
  }
}

void check_arbitrary(ByteView input) {
  const auto extent = probe_packet(input);
  const auto tree = walk_packet(input);
  check_meter(input, extent);
  if (!extent.ok()) return FUZZ_CHECK(!tree.ok() && tree.error() == extent.error());
  if (!extent->complete) return FUZZ_CHECK(extent->length >= 1 && failed_with(tree, ErrorKind::PacketTooShort));
  const size_t length = extent->length;
  FUZZ_CHECK(length <= input.size() && tree.ok() && tree->length == length);
  check_inside(*tree, 0, length);
  expect_incomplete(input, length - 1);
}

}  // namespace

// The first `length` bytes as an exactly sized heap copy, so AddressSanitizer
// sees any read past them.
void expect_incomplete(ByteView packet, size_t length) {
  const std::vector<uint8_t> copy(packet.begin(), packet.begin() + length);
  const auto extent = probe_packet(copy);
  FUZZ_CHECK(extent.ok() && !extent->complete);
  FUZZ_CHECK(extent->length >= 1 && extent->length <= packet.size() - length);
}

void check_walk(ByteView input) { check_arbitrary(input); }

}  // namespace vakra::fuzz
