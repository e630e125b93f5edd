#include "socket_sink.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "plan_sinks.hpp"
#include "pyref.hpp"

namespace vakra::ext {
namespace {

// (length, [bytes of the unsent tail]): what the socket's own sendall takes on from.
PyObject* rest_to_send(size_t length, ByteView rest) {
  PyRef tail = PyRef::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rest.data()), static_cast<Py_ssize_t>(rest.size())));
  if (!tail) return nullptr;
  return Py_BuildValue("(n[O])", static_cast<Py_ssize_t>(length), tail.get());
}

}  // namespace

PyObject* send_plan(const PacketPlan& plan, int fd, const std::function<PyObject*(ByteView)>& owner_of) {
  const size_t length = plan.size();
  if (length > kSentWhole) {
    PyRef segments = PyRef::steal(plan_to_segment_list(plan, owner_of));
    if (!segments) return nullptr;
    return Py_BuildValue("(nO)", static_cast<Py_ssize_t>(length), segments.get());
  }
  // One buffer per thread, reused: written and sent within this call, with the GIL held.
  thread_local std::vector<uint8_t> scratch;
  if (scratch.size() < kSentWhole) scratch.resize(kSentWhole);
  const MutableBytes packet(scratch.data(), length);
  write_plan(plan, packet);
  if (fd < 0) return rest_to_send(length, packet);
  // A socket that cannot take it all at once (full, or with a timeout to
  // honour) is left to the socket's own sendall from where this stopped.
  const ssize_t sent = ::send(fd, packet.data(), length, MSG_DONTWAIT);
  if (sent == static_cast<ssize_t>(length)) return PyLong_FromSize_t(length);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return PyErr_SetFromErrno(PyExc_OSError);
  return rest_to_send(length, packet.subspan(sent > 0 ? static_cast<size_t>(sent) : 0));
}

}  // namespace vakra::ext
