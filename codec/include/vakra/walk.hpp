// The packet walker: the layout of any packet (kind, dtype, shape, flags,
// where each of its parts lies, nested packets and the packet's exact
// length) read without touching a body. Each kind's layout is read by one
// reader in the kind's own file; the decoder walks the same way and then
// checks and views the parts (decode.hpp). Compressed bodies are measured by
// walking the LZ4 frame's block headers to its end mark, so the cost is one
// step per nested packet and per LZ4 block, whatever the size of the bodies.
//
// The walker checks what it reads (bounds, dimension and element limits,
// dtype codes, UTF-8 keys, LZ4 frame headers, the number of LZ4 blocks) but
// never a checksum, a string offset table, a sparse matrix's index arrays or
// a compressed block's contents: a packet it accepts may still fail to decode.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
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
// code (is_quantized), else dense.
PacketKind packet_kind(const PacketHeader& header);

// The kind's name, as vakra.info and the command line show it: "dense",
// "bundle", "sparse", "quantized", "string", "ragged" or "inline".
std::string_view packet_kind_name(PacketKind kind);

// The sparse format of a header whose kind is Sparse.
SparseFormat sparse_format(const PacketHeader& header);

// The format's name ("coo", "csr" or "csc") and its components' roles in
// wire order (COO: data, row, col; CSR and CSC: data, indices, indptr).
std::string_view sparse_format_name(SparseFormat format);
std::array<std::string_view, 3> sparse_component_roles(SparseFormat format);

struct WalkedPacket;
struct WalkedEntry;

// The parts of each kind. Every ByteRange counts from the first walked byte;
// a checksum range is empty when the packet carries none.

struct WalkedDense {
  Dtype dtype = Dtype::Float32;
  std::vector<uint32_t> shape;  // as written
  ByteRange body;               // the elements, or the LZ4 frame when compressed
  ByteRange checksum;           // of the body as stored
  bool compressed = false;
};

struct WalkedBundle {
  std::vector<WalkedEntry> entries;  // wire order
};

struct WalkedSparse {
  SparseFormat format = SparseFormat::coo;
  std::vector<uint32_t> shape;
  std::vector<WalkedPacket> components;  // 3, wire order: COO (data, row, col); CSR and CSC (data, indices, indptr)
};

struct WalkedQuantized {
  Dtype dtype = Dtype::Qint8;
  std::vector<uint32_t> shape;
  uint8_t quant_scheme = 0;
  uint8_t axis = 0;
  uint32_t group_size = 0;
  uint32_t scale_count = 0;
  ByteRange parameters;  // scheme, axis, group size, entry count and both tables: the checksum's first range
  ByteRange scales;
  ByteRange zero_points;
  ByteRange codes;
  ByteRange checksum;    // of the parameters and then the codes
};

// String and ragged packets: item i is payload[offsets[i], offsets[i + 1]).
struct WalkedOffsets {
  std::vector<uint32_t> shape;  // the item count is shape[0] (0 when empty)
  uint64_t count = 0;
  ByteRange offsets;   // count + 1 u64 LE, not yet checked
  ByteRange payload;   // as long as the last offset says
  ByteRange checksum;  // of the offsets and the payload
};
struct WalkedString : WalkedOffsets {};
struct WalkedRagged : WalkedOffsets {};

struct WalkedInline {
  ByteRange record;  // 96 bytes
};

// One packet of a walked tree: its header facts, extent and parts.
struct WalkedPacket {
  PacketHeader header;
  size_t offset = 0;  // first byte, counted from the first walked byte
  size_t length = 0;  // exact packet length
  // Alternatives in PacketKind order.
  std::variant<WalkedDense, WalkedBundle, WalkedSparse, WalkedQuantized, WalkedString, WalkedRagged, WalkedInline>
      parts;
  PacketKind kind() const { return static_cast<PacketKind>(parts.index()); }
  // The shape as written (a sparse matrix's own); empty for bundles and Inline records.
  std::span<const uint32_t> shape() const;
  // The body as stored: dense elements (the LZ4 frame when compressed), a
  // string table with its payload, quantized codes, the Inline record; empty
  // for bundles and sparse matrices.
  ByteRange body() const;
};

// An entry of a walked bundle.
struct WalkedEntry {
  ByteRange key;  // UTF-8, checked
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

// Where a walk of a packet's outer level stopped for want of bytes: the
// next step of its one loop (bundle entries, sparse components, LZ4 blocks).
struct WalkStop {
  size_t position = 0;  // 0: the walk starts from the beginning
  size_t steps = 0;     // loop steps already done
};

// Measures a packet that arrives in pieces. Each call is given all the bytes
// so far, the bytes of the previous call followed by more (they may have
// moved in memory), and resumes where the previous call stopped, so a packet
// read in many small steps is walked once, not once per step. Answers as
// probe_packet(bytes) does.
class PacketMeter {
 public:
  Result<PacketExtent> measure(ByteView bytes);

 private:
  WalkStop stop_;
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
