// encode_bundle_rs, dumps_string_rs and dumps_quantized_rs: packets from
// values the Python package has already taken apart.
#include <string>
#include <vector>

#include "arguments.hpp"
#include "byte_sequence.hpp"
#include "errors.hpp"
#include "plan_sinks.hpp"
#include "prepacked_inputs.hpp"
#include "pyref.hpp"
#include "signature.hpp"
#include "tensor_inputs.hpp"
#include "vakra/plan.hpp"
#include "vakra_rs_entry_points.hpp"

namespace vakra::ext {
namespace {

const Signature kEncodeBundle("encode_bundle_rs", arg("entries", to_bundle_entries));
const Signature kDumpsString("dumps_string_rs", arg("offsets", to_bytes), arg("payload", to_bytes),
                             arg("count", to_u32), arg("check_integrity", to_bool, false));
const Signature kDumpsQuantized("dumps_quantized_rs", arg("qt", as_object), arg("check_integrity", to_bool, false),
                                arg("alignment", to_u64, kStandardAlignment));

// The packet of a successful kind plan as a new bytes object.
template <class Plan>
PyObject* planned_bytes(Result<Plan>&& planned) {
  Plan plan;
  if (!unwrap(std::move(planned), plan)) return nullptr;
  return plan_to_bytes(PacketPlan{std::move(plan)});
}

PyObject* encode_bundle(const std::vector<PrepackedEntry>& entries) {
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

PyObject* dumps_string(ByteView offsets_bytes, ByteView payload, uint32_t count, bool check_integrity) {
  if (offsets_bytes.size() % sizeof(uint64_t) != 0) {
    return raise(PyExc_ValueError, "offsets length must be a multiple of 8");
  }
  const std::vector<uint64_t> offsets = read_u64_table(offsets_bytes);
  // The offsets are checked before the output is allocated from `count`, so
  // an absurd count is a Malformed packet rather than a huge allocation.
  return planned_bytes(plan_string(count, offsets, payload, check_integrity));
}

PyObject* dumps_quantized(PyObject* qt, bool check_integrity, uint64_t alignment) {
  const EncodeOptions options{.alignment = alignment, .check_integrity = check_integrity, .compress = false};
  if (!check_alignment(options)) return nullptr;
  QuantizedParts parts;
  if (!parts.read(qt)) return nullptr;
  return planned_bytes(plan_quantized(parts.view(), options));
}

}  // namespace

PyObject* encode_bundle_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return kEncodeBundle.call(args, kwargs, encode_bundle);
}

PyObject* dumps_string_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return kDumpsString.call(args, kwargs, dumps_string);
}

PyObject* dumps_quantized_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return kDumpsQuantized.call(args, kwargs, dumps_quantized);
}

}  // namespace vakra::ext
