// Lets other Python threads run while the codec works on large bodies or a
// call blocks (a write to a pipe, a wait for a mutex). Only native work happens inside: no Python object is touched, and every
// buffer the work reads or writes stays exported (held by a BufferView, a
// PlanBuilder, or owned by a bytes object nobody else can see yet), so its
// memory can neither move nor be freed meanwhile.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cxxabi.h>

#include "python_api.hpp"

namespace vakra::ext {

// Below this many body bytes the lock is kept: the work takes microseconds,
// and giving the lock away could make the call wait a whole switch interval
// (5 ms) to get it back.
inline constexpr size_t kReleaseGilBytes = size_t{256} << 10;

inline bool worth_releasing(size_t body_bytes) { return body_bytes >= kReleaseGilBytes; }

// Releases the GIL for its lifetime (when `release`); takes it back on every
// path out, unwinding included.
class GilReleased {
 public:
  explicit GilReleased(bool release = true) : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~GilReleased() {
    if (state_ == nullptr) return;
    try {
      PyEval_RestoreThread(state_);
    } catch (abi::__forced_unwind&) {
      // The interpreter is finalizing and ends any thread that asks for the
      // GIL by unwinding it, which would release Python objects without the
      // GIL. A daemon thread caught here waits for the process to exit
      // instead (as Python 3.14 itself does).
      for (;;) pause();
    }
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

  // Takes the GIL back for a moment and runs the interpreter's signal
  // handlers (Ctrl-C, a handler that raises): how a blocking loop inside the
  // scope stays interruptible. False when one raised; its exception is set.
  bool check_signals() {
    if (state_ == nullptr) return PyErr_CheckSignals() == 0;
    PyEval_RestoreThread(state_);
    const bool calm = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    return calm;
  }

 private:
  PyThreadState* state_;
};

}  // namespace vakra::ext
