// The packet walker: the walked tree, the meter and the probe, built on the
// recursion of walk_internal.hpp.
#include "vakra/walk.hpp"

#include <algorithm>

#include "walk_internal.hpp"

namespace vakra {
namespace {

// The probe's builder: parts are read and dropped, nothing is kept.
struct MeasureOut {
  template <class Parts, class Read>
  Status leaf(Read&& read) {
    Parts parts;
    return read(parts);
  }
  struct Entries {
    MeasureOut add(const ByteSource&, ByteRange) { return {}; }
  };
  Entries bundle(size_t) { return {}; }
  void finish(const PacketHeader&, ByteRange) {}
};

// Measures (or, with `tree`, walks) the packet at the start of `bytes`.
Result<PacketExtent> measure_prefix(const ByteSource& source, WalkStop* resume, WalkedPacket* tree) {
  size_t wanted = 0;
  ReadCursor cursor(source, {0, source.size()}, &wanted);
  const Walk walk{WalkMode::Measure, resume};
  Status walked;
  if (tree != nullptr) {
    TreeOut out{*tree};
    walked = walk_packet_at(cursor, 0, walk, out);
  } else {
    MeasureOut out;
    walked = walk_packet_at(cursor, 0, walk, out);
  }
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

PacketKind packet_kind(const PacketHeader& header) {
  const uint16_t flags = header.flags;
  if (flags & FLAG_INLINE) return PacketKind::Inline;
  if (flags & FLAG_BUNDLE) return PacketKind::Bundle;
  if (flags & (FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC)) return PacketKind::Sparse;
  if (flags & FLAG_STRING) return PacketKind::String;
  if (flags & FLAG_RAGGED) return PacketKind::Ragged;
  const Result<Dtype> dtype = dtype_from_code(header.dtype_code);
  return dtype.ok() && is_quantized(*dtype) ? PacketKind::Quantized : PacketKind::Dense;
}

std::string_view packet_kind_name(PacketKind kind) {
  switch (kind) {
    case PacketKind::Dense: return "dense";
    case PacketKind::Bundle: return "bundle";
    case PacketKind::Sparse: return "sparse";
    case PacketKind::Quantized: return "quantized";
    case PacketKind::String: return "string";
    case PacketKind::Ragged: return "ragged";
    case PacketKind::Inline: return "inline";
  }
  return "";
}

SparseFormat sparse_format(const PacketHeader& header) {
  if (header.flags & FLAG_SPARSE_COO) return SparseFormat::coo;
  return (header.flags & FLAG_SPARSE_CSR) ? SparseFormat::csr : SparseFormat::csc;
}

std::string_view sparse_format_name(SparseFormat format) {
  switch (format) {
    case SparseFormat::coo: return "coo";
    case SparseFormat::csr: return "csr";
    case SparseFormat::csc: return "csc";
  }
  return "";
}

std::array<std::string_view, 3> sparse_component_roles(SparseFormat format) {
  if (format == SparseFormat::coo) return {"data", "row", "col"};
  return {"data", "indices", "indptr"};
}

Status walk_sparse(ReadCursor& cursor, const PacketHeader& header, size_t depth, const Walk& walk, WalkedSparse& out) {
  out.format = sparse_format(header);
  VAKRA_TRY(cursor.shape(header.ndim, out.shape));
  constexpr size_t kComponents = 3;
  out.components.reserve(kComponents);
  for (size_t i = resumed_step(cursor, walk); i < kComponents; ++i) {
    ByteRange slot;
    VAKRA_TRY(read_sparse_component(cursor, i + 1 < kComponents, walk.mode, slot));
    TreeOut component{out.components.emplace_back()};
    VAKRA_TRY(walk_nested(cursor, slot, depth, walk, component));
    record_step(cursor, walk, i + 1);
  }
  return {};
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
  std::vector<uint32_t> dims;
  VAKRA_TRY(cursor.shape(header.ndim, dims, false));
  return dims;
}

}  // namespace vakra
