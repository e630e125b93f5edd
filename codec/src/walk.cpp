// The packet walker: one pass over a packet's framing, building the tree
// when asked and only measuring when probing.
#include "vakra/walk.hpp"

#include <algorithm>
#include <cstring>

#include "read_cursor_internal.hpp"
#include "utf8_internal.hpp"

namespace vakra {
namespace {

constexpr uint32_t kLz4FrameMagic = 0x184D2204;
constexpr size_t kLz4ShortestFrame = 11;  // magic, FLG, BD, HC and the end mark
constexpr size_t kInlineRecordLength = 96;

size_t footer_length(const PacketHeader& header) { return (header.flags & FLAG_INTEGRITY) ? kChecksumLength : 0; }

// Moves the cursor over `length` bytes followed by `trailer` bytes that the
// packet must also hold, so a prefix is told how much it lacks in one answer.
Status skip_body(ReadCursor& cursor, size_t length, size_t trailer) {
  const auto total = wire::checked_add(length, trailer);
  VAKRA_RETURN_IF(!total, make_error(ErrorKind::Malformed));
  VAKRA_TRY(cursor.require_ahead(*total));
  cursor.seek(cursor.position() + length);
  return {};
}

// The length of the LZ4 frame at the cursor, read from its header and block
// headers only: FLG and BD fix the optional fields and the largest block; each
// block is a u32 size (high bit: stored uncompressed), optionally followed by
// a block checksum; a zero u32 ends the frame, then the content checksum if
// declared. `trailer` bytes must follow the frame.
Result<size_t> lz4_frame_length(ReadCursor& cursor, size_t trailer) {
  const size_t start = cursor.position();
  VAKRA_TRY(cursor.require_ahead(kLz4ShortestFrame + trailer));
  VAKRA_ASSIGN_OR_RETURN(const uint32_t magic, cursor.u32());
  VAKRA_ASSIGN_OR_RETURN(const uint8_t flg, cursor.u8());
  VAKRA_ASSIGN_OR_RETURN(const uint8_t bd, cursor.u8());
  const unsigned block_size_id = (bd >> 4) & 7;
  const bool valid = magic == kLz4FrameMagic && (flg >> 6) == 1 && (flg & 0x02) == 0 && (bd & 0x8F) == 0 &&
                     block_size_id >= 4;
  VAKRA_RETURN_IF(!valid, make_error(ErrorKind::Malformed));
  const size_t max_block = size_t{1} << (8 + 2 * block_size_id);  // 64 KiB to 4 MiB
  const size_t block_checksum = (flg & 0x10) ? 4 : 0;
  const size_t content_checksum = (flg & 0x04) ? 4 : 0;
  // Content size, dictionary ID, header checksum.
  VAKRA_TRY(cursor.skip(((flg & 0x08) ? 8 : 0) + ((flg & 0x01) ? 4 : 0) + 1));

  const size_t tail = 4 + content_checksum + trailer;  // at least the next block header and what ends the frame
  for (;;) {
    VAKRA_TRY(cursor.require_ahead(tail));
    VAKRA_ASSIGN_OR_RETURN(const uint32_t block_header, cursor.u32());
    if (block_header == 0) break;
    const size_t block_length = block_header & 0x7FFFFFFF;
    VAKRA_RETURN_IF(block_length > max_block, make_error(ErrorKind::Malformed));
    VAKRA_TRY(skip_body(cursor, block_length + block_checksum, tail));
  }
  VAKRA_TRY(cursor.skip(content_checksum));
  return cursor.position() - start;
}

Result<PacketHeader> read_header(ReadCursor& cursor) {
  const ByteView bytes = cursor.bytes();
  if (cursor.reads_prefix()) {
    // A prefix already shows whether it can start a packet.
    const size_t magic_bytes = std::min(bytes.size(), sizeof kMagic);
    VAKRA_RETURN_IF(magic_bytes != 0 && std::memcmp(bytes.data(), kMagic, magic_bytes) != 0,
                    make_error(ErrorKind::InvalidMagic));
    const bool has_version = bytes.size() > 4;
    VAKRA_RETURN_IF(has_version && bytes[4] != 3 && bytes[4] != 4, make_error(ErrorKind::UnsupportedVersion, bytes[4]));
    VAKRA_TRY(cursor.require(has_version && bytes[4] == 4 ? kHeaderLenV4 : kHeaderLenV3));
  }
  return parse_header(bytes);
}

Result<size_t> walk_at(ByteView bytes, size_t base, size_t depth, size_t* wanted, WalkedPacket* out);

// Walks the packet framed by a length prefix at the cursor; `then` bytes must follow it.
Status walk_child(ReadCursor& cursor, size_t then, size_t base, size_t depth, WalkedPacket* parent, ByteView key) {
  VAKRA_ASSIGN_OR_RETURN(const ByteView slot, cursor.part(then));
  WalkedPacket* child = nullptr;
  if (parent != nullptr) child = &parent->children.emplace_back(WalkedEntry{key, {}}).packet;
  const size_t slot_offset = static_cast<size_t>(slot.data() - cursor.bytes().data());
  VAKRA_TRY(walk_at(slot, base + slot_offset, depth + 1, nullptr, child));
  return {};
}

Status walk_dense(ReadCursor& cursor, const PacketHeader& header, WalkedPacket* out) {
  VAKRA_ASSIGN_OR_RETURN(const Dtype dtype, dtype_from_code(header.dtype_code));
  VAKRA_RETURN_IF(element_size(dtype) == 0, make_error(ErrorKind::UnknownDtype, header.dtype_code));
  VAKRA_ASSIGN_OR_RETURN(std::vector<uint32_t> shape, cursor.shape(header.ndim));
  VAKRA_ASSIGN_OR_RETURN(const uint64_t count, element_count(shape));
  VAKRA_ASSIGN_OR_RETURN(const size_t body, cursor.body_start(header.flags));
  const size_t footer = footer_length(header);
  const bool compressed = (header.flags & FLAG_COMPRESSED) != 0;
  size_t body_length = count * element_size(dtype);  // at most 16 * 10^9
  if (compressed) {
    VAKRA_ASSIGN_OR_RETURN(body_length, lz4_frame_length(cursor, footer));
  } else {
    VAKRA_TRY(skip_body(cursor, body_length, footer));
  }
  VAKRA_TRY(cursor.skip(footer));
  if (out != nullptr) {
    out->shape = std::move(shape);
    out->body_offset = body;
    out->body_length = body_length;
    out->compressed = compressed;
  }
  return {};
}

// String and ragged packets: the table's last offset is the payload length.
Status walk_offsets_payload(ReadCursor& cursor, const PacketHeader& header, WalkedPacket* out) {
  VAKRA_ASSIGN_OR_RETURN(std::vector<uint32_t> shape, cursor.shape(header.ndim));
  const uint64_t count = shape.empty() ? 0 : shape.front();
  VAKRA_ASSIGN_OR_RETURN(const size_t table, cursor.body_start(header.flags));
  const size_t footer = footer_length(header);
  VAKRA_TRY(skip_body(cursor, 8 * count, 8 + footer));  // at most 2^35
  VAKRA_ASSIGN_OR_RETURN(const uint64_t payload_length, cursor.u64());
  VAKRA_TRY(skip_body(cursor, payload_length, footer));
  const size_t payload_end = cursor.position();
  VAKRA_TRY(cursor.skip(footer));
  if (out != nullptr) {
    out->shape = std::move(shape);
    out->body_offset = table;
    out->body_length = payload_end - table;
    out->item_count = count;
    out->payload_length = payload_length;
  }
  return {};
}

Status walk_quantized(ReadCursor& cursor, const PacketHeader& header, WalkedPacket* out) {
  VAKRA_ASSIGN_OR_RETURN(const Dtype dtype, dtype_from_code(header.dtype_code));
  VAKRA_RETURN_IF(!is_quantized(dtype), make_error(ErrorKind::UnknownDtype, header.dtype_code));
  VAKRA_ASSIGN_OR_RETURN(std::vector<uint32_t> shape, cursor.shape(header.ndim));
  VAKRA_ASSIGN_OR_RETURN(const uint64_t count, element_count(shape));
  VAKRA_ASSIGN_OR_RETURN(const uint8_t scheme, cursor.u8());
  VAKRA_ASSIGN_OR_RETURN(const uint8_t axis, cursor.u8());
  VAKRA_ASSIGN_OR_RETURN(const uint32_t group_size, cursor.u32());
  VAKRA_ASSIGN_OR_RETURN(const uint32_t scale_count, cursor.u32());
  VAKRA_TRY(cursor.skip(size_t{8} * scale_count));  // scales and zero points, 4 bytes each
  VAKRA_ASSIGN_OR_RETURN(const size_t body, cursor.body_start(header.flags));
  const bool four_bit = dtype == Dtype::Qint4 || dtype == Dtype::Quint4;
  const size_t value_bytes = four_bit ? count / 2 + count % 2 : count;
  const size_t footer = footer_length(header);
  VAKRA_TRY(skip_body(cursor, value_bytes, footer));
  VAKRA_TRY(cursor.skip(footer));
  if (out != nullptr) {
    out->shape = std::move(shape);
    out->body_offset = body;
    out->body_length = value_bytes;
    out->quant_scheme = scheme;
    out->axis = axis;
    out->group_size = group_size;
    out->scale_count = scale_count;
  }
  return {};
}

Status walk_bundle(ReadCursor& cursor, const PacketHeader& header, size_t base, size_t depth, WalkedPacket* out) {
  if (out != nullptr) out->children.reserve(header.ndim);
  for (size_t i = 0; i < header.ndim; ++i) {
    VAKRA_ASSIGN_OR_RETURN(const ByteView key, cursor.part(4));  // the entry's length prefix follows
    VAKRA_RETURN_IF(!is_valid_utf8(key), make_error(ErrorKind::Malformed));
    // Another entry needs at least its two length prefixes.
    VAKRA_TRY(walk_child(cursor, i + 1 < header.ndim ? 8 : 0, base, depth, out, key));
  }
  return {};
}

Status walk_sparse(ReadCursor& cursor, const PacketHeader& header, size_t base, size_t depth, WalkedPacket* out) {
  VAKRA_ASSIGN_OR_RETURN(std::vector<uint32_t> shape, cursor.shape(header.ndim));
  if (out != nullptr) {
    out->shape = std::move(shape);
    out->format = sparse_format(header);
    out->children.reserve(3);
  }
  for (size_t i = 0; i < 3; ++i) VAKRA_TRY(walk_child(cursor, i < 2 ? 4 : 0, base, depth, out, {}));
  return {};
}

Status walk_inline(ReadCursor& cursor, const PacketHeader& header, WalkedPacket* out) {
  // Only version 4 flags reach bit 10, so the 10-byte header is present.
  VAKRA_RETURN_IF((header.flags & (FLAG_INLINE | FLAG_INTEGRITY)) != FLAG_INLINE, make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(cursor.bytes()[8] != 0 || cursor.bytes()[9] != 1, make_error(ErrorKind::Malformed));
  VAKRA_TRY(cursor.skip(kInlineRecordLength));
  if (out != nullptr) {
    out->body_offset = kHeaderLenV4;
    out->body_length = kInlineRecordLength;
  }
  return {};
}

// Walks the packet at bytes[0]; `base` is where bytes[0] lies in the
// top-level input. With `wanted`, `bytes` may be a prefix (see ReadCursor).
Result<size_t> walk_at(ByteView bytes, size_t base, size_t depth, size_t* wanted, WalkedPacket* out) {
  VAKRA_RETURN_IF(depth > MAX_NESTING_DEPTH, make_error(ErrorKind::Malformed));
  ReadCursor cursor(bytes, 0, wanted);
  VAKRA_ASSIGN_OR_RETURN(const PacketHeader header, read_header(cursor));
  cursor.seek(header.header_len);
  const PacketKind kind = packet_kind(header);
  Status walked;
  switch (kind) {
    case PacketKind::Dense: walked = walk_dense(cursor, header, out); break;
    case PacketKind::Bundle: walked = walk_bundle(cursor, header, base, depth, out); break;
    case PacketKind::Sparse: walked = walk_sparse(cursor, header, base, depth, out); break;
    case PacketKind::Quantized: walked = walk_quantized(cursor, header, out); break;
    case PacketKind::String:
    case PacketKind::Ragged: walked = walk_offsets_payload(cursor, header, out); break;
    case PacketKind::Inline: walked = walk_inline(cursor, header, out); break;
  }
  VAKRA_TRY(walked);
  if (out != nullptr) {
    out->kind = kind;
    out->header = header;
    out->offset = base;
    out->length = cursor.position();
    if (kind != PacketKind::Bundle && kind != PacketKind::Sparse) out->body_offset += base;
  }
  return cursor.position();
}

}  // namespace

PacketKind packet_kind(const PacketHeader& header) {
  const uint16_t flags = header.flags;
  if (flags & FLAG_INLINE) return PacketKind::Inline;
  if (flags & FLAG_BUNDLE) return PacketKind::Bundle;
  if (flags & (FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC)) return PacketKind::Sparse;
  if (flags & FLAG_STRING) return PacketKind::String;
  if (flags & FLAG_RAGGED) return PacketKind::Ragged;
  // Codes 16 to 19: qint8, quint8, qint4, quint4.
  if ((header.dtype_code & 0xFC) == 0x10) return PacketKind::Quantized;
  return PacketKind::Dense;
}

SparseFormat sparse_format(const PacketHeader& header) {
  if (header.flags & FLAG_SPARSE_COO) return SparseFormat::coo;
  return (header.flags & FLAG_SPARSE_CSR) ? SparseFormat::csr : SparseFormat::csc;
}

Result<PacketExtent> probe_packet(ByteView bytes) {
  size_t wanted = 0;
  const Result<size_t> length = walk_at(bytes, 0, 0, &wanted, nullptr);
  if (length.ok()) return PacketExtent{true, *length};
  // Only a read past the end of a prefix records `wanted`; a nested packet
  // cut short inside its own length prefix is a broken packet.
  if (length.error().kind == ErrorKind::PacketTooShort && wanted > bytes.size()) {
    return PacketExtent{false, wanted - bytes.size()};
  }
  return length.error();
}

ByteView packet_prefix(ByteView bytes) {
  const Result<PacketHeader> header = parse_header(bytes);
  if (!header.ok() || packet_kind(*header) != PacketKind::Dense || !(header->flags & FLAG_COMPRESSED)) return bytes;
  const Result<PacketExtent> extent = probe_packet(bytes);
  return extent.ok() && extent->complete ? bytes.first(extent->length) : bytes;
}

Result<WalkedPacket> walk_packet(ByteView bytes) {
  size_t wanted = 0;
  WalkedPacket root;
  VAKRA_TRY(walk_at(bytes, 0, 0, &wanted, &root));
  return root;
}

Result<std::vector<uint32_t>> read_dimensions(ByteView bytes, const PacketHeader& header) {
  ReadCursor cursor(bytes, header.header_len);
  return cursor.shape(header.ndim, false);
}

}  // namespace vakra
