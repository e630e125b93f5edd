// dumps_rs, dump_to_buffer_rs and dump_to_fd_rs: a value to one packet, as
// new bytes, into a caller's writable buffer, or onto a file descriptor.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "encode_plan.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "numpy_array.hpp"
#include "pyref.hpp"
#include "vakra/memory.hpp"

namespace vakra::ext {
namespace {

constexpr std::array<const char*, 4> kDumpsParams = {"array", "check_integrity", "compress", "alignment"};
constexpr FunctionSpec kDumps{"dumps_rs", kDumpsParams, 1};
constexpr std::array<const char*, 5> kBufferParams = {"array", "buffer", "check_integrity", "compress", "alignment"};
constexpr FunctionSpec kDumpToBuffer{"dump_to_buffer_rs", kBufferParams, 2};
constexpr std::array<const char*, 5> kFdParams = {"array", "fd", "check_integrity", "compress", "alignment"};
constexpr FunctionSpec kDumpToFd{"dump_to_fd_rs", kFdParams, 2};

// Converts the three trailing option parameters, which every encoder shares.
bool convert_options(std::span<PyObject*> option_slots, EncodeOptions& options) {
  uint64_t alignment = options.alignment;
  if (!convert_param("check_integrity", option_slots[0], options.check_integrity, to_bool) ||
      !convert_param("compress", option_slots[1], options.compress, to_bool) ||
      !convert_param("alignment", option_slots[2], alignment, to_u64)) {
    return false;
  }
  options.alignment = static_cast<size_t>(alignment);
  return true;
}

bool check_alignment(const EncodeOptions& options) {
  const size_t a = options.alignment;
  if (a != 0 && (a & (a - 1)) == 0) return true;
  return raise(PyExc_ValueError, "Alignment must be a power of two");
}

// A bytes object of exactly the plan's size, written in place: the writers
// fill every byte, so there is no zero fill first.
PyObject* plan_to_bytes(const PacketPlan& plan) {
  const size_t size = plan.size();
  PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) return nullptr;
  char* storage = PyBytes_AsString(out.get());
  if (storage == nullptr) return nullptr;
  prefer_huge_pages(storage, size);
  write_plan(plan, MutableBytes(reinterpret_cast<uint8_t*>(storage), size));
  return out.release();
}

// Writes the pieces to `fd` in order with writev(2), continuing partial
// writes and retrying EINTR, at most INT_MAX bytes per call. Runs without the
// GIL. Returns 0, the errno of a failed call, or -1 when a call wrote nothing.
int write_all(int fd, std::span<const ByteView> pieces) {
  std::array<iovec, 3> vectors{};
  size_t first = 0;    // first piece not yet fully written
  size_t offset = 0;   // bytes of it already written
  while (first < pieces.size()) {
    if (offset == pieces[first].size()) {
      ++first;
      offset = 0;
      continue;
    }
    size_t count = 0;
    size_t budget = INT_MAX;
    for (size_t i = first; i < pieces.size() && budget > 0; ++i) {
      const size_t skip = i == first ? offset : 0;
      const size_t len = std::min(pieces[i].size() - skip, budget);
      if (len == 0) continue;
      vectors[count++] = {const_cast<uint8_t*>(pieces[i].data() + skip), len};
      budget -= len;
    }
    const ssize_t n = ::writev(fd, vectors.data(), static_cast<int>(count));
    if (n == 0) return -1;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // Advance through the pieces by what was written.
    for (size_t left = static_cast<size_t>(n); left > 0;) {
      const size_t step = std::min(left, pieces[first].size() - offset);
      offset += step;
      left -= step;
      if (offset == pieces[first].size() && left > 0) {
        ++first;
        offset = 0;
      }
    }
  }
  return 0;
}

Raised raise_write_error(int error) {
  if (error == -1) return raise(PyExc_OSError, "failed to write whole buffer");
  return raise(PyExc_OSError, std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")");
}

}  // namespace

PyObject* dumps_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kDumpsParams.size()> slots{};
    EncodeOptions options;
    if (!match_arguments(kDumps, args, kwargs, slots) || !convert_options(std::span(slots).subspan(1), options) ||
        !check_alignment(options)) {
      return nullptr;
    }
    PlanBuilder builder(options);
    PacketPlan plan;
    if (!builder.plan_value(slots[0], plan)) return nullptr;
    return plan_to_bytes(plan);
  });
}

PyObject* dump_to_buffer_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kBufferParams.size()> slots{};
    EncodeOptions options;
    if (!match_arguments(kDumpToBuffer, args, kwargs, slots) ||
        !convert_options(std::span(slots).subspan(2), options)) {
      return nullptr;
    }
    BufferView destination;
    if (!destination.acquire_bytes(slots[1])) return nullptr;
    if (destination.readonly()) return raise(PyExc_ValueError, "Buffer is read-only");
    if (!check_alignment(options)) return nullptr;
    PlanBuilder builder(options);
    PacketPlan plan;
    if (!builder.plan_value(slots[0], plan)) return nullptr;
    size_t written = 0;
    if (!unwrap(write_plan_checked(plan, destination.writable_bytes()), written)) return nullptr;
    return PyLong_FromSize_t(written);
  });
}

PyObject* dump_to_fd_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kFdParams.size()> slots{};
    EncodeOptions options;
    int fd = 0;
    if (!match_arguments(kDumpToFd, args, kwargs, slots) || !convert_param("fd", slots[1], fd, to_c_int) ||
        !convert_options(std::span(slots).subspan(2), options) || !check_alignment(options)) {
      return nullptr;
    }
    bool contiguous = false;
    if (!read_c_contiguous(slots[0], contiguous)) return nullptr;
    if (!contiguous) return raise(PyExc_ValueError, "Array must be C-Contiguous");

    PlanBuilder builder(options);
    DensePlan plan;
    if (!builder.plan_array(slots[0], plan)) return nullptr;
    // The body goes straight from the array (or the compressed frame) to the
    // descriptor; only the prefix and the checksum are assembled here.
    OwnedBytes prefix = OwnedBytes::uninitialized(plan.layout.body_offset());
    write_dense_prefix(plan, prefix.span());
    std::array<uint8_t, 8> footer{};
    size_t footer_len = 0;
    if (plan.options.check_integrity) {
      const uint64_t checksum = dense_body_checksum(plan);
      std::memcpy(footer.data(), &checksum, sizeof checksum);  // little-endian host
      footer_len = sizeof checksum;
    }
    const std::array<ByteView, 3> pieces = {prefix.view(), plan.body(), ByteView(footer.data(), footer_len)};

    int error = 0;
    PyThreadState* released = PyEval_SaveThread();
    // -1 is never an open descriptor: report it like any other bad one
    // rather than handing it to writev(2).
    error = fd == -1 ? EBADF : write_all(fd, pieces);
    PyEval_RestoreThread(released);
    if (error != 0) return raise_write_error(error);
    return PyLong_FromSize_t(plan.size);
  });
}

}  // namespace vakra::ext
