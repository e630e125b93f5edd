// The decoder on packets edited by hand: kind precedence, the rules of each
// kind's framing, what checksums cover and the nesting limit. Header rules,
// compressed children, truncations and random damage are left to the fuzz
// harnesses and the Python sweep.
#include <gtest/gtest.h>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"

namespace vakra {
namespace {

using namespace testing;

enum Alternative { kDense, kBundle, kSparse, kQuantized, kString, kRagged, kInline };

Bytes inline_packet(uint16_t flags = FLAG_INLINE, uint8_t ndim = 0, uint8_t reserved = 1, size_t size = 106) {
  return concat(v4_header(flags, 0, ndim, reserved), Bytes(size - 10, 0x5A));
}

TEST(Decode, KindPrecedence) {
  const std::vector<Bytes> triple = sound_components();
  // coo over csr over csc; a csc packet may have no matrix dimensions.
  const std::tuple<Bytes, int, SparseFormat> cases[] = {
      {bundle({}, FLAG_BUNDLE | FLAG_STRING), kBundle, {}},
      {inline_packet(FLAG_INLINE | FLAG_BUNDLE), kInline, {}},
      {with(dense({3}), 6, {0xF8}), kDense, {}},  // bits 11 to 15 mean nothing
      {sparse(0x0028, {2, 3}, triple), kSparse, SparseFormat::coo}, {sparse(0x0048, {2, 3}, triple), kSparse, SparseFormat::coo},
      {sparse(0x0060, {2, 3}, triple), kSparse, SparseFormat::csr}, {sparse(0x0040, {}, triple), kSparse, SparseFormat::csc},
  };
  for (const auto& [packet, alternative, format] : cases) {
    const auto decoded = decode(packet);
    ASSERT_EQ(static_cast<int>(decoded->value.index()), alternative);
    EXPECT_TRUE(alternative != kSparse || std::get<DecodedSparse>(decoded->value).format == format);
  }
}

TEST(Decode, HandEditedPackets) {
  const std::string bad = "Malformed vakra packet", short_ = "Packet too short", mismatch = "Integrity check failed: XXH3 mismatch";
  Bytes nested = bundle({}), short_count = bundle({{"a", dense({1})}, {"b", dense({1})}});
  for (int i = 0; i < 65; ++i) nested = bundle({{"k", nested}});
  short_count[8] = 3;
  const std::vector<Bytes> triple = sound_components();
  // int32 [2]: body at 64; with alignment 1, the alignment byte at 14.
  const Bytes standard = dense({2}, Dtype::Int32), byte_aligned = dense({2}, Dtype::Int32, {1, false, false});
  // Two strings "x", "yz": offsets at 64, 72, 80, payload at 88.
  const std::vector<uint64_t> offsets = {0, 1, 3};
  const uint8_t xyz[] = {'x', 'y', 'z'};
  const Bytes text = encode(plan_string(2, offsets, xyz, false)), checked_text = encode(plan_string(2, offsets, xyz, true));
  // qint8 [4, 8], four table entries: parameters at 18, scales 28..43, zero
  // points 44..59, alignment byte 60, padding 61..63, codes 64..95.
  const std::vector<uint32_t> shape = {4, 8};
  const Bytes tables(16, 0x10), codes(32, 0x80);
  Bytes q = encode(plan_quantized({shape, tables, tables, codes, 0xA1B2C3D4, 2, 255, Dtype::Qint8}, {16, true, false}));
  Bytes q_claims_a_million = with(q, 24, {0x40, 0x42, 0x0F, 0});
  q_claims_a_million.resize(200);
  const std::pair<Bytes, std::string> cases[] = {
      {inline_packet(FLAG_INLINE, 0, 1, 105), short_},
      {inline_packet(FLAG_INLINE | FLAG_INTEGRITY), bad},
      {inline_packet(FLAG_INLINE, 0, 0), bad},  // reserved byte 0
      {inline_packet(FLAG_INLINE, 1, 1), bad},  // count byte 1
      {nested, bad},                            // 66 levels
      {short_count, short_},
      {bundle({{"\xC0\x80", dense({1})}}), bad},  // overlong
      {bundle({{"\xED\xA0\x80", dense({1})}}), bad},  // surrogate
      {bundle({{"\xF4\x90\x80\x80", dense({1})}}), bad},  // above U+10FFFF
      {bundle({{"\xF4\x8F\xBF\xBF", dense({1})}}), "ok"},
      // A child's error comes back unchanged.
      {bundle({{"a", dense({1})}, {"b", with(dense({1}), 4, {7})}}), "Unsupported protocol version: 7"},
      {sparse(FLAG_SPARSE_COO, {2, 3}, {triple[0], triple[1], with(triple[2], 0, {'X'})}), "Invalid vakra packet"},
      {with(standard, 9, {0x77}), "ok"},  // reserved byte
      {with(byte_aligned, 14, {63}), short_},
      {with(byte_aligned, 14, {64}), bad},
      {with(with(standard, 8, {2}), 14, {0, 0, 0, 0x7F}), "Packet exceeds maximum elements"},
      // A compressed body's frame runs to the end of the input.
      {concat(dense({2}, Dtype::Int32, {64, true, true}), {0}), mismatch},
      {with(text, 64, {1}), bad},                              // first offset not 0
      {with(text, 72, {4}), bad},                              // decreasing
      {with(text, 80, {4}), short_},                           // past the payload
      {with(text, 10, {0xFF, 0xFF, 0xFF, 0xFF}), short_},      // 2^32 - 1 strings
      {with(checked_text, 72, {2}), mismatch},                 // offsets are covered
      {with(q, 62, {0xEE}), "ok"},                             // padding is not
      {with(q, 21, {0xEE}), mismatch},                         // group size is
      {q_claims_a_million, short_},
      {with(q, 60, {64}), bad},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(outcome(decode(cases[i].first)), cases[i].second) << "row " << i;
  EXPECT_EQ(outcome(decode_depth(ByteView(bundle({})), MAX_NESTING_DEPTH + 1)), bad);
}

}  // namespace
}  // namespace vakra
