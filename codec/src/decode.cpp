// The decoder: the walker's recursion (walk_internal.hpp) with a builder that
// verifies each packet's parts once read (checksums, offset tables, the
// structure of sparse index arrays), then hands out views of them.
#include "vakra/decode.hpp"

#include "walk_internal.hpp"

namespace vakra {
namespace {

// What each kind's parts must pass and become. `compressed` counts the
// compressed dense bodies met, refused at the end with CompressedBodies::Refuse.
struct Decoder {
  const ByteSource& bytes;
  size_t& compressed;

  Status check(const WalkedDense& dense) const {
    compressed += dense.compressed;
    return verify_dense(dense, bytes);
  }
  Status check(const WalkedQuantized& quantized) const { return verify_quantized(quantized, bytes); }
  Status check(const WalkedOffsets& offsets) const { return verify_offsets(offsets, bytes); }
  Status check(const WalkedInline&) const { return {}; }
  // Containers walked as trees (the components of a sparse matrix): children
  // first, in wire order, so the first failing check is the one reported.
  Status check(const WalkedBundle& bundle) const {
    for (const WalkedEntry& entry : bundle.entries) VAKRA_TRY(check(entry.packet));
    return {};
  }
  Status check(const WalkedSparse& sparse) const {
    for (const WalkedPacket& component : sparse.components) VAKRA_TRY(check(component));
    return verify_sparse(sparse, bytes);
  }
  Status check(const WalkedPacket& packet) const {
    return std::visit([&](const auto& parts) { return check(parts); }, packet.parts);
  }

  DecodedDense value(WalkedDense&& dense) const { return dense_value(std::move(dense), bytes); }
  DecodedQuantized value(WalkedQuantized&& quantized) const { return quantized_value(std::move(quantized), bytes); }
  DecodedString value(WalkedString&& string) const { return {offsets_value(std::move(string), bytes)}; }
  DecodedRagged value(WalkedRagged&& ragged) const { return {offsets_value(std::move(ragged), bytes)}; }
  DecodedInline value(WalkedInline&& record) const { return inline_value(record, bytes); }
  DecodedBundle value(WalkedBundle&& walked) const {
    DecodedBundle bundle;
    bundle.entries.reserve(walked.entries.size());
    for (WalkedEntry& entry : walked.entries) bundle.entries.push_back({key(entry.key), value(std::move(entry.packet))});
    return bundle;
  }
  DecodedSparse value(WalkedSparse&& walked) const {
    DecodedSparse sparse{walked.format, std::move(walked.shape), {}};
    sparse.components.reserve(walked.components.size());
    for (WalkedPacket& component : walked.components) sparse.components.push_back(value(std::move(component)));
    return sparse;
  }
  Decoded value(WalkedPacket&& packet) const {
    return std::visit([&](auto&& parts) { return Decoded{value(std::move(parts))}; }, std::move(packet.parts));
  }

  std::string key(ByteRange key) const {
    const ByteView text = bytes.view(key);
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
  }
};

// The decoder's builder: each packet decoded as soon as it is walked.
struct DecodeOut {
  const Decoder& decoder;
  Decoded& decoded;

  template <class Parts, class Read>
  Status leaf(Read&& read) {
    Parts parts;
    VAKRA_TRY(read(parts));
    VAKRA_TRY(decoder.check(parts));
    decoded.value = decoder.value(std::move(parts));
    return {};
  }
  struct Entries {
    const Decoder& decoder;
    DecodedBundle& bundle;
    DecodeOut add(const ByteSource&, ByteRange key) {
      BundleItem& item = bundle.entries.emplace_back();
      item.key = decoder.key(key);
      return {decoder, item.value};
    }
  };
  Entries bundle(size_t count) {
    auto& bundle = decoded.value.emplace<DecodedBundle>();
    bundle.entries.reserve(count);
    return {decoder, bundle};
  }
  void finish(const PacketHeader&, ByteRange) {}
};

}  // namespace

Result<Decoded> decode_window(const ByteSource& source, ByteRange window, size_t depth, CompressedBodies compressed) {
  size_t compressed_bodies = 0;
  const Decoder decoder{source, compressed_bodies};
  Decoded decoded;
  DecodeOut out{decoder, decoded};
  ReadCursor cursor(source, window);
  VAKRA_TRY(walk_packet_at(cursor, depth, {WalkMode::Decode, nullptr}, out));
  VAKRA_RETURN_IF(compressed_bodies != 0 && compressed == CompressedBodies::Refuse,
                  other_error(kCompressedNeedsOwningPath));
  return decoded;
}

Result<Decoded> decode(ByteView bytes, CompressedBodies compressed) { return decode_depth(bytes, 0, compressed); }

Result<Decoded> decode_depth(ByteView bytes, size_t depth, CompressedBodies compressed) {
  return decode_window(ByteSource(bytes), {0, bytes.size()}, depth, compressed);
}

}  // namespace vakra
