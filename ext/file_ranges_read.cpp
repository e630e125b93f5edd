// _native.read_ranges(fd, ranges, writable): byte ranges of a regular file
// read into memory of their own, one FileMapping per range, by positioned
// reads on the codec's threads with the GIL released. This is how
// load_file(mmap=False) reads a model file: large reads straight into the
// memory the arrays then own, instead of page faults on a mapping, one at a
// time, on the thread that touches it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "arguments.hpp"
#include "errors.hpp"
#include "file_mapping.hpp"
#include "gil_release.hpp"
#include "native_entry_points.hpp"
#include "pyref.hpp"
#include "signature.hpp"
#include "thread_pool_internal.hpp"

namespace vakra::ext {
namespace {

// Each thread reads this much at a time: large enough that the disk sees
// long requests and the call's overhead vanishes, small enough that a few
// large entries still spread over every thread.
constexpr uint64_t kPieceBytes = uint64_t{8} << 20;

struct Piece {
  uint8_t* out;
  uint64_t offset;
  uint64_t length;
};

// A piece's bytes, read whole; 0, or the errno of the failure (ENODATA: the
// file ended before the piece did).
int read_piece(int fd, const Piece& piece) {
  uint64_t got = 0;
  while (got < piece.length) {
    const ssize_t n = ::pread(fd, piece.out + got, piece.length - got, static_cast<off_t>(piece.offset + got));
    if (n > 0) {
      got += static_cast<uint64_t>(n);
    } else if (n == 0) {
      return ENODATA;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

// The (offset, length) pair at `item`, a tuple of two ints.
bool to_range(PyObject* item, uint64_t& offset, uint64_t& length) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
    return raise(PyExc_TypeError, "ranges must be (offset, length) tuples");
  }
  return to_u64(PyTuple_GetItem(item, 0), offset) && to_u64(PyTuple_GetItem(item, 1), length);
}

const Signature kReadRanges("read_ranges", arg("fd", to_c_int), arg("ranges", as_object), arg("writable", to_bool, true));

}  // namespace

PyObject* native_read_ranges(PyObject*, PyObject* args, PyObject* kwargs) {
  return kReadRanges.call(args, kwargs, [](int fd, PyObject* ranges, bool writable) -> PyObject* {
    if (!PyList_Check(ranges)) return raise(PyExc_TypeError, "ranges must be a list of (offset, length) tuples");
    struct stat status;
    if (::fstat(fd, &status) != 0) return raise_errno(errno);
    if (!S_ISREG(status.st_mode)) return raise(PyExc_ValueError, "only a regular file's ranges can be read");
    const Py_ssize_t count = PyList_Size(ranges);
    PyRef result = PyRef::steal(PyList_New(count));
    if (!result) return nullptr;
    std::vector<Piece> pieces;
    for (Py_ssize_t index = 0; index < count; ++index) {
      uint64_t offset = 0, length = 0;
      if (!to_range(PyList_GetItem(ranges, index), offset, length)) return nullptr;
      if (offset > static_cast<uint64_t>(status.st_size) || length > static_cast<uint64_t>(status.st_size) - offset) {
        return raise(PyExc_ValueError, "a range lies outside the file");
      }
      uint8_t* data = nullptr;
      PyObject* bytes = new_owned_file_bytes(offset, length, writable, &data);
      if (bytes == nullptr) return nullptr;
      PyList_SetItem(result.get(), index, bytes);  // steals it
      for (uint64_t done = 0; done < length; done += kPieceBytes) {
        pieces.push_back({data + done, offset + done, std::min(kPieceBytes, length - done)});
      }
    }
    std::atomic<int> failure{0};
    {
      GilReleased unlocked;
      // The memory is this call's alone until it returns: no Python object
      // sees it yet, so the threads may fill it without the GIL.
      parallel::for_each(pieces.size(), [&](size_t index) {
        if (failure.load(std::memory_order_relaxed) != 0) return;
        const int error = read_piece(fd, pieces[index]);
        if (error != 0) {
          int none = 0;
          failure.compare_exchange_strong(none, error);
        }
      });
    }
    const int error = failure.load();
    if (error == ENODATA) return raise(PyExc_ValueError, "the file ended before a range did: it changed while read");
    if (error != 0) return raise_errno(error);
    return result.release();
  });
}

}  // namespace vakra::ext
