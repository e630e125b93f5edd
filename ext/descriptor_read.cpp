#include "descriptor_read.hpp"

#include <unistd.h>

#include <cerrno>

#include "python_api.hpp"

namespace vakra::ext {

DescriptorRead read_descriptor(int fd, MutableBytes window, size_t minimum, GilReleased& unlocked) {
  DescriptorRead out;
  while (out.count < minimum) {
    const ssize_t n = ::read(fd, window.data() + out.count, window.size() - out.count);
    if (n > 0) {
      out.count += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) {
      out.ended = true;
      break;
    }
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      out.would_block = true;
      break;
    }
    if (error != EINTR) {
      // With bytes in hand, stop here: the caller keeps them, and its next read meets the error again.
      if (out.count == 0) out.error = error;
      break;
    }
    // The signal's handlers run now, bytes in hand or not: a read that went
    // on would block again, and the signal would wait for another one.
    if (!unlocked.check_signals()) {
      out.error = kSignalRaised;
      break;
    }
  }
  return out;
}

void raise_read_error(const DescriptorRead& read) {
  if (read.error == kSignalRaised) return;
  errno = read.error;
  PyErr_SetFromErrno(PyExc_OSError);
}

}  // namespace vakra::ext
