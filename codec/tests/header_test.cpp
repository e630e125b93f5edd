// Header parsing (v3 and v4), error messages, the dtype table, shapes and the
// element-count limit.
#include <gtest/gtest.h>

#include <limits>

#include "test_bytes.hpp"
#include "vakra/dtype.hpp"
#include "vakra/header.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::outcome;

// Each row: input, then "ok" or the error, then ndim, header length, flags, version, dtype code.
TEST(ParseHeader, Table) {
  using Fields = std::tuple<size_t, size_t, uint16_t, uint8_t, uint8_t>;
  const std::tuple<Bytes, std::string, Fields> cases[] = {
      {bytes_of({'V', 'K', 'R', 'A', 4, 0, 0}), "Packet too short", {}},
      {bytes_of({'V', 'K', 'R', 'A', 3, 0x83, 7, 5}), "ok", {5, 8, 0x83, 3, 7}},
      {bytes_of({'V', 'K', 'R', 'A', 4, 1, 0, 1, 2}), "Packet too short", {}},
      {bytes_of({'V', 'K', 'R', 'A', 4, 0x01, 0x04, 3, 2, 9}), "ok", {2, 10, 0x0401, 4, 3}},
      {bytes_of({'V', 'K', 'R', 'B', 9, 0, 0, 0, 0, 0}), "Invalid vakra packet", {}},  // magic before version
      {bytes_of({'V', 'K', 'R', 'A', 5, 0, 0, 0, 0, 0}), "Unsupported protocol version: 5", {}},
      {bytes_of({'V', 'K', 'R', 'A', 0, 0, 0, 0}), "Unsupported protocol version: 0", {}},
  };
  for (const auto& [input, expected, fields] : cases) {
    const auto h = parse_header(input);
    ASSERT_EQ(outcome(h), expected) << input.size() << " bytes";
    if (h.ok()) {
      EXPECT_EQ(Fields(h->ndim, h->header_len, h->flags, h->version, h->dtype_code), fields);
    }
  }
  Bytes out(10, 0xAA);
  write_v4_header(out, 0x0482, 14, 32);
  EXPECT_EQ(out, bytes_of({'V', 'K', 'R', 'A', 4, 0x82, 0x04, 14, 32, 0}));
}

TEST(ErrorMessages, EveryKindHasItsText) {
  const std::pair<CodecError, std::string> rows[] = {
      {make_error(ErrorKind::PacketTooShort), "Packet too short"},
      {make_error(ErrorKind::InvalidMagic), "Invalid vakra packet"},
      {make_error(ErrorKind::UnsupportedVersion, 7), "Unsupported protocol version: 7"},
      {make_error(ErrorKind::UnknownDtype, 255), "Unsupported or unknown dtype code: 255"},
      {make_error(ErrorKind::TooManyDimensions), "Packet exceeds maximum dimensions"},
      {make_error(ErrorKind::TooManyElements), "Packet exceeds maximum elements"},
      {make_error(ErrorKind::IntegrityMismatch), "Integrity check failed: XXH3 mismatch"},
      {make_error(ErrorKind::TooManyBundleEntries),
       "Bundle has too many entries; the wire format encodes the entry count in a single byte, so at most 255 "
       "entries are supported"},
      {other_error(kCompressedNeedsOwningPath), "compressed dense bodies require an owning decode path"},
      {make_error(ErrorKind::BufferTooSmall), "Buffer too small"},
      {make_error(ErrorKind::Malformed), "Malformed vakra packet"},
  };
  static_assert(std::size(rows) == kErrorKindCount);
  for (int kind = 0; kind < kErrorKindCount; ++kind) {
    EXPECT_EQ(static_cast<int>(rows[kind].first.kind), kind);
    EXPECT_EQ(error_message(rows[kind].first), rows[kind].second);
  }
  EXPECT_EQ(error_message(other_error(kLz4EncodeFailed)), "LZ4 frame encode failed");
  EXPECT_EQ(error_message(other_error(kLz4FinishFailed)), "LZ4 frame finish failed");
  EXPECT_EQ(error_message(other_error(kLz4DecompressFailed)), "LZ4 frame decompression failed");
}

TEST(Dtype, WireTable) {
  const std::pair<std::string_view, size_t> table[] = {
      {"float32", 4}, {"int32", 4},    {"float64", 8},   {"int64", 8},      {"uint8", 1},     {"uint16", 2},
      {"bool", 1},    {"float16", 2},  {"int8", 1},      {"int16", 2},      {"uint32", 4},    {"uint64", 8},
      {"complex64", 8}, {"complex128", 16}, {"bfloat16", 2}, {"qint8", 1}, {"quint8", 1},  {"qint4", 0},
      {"quint4", 0},  {"string", 0},   {"bytes", 0},
  };
  for (uint8_t code = 1; code <= 21; ++code) {
    SCOPED_TRACE(code);
    const auto dtype = dtype_from_code(code);
    ASSERT_TRUE(dtype.ok());
    EXPECT_EQ(dtype_code(*dtype), code);
    EXPECT_EQ(dtype_name(*dtype), table[code - 1].first);
    EXPECT_EQ(element_size(*dtype), table[code - 1].second);
    EXPECT_EQ(dense_dtype_from_name(table[code - 1].first), code <= 15 ? std::optional(*dtype) : std::nullopt);
  }
  EXPECT_EQ(outcome(dtype_from_code(0)), "Unsupported or unknown dtype code: 0");
  EXPECT_EQ(outcome(dtype_from_code(22)), "Unsupported or unknown dtype code: 22");
}

TEST(ReadShape, LimitsAndBounds) {
  Bytes bytes = testing::concat(Bytes(10), {0x04, 0x03, 0x02, 0x01});
  bytes.resize(10 + 4 * 32, 0);
  const auto shape = read_shape(bytes, 10, 32);
  ASSERT_EQ(outcome(shape), "ok");
  EXPECT_EQ(std::make_pair(shape->size(), (*shape)[0]), std::make_pair(size_t{32}, 0x01020304u));
  EXPECT_EQ(read_shape(bytes, 10, 0)->size(), 0u);
  // 33 dimensions are refused before the length is looked at.
  EXPECT_EQ(outcome(read_shape(Bytes(10), 10, 33)), "Packet exceeds maximum dimensions");
  EXPECT_EQ(outcome(read_shape(bytes, 11, 32)), "Packet too short");
  EXPECT_EQ(outcome(read_shape(bytes, std::numeric_limits<size_t>::max() - 2, 1)), "Malformed vakra packet");
}

TEST(ElementCount, LimitAndOverflow) {
  constexpr uint32_t kMax = 4294967295u;
  const std::pair<std::vector<uint32_t>, std::string> cases[] = {
      {{}, "1"},
      {{0, 7}, "0"},
      {{1000, 1000, 1000}, "1000000000"},
      {{1000000001}, "Packet exceeds maximum elements"},
      {{100000, 100000, 0}, "0"},  // the intermediate product is not limited
      {{kMax, kMax, kMax, 0}, "Packet exceeds maximum elements"},  // 64-bit overflow at the third step
      {{0, kMax, kMax, kMax}, "0"},
  };
  for (const auto& [shape, expected] : cases) {
    const auto count = element_count(shape);
    EXPECT_EQ(count.ok() ? std::to_string(*count) : outcome(count), expected);
  }
}

}  // namespace
}  // namespace vakra
