// Segment lists: concatenated, they are the written packet, and bodies at or
// above the copy threshold are views of the inputs (or of the plan's own
// compressed frame), not copies. That a nested plan writes the same bytes as
// its children written apart and framed is the roundtrip fuzz harness's check.
#include "test_bytes.hpp"
#include "vakra/plan.hpp"
#include "vakra/segments.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

// Bytes LZ4 cannot shrink, so a compressed body stays large.
Bytes noise(size_t n) {
  Bytes out(n);
  uint32_t state = 12345;
  for (uint8_t& b : out) b = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 24);
  return out;
}

template <class Plan>
Result<PacketPlan> as_plan(Result<Plan> plan) {
  if (!plan.ok()) return plan.error();
  return PacketPlan{std::move(plan).value()};
}

Status add(BundlePlan& bundle, ByteView key, Result<PacketPlan> value) {
  VAKRA_TRY(value);
  bundle.entries.push_back({key, std::move(value).value()});
  return {};
}

TEST(Plan, SegmentsConcatenateToTheWrittenPacket) {
  const std::vector<uint32_t> small_shape = {3, 4}, vector_shape = {2048}, codes_shape = {100, 60};
  const Bytes small = Bytes(48, 0x31), vector = noise(16384), payload(5000, 'p'), scales(8, 0x3F), codes(6000, 0x11);
  const std::vector<uint64_t> offsets = {0, 3, 3, 5000};
  const Bytes key_s = {'s'}, key_in = {'i', 'n'}, key_v = {'v'}, key_t = {'t'};
  const DenseView small_view{small, small_shape, Dtype::Float32}, vector_view{vector, vector_shape, Dtype::Int64};
  const QuantizedView quantized{codes_shape, scales, scales, codes, 4, 1, 0, Dtype::Qint8};
  auto compressed = [&] { return as_plan(plan_dense(vector_view, {64, false, true})); };
  auto text = [&] { return as_plan(plan_string(3, offsets, payload, true)); };
  auto nested = [&]() -> Result<PacketPlan> {  // { s: small dense, in: { v: compressed, t: strings } }
    BundlePlan inner, outer;
    VAKRA_TRY(add(inner, key_v, compressed()));
    VAKRA_TRY(add(inner, key_t, text()));
    VAKRA_TRY(finish_bundle_plan(inner));
    VAKRA_TRY(add(outer, key_s, as_plan(plan_dense(small_view, {16, true, false}))));
    outer.entries.push_back({key_in, PacketPlan{std::move(inner)}});
    VAKRA_TRY(finish_bundle_plan(outer));
    return PacketPlan{std::move(outer)};
  };
  struct Case { const char* name; Result<PacketPlan> plan; std::vector<const uint8_t*> borrowed; };
  const Case cases[] = {
      {"dense, checksum", as_plan(plan_dense(vector_view, {64, true, false})), {vector.data()}},
      {"dense, compressed", compressed(), {nullptr}},
      {"dense below the threshold", as_plan(plan_dense(small_view, {16, true, false})), {}},
      {"string, checksum", text(), {payload.data()}},
      {"quantized, checksum", as_plan(plan_quantized(quantized, {16, true, false})), {codes.data()}},
      {"nested bundle", nested(), {nullptr, payload.data()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(outcome(c.plan), "ok");
    Bytes expected(c.plan->size());
    write_plan(*c.plan, expected);
    for (const size_t copy_below : {size_t{1}, kSegmentCopyBelow, SIZE_MAX}) {
      const SegmentList list = plan_segments(*c.plan, copy_below);
      Bytes joined;
      std::vector<const uint8_t*> borrowed;
      for (const Segment& segment : list.segments()) {
        EXPECT_FALSE(segment.bytes.empty());
        joined.insert(joined.end(), segment.bytes.begin(), segment.bytes.end());
        if (segment.borrowed) borrowed.push_back(segment.bytes.data());
      }
      EXPECT_EQ(joined, expected) << copy_below;
      EXPECT_EQ(list.size(), expected.size());
      if (copy_below == SIZE_MAX) {
        EXPECT_EQ(list.segments().size(), 1u);
      }
      if (copy_below != kSegmentCopyBelow) continue;
      ASSERT_EQ(borrowed.size(), c.borrowed.size());
      for (size_t i = 0; i < borrowed.size(); ++i) {
        // nullptr stands for the compressed frame, which lies outside the inputs.
        if (c.borrowed[i] != nullptr) EXPECT_EQ(borrowed[i], c.borrowed[i]);
        else EXPECT_NE(borrowed[i], vector.data());
      }
    }
  }
}

}  // namespace
}  // namespace vakra
