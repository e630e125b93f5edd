#include "value_codec.hpp"

#include <cstring>

#include "fuzz_check.hpp"
#include "vakra/bundle.hpp"
#include "vakra/sparse.hpp"
#include "vakra/string.hpp"

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

Packet encode_dense(const DenseValue& v) {
  auto required = dense_required_size(v.view(), v.options);
  FUZZ_CHECK(required.ok());
  return write_checked(*required, !v.options.compress,
                       [&](MutableBytes out) { return encode_dense_into(v.view(), out, v.options); });
}

Packet encode_sparse(const SparseValue& v) {
  const auto views = component_views(v);
  auto required = sparse_required_size(v.shape, views);
  FUZZ_CHECK(required.ok());
  return write_checked(*required, true,
                       [&](MutableBytes out) { return encode_sparse_into(v.format, v.shape, views, out); });
}

Packet encode_bundle(const BundleValue& v) {
  std::vector<Packet> children;
  for (const BundleItemValue& item : v.entries) children.push_back(encode_value(item.value));
  std::vector<BundleEntry> entries;
  for (size_t i = 0; i < children.size(); ++i) entries.push_back({bytes_of(v.entries[i].key), children[i]});
  auto required = bundle_required_size(entries);
  FUZZ_CHECK(required.ok());
  return write_checked(*required, true, [&](MutableBytes out) { return encode_bundle_into(entries, out); });
}

Packet encode_string(const StringValue& v) {
  FUZZ_CHECK(check_string_offsets(v.count(), v.offsets, v.payload.size()).ok());
  auto required = string_packet_size(v.count(), v.payload.size(), v.check_integrity);
  FUZZ_CHECK(required.ok());
  return write_checked(*required, true, [&](MutableBytes out) {
    return encode_string_into(v.count(), v.offsets, v.payload, out, v.check_integrity);
  });
}

Packet encode_quantized(const QuantizedValue& v) {
  auto required = quantized_required_size(v.view(), v.options);
  FUZZ_CHECK(required.ok());
  return write_checked(*required, true,
                       [&](MutableBytes out) { return encode_quantized_into(v.view(), out, v.options); });
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
  return std::visit(
      [](const auto& node) -> Packet {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, DenseValue>) return encode_dense(node);
        if constexpr (std::is_same_v<T, SparseValue>) return encode_sparse(node);
        if constexpr (std::is_same_v<T, BundleValue>) return encode_bundle(node);
        if constexpr (std::is_same_v<T, StringValue>) return encode_string(node);
        if constexpr (std::is_same_v<T, QuantizedValue>) return encode_quantized(node);
      },
      value.node);
}

PacketPlan plan_value(const Value& value, std::vector<Packet>& storage) {
  if (const auto* dense = std::get_if<DenseValue>(&value.node)) {
    auto plan = plan_dense(dense->view(), dense->options);
    FUZZ_CHECK(plan.ok());
    return PacketPlan{std::move(*plan)};
  }
  if (const auto* sparse = std::get_if<SparseValue>(&value.node)) {
    auto plan = plan_sparse(sparse->format, sparse->shape, component_views(*sparse));
    FUZZ_CHECK(plan.ok());
    return PacketPlan{std::move(*plan)};
  }
  if (const auto* bundle = std::get_if<BundleValue>(&value.node)) {
    BundlePlan plan;
    for (const BundleItemValue& item : bundle->entries) {
      plan.entries.push_back({bytes_of(item.key), plan_value(item.value, storage)});
    }
    FUZZ_CHECK(finish_bundle_plan(plan).ok());
    return PacketPlan{std::move(plan)};
  }
  storage.push_back(encode_value(value));
  return PacketPlan{RawPacket{storage.back()}};
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
