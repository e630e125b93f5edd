// Packets on a socket from within one native call, for vakra.send and
// vakra.recv's messages: a small packet sent with one send(2), without a
// bytes object or a Python-level socket call, and a packet that has fully
// arrived taken with one peek and one recv(2).
#pragma once

#include <cstdint>
#include <functional>

#include "python_api.hpp"
#include "vakra/bytes.hpp"
#include "vakra/plan.hpp"

namespace vakra::ext {

// Packets up to this size are copied into per-thread memory and sent with one
// call; larger ones go out from their bodies' own memory (segment lists). A
// peek looks at this much of what a socket holds.
inline constexpr size_t kSentWhole = size_t{64} << 10;

// The descriptor of `sock` when it is exactly a socket.socket, which may be
// read and written directly (a subclass, a TLS socket, may not): -1
// otherwise, and for a closed socket, which its own calls then refuse. False
// with an exception set.
bool direct_descriptor(PyObject* sock, int& fd);

// Where send_plan sends: `sock`, through its descriptor `fd` where that may
// be written directly (else -1), and `send_rest(sock, segments)`, the
// package's sender for what one send(2) does not take.
struct SocketTarget {
  PyObject* sock;
  int fd;
  PyObject* send_rest;
};

// Sends the packet, and returns its length as an int. A small one goes out
// with one send(2) that does not wait when the socket takes it whole;
// otherwise what is left (all of it, or the tail a send left) goes to
// send_rest as a list of bytes and memoryviews (plan_to_segment_list's, with
// `owner_of`), whose socket calls wait as the socket's timeout says. A
// failing send raises OSError from its errno, as the socket's own send would.
PyObject* send_plan(const PacketPlan& plan, const SocketTarget& target,
                    const std::function<PyObject*(ByteView)>& owner_of);

}  // namespace vakra::ext
