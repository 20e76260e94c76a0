#include "support/parallel.h"

#include <sched.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace pedscan {
namespace {

TEST(ParallelFor, EveryItemRunsOnceOnAWorkerOfItsOwnRange) {
  for (int workers : {1, 2, 7}) {
    std::vector<std::atomic<int>> runs(50);
    std::vector<int> workerOf(50, -1);
    ParallelFor(50, workers, [&](int item, int worker) {
      ++runs[static_cast<size_t>(item)];
      workerOf[static_cast<size_t>(item)] = worker;
    });
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(runs[static_cast<size_t>(i)].load(), 1) << "item " << i << ", " << workers;
      EXPECT_GE(workerOf[static_cast<size_t>(i)], 0);
      EXPECT_LT(workerOf[static_cast<size_t>(i)], workers);
    }
  }
  // One worker: in order, on the calling thread; no items: no call.
  std::vector<int> order;
  const std::thread::id caller = std::this_thread::get_id();
  ParallelFor(4, 1, [&](int item, int) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    order.push_back(item);
  });
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  ParallelFor(0, 3, [](int, int) { FAIL() << "called without items"; });
}

TEST(ParallelFor, TheLowestFailedItemIsRethrownAfterEveryThreadStops) {
  for (int workers : {1, 2, 4}) {
    std::atomic<int> running{0};
    try {
      ParallelFor(40, workers, [&](int item, int) {
        ++running;
        if (item == 30 || item == 5 || item == 17) {
          --running;
          throw std::runtime_error("item " + std::to_string(item));
        }
        --running;
      });
      ADD_FAILURE() << "no exception with " << workers << " workers";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "item 5") << workers << " workers";
    }
    EXPECT_EQ(running.load(), 0);  // nothing still running after the rethrow
  }
}

TEST(AvailableCores, FollowsTheAffinityMask) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  const int all = AvailableCores();
  EXPECT_GE(all, 1);
  EXPECT_LE(all, CPU_COUNT(&saved));
  EXPECT_EQ(ResolveThreads(0), all);
  EXPECT_EQ(ResolveThreads(7), 7);

  // Restricted to its first CPU, the process has one core.
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &saved)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(AvailableCores(), 1);
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
}

}  // namespace
}  // namespace pedscan
