// The pool behind parallel::run_tasks, and the thread count.
//
// The pool's workers are detached threads started on first need; the pool
// object is never destroyed, so a worker still waiting for work when the
// process exits touches nothing that is torn down, and nobody ever joins a
// thread (a join at interpreter shutdown could hang). After fork() the child
// has none of the parent's workers: it forgets the parent's pool without
// touching its locks, and builds its own on first use.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "thread_pool_internal.hpp"

namespace vakra {
namespace {

std::atomic<size_t> g_configured_threads{0};  // 0: the hardware thread count

size_t hardware_threads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

// One call of run_tasks, living on its caller's stack. Tasks are claimed
// through `next`; `helpers` counts the workers inside, and the caller returns
// only once it is back to zero, so no worker touches the job afterwards.
struct Job {
  parallel::TaskFunction run;
  void* context;
  size_t count;
  size_t helpers_wanted;
  std::atomic<size_t> next{0};
  size_t helpers = 0;  // guarded by Pool::mutex_

  void run_claimed() {
    for (size_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
         i = next.fetch_add(1, std::memory_order_relaxed)) {
      run(context, i);
    }
  }
  bool open() const { return helpers < helpers_wanted && next.load(std::memory_order_relaxed) < count; }
};

class Pool {
 public:
  void run(Job& job) {
    {
      std::lock_guard lock(mutex_);
      start_workers(job.helpers_wanted);
      jobs_.push_back(&job);
    }
    wake_.notify_all();
    job.run_claimed();
    std::unique_lock lock(mutex_);
    jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
    finished_.wait(lock, [&] { return job.helpers == 0; });
  }

  // Workers beyond `workers` leave once idle; the rest keep serving.
  void retire_beyond(size_t workers) {
    {
      std::lock_guard lock(mutex_);
      if (started_ <= workers) return;
      ++generation_;
      started_ = 0;
    }
    wake_.notify_all();
  }

 private:
  void start_workers(size_t wanted) {
    if (started_ >= wanted) return;
    // Workers take no signals: the interpreter expects them on its own threads.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
      for (; started_ < wanted; ++started_) std::thread([this, generation = generation_] { serve(generation); }).detach();
    } catch (...) {
      // No thread could be started (resource limits): the tasks run on the
      // threads there are, the caller's at least.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  void serve(uint64_t generation) {
    std::unique_lock lock(mutex_);
    for (;;) {
      Job* job = nullptr;
      wake_.wait(lock, [&] {
        if (generation != generation_) return true;
        auto found = std::find_if(jobs_.begin(), jobs_.end(), [](const Job* j) { return j->open(); });
        job = found == jobs_.end() ? nullptr : *found;
        return job != nullptr;
      });
      if (generation != generation_) return;
      ++job->helpers;
      lock.unlock();
      job->run_claimed();
      lock.lock();
      if (--job->helpers == 0) finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;      // workers wait here for open jobs
  std::condition_variable finished_;  // callers wait here for their helpers to leave
  std::vector<Job*> jobs_;
  size_t started_ = 0;
  uint64_t generation_ = 0;
};

std::atomic<Pool*> g_pool{nullptr};

// In a forked child the parent's workers do not exist and its pool's locks
// may be held by threads that are gone: drop it (leaked, never touched) so
// the child starts a pool of its own.
void forget_pool_in_child() { g_pool.store(nullptr, std::memory_order_relaxed); }
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, forget_pool_in_child);

Pool& pool() {
  Pool* current = g_pool.load(std::memory_order_acquire);
  if (current != nullptr) return *current;
  auto* created = new Pool;
  if (g_pool.compare_exchange_strong(current, created, std::memory_order_acq_rel)) return *created;
  delete created;  // another thread was first; ours never started a worker
  return *current;
}

}  // namespace

size_t num_threads() {
  const size_t configured = g_configured_threads.load(std::memory_order_relaxed);
  return configured == 0 ? hardware_threads() : configured;
}

void set_num_threads(size_t count) {
  g_configured_threads.store(count, std::memory_order_relaxed);
  if (Pool* current = g_pool.load(std::memory_order_acquire)) current->retire_beyond(num_threads() - 1);
}

namespace parallel {

void run_tasks(size_t count, TaskFunction run, void* context) {
  const size_t helpers = std::min(num_threads(), count) - (count == 0 ? 0 : 1);
  if (helpers == 0) {
    for (size_t i = 0; i < count; ++i) run(context, i);
    return;
  }
  Job job{run, context, count, helpers};
  pool().run(job);
}

}  // namespace parallel
}  // namespace vakra
