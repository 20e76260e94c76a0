// Work spread over threads and finished in order: RunInOrder's output,
// merge order, failures and bound, and the model copies the retraining scan
// gives its workers.
#include "training/ordered_work.h"

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "../detection/synthetic_model.h"
#include "../support/run_command.h"
#include "model/model.h"
#include "support/output_capture.h"
#include "training_fixtures.h"

namespace pedscan {
namespace {

using testutil::CaptureOutput;
using testutil::TempDir;

constexpr int kItems = 40;

// Items of uneven cost that print while they work, so that on several
// threads they finish out of order.
void BusyWork(int item) {
  volatile double sink = 0.0;
  for (int i = 0; i < (item % 7) * 20000; ++i) sink = sink + i;
}

// What RunInOrder prints and the order finish sees, with `workers` threads.
struct Trace {
  std::string out;
  std::vector<int> finished;
};

Trace RunTrace(int workers, int ahead) {
  Trace trace;
  OrderedWork work;
  work.start = [](int item) { std::printf("[%d", item); };
  work.compute = [](int item, int) {
    BusyWork(item);
    PrintOutput("(" + std::to_string(item) + ")");
  };
  work.finish = [&](int item) {
    trace.finished.push_back(item);
    std::printf("]");
  };
  trace.out = CaptureOutput([&] { RunInOrder(kItems, workers, ahead, work); });
  return trace;
}

// The output and the failure of a run whose item 5 throws, in compute (the
// items after it throw too, and sooner) or in finish.
std::string FailingRun(int workers, bool inFinish) {
  return CaptureOutput([&] {
    OrderedWork work;
    work.start = [](int item) { std::printf("[%d", item); };
    work.compute = [&](int item, int) {
      PrintOutput("(" + std::to_string(item) + ")");
      if (!inFinish && item >= 5) {
        if (item == 5) BusyWork(6);
        throw std::runtime_error("item " + std::to_string(item));
      }
    };
    work.finish = [&](int item) {
      if (inFinish && item == 5) throw std::runtime_error("item 5 finishing");
      std::printf("]");
    };
    try {
      RunInOrder(kItems, workers, 3, work);
      std::printf("no failure");
    } catch (const std::runtime_error& e) {
      std::printf("%s", e.what());
    }
  });
}

TEST(RunInOrder, PrintsAndFinishesAsOneThreadDoes) {
  const Trace one = RunTrace(1, kItems);
  std::string expected;
  for (int i = 0; i < kItems; ++i) expected += "[" + std::to_string(i) + "(" + std::to_string(i) + ")]";
  EXPECT_EQ(one.out, expected);
  for (int workers : {2, 3, 7}) {
    for (int ahead : {1, 2, kItems}) {
      const Trace many = RunTrace(workers, ahead);
      EXPECT_EQ(many.out, one.out) << workers << " workers, " << ahead << " ahead";
      EXPECT_EQ(many.finished, one.finished) << workers << " workers, " << ahead << " ahead";
    }
  }
}

TEST(RunInOrder, AFailureStopsWhereOneThreadStops) {
  EXPECT_EQ(FailingRun(1, false), "[0(0)][1(1)][2(2)][3(3)][4(4)][5(5)item 5");
  EXPECT_EQ(FailingRun(1, true), "[0(0)][1(1)][2(2)][3(3)][4(4)][5(5)item 5 finishing");
  for (int workers : {2, 7}) {
    for (bool inFinish : {false, true}) {
      EXPECT_EQ(FailingRun(workers, inFinish), FailingRun(1, inFinish)) << workers << " workers";
    }
  }
}

TEST(RunInOrder, HoldsNoMoreThanAheadItemsWaitingToFinish) {
  std::atomic<int> computed{0};
  std::atomic<int> finished{0};
  std::atomic<int> mostWaiting{0};
  OrderedWork work;
  work.compute = [&](int item, int) {
    // Item 0 is the slowest, so the others pile up behind it.
    if (item == 0) BusyWork(6);
    const int waiting = ++computed - finished.load();
    int most = mostWaiting.load();
    while (waiting > most && !mostWaiting.compare_exchange_weak(most, waiting)) {
    }
  };
  work.finish = [&](int) { ++finished; };
  RunInOrder(kItems, 4, 3, work);
  EXPECT_EQ(finished.load(), kItems);
  EXPECT_LE(mostWaiting.load(), 3);
}

TEST(ModelCopy, ClassifiesWithTheSameBitsAndSharesNothing) {
  TempDir dir;
  const std::string config = dir.WriteFile("model.txt", testutil::kObjectConfig);
  testutil::Crops crops = testutil::MakeCrops(32, 64, cv::Rect(4, 8, 24, 48), 12, 18, 5);
  std::unique_ptr<Model> model = testutil::TrainModel(config, crops, 3);
  std::unique_ptr<Model> copy = model->Copy();

  cv::RNG rng(9);
  std::vector<float> raw(static_cast<size_t>(model->nrawfeatures));
  for (int trial = 0; trial < 20; ++trial) {
    for (float& value : raw) value = static_cast<float>(rng.uniform(0.0, 1.0));
    float response = 0.0f, other = 0.0f, copyResponse = 0.0f, copyOther = 0.0f;
    model->ClassifyFeatures(raw.data(), &response, &other);
    copy->ClassifyFeatures(raw.data(), &copyResponse, &copyOther);
    EXPECT_EQ(std::memcmp(&response, &copyResponse, sizeof response), 0) << trial;
    EXPECT_EQ(std::memcmp(&other, &copyOther, sizeof other), 0) << trial;
  }
  // Clearing the original leaves the copy whole.
  model->Clear();
  model->blockModels.clear();
  float response = 0.0f, other = 0.0f;
  copy->ClassifyFeatures(raw.data(), &response, &other);
  EXPECT_GE(response, 0.0f);
  EXPECT_LE(response, 1.0f);
}

}  // namespace
}  // namespace pedscan
