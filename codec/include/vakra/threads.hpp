// How many threads the codec may use for one large body: LZ4 blocks, body
// copies and checksums are split across a small internal pool. Packets are
// byte-identical whatever the count.
#pragma once

#include <cstddef>

namespace vakra {

// Threads per large body, the calling thread included; 1 means no pool at
// all. 0 restores the default, the machine's hardware thread count. Workers
// are started only when a body first needs them; lowering the count retires
// the extra ones once they are idle.
void set_num_threads(size_t count);
size_t num_threads();

// Two copies of the codec in one process (two Python extension modules that
// each link it statically, say) would each keep a count and a pool. One copy
// hands its pool to the other, and both then share one pool and one count.
struct ThreadPoolHandle {
  void (*set_num_threads)(size_t count);
  size_t (*num_threads)();
  // Runs run(context, i) for every i in [0, count) and returns when all are done.
  void (*run_tasks)(size_t count, void (*run)(void* context, size_t index), void* context);
};

// This copy's own pool and count.
const ThreadPoolHandle& own_thread_pool();

// From now on this copy's count and large bodies go to `pool`, which must
// stay loaded for as long as this copy is used.
void use_thread_pool(const ThreadPoolHandle& pool);

}  // namespace vakra
