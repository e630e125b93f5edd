#include "tree_walk.hpp"

#include <cstring>
#include <variant>

#include "fuzz_check.hpp"
#include "vakra/dense.hpp"
#include "vakra/header.hpp"

namespace vakra::fuzz {
namespace {

volatile uint64_t g_sink;

uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

class Walker {
 public:
  explicit Walker(ByteView input) : input_(input) {}

  void walk(const Decoded& decoded, size_t depth) {
    FUZZ_CHECK(depth <= MAX_NESTING_DEPTH);
    std::visit([&](const auto& node) { visit(node, depth); }, decoded.value);
  }

 private:
  void view(ByteView v) {
    if (v.empty()) return;
    const auto begin = reinterpret_cast<uintptr_t>(input_.data());
    const auto first = reinterpret_cast<uintptr_t>(v.data());
    FUZZ_CHECK(first >= begin && v.size() <= input_.size() && first - begin <= input_.size() - v.size());
    g_sink = g_sink + touch(v);
  }

  static uint64_t count_of(const std::vector<uint32_t>& shape) {
    auto count = element_count(shape);
    FUZZ_CHECK(count.ok());
    return *count;
  }

  void visit(const DecodedDense& dense, size_t) {
    const uint8_t code = dtype_code(dense.dtype);
    FUZZ_CHECK(code >= 1 && code <= 15);
    FUZZ_CHECK(dense.shape.size() <= MAX_NDIM);
    const uint64_t body = count_of(dense.shape) * element_size(dense.dtype);
    view(dense.data);
    if (!dense.compressed) {
      FUZZ_CHECK(dense.data.size() == body);
      return;
    }
    // The owning consumer's step: a frame may hold at most the array's bytes.
    auto out = lz4_decompress_frame(dense.data, body);
    if (out.ok()) {
      FUZZ_CHECK(out->size() <= body);
      g_sink = g_sink + touch(out->view());
    }
  }

  void visit(const DecodedBundle& bundle, size_t depth) {
    FUZZ_CHECK(bundle.entries.size() <= 255);
    for (const BundleItem& item : bundle.entries) {
      g_sink = g_sink + item.key.size();
      walk(item.value, depth + 1);
    }
  }

  void visit(const DecodedSparse& sparse, size_t depth) {
    FUZZ_CHECK(sparse.shape.size() <= MAX_NDIM);
    FUZZ_CHECK(sparse.components.size() == 3);
    for (const Decoded& component : sparse.components) walk(component, depth + 1);
  }

  void visit(const DecodedQuantized& q, size_t) {
    FUZZ_CHECK(is_quantized(q.dtype));
    FUZZ_CHECK(q.shape.size() <= MAX_NDIM);
    FUZZ_CHECK(q.scales.size() == q.zero_points.size() && q.scales.size() % 4 == 0);
    FUZZ_CHECK(q.axis <= 255);
    const uint64_t count = count_of(q.shape);
    const bool packed = q.dtype == Dtype::Qint4 || q.dtype == Dtype::Quint4;
    FUZZ_CHECK(q.data.size() == (packed ? (count + 1) / 2 : count));
    view(q.scales);
    view(q.zero_points);
    view(q.data);
  }

  void offsets_body(const DecodedOffsets& s) {
    FUZZ_CHECK(s.shape.size() <= MAX_NDIM);
    const uint64_t count = s.shape.empty() ? 0 : s.shape[0];
    FUZZ_CHECK(s.offsets.size() == 8 * (count + 1));
    view(s.offsets);
    view(s.payload);
    // A consumer may slice the payload with any two neighbouring offsets.
    uint64_t previous = 0;
    for (size_t i = 0; i <= count; ++i) {
      const uint64_t offset = load_u64(s.offsets.data() + 8 * i);
      FUZZ_CHECK(i != 0 || offset == 0);
      FUZZ_CHECK(offset >= previous);
      previous = offset;
    }
    FUZZ_CHECK(previous == s.payload.size());
  }
  void visit(const DecodedString& s, size_t) { offsets_body(s); }
  void visit(const DecodedRagged& s, size_t) { offsets_body(s); }
  void visit(const DecodedInline& record, size_t) { g_sink = g_sink + record.record[95]; }

  ByteView input_;
};

bool same_view(ByteView a, ByteView b) { return a.size() == b.size() && (a.empty() || a.data() == b.data()); }

struct SameNode {
  bool operator()(const DecodedDense& a, const DecodedDense& b) const {
    return a.dtype == b.dtype && a.shape == b.shape && same_view(a.data, b.data) && a.compressed == b.compressed;
  }
  bool operator()(const DecodedBundle& a, const DecodedBundle& b) const {
    if (a.entries.size() != b.entries.size()) return false;
    for (size_t i = 0; i < a.entries.size(); ++i) {
      if (a.entries[i].key != b.entries[i].key || !same_tree(a.entries[i].value, b.entries[i].value)) return false;
    }
    return true;
  }
  bool operator()(const DecodedSparse& a, const DecodedSparse& b) const {
    if (a.format != b.format || a.shape != b.shape || a.components.size() != b.components.size()) return false;
    for (size_t i = 0; i < a.components.size(); ++i) {
      if (!same_tree(a.components[i], b.components[i])) return false;
    }
    return true;
  }
  bool operator()(const DecodedQuantized& a, const DecodedQuantized& b) const {
    return a.dtype == b.dtype && a.shape == b.shape && same_view(a.scales, b.scales) &&
           same_view(a.zero_points, b.zero_points) && same_view(a.data, b.data) && a.axis == b.axis &&
           a.group_size == b.group_size && a.quant_scheme == b.quant_scheme;
  }
  static bool same_offsets(const DecodedOffsets& a, const DecodedOffsets& b) {
    return a.shape == b.shape && same_view(a.offsets, b.offsets) && same_view(a.payload, b.payload);
  }
  bool operator()(const DecodedString& a, const DecodedString& b) const { return same_offsets(a, b); }
  bool operator()(const DecodedRagged& a, const DecodedRagged& b) const { return same_offsets(a, b); }
  bool operator()(const DecodedInline& a, const DecodedInline& b) const { return a.record == b.record; }
  template <class A, class B>
  bool operator()(const A&, const B&) const {
    return false;
  }
};

}  // namespace

uint64_t touch(ByteView view) {
  uint64_t sum = 0;
  for (uint8_t b : view) sum += b;
  return sum;
}

void walk_decoded(const Decoded& decoded, ByteView input) { Walker(input).walk(decoded, 0); }

bool same_tree(const Decoded& a, const Decoded& b) {
  if (a.value.index() != b.value.index()) return false;
  return std::visit(SameNode{}, a.value, b.value);
}

}  // namespace vakra::fuzz
