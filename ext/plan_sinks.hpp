// Where the extension sends a finished encoder plan: a new bytes object, a
// file descriptor through writev(2) of the plan's segment list, or that list
// as Python buffers, or a caller's buffer. Large plans are written with the
// GIL released.
#pragma once

#include <functional>

#include "encode_plan.hpp"
#include "python_api.hpp"
#include "vakra/plan.hpp"

namespace vakra::ext {

// A bytes object of exactly the plan's size, written in place.
PyObject* plan_to_bytes(const PacketPlan& plan);

// How a failed write is reported: vakra_rs's fixed text "<strerror> (os
// error N)", or the package's OSError(errno, strerror), whose subclass and
// .errno callers can test.
enum class WriteErrors { FixedText, WithErrno };

// Plans `value` with `builder` and writes the packet at the start of the
// caller's writable buffer; the length written, as a Python int. Checked in
// this order: the buffer's export, that it is writable, the options'
// alignment (by `check_alignment`, the caller's rule), the value, the
// buffer's size (nothing written unless it fits).
PyObject* encode_into_buffer(PlanBuilder& builder, const EncodeOptions& options, PyObject* value, PyObject* buffer,
                             bool (*check_alignment)(const EncodeOptions&));

// Writes the packet to `fd` from its segments, bodies straight from their
// memory (checksummed ones from a copy, segments.hpp), releasing the GIL only
// around the write loop. Partial writes are continued; a call a signal
// interrupts runs the interpreter's handlers and is retried unless one raised,
// whose exception then ends the call with a note of the bytes written. False
// with an exception set: OSError "failed to write whole buffer" when a call
// writes nothing, else as `style` says.
bool write_plan_to_fd(const PacketPlan& plan, int fd, WriteErrors style);

// The plan's segments as a list: a read-only memoryview for each body that
// lies in the memory of the object `owner_of` names (the memoryview keeps
// that object alive) and for each large checksummed body's copy (kept alive
// with the list's storage), and bytes objects for everything between, each
// run of neighbouring pieces joined into one. b"".join(list) is the packet.
PyObject* plan_to_segment_list(const PacketPlan& plan, const std::function<PyObject*(ByteView)>& owner_of);

}  // namespace vakra::ext
