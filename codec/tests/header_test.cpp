// The error message table, the dtype table and the element-count limit. The
// header and shape rules are checked against every input by the header fuzz harness.
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
