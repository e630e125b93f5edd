#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "test_bytes.hpp"
#include "vakra/plan.hpp"
#include "vakra/sparse.hpp"

namespace vakra {
namespace {

using testing::Bytes;
using testing::outcome;

ByteView text(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

Bytes counting(size_t n) {
  Bytes out(n);
  std::iota(out.begin(), out.end(), uint8_t{1});
  return out;
}

// Encodes one packet the two-phase way, outside any plan.
template <class Size, class Encode>
Bytes encode_alone(Size size, Encode encode) {
  Bytes out(*size);
  auto written = encode(MutableBytes(out));
  EXPECT_EQ(outcome(written), "ok");
  out.resize(written.ok() ? *written : 0);
  return out;
}

struct Fixture {
  // A float32 matrix with a checksum at alignment 16, and a compressible
  // int64 vector compressed at the standard alignment.
  std::vector<uint32_t> matrix_shape = {3, 4};
  Bytes matrix_data = counting(48);
  DenseView matrix{matrix_data, matrix_shape, Dtype::Float32};
  EncodeOptions matrix_options{16, true, false};
  std::vector<uint32_t> vector_shape = {512};
  Bytes vector_data = Bytes(4096, 0x42);
  DenseView vector{vector_data, vector_shape, Dtype::Int64};
  EncodeOptions vector_options{64, false, true};

  std::vector<uint32_t> sparse_shape = {2, 3};
  std::vector<uint32_t> nnz = {2};
  std::vector<uint32_t> rows = {3};
  Bytes values = counting(16), indices = counting(8), indptr = counting(12);
  std::vector<DenseView> sparse_parts{{values, nnz, Dtype::Float64},
                                      {indices, nnz, Dtype::Int32},
                                      {indptr, rows, Dtype::Int32}};

  Bytes raw = {0xDE, 0xAD, 0xBE, 0xEF};
  std::string k_matrix = "matrix", k_sparse = "sparse", k_inner = "inner", k_raw = "raw", k_vector = "vector";

  // bundle { matrix: dense, sparse: sparse, inner: bundle { raw: raw, vector: compressed dense } }
  Result<PacketPlan> plan() const {
    BundlePlan inner;
    inner.entries.push_back({text(k_raw), PacketPlan{RawPacket{raw}}});
    DensePlan vector_plan;
    VAKRA_ASSIGN_OR_RETURN(vector_plan, plan_dense(vector, vector_options));
    inner.entries.push_back({text(k_vector), PacketPlan{std::move(vector_plan)}});
    VAKRA_TRY(finish_bundle_plan(inner));

    BundlePlan outer;
    DensePlan matrix_plan;
    VAKRA_ASSIGN_OR_RETURN(matrix_plan, plan_dense(matrix, matrix_options));
    outer.entries.push_back({text(k_matrix), PacketPlan{std::move(matrix_plan)}});
    SparsePlan sparse_plan;
    VAKRA_ASSIGN_OR_RETURN(sparse_plan, plan_sparse(SparseFormat::csr, sparse_shape, sparse_parts));
    outer.entries.push_back({text(k_sparse), PacketPlan{std::move(sparse_plan)}});
    outer.entries.push_back({text(k_inner), PacketPlan{std::move(inner)}});
    VAKRA_TRY(finish_bundle_plan(outer));
    return PacketPlan{std::move(outer)};
  }

  // The same packet from the public encoders, each child encoded on its own.
  Bytes encoded_separately() const {
    const Bytes matrix_packet = encode_alone(dense_required_size(matrix, matrix_options),
                                             [&](MutableBytes out) { return encode_dense_into(matrix, out, matrix_options); });
    const Bytes vector_packet = encode_alone(dense_required_size(vector, vector_options),
                                             [&](MutableBytes out) { return encode_dense_into(vector, out, vector_options); });
    const Bytes sparse_packet =
        encode_alone(sparse_required_size(sparse_shape, sparse_parts), [&](MutableBytes out) {
          return encode_sparse_into(SparseFormat::csr, sparse_shape, sparse_parts, out);
        });
    const std::vector<BundleEntry> inner_entries = {{text(k_raw), raw}, {text(k_vector), vector_packet}};
    const Bytes inner_packet = encode_alone(bundle_required_size(inner_entries),
                                            [&](MutableBytes out) { return encode_bundle_into(inner_entries, out); });
    const std::vector<BundleEntry> outer_entries = {
        {text(k_matrix), matrix_packet}, {text(k_sparse), sparse_packet}, {text(k_inner), inner_packet}};
    return encode_alone(bundle_required_size(outer_entries),
                        [&](MutableBytes out) { return encode_bundle_into(outer_entries, out); });
  }
};

TEST(Plan, NestedPlanMatchesSeparatelyEncodedChildren) {
  const Fixture f;
  auto plan = f.plan();
  ASSERT_EQ(outcome(plan), "ok");
  const Bytes expected = f.encoded_separately();
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(plan->size(), expected.size());

  Bytes buffer(expected.size() + 5, 0x99);
  auto written = write_plan_checked(*plan, buffer);
  ASSERT_EQ(outcome(written), "ok");
  EXPECT_EQ(*written, expected.size());
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + expected.size()), expected);
  EXPECT_EQ(Bytes(buffer.begin() + expected.size(), buffer.end()), Bytes(5, 0x99));
}

TEST(Plan, CheckedWriteLeavesAShortBufferUntouched) {
  const Fixture f;
  auto plan = f.plan();
  ASSERT_EQ(outcome(plan), "ok");
  for (size_t len : {size_t{0}, plan->size() - 1}) {
    SCOPED_TRACE(len);
    const Bytes canary(len, 0x5A);
    Bytes buffer = canary;
    EXPECT_EQ(outcome(write_plan_checked(*plan, buffer)), "Buffer too small");
    EXPECT_EQ(buffer, canary);
  }
}

TEST(Plan, SparsePlanWritesWhatTheEncoderWrites) {
  const Fixture f;
  auto plan = plan_sparse(SparseFormat::coo, f.sparse_shape, f.sparse_parts);
  ASSERT_EQ(outcome(plan), "ok");
  Bytes expected(*sparse_required_size(f.sparse_shape, f.sparse_parts));
  ASSERT_TRUE(encode_sparse_into(SparseFormat::coo, f.sparse_shape, f.sparse_parts, expected).ok());
  ASSERT_EQ(plan->size, expected.size());
  Bytes written(plan->size);
  write_sparse(*plan, written);
  EXPECT_EQ(written, expected);
  EXPECT_EQ(outcome(plan_sparse(SparseFormat::coo, f.sparse_shape, std::span(f.sparse_parts).first(2))),
            "Malformed vakra packet");
}

TEST(Plan, FinishingABundleChecksItsLimits) {
  const Bytes packet = {1, 2};
  const ByteView four_gib(packet.data(), kMaxPartLength);  // never read
  struct Case {
    const char* name;
    size_t entries;
    ByteView key;
    ByteView raw;
    std::string expected;
    size_t size;
  };
  const Case cases[] = {
      {"255 entries", 255, packet, packet, "ok", 10 + 255 * 12},
      {"256 entries", 256, packet, packet, error_message(make_error(ErrorKind::TooManyBundleEntries)), 0},
      {"4 GiB key", 1, four_gib, packet, "Malformed vakra packet", 0},
      {"4 GiB packet", 1, packet, four_gib, "Malformed vakra packet", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BundlePlan bundle;
    for (size_t i = 0; i < c.entries; ++i) bundle.entries.push_back({c.key, PacketPlan{RawPacket{c.raw}}});
    EXPECT_EQ(outcome(finish_bundle_plan(bundle)), c.expected);
    if (c.size != 0) {
      EXPECT_EQ(PacketPlan{std::move(bundle)}.size(), c.size);
    }
  }
}

}  // namespace
}  // namespace vakra
