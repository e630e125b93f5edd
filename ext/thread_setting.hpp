// The process's one thread count and pool. vakra._native and vakra_rs each
// link their own copy of the codec; _native's pool is the process's, and
// vakra_rs hands its work to it, so set_num_threads and VAKRA_NUM_THREADS
// govern every function of both modules.
#pragma once

#include "python_api.hpp"

namespace vakra::ext {

// _native: applies VAKRA_NUM_THREADS (once per process) and publishes the
// pool as the module's `_pool` capsule. False with an exception set.
bool publish_thread_pool(PyObject* native_module);

// vakra_rs: sends its work to _native's pool. Without it (vakra._native
// cannot be imported) vakra_rs keeps a pool of its own, set from the
// environment the same way.
void join_thread_pool();

}  // namespace vakra::ext
