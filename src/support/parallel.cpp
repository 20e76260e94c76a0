#include "support/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/cgroup.h"

namespace pedscan {
namespace {

int AffinityCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) {
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  }
  return std::max(1, CPU_COUNT(&set));
}

// Cores allowed by the CPU quota (quota / period, rounded up); INT_MAX
// when there is no quota or it cannot be read.
int QuotaCores() {
  bool version2 = false;
  std::string directory = CgroupDirectory("cpu", &version2);
  if (directory.empty()) return INT_MAX;
  int64_t quota = -1;
  int64_t period = -1;
  if (version2) {
    // "max 100000" or "<quota> <period>".
    std::ifstream in(directory + "/cpu.max");
    std::string first;
    if (!(in >> first >> period) || first == "max") return INT_MAX;
    quota = ReadCgroupNumber(first);
  } else {
    quota = ReadCgroupFile(directory + "/cpu.cfs_quota_us");
    period = ReadCgroupFile(directory + "/cpu.cfs_period_us");
  }
  if (quota <= 0 || period <= 0) return INT_MAX;
  const int64_t cores = (quota + period - 1) / period;
  return static_cast<int>(std::clamp<int64_t>(cores, 1, INT_MAX));
}

}  // namespace

int AvailableCores() { return std::max(1, std::min(AffinityCores(), QuotaCores())); }

int ResolveThreads(int requested) { return requested > 0 ? requested : AvailableCores(); }

void ParallelFor(int count, int workers, const std::function<void(int item, int worker)>& task) {
  if (count <= 0) return;
  workers = std::max(1, std::min(workers, count));
  if (workers == 1) {
    for (int item = 0; item < count; ++item) task(item, 0);
    return;
  }
  std::atomic<int> next{0};
  std::atomic<int> failedItem{INT_MAX};
  std::mutex failureMutex;
  std::exception_ptr failure;
  auto run = [&](int worker) {
    for (int item = next++; item < count; item = next++) {
      // Items after a failure are not started; earlier ones finish so that
      // the failure reported is the one the lowest item gives.
      if (item > failedItem.load()) break;
      try {
        task(item, worker);
      } catch (...) {
        std::lock_guard<std::mutex> lock(failureMutex);
        if (item < failedItem.load()) {
          failedItem = item;
          failure = std::current_exception();
        }
      }
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(workers - 1));
  try {
    for (int worker = 1; worker < workers; ++worker) threads.emplace_back(run, worker);
  } catch (const std::system_error&) {
    // No more threads to be had: the ones started and this one share the
    // items, and the results are the same.
  }
  run(0);
  for (std::thread& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace pedscan
