#include "training/ordered_work.h"

#include <climits>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "support/output_capture.h"
#include "support/parallel.h"

namespace pedscan {

void RunInOrder(int count, int workers, int ahead, const OrderedWork& work) {
  if (count <= 0) return;
  struct Slot {
    bool computed = false;
    std::string output;
    std::exception_ptr failure;
  };
  std::vector<Slot> slots(static_cast<size_t>(count));
  std::mutex mutex;
  std::condition_variable turn;
  int finished = 0;               // items whose finish has run
  int stoppedAt = INT_MAX;        // the item whose step threw, once its turn came
  int lowestFailure = INT_MAX;    // the lowest item whose compute threw
  std::exception_ptr failure;

  if (work.start) work.start(0);

  // Finishes every computed item whose turn has come. Holds `mutex`.
  auto drain = [&] {
    while (finished < count && finished < stoppedAt) {
      Slot& slot = slots[static_cast<size_t>(finished)];
      if (!slot.computed) break;
      const int item = finished;
      if (!slot.output.empty()) PrintOutput(slot.output);
      std::string().swap(slot.output);
      if (slot.failure) {
        stoppedAt = item;
        failure = slot.failure;
        break;
      }
      try {
        if (work.finish) work.finish(item);
      } catch (...) {
        stoppedAt = item;
        failure = std::current_exception();
        break;
      }
      ++finished;
      if (finished < count && work.start) {
        try {
          work.start(finished);
        } catch (...) {
          stoppedAt = finished;
          failure = std::current_exception();
          break;
        }
      }
    }
    turn.notify_all();
  };

  ParallelFor(count, workers, [&](int item, int worker) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      turn.wait(lock, [&] {
        return item >= stoppedAt || item > lowestFailure || item < finished + ahead;
      });
      if (item >= stoppedAt || item > lowestFailure) return;
    }
    Slot result;
    {
      OutputCapture capture;
      try {
        work.compute(item, worker);
      } catch (...) {
        result.failure = std::current_exception();
      }
      result.output = capture.Take();
    }
    std::lock_guard<std::mutex> lock(mutex);
    Slot& slot = slots[static_cast<size_t>(item)];
    slot.output = std::move(result.output);
    slot.failure = result.failure;
    slot.computed = true;
    if (slot.failure && item < lowestFailure) lowestFailure = item;
    drain();
  });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace pedscan
