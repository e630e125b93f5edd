// Where the extension sends a finished encoder plan: a new bytes object, or
// a file descriptor through writev(2) of the plan's segment list. Writing
// into a caller's buffer is write_plan_checked itself.
#pragma once

#include "python_api.hpp"
#include "vakra/plan.hpp"

namespace vakra::ext {

// A bytes object of exactly the plan's size, written in place.
PyObject* plan_to_bytes(const PacketPlan& plan);

// Writes the packet to `fd` from its segments, bodies straight from their
// memory, releasing the GIL only around the write loop. Partial writes are
// continued and EINTR retried. False with OSError set: "failed to write
// whole buffer" when a call writes nothing, else "<strerror> (os error N)".
bool write_plan_to_fd(const PacketPlan& plan, int fd);

}  // namespace vakra::ext
