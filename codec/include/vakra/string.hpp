// String tensors: (count + 1) u64 offsets and one payload. Ragged packets
// share the body and are only read (decode.hpp).
#pragma once

#include <cstdint>
#include <span>

#include "vakra/bytes.hpp"
#include "vakra/result.hpp"

namespace vakra {

// Malformed unless there are count + 1 offsets starting at 0, never
// decreasing and ending at `payload_len`.
Status check_string_offsets(uint32_t count, std::span<const uint64_t> offsets, uint64_t payload_len);

// 64 + 8 * (count + 1) + payload (+ 8 with the checksum).
Result<size_t> string_packet_size(uint32_t count, uint64_t payload_len, bool check_integrity);

Result<size_t> encode_string_into(uint32_t count, std::span<const uint64_t> offsets, ByteView payload,
                                  MutableBytes buffer, bool check_integrity);

}  // namespace vakra
