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

// Sends the packet on the socket `fd` (-1: none the caller may use directly)
// when it is small and the socket takes it whole without waiting: the
// packet's length as an int. Otherwise nothing or a head of it has been sent,
// and the result is (length, segments): the rest as a list of bytes and
// memoryviews (plan_to_segment_list's, with `owner_of`) for the socket's own
// calls, which wait as its timeout says. A failing send raises OSError from
// its errno, as the socket's own send would.
PyObject* send_plan(const PacketPlan& plan, int fd, const std::function<PyObject*(ByteView)>& owner_of);

}  // namespace vakra::ext
