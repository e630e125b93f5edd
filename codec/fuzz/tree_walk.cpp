#include <functional>
#include <string_view>
#include <variant>

#include "fuzz_support.hpp"
#include "vakra/dense.hpp"
#include "vakra/header.hpp"

namespace vakra::fuzz {
namespace {

volatile uint64_t g_sink;

// Checks the invariants of every node and records what it saw (kinds,
// shapes, keys, the place in the packet and length of every view, and with
// `hash_bytes` a hash of each view's bytes) as a flat trace, so two trees
// compare equal exactly when their traces do.
class Walker {
 public:
  Walker(const ViewPlace& place, bool hash_bytes) : place_(place), hash_bytes_(hash_bytes) {}

  void walk(const Decoded& decoded, size_t depth) {
    FUZZ_CHECK(depth <= MAX_NESTING_DEPTH);
    trace.push_back(decoded.value.index());
    std::visit([&](const auto& node) { visit(node, depth); }, decoded.value);
  }

  std::vector<uint64_t> trace;

 private:
  void view(ByteView v) {
    trace.push_back(v.size());
    if (v.empty()) return;
    const std::optional<size_t> at = place_(v);
    FUZZ_CHECK(at.has_value());
    trace.push_back(*at);
    g_sink = g_sink + touch(v);
    if (hash_bytes_) trace.push_back(std::hash<std::string_view>{}({reinterpret_cast<const char*>(v.data()), v.size()}));
  }

  // The element count of a shape, which the decoder has checked.
  uint64_t shape(Dtype dtype, const std::vector<uint32_t>& dims) {
    FUZZ_CHECK(dims.size() <= MAX_NDIM);
    trace.push_back(dtype_code(dtype));
    trace.insert(trace.end(), dims.begin(), dims.end());
    trace.push_back(dims.size());
    auto count = element_count(dims);
    FUZZ_CHECK(count.ok());
    return *count;
  }

  void visit(const DecodedDense& dense, size_t) {
    FUZZ_CHECK(is_dense(dense.dtype));
    shape(dense.dtype, dense.shape);
    const uint64_t body = dense_body_length(dense.dtype, dense.shape).value();
    trace.push_back(dense.compressed);
    view(dense.data);
    FUZZ_CHECK(dense.compressed || dense.data.size() == body);
    if (!dense.compressed) return;
    // The owning consumer's step: a frame may hold at most the array's bytes.
    auto out = lz4_decompress_frame(dense.data, body);
    FUZZ_CHECK(!out.ok() || out->size() <= body);
    if (out.ok()) g_sink = g_sink + touch(out->view());
  }

  void visit(const DecodedBundle& bundle, size_t depth) {
    FUZZ_CHECK(bundle.entries.size() <= 255);
    for (const BundleItem& item : bundle.entries) {
      trace.push_back(std::hash<std::string>{}(item.key));
      walk(item.value, depth + 1);
    }
  }

  void visit(const DecodedSparse& sparse, size_t depth) {
    trace.push_back(static_cast<uint64_t>(sparse.format));
    trace.insert(trace.end(), sparse.shape.begin(), sparse.shape.end());
    FUZZ_CHECK(sparse.shape.size() <= MAX_NDIM && sparse.components.size() == 3);
    for (const Decoded& component : sparse.components) walk(component, depth + 1);
  }

  void visit(const DecodedQuantized& q, size_t) {
    FUZZ_CHECK(is_quantized(q.dtype));
    FUZZ_CHECK(q.scales.size() == q.zero_points.size() && q.scales.size() % 4 == 0);
    const uint64_t count = shape(q.dtype, q.shape);
    const bool packed = q.dtype == Dtype::Qint4 || q.dtype == Dtype::Quint4;
    FUZZ_CHECK(q.data.size() == (packed ? (count + 1) / 2 : count));
    trace.insert(trace.end(), {q.axis, q.group_size, q.quant_scheme});
    for (ByteView part : {q.scales, q.zero_points, q.data}) view(part);
  }

  // A consumer may slice the payload with any two neighbouring offsets.
  void visit(const DecodedOffsets& s, size_t) {
    const uint64_t count = s.shape.empty() ? 0 : s.shape[0];
    trace.insert(trace.end(), s.shape.begin(), s.shape.end());
    FUZZ_CHECK(s.shape.size() <= MAX_NDIM && s.offsets.size() == 8 * (count + 1));
    view(s.offsets);
    view(s.payload);
    uint64_t previous = 0;
    for (size_t i = 0; i <= count; ++i) {
      uint64_t offset;
      std::memcpy(&offset, s.offsets.data() + 8 * i, 8);
      FUZZ_CHECK((i != 0 || offset == 0) && offset >= previous);
      previous = offset;
    }
    FUZZ_CHECK(previous == s.payload.size());
  }

  void visit(const DecodedInline&, size_t) {}  // a copy, compared by the kind alone

  const ViewPlace& place_;
  bool hash_bytes_;
};

}  // namespace

uint64_t touch(ByteView view) {
  uint64_t sum = 0;
  for (uint8_t b : view) sum += b;
  return sum;
}

namespace {

// A view's offset in `input`, when it lies inside.
ViewPlace place_in(ByteView input) {
  return [input](ByteView v) -> std::optional<size_t> {
    const auto begin = reinterpret_cast<uintptr_t>(input.data()), first = reinterpret_cast<uintptr_t>(v.data());
    if (first < begin || v.size() > input.size() || first - begin > input.size() - v.size()) return std::nullopt;
    return first - begin;
  };
}

}  // namespace

void walk_decoded(const Decoded& decoded, ByteView input) { Walker(place_in(input), false).walk(decoded, 0); }

bool same_values(const Decoded& a, const ViewPlace& a_place, const Decoded& b, const ViewPlace& b_place) {
  Walker first(a_place, true), second(b_place, true);
  first.walk(a, 0);
  second.walk(b, 0);
  return first.trace == second.trace;
}

}  // namespace vakra::fuzz
