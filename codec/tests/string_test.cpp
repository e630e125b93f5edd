#include <xxhash.h>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/plan.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;
using Offsets = std::vector<uint64_t>;

// Header and shape, optional alignment byte, zero padding, offsets, payload,
// and with FLAG_INTEGRITY the XXH3 of exactly the offsets and the payload.
Bytes packet(uint16_t flags, std::vector<uint32_t> shape, Bytes alignment_byte, size_t padding,
             const Offsets& offsets = {0, 1, 3}, const std::string& payload = "xyz") {
  Bytes out = testing::v4_header(flags, 20, static_cast<uint8_t>(shape.size()));
  for (uint32_t dim : shape) testing::append_u32(out, dim);
  out.insert(out.end(), alignment_byte.begin(), alignment_byte.end());
  out.insert(out.end(), padding, 0);
  const size_t table_start = out.size();
  for (uint64_t offset : offsets) testing::append_u64(out, offset);
  out.insert(out.end(), payload.begin(), payload.end());
  if (flags & FLAG_INTEGRITY) testing::append_u64(out, XXH3_64bits(&out[table_start], out.size() - table_start));
  return out;
}

Result<DecodedOffsets> decode_body(const Bytes& bytes) { return decode_offset_payload(bytes, *parse_header(bytes)); }

TEST(StringPacket, EncodesGoldenPacketsAndRefusesBadOffsets) {
  struct Case { uint32_t count; Offsets offsets; std::string payload; bool check; size_t size; std::string expected; };
  const std::string bad = "Malformed vakra packet";
  const Case cases[] = {
      {0, {0}, "", false, 72, "ok"}, {0, {0}, "", true, 80, "ok"}, {2, {0, 2, 3}, "abc", false, 91, "ok"},
      {1, {1, 2}, "ab", false, 99, bad}, {2, {0, 3, 2}, "abc", false, 99, bad}, {1, {0, 2}, "abc", false, 99, bad},
      {1, {0, 1, 2}, "ab", false, 99, bad}, {0xFFFFFFFF, {0}, "", false, 99, bad},
      {2, {0, 3, 2}, "abc", false, 0, bad}, {2, {0, 2, 2}, "ab", false, 89, "Buffer too small"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.offsets));
    const Bytes payload(c.payload.begin(), c.payload.end());
    auto planned = plan_string(c.count, c.offsets, payload, c.check);
    if (!planned.ok()) {
      EXPECT_EQ(outcome(planned), c.expected);
      continue;
    }
    Bytes buffer(c.size + 1, 0xAA);
    const Bytes canary = buffer;
    EXPECT_EQ(outcome(write_plan_checked(PacketPlan{*planned}, {buffer.data(), c.size})), c.expected);
    if (c.expected != "ok") {
      EXPECT_EQ(buffer, canary);
      continue;
    }
    EXPECT_EQ(planned->size, c.size);
    buffer.pop_back();  // the byte after the packet was left alone
    EXPECT_EQ(buffer, packet(c.check ? 0x0103 : 0x0101, {c.count}, {}, 50, c.offsets, c.payload));
  }
}

TEST(StringPacket, DecodesHandBuiltBodies) {
  const uint16_t S = FLAG_STRING, C = FLAG_CUSTOM_ALIGN;
  const std::string ok = "ok", bad = "Malformed vakra packet", short_ = "Packet too short";
  struct Case { const char* name; Bytes packet; size_t table_at; std::string expected; };
  const Case cases[] = {
      {"aligned to 64", packet(S | FLAG_ALIGNED | FLAG_INTEGRITY, {2}, {}, 50), 64, ok},
      {"no alignment flags", packet(FLAG_RAGGED, {2}, {}, 0), 14, ok},
      {"custom alignment byte 0", packet(S | C, {2}, {0}, 0), 15, ok},
      {"custom alignment byte 4", packet(S | C | FLAG_ALIGNED, {2}, {4}, 1), 16, ok},
      {"ndim 0: one offset", packet(S, {}, {}, 0, {0}, ""), 10, ok},
      {"shape [2, 5]: two items", packet(S, {2, 5}, {}, 0), 18, ok},
      {"alignment byte 64", packet(S | C, {2}, {64}, 0), 0, bad},
      {"first offset not 0", packet(S, {2}, {}, 0, {1, 1, 3}), 0, bad},
      {"decreasing", packet(S, {2}, {}, 0, {0, 2, 1}), 0, bad},
      {"last offset past the end", packet(S, {2}, {}, 0, {0, 1, 4}), 0, short_},
      {"count beyond the packet", packet(S, {0xFFFFFFFF}, {}, 0, {0}, ""), 0, short_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode_body(c.packet);
    ASSERT_EQ(outcome(decoded), c.expected);
    if (!decoded.ok()) continue;
    EXPECT_EQ(decoded->shape.size(), c.packet[8]);
    EXPECT_EQ(decoded->offsets.data(), &c.packet[c.table_at]);
    EXPECT_EQ(decoded->payload.data(), decoded->offsets.data() + decoded->offsets.size());
    EXPECT_EQ(decoded->payload.size(), c.packet[8] == 0 ? 0u : 3u);
    EXPECT_EQ(decode_ragged(c.packet, *parse_header(c.packet))->offsets.data(), decoded->offsets.data());
  }
}

TEST(StringPacket, ChecksumAndTruncation) {
  const Bytes good = packet(0x0103, {3}, {}, 50, {0, 3, 3, 6}, "onetwo");
  struct Case { size_t flip_at; std::string expected; };
  for (const Case& c : {Case{40, "ok"}, {97, "Integrity check failed: XXH3 mismatch"},
                        {good.size() - 1, "Integrity check failed: XXH3 mismatch"}}) {
    Bytes changed = good;
    changed[c.flip_at] ^= 0x10;
    EXPECT_EQ(outcome(decode_body(changed)), c.expected) << c.flip_at;
  }
  for (size_t len = 10; len < good.size(); ++len) {  // exact heap copies: the sanitizer sees any overread
    EXPECT_EQ(outcome(decode_body(Bytes(good.begin(), good.begin() + len))), "Packet too short") << len;
  }
}

}  // namespace
}  // namespace vakra
