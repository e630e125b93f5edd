// Encoding harness values with the codec's plans, and comparing decoded
// trees with the values they came from.
#include "value_model.hpp"

#include "vakra/header.hpp"

namespace vakra::fuzz {
namespace {

constexpr uint8_t kCanary = 0xA5;
constexpr size_t kGuard = 16;

void expect_untouched(const Packet& buffer, size_t from) {
  for (size_t i = from; i < buffer.size(); ++i) FUZZ_CHECK(buffer[i] == kCanary);
}

bool same_bytes(ByteView a, ByteView b) { return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0); }

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
    return checked(plan_string(static_cast<uint32_t>(v->offsets.size() - 1), v->offsets, v->payload, v->check_integrity));
  }
  const auto& q = std::get<QuantizedValue>(value.node);
  return checked(plan_quantized({q.shape, q.scales, q.zero_points, q.data, q.group_size, q.quant_scheme, q.axis, q.dtype}, q.options));
}

Packet write_plan_value(const PacketPlan& plan) {
  return write_checked(plan.size(), [&](MutableBytes out) { return write_plan_checked(plan, out); });
}

// A bundle's plan, its entries planned by `child`.
template <class Child>
PacketPlan plan_bundle(const BundleValue& bundle, Child child) {
  BundlePlan plan;
  for (const BundleEntry& entry : bundle.entries) {
    plan.entries.push_back({{reinterpret_cast<const uint8_t*>(entry.key.data()), entry.key.size()}, child(entry.value)});
  }
  FUZZ_CHECK(finish_bundle_plan(plan).ok());
  return PacketPlan{std::move(plan)};
}

// Compares one value node with the decoded node of the same kind (std::get
// on another kind throws, which ends the harness like a failed check).
struct Expect {
  const Decoded& decoded;

  void operator()(const DenseValue& v) const {
    const auto& dense = std::get<DecodedDense>(decoded.value);
    // Compressed where the value was (unless decode_owned decompressed it).
    FUZZ_CHECK(dense.dtype == v.dtype && dense.shape == v.shape && dense.compressed <= v.options.compress);
    FUZZ_CHECK(dense.compressed || same_bytes(dense.data, v.data));
    if (!dense.compressed) return;
    auto body = lz4_decompress_frame(dense.data, v.data.size());
    FUZZ_CHECK(body.ok() && same_bytes(body->view(), v.data));
  }
  void operator()(const SparseValue& v) const {
    const auto& sparse = std::get<DecodedSparse>(decoded.value);
    FUZZ_CHECK(sparse.format == v.format && sparse.shape == v.shape && sparse.components.size() == 3);
    for (size_t i = 0; i < 3; ++i) Expect{sparse.components[i]}(v.components[i]);
  }
  void operator()(const BundleValue& v) const {
    const auto& bundle = std::get<DecodedBundle>(decoded.value);
    FUZZ_CHECK(bundle.entries.size() == v.entries.size());
    for (size_t i = 0; i < v.entries.size(); ++i) {
      FUZZ_CHECK(bundle.entries[i].key == v.entries[i].key);
      expect_matches(v.entries[i].value, bundle.entries[i].value);
    }
  }
  void operator()(const StringValue& v) const {
    const auto& s = std::get<DecodedString>(decoded.value);
    FUZZ_CHECK(s.shape == std::vector<uint32_t>{static_cast<uint32_t>(v.offsets.size() - 1)});
    FUZZ_CHECK(s.offsets.size() == 8 * v.offsets.size() && std::memcmp(s.offsets.data(), v.offsets.data(), s.offsets.size()) == 0);
    FUZZ_CHECK(same_bytes(s.payload, v.payload));  // the offsets above: a little-endian host
  }
  void operator()(const QuantizedValue& v) const {
    const auto& q = std::get<DecodedQuantized>(decoded.value);
    FUZZ_CHECK(q.dtype == v.dtype && q.shape == v.shape && same_bytes(q.data, ByteView(v.data).first(v.value_bytes())));
    FUZZ_CHECK(same_bytes(q.scales, v.scales) && same_bytes(q.zero_points, v.zero_points));
    FUZZ_CHECK(q.axis == v.axis && q.group_size == v.group_size && q.quant_scheme == v.quant_scheme);
  }
};

}  // namespace

Packet write_checked(size_t required, const std::function<Result<size_t>(MutableBytes)>& write) {
  FUZZ_CHECK(required >= kHeaderLenV4);
  Packet buffer(required + kGuard, kCanary), short_by_one(required - 1 + kGuard, kCanary);
  auto written = write({buffer.data(), required});
  FUZZ_CHECK(written.ok() && *written == required);
  expect_untouched(buffer, required);
  buffer.resize(required);
  FUZZ_CHECK(failed_with(write({short_by_one.data(), required - 1}), ErrorKind::BufferTooSmall));
  expect_untouched(short_by_one, 0);
  return buffer;
}

Packet encode_value(const Value& value) {
  const auto* bundle = std::get_if<BundleValue>(&value.node);
  if (bundle == nullptr) return write_plan_value(plan_leaf(value));
  std::vector<Packet> children;  // the plan borrows their heap buffers, which moves keep in place
  return write_plan_value(
      plan_bundle(*bundle, [&](const Value& child) { return PacketPlan{RawPacket{children.emplace_back(encode_value(child))}}; }));
}

PacketPlan plan_value(const Value& value) {
  const auto* bundle = std::get_if<BundleValue>(&value.node);
  return bundle == nullptr ? plan_leaf(value) : plan_bundle(*bundle, plan_value);
}

void expect_matches(const Value& value, const Decoded& decoded) { std::visit(Expect{decoded}, value.node); }

}  // namespace vakra::fuzz
