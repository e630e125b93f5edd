// check_walk: the header rules written out directly, and the packet walker
// on arbitrary bytes (never a crash, a tree that stays inside the packet, the
// decoder agreeing on where the packet ends). The walker on encoded packets
// is checked by the round trip harness.
#include "fuzz_support.hpp"
#include "vakra/header.hpp"
#include "vakra/walk.hpp"

namespace vakra::fuzz {
namespace {

// parse_header against the wire format's rules, and the element count of
// the dimensions as written: exact, or TooManyElements on any u64 overflow
// along the way (even one a later 0 would cancel) or above MAX_ELEMENTS.
void check_header(ByteView input) {
  const auto header = parse_header(input);
  const bool magic = input.size() >= 4 && std::memcmp(input.data(), kMagic, 4) == 0;
  if (!header.ok()) {
    const CodecError error = header.error();
    const auto decoded = decode(input);
    FUZZ_CHECK(!decoded.ok() && decoded.error() == error);  // every decoder reads the header so
    if (input.size() < kHeaderLenV3) return FUZZ_CHECK(error.kind == ErrorKind::PacketTooShort);
    if (!magic) return FUZZ_CHECK(error.kind == ErrorKind::InvalidMagic);  // magic before version
    if (input[4] == 4) return FUZZ_CHECK(error.kind == ErrorKind::PacketTooShort && input.size() < kHeaderLenV4);
    return FUZZ_CHECK(input[4] != 3 && error.kind == ErrorKind::UnsupportedVersion && error.code == input[4]);
  }
  const PacketHeader& h = *header;
  FUZZ_CHECK(magic && (h.version == 3 || h.version == 4) && h.version == input[4] && h.ndim == input[h.version + 4]);
  const auto dims = read_dimensions(input, h);
  const auto shape = read_shape(input, h.header_len, h.ndim);
  if (!dims.ok()) return FUZZ_CHECK(failed_with(shape, h.ndim > MAX_NDIM ? ErrorKind::TooManyDimensions : ErrorKind::PacketTooShort));
  FUZZ_CHECK(h.ndim > MAX_NDIM ? failed_with(shape, ErrorKind::TooManyDimensions) : shape.ok() && *shape == *dims);
  uint64_t total = 1;
  bool overflow = false;
  for (uint32_t dim : *dims) overflow |= __builtin_mul_overflow(total, uint64_t{dim}, &total);
  const auto count = element_count(*dims);
  FUZZ_CHECK(overflow || total > MAX_ELEMENTS ? failed_with(count, ErrorKind::TooManyElements) : count.ok() && *count == total);
}

// Every node lies inside its parent, children one after another, bodies inside their node.
bool has_compressed(const WalkedPacket& node, size_t start, size_t end) {
  FUZZ_CHECK(node.offset >= start && node.length <= end - node.offset);
  const size_t node_end = node.offset + node.length;
  FUZZ_CHECK(node.body_length == 0 || (node.body_offset >= node.offset && node.body_length <= node_end - node.body_offset));
  bool compressed = node.compressed;
  size_t next = node.offset;
  for (const WalkedEntry& child : node.children) {
    compressed |= has_compressed(child.packet, next, node_end);
    next = child.packet.offset + child.packet.length;
  }
  return compressed;
}

void check_arbitrary(ByteView input) {
  const auto extent = probe_packet(input);
  const auto tree = walk_packet(input);
  const auto whole = decode(input, CompressedBodies::Refuse);
  // Whatever decodes without a compressed body has a complete extent.
  FUZZ_CHECK(!whole.ok() || (extent.ok() && extent->complete));
  if (!extent.ok()) return FUZZ_CHECK(!tree.ok() && tree.error() == extent.error());
  if (!extent->complete) return FUZZ_CHECK(extent->length >= 1 && failed_with(tree, ErrorKind::PacketTooShort));
  const size_t length = extent->length;
  FUZZ_CHECK(length <= input.size() && tree.ok() && tree->length == length);
  expect_incomplete(input, length - 1);
  // Without compressed bodies the decoder reads nothing past the walker's
  // end: the packet alone decodes exactly as the whole input does.
  if (has_compressed(*tree, 0, length)) return;
  const auto exact = decode(input.first(length), CompressedBodies::Refuse);
  FUZZ_CHECK(whole.ok() == exact.ok());
  FUZZ_CHECK(whole.ok() ? same_tree(*whole, *exact, input) : whole.error() == exact.error());
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

void check_walk(ByteView input) {
  check_header(input);
  check_arbitrary(input);
}

}  // namespace vakra::fuzz
