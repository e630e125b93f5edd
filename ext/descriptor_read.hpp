// Reading a file descriptor (a pipe, a socket) into memory with read(2), the
// GIL released: the blocking loop of the package's stream readers, so that a
// large packet arriving in many pieces costs no Python work per piece.
#pragma once

#include <cstddef>

#include "gil_release.hpp"
#include "vakra/bytes.hpp"

namespace vakra::ext {

struct DescriptorRead {
  size_t count = 0;          // bytes read into the front of the window
  bool ended = false;        // a read returned 0: the stream has ended
  bool would_block = false;  // a read failed with EAGAIN: the descriptor is non-blocking and has no data
  int error = 0;             // the errno of a failed read (only when count is 0), or kSignalRaised
};

// A signal handler raised; its exception is set.
inline constexpr int kSignalRaised = -1;

// Reads into `window` until at least `minimum` bytes (1 <= minimum <=
// window.size()) have arrived, the stream ends, a read would block or fails.
// Runs inside `unlocked`. When a signal interrupts a read, the interpreter's
// handlers run (taking the GIL for a moment) and reading goes on unless one
// raised, which ends the call with kSignalRaised. Bytes that arrived are
// always counted: the errno of a failed read is reported only when nothing
// was read (a raising handler is reported either way).
DescriptorRead read_descriptor(int fd, MutableBytes window, size_t minimum, GilReleased& unlocked);

// Raises the error of a read that reported one: OSError from its errno
// (Python picks the subclass), or nothing for kSignalRaised, whose exception
// is set already. Needs the GIL.
void raise_read_error(const DescriptorRead& read);

}  // namespace vakra::ext
