// The packet walker: the recursion over nested packets, dispatching each to
// its kind's reader; the meter and probe built on it.
#include "vakra/walk.hpp"

#include <algorithm>

#include "packet_kinds_internal.hpp"

namespace vakra {
namespace {

struct Walk {
  WalkMode mode;
  WalkStop* resume;  // the outer packet's loop, when measuring with a PacketMeter
};

Status walk_packet_at(ReadCursor& cursor, size_t depth, const Walk& walk, WalkedPacket& out);

// The outer loop of a container (entries or components) starts where a
// previous walk stopped, and records every step it completes.
size_t resumed_step(ReadCursor& cursor, const Walk& walk) {
  if (walk.resume == nullptr || walk.resume->position == 0) return 0;
  cursor.seek(walk.resume->position);
  return walk.resume->steps;
}
void record_step(const ReadCursor& cursor, const Walk& walk, size_t step) {
  if (walk.resume != nullptr) *walk.resume = {cursor.position(), step};
}

// A nested packet: exactly the bytes its length prefix names, never a prefix.
Status walk_nested(const ReadCursor& parent, ByteRange slot, size_t depth, const Walk& walk, WalkedPacket& out) {
  ReadCursor cursor = parent.inside(slot);
  return walk_packet_at(cursor, depth + 1, {walk.mode, nullptr}, out);
}

Status walk_bundle(ReadCursor& cursor, const PacketHeader& header, size_t depth, const Walk& walk,
                   WalkedBundle& out) {
  out.entries.reserve(header.ndim);
  for (size_t i = resumed_step(cursor, walk); i < header.ndim; ++i) {
    VAKRA_ASSIGN_OR_RETURN(const BundleEntrySlot slot, read_bundle_entry(cursor, i + 1 < header.ndim, walk.mode));
    WalkedEntry& entry = out.entries.emplace_back();
    entry.key = slot.key;
    VAKRA_TRY(walk_nested(cursor, slot.packet, depth, walk, entry.packet));
    record_step(cursor, walk, i + 1);
  }
  return {};
}

Status walk_sparse(ReadCursor& cursor, const PacketHeader& header, size_t depth, const Walk& walk,
                   WalkedSparse& out) {
  out.format = sparse_format(header);
  VAKRA_ASSIGN_OR_RETURN(out.shape, cursor.shape(header.ndim));
  constexpr size_t kComponents = 3;
  out.components.reserve(kComponents);
  for (size_t i = resumed_step(cursor, walk); i < kComponents; ++i) {
    ByteRange slot;
    VAKRA_TRY(read_sparse_component(cursor, i + 1 < kComponents, walk.mode, slot));
    VAKRA_TRY(walk_nested(cursor, slot, depth, walk, out.components.emplace_back()));
    record_step(cursor, walk, i + 1);
  }
  return {};
}

// Walks the packet at the start of the cursor's window; the cursor ends at its end.
Status walk_packet_at(ReadCursor& cursor, size_t depth, const Walk& walk, WalkedPacket& out) {
  VAKRA_RETURN_IF(depth > MAX_NESTING_DEPTH, make_error(ErrorKind::Malformed));
  VAKRA_TRY(cursor.header(out.header));
  const PacketHeader& header = out.header;
  Status walked;
  switch (packet_kind(header)) {
    case PacketKind::Dense:
      walked = read_dense(cursor, header, walk.mode, walk.resume, out.parts.emplace<WalkedDense>());
      break;
    case PacketKind::Bundle: walked = walk_bundle(cursor, header, depth, walk, out.parts.emplace<WalkedBundle>()); break;
    case PacketKind::Sparse: walked = walk_sparse(cursor, header, depth, walk, out.parts.emplace<WalkedSparse>()); break;
    case PacketKind::Quantized: walked = read_quantized(cursor, header, out.parts.emplace<WalkedQuantized>()); break;
    case PacketKind::String: walked = read_offsets(cursor, header, out.parts.emplace<WalkedString>()); break;
    case PacketKind::Ragged: walked = read_offsets(cursor, header, out.parts.emplace<WalkedRagged>()); break;
    case PacketKind::Inline: walked = read_inline(cursor, header, out.parts.emplace<WalkedInline>()); break;
  }
  VAKRA_TRY(walked);
  out.offset = cursor.begin();
  out.length = cursor.position() - cursor.begin();
  return {};
}

// Measures (or, with `tree`, walks) the packet at the start of `bytes`.
Result<PacketExtent> measure_prefix(const ByteSource& source, WalkStop* resume, WalkedPacket* tree) {
  size_t wanted = 0;
  WalkedPacket scratch;
  ReadCursor cursor(source, {0, source.size()}, &wanted);
  const Status walked = walk_packet_at(cursor, 0, {WalkMode::Measure, resume}, tree != nullptr ? *tree : scratch);
  if (walked.ok()) return PacketExtent{true, cursor.position()};
  // Only a read past the end of a prefix records `wanted`; a nested packet
  // cut short inside its own length prefix is a broken packet.
  if (walked.error().kind == ErrorKind::PacketTooShort && wanted > source.size()) {
    return PacketExtent{false, wanted - source.size()};
  }
  return walked.error();
}

}  // namespace

std::span<const uint32_t> WalkedPacket::shape() const {
  return std::visit(
      [](const auto& kind) -> std::span<const uint32_t> {
        if constexpr (requires { kind.shape; }) return kind.shape;
        return {};
      },
      parts);
}

ByteRange WalkedPacket::body() const {
  switch (kind()) {
    case PacketKind::Dense: return std::get<WalkedDense>(parts).body;
    case PacketKind::Quantized: return std::get<WalkedQuantized>(parts).codes;
    case PacketKind::String:
    case PacketKind::Ragged: {
      const auto& offsets = kind() == PacketKind::String ? static_cast<const WalkedOffsets&>(std::get<WalkedString>(parts))
                                                         : std::get<WalkedRagged>(parts);
      return {offsets.offsets.offset, offsets.payload.end() - offsets.offsets.offset};
    }
    case PacketKind::Inline: return std::get<WalkedInline>(parts).record;
    case PacketKind::Bundle:
    case PacketKind::Sparse: break;
  }
  return {};
}

SparseFormat sparse_format(const PacketHeader& header) {
  if (header.flags & FLAG_SPARSE_COO) return SparseFormat::coo;
  return (header.flags & FLAG_SPARSE_CSR) ? SparseFormat::csr : SparseFormat::csc;
}

Status walk_window(const ByteSource& source, ByteRange window, WalkMode mode, size_t depth, size_t* wanted,
                   WalkStop* resume, WalkedPacket& out) {
  ReadCursor cursor(source, window, wanted);
  return walk_packet_at(cursor, depth, {mode, resume}, out);
}

size_t prefix_length(const ByteSource& source) {
  uint8_t head[kHeaderLenV4];
  const size_t present = std::min(source.size(), sizeof head);
  source.copy(0, present, head);
  const Result<PacketHeader> header = parse_header({head, present});
  if (!header.ok() || packet_kind(*header) != PacketKind::Dense || !(header->flags & FLAG_COMPRESSED)) {
    return source.size();
  }
  const Result<PacketExtent> extent = measure_prefix(source, nullptr, nullptr);
  return extent.ok() && extent->complete ? extent->length : source.size();
}

Result<PacketExtent> PacketMeter::measure(ByteView bytes) { return measure_prefix(ByteSource(bytes), &stop_, nullptr); }

Result<PacketExtent> probe_packet(ByteView bytes) { return measure_prefix(ByteSource(bytes), nullptr, nullptr); }

ByteView packet_prefix(ByteView bytes) { return bytes.first(prefix_length(ByteSource(bytes))); }

Result<WalkedPacket> walk_packet(ByteView bytes) {
  WalkedPacket root;
  VAKRA_ASSIGN_OR_RETURN(const PacketExtent extent, measure_prefix(ByteSource(bytes), nullptr, &root));
  VAKRA_RETURN_IF(!extent.complete, make_error(ErrorKind::PacketTooShort));
  return root;
}

Result<std::vector<uint32_t>> read_dimensions(ByteView bytes, const PacketHeader& header) {
  const ByteSource source(bytes);
  ReadCursor cursor(source, {0, bytes.size()});
  cursor.seek(header.header_len);
  return cursor.shape(header.ndim, false);
}

}  // namespace vakra
