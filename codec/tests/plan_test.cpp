// Segment lists: bodies at or above the copy threshold are views of the inputs
// (or of the plan's own compressed frame), not copies. That the segments join
// to the written packet, and that a nested plan writes the same bytes as its
// children written apart and framed, is the roundtrip fuzz harness's check.
#include "test_bytes.hpp"
#include "vakra/segments.hpp"

namespace vakra {
namespace {

using namespace testing;

template <class Plan>
PacketPlan as_plan(Result<Plan> plan) {
  EXPECT_EQ(outcome(plan), "ok");
  return PacketPlan{std::move(plan).value()};
}

TEST(Plan, BodiesAtTheThresholdAreBorrowed) {
  Bytes vector(16384);  // bytes LZ4 cannot shrink, so the compressed body stays large
  uint32_t state = 12345;
  for (uint8_t& b : vector) b = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 24);
  const std::vector<uint32_t> small_shape = {3, 4}, vector_shape = {2048}, codes_shape = {100, 60};
  const Bytes small(48, 0x31), payload(5000, 'p'), scales(8, 0x3F), codes(6000, 0x11);
  const std::vector<uint64_t> offsets = {0, 3, 3, 5000};
  const Bytes key_s = {'s'}, key_in = {'i', 'n'}, key_v = {'v'}, key_t = {'t'};
  const DenseView small_view{small, small_shape, Dtype::Float32}, vector_view{vector, vector_shape, Dtype::Int64};
  auto compressed = [&] { return as_plan(plan_dense(vector_view, {64, false, true})); };
  auto text = [&] { return as_plan(plan_string(3, offsets, payload, true)); };
  // { s: small dense, in: { v: compressed, t: strings } }
  BundlePlan inner, outer;
  inner.entries.push_back({key_v, compressed()});
  inner.entries.push_back({key_t, text()});
  EXPECT_TRUE(finish_bundle_plan(inner).ok());
  outer.entries.push_back({key_s, as_plan(plan_dense(small_view, {16, true, false}))});
  outer.entries.push_back({key_in, PacketPlan{std::move(inner)}});
  EXPECT_TRUE(finish_bundle_plan(outer).ok());
  // Which segments are borrowed, in order; nullptr stands for the compressed frame, which lies outside the inputs.
  struct Case { const char* name; PacketPlan plan; std::vector<const uint8_t*> borrowed; };
  const Case cases[] = {
      {"dense, checksum: copied, so the checksum matches what goes out", as_plan(plan_dense(vector_view, {64, true, false})), {}},
      {"dense, compressed", compressed(), {nullptr}},
      {"dense below the threshold", as_plan(plan_dense(small_view, {16, true, false})), {}},
      {"string, checksum: copied too", text(), {}},
      {"quantized, checksum: copied too",
       as_plan(plan_quantized({codes_shape, scales, scales, codes, 4, 1, 0, Dtype::Qint8}, {16, true, false})), {}},
      {"quantized, no checksum",
       as_plan(plan_quantized({codes_shape, scales, scales, codes, 4, 1, 0, Dtype::Qint8}, {16, false, false})), {codes.data()}},
      {"nested bundle", PacketPlan{std::move(outer)}, {nullptr}},
  };
  for (const auto& [name, plan, expected_borrowed] : cases) {
    SCOPED_TRACE(name);
    const SegmentList list = plan_segments(plan, kSegmentCopyBelow);
    std::vector<const uint8_t*> borrowed;
    for (const Segment& segment : list.segments()) {
      EXPECT_FALSE(segment.bytes.empty());
      const uint8_t* at = segment.bytes.data();
      if (segment.borrowed) borrowed.push_back(at == vector.data() || at == payload.data() || at == codes.data() ? at : nullptr);
    }
    EXPECT_EQ(list.size(), plan.size());
    EXPECT_EQ(borrowed, expected_borrowed);
    EXPECT_EQ(plan_segments(plan, SIZE_MAX).segments().size(), 1u);  // everything copied: one segment
  }
}

}  // namespace
}  // namespace vakra
