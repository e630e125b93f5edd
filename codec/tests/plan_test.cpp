#include "test_bytes.hpp"
#include "vakra/plan.hpp"
#include "vakra/sparse.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

// Sizes and encodes one packet the two-phase way, outside any plan.
template <class Encode>
Bytes encode_alone(Result<size_t> size, Encode encode) {
  Bytes out(size.ok() ? *size : 0);
  auto written = encode(MutableBytes(out));
  EXPECT_EQ(outcome(written), "ok");
  out.resize(written.ok() ? *written : 0);  // a compressed body may come out shorter than its bound
  return out;
}

struct Nested {
  std::vector<uint32_t> matrix_shape = {3, 4}, vector_shape = {512}, sparse_shape = {2, 3}, two = {2}, three = {3};
  Bytes matrix_data = Bytes(48, 0x31), vector_data = Bytes(4096, 0x42), raw = {0xDE, 0xAD};
  Bytes values = Bytes(16, 1), indices = Bytes(8, 2), indptr = Bytes(12, 3);
  DenseView matrix{matrix_data, matrix_shape, Dtype::Float32}, vector{vector_data, vector_shape, Dtype::Int64};
  EncodeOptions checked_16{16, true, false}, compressed{64, false, true};
  std::vector<DenseView> parts{
      {values, two, Dtype::Float64}, {indices, two, Dtype::Int32}, {indptr, three, Dtype::Int32}};
  Bytes k_matrix = {'m'}, k_sparse = {'s'}, k_inner = {'i', 'n'}, k_raw = {}, k_vector = {'v'};

  // { m: dense, s: sparse, in: { "": raw packet, v: compressed dense } }
  Result<PacketPlan> plan() const {
    BundlePlan inner, outer;
    inner.entries.push_back({k_raw, PacketPlan{RawPacket{raw}}});
    VAKRA_ASSIGN_OR_RETURN(DensePlan vector_plan, plan_dense(vector, compressed));
    inner.entries.push_back({k_vector, PacketPlan{std::move(vector_plan)}});
    VAKRA_TRY(finish_bundle_plan(inner));
    VAKRA_ASSIGN_OR_RETURN(DensePlan matrix_plan, plan_dense(matrix, checked_16));
    outer.entries.push_back({k_matrix, PacketPlan{std::move(matrix_plan)}});
    VAKRA_ASSIGN_OR_RETURN(SparsePlan sparse_plan, plan_sparse(SparseFormat::csr, sparse_shape, parts));
    outer.entries.push_back({k_sparse, PacketPlan{std::move(sparse_plan)}});
    outer.entries.push_back({k_inner, PacketPlan{std::move(inner)}});
    VAKRA_TRY(finish_bundle_plan(outer));
    return PacketPlan{std::move(outer)};
  }

  Bytes encoded_separately() const {
    auto dense = [](const DenseView& view, const EncodeOptions& options) {
      return encode_alone(dense_required_size(view, options),
                          [&](MutableBytes out) { return encode_dense_into(view, out, options); });
    };
    auto bundle = [](const std::vector<BundleEntry>& entries) {
      return encode_alone(bundle_required_size(entries),
                          [&](MutableBytes out) { return encode_bundle_into(entries, out); });
    };
    const Bytes sparse = encode_alone(sparse_required_size(sparse_shape, parts), [&](MutableBytes out) {
      return encode_sparse_into(SparseFormat::csr, sparse_shape, parts, out);
    });
    const Bytes vector_packet = dense(vector, compressed), inner = bundle({{k_raw, raw}, {k_vector, vector_packet}});
    const Bytes matrix_packet = dense(matrix, checked_16);
    return bundle({{k_matrix, matrix_packet}, {k_sparse, sparse}, {k_inner, inner}});
  }
};

TEST(Plan, NestedPlanEqualsChildrenEncodedSeparatelyAndFramed) {
  const Nested n;
  auto plan = n.plan();
  ASSERT_EQ(outcome(plan), "ok");
  const Bytes expected = n.encoded_separately();
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

}  // namespace
}  // namespace vakra
