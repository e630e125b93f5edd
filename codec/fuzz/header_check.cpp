// check_header: the header parser and the packet-info reading (header,
// then the raw shape with a saturating element count) on arbitrary bytes,
// each compared with the rules of the wire format written out directly.
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz_check.hpp"
#include "harnesses.hpp"
#include "vakra/decode.hpp"
#include "vakra/header.hpp"

namespace vakra::fuzz {
namespace {

uint32_t load_u32(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24; }

// What get_packet_info_rs reports after the header: every dimension (no
// 32-dimension limit here) and their product, saturating instead of wrapping.
struct ShapeFacts {
  std::vector<uint32_t> dims;
  uint64_t saturated_total = 1;
  bool product_overflowed_early = false;  // some running product overflowed u64
};

ShapeFacts read_info_shape(ByteView input, const PacketHeader& header) {
  ShapeFacts facts;
  for (size_t i = 0; i < header.ndim; ++i) {
    const uint32_t dim = load_u32(input.data() + header.header_len + 4 * i);
    facts.dims.push_back(dim);
    uint64_t next;
    if (__builtin_mul_overflow(facts.saturated_total, uint64_t{dim}, &next)) {
      next = std::numeric_limits<uint64_t>::max();
      facts.product_overflowed_early = true;
    }
    facts.saturated_total = next;
  }
  return facts;
}

void check_header_error(ByteView input, CodecError error) {
  if (input.size() < kHeaderLenV3) {
    FUZZ_CHECK(error.kind == ErrorKind::PacketTooShort);
  } else if (std::memcmp(input.data(), kMagic, 4) != 0) {
    FUZZ_CHECK(error.kind == ErrorKind::InvalidMagic);  // magic before version
  } else if (input[4] == 4) {
    FUZZ_CHECK(error.kind == ErrorKind::PacketTooShort && input.size() < kHeaderLenV4);
  } else {
    FUZZ_CHECK(input[4] != 3);
    FUZZ_CHECK(error.kind == ErrorKind::UnsupportedVersion && error.code == input[4]);
  }
}

void check_header_fields(ByteView input, const PacketHeader& h) {
  FUZZ_CHECK(std::memcmp(input.data(), kMagic, 4) == 0 && h.version == input[4]);
  if (h.version == 3) {
    FUZZ_CHECK(h.header_len == kHeaderLenV3 && h.flags == input[5] && h.dtype_code == input[6] && h.ndim == input[7]);
  } else {
    FUZZ_CHECK(h.version == 4 && h.header_len == kHeaderLenV4 && input.size() >= kHeaderLenV4);
    FUZZ_CHECK(h.flags == (input[5] | input[6] << 8) && h.dtype_code == input[7] && h.ndim == input[8]);
  }
}

void check_shape_facts(ByteView input, const PacketHeader& header) {
  const size_t shape_end = header.header_len + 4 * header.ndim;
  auto shape = read_shape(input, header.header_len, header.ndim);
  if (input.size() < shape_end) {  // "Packet too short to contain shape"
    FUZZ_CHECK(failed_with(shape, header.ndim > MAX_NDIM ? ErrorKind::TooManyDimensions : ErrorKind::PacketTooShort));
    return;
  }
  const ShapeFacts facts = read_info_shape(input, header);
  if (header.ndim > MAX_NDIM) {
    FUZZ_CHECK(failed_with(shape, ErrorKind::TooManyDimensions));
    return;
  }
  FUZZ_CHECK(shape.ok() && *shape == facts.dims);
  // The decoders' count fails on any overflowing step, even one a later 0
  // would cancel; the info count saturates and is then exact.
  auto count = element_count(*shape);
  if (facts.product_overflowed_early || facts.saturated_total > MAX_ELEMENTS) {
    FUZZ_CHECK(failed_with(count, ErrorKind::TooManyElements));
  } else {
    FUZZ_CHECK(count.ok() && *count == facts.saturated_total);
  }
}

}  // namespace

void check_header(ByteView input) {
  auto header = parse_header(input);
  if (!header.ok()) {
    check_header_error(input, header.error());
    // Every decoder reads the header by the same rules.
    auto decoded = decode(input);
    FUZZ_CHECK(!decoded.ok() && decoded.error() == header.error());
    return;
  }
  check_header_fields(input, *header);
  if (!(header->flags & FLAG_BUNDLE)) check_shape_facts(input, *header);
}

}  // namespace vakra::fuzz
