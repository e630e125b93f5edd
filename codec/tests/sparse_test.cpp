#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/plan.hpp"

namespace vakra {
namespace {

using testing::append_u32;
using testing::Bytes;
using testing::outcome;

// A 2 x 3 CSR matrix: two float64 values, int32 indices [0, 2], int32 indptr [0, 1, 2].
struct Csr2x3 {
  std::vector<uint32_t> shape = {2, 3}, two = {2}, three = {3};
  Bytes values = {0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0xC0};  // 1.5, -2.0
  Bytes indices = {0, 0, 0, 0, 2, 0, 0, 0}, indptr = {0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
  std::vector<DenseView> views() const {
    return {{values, two, Dtype::Float64}, {indices, two, Dtype::Int32}, {indptr, three, Dtype::Int32}};
  }
};

TEST(SparsePacket, GoldenCsrRoundTripsThroughTheDispatcher) {
  const Csr2x3 m;
  Bytes expected = testing::v4_header(0x0020, 0, 2);
  append_u32(expected, 2);
  append_u32(expected, 3);
  for (const DenseView& v : m.views()) {  // standard-aligned dense packets, built by hand
    Bytes packet = testing::v4_header(FLAG_ALIGNED, dtype_code(v.dtype), 1);
    append_u32(packet, v.shape[0]);
    packet.resize(64, 0);
    testing::append_part(expected, testing::concat(packet, Bytes(v.data.begin(), v.data.end())));
  }
  ASSERT_EQ(expected.size(), 258u);
  const PacketPlan plan{*plan_sparse(SparseFormat::csr, m.shape, m.views())};
  Bytes buffer(259, 0xD1);  // a longer buffer keeps its tail
  EXPECT_EQ(*write_plan_checked(plan, buffer), 258u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), expected);
  EXPECT_EQ(buffer.back(), 0xD1);

  auto decoded = decode(buffer);
  ASSERT_EQ(outcome(decoded), "ok");
  const auto& sparse = std::get<DecodedSparse>(decoded->value);
  EXPECT_EQ(sparse.format, SparseFormat::csr);
  EXPECT_EQ(sparse.shape, m.shape);
  const size_t body_at[] = {86, 170, 246};  // components at 22, 106 and 182, bodies 64 bytes in
  for (size_t k = 0; k < 3; ++k) {
    const auto& dense = std::get<DecodedDense>(sparse.components[k].value);
    EXPECT_EQ(dense.data.data(), &buffer[body_at[k]]);
    EXPECT_EQ(dense.data.size(), m.views()[k].data.size());
  }
}

TEST(SparsePacket, RefusesBadInputInOrder) {
  const Csr2x3 m;
  const std::vector<DenseView> parts = m.views();
  const DenseView &values = parts[0], &indices = parts[1], &indptr = parts[2];
  const std::vector<uint32_t> ndim33(33, 1), fills_4gib = {268435452};
  const Bytes one(1);
  const DenseView qint4{one, m.two, Dtype::Qint4}, short_data{one, m.two, Dtype::Int32},
      // 64 bytes short of 4 GiB of complex128: with its 64-byte prefix the component packet is exactly
      // 4 GiB and cannot be length-prefixed. Refused unread, so nothing backs the view.
      four_gib{{one.data(), (size_t{1} << 32) - 64}, fills_4gib, Dtype::Complex128};
  const std::string bad = "Malformed vakra packet", dims = "Packet exceeds maximum dimensions";
  struct Case {
    const char* name;
    std::vector<uint32_t> shape;
    std::vector<DenseView> parts;
    std::string expected;
  };
  const Case cases[] = {
      {"two components", m.shape, {values, indices}, bad},
      {"four components", m.shape, {values, indices, indptr, indptr}, bad},
      {"33-dimensional matrix before components", ndim33, {qint4, indices, indptr}, dims},
      {"qint4 component", m.shape, {values, qint4, indptr}, "Unsupported or unknown dtype code: 18"},
      {"components in order", m.shape, {values, short_data, qint4}, bad},
      {"4 GiB component", m.shape, {values, indices, four_gib}, bad},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(plan_sparse(SparseFormat::coo, c.shape, c.parts)), c.expected);
  }
}

}  // namespace
}  // namespace vakra
