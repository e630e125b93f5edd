// encode_bundle_rs, dumps_string_rs and dumps_quantized_rs: packets from
// values the Python package has already taken apart.
#include <array>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "plan_sinks.hpp"
#include "prepacked_inputs.hpp"
#include "tensor_inputs.hpp"
#include "pyref.hpp"
#include "vakra/plan.hpp"

namespace vakra::ext {
namespace {

constexpr std::array<const char*, 1> kBundleParams = {"entries"};
constexpr std::array<const char*, 4> kStringParams = {"offsets", "payload", "count", "check_integrity"};
constexpr std::array<const char*, 3> kQuantizedParams = {"qt", "check_integrity", "alignment"};
constexpr FunctionSpec kBundleSpec{"encode_bundle_rs", kBundleParams, 1};
constexpr FunctionSpec kStringSpec{"dumps_string_rs", kStringParams, 3};
constexpr FunctionSpec kQuantizedSpec{"dumps_quantized_rs", kQuantizedParams, 1};

// The packet of a successful kind plan as a new bytes object.
template <class Plan>
PyObject* planned_bytes(Result<Plan>&& planned) {
  Plan plan;
  if (!unwrap(std::move(planned), plan)) return nullptr;
  return plan_to_bytes(PacketPlan{std::move(plan)});
}

PyObject* encode_bundle(PyObject* entries_object) {
  std::vector<PrepackedEntry> entries;
  if (!convert_param("entries", entries_object, entries, to_bundle_entries)) return nullptr;
  BundlePlan plan;
  plan.entries.reserve(entries.size());
  for (const PrepackedEntry& entry : entries) {
    plan.entries.push_back({entry.key_utf8, PacketPlan{RawPacket{entry.packet.view()}}});
  }
  // Refuses more than 255 entries, and keys or packets of 4 GiB or more,
  // which the u32 length fields cannot carry.
  if (!unwrap(finish_bundle_plan(plan))) return nullptr;
  return plan_to_bytes(PacketPlan{std::move(plan)});
}

std::vector<uint64_t> read_offsets(ByteView bytes) {
  std::vector<uint64_t> offsets(bytes.size() / sizeof(uint64_t));
  for (size_t i = 0; i < offsets.size(); ++i) {
    uint64_t value = 0;
    for (size_t b = 0; b < sizeof(uint64_t); ++b) value |= uint64_t{bytes[i * 8 + b]} << (8 * b);
    offsets[i] = value;
  }
  return offsets;
}

PyObject* dumps_string(std::span<PyObject*> slots) {
  ByteView offsets_bytes, payload;
  uint32_t count = 0;
  bool check_integrity = false;
  if (!convert_param("offsets", slots[0], offsets_bytes, to_bytes) ||
      !convert_param("payload", slots[1], payload, to_bytes) || !convert_param("count", slots[2], count, to_u32) ||
      !convert_param("check_integrity", slots[3], check_integrity, to_bool)) {
    return nullptr;
  }
  if (offsets_bytes.size() % sizeof(uint64_t) != 0) {
    return raise(PyExc_ValueError, "offsets length must be a multiple of 8");
  }
  const std::vector<uint64_t> offsets = read_offsets(offsets_bytes);
  // The offsets are checked before the output is allocated from `count`, so
  // an absurd count is a Malformed packet rather than a huge allocation.
  return planned_bytes(plan_string(count, offsets, payload, check_integrity));
}

PyObject* dumps_quantized(std::span<PyObject*> slots) {
  bool check_integrity = false;
  uint64_t alignment = kStandardAlignment;
  if (!convert_param("check_integrity", slots[1], check_integrity, to_bool) ||
      !convert_param("alignment", slots[2], alignment, to_u64)) {
    return nullptr;
  }
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    return raise(PyExc_ValueError, "Alignment must be a power of two");
  }
  QuantizedParts parts;
  if (!parts.read(slots[0])) return nullptr;
  const EncodeOptions options{.alignment = alignment, .check_integrity = check_integrity, .compress = false};
  return planned_bytes(plan_quantized(parts.view(), options));
}

}  // namespace

PyObject* encode_bundle_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kBundleParams.size()> slots{};
    if (!match_arguments(kBundleSpec, args, kwargs, slots)) return nullptr;
    return encode_bundle(slots[0]);
  });
}

PyObject* dumps_string_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kStringParams.size()> slots{};
    if (!match_arguments(kStringSpec, args, kwargs, slots)) return nullptr;
    return dumps_string(slots);
  });
}

PyObject* dumps_quantized_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kQuantizedParams.size()> slots{};
    if (!match_arguments(kQuantizedSpec, args, kwargs, slots)) return nullptr;
    return dumps_quantized(slots);
  });
}

}  // namespace vakra::ext
