#include "tree_walk.hpp"

#include <cstring>
#include <functional>
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

// Checks the invariants of every node and records what it saw (kinds,
// shapes, keys, the address and length of every view) as a flat trace, so
// two trees compare equal exactly when their traces do.
class Walker {
 public:
  explicit Walker(ByteView input, bool bounded) : input_(input), bounded_(bounded) {}

  void walk(const Decoded& decoded, size_t depth) {
    FUZZ_CHECK(depth <= MAX_NESTING_DEPTH);
    trace.push_back(decoded.value.index());
    std::visit([&](const auto& node) { visit(node, depth); }, decoded.value);
  }

  std::vector<uint64_t> trace;

 private:
  void view(ByteView v) {
    trace.insert(trace.end(), {reinterpret_cast<uintptr_t>(v.data()), v.size()});
    if (v.empty()) return;
    const auto begin = reinterpret_cast<uintptr_t>(input_.data());
    const auto first = reinterpret_cast<uintptr_t>(v.data());
    FUZZ_CHECK(!bounded_ || (first >= begin && v.size() <= input_.size() && first - begin <= input_.size() - v.size()));
    g_sink = g_sink + touch(v);
  }

  void shape(Dtype dtype, const std::vector<uint32_t>& dims) {
    FUZZ_CHECK(dims.size() <= MAX_NDIM);
    trace.push_back(dtype_code(dtype));
    trace.insert(trace.end(), dims.begin(), dims.end());
    trace.push_back(dims.size());
  }

  static uint64_t count_of(const std::vector<uint32_t>& dims) {
    auto count = element_count(dims);
    FUZZ_CHECK(count.ok());
    return *count;
  }

  void visit(const DecodedDense& dense, size_t) {
    FUZZ_CHECK(dtype_code(dense.dtype) >= 1 && dtype_code(dense.dtype) <= 15);
    shape(dense.dtype, dense.shape);
    const uint64_t body = count_of(dense.shape) * element_size(dense.dtype);
    trace.push_back(dense.compressed);
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
      trace.push_back(std::hash<std::string>{}(item.key));
      walk(item.value, depth + 1);
    }
  }

  void visit(const DecodedSparse& sparse, size_t depth) {
    trace.push_back(static_cast<uint64_t>(sparse.format));
    shape(Dtype::Float32, sparse.shape);
    FUZZ_CHECK(sparse.components.size() == 3);
    for (const Decoded& component : sparse.components) walk(component, depth + 1);
  }

  void visit(const DecodedQuantized& q, size_t) {
    FUZZ_CHECK(is_quantized(q.dtype));
    FUZZ_CHECK(q.scales.size() == q.zero_points.size() && q.scales.size() % 4 == 0);
    shape(q.dtype, q.shape);
    const uint64_t count = count_of(q.shape);
    const bool packed = q.dtype == Dtype::Qint4 || q.dtype == Dtype::Quint4;
    FUZZ_CHECK(q.data.size() == (packed ? (count + 1) / 2 : count));
    trace.insert(trace.end(), {q.axis, q.group_size, q.quant_scheme});
    for (ByteView part : {q.scales, q.zero_points, q.data}) view(part);
  }

  void offsets_body(const DecodedOffsets& s) {
    shape(Dtype::String, s.shape);
    const uint64_t count = s.shape.empty() ? 0 : s.shape[0];
    FUZZ_CHECK(s.offsets.size() == 8 * (count + 1));
    view(s.offsets);
    view(s.payload);
    // A consumer may slice the payload with any two neighbouring offsets.
    uint64_t previous = 0;
    for (size_t i = 0; i <= count; ++i) {
      const uint64_t offset = load_u64(s.offsets.data() + 8 * i);
      FUZZ_CHECK((i != 0 || offset == 0) && offset >= previous);
      previous = offset;
    }
    FUZZ_CHECK(previous == s.payload.size());
  }
  void visit(const DecodedString& s, size_t) { offsets_body(s); }
  void visit(const DecodedRagged& s, size_t) { offsets_body(s); }
  void visit(const DecodedInline& inline_record, size_t) {
    for (size_t i = 0; i < 96; i += 8) trace.push_back(load_u64(&inline_record.record[i]));
  }

  ByteView input_;
  bool bounded_;
};

}  // namespace

uint64_t touch(ByteView view) {
  uint64_t sum = 0;
  for (uint8_t b : view) sum += b;
  return sum;
}

void walk_decoded(const Decoded& decoded, ByteView input) { Walker(input, true).walk(decoded, 0); }

bool same_tree(const Decoded& a, const Decoded& b) {
  Walker first({}, false), second({}, false);
  first.walk(a, 0);
  second.walk(b, 0);
  return first.trace == second.trace;
}

}  // namespace vakra::fuzz
