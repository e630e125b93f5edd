#include "test_bytes.hpp"
#include "vakra/plan.hpp"
#include "vakra/segments.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::encode;
using testing::outcome;

// Bytes LZ4 cannot shrink, so a compressed body stays large.
Bytes noise(size_t n) {
  Bytes out(n);
  uint32_t state = 12345;
  for (uint8_t& b : out) b = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 24);
  return out;
}

// One value of every kind, and the ways of nesting them.
struct Values {
  std::vector<uint32_t> matrix_shape = {3, 4}, vector_shape = {2048}, sparse_shape = {2, 3}, two = {2}, three = {3};
  Bytes matrix_data = Bytes(48, 0x31), vector_data = noise(16384), raw = {0xDE, 0xAD};
  Bytes values = Bytes(16, 1), indices = Bytes(8, 2), indptr = Bytes(12, 3);
  std::vector<uint64_t> offsets = {0, 3, 3, 5000};
  Bytes payload = Bytes(5000, 'p'), scales = Bytes(8, 0x3F), codes = Bytes(6000, 0x11);
  std::vector<uint32_t> codes_shape = {100, 60};
  DenseView matrix{matrix_data, matrix_shape, Dtype::Float32}, vector{vector_data, vector_shape, Dtype::Int64};
  EncodeOptions checked_16{16, true, false}, compressed{64, false, true}, checked{64, true, false};
  std::vector<DenseView> parts{
      {values, two, Dtype::Float64}, {indices, two, Dtype::Int32}, {indptr, three, Dtype::Int32}};
  QuantizedView quantized{codes_shape, scales, scales, codes, 4, 1, 0, Dtype::Qint8};
  Bytes k_matrix = {'m'}, k_sparse = {'s'}, k_inner = {'i', 'n'}, k_raw = {}, k_vector = {'v'}, k_text = {'t'},
        k_codes = {'q'};

  Result<PacketPlan> dense_matrix() const { return as_plan(plan_dense(matrix, checked_16)); }
  Result<PacketPlan> dense_vector() const { return as_plan(plan_dense(vector, checked)); }
  Result<PacketPlan> dense_compressed() const { return as_plan(plan_dense(vector, compressed)); }
  Result<PacketPlan> sparse() const { return as_plan(plan_sparse(SparseFormat::csr, sparse_shape, parts)); }
  Result<PacketPlan> text() const { return as_plan(plan_string(3, offsets, payload, true)); }
  Result<PacketPlan> codes_plan() const { return as_plan(plan_quantized(quantized, checked_16)); }

  // { m: dense, s: sparse, in: { "": raw packet, v: compressed dense, t: strings }, q: quantized }
  Result<PacketPlan> nested() const {
    BundlePlan inner, outer;
    inner.entries.push_back({k_raw, PacketPlan{RawPacket{raw}}});
    VAKRA_TRY(add(inner, k_vector, dense_compressed()));
    VAKRA_TRY(add(inner, k_text, text()));
    VAKRA_TRY(finish_bundle_plan(inner));
    VAKRA_TRY(add(outer, k_matrix, dense_matrix()));
    VAKRA_TRY(add(outer, k_sparse, sparse()));
    outer.entries.push_back({k_inner, PacketPlan{std::move(inner)}});
    VAKRA_TRY(add(outer, k_codes, codes_plan()));
    VAKRA_TRY(finish_bundle_plan(outer));
    return PacketPlan{std::move(outer)};
  }

  // The same tree, every child written on its own and framed as a raw packet.
  Bytes nested_by_parts() const {
    const Bytes inner = frame({{k_raw, raw}, {k_vector, written(dense_compressed())}, {k_text, written(text())}});
    return frame({{k_matrix, written(dense_matrix())}, {k_sparse, written(sparse())}, {k_inner, inner},
                  {k_codes, written(codes_plan())}});
  }

 private:
  template <class Plan>
  static Result<PacketPlan> as_plan(Result<Plan> plan) {
    if (!plan.ok()) return plan.error();
    return PacketPlan{std::move(plan).value()};
  }
  static Status add(BundlePlan& bundle, ByteView key, Result<PacketPlan> value) {
    VAKRA_TRY(value);
    bundle.entries.push_back({key, std::move(value).value()});
    return {};
  }
  static Bytes written(Result<PacketPlan> plan) {
    Bytes out(plan->size());
    write_plan(*plan, out);
    return out;
  }
  static Bytes frame(std::vector<std::pair<ByteView, Bytes>> entries) {
    BundlePlan bundle;
    for (const auto& [key, packet] : entries) bundle.entries.push_back({key, PacketPlan{RawPacket{packet}}});
    EXPECT_TRUE(finish_bundle_plan(bundle).ok());
    return written(PacketPlan{std::move(bundle)});
  }
};

TEST(Plan, NestedPlanEqualsChildrenWrittenSeparatelyAndFramed) {
  const Values v;
  auto plan = v.nested();
  ASSERT_EQ(outcome(plan), "ok");
  const Bytes expected = v.nested_by_parts();
  ASSERT_EQ(plan->size(), expected.size());
  for (size_t len : {size_t{0}, expected.size() - 1}) {  // too short: nothing written
    const Bytes canary(len, 0x5A);
    Bytes buffer = canary;
    EXPECT_EQ(outcome(write_plan_checked(*plan, buffer)), "Buffer too small");
    EXPECT_EQ(buffer, canary);
  }
  Bytes buffer(expected.size() + 1, 0x99);
  EXPECT_EQ(*write_plan_checked(*plan, buffer), expected.size());
  EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), expected);
  EXPECT_EQ(buffer.back(), 0x99);
}

// Segments, concatenated, are the written packet; bodies at or above the
// threshold are views of the input (or of the plan's compressed frame), not copies.
TEST(Plan, SegmentsConcatenateToTheWrittenPacket) {
  const Values v;
  struct Case { const char* name; Result<PacketPlan> plan; std::vector<const uint8_t*> borrowed; };
  const Case cases[] = {
      {"dense, checksum", v.dense_vector(), {v.vector_data.data()}},
      {"dense, compressed", v.dense_compressed(), {nullptr}},
      {"dense below the threshold", v.dense_matrix(), {}},
      {"sparse", v.sparse(), {}},
      {"string, checksum", v.text(), {v.payload.data()}},
      {"quantized, checksum", v.codes_plan(), {v.codes.data()}},
      {"nested bundle", v.nested(), {nullptr, v.payload.data(), v.codes.data()}},
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
      if (copy_below == SIZE_MAX) EXPECT_EQ(list.segments().size(), 1u);
      if (copy_below != kSegmentCopyBelow) continue;
      ASSERT_EQ(borrowed.size(), c.borrowed.size());
      for (size_t i = 0; i < borrowed.size(); ++i) {
        // nullptr stands for the compressed frame, which lies outside the inputs.
        if (c.borrowed[i] != nullptr) EXPECT_EQ(borrowed[i], c.borrowed[i]);
        else EXPECT_NE(borrowed[i], v.vector_data.data());
      }
    }
  }
}

}  // namespace
}  // namespace vakra
