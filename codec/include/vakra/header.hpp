// The packet header shared by every kind, the flag bits, the shape block and
// the shared limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/result.hpp"

namespace vakra {

// Bits of the header's flags word.
inline constexpr uint16_t FLAG_ALIGNED = 0x0001;       // body at the next multiple of 64
inline constexpr uint16_t FLAG_INTEGRITY = 0x0002;     // an XXH3-64 checksum follows the body
inline constexpr uint16_t FLAG_COMPRESSED = 0x0004;    // the dense body is one LZ4 frame
inline constexpr uint16_t FLAG_SPARSE_COO = 0x0008;    // a sparse matrix, COO
inline constexpr uint16_t FLAG_BUNDLE = 0x0010;        // named packets
inline constexpr uint16_t FLAG_SPARSE_CSR = 0x0020;    // a sparse matrix, CSR
inline constexpr uint16_t FLAG_SPARSE_CSC = 0x0040;    // a sparse matrix, CSC
inline constexpr uint16_t FLAG_CUSTOM_ALIGN = 0x0080;  // a byte after the shape holds log2 of the alignment
inline constexpr uint16_t FLAG_STRING = 0x0100;        // a string tensor
inline constexpr uint16_t FLAG_RAGGED = 0x0200;        // a ragged tensor (read only)
inline constexpr uint16_t FLAG_INLINE = 0x0400;        // the 96-byte Inline record (read only)

inline constexpr size_t MAX_NDIM = 32;                   // dimensions per array
inline constexpr uint64_t MAX_ELEMENTS = 1'000'000'000;  // elements per array
inline constexpr size_t MAX_NESTING_DEPTH = 64;          // bundles and sparse matrices inside each other

inline constexpr uint8_t kMagic[4] = {'V', 'K', 'R', 'A'};  // every packet's first four bytes
inline constexpr uint8_t kWriteVersion = 4;                 // written; 3 and 4 are read
inline constexpr size_t kHeaderLenV3 = 8;
inline constexpr size_t kHeaderLenV4 = 10;
inline constexpr size_t kStandardAlignment = 64;  // the default body alignment
inline constexpr unsigned kMaxAlignmentLog2 = 63;  // FLAG_CUSTOM_ALIGN's byte: alignments up to 2^63
// FLAG_INTEGRITY: the XXH3-64 checksum stored after a body, u64 LE.
inline constexpr size_t kChecksumLength = 8;
// Every length prefix on the wire is a u32: parts must be shorter than this.
inline constexpr uint64_t kMaxPartLength = uint64_t{1} << 32;

// The header fields every packet starts with.
struct PacketHeader {
  size_t ndim = 0;        // the count byte, widened
  size_t header_len = 0;  // 10 for version 4, 8 for version 3
  uint16_t flags = 0;     // version 3: one byte, high byte zero
  uint8_t version = 0;
  uint8_t dtype_code = 0;  // raw, not validated
  uint8_t reserved = 0;    // version 4's last header byte (only Inline gives it a meaning); 0 for version 3
};

// Reads only the header: length, magic, version.
Result<PacketHeader> parse_header(ByteView bytes);

// Writes the 10-byte version 4 header; `buffer` must hold at least 10 bytes.
void write_v4_header(MutableBytes buffer, uint16_t flags, uint8_t dtype_code, uint8_t ndim);

// Reads `ndim` u32 LE dimensions at `offset`.
Result<std::vector<uint32_t>> read_shape(ByteView bytes, size_t offset, size_t ndim);

// Product of the dimensions (1 for a scalar); TooManyElements on a u64
// overflow at any step or a final product above MAX_ELEMENTS.
Result<uint64_t> element_count(std::span<const uint32_t> shape);

}  // namespace vakra
