// _native.encode, encode_into, encode_to_fd, encode_segments and send_to: the
// package's one encoder. Every value the package accepts is walked natively
// into one plan (PlanBuilder's package dispatch), and the plan goes to new
// bytes, a caller's buffer, a descriptor, a list of segments or a socket.
#include "arguments.hpp"
#include "encode_plan.hpp"
#include "errors.hpp"
#include "numpy_array.hpp"
#include "packed_elements.hpp"
#include "native_entry_points.hpp"
#include "plan_sinks.hpp"
#include "signature.hpp"
#include "socket_packets.hpp"

namespace vakra::ext {
namespace {

const Signature kEncode("encode", arg("obj", as_object), arg("check_integrity", to_bool), arg("compress", to_bool),
                        arg("alignment", to_alignment), arg("convert", to_callable_or_none));
const Signature kEncodeSegments("encode_segments", arg("obj", as_object), arg("check_integrity", to_bool),
                                arg("compress", to_bool), arg("alignment", to_alignment),
                                arg("convert", to_callable_or_none));
const Signature kEncodeInto("encode_into", arg("obj", as_object), arg("buffer", as_object),
                            arg("check_integrity", to_bool), arg("compress", to_bool), arg("alignment", to_alignment),
                            arg("convert", to_callable_or_none));
const Signature kSendTo("send_to", arg("sock", as_object), arg("obj", as_object), arg("check_integrity", as_object),
                         arg("compress", as_object), arg("alignment", to_alignment),
                         arg("convert", to_callable_or_none), arg("send_rest", to_callable_or_none));
const Signature kEncodeToFd("encode_to_fd", arg("obj", as_object), arg("fd", to_c_int), arg("check_integrity", to_bool),
                            arg("compress", to_bool), arg("alignment", to_alignment),
                            arg("convert", to_callable_or_none));

// Plans `obj` for the package, after the alignment check, and hands the plan to `finish`.
template <class Finish>
PyObject* planned(PyObject* obj, const EncodeOptions& options, PyObject* convert, Finish&& finish) {
  if (!check_package_alignment(options)) return nullptr;
  PlanBuilder builder(options, Dispatch::Package, convert);
  PacketPlan plan;
  if (!builder.plan_value(obj, plan)) return nullptr;
  return finish(builder, plan);
}

PyObject* encode(PyObject* obj, bool check_integrity, bool compress, uint64_t alignment, PyObject* convert) {
  return planned(obj, encode_options(check_integrity, compress, alignment), convert,
                 [](PlanBuilder&, const PacketPlan& plan) { return plan_to_bytes(plan); });
}

PyObject* encode_into(PyObject* obj, PyObject* buffer, bool check_integrity, bool compress, uint64_t alignment,
                      PyObject* convert) {
  const EncodeOptions options = encode_options(check_integrity, compress, alignment);
  PlanBuilder builder(options, Dispatch::Package, convert);
  return encode_into_buffer(builder, options, obj, buffer, check_package_alignment);
}

PyObject* encode_to_fd(PyObject* obj, int fd, bool check_integrity, bool compress, uint64_t alignment,
                       PyObject* convert) {
  return planned(obj, encode_options(check_integrity, compress, alignment), convert,
                 [fd](PlanBuilder&, const PacketPlan& plan) -> PyObject* {
                   if (!write_plan_to_fd(plan, fd, WriteErrors::WithErrno)) return nullptr;
                   return PyLong_FromSize_t(plan.size());
                 });
}

// An exact ndarray, C-contiguous in native byte order and not to be
// compressed, planned as the builder plans one but without its bookkeeping
// (the array and its export live through the call), and sent. `handled` is
// false, with nothing set, for any other value: it takes the builder's road.
PyObject* send_plain_array(PyObject* obj, const SocketTarget& target, const EncodeOptions& options, bool& handled) {
  handled = false;
  if (options.compress || !is_exact_ndarray(obj)) return nullptr;
  NumpyArrayInfo info;
  BufferView memory;
  bool contiguous = false;
  if (!extract_ndarray(obj, info, memory, contiguous)) {
    handled = true;  // the builder would fail the same way, in the same call
    return nullptr;
  }
  // Packed types take the builder's road, which packs them.
  if (!contiguous || !info.native_order || is_packed(info.dtype)) return nullptr;
  handled = true;
  const DenseView view{ByteView(reinterpret_cast<const uint8_t*>(info.data_address), info.nbytes), info.shape,
                       info.dtype};
  PacketPlan plan;
  if (!unwrap(plan_dense(view, options), plan.node.emplace<DensePlan>())) return nullptr;
  return send_plan(plan, target, [obj](ByteView) { return obj; });  // the body is the one borrowed piece
}

// The options are taken by their truth, as bool() takes them.
PyObject* send_to(PyObject* sock, PyObject* obj, PyObject* check_integrity, PyObject* compress, uint64_t alignment,
                  PyObject* convert, PyObject* send_rest) {
  const int check = PyObject_IsTrue(check_integrity);
  const int compressed = check < 0 ? -1 : PyObject_IsTrue(compress);
  if (compressed < 0) return nullptr;
  SocketTarget target{sock, -1, send_rest};
  if (!direct_descriptor(sock, target.fd)) return nullptr;
  const EncodeOptions options = encode_options(check != 0, compressed != 0, alignment);
  if (!check_package_alignment(options)) return nullptr;
  bool handled = false;
  PyObject* sent = send_plain_array(obj, target, options, handled);
  if (handled) return sent;
  return planned(obj, options, convert, [&target](PlanBuilder& builder, const PacketPlan& plan) {
    return send_plan(plan, target, [&](ByteView bytes) { return builder.owner_of(bytes); });
  });
}

PyObject* encode_segments(PyObject* obj, bool check_integrity, bool compress, uint64_t alignment, PyObject* convert) {
  return planned(obj, encode_options(check_integrity, compress, alignment), convert,
                 [](PlanBuilder& builder, const PacketPlan& plan) {
                   return plan_to_segment_list(plan, [&](ByteView bytes) { return builder.owner_of(bytes); });
                 });
}

}  // namespace

PyObject* native_encode(PyObject*, PyObject* args, PyObject* kwargs) { return kEncode.call(args, kwargs, encode); }

PyObject* native_encode_into(PyObject*, PyObject* args, PyObject* kwargs) {
  return kEncodeInto.call(args, kwargs, encode_into);
}

PyObject* native_encode_to_fd(PyObject*, PyObject* args, PyObject* kwargs) {
  return kEncodeToFd.call(args, kwargs, encode_to_fd);
}

PyObject* native_send_to(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return kSendTo.call_vector(args, nargs, kwnames, send_to);
}

PyObject* native_encode_segments(PyObject*, PyObject* args, PyObject* kwargs) {
  return kEncodeSegments.call(args, kwargs, encode_segments);
}

}  // namespace vakra::ext
