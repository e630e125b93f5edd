// The packet walker: the framing of any packet (kind, dtype, shape, flags,
// where each body lies, nested packets and the packet's exact length) read
// without touching a body. Compressed bodies are measured by walking the LZ4
// frame's block headers to its end mark, so the cost is one step per nested
// packet and per LZ4 block, whatever the size of the bodies.
//
// The walker checks what it reads (bounds, dimension and element limits,
// dtype codes, UTF-8 keys, LZ4 frame headers) but never a checksum, a string
// offset table or a compressed block's contents: a packet it accepts may
// still fail to decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/header.hpp"
#include "vakra/result.hpp"

namespace vakra {

// What a packet holds, in the order of Decoded's alternatives.
enum class PacketKind : uint8_t { Dense, Bundle, Sparse, Quantized, String, Ragged, Inline };

// The kind a header announces; the first match wins: FLAG_INLINE, FLAG_BUNDLE,
// the sparse bits (coo, csr, csc), FLAG_STRING, FLAG_RAGGED, a quantized dtype
// code (16 to 19), else dense.
PacketKind packet_kind(const PacketHeader& header);

// The sparse format of a header whose kind is Sparse.
SparseFormat sparse_format(const PacketHeader& header);

struct WalkedEntry;

// One packet of a walked tree: its header facts and where its parts lie.
struct WalkedPacket {
  PacketKind kind = PacketKind::Dense;
  PacketHeader header;
  std::vector<uint32_t> shape;  // as written; empty for bundles and Inline
  size_t offset = 0;            // first byte, counted from the start of the walked bytes
  size_t length = 0;            // exact packet length
  // The stored body: dense elements (the LZ4 frame when compressed), a
  // string table with its payload, quantized codes, the Inline record.
  // Both 0 for bundles and sparse packets. Offsets count like `offset`.
  size_t body_offset = 0;
  size_t body_length = 0;
  bool compressed = false;
  SparseFormat format = SparseFormat::coo;  // sparse packets
  uint64_t item_count = 0;                  // string and ragged: strings in the table
  uint64_t payload_length = 0;              // string and ragged
  uint8_t quant_scheme = 0;                 // quantized
  uint8_t axis = 0;
  uint32_t group_size = 0;
  uint32_t scale_count = 0;
  std::vector<WalkedEntry> children;  // bundle entries or the three sparse components, wire order
};

// A child of a walked bundle or sparse packet.
struct WalkedEntry {
  ByteView key;  // bundle entries: the UTF-8 key inside the walked bytes; sparse components: empty
  WalkedPacket packet;
};

// How much of a packet a buffer holds.
struct PacketExtent {
  bool complete = false;
  // complete: the packet's exact length (bytes after it are not looked at);
  // otherwise the least number of further bytes needed before the answer can
  // change, always at least 1.
  size_t length = 0;
};

// Measures the packet at bytes[0], which may be only the first part of it.
// Errors are for bytes that cannot start a packet: a wrong magic or version
// shows in the first bytes already.
Result<PacketExtent> probe_packet(ByteView bytes);

// What a decoder should be given for the packet at bytes[0], so that bytes
// after it are ignored whatever its kind: a compressed dense packet, whose
// body the decoder runs to the end of its input, is cut to the measured
// length; everything else (and what the walker refuses, for the decoder's
// own error) is returned whole.
ByteView packet_prefix(ByteView bytes);

// The whole tree of the packet at bytes[0]; PacketTooShort if it is cut short.
Result<WalkedPacket> walk_packet(ByteView bytes);

// The dimensions after the header as written, however many the count byte
// says (no MAX_NDIM limit); PacketTooShort when they do not fit.
Result<std::vector<uint32_t>> read_dimensions(ByteView bytes, const PacketHeader& header);

}  // namespace vakra
