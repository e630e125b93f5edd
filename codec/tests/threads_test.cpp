// The thread pool runs every task exactly once, whoever calls it and however
// often the worker count changes. (That frames and packets do not depend on
// the count is lz4_test's business; that a child forked while the pool is busy
// gets a working pool is shown through the extension by test_threads.py.)
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vakra
