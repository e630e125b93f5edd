#include "plan_sinks.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "body_view.hpp"
#include "buffer_view.hpp"
#include "errors.hpp"
#include "gil_release.hpp"
#include "pyref.hpp"
#include "memory_internal.hpp"
#include "overloaded_internal.hpp"
#include "vakra/segments.hpp"

namespace vakra::ext {
namespace {

// Never more ranges per call than the system takes, nor more bytes than a
// 32-bit count: the one-buffer writer's limit, kept for every descriptor.
constexpr size_t kMaxRangesPerCall = IOV_MAX < 1024 ? IOV_MAX : 1024;
constexpr size_t kMaxBytesPerCall = INT_MAX;

// How a write of a segment list ended: 0, the errno of a failed call, -1
// when a call wrote nothing, or kInterrupted when a signal handler raised
// (its exception is set); `written` bytes went out in any case.
struct WriteOutcome {
  int error = 0;
  size_t written = 0;
};
constexpr int kInterrupted = -2;

// How long a blocked write waits before it looks for signals again.
constexpr int kSignalCheckMs = 50;

// After a short write to a blocking descriptor (a pipe or socket nobody
// drains), waits until it takes more. A signal that arrives meanwhile (or
// arrived during the short write, which then returns its count rather than
// failing) is seen within kSignalCheckMs: the interpreter's handlers run, and
// false means one raised. Descriptors in non-blocking mode are not waited
// for: their next write reports EAGAIN as it always has.
bool wait_until_writable(int fd, GilReleased& unlocked) {
  const int status_flags = fcntl(fd, F_GETFL);
  if (status_flags == -1 || (status_flags & O_NONBLOCK) != 0) return true;
  pollfd wanted{fd, POLLOUT, 0};
  for (;;) {
    const int ready = poll(&wanted, 1, kSignalCheckMs);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return true;  // the next write tells
    if (!unlocked.check_signals()) return false;
  }
}

// Writes every segment in order with writev(2), continuing partial writes.
// Runs inside `unlocked`; a call that a signal interrupts takes the GIL back
// for the interpreter's handlers, so Ctrl-C or a raising handler ends it.
WriteOutcome write_segments(int fd, std::span<const Segment> segments, GilReleased& unlocked) {
  std::vector<iovec> vectors;
  vectors.reserve(std::min(segments.size(), kMaxRangesPerCall));
  WriteOutcome outcome;
  size_t first = 0;   // first segment not fully written
  size_t offset = 0;  // bytes of it already written
  while (first < segments.size()) {
    vectors.clear();
    size_t budget = kMaxBytesPerCall;
    for (size_t i = first; i < segments.size() && budget > 0 && vectors.size() < kMaxRangesPerCall; ++i) {
      const size_t skip = i == first ? offset : 0;
      const size_t len = std::min(segments[i].bytes.size() - skip, budget);
      vectors.push_back({const_cast<uint8_t*>(segments[i].bytes.data() + skip), len});
      budget -= len;
    }
    const size_t requested = kMaxBytesPerCall - budget;
    const ssize_t n = ::writev(fd, vectors.data(), static_cast<int>(vectors.size()));
    if (n == 0) {
      outcome.error = -1;
      return outcome;
    }
    if (n < 0) {
      if (errno != EINTR) {
        outcome.error = errno;
        return outcome;
      }
      if (!unlocked.check_signals()) {
        outcome.error = kInterrupted;
        return outcome;
      }
      continue;
    }
    outcome.written += static_cast<size_t>(n);
    // Segments are never empty, so this walks forward through the written bytes.
    for (size_t left = static_cast<size_t>(n); left > 0;) {
      const size_t step = std::min(left, segments[first].bytes.size() - offset);
      offset += step;
      left -= step;
      if (offset == segments[first].bytes.size()) {
        ++first;
        offset = 0;
      }
    }
    if (static_cast<size_t>(n) < requested && first < segments.size() && !wait_until_writable(fd, unlocked)) {
      outcome.error = kInterrupted;
      return outcome;
    }
  }
  return outcome;
}

// One bytes object holding `pieces` back to back.
PyObject* joined_bytes(std::span<const ByteView> pieces) {
  size_t total = 0;
  for (const ByteView piece : pieces) total += piece.size();
  PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  if (!out) return nullptr;
  auto* cursor = reinterpret_cast<uint8_t*>(PyBytes_AsString(out.get()));
  for (const ByteView piece : pieces) {
    std::memcpy(cursor, piece.data(), piece.size());
    cursor += piece.size();
  }
  return out.release();
}

bool append_new(PyObject* list, PyObject* item) {
  PyRef owned = PyRef::steal(item);
  return owned && PyList_Append(list, owned.get()) == 0;
}

Raised raise_write_error(int error, WriteErrors style) {
  if (error == -1) return raise(PyExc_OSError, "failed to write whole buffer");
  if (style == WriteErrors::WithErrno) return raise_errno(error);
  return raise(PyExc_OSError, std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")");
}

// The segment list, its checksums computed without the GIL.
SegmentList segments_unlocked(const PacketPlan& plan) {
  GilReleased unlocked(plan_takes_checksums(plan) && worth_releasing(plan.size()));
  return plan_segments(plan);
}

constexpr const char* kSegmentListName = "vakra._native.SegmentList";

void free_segments(PyObject* capsule) {
  delete static_cast<SegmentList*>(PyCapsule_GetPointer(capsule, kSegmentListName));
}

// A Python object that owns `list` (taken from it on success): views of the
// list's own buffers keep it alive, so checksummed copies go out without a
// second copy into bytes.
PyRef hold_segments(std::unique_ptr<SegmentList>& list) {
  PyRef capsule = PyRef::steal(PyCapsule_New(list.get(), kSegmentListName, free_segments));
  if (capsule) static_cast<void>(list.release());
  return capsule;
}

// MemoryError unless the packet fits in one Python object (at most
// PY_SSIZE_T_MAX bytes, which is also as much as a std::vector holds): a
// vakra_rs alignment of 2^63 asks for that much padding.
bool fits_in_memory(const PacketPlan& plan) {
  if (plan.size() <= static_cast<size_t>(PY_SSIZE_T_MAX)) return true;
  PyErr_NoMemory();
  return false;
}

}  // namespace

PyObject* plan_to_bytes(const PacketPlan& plan) {
  if (!fits_in_memory(plan)) return nullptr;
  const size_t size = plan.size();
  PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) return nullptr;
  char* storage = PyBytes_AsString(out.get());
  if (storage == nullptr) return nullptr;
  prefer_huge_pages(storage, size);
  {
    // Nobody else can see the new object yet.
    GilReleased unlocked(worth_releasing(size));
    write_plan(plan, MutableBytes(reinterpret_cast<uint8_t*>(storage), size));
  }
  return out.release();
}

PyObject* encode_into_buffer(PlanBuilder& builder, const EncodeOptions& options, PyObject* value, PyObject* buffer,
                             bool (*check_alignment)(const EncodeOptions&)) {
  BufferView destination;
  if (!destination.acquire_bytes(buffer)) return nullptr;
  if (destination.readonly()) return raise(PyExc_ValueError, "Buffer is read-only");
  if (!check_alignment(options)) return nullptr;
  PacketPlan plan;
  if (!builder.plan_value(value, plan)) return nullptr;
  const auto write = [&] {  // the GIL is held again before an error is raised
    GilReleased unlocked(worth_releasing(plan.size()));
    return write_plan_checked(plan, destination.writable_bytes());
  };
  size_t written = 0;
  if (!unwrap(write(), written)) return nullptr;
  return PyLong_FromSize_t(written);
}

bool write_plan_to_fd(const PacketPlan& plan, int fd, WriteErrors style) {
  if (!fits_in_memory(plan)) return false;
  const SegmentList list = segments_unlocked(plan);
  WriteOutcome outcome;
  if (fd == -1) {
    // -1 is never an open descriptor: report it like any other bad one
    // rather than handing it to writev(2).
    outcome.error = EBADF;
  } else {
    GilReleased unlocked;
    outcome = write_segments(fd, list.segments(), unlocked);
  }
  if (outcome.error == kInterrupted) {
    add_note("interrupted after writing " + std::to_string(outcome.written) + " of the packet's " +
             std::to_string(list.size()) + " bytes to the file descriptor");
    return false;
  }
  if (outcome.error != 0) return raise_write_error(outcome.error, style);
  return true;
}

PyObject* plan_to_segment_list(const PacketPlan& plan, const std::function<PyObject*(ByteView)>& owner_of) {
  if (!fits_in_memory(plan)) return nullptr;
  auto list = std::make_unique<SegmentList>(segments_unlocked(plan));
  const std::span<const Segment> segments = list->segments();  // stays valid when the list moves into `holder`
  PyRef holder;  // the list itself, once one of its own buffers goes out as a view
  PyRef out = PyRef::steal(PyList_New(0));
  if (!out) return nullptr;
  std::vector<ByteView> run;  // neighbouring pieces that become one bytes object
  for (const Segment& segment : segments) {
    PyObject* owner = segment.borrowed ? owner_of(segment.bytes) : nullptr;
    if (owner == nullptr && segment.separate) {
      if (!holder && !(holder = hold_segments(list))) return nullptr;
      owner = holder.get();
    }
    if (owner == nullptr) {
      run.push_back(segment.bytes);
      continue;
    }
    if (!run.empty() && !append_new(out.get(), joined_bytes(run))) return nullptr;
    run.clear();
    if (!append_new(out.get(), body_memoryview(owner, segment.bytes))) return nullptr;
  }
  if (!run.empty() && !append_new(out.get(), joined_bytes(run))) return nullptr;
  return out.release();
}

}  // namespace vakra::ext
