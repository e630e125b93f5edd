// The walker's recursion over nested packets, dispatching each packet to its
// kind's reader. Two builders share it: the walker keeps a WalkedPacket tree
// (TreeOut below), the decoder checks each packet's parts and turns them into
// a Decoded tree as it goes (decode.cpp), so both read every layout the same
// way by construction.
//
// A builder `Out` provides:
//   Status leaf<Parts>(read)   read(parts) fills the parts of any kind but a bundle
//   Entries bundle(count)      Entries::add(key) gives the builder of an entry's packet
//   void finish(header, extent)
#pragma once

#include "packet_kinds_internal.hpp"

namespace vakra {

struct Walk {
  WalkMode mode;
  WalkStop* resume;  // the outer packet's loop, when measuring with a PacketMeter
};

// The outer loop of a container (entries, components) starts where a
// previous walk stopped, and records every step it completes.
inline size_t resumed_step(ReadCursor& cursor, const Walk& walk) {
  if (walk.resume == nullptr || walk.resume->position == 0) return 0;
  cursor.seek(walk.resume->position);
  return walk.resume->steps;
}
inline void record_step(const ReadCursor& cursor, const Walk& walk, size_t step) {
  if (walk.resume != nullptr) *walk.resume = {cursor.position(), step};
}

template <class Out>
Status walk_packet_at(ReadCursor& cursor, size_t depth, const Walk& walk, Out& out);

// A nested packet: exactly the bytes its length prefix names, never a prefix.
template <class Out>
Status walk_nested(const ReadCursor& parent, ByteRange slot, size_t depth, const Walk& walk, Out& out) {
  ReadCursor cursor = parent.inside(slot);
  return walk_packet_at(cursor, depth + 1, {walk.mode, nullptr}, out);
}

template <class Out>
Status walk_bundle(ReadCursor& cursor, const PacketHeader& header, size_t depth, const Walk& walk, Out& out) {
  auto entries = out.bundle(header.ndim);
  for (size_t i = resumed_step(cursor, walk); i < header.ndim; ++i) {
    VAKRA_ASSIGN_OR_RETURN(const BundleEntrySlot slot, read_bundle_entry(cursor, i + 1 < header.ndim, walk.mode));
    auto entry = entries.add(cursor.source(), slot.key);
    VAKRA_TRY(walk_nested(cursor, slot.packet, depth, walk, entry));
    record_step(cursor, walk, i + 1);
  }
  return {};
}

// A sparse matrix's shape and components, walked as a tree (walk.cpp): the
// decoder checks the index arrays among the components' parts.
Status walk_sparse(ReadCursor& cursor, const PacketHeader& header, size_t depth, const Walk& walk, WalkedSparse& out);

// Walks the packet at the start of the cursor's window; the cursor ends at its end.
template <class Out>
Status walk_packet_at(ReadCursor& cursor, size_t depth, const Walk& walk, Out& out) {
  VAKRA_RETURN_IF(depth > MAX_NESTING_DEPTH, make_error(ErrorKind::Malformed));
  PacketHeader header;
  VAKRA_TRY(cursor.header(header));
  Status walked;
  switch (packet_kind(header)) {
    case PacketKind::Dense:
      walked = out.template leaf<WalkedDense>(
          [&](WalkedDense& parts) { return read_dense(cursor, header, walk.mode, walk.resume, parts); });
      break;
    case PacketKind::Bundle: walked = walk_bundle(cursor, header, depth, walk, out); break;
    case PacketKind::Sparse:
      walked = out.template leaf<WalkedSparse>(
          [&](WalkedSparse& parts) { return walk_sparse(cursor, header, depth, walk, parts); });
      break;
    case PacketKind::Quantized:
      walked = out.template leaf<WalkedQuantized>([&](WalkedQuantized& parts) { return read_quantized(cursor, header, parts); });
      break;
    case PacketKind::String:
      walked = out.template leaf<WalkedString>([&](WalkedString& parts) { return read_offsets(cursor, header, parts); });
      break;
    case PacketKind::Ragged:
      walked = out.template leaf<WalkedRagged>([&](WalkedRagged& parts) { return read_offsets(cursor, header, parts); });
      break;
    case PacketKind::Inline:
      walked = out.template leaf<WalkedInline>([&](WalkedInline& parts) { return read_inline(cursor, header, parts); });
      break;
  }
  VAKRA_TRY(walked);
  out.finish(header, ByteRange{cursor.begin(), cursor.position() - cursor.begin()});
  return {};
}

// The walker's builder: the WalkedPacket tree.
struct TreeOut {
  WalkedPacket& packet;

  template <class Parts, class Read>
  Status leaf(Read&& read) {
    return read(packet.parts.template emplace<Parts>());
  }
  struct Entries {
    std::vector<WalkedEntry>& entries;
    TreeOut add(const ByteSource&, ByteRange key) {
      WalkedEntry& entry = entries.emplace_back();
      entry.key = key;
      return {entry.packet};
    }
  };
  Entries bundle(size_t count) {
    auto& entries = packet.parts.emplace<WalkedBundle>().entries;
    entries.reserve(count);
    return {entries};
  }
  void finish(const PacketHeader& header, ByteRange extent) {
    packet.header = header;
    packet.offset = extent.offset;
    packet.length = extent.length;
  }
};

}  // namespace vakra
