// The shared-memory mutex entry points: argument and buffer checks, then the
// operations of shm_mutex.hpp on the 64-byte area at `offset`.
#include <string>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "errors.hpp"
#include "gil_release.hpp"
#include "shm_mutex.hpp"
#include "signature.hpp"
#include "vakra_rs_entry_points.hpp"

namespace vakra::ext {

namespace {

constexpr double kDefaultTimeoutSecs = 5.0;

const Signature kInit("shm_mutex_init", arg("buffer", as_object), arg("offset", to_u64));
const Signature kLock("shm_mutex_lock", arg("buffer", as_object), arg("offset", to_u64),
                      arg("timeout_secs", to_double, kDefaultTimeoutSecs));
const Signature kUnlock("shm_mutex_unlock", arg("buffer", as_object), arg("offset", to_u64));
const Signature kDestroy("shm_mutex_destroy", arg("buffer", as_object), arg("offset", to_u64));

PyObject* exception_type(MutexError::Kind kind) {
  switch (kind) {
    case MutexError::Kind::Busy:
    case MutexError::Kind::NotHolder:
      return PyExc_RuntimeError;
    case MutexError::Kind::LockNotTaken:
      return PyExc_TimeoutError;
    case MutexError::Kind::NotAMutex:
    case MutexError::Kind::InvalidTimeout:
      return PyExc_ValueError;
    case MutexError::Kind::Interrupted:
      break;  // its exception is already set
  }
  return nullptr;
}

Raised raise_mutex_error(const MutexError& error) {
  PyObject* type = exception_type(error.kind);
  if (type == nullptr) return {};
  return raise(type, error.message);
}

// Takes the export of `buffer` into `view` and returns the address of the
// mutex area at `offset`, or nullptr with an exception set.
void* mutex_area(BufferView& view, PyObject* buffer, uint64_t offset) {
  if (!view.acquire_bytes(buffer)) return nullptr;
  if (view.readonly()) return raise(PyExc_ValueError, "Buffer is read-only");
  const size_t size = view.size();
  // Compared by subtraction so that a huge offset cannot wrap around.
  if (size < kMutexAreaSize || offset > size - kMutexAreaSize) {
    return raise(PyExc_ValueError, "Insufficient space: need " + std::to_string(kMutexAreaSize) + " bytes at offset " +
                                       std::to_string(offset) + ", buffer is " + std::to_string(size) + " bytes");
  }
  return view.writable_bytes().data() + offset;
}

// The shape shared by init, unlock and destroy: (buffer, offset) -> None.
PyObject* run_on_area(PyObject* buffer, uint64_t offset, MutexStatus (*operation)(void*)) {
  BufferView view;
  void* area = mutex_area(view, buffer, offset);
  if (area == nullptr) return nullptr;
  const MutexStatus status = operation(area);
  if (!status.ok()) return raise_mutex_error(status.error());
  Py_RETURN_NONE;
}

PyObject* lock(PyObject* buffer, uint64_t offset, double timeout_secs) {
  BufferView view;
  void* area = mutex_area(view, buffer, offset);
  if (area == nullptr) return nullptr;
  // The timeout's value is judged only once the buffer has passed its checks.
  const MutexResult<Timeout> timeout = timeout_from_seconds(timeout_secs);
  if (!timeout.ok()) return raise_mutex_error(timeout.error());
  MutexResult<bool> owner_died;
  {
    // Other threads run while this one waits (one of them may be the
    // holder), and signal handlers run between polls. The export stays
    // held, so the area can neither move nor go away meanwhile.
    GilReleased unlocked;
    owner_died = lock_mutex(
        area, timeout.value(), [](void* gil) { return static_cast<GilReleased*>(gil)->check_signals(); }, &unlocked);
  }
  if (!owner_died.ok()) return raise_mutex_error(owner_died.error());
  return PyBool_FromLong(owner_died.value());
}

}  // namespace

PyObject* shm_mutex_init(PyObject*, PyObject* args, PyObject* kwargs) {
  return kInit.call(args, kwargs, [](PyObject* buffer, uint64_t offset) { return run_on_area(buffer, offset, init_mutex); });
}

PyObject* shm_mutex_lock(PyObject*, PyObject* args, PyObject* kwargs) { return kLock.call(args, kwargs, lock); }

PyObject* shm_mutex_unlock(PyObject*, PyObject* args, PyObject* kwargs) {
  return kUnlock.call(args, kwargs,
                      [](PyObject* buffer, uint64_t offset) { return run_on_area(buffer, offset, unlock_mutex); });
}

PyObject* shm_mutex_destroy(PyObject*, PyObject* args, PyObject* kwargs) {
  return kDestroy.call(args, kwargs,
                       [](PyObject* buffer, uint64_t offset) { return run_on_area(buffer, offset, destroy_mutex); });
}

PyObject* shm_mutex_size(PyObject*, PyObject*) { return PyLong_FromSize_t(kMutexAreaSize); }

}  // namespace vakra::ext
