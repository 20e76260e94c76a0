// Items worked on side by side and finished in item order, so that what
// they print and what they add up comes out as one thread gives it.
//
// Training and feature extraction print a progress line before each image,
// and merge per-image results (hard negatives, fold errors, files) whose
// order decides the outcome. RunInOrder computes the items on several
// threads and runs the in-order steps one at a time, in item order.
#pragma once

#include <functional>

namespace pedscan {

struct OrderedWork {
  // Runs before the item's output, in item order, one call at a time (a
  // progress line, say). May be empty.
  std::function<void(int item)> start;
  // The item's work, on worker `worker` (0..workers-1), side by side with
  // other items: it may write only what belongs to the item or the worker.
  // What it prints through PrintOutput is held back and printed after
  // start(item).
  std::function<void(int item, int worker)> compute;
  // Runs after compute(item), in item order, one call at a time (merging
  // the item's result, writing its files). May be empty.
  std::function<void(int item)> finish;
};

// For every item of 0..count-1 in turn, prints as one thread would:
// start(item), the output compute(item) held back, finish(item). compute
// runs on `workers` threads (one: every step on the calling thread, in
// order); it begins an item only when fewer than `ahead` items before it
// are waiting to finish, which bounds the results held at once.
// Requires ahead >= 1.
// When a step throws, no later item is started, the items before it
// finish, and the exception is rethrown after the failed item's start and
// held-back output: the same output and the same exception as one thread.
void RunInOrder(int count, int workers, int ahead, const OrderedWork& work);

}  // namespace pedscan
