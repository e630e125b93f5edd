// Each packet kind's reader, checks and views, in the kind's own file. The
// walker's recursion (walk_internal.hpp) calls the readers, which return
// where the kind's parts lie; the decoder (decode.cpp) runs the checks on
// each packet's parts once walked, then turns them into views. A new kind
// adds its functions here, its parts to walk.hpp and its value to decode.hpp,
// and a case to the recursion's dispatch.
#pragma once

#include <cstddef>

#include "read_cursor_internal.hpp"
#include "vakra/decode.hpp"
#include "vakra/walk.hpp"

namespace vakra {

// How a walk reads. Measure (the walker, also on the prefix of a stream): a
// container asks for the next length prefix before it walks a nested packet,
// and a compressed body is measured by its LZ4 frame. Decode (the decoder): a
// nested packet is read before what follows it, and a compressed body runs to
// the end of its packet's bytes, less the checksum, as the wire format says.
enum class WalkMode : uint8_t { Measure, Decode };

// The checksum that FLAG_INTEGRITY puts after a body: 8 bytes, or none.
constexpr size_t checksum_length(const PacketHeader& header) {
  return (header.flags & FLAG_INTEGRITY) ? kChecksumLength : 0;
}

// dense_packet.cpp. `resume` (the outer packet of a PacketMeter) carries the
// LZ4 frame's walk over from one call to the next.
Status read_dense(ReadCursor& cursor, const PacketHeader& header, WalkMode mode, WalkStop* resume, WalkedDense& out);
Status verify_dense(const WalkedDense& dense, const ByteSource& bytes);
// The views of the parts, into `out` (filled in place: a decoded value built
// and then copied costs a small packet more than its decoding).
void dense_value(WalkedDense&& dense, const ByteSource& bytes, DecodedDense& out);

// bundle_packet.cpp: one entry's framing (key and packet), read in turn, each
// entry's packet walked before the next is read. `more`: another entry follows.
struct BundleEntrySlot {
  ByteRange key;
  ByteRange packet;
};
Result<BundleEntrySlot> read_bundle_entry(ReadCursor& cursor, bool more, WalkMode mode);

// sparse_packet.cpp: one component's framing; `more`: another follows.
Status read_sparse_component(ReadCursor& cursor, bool more, WalkMode mode, ByteRange& slot);
// sparse_structure.cpp: the structure of csr and csc index arrays.
Status verify_sparse(const WalkedSparse& sparse, const ByteSource& bytes);

// quantized_packet.cpp
Status read_quantized(ReadCursor& cursor, const PacketHeader& header, WalkedQuantized& out);
Status verify_quantized(const WalkedQuantized& quantized, const ByteSource& bytes);
void quantized_value(WalkedQuantized&& quantized, const ByteSource& bytes, DecodedQuantized& out);

// string_packet.cpp: string and ragged packets.
Status read_offsets(ReadCursor& cursor, const PacketHeader& header, WalkedOffsets& out);
// The offset table's order and the checksum.
Status verify_offsets(const WalkedOffsets& offsets, const ByteSource& bytes);
void offsets_value(WalkedOffsets&& offsets, const ByteSource& bytes, DecodedOffsets& out);

// inline_packet.cpp
Status read_inline(ReadCursor& cursor, const PacketHeader& header, WalkedInline& out);
void inline_value(const WalkedInline& record, const ByteSource& bytes, DecodedInline& out);

// walk.cpp: how much of `source` a decoder reads, as packet_prefix() says.
size_t prefix_length(const ByteSource& source);

// decode.cpp: walk, verify, view, for the packet filling `window`.
Result<Decoded> decode_window(const ByteSource& source, ByteRange window, size_t depth, CompressedBodies compressed);

}  // namespace vakra
