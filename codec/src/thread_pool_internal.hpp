// The internal thread pool: runs the independent pieces of one large body
// (LZ4 blocks, copy chunks, checksums) on several threads at once.
#pragma once

#include <cstddef>
#include <type_traits>

#include "vakra/threads.hpp"

namespace vakra::parallel {

// Work below these sizes stays on the calling thread: waking a worker costs
// 10-20 us, more than it saves.
// LZ4 runs at 0.5-4 GB/s per core, so 256 KiB is 60-500 us of work.
inline constexpr size_t kMinParallelCompute = size_t{256} << 10;
// Copies and checksums run at memory speed (20-40 GB/s in cache); splitting
// pays only where first-touch page faults dominate. Measured on 2 cores:
// 8 MiB into fresh memory 0.86 ms on one thread, 0.41 ms on two; 2 MiB or
// less, no gain at all.
inline constexpr size_t kMinParallelMemory = size_t{4} << 20;

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
