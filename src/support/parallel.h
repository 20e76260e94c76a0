// Work spread over threads, and how many threads the process may use.
//
// ParallelFor hands out items from a shared counter, so items start in index
// order; each task must write only what belongs to its item (or to its
// worker), which keeps results independent of the number of threads.
#pragma once

#include <functional>

namespace pedscan {

// The cores this process may run on: the CPUs of its affinity mask, bounded
// by its cgroup's CPU quota (version 2 cpu.max, or version 1
// cpu.cfs_quota_us / cpu.cfs_period_us, rounded up). At least 1.
int AvailableCores();

// The number of worker threads a thread-count option asks for: `requested`
// itself when positive, AvailableCores() when 0.
int ResolveThreads(int requested);

// Calls task(item, worker) once for every item in 0..count-1, on `workers`
// threads numbered 0..workers-1 (never more threads than items). With one
// worker the items run in order on the calling thread and no thread is
// started. When tasks throw, the items not yet started are skipped, every
// thread is joined, and the exception of the lowest failed item is rethrown.
void ParallelFor(int count, int workers, const std::function<void(int item, int worker)>& task);

}  // namespace pedscan
