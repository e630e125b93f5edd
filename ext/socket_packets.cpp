#include "socket_packets.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "errors.hpp"
#include "native_entry_points.hpp"
#include "plan_sinks.hpp"
#include "process_objects.hpp"
#include "pyref.hpp"
#include "signature.hpp"
#include "vakra/walk.hpp"

namespace vakra::ext {
namespace {

// One buffer per thread, reused: filled and read within one call, with the GIL held.
MutableBytes scratch() {
  thread_local std::vector<uint8_t> memory;
  if (memory.size() < kSentWhole) memory.resize(kSentWhole);
  return {memory.data(), memory.size()};
}

const Signature kTakeArrived("take_arrived", arg("sock", as_object), arg("max_size", to_size_limit, kNoSizeLimit),
                             arg("writable", to_bool, false));

// Hands `segments` (a new reference, or nullptr with an exception set) to
// the package's sender; the packet's length once it has sent them.
PyObject* sent_by_package(const SocketTarget& target, PyObject* segments, size_t length) {
  PyRef rest = PyRef::steal(segments);
  if (!rest) return nullptr;
  PyRef done = PyRef::steal(PyObject_CallFunctionObjArgs(target.send_rest, target.sock, rest.get(), nullptr));
  return done ? PyLong_FromSize_t(length) : nullptr;
}

// [bytes of the unsent tail].
PyObject* tail_list(ByteView rest) {
  PyRef tail = PyRef::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rest.data()), static_cast<Py_ssize_t>(rest.size())));
  return tail ? Py_BuildValue("[O]", tail.get()) : nullptr;
}

}  // namespace

bool direct_descriptor(PyObject* sock, int& fd) {
  const ProcessObjects& h = process_objects();
  fd = -1;
  if (reinterpret_cast<PyObject*>(Py_TYPE(sock)) != h.socket_type.get()) return true;
  PyRef number = PyRef::steal(PyObject_CallMethodObjArgs(sock, h.names.fileno.get(), nullptr));
  return number && to_c_int(number.get(), fd);
}

PyObject* send_plan(const PacketPlan& plan, const SocketTarget& target,
                    const std::function<PyObject*(ByteView)>& owner_of) {
  const size_t length = plan.size();
  if (length > kSentWhole) return sent_by_package(target, plan_to_segment_list(plan, owner_of), length);
  const MutableBytes packet = scratch().first(length);
  write_plan(plan, packet);
  if (target.fd < 0) return sent_by_package(target, tail_list(packet), length);
  // A socket that cannot take it all at once (full, or with a timeout to
  // honour) is left to the socket's own sendall from where this stopped.
  const ssize_t sent = ::send(target.fd, packet.data(), length, MSG_DONTWAIT);
  if (sent == static_cast<ssize_t>(length)) return PyLong_FromSize_t(length);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return PyErr_SetFromErrno(PyExc_OSError);
  return sent_by_package(target, tail_list(packet.subspan(sent > 0 ? static_cast<size_t>(sent) : 0)), length);
}

PyObject* native_take_arrived(PyObject*, PyObject* args, PyObject* kwargs) {
  return kTakeArrived.call(args, kwargs, [](PyObject* sock, int64_t max_size, bool writable) -> PyObject* {
    int fd = -1;
    if (!direct_descriptor(sock, fd)) return nullptr;
    if (fd < 0) Py_RETURN_NONE;
    const MutableBytes peek = scratch();
    const ssize_t seen = ::recv(fd, peek.data(), peek.size(), MSG_PEEK | MSG_DONTWAIT);
    if (seen <= 0) Py_RETURN_NONE;
    PacketExtent extent;
    if (!unwrap(probe_packet(peek.first(static_cast<size_t>(seen))), extent)) return nullptr;
    const uint64_t least = extent.complete ? extent.length : static_cast<uint64_t>(seen) + extent.length;
    if (max_size < 0 || least > static_cast<uint64_t>(max_size)) {
      return raise(PyExc_ValueError, "Packet larger than max_size: at least " + std::to_string(least) +
                                         " bytes, max_size " + std::to_string(max_size));
    }
    if (!extent.complete) Py_RETURN_NONE;
    const auto length = static_cast<Py_ssize_t>(extent.length);
    PyRef packet = PyRef::steal(writable ? PyByteArray_FromStringAndSize(nullptr, length)
                                         : PyBytes_FromStringAndSize(nullptr, length));
    if (!packet) return nullptr;
    char* memory = writable ? PyByteArray_AsString(packet.get()) : PyBytes_AsString(packet.get());
    const ssize_t got = ::recv(fd, memory, extent.length, MSG_DONTWAIT);
    if (got < 0) return PyErr_SetFromErrno(PyExc_OSError);
    if (got != length) {
      return raise(PyExc_RuntimeError, "the socket returned " + std::to_string(got) + " of " +
                                           std::to_string(length) + " bytes it had shown");
    }
    return packet.release();
  });
}

}  // namespace vakra::ext
