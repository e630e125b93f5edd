// String packets (written and read) and ragged packets (read only): a table
// of count + 1 u64 offsets followed by one payload holding every item.
#include <algorithm>
#include <array>

#include "hash_internal.hpp"
#include "packet_kinds_internal.hpp"
#include "sink_internal.hpp"
#include "vakra/dtype.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

// Writers always put the offsets table at 64: header, count, zero padding.
constexpr size_t kOffsetsStart = 64;

}  // namespace

Result<StringPlan> plan_string(uint32_t count, std::span<const uint64_t> offsets, ByteView payload,
                               bool check_integrity) {
  VAKRA_RETURN_IF(offsets.size() != uint64_t{count} + 1, make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(offsets.front() != 0, make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(!std::ranges::is_sorted(offsets), make_error(ErrorKind::Malformed));
  VAKRA_RETURN_IF(offsets.back() != payload.size(), make_error(ErrorKind::Malformed));
  const size_t table_len = 8 * (size_t{count} + 1);  // at most 2^35: no overflow on 64-bit
  auto total = wire::checked_add(kOffsetsStart + table_len, payload.size());
  if (total && check_integrity) total = wire::checked_add(*total, kChecksumLength);
  VAKRA_RETURN_IF(!total, make_error(ErrorKind::Malformed));
  return StringPlan{count, offsets, payload, check_integrity, *total};
}

void emit_string(const StringPlan& plan, PacketSink& sink) {
  const MutableBytes head = sink.piece(kOffsetsStart);
  const uint16_t flags = FLAG_STRING | FLAG_ALIGNED | (plan.check_integrity ? FLAG_INTEGRITY : 0);
  write_v4_header(head, flags, dtype_code(Dtype::String), 1);
  wire::store_u32(head.data() + kHeaderLenV4, plan.count);
  std::fill(head.begin() + kHeaderLenV4 + 4, head.end(), uint8_t{0});

  // The host is little-endian (wire_internal.hpp), so the table goes out as it lies.
  const ByteView table(reinterpret_cast<const uint8_t*>(plan.offsets.data()), plan.offsets.size_bytes());
  if (!plan.check_integrity) {
    sink.body(table);
    sink.body(plan.payload);
    return;
  }
  // One checksum over the table and the payload, which need not be
  // neighbours in memory, taken of them as they are written.
  const std::array<ByteView, 2> parts{table, plan.payload};
  sink.checked_parts(parts, hash::Xxh3Stream());
}

Status read_offsets(ReadCursor& cursor, const PacketHeader& header, WalkedOffsets& out) {
  VAKRA_TRY(cursor.shape(header.ndim, out.shape));
  // Only the first dimension counts items; any further ones are carried as is.
  out.count = out.shape.empty() ? 0 : out.shape.front();
  VAKRA_TRY(cursor.body_start(header.flags));
  const size_t footer = checksum_length(header);
  // The last offset is the payload's length; the table is checked when decoding.
  VAKRA_TRY(cursor.take(8 * (out.count + 1), out.offsets, footer));  // at most 2^35
  cursor.seek(out.offsets.end() - 8);
  VAKRA_ASSIGN_OR_RETURN(const uint64_t payload_length, cursor.u64());
  VAKRA_TRY(cursor.take(payload_length, out.payload, footer));
  return cursor.take(footer, out.checksum);
}

Status verify_offsets(const WalkedOffsets& offsets, const ByteSource& bytes) {
  const ByteView table = bytes.stable(offsets.offsets);
  VAKRA_RETURN_IF(wire::load_u64(table.data()) != 0, make_error(ErrorKind::Malformed));
  uint64_t previous = 0;
  for (size_t i = 1; i <= offsets.count; ++i) {
    const uint64_t offset = wire::load_u64(table.data() + 8 * i);
    VAKRA_RETURN_IF(offset < previous, make_error(ErrorKind::Malformed));
    previous = offset;
  }
  // The walk sized the payload by the last offset; frames changed since would show here.
  VAKRA_RETURN_IF(previous != offsets.payload.length, make_error(ErrorKind::Malformed));
  if (offsets.checksum.length != 0) {
    // One digest over the table and the payload, which follow each other in
    // the packet; from frames they may lie apart.
    const ByteView payload = bytes.view(offsets.payload);
    uint64_t digest;
    if (table.data() + table.size() == payload.data()) {
      digest = hash::xxh3({table.data(), table.size() + payload.size()});
    } else {
      hash::Xxh3Stream stream;
      stream.update(table);
      stream.update(payload);
      digest = stream.digest();
    }
    VAKRA_RETURN_IF(bytes.u64_at(offsets.checksum) != digest, make_error(ErrorKind::IntegrityMismatch));
  }
  return {};
}

void offsets_value(WalkedOffsets&& offsets, const ByteSource& bytes, DecodedOffsets& out) {
  out.shape = std::move(offsets.shape);
  out.offsets = bytes.stable(offsets.offsets);
  out.payload = bytes.view(offsets.payload);
}

}  // namespace vakra
