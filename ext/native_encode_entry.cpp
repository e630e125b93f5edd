// _native.encode, encode_into, encode_to_fd and encode_segments: the
// package's one encoder. Every value the package accepts is walked natively
// into one plan (PlanBuilder's Package walk), and the plan goes to new bytes,
// a caller's buffer, a descriptor or a list of segments.
#include <array>
#include <span>

#include "arguments.hpp"
#include "encode_plan.hpp"
#include "errors.hpp"
#include "native_entry_points.hpp"
#include "plan_sinks.hpp"

namespace vakra::ext {
namespace {

constexpr std::array<const char*, 5> kEncodeParams = {"obj", "check_integrity", "compress", "alignment", "convert"};
constexpr FunctionSpec kEncode{"encode", kEncodeParams, kEncodeParams.size()};
constexpr FunctionSpec kEncodeSegments{"encode_segments", kEncodeParams, kEncodeParams.size()};
constexpr std::array<const char*, 6> kIntoParams = {"obj", "buffer", "check_integrity", "compress", "alignment",
                                                     "convert"};
constexpr FunctionSpec kEncodeInto{"encode_into", kIntoParams, kIntoParams.size()};
constexpr std::array<const char*, 6> kFdParams = {"obj", "fd", "check_integrity", "compress", "alignment", "convert"};
constexpr FunctionSpec kEncodeToFd{"encode_to_fd", kFdParams, kFdParams.size()};

// The options and the convert callable: the parameters after the value (and
// its destination). The alignment is checked by the caller, in its order.
bool read_options(std::span<PyObject*> trailing, EncodeOptions& options, PyObject*& convert) {
  if (!convert_encode_options(trailing.first(3), options)) {
    // An int that does not fit (negative, or beyond 64 bits) is no power of two either.
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      return raise(PyExc_ValueError, "Alignment must be a power of two");
    }
    return false;
  }
  convert = trailing[3];
  if (convert != Py_None && PyCallable_Check(convert) == 0) {
    return raise(PyExc_TypeError, "argument 'convert': expected a callable or None");
  }
  return true;
}

}  // namespace

PyObject* native_encode(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kEncodeParams.size()> slots{};
    EncodeOptions options;
    PyObject* convert = nullptr;
    if (!match_arguments(kEncode, args, kwargs, slots) || !read_options(std::span(slots).subspan(1), options, convert) ||
        !check_alignment(options)) {
      return nullptr;
    }
    PlanBuilder builder(options, Walk::Package, convert);
    PacketPlan plan;
    if (!builder.plan_value(slots[0], plan)) return nullptr;
    return plan_to_bytes(plan);
  });
}

PyObject* native_encode_into(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kIntoParams.size()> slots{};
    EncodeOptions options;
    PyObject* convert = nullptr;
    if (!match_arguments(kEncodeInto, args, kwargs, slots) ||
        !read_options(std::span(slots).subspan(2), options, convert)) {
      return nullptr;
    }
    PlanBuilder builder(options, Walk::Package, convert);
    return encode_into_buffer(builder, options, slots[0], slots[1]);
  });
}

PyObject* native_encode_to_fd(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kFdParams.size()> slots{};
    EncodeOptions options;
    PyObject* convert = nullptr;
    int fd = 0;
    if (!match_arguments(kEncodeToFd, args, kwargs, slots) || !convert_param("fd", slots[1], fd, to_c_int) ||
        !read_options(std::span(slots).subspan(2), options, convert) || !check_alignment(options)) {
      return nullptr;
    }
    PlanBuilder builder(options, Walk::Package, convert);
    PacketPlan plan;
    if (!builder.plan_value(slots[0], plan) || !write_plan_to_fd(plan, fd, WriteErrors::WithErrno)) return nullptr;
    return PyLong_FromSize_t(plan.size());
  });
}

PyObject* native_encode_segments(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kEncodeParams.size()> slots{};
    EncodeOptions options;
    PyObject* convert = nullptr;
    if (!match_arguments(kEncodeSegments, args, kwargs, slots) ||
        !read_options(std::span(slots).subspan(1), options, convert) || !check_alignment(options)) {
      return nullptr;
    }
    PlanBuilder builder(options, Walk::Package, convert);
    PacketPlan plan;
    if (!builder.plan_value(slots[0], plan)) return nullptr;
    return plan_to_segment_list(plan, [&](ByteView bytes) { return builder.owner_of(bytes); });
  });
}

}  // namespace vakra::ext
