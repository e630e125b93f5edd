#include "value_codec.hpp"

#include <cstring>

#include "fuzz_check.hpp"

namespace vakra::fuzz {
namespace {

constexpr uint8_t kCanary = 0xA5;
constexpr size_t kGuard = 16;

void expect_untouched(const Packet& buffer, size_t from) {
  for (size_t i = from; i < buffer.size(); ++i) FUZZ_CHECK(buffer[i] == kCanary);
}

ByteView bytes_of(const std::string& text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }

bool same_bytes(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

template <class Plan>
PacketPlan checked(Result<Plan> plan) {
  FUZZ_CHECK(plan.ok());
  return PacketPlan{std::move(plan).value()};
}

// A leaf value's own plan; bundles are planned by the caller.
PacketPlan plan_leaf(const Value& value) {
  if (const auto* v = std::get_if<DenseValue>(&value.node)) return checked(plan_dense(v->view(), v->options));
  if (const auto* v = std::get_if<SparseValue>(&value.node)) {
    const std::array<DenseView, 3> views = {v->components[0].view(), v->components[1].view(), v->components[2].view()};
    return checked(plan_sparse(v->format, v->shape, views));
  }
  if (const auto* v = std::get_if<StringValue>(&value.node)) {
    return checked(plan_string(v->count(), v->offsets, v->payload, v->check_integrity));
  }
  const auto& q = std::get<QuantizedValue>(value.node);
  return checked(plan_quantized(q.view(), q.options));
}

Packet write_plan_value(const PacketPlan& plan) {
  return write_checked(plan.size(), true, [&](MutableBytes out) { return write_plan_checked(plan, out); });
}

// Compares one value node with the decoded node of the same kind.
struct Expect {
  const Decoded& decoded;

  template <class T>
  const T& as() const {
    const auto* node = std::get_if<T>(&decoded.value);
    FUZZ_CHECK(node != nullptr);
    return *node;
  }

  void operator()(const DenseValue& v) const {
    const auto& dense = as<DecodedDense>();
    FUZZ_CHECK(dense.dtype == v.dtype && dense.shape == v.shape && dense.compressed == v.options.compress);
    if (!dense.compressed) {
      FUZZ_CHECK(same_bytes(dense.data, v.data));
      return;
    }
    auto body = lz4_decompress_frame(dense.data, v.data.size());
    FUZZ_CHECK(body.ok() && same_bytes(body->view(), v.data));
  }
  void operator()(const SparseValue& v) const {
    const auto& sparse = as<DecodedSparse>();
    FUZZ_CHECK(sparse.format == v.format && sparse.shape == v.shape && sparse.components.size() == 3);
    for (size_t i = 0; i < 3; ++i) Expect{sparse.components[i]}(v.components[i]);
  }
  void operator()(const BundleValue& v) const {
    const auto& bundle = as<DecodedBundle>();
    FUZZ_CHECK(bundle.entries.size() == v.entries.size());
    for (size_t i = 0; i < v.entries.size(); ++i) {
      FUZZ_CHECK(bundle.entries[i].key == v.entries[i].key);
      expect_matches(v.entries[i].value, bundle.entries[i].value);
    }
  }
  void operator()(const StringValue& v) const {
    const auto& s = as<DecodedString>();
    Packet offsets(8 * v.offsets.size());
    std::memcpy(offsets.data(), v.offsets.data(), offsets.size());  // little-endian host
    FUZZ_CHECK(s.shape == std::vector<uint32_t>{v.count()});
    FUZZ_CHECK(same_bytes(s.offsets, offsets) && same_bytes(s.payload, v.payload));
  }
  void operator()(const QuantizedValue& v) const {
    const auto& q = as<DecodedQuantized>();
    FUZZ_CHECK(q.dtype == v.dtype && q.shape == v.shape);
    FUZZ_CHECK(same_bytes(q.scales, v.scales) && same_bytes(q.zero_points, v.zero_points));
    FUZZ_CHECK(same_bytes(q.data, ByteView(v.data).first(v.value_bytes())));
    FUZZ_CHECK(q.axis == v.axis && q.group_size == v.group_size && q.quant_scheme == v.quant_scheme);
  }
};

}  // namespace

Packet write_checked(size_t required, bool exact, const Writer& write) {
  Packet buffer(required + kGuard, kCanary);
  auto written = write({buffer.data(), required});
  FUZZ_CHECK(written.ok());
  FUZZ_CHECK(exact ? *written == required : *written <= required);
  FUZZ_CHECK(*written >= kHeaderLenV4);
  expect_untouched(buffer, *written);
  buffer.resize(*written);

  Packet fitted(*written + kGuard, kCanary);
  auto again = write({fitted.data(), *written});
  FUZZ_CHECK(again.ok() && *again == *written);
  FUZZ_CHECK(std::memcmp(fitted.data(), buffer.data(), *written) == 0);
  expect_untouched(fitted, *written);

  Packet short_by_one(*written - 1 + kGuard, kCanary);
  FUZZ_CHECK(failed_with(write({short_by_one.data(), *written - 1}), ErrorKind::BufferTooSmall));
  expect_untouched(short_by_one, 0);
  return buffer;
}

Packet encode_value(const Value& value) {
  const auto* bundle = std::get_if<BundleValue>(&value.node);
  if (bundle == nullptr) return write_plan_value(plan_leaf(value));
  std::vector<Packet> children;
  for (const BundleItemValue& item : bundle->entries) children.push_back(encode_value(item.value));
  BundlePlan framing;
  for (size_t i = 0; i < children.size(); ++i) {
    framing.entries.push_back({bytes_of(bundle->entries[i].key), PacketPlan{RawPacket{children[i]}}});
  }
  FUZZ_CHECK(finish_bundle_plan(framing).ok());
  return write_plan_value(PacketPlan{std::move(framing)});
}

PacketPlan plan_value(const Value& value) {
  const auto* bundle = std::get_if<BundleValue>(&value.node);
  if (bundle == nullptr) return plan_leaf(value);
  BundlePlan plan;
  for (const BundleItemValue& item : bundle->entries) plan.entries.push_back({bytes_of(item.key), plan_value(item.value)});
  FUZZ_CHECK(finish_bundle_plan(plan).ok());
  return PacketPlan{std::move(plan)};
}

void expect_matches(const Value& value, const Decoded& decoded) { std::visit(Expect{decoded}, value.node); }

}  // namespace vakra::fuzz
