// dumps_rs, dump_to_buffer_rs and dump_to_fd_rs: a value to one packet, as
// new bytes, into a caller's writable buffer, or onto a file descriptor.
#include "arguments.hpp"
#include "encode_plan.hpp"
#include "errors.hpp"
#include "numpy_array.hpp"
#include "plan_sinks.hpp"
#include "signature.hpp"
#include "vakra_rs_entry_points.hpp"

namespace vakra::ext {
namespace {

const Signature kDumps("dumps_rs", arg("array", as_object), arg("check_integrity", to_bool, false),
                       arg("compress", to_bool, false), arg("alignment", to_u64, kStandardAlignment));
const Signature kDumpToBuffer("dump_to_buffer_rs", arg("array", as_object), arg("buffer", as_object),
                              arg("check_integrity", to_bool, false), arg("compress", to_bool, false),
                              arg("alignment", to_u64, kStandardAlignment));
const Signature kDumpToFd("dump_to_fd_rs", arg("array", as_object), arg("fd", to_c_int),
                          arg("check_integrity", to_bool, false), arg("compress", to_bool, false),
                          arg("alignment", to_u64, kStandardAlignment));

}  // namespace

PyObject* dumps_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return kDumps.call(args, kwargs, [](PyObject* array, bool check_integrity, bool compress, uint64_t alignment) -> PyObject* {
    const EncodeOptions options = encode_options(check_integrity, compress, alignment);
    if (!check_alignment(options)) return nullptr;
    PlanBuilder builder(options);
    PacketPlan plan;
    if (!builder.plan_value(array, plan)) return nullptr;
    return plan_to_bytes(plan);
  });
}

PyObject* dump_to_buffer_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return kDumpToBuffer.call(
      args, kwargs, [](PyObject* array, PyObject* buffer, bool check_integrity, bool compress, uint64_t alignment) {
        const EncodeOptions options = encode_options(check_integrity, compress, alignment);
        PlanBuilder builder(options);
        return encode_into_buffer(builder, options, array, buffer, check_alignment);
      });
}

PyObject* dump_to_fd_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return kDumpToFd.call(
      args, kwargs, [](PyObject* array, int fd, bool check_integrity, bool compress, uint64_t alignment) -> PyObject* {
        const EncodeOptions options = encode_options(check_integrity, compress, alignment);
        if (!check_alignment(options)) return nullptr;
        bool contiguous = false;
        if (!read_c_contiguous(array, contiguous)) return nullptr;
        if (!contiguous) return raise(PyExc_ValueError, "Array must be C-Contiguous");
        PlanBuilder builder(options);
        PacketPlan plan;
        plan.node.emplace<DensePlan>();
        if (!builder.plan_array(array, std::get<DensePlan>(plan.node))) return nullptr;
        if (!write_plan_to_fd(plan, fd, WriteErrors::FixedText)) return nullptr;
        return PyLong_FromSize_t(plan.size());
      });
}

}  // namespace vakra::ext
