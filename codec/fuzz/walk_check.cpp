// check_walk: the packet walker on arbitrary bytes (never a crash, a tree
// that stays inside the packet, the decoder agreeing on where the packet
// ends) and on packets encoded from a value built out of the input (the
// encoder's length exactly, and every prefix incomplete).
#include <cstring>
#include <memory>

#include "fuzz_check.hpp"
#include "harnesses.hpp"
#include "tree_walk.hpp"
#include "value_codec.hpp"
#include "vakra/walk.hpp"

namespace vakra::fuzz {
namespace {

// Every node lies inside its parent, children one after another, bodies inside their node.
bool has_compressed(const WalkedPacket& node, size_t start, size_t end) {
  FUZZ_CHECK(node.offset >= start && node.length <= end - node.offset);
  const size_t node_end = node.offset + node.length;
  if (node.body_length != 0) {
    FUZZ_CHECK(node.body_offset >= node.offset && node.body_length <= node_end - node.body_offset);
  }
  bool compressed = node.compressed;
  size_t next = node.offset;
  for (const WalkedEntry& child : node.children) {
    compressed |= has_compressed(child.packet, next, node_end);
    next = child.packet.offset + child.packet.length;
  }
  return compressed;
}

// The first `length` bytes as an exactly sized heap copy, so AddressSanitizer
// sees any read past them.
void expect_incomplete(ByteView packet, size_t length) {
  const auto copy = std::make_unique<uint8_t[]>(length);
  if (length != 0) std::memcpy(copy.get(), packet.data(), length);
  const auto extent = probe_packet({copy.get(), length});
  FUZZ_CHECK(extent.ok() && !extent->complete);
  FUZZ_CHECK(extent->length >= 1 && extent->length <= packet.size() - length);
}

void check_arbitrary(ByteView input) {
  const auto extent = probe_packet(input);
  const auto tree = walk_packet(input);
  if (!extent.ok()) {
    FUZZ_CHECK(!tree.ok() && tree.error() == extent.error());
    return;
  }
  if (!extent->complete) {
    FUZZ_CHECK(extent->length >= 1 && failed_with(tree, ErrorKind::PacketTooShort));
    return;
  }
  const size_t length = extent->length;
  FUZZ_CHECK(length <= input.size() && tree.ok() && tree->length == length);
  const bool compressed = has_compressed(*tree, 0, length);
  expect_incomplete(input, length - 1);

  // Without compressed bodies the decoder reads nothing past the walker's
  // end: the packet alone decodes exactly as the whole input does.
  const auto whole = decode(input, CompressedBodies::Refuse);
  if (!compressed) {
    const auto exact = decode(input.first(length), CompressedBodies::Refuse);
    FUZZ_CHECK(whole.ok() == exact.ok());
    FUZZ_CHECK(whole.ok() ? same_tree(*whole, *exact) : whole.error() == exact.error());
  }
}

void check_encoded(ByteView input) {
  FuzzInput in(input);
  const Packet packet = encode_value(build_value(in, 3));
  const auto extent = probe_packet(packet);
  FUZZ_CHECK(extent.ok() && extent->complete && extent->length == packet.size());
  const auto tree = walk_packet(packet);
  FUZZ_CHECK(tree.ok() && tree->length == packet.size());
  has_compressed(*tree, 0, packet.size());
  for (size_t length : {size_t{0}, packet.size() - 1, in.u32() % packet.size(), in.u32() % packet.size()}) {
    expect_incomplete(packet, length);
  }
}

}  // namespace

void check_walk(ByteView input) {
  check_arbitrary(input);
  // Whatever decodes without a compressed body has a complete extent.
  if (decode(input, CompressedBodies::Refuse).ok()) FUZZ_CHECK(probe_packet(input).ok() && probe_packet(input)->complete);
  check_encoded(input);
}

}  // namespace vakra::fuzz
