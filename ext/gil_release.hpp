// Lets other Python threads run while the codec works on large bodies.
// Only codec work happens inside: no Python object is touched, and every
// buffer the work reads or writes stays exported (held by a BufferView, a
// PlanBuilder, or owned by a bytes object nobody else can see yet), so its
// memory can neither move nor be freed meanwhile.
#pragma once

#include <cstddef>

#include "python_api.hpp"

namespace vakra::ext {

// Below this many body bytes the lock is kept: the work takes microseconds,
// and giving the lock away could make the call wait a whole switch interval
// (5 ms) to get it back.
inline constexpr size_t kReleaseGilBytes = size_t{256} << 10;

// Releases the GIL for its lifetime when `body_bytes` reaches the threshold;
// takes it back on every path out, unwinding included.
class GilReleased {
 public:
  explicit GilReleased(size_t body_bytes)
      : state_(body_bytes >= kReleaseGilBytes ? PyEval_SaveThread() : nullptr) {}
  ~GilReleased() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace vakra::ext
