// The internal thread pool: runs the independent pieces of one large body
// (LZ4 blocks, copy chunks, checksums) on several threads at once.
#pragma once

#include <cstddef>
#include <type_traits>

#include "vakra/threads.hpp"

namespace vakra::parallel {

// Bodies below this size are handled on the calling thread alone: waking a
// worker costs more than it saves (measured: a 256 KiB copy or checksum takes
// about as long as a wake-up round trip on a loaded machine).
inline constexpr size_t kMinParallelBytes = size_t{256} << 10;

using TaskFunction = void (*)(void* context, size_t index);

// Runs run(context, i) for every i in [0, count), on the calling thread and
// up to num_threads() - 1 workers, and returns once every call has finished.
// The calls must not throw and must not wait for one another.
void run_tasks(size_t count, TaskFunction run, void* context);

// The same for any callable taking the task index.
template <class Task>
void for_each(size_t count, Task&& task) {
  using Callable = std::remove_reference_t<Task>;
  run_tasks(
      count, [](void* context, size_t index) { (*static_cast<Callable*>(context))(index); },
      const_cast<std::remove_const_t<Callable>*>(&task));
}

}  // namespace vakra::parallel
