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
    if (dense.compressed) ++compressed;
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

  // Each fills `out` in place.
  void value(WalkedDense&& dense, Decoded& out) const { dense_value(std::move(dense), bytes, as<DecodedDense>(out)); }
  void value(WalkedQuantized&& quantized, Decoded& out) const {
    quantized_value(std::move(quantized), bytes, as<DecodedQuantized>(out));
  }
  void value(WalkedString&& string, Decoded& out) const { offsets_value(std::move(string), bytes, as<DecodedString>(out)); }
  void value(WalkedRagged&& ragged, Decoded& out) const { offsets_value(std::move(ragged), bytes, as<DecodedRagged>(out)); }
  void value(WalkedInline&& record, Decoded& out) const { inline_value(record, bytes, as<DecodedInline>(out)); }
  void value(WalkedBundle&& walked, Decoded& out) const {
    auto& bundle = as<DecodedBundle>(out);
    bundle.entries.reserve(walked.entries.size());
    for (WalkedEntry& entry : walked.entries) {
      value(std::move(entry.packet), bundle.entries.emplace_back(BundleItem{key(entry.key), Decoded{DecodedDense{}}}).value);
    }
  }
  void value(WalkedSparse&& walked, Decoded& out) const {
    auto& sparse = as<DecodedSparse>(out);
    sparse.format = walked.format;
    sparse.shape = std::move(walked.shape);
    sparse.components.reserve(walked.components.size());
    for (WalkedPacket& component : walked.components) {
      value(std::move(component), sparse.components.emplace_back(Decoded{DecodedDense{}}));
    }
  }
  void value(WalkedPacket&& packet, Decoded& out) const {
    std::visit([&](auto&& parts) { value(std::move(parts), out); }, std::move(packet.parts));
  }

  // The alternative `T` of `out`, made if it holds another.
  template <class T>
  static T& as(Decoded& out) {
    if (T* held = std::get_if<T>(&out.value)) return *held;
    return out.value.template emplace<T>();
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
    decoder.value(std::move(parts), decoded);
    return {};
  }
  struct Entries {
    const Decoder& decoder;
    DecodedBundle& bundle;
    DecodeOut add(const ByteSource&, ByteRange key) {
      BundleItem& item = bundle.entries.emplace_back(BundleItem{decoder.key(key), Decoded{DecodedDense{}}});
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
  // Made from an alternative: a default Decoded zeroes all of its storage first.
  Decoded decoded{DecodedDense{}};
  DecodeOut out{decoder, decoded};
  ReadCursor cursor(source, window);
  VAKRA_TRY(walk_packet_at(cursor, depth, {WalkMode::Decode, nullptr}, out));
  VAKRA_RETURN_IF(compressed_bodies != 0 && compressed == CompressedBodies::Refuse,
                  other_error(kCompressedNeedsOwningPath));
  return decoded;
}

bool decode_grows_with_bodies(const PacketHeader& header) {
  constexpr uint16_t kBodyWork = FLAG_INTEGRITY | FLAG_BUNDLE | FLAG_SPARSE_COO | FLAG_SPARSE_CSR | FLAG_SPARSE_CSC;
  return (header.flags & kBodyWork) != 0;
}

Result<Decoded> decode(ByteView bytes, CompressedBodies compressed) { return decode_depth(bytes, 0, compressed); }

Result<Decoded> decode_depth(ByteView bytes, size_t depth, CompressedBodies compressed) {
  return decode_window(ByteSource(bytes), {0, bytes.size()}, depth, compressed);
}

}  // namespace vakra
