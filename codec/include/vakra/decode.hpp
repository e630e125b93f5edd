// The packet decoder: any packet to a Decoded tree of views into the input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/dtype.hpp"
#include "vakra/header.hpp"
#include "vakra/result.hpp"

namespace vakra {

enum class SparseFormat : uint8_t { coo = 0, csr = 1, csc = 2 };

struct Decoded;
struct BundleItem;

struct DecodedDense {
  Dtype dtype = Dtype::Float32;
  std::vector<uint32_t> shape;
  ByteView data;            // the body; the LZ4 frame when `compressed`
  bool compressed = false;  // only with CompressedBodies::View
};

struct DecodedBundle {
  std::vector<BundleItem> entries;  // wire order
};

struct DecodedSparse {
  SparseFormat format = SparseFormat::coo;
  std::vector<uint32_t> shape;
  std::vector<Decoded> components;  // exactly 3, wire order
};

struct DecodedQuantized {
  Dtype dtype = Dtype::Qint8;
  std::vector<uint32_t> shape;
  ByteView scales;
  ByteView zero_points;
  ByteView data;
  uint32_t axis = 0;
  uint32_t group_size = 0;
  uint8_t quant_scheme = 0;
};

// Shared by string and ragged packets.
struct DecodedOffsets {
  std::vector<uint32_t> shape;
  ByteView offsets;  // (count + 1) u64 LE, not necessarily 8-byte aligned
  ByteView payload;
};
struct DecodedString : DecodedOffsets {};
struct DecodedRagged : DecodedOffsets {};

struct DecodedInline {
  std::array<uint8_t, 96> record{};
};

// Alternatives in wire-kind order: Dense, Bundle, Sparse, Quantized, String, Ragged, Inline.
struct Decoded {
  std::variant<DecodedDense, DecodedBundle, DecodedSparse, DecodedQuantized, DecodedString, DecodedRagged,
               DecodedInline>
      value;
};

struct BundleItem {
  std::string key;
  Decoded value;
};

// What the dense decoder does with an LZ4-compressed body. `Refuse` answers
// Other("compressed dense bodies require an owning decode path"); `View`
// returns the frame as `data` with `compressed` set, so an owning consumer
// can decompress bodies at any depth.
enum class CompressedBodies : uint8_t { Refuse, View };

Result<Decoded> decode(ByteView bytes, CompressedBodies compressed = CompressedBodies::Refuse);
Result<Decoded> decode_depth(ByteView bytes, size_t depth, CompressedBodies compressed = CompressedBodies::Refuse);

// Kind decoders, called by the dispatcher with the whole packet and its header.
Result<DecodedDense> decode_dense(ByteView bytes, const PacketHeader& header,
                                  CompressedBodies compressed = CompressedBodies::Refuse);
Result<DecodedOffsets> decode_offset_payload(ByteView bytes, const PacketHeader& header);
Result<DecodedString> decode_string(ByteView bytes, const PacketHeader& header);
Result<DecodedRagged> decode_ragged(ByteView bytes, const PacketHeader& header);
Result<DecodedQuantized> decode_quantized(ByteView bytes, const PacketHeader& header);

}  // namespace vakra
