// The packet decoder: any packet to a Decoded tree of views into the input,
// or to one that owns its bytes.
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

// The layout of a sparse matrix. Components in wire order: COO (data, row,
// col); CSR and CSC (data, indices, indptr).
enum class SparseFormat : uint8_t { coo = 0, csr = 1, csc = 2 };

struct Decoded;
struct BundleItem;

// A dense array: element bytes in C order, little-endian, viewed in place.
struct DecodedDense {
  Dtype dtype = Dtype::Float32;
  std::vector<uint32_t> shape;  // outermost first; empty for a scalar
  ByteView data;            // the body; the LZ4 frame when `compressed`
  bool compressed = false;  // only with CompressedBodies::View
};

// A dict: named packets, decoded recursively. Keys are valid UTF-8 and may repeat.
struct DecodedBundle {
  std::vector<BundleItem> entries;  // wire order
};

// A sparse matrix: its shape and its three component arrays.
struct DecodedSparse {
  SparseFormat format = SparseFormat::coo;
  std::vector<uint32_t> shape;      // the matrix shape
  std::vector<Decoded> components;  // exactly 3, wire order; dense when written by this codec
};

// A quantized tensor, carried as is: the codec gives the scheme, axis and
// group size no meaning and does not check the scale count against the shape.
struct DecodedQuantized {
  Dtype dtype = Dtype::Qint8;    // qint8, quint8, qint4 or quint4
  std::vector<uint32_t> shape;   // of the unquantized tensor
  ByteView scales;               // 4 bytes per entry (float32 LE to the Python package)
  ByteView zero_points;          // as long as scales
  ByteView data;                 // the codes; 4-bit codes two to a byte
  uint32_t axis = 0;             // the wire byte, widened
  uint32_t group_size = 0;
  uint8_t quant_scheme = 0;      // the Python package: 0 per tensor, 1 per axis, 2 per group
};

// Shared by string and ragged packets: item i is payload[offsets[i], offsets[i + 1]).
// The offsets have been checked (start at 0, never decrease, end at the payload's end).
struct DecodedOffsets {
  std::vector<uint32_t> shape;  // the item count is shape[0] (0 when empty)
  ByteView offsets;  // (count + 1) u64 LE, not necessarily 8-byte aligned
  ByteView payload;
};
struct DecodedString : DecodedOffsets {};  // the payload is not checked for UTF-8
struct DecodedRagged : DecodedOffsets {};  // read only; never written by this codec

// The fixed 96-byte Inline record, copied out; read only.
struct DecodedInline {
  std::array<uint8_t, 96> record{};
};

// Alternatives in wire-kind order: Dense, Bundle, Sparse, Quantized, String, Ragged, Inline.
struct Decoded {
  std::variant<DecodedDense, DecodedBundle, DecodedSparse, DecodedQuantized, DecodedString, DecodedRagged,
               DecodedInline>
      value;
};

// One bundle entry: its key (copied) and its decoded packet.
struct BundleItem {
  std::string key;
  Decoded value;
};

// What the decoder does with an LZ4-compressed dense body. `Refuse` answers
// Other("compressed dense bodies require an owning decode path") once the
// rest of the packet has been checked; `View` returns the frame as `data`
// with `compressed` set, so a consumer can decompress bodies at any depth
// (decode_owned does it for every one).
enum class CompressedBodies : uint8_t { Refuse, View };

// Decodes the packet at the start of `bytes` (trailing bytes are ignored,
// except after a compressed dense body, which runs to the end): walks it,
// verifying each packet's checksum, string offset table or csr and csc index
// arrays once it is read, and returns views. Every view points into `bytes`,
// which must outlive the result. Nothing is copied but shapes, keys and
// Inline records.
Result<Decoded> decode(ByteView bytes, CompressedBodies compressed = CompressedBodies::Refuse);
// Whether decoding a packet with this header does work that grows with its
// bodies: checksums to verify, or containers whose parts are checked (a
// binding may let other threads run meanwhile).
bool decode_grows_with_bodies(const PacketHeader& header);
// decode() for a packet nested `depth` levels deep: Malformed beyond MAX_NESTING_DEPTH.
Result<Decoded> decode_depth(ByteView bytes, size_t depth, CompressedBodies compressed = CompressedBodies::Refuse);

// For a consumer whose input others may write after decode() (shared memory,
// a file mapped while another process rewrites it): copies the index arrays
// of a decoded csr or csc matrix (components 1 and 2, decompressed if need
// be) into `indices` and `indptr`, each exactly its array's element bytes,
// and checks the copies as decode() checked the input, so that the matrix is
// built from exactly the bytes that were checked. Malformed when a copy fails
// the check (the input changed meanwhile) or does not fit its destination.
Status copy_checked_indices(const DecodedSparse& sparse, MutableBytes indices, MutableBytes indptr);

// The components of a decoded coo matrix as a consumer builds it from them:
// dense arrays, the row and col ones 1-D, of an integer type and as long as
// the data. Malformed otherwise. (The decoder leaves coo components as they
// are; their values are the consumer's to range-check.)
Status check_coo_components(const DecodedSparse& sparse);

// A decoded packet holding its own bytes: every view of `value` points into
// `memory`, and no dense body is compressed.
struct OwnedDecoded {
  Decoded value;
  OwnedBytes memory;  // each body at a multiple of 64 bytes from its start
};

// The values of any packet in one call: decode() with compressed bodies
// viewed, then every body copied into memory of the result's own, LZ4 bodies
// decompressed on the way (Malformed when a frame does not hold exactly its
// array's bytes, before anything that size is allocated when it cannot).
// The result does not refer to `bytes`.
Result<OwnedDecoded> decode_owned(ByteView bytes);

}  // namespace vakra
