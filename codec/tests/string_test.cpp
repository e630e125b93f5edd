#include <xxhash.h>

#include <optional>
#include <vector>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/header.hpp"
#include "vakra/string.hpp"

namespace vakra {
namespace {

using testing::append_u32;
using testing::append_u64;
using testing::Bytes;
using testing::outcome;

Bytes string_prefix(uint16_t flags, uint32_t count) {
  Bytes out = testing::v4_header(flags, 20, 1);
  append_u32(out, count);
  out.resize(64, 0);
  return out;
}

Result<size_t> encode(uint32_t count, const std::vector<uint64_t>& offsets, const Bytes& payload, Bytes& buffer,
                      bool check) {
  return encode_string_into(count, offsets, payload, buffer, check);
}

TEST(StringEncode, GoldenPackets) {
  struct Case {
    uint32_t count;
    std::vector<uint64_t> offsets;
    Bytes payload;
    bool check;
    size_t size;
  };
  const Case cases[] = {
      {0, {0}, {}, false, 72},
      {0, {0}, {}, true, 80},
      {2, {0, 2, 3}, {'a', 'b', 'c'}, false, 91},
      {2, {0, 2, 3}, {'a', 'b', 'c'}, true, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Bytes expected = string_prefix(c.check ? 0x0103 : 0x0101, c.count);
    for (uint64_t offset : c.offsets) append_u64(expected, offset);
    expected.insert(expected.end(), c.payload.begin(), c.payload.end());
    if (c.check) append_u64(expected, XXH3_64bits(expected.data() + 64, expected.size() - 64));
    ASSERT_EQ(expected.size(), c.size);

    ASSERT_EQ(*string_packet_size(c.count, c.payload.size(), c.check), c.size);
    Bytes buffer(c.size + 5, 0xAA);
    auto written = encode(c.count, c.offsets, c.payload, buffer, c.check);
    ASSERT_EQ(outcome(written), "ok");
    EXPECT_EQ(*written, c.size);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.size), expected);
    EXPECT_EQ(Bytes(buffer.begin() + c.size, buffer.end()), Bytes(5, 0xAA));
  }
}

TEST(StringEncode, RefusesBadOffsetsBeforeWriting) {
  struct Case {
    uint32_t count;
    std::vector<uint64_t> offsets;
    size_t payload_len;
    size_t buffer_len;
    std::string expected;
  };
  const std::string malformed = "Malformed vakra packet";
  const Case cases[] = {
      {1, {1, 2}, 2, 200, malformed},          // does not start at 0
      {2, {0, 3, 2}, 2, 200, malformed},       // decreasing
      {1, {0, 2}, 3, 200, malformed},          // does not end at the payload length
      {1, {0, 1, 2}, 2, 200, malformed},       // one offset too many
      {2, {0, 2}, 2, 200, malformed},          // one offset too few
      {0, {}, 0, 200, malformed},              // no offsets at all
      {4294967295u, {0}, 0, 200, malformed},   // count + 1 must not wrap to 0
      {2, {0, 3, 2}, 2, 0, malformed},         // offsets are checked before capacity
      {2, {0, 2, 2}, 2, 89, "Buffer too small"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.offsets));
    Bytes canary(c.buffer_len, 0x5C);
    Bytes buffer = canary;
    EXPECT_EQ(outcome(encode(c.count, c.offsets, Bytes(c.payload_len, 'x'), buffer, false)), c.expected);
    EXPECT_EQ(buffer, canary);
  }
  EXPECT_EQ(outcome(check_string_offsets(2, std::vector<uint64_t>{0, 0, 0}, 0)), "ok");  // empty strings
}

// Decodes with the header parsed first, as the dispatcher does.
template <class Decoder>
auto decode_with(Decoder decoder, const Bytes& packet) -> decltype(decoder(ByteView{}, PacketHeader{})) {
  auto header = parse_header(packet);
  if (!header.ok()) return header.error();
  return decoder(packet, *header);
}

Result<DecodedString> decode_packet(const Bytes& packet) { return decode_with(decode_string, packet); }

std::vector<uint64_t> offsets_of(ByteView table) {
  std::vector<uint64_t> out;
  for (size_t i = 0; i + 8 <= table.size(); i += 8) {
    uint64_t v = 0;
    for (int b = 7; b >= 0; --b) v = (v << 8) | table[i + b];
    out.push_back(v);
  }
  return out;
}

TEST(StringDecode, ReadsWhatTheEncoderWrites) {
  const std::vector<uint64_t> offsets = {0, 2, 2, 5};
  const Bytes payload = {'a', 'b', 'c', 'd', 'e'};
  for (bool check : {false, true}) {
    Bytes packet(*string_packet_size(3, payload.size(), check));
    ASSERT_TRUE(encode(3, offsets, payload, packet, check).ok());
    packet.push_back(0xEE);  // trailing bytes are ignored
    auto decoded = decode_packet(packet);
    ASSERT_EQ(outcome(decoded), "ok");
    EXPECT_EQ(decoded->shape, std::vector<uint32_t>{3});
    EXPECT_EQ(decoded->offsets.data(), packet.data() + 64);  // a view, not a copy
    EXPECT_EQ(offsets_of(decoded->offsets), offsets);
    EXPECT_EQ(Bytes(decoded->payload.begin(), decoded->payload.end()), payload);
  }
}

// A hand-built body: header, shape, optional alignment byte, padding, offsets, payload.
struct HandBuilt {
  uint16_t flags = FLAG_STRING;
  std::vector<uint32_t> shape = {2};
  std::optional<uint8_t> alignment_byte{};
  size_t padding = 0;
  std::vector<uint64_t> offsets = {0, 1, 3};
  Bytes payload = {'x', 'y', 'z'};

  Bytes build() const {
    Bytes out = testing::v4_header(flags, 20, static_cast<uint8_t>(shape.size()));
    for (uint32_t dim : shape) append_u32(out, dim);
    if (alignment_byte) out.push_back(*alignment_byte);
    out.insert(out.end(), padding, 0);
    for (uint64_t offset : offsets) append_u64(out, offset);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  }
};

TEST(StringDecode, BodyPlacement) {
  struct Case {
    const char* name;
    HandBuilt packet;
    size_t offsets_at;
  };
  const Case cases[] = {
      {"no alignment flags", {.flags = FLAG_STRING}, 14},
      {"custom alignment byte 0", {.flags = FLAG_STRING | FLAG_CUSTOM_ALIGN, .alignment_byte = 0}, 15},
      {"custom alignment 32", {.flags = FLAG_STRING | FLAG_CUSTOM_ALIGN, .alignment_byte = 5, .padding = 17}, 32},
      {"custom wins over aligned",
       {.flags = FLAG_STRING | FLAG_ALIGNED | FLAG_CUSTOM_ALIGN, .alignment_byte = 4, .padding = 1},
       16},
      {"aligned to 64", {.flags = FLAG_STRING | FLAG_ALIGNED, .padding = 50}, 64},
      {"ndim 0 reads one offset", {.shape = {}, .offsets = {0}, .payload = {}}, 10},
      {"only the first dimension counts", {.shape = {2, 5}}, 18},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes packet = c.packet.build();
    auto decoded = decode_packet(packet);
    ASSERT_EQ(outcome(decoded), "ok");
    EXPECT_EQ(decoded->shape, c.packet.shape);
    EXPECT_EQ(decoded->offsets.data(), packet.data() + c.offsets_at);
    EXPECT_EQ(offsets_of(decoded->offsets), c.packet.offsets);
    EXPECT_EQ(Bytes(decoded->payload.begin(), decoded->payload.end()), c.packet.payload);
  }
}

TEST(StringDecode, RaggedSharesTheBody) {
  HandBuilt body;
  body.flags = FLAG_RAGGED | FLAG_ALIGNED;
  body.padding = 50;
  const Bytes packet = body.build();
  auto ragged = decode_with(decode_ragged, packet);
  ASSERT_EQ(outcome(ragged), "ok");
  EXPECT_EQ(ragged->shape, body.shape);
  EXPECT_EQ(ragged->offsets.data(), packet.data() + 64);
  EXPECT_EQ(ragged->payload.data(), packet.data() + 88);
  EXPECT_EQ(ragged->payload.size(), 3u);
}

TEST(StringDecode, RejectsBadBodies) {
  auto with = [](auto change) {
    HandBuilt packet;
    change(packet);
    return packet.build();
  };
  struct Case {
    const char* name;
    Bytes packet;
    std::string expected;
  };
  const Case cases[] = {
      {"first offset not 0", with([](HandBuilt& p) { p.offsets = {1, 1, 3}; }), "Malformed vakra packet"},
      {"decreasing offsets", with([](HandBuilt& p) { p.offsets = {0, 2, 1}; }), "Malformed vakra packet"},
      {"last offset past the end", with([](HandBuilt& p) { p.offsets = {0, 1, 4}; }), "Packet too short"},
      {"alignment byte 64",
       with([](HandBuilt& p) { p.flags |= FLAG_CUSTOM_ALIGN; p.alignment_byte = 64; }),
       "Malformed vakra packet"},
      {"alignment byte 63 puts the table out of reach",
       with([](HandBuilt& p) { p.flags |= FLAG_CUSTOM_ALIGN; p.alignment_byte = 63; }),
       "Packet too short"},
      {"alignment byte missing",
       with([](HandBuilt& p) { p.flags |= FLAG_CUSTOM_ALIGN; p.offsets = {}; p.payload = {}; }),
       "Packet too short"},
      {"count far beyond the packet", with([](HandBuilt& p) { p.shape = {0xFFFFFFFFu}; }), "Packet too short"},
      {"33 dimensions", with([](HandBuilt& p) { p.shape.assign(33, 1); }), "Packet exceeds maximum dimensions"},
      {"checksum missing", with([](HandBuilt& p) { p.flags |= FLAG_INTEGRITY; }), "Packet too short"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(decode_packet(c.packet)), c.expected);
  }
}

TEST(StringDecode, ChecksumCoversOffsetsAndPayloadOnly) {
  const std::vector<uint64_t> offsets = {0, 4};
  const Bytes payload = {'w', 'x', 'y', 'z'};
  Bytes packet(*string_packet_size(1, payload.size(), true));
  ASSERT_TRUE(encode(1, offsets, payload, packet, true).ok());
  struct Case {
    const char* name;
    size_t flip_at;
    std::string expected;
  };
  const size_t checksum_at = packet.size() - 8;
  const Case cases[] = {
      {"padding", 40, "ok"},
      {"reserved header byte", 9, "ok"},
      {"offsets table", 64 + 8 + 1, "Packet too short"},  // the last offset now points far away
      {"payload", 80, "Integrity check failed: XXH3 mismatch"},
      {"stored checksum", checksum_at + 7, "Integrity check failed: XXH3 mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes changed = packet;
    changed[c.flip_at] ^= 0x10;
    EXPECT_EQ(outcome(decode_packet(changed)), c.expected);
  }
}

TEST(StringDecode, EveryTruncationIsTooShort) {
  const std::vector<uint64_t> offsets = {0, 3, 3, 6};
  const Bytes payload = {'o', 'n', 'e', 't', 'w', 'o'};
  for (bool check : {false, true}) {
    Bytes packet(*string_packet_size(3, payload.size(), check));
    ASSERT_TRUE(encode(3, offsets, payload, packet, check).ok());
    for (size_t len = 0; len < packet.size(); ++len) {
      SCOPED_TRACE(len);
      // A heap copy of exactly `len` bytes lets the sanitizer catch any read past it.
      Bytes truncated(packet.begin(), packet.begin() + len);
      EXPECT_EQ(outcome(decode_packet(truncated)), "Packet too short");
    }
  }
}

}  // namespace
}  // namespace vakra
