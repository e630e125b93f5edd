#include <xxhash.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/header.hpp"
#include "vakra/quantized.hpp"

namespace vakra {
namespace {

using testing::append_u32;
using testing::Bytes;
using testing::outcome;

Bytes counting(size_t n, uint8_t first) {
  Bytes out(n);
  std::iota(out.begin(), out.end(), first);
  return out;
}

// Owns the bytes a QuantizedView points at.
struct Tensor {
  Dtype dtype = Dtype::Qint8;
  std::vector<uint32_t> shape;
  Bytes scales;
  Bytes zero_points;
  Bytes data;
  uint32_t group_size = 0;
  uint8_t quant_scheme = 0;
  uint8_t axis = 0;

  QuantizedView view() const {
    return {shape, scales, zero_points, data, group_size, quant_scheme, axis, dtype};
  }
};

Tensor qint8_4x8() {
  return {Dtype::Qint8, {4, 8}, counting(16, 0x10), counting(16, 0x40), counting(32, 0x80), 8, 2, 1};
}

Result<DecodedQuantized> decode_packet(ByteView packet) {
  auto header = parse_header(packet);
  if (!header.ok()) return header.error();
  return decode_quantized(packet, *header);
}

Bytes encode(const Tensor& tensor, const EncodeOptions& options) {
  Bytes packet(*quantized_required_size(tensor.view(), options));
  EXPECT_EQ(*encode_quantized_into(tensor.view(), packet, options), packet.size());
  return packet;
}

TEST(QuantizedEncode, GoldenQint8Packets) {
  const Tensor tensor = qint8_4x8();
  for (bool check : {false, true}) {
    SCOPED_TRACE(check);
    Bytes expected = testing::v4_header(check ? 0x0003 : 0x0001, 16, 2);
    append_u32(expected, 4);
    append_u32(expected, 8);
    expected.insert(expected.end(), {2, 1});  // scheme, axis
    append_u32(expected, 8);                  // group size
    append_u32(expected, 4);                  // scale entries
    expected.insert(expected.end(), tensor.scales.begin(), tensor.scales.end());
    expected.insert(expected.end(), tensor.zero_points.begin(), tensor.zero_points.end());
    ASSERT_EQ(expected.size(), 60u);
    expected.resize(64, 0);
    expected.insert(expected.end(), tensor.data.begin(), tensor.data.end());
    if (check) {
      // The two covered ranges, assembled here and hashed in one shot.
      Bytes covered(expected.begin() + 18, expected.end());
      covered.erase(covered.begin() + (60 - 18), covered.begin() + (64 - 18));
      testing::append_u64(expected, XXH3_64bits(covered.data(), covered.size()));
    }
    ASSERT_EQ(expected.size(), check ? 104u : 96u);

    const EncodeOptions options{64, check, true};  // compress is ignored
    ASSERT_EQ(*quantized_required_size(tensor.view(), options), expected.size());
    Bytes buffer(expected.size() + 4, 0xCC);
    auto written = encode_quantized_into(tensor.view(), buffer, options);
    ASSERT_EQ(outcome(written), "ok");
    EXPECT_EQ(*written, expected.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + expected.size()), expected);
    EXPECT_EQ(Bytes(buffer.begin() + expected.size(), buffer.end()), Bytes(4, 0xCC));
  }
}

TEST(QuantizedEncode, LayoutByAlignmentAndDtype) {
  struct Case {
    const char* name;
    Tensor tensor;
    size_t alignment;
    uint16_t flags;
    size_t body_start;
    size_t value_bytes;
  };
  // shape [3] with one scale entry: the zero points end at 10 + 4 + 10 + 8 = 32.
  const Tensor one_dim{Dtype::Quint8, {3}, counting(4, 1), counting(4, 9), counting(3, 20)};
  const Case cases[] = {
      {"alignment 64", one_dim, 64, 0x0001, 64, 3},
      {"alignment 16", one_dim, 16, 0x0080, 48, 3},
      {"alignment 1", one_dim, 1, 0x0080, 33, 3},
      {"alignment 128", one_dim, 128, 0x0080, 128, 3},
      {"quint4 rounds up", {Dtype::Quint4, {5}, {}, {}, counting(5, 7)}, 64, 0x0001, 64, 3},
      {"qint4 even count", {Dtype::Qint4, {2, 3}, {}, {}, counting(3, 7)}, 64, 0x0001, 64, 3},
      {"scalar", {Dtype::Qint8, {}, {}, {}, counting(1, 7)}, 64, 0x0001, 64, 1},
      {"empty tensor", {Dtype::Qint8, {0, 4}, {}, {}, {}}, 64, 0x0001, 64, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncodeOptions options{c.alignment, false, false};
    const size_t total = c.body_start + c.value_bytes;
    ASSERT_EQ(outcome(quantized_required_size(c.tensor.view(), options)), "ok");
    EXPECT_EQ(*quantized_required_size(c.tensor.view(), options), total);
    Bytes buffer(total + 8, 0xCC);
    ASSERT_EQ(*encode_quantized_into(c.tensor.view(), buffer, options), total);
    EXPECT_EQ(buffer[5] | buffer[6] << 8, c.flags);
    EXPECT_EQ(buffer[7], dtype_code(c.tensor.dtype));
    const size_t tables_end = 10 + 4 * c.tensor.shape.size() + 10 + 2 * c.tensor.scales.size();
    if (c.alignment != 64) {
      EXPECT_EQ(buffer[tables_end], __builtin_ctzll(c.alignment));
    }
    const size_t padding_start = tables_end + (c.alignment != 64 ? 1 : 0);
    EXPECT_EQ(Bytes(buffer.begin() + padding_start, buffer.begin() + c.body_start),
              Bytes(c.body_start - padding_start, 0));
    // Only the first V bytes of the codes are written; nothing after the packet.
    EXPECT_EQ(Bytes(buffer.begin() + c.body_start, buffer.begin() + total),
              Bytes(c.tensor.data.begin(), c.tensor.data.begin() + c.value_bytes));
    EXPECT_EQ(Bytes(buffer.begin() + total, buffer.end()), Bytes(8, 0xCC));
  }
}

TEST(QuantizedEncode, RefusesBadViewsInOrderWithoutWriting) {
  auto with = [](auto change) {
    Tensor tensor = qint8_4x8();
    change(tensor);
    return tensor;
  };
  const auto bad_alignment = [](Tensor&) {};
  const auto int8 = [](Tensor& t) { t.dtype = Dtype::Int8; };
  const auto ndim33 = [](Tensor& t) { t.shape.assign(33, 1); };
  const auto uneven_tables = [](Tensor& t) { t.zero_points.resize(12); };
  const auto huge = [](Tensor& t) { t.shape = {100000, 10001}; };
  struct Case {
    const char* name;
    Tensor tensor;
    size_t alignment;
    size_t buffer_len;
    std::string expected;
  };
  const std::string malformed = "Malformed vakra packet";
  const Case cases[] = {
      {"alignment 48", with(bad_alignment), 48, 200, malformed},
      {"alignment 0", with(bad_alignment), 0, 200, malformed},
      {"alignment before dtype", with(int8), 3, 200, malformed},
      {"int8 is not quantized", with(int8), 64, 200, "Unsupported or unknown dtype code: 9"},
      {"string is not quantized", with([](Tensor& t) { t.dtype = Dtype::String; }), 64, 200,
       "Unsupported or unknown dtype code: 20"},
      {"dtype before dimensions", with([&](Tensor& t) { int8(t); ndim33(t); }), 64, 200,
       "Unsupported or unknown dtype code: 9"},
      {"33 dimensions", with(ndim33), 64, 200, "Packet exceeds maximum dimensions"},
      {"dimensions before tables", with([&](Tensor& t) { ndim33(t); uneven_tables(t); }), 64, 200,
       "Packet exceeds maximum dimensions"},
      {"scales 16, zero points 12", with(uneven_tables), 64, 200, malformed},
      {"tables of 6 bytes", with([](Tensor& t) { t.scales.resize(6); t.zero_points.resize(6); }), 64, 200,
       malformed},
      {"tables before element count", with([&](Tensor& t) { uneven_tables(t); huge(t); }), 64, 200, malformed},
      {"too many elements", with(huge), 64, 200, "Packet exceeds maximum elements"},
      {"element count before data", with([&](Tensor& t) { huge(t); t.data.clear(); }), 64, 200,
       "Packet exceeds maximum elements"},
      {"data one byte short", with([](Tensor& t) { t.data.resize(31); }), 64, 200, malformed},
      {"quint4 data short", {Dtype::Quint4, {5}, {}, {}, counting(2, 0)}, 64, 200, malformed},
      {"buffer one byte short", qint8_4x8(), 64, 95, "Buffer too small"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncodeOptions options{c.alignment, false, false};
    const bool sizing_fails = c.expected != "Buffer too small";
    EXPECT_EQ(outcome(quantized_required_size(c.tensor.view(), options)), sizing_fails ? c.expected : "ok");
    const Bytes canary(c.buffer_len, 0x3E);
    Bytes buffer = canary;
    EXPECT_EQ(outcome(encode_quantized_into(c.tensor.view(), buffer, options)), c.expected);
    EXPECT_EQ(buffer, canary);
  }
}

TEST(QuantizedDecode, RoundTripsAsViews) {
  Tensor tensor = qint8_4x8();
  tensor.axis = 255;
  tensor.group_size = 0xA1B2C3D4;
  for (const Tensor& t : {tensor, Tensor{Dtype::Qint4, {7}, {}, {}, counting(4, 3), 0, 9, 0}}) {
    for (size_t alignment : {size_t{1}, size_t{16}, size_t{64}}) {
      for (bool check : {false, true}) {
        SCOPED_TRACE(::testing::Message() << dtype_name(t.dtype) << " alignment " << alignment << " check " << check);
        Bytes packet = encode(t, {alignment, check, false});
        const size_t body_start = packet.size() - t.data.size() - (check ? 8 : 0);
        packet.insert(packet.end(), {1, 2, 3});  // trailing bytes are ignored
        auto decoded = decode_packet(packet);
        ASSERT_EQ(outcome(decoded), "ok");
        EXPECT_EQ(decoded->dtype, t.dtype);
        EXPECT_EQ(decoded->shape, t.shape);
        EXPECT_EQ(decoded->axis, t.axis);
        EXPECT_EQ(decoded->group_size, t.group_size);
        EXPECT_EQ(decoded->quant_scheme, t.quant_scheme);
        EXPECT_EQ(Bytes(decoded->scales.begin(), decoded->scales.end()), t.scales);
        EXPECT_EQ(Bytes(decoded->zero_points.begin(), decoded->zero_points.end()), t.zero_points);
        EXPECT_EQ(decoded->data.data(), packet.data() + body_start);
        EXPECT_EQ(Bytes(decoded->data.begin(), decoded->data.end()), t.data);
      }
    }
  }
}

TEST(QuantizedDecode, ChecksumCoversParametersTablesAndBody) {
  const Bytes packet = encode(qint8_4x8(), {16, true, false});
  // Shape [4, 8]: parameters at 18, zero points end at 60, alignment byte 60, padding 61..63, body 64..95.
  struct Case {
    const char* name;
    size_t flip_at;
    std::string expected;
  };
  const Case cases[] = {
      {"reserved header byte", 9, "ok"},
      {"padding", 62, "ok"},
      {"quant scheme", 18, "Integrity check failed: XXH3 mismatch"},
      {"group size", 21, "Integrity check failed: XXH3 mismatch"},
      {"scale", 30, "Integrity check failed: XXH3 mismatch"},
      {"zero point", 59, "Integrity check failed: XXH3 mismatch"},
      {"body", 95, "Integrity check failed: XXH3 mismatch"},
      {"stored checksum", 96, "Integrity check failed: XXH3 mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes changed = packet;
    changed[c.flip_at] ^= 0x01;
    EXPECT_EQ(outcome(decode_packet(changed)), c.expected);
  }
}

TEST(QuantizedDecode, RejectsBadPackets) {
  const Bytes good = encode(qint8_4x8(), {64, true, false});
  auto with = [&](auto change) {
    Bytes packet = good;
    change(packet);
    return packet;
  };
  auto set_u32 = [](Bytes& p, size_t at, uint32_t v) { std::memcpy(p.data() + at, &v, sizeof v); };
  struct Case {
    const char* name;
    Bytes packet;
    std::string expected;
  };
  const Case cases[] = {
      {"scale count of a million in a short packet",
       with([&](Bytes& p) { set_u32(p, 24, 1000000); p.resize(200, 0); }), "Packet too short"},
      {"scale count at the u32 limit", with([&](Bytes& p) { set_u32(p, 24, 0xFFFFFFFF); }), "Packet too short"},
      {"dimension beyond the body", with([&](Bytes& p) { set_u32(p, 14, 9); }), "Packet too short"},
      {"too many elements", with([&](Bytes& p) { set_u32(p, 10, 1000000); set_u32(p, 14, 1001); }),
       "Packet exceeds maximum elements"},
      {"33 dimensions", with([](Bytes& p) { p[8] = 33; }), "Packet exceeds maximum dimensions"},
      {"alignment byte 64", with([](Bytes& p) { p[5] = 0x82; p[60] = 64; }), "Malformed vakra packet"},
      {"alignment byte 63", with([](Bytes& p) { p[5] = 0x82; p[60] = 63; }), "Packet too short"},
      {"dtype code 0", with([](Bytes& p) { p[7] = 0; }), "Unsupported or unknown dtype code: 0"},
      {"dtype code 22", with([](Bytes& p) { p[7] = 22; }), "Unsupported or unknown dtype code: 22"},
      {"dense dtype code", with([](Bytes& p) { p[7] = 1; }), "Unsupported or unknown dtype code: 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(decode_packet(c.packet)), c.expected);
  }
}

TEST(QuantizedDecode, NoAlignmentFlagReadsBodyRightAfterTables) {
  Bytes packet = encode(qint8_4x8(), {64, false, false});
  packet[5] = 0;  // neither alignment flag: the body starts where the zero points end
  auto decoded = decode_packet(packet);
  ASSERT_EQ(outcome(decoded), "ok");
  EXPECT_EQ(decoded->data.data(), packet.data() + 60);
}

TEST(QuantizedDecode, EveryTruncationIsTooShort) {
  for (size_t alignment : {size_t{1}, size_t{64}}) {
    const Bytes packet = encode(qint8_4x8(), {alignment, true, false});
    for (size_t len = 0; len < packet.size(); ++len) {
      SCOPED_TRACE(len);
      Bytes truncated(packet.begin(), packet.begin() + len);
      EXPECT_EQ(outcome(decode_packet(truncated)), "Packet too short");
    }
  }
}

}  // namespace
}  // namespace vakra
