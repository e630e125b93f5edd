// The thread pool runs every task exactly once, whoever calls it and however
// often the worker count changes, and a forked child gets a working pool.
// (That frames and packets do not depend on the count is lz4_test's business.)
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "thread_pool_internal.hpp"
#include "vakra/threads.hpp"

namespace vakra {
namespace {

TEST(Threads, EveryTaskRunsOnceUnderConcurrentCallers) {
  set_num_threads(4);
  constexpr size_t kCallers = 6, kTasks = 1000;
  std::vector<std::vector<std::atomic<int>>> runs(kCallers);
  for (auto& r : runs) r = std::vector<std::atomic<int>>(kTasks);
  std::vector<std::thread> callers;
  for (size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 20; ++round) {
        parallel::for_each(kTasks, [&](size_t i) { runs[c][i].fetch_add(1); });
        if (c == 0 && round == 10) set_num_threads(2);  // retiring workers mid-stream
      }
    });
  }
  for (auto& caller : callers) caller.join();
  set_num_threads(0);
  for (auto& r : runs) EXPECT_TRUE(std::all_of(r.begin(), r.end(), [](auto& n) { return n.load() == 20; }));
}

// A child forked while another thread keeps the pool busy inherits none of
// its workers nor its held locks, and runs tasks on a pool of its own.
TEST(Threads, ForkedChildGetsAWorkingPool) {
  set_num_threads(4);
  std::atomic<bool> stop = false;
  std::thread busy([&] {
    while (!stop) parallel::for_each(64, [](size_t) {});
  });
  for (int child = 0; child < 5; ++child) {
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(20);  // a deadlock fails the test instead of hanging it
      std::atomic<size_t> ran = 0;
      parallel::for_each(1000, [&](size_t) { ran.fetch_add(1); });
      _exit(ran == 1000 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  stop = true;
  busy.join();
  set_num_threads(0);
}

}  // namespace
}  // namespace vakra
