// check_walk: the header rules written out directly, and the packet walker
// on arbitrary bytes (never a crash, a tree that stays inside the packet, a
// meter fed the bytes step by step answering as a fresh walk does). The
// walker on encoded packets is checked by the round trip harness.
#include <type_traits>
#include <variant>

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

// Every node lies inside its parent, children one after another, parts inside their node.
void check_inside(const WalkedPacket& node, size_t start, size_t end) {
  FUZZ_CHECK(node.offset >= start && node.length <= end - node.offset);
  const size_t node_end = node.offset + node.length;
  auto inside = [&](ByteRange part) { FUZZ_CHECK(part.offset >= node.offset && part.length <= node_end - part.offset); };
  size_t next = node.offset;
  auto child = [&](const WalkedPacket& packet) {
    check_inside(packet, next, node_end);
    next = packet.offset + packet.length;
  };
  std::visit([&](const auto& parts) {
    using Parts = std::decay_t<decltype(parts)>;
    if constexpr (std::is_same_v<Parts, WalkedDense>) {
      inside(parts.body), inside(parts.checksum);
    } else if constexpr (std::is_same_v<Parts, WalkedBundle>) {
      for (const WalkedEntry& entry : parts.entries) inside(entry.key), child(entry.packet);
    } else if constexpr (std::is_same_v<Parts, WalkedSparse>) {
      FUZZ_CHECK(parts.components.size() == 3);
      for (const WalkedPacket& component : parts.components) child(component);
    } else if constexpr (std::is_same_v<Parts, WalkedQuantized>) {
      inside(parts.parameters), inside(parts.codes), inside(parts.checksum);
    } else if constexpr (std::is_same_v<Parts, WalkedInline>) {
      inside(parts.record);
    } else {
      inside(parts.offsets), inside(parts.payload), inside(parts.checksum);
      FUZZ_CHECK(parts.offsets.length == 8 * (parts.count + 1));
    }
  }, node.parts);
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

void check_walk(ByteView input) {
  check_header(input);
  check_arbitrary(input);
}

}  // namespace vakra::fuzz
