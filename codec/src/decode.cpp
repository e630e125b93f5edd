// The decoder: walk the packet (the kinds' readers, through the walker's
// recursion), then verify what the walk does not read (checksums, offset
// tables, the structure of sparse index arrays), then hand out views.
#include "vakra/decode.hpp"

#include "packet_kinds_internal.hpp"

namespace vakra {
namespace {

// Children first, in wire order, so the first failing check in the packet is
// the one reported. Counts the compressed dense bodies it passes.
Status verify(const WalkedPacket& packet, const ByteSource& bytes, size_t& compressed) {
  switch (packet.kind()) {
    case PacketKind::Dense: {
      const auto& dense = std::get<WalkedDense>(packet.parts);
      compressed += dense.compressed;
      return verify_dense(dense, bytes);
    }
    case PacketKind::Bundle:
      for (const WalkedEntry& entry : std::get<WalkedBundle>(packet.parts).entries) {
        VAKRA_TRY(verify(entry.packet, bytes, compressed));
      }
      return {};
    case PacketKind::Sparse: {
      const auto& sparse = std::get<WalkedSparse>(packet.parts);
      for (const WalkedPacket& component : sparse.components) VAKRA_TRY(verify(component, bytes, compressed));
      return verify_sparse(sparse, bytes);
    }
    case PacketKind::Quantized: return verify_quantized(std::get<WalkedQuantized>(packet.parts), bytes);
    case PacketKind::String: return verify_offsets(std::get<WalkedString>(packet.parts), bytes);
    case PacketKind::Ragged: return verify_offsets(std::get<WalkedRagged>(packet.parts), bytes);
    case PacketKind::Inline: return {};
  }
  return {};
}

Decoded value_of(WalkedPacket&& packet, const ByteSource& bytes) {
  switch (packet.kind()) {
    case PacketKind::Dense: return {dense_value(std::get<WalkedDense>(std::move(packet.parts)), bytes)};
    case PacketKind::Bundle: {
      DecodedBundle bundle;
      auto& entries = std::get<WalkedBundle>(packet.parts).entries;
      bundle.entries.reserve(entries.size());
      for (WalkedEntry& entry : entries) {
        const ByteView key = bytes.view(entry.key);
        bundle.entries.push_back(BundleItem{std::string(reinterpret_cast<const char*>(key.data()), key.size()),
                                            value_of(std::move(entry.packet), bytes)});
      }
      return {std::move(bundle)};
    }
    case PacketKind::Sparse: {
      auto& walked = std::get<WalkedSparse>(packet.parts);
      DecodedSparse sparse{walked.format, std::move(walked.shape), {}};
      sparse.components.reserve(walked.components.size());
      for (WalkedPacket& component : walked.components) sparse.components.push_back(value_of(std::move(component), bytes));
      return {std::move(sparse)};
    }
    case PacketKind::Quantized: return {quantized_value(std::get<WalkedQuantized>(std::move(packet.parts)), bytes)};
    case PacketKind::String:
      return {DecodedString{offsets_value(std::get<WalkedString>(std::move(packet.parts)), bytes)}};
    case PacketKind::Ragged:
      return {DecodedRagged{offsets_value(std::get<WalkedRagged>(std::move(packet.parts)), bytes)}};
    case PacketKind::Inline: return {inline_value(std::get<WalkedInline>(packet.parts), bytes)};
  }
  return {};
}

}  // namespace

Result<Decoded> decode_window(const ByteSource& source, ByteRange window, size_t depth, CompressedBodies compressed) {
  WalkedPacket root;
  VAKRA_TRY(walk_window(source, window, WalkMode::Decode, depth, nullptr, nullptr, root));
  size_t compressed_bodies = 0;
  VAKRA_TRY(verify(root, source, compressed_bodies));
  VAKRA_RETURN_IF(compressed_bodies != 0 && compressed == CompressedBodies::Refuse,
                  other_error(kCompressedNeedsOwningPath));
  return value_of(std::move(root), source);
}

Result<Decoded> decode(ByteView bytes, CompressedBodies compressed) { return decode_depth(bytes, 0, compressed); }

Result<Decoded> decode_depth(ByteView bytes, size_t depth, CompressedBodies compressed) {
  return decode_window(ByteSource(bytes), {0, bytes.size()}, depth, compressed);
}

}  // namespace vakra
