#include <cstring>
#include <vector>

#include "test_bytes.hpp"
#include "vakra/decode.hpp"
#include "vakra/header.hpp"
#include "vakra/sparse.hpp"

namespace vakra {
namespace {

using testing::append_u32;
using testing::Bytes;
using testing::outcome;

template <class T>
Bytes raw_bytes(std::initializer_list<T> values) {
  Bytes out(values.size() * sizeof(T));
  std::memcpy(out.data(), std::data(values), out.size());
  return out;
}

// Owns the bytes and shape a DenseView points at.
struct Array {
  Dtype dtype;
  std::vector<uint32_t> shape;
  Bytes data;
  DenseView view() const { return {data, shape, dtype}; }
};

// A 2 x 3 CSR matrix with two stored values.
struct Csr2x3 {
  std::vector<uint32_t> shape = {2, 3};
  Array values{Dtype::Float64, {2}, raw_bytes<double>({1.5, -2.0})};
  Array indices{Dtype::Int32, {2}, raw_bytes<int32_t>({0, 2})};
  Array indptr{Dtype::Int32, {3}, raw_bytes<int32_t>({0, 1, 2})};
  std::vector<DenseView> views() const { return {values.view(), indices.view(), indptr.view()}; }
};

// A standard-aligned dense packet of a one-dimensional array, built by hand.
Bytes dense_packet(const Array& array) {
  Bytes out = testing::v4_header(FLAG_ALIGNED, dtype_code(array.dtype), 1);
  append_u32(out, array.shape[0]);
  out.resize(64, 0);
  out.insert(out.end(), array.data.begin(), array.data.end());
  return out;
}

TEST(SparseEncode, GoldenCsrAndFormatFlags) {
  const Csr2x3 m;
  struct Case {
    SparseFormat format;
    uint16_t flag;
  };
  for (const Case& c : {Case{SparseFormat::csr, 0x0020}, Case{SparseFormat::coo, 0x0008},
                        Case{SparseFormat::csc, 0x0040}}) {
    SCOPED_TRACE(c.flag);
    Bytes expected = testing::v4_header(c.flag, 0, 2);
    append_u32(expected, 2);
    append_u32(expected, 3);
    for (const Array* component : {&m.values, &m.indices, &m.indptr}) {
      const Bytes packet = dense_packet(*component);
      append_u32(expected, static_cast<uint32_t>(packet.size()));
      expected.insert(expected.end(), packet.begin(), packet.end());
    }
    ASSERT_EQ(expected.size(), 258u);

    ASSERT_EQ(outcome(sparse_required_size(m.shape, m.views())), "ok");
    EXPECT_EQ(*sparse_required_size(m.shape, m.views()), 258u);
    Bytes buffer(258 + 6, 0xD1);  // a longer buffer keeps its tail
    auto written = encode_sparse_into(c.format, m.shape, m.views(), buffer);
    ASSERT_EQ(outcome(written), "ok");
    EXPECT_EQ(*written, 258u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 258), expected);
    EXPECT_EQ(Bytes(buffer.begin() + 258, buffer.end()), Bytes(6, 0xD1));
  }
}

TEST(SparseEncode, RefusesBadInputInOrderWithoutWriting) {
  const Csr2x3 m;
  const std::vector<uint32_t> shape33(33, 1);
  const Array qint4{Dtype::Qint4, {2}, {1}};
  const Array short_data{Dtype::Float32, {3}, Bytes(11)};
  const Array ndim33{Dtype::Uint8, std::vector<uint32_t>(33, 1), Bytes(1)};
  const Array huge{Dtype::Uint8, {100000, 10001}, {}};
  // 268435456 complex128 elements fill exactly 4 GiB: the component packet
  // cannot be length-prefixed. The data is never read, so no memory backs it.
  const Bytes tiny(16);
  const std::vector<uint32_t> four_gib_shape = {268435456};
  const DenseView four_gib{ByteView(tiny.data(), size_t{268435456} * 16), four_gib_shape, Dtype::Complex128};
  struct Case {
    const char* name;
    std::vector<uint32_t> shape;
    std::vector<DenseView> components;
    size_t buffer_len;
    std::string expected;
  };
  const std::string malformed = "Malformed vakra packet";
  const Case cases[] = {
      {"two components", m.shape, {m.values.view(), m.indices.view()}, 300, malformed},
      {"four components", m.shape, {m.values.view(), m.indices.view(), m.indptr.view(), m.indptr.view()}, 300,
       malformed},
      {"component count before matrix shape", shape33, {m.values.view()}, 300, malformed},
      {"33-dimensional matrix before components", shape33, {qint4.view(), m.indices.view(), m.indptr.view()}, 300,
       "Packet exceeds maximum dimensions"},
      {"qint4 component", m.shape, {m.values.view(), qint4.view(), m.indptr.view()}, 300,
       "Unsupported or unknown dtype code: 18"},
      {"components in order", m.shape, {m.values.view(), qint4.view(), short_data.view()}, 300,
       "Unsupported or unknown dtype code: 18"},
      {"data length mismatch", m.shape, {m.values.view(), m.indices.view(), short_data.view()}, 300, malformed},
      {"33-dimensional component", m.shape, {ndim33.view(), m.indices.view(), m.indptr.view()}, 300,
       "Packet exceeds maximum dimensions"},
      {"too many elements", m.shape, {m.values.view(), huge.view(), m.indptr.view()}, 300,
       "Packet exceeds maximum elements"},
      {"4 GiB component", m.shape, {m.values.view(), m.indices.view(), four_gib}, 300, malformed},
      {"buffer one byte short", m.shape, m.views(), 257, "Buffer too small"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool sizing_fails = c.expected != "Buffer too small";
    EXPECT_EQ(outcome(sparse_required_size(c.shape, c.components)), sizing_fails ? c.expected : "ok");
    const Bytes canary(c.buffer_len, 0x2A);
    Bytes buffer = canary;
    EXPECT_EQ(outcome(encode_sparse_into(SparseFormat::csr, c.shape, c.components, buffer)), c.expected);
    EXPECT_EQ(buffer, canary);
  }
  // 80 bytes fewer than 4 GiB leave a component packet of 2^32 - 16 bytes: representable.
  const std::vector<uint32_t> largest_shape = {268435451};
  const DenseView largest{ByteView(tiny.data(), size_t{268435451} * 16), largest_shape, Dtype::Complex128};
  EXPECT_EQ(outcome(sparse_required_size(m.shape, std::vector<DenseView>{m.values.view(), m.indices.view(), largest})),
            "ok");
  Bytes buffer(300);
  EXPECT_EQ(outcome(encode_sparse_into(static_cast<SparseFormat>(3), m.shape, m.views(), buffer)), malformed);
}

TEST(SparseDecode, RoundTripsThroughTheDispatcher) {
  const Csr2x3 m;
  const std::vector<uint32_t> empty_shape;
  const std::vector<uint32_t> wide_shape(32, 1);
  for (const std::vector<uint32_t>* shape : {&m.shape, &empty_shape, &wide_shape}) {
    SCOPED_TRACE(shape->size());
    Bytes packet(*sparse_required_size(*shape, m.views()));
    ASSERT_TRUE(encode_sparse_into(SparseFormat::csc, *shape, m.views(), packet).ok());
    auto decoded = decode(packet);
    ASSERT_EQ(outcome(decoded), "ok");
    const auto& sparse = std::get<DecodedSparse>(decoded->value);
    EXPECT_EQ(sparse.format, SparseFormat::csc);
    EXPECT_EQ(sparse.shape, *shape);
    ASSERT_EQ(sparse.components.size(), 3u);
    const Array* originals[] = {&m.values, &m.indices, &m.indptr};
    for (size_t k = 0; k < 3; ++k) {
      const auto& dense = std::get<DecodedDense>(sparse.components[k].value);
      EXPECT_EQ(dense.dtype, originals[k]->dtype);
      EXPECT_EQ(dense.shape, originals[k]->shape);
      EXPECT_EQ(Bytes(dense.data.begin(), dense.data.end()), originals[k]->data);
    }
  }
}

}  // namespace
}  // namespace vakra
