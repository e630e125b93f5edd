// The shared-memory mutex entry points: argument and buffer checks, then the
// operations of shm_mutex.hpp on the 64-byte area at `offset`.
#include <pthread.h>

#include <array>
#include <string>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "shm_mutex.hpp"

namespace vakra::ext {

// The mutex area is 64 bytes; the platform mutex must fit in it.
static_assert(sizeof(pthread_mutex_t) <= kMutexAreaSize, "pthread_mutex_t does not fit the 64-byte mutex area");

namespace {

constexpr double kDefaultTimeoutSecs = 5.0;

constexpr std::array<const char*, 2> kAreaParams = {"buffer", "offset"};
constexpr std::array<const char*, 3> kLockParams = {"buffer", "offset", "timeout_secs"};
constexpr FunctionSpec kInitSpec{"shm_mutex_init", kAreaParams, 2};
constexpr FunctionSpec kLockSpec{"shm_mutex_lock", kLockParams, 2};
constexpr FunctionSpec kUnlockSpec{"shm_mutex_unlock", kAreaParams, 2};
constexpr FunctionSpec kDestroySpec{"shm_mutex_destroy", kAreaParams, 2};

PyObject* exception_type(MutexError::Kind kind) {
  switch (kind) {
    case MutexError::Kind::PlatformCall:
      return PyExc_RuntimeError;
    case MutexError::Kind::LockNotTaken:
      return PyExc_TimeoutError;
    case MutexError::Kind::InvalidTimeout:
      return PyExc_ValueError;
  }
  return PyExc_RuntimeError;  // not reached: every kind is listed above
}

Raised raise_mutex_error(const MutexError& error) { return raise(exception_type(error.kind), error.message); }

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
PyObject* run_on_area(const FunctionSpec& function, PyObject* args, PyObject* kwargs, MutexStatus (*operation)(void*)) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kAreaParams.size()> slots{};
    if (!match_arguments(function, args, kwargs, slots)) return nullptr;
    uint64_t offset = 0;
    if (!convert_param("offset", slots[1], offset, to_u64)) return nullptr;
    BufferView view;
    void* area = mutex_area(view, slots[0], offset);
    if (area == nullptr) return nullptr;
    const MutexStatus status = operation(area);
    if (!status.ok()) return raise_mutex_error(status.error());
    Py_RETURN_NONE;
  });
}

}  // namespace

PyObject* shm_mutex_init(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_on_area(kInitSpec, args, kwargs, init_mutex);
}

PyObject* shm_mutex_lock(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    std::array<PyObject*, kLockParams.size()> slots{};
    if (!match_arguments(kLockSpec, args, kwargs, slots)) return nullptr;
    uint64_t offset = 0;
    double timeout_secs = kDefaultTimeoutSecs;
    if (!convert_param("offset", slots[1], offset, to_u64) ||
        !convert_param("timeout_secs", slots[2], timeout_secs, to_double)) {
      return nullptr;
    }
    BufferView view;
    void* area = mutex_area(view, slots[0], offset);
    if (area == nullptr) return nullptr;
    // The timeout's value is judged only once the buffer has passed its checks.
    const MutexResult<Timeout> timeout = timeout_from_seconds(timeout_secs);
    if (!timeout.ok()) return raise_mutex_error(timeout.error());
    const MutexResult<bool> owner_died = lock_mutex(area, timeout.value());
    if (!owner_died.ok()) return raise_mutex_error(owner_died.error());
    return PyBool_FromLong(owner_died.value());
  });
}

PyObject* shm_mutex_unlock(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_on_area(kUnlockSpec, args, kwargs, unlock_mutex);
}

PyObject* shm_mutex_destroy(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_on_area(kDestroySpec, args, kwargs, destroy_mutex);
}

PyObject* shm_mutex_size(PyObject*, PyObject*) { return PyLong_FromSize_t(kMutexAreaSize); }

}  // namespace vakra::ext
