// dumps_rs, dump_to_buffer_rs and dump_to_fd_rs: a value to one packet, as
// new bytes, into a caller's writable buffer, or onto a file descriptor.
#include <array>

#include "arguments.hpp"
#include "encode_plan.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "numpy_array.hpp"
#include "plan_sinks.hpp"

namespace vakra::ext {
namespace {

constexpr std::array<const char*, 4> kDumpsParams = {"array", "check_integrity", "compress", "alignment"};
constexpr FunctionSpec kDumps{"dumps_rs", kDumpsParams, 1};
constexpr std::array<const char*, 5> kBufferParams = {"array", "buffer", "check_integrity", "compress", "alignment"};
constexpr FunctionSpec kDumpToBuffer{"dump_to_buffer_rs", kBufferParams, 2};
constexpr std::array<const char*, 5> kFdParams = {"array", "fd", "check_integrity", "compress", "alignment"};
constexpr FunctionSpec kDumpToFd{"dump_to_fd_rs", kFdParams, 2};

}  // namespace

PyObject* dumps_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kDumpsParams.size()> slots{};
    EncodeOptions options;
    if (!match_arguments(kDumps, args, kwargs, slots) || !convert_encode_options(std::span(slots).subspan(1), options) ||
        !check_alignment(options)) {
      return nullptr;
    }
    PlanBuilder builder(options);
    PacketPlan plan;
    if (!builder.plan_value(slots[0], plan)) return nullptr;
    return plan_to_bytes(plan);
  });
}

PyObject* dump_to_buffer_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kBufferParams.size()> slots{};
    EncodeOptions options;
    if (!match_arguments(kDumpToBuffer, args, kwargs, slots) ||
        !convert_encode_options(std::span(slots).subspan(2), options)) {
      return nullptr;
    }
    PlanBuilder builder(options);
    return encode_into_buffer(builder, options, slots[0], slots[1]);
  });
}

PyObject* dump_to_fd_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kFdParams.size()> slots{};
    EncodeOptions options;
    int fd = 0;
    if (!match_arguments(kDumpToFd, args, kwargs, slots) || !convert_param("fd", slots[1], fd, to_c_int) ||
        !convert_encode_options(std::span(slots).subspan(2), options) || !check_alignment(options)) {
      return nullptr;
    }
    bool contiguous = false;
    if (!read_c_contiguous(slots[0], contiguous)) return nullptr;
    if (!contiguous) return raise(PyExc_ValueError, "Array must be C-Contiguous");

    PlanBuilder builder(options);
    PacketPlan plan;
    plan.node.emplace<DensePlan>();
    if (!builder.plan_array(slots[0], std::get<DensePlan>(plan.node))) return nullptr;
    if (!write_plan_to_fd(plan, fd, WriteErrors::FixedText)) return nullptr;
    return PyLong_FromSize_t(plan.size());
  });
}

}  // namespace vakra::ext
