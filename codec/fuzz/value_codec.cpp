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

std::array<DenseView, 3> component_views(const SparseValue& v) {
  return {v.components[0].view(), v.components[1].view(), v.components[2].view()};
}

ByteView bytes_of(const std::string& text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }

// A leaf value's own plan; bundles are planned by the caller.
Result<PacketPlan> plan_leaf(const Value& value) {
  auto wrap = [](auto plan) -> Result<PacketPlan> {
    if (!plan.ok()) return plan.error();
    return PacketPlan{std::move(plan).value()};
  };
  if (const auto* v = std::get_if<DenseValue>(&value.node)) return wrap(plan_dense(v->view(), v->options));
  if (const auto* v = std::get_if<SparseValue>(&value.node)) {
    return wrap(plan_sparse(v->format, v->shape, component_views(*v)));
  }
  if (const auto* v = std::get_if<StringValue>(&value.node)) {
    return wrap(plan_string(v->count(), v->offsets, v->payload, v->check_integrity));
  }
  const auto& q = std::get<QuantizedValue>(value.node);
  return wrap(plan_quantized(q.view(), q.options));
}

Packet write_plan_value(const PacketPlan& plan) {
  return write_checked(plan.size(), true, [&](MutableBytes out) { return write_plan_checked(plan, out); });
}

bool same_bytes(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

void expect_dense(const DenseValue& v, const Decoded& decoded) {
  const auto* dense = std::get_if<DecodedDense>(&decoded.value);
  FUZZ_CHECK(dense != nullptr);
  FUZZ_CHECK(dense->dtype == v.dtype && dense->shape == v.shape);
  FUZZ_CHECK(dense->compressed == v.options.compress);
  if (!dense->compressed) {
    FUZZ_CHECK(same_bytes(dense->data, v.data));
    return;
  }
  auto body = lz4_decompress_frame(dense->data, v.data.size());
  FUZZ_CHECK(body.ok() && same_bytes(body->view(), v.data));
}

void expect_sparse(const SparseValue& v, const Decoded& decoded) {
  const auto* sparse = std::get_if<DecodedSparse>(&decoded.value);
  FUZZ_CHECK(sparse != nullptr);
  FUZZ_CHECK(sparse->format == v.format && sparse->shape == v.shape && sparse->components.size() == 3);
  for (size_t i = 0; i < 3; ++i) expect_dense(v.components[i], sparse->components[i]);
}

void expect_bundle(const BundleValue& v, const Decoded& decoded) {
  const auto* bundle = std::get_if<DecodedBundle>(&decoded.value);
  FUZZ_CHECK(bundle != nullptr && bundle->entries.size() == v.entries.size());
  for (size_t i = 0; i < v.entries.size(); ++i) {
    FUZZ_CHECK(bundle->entries[i].key == v.entries[i].key);
    expect_matches(v.entries[i].value, bundle->entries[i].value);
  }
}

void expect_string(const StringValue& v, const Decoded& decoded) {
  const auto* s = std::get_if<DecodedString>(&decoded.value);
  FUZZ_CHECK(s != nullptr);
  FUZZ_CHECK(s->shape == std::vector<uint32_t>{v.count()});
  Packet offsets(8 * v.offsets.size());
  std::memcpy(offsets.data(), v.offsets.data(), offsets.size());  // little-endian host
  FUZZ_CHECK(same_bytes(s->offsets, offsets) && same_bytes(s->payload, v.payload));
}

void expect_quantized(const QuantizedValue& v, const Decoded& decoded) {
  const auto* q = std::get_if<DecodedQuantized>(&decoded.value);
  FUZZ_CHECK(q != nullptr);
  FUZZ_CHECK(q->dtype == v.dtype && q->shape == v.shape);
  FUZZ_CHECK(same_bytes(q->scales, v.scales) && same_bytes(q->zero_points, v.zero_points));
  FUZZ_CHECK(same_bytes(q->data, ByteView(v.data).first(v.value_bytes())));
  FUZZ_CHECK(q->axis == v.axis && q->group_size == v.group_size && q->quant_scheme == v.quant_scheme);
}

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
  if (bundle == nullptr) {
    auto plan = plan_leaf(value);
    FUZZ_CHECK(plan.ok());
    return write_plan_value(*plan);
  }
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
  if (const auto* bundle = std::get_if<BundleValue>(&value.node)) {
    BundlePlan plan;
    for (const BundleItemValue& item : bundle->entries) plan.entries.push_back({bytes_of(item.key), plan_value(item.value)});
    FUZZ_CHECK(finish_bundle_plan(plan).ok());
    return PacketPlan{std::move(plan)};
  }
  auto plan = plan_leaf(value);
  FUZZ_CHECK(plan.ok());
  return std::move(plan).value();
}

void expect_matches(const Value& value, const Decoded& decoded) {
  std::visit(
      [&](const auto& node) {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, DenseValue>) expect_dense(node, decoded);
        if constexpr (std::is_same_v<T, SparseValue>) expect_sparse(node, decoded);
        if constexpr (std::is_same_v<T, BundleValue>) expect_bundle(node, decoded);
        if constexpr (std::is_same_v<T, StringValue>) expect_string(node, decoded);
        if constexpr (std::is_same_v<T, QuantizedValue>) expect_quantized(node, decoded);
      },
      value.node);
}

}  // namespace vakra::fuzz
