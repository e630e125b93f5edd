// The shared-memory mutex entry points.
#include <pthread.h>

#include "entry_points.hpp"
#include "errors.hpp"

namespace vakra::ext {

// The mutex area is 64 bytes; the platform mutex must fit in it.
inline constexpr size_t kMutexAreaSize = 64;
static_assert(sizeof(pthread_mutex_t) <= kMutexAreaSize, "pthread_mutex_t does not fit the 64-byte mutex area");

PyObject* shm_mutex_init(PyObject*, PyObject*, PyObject*) { return raise(PyExc_NotImplementedError, "shm_mutex_init"); }
PyObject* shm_mutex_lock(PyObject*, PyObject*, PyObject*) { return raise(PyExc_NotImplementedError, "shm_mutex_lock"); }
PyObject* shm_mutex_unlock(PyObject*, PyObject*, PyObject*) {
  return raise(PyExc_NotImplementedError, "shm_mutex_unlock");
}
PyObject* shm_mutex_destroy(PyObject*, PyObject*, PyObject*) {
  return raise(PyExc_NotImplementedError, "shm_mutex_destroy");
}
PyObject* shm_mutex_size(PyObject*, PyObject*) { return PyLong_FromSize_t(kMutexAreaSize); }

}  // namespace vakra::ext
