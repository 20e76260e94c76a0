// The detector engine driven directly, as a program that links the library
// drives it: the bundled cascade on the example frame, without the command
// line, its files or its printing.
#include "detection/detector.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "../support/run_command.h"
#include "detection/suppression.h"
#include "support/failure.h"

namespace pedscan {
namespace {

const std::string kSource = PEDSCAN_SOURCE_DIR;

// The result file's lines for one type's windows.
std::string AsResultText(const std::vector<DetectionWindow>& windows) {
  std::string text;
  for (const DetectionWindow& w : windows) {
    text += Format("%d %d %d %d %.13g\n", w.x, w.y, static_cast<int>(w.width),
                   static_cast<int>(w.height), w.response);
  }
  return text;
}

class RecordedProgress : public DetectionProgress {
 public:
  void LevelStarted(int level, int levels) override {
    started.push_back(level);
    count = levels;
    calls += Format("L%d/%d ", level, levels);
  }
  void ScanStarted(const LevelImage& level, int width, int height) override {
    ++scans;
    calls += Format("S%d,%d,%d,%dx%d ", level.size, level.stepX, level.stepY, width, height);
  }
  std::vector<int> started;
  int count = 0;
  int scans = 0;
  std::string calls;
};

// The bundled configurations name their models relative to the source tree.
class DetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
    ASSERT_EQ(chdir(kSource.c_str()), 0);
    frame_ = cv::imread("data/example/vtest-0440.png", cv::IMREAD_COLOR);
    ASSERT_FALSE(frame_.empty());
  }
  void TearDown() override { ASSERT_EQ(chdir(saved_), 0); }

  char saved_[4096];
  cv::Mat frame_;
};

TEST_F(DetectorTest, GivesTheStoredAnswerFromAFileOrAReadConfiguration) {
  const std::string suppressed = testutil::ReadWholeFile("tests/data/vtest-0440.suppressed.txt");
  Detector detector("data/detect.txt");
  ASSERT_EQ(detector.objectTypes(), std::vector<std::string>{"person"});
  RecordedProgress progress;
  Detections found = detector.Detect(frame_, &progress);
  Detector::Suppress(found);
  ASSERT_EQ(found.windows.size(), 1u);
  EXPECT_EQ(AsResultText(found.windows[0]), suppressed);
  EXPECT_GT(found.windowsScanned, 0);

  // Every level is announced once, in order; each is scanned by the type.
  std::vector<int> expected;
  for (int i = 1; i <= static_cast<int>(detector.levels().size()); ++i) expected.push_back(i);
  EXPECT_EQ(progress.started, expected);
  EXPECT_EQ(progress.count, static_cast<int>(detector.levels().size()));
  EXPECT_GT(progress.scans, 0);

  // A second frame on the same detector starts from a clean state.
  Detections again = detector.Detect(frame_);
  Detector::Suppress(again);
  EXPECT_EQ(AsResultText(again.windows[0]), suppressed);
  EXPECT_EQ(again.windowsScanned, found.windowsScanned);

  ParametersExecution configuration;
  configuration.ParseFile("data/detect-eval.txt");
  Detector fromRecord(std::move(configuration));
  EXPECT_EQ(AsResultText(fromRecord.Detect(frame_).windows[0]),
            testutil::ReadWholeFile("tests/data/vtest-0440.eval.txt"));
}

bool AnyOverlapAbove(const std::vector<DetectionWindow>& windows, float threshold) {
  for (size_t i = 0; i < windows.size(); ++i)
    for (size_t j = i + 1; j < windows.size(); ++j)
      if (Overlap(windows[i], windows[j]) > threshold) return true;
  return false;
}

bool SameBox(const DetectionWindow& a, const DetectionWindow& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// A configuration of `config`'s stage 0 and scale lines alone, written as
// `name` in the test's temporary folder; its stage-0 threshold in
// `threshold` when given.
std::string StageZeroOf(const std::string& config, const std::string& name, double* threshold = nullptr) {
  const std::string path = ::testing::TempDir() + name;
  std::ifstream in(config);
  std::ofstream out(path);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model <person, 0,", 0) == 0) {
      if (threshold != nullptr) *threshold = std::stod(line.substr(line.find(',', line.find(',') + 1) + 1));
      out << line << "\n";
    }
    if (line.rfind("scale", 0) == 0) out << line << "\n";
  }
  return path;
}

// The windows whose soft-suppressed responses `lowered` still pass the
// threshold (above it, or at or above it), with those responses.
std::vector<DetectionWindow> CutLowered(const std::vector<DetectionWindow>& windows,
                                        const std::vector<double>& lowered, double threshold, bool above) {
  std::vector<DetectionWindow> kept;
  for (size_t i = 0; i < windows.size(); ++i) {
    if (above ? !(lowered[i] > threshold) : !(lowered[i] >= threshold)) continue;
    kept.push_back(windows[i]);
    kept.back().response = lowered[i];
  }
  return kept;
}

TEST_F(DetectorTest, StageSuppressionLetsTheLaterStageScoreOnlyTheStageZeroWindowsThatStandOut) {
  // What it must give, worked out from outside: stage 0 alone, suppressed
  // over the frame; the whole cascade's scores of those windows; suppressed
  // again.
  // The shipped configuration without its later stages.
  const std::string stageZero = StageZeroOf("data/detect-eval.txt", "stage-zero.txt");
  const std::vector<DetectionWindow> zero =
      NonMaxSuppression(Detector(stageZero).Detect(frame_).windows.at(0), kSuppressionThreshold);
  const std::vector<DetectionWindow> cascade = Detector("data/detect-eval.txt").Detect(frame_).windows.at(0);
  std::vector<DetectionWindow> expected;
  for (const DetectionWindow& window : cascade)
    for (const DetectionWindow& kept : zero)
      if (SameBox(window, kept)) expected.push_back(window);
  expected = NonMaxSuppression(expected, kSuppressionThreshold);
  ASSERT_TRUE(AnyOverlapAbove(cascade, kSuppressionThreshold)) << "the example no longer tests anything";
  ASSERT_FALSE(expected.empty());

  for (int threads : {1, 2}) {
    Detector staged("data/detect-eval.txt", threads);
    staged.SetStageSuppression(true);
    const Detections found = staged.Detect(frame_);
    EXPECT_EQ(AsResultText(found.windows.at(0)), AsResultText(expected)) << threads << " threads";
    EXPECT_FALSE(AnyOverlapAbove(found.windows.at(0), kSuppressionThreshold));
  }
  // A single stage is suppressed once, after it.
  Detector single(stageZero);
  single.SetStageSuppression(true);
  EXPECT_EQ(AsResultText(single.Detect(frame_).windows.at(0)), AsResultText(zero));
  std::remove(stageZero.c_str());
}

TEST(PlaceBox, MovesTheBoxToTheWeightedMeanOfTheWindowsOverlappingItEnough) {
  const DetectionWindow kept{100, 100, 20, 48, 0.9};
  const std::vector<WeightedWindow> windows = {
      {{100, 100, 20, 48, 0.9}, 1.0},   // the box's own window
      {{104, 108, 20, 48, 0.6}, 3.0},   // overlaps it by 0.53
      {{130, 100, 20, 48, 0.8}, 50.0},  // beside it: no part in it
      {{102, 100, 20, 48, 0.5}, 0.0},   // no weight: no part in it
      {{101, 100, 20, 48, 0.5}, -2.0},  // nor a negative one
  };
  const DetectionWindow placed = PlaceBox(kept, windows, 0.4f);
  // x (100 + 3 * 104) / 4 = 103, y (100 + 3 * 108) / 4 = 106.
  EXPECT_EQ(placed.x, 103);
  EXPECT_EQ(placed.y, 106);
  EXPECT_EQ(placed.width, 20);
  EXPECT_EQ(placed.height, 48);
  EXPECT_EQ(placed.response, 0.9) << "the response is the box's own";

  // Rounded to the nearest pixel: (10 * 1 + 13 * 1) / 2 = 11.5 -> 12.
  const DetectionWindow half =
      PlaceBox({10, 0, 40, 40, 1.0}, {{{10, 0, 40, 40, 1.0}, 1.0}, {{13, 0, 40, 40, 1.0}, 1.0}}, 0.4f);
  EXPECT_EQ(half.x, 12);

  // With nothing overlapping enough, the box stays where it is.
  const DetectionWindow alone = PlaceBox(kept, {windows[2], windows[3]}, 0.4f);
  EXPECT_EQ(alone.x, 100);
  EXPECT_EQ(alone.y, 100);
  EXPECT_EQ(PlaceBox(kept, {}, 0.4f).x, 100);
}

TEST(RemoveContained, RemovesAWeakerBoxMostlyInsideAStrongerTallerOne) {
  const DetectionWindow person{100, 100, 40, 96, 0.9};
  const DetectionWindow upperBody{110, 100, 20, 48, 0.6};     // wholly inside
  const DetectionWindow half{130, 120, 20, 48, 0.6};          // half of it inside
  const DetectionWindow strongerPart{105, 150, 20, 46, 0.95};  // inside, but stronger
  const DetectionWindow beside{200, 100, 40, 96, 0.5};
  const std::vector<DetectionWindow> list = {upperBody, person, half, strongerPart, beside};
  auto boxes = [](const std::vector<DetectionWindow>& windows) {
    std::vector<int> xs;
    for (const DetectionWindow& w : windows) xs.push_back(w.x);
    return xs;
  };
  EXPECT_EQ(boxes(RemoveContained(list, 0.6f)), (std::vector<int>{100, 130, 105, 200}));
  EXPECT_EQ(boxes(RemoveContained(list, 0.5f)), (std::vector<int>{100, 105, 200}));
  // At 1 only a box wholly inside goes; a stronger box of the same height
  // takes nothing.
  EXPECT_EQ(boxes(RemoveContained(list, 1.0f)), (std::vector<int>{100, 130, 105, 200}));
  EXPECT_EQ(RemoveContained({{0, 0, 20, 48, 0.5}, {0, 0, 40, 48, 0.9}}, 0.5f).size(), 2u);
}

TEST(SoftSuppressedResponses, LowersEachResponseByTheStrongerWindowsOverlappingItInTurn) {
  const float width = 0.3f;
  // An overlap of 1/3, in single precision as the boxes' overlap is.
  const double o = static_cast<double>(1.0f / 3.0f);
  const double third = std::exp(-o * o / static_cast<double>(width));
  const std::vector<DetectionWindow> list = {
      {10, 0, 20, 40, 0.8},   // b: overlaps a and e by 1/3 each
      {0, 0, 20, 40, 0.9},    // a: the strongest
      {20, 0, 20, 40, 0.6},   // e: only touches a
      {0, 0, 20, 40, -0.2},   // on a, but not positive: stays
      {100, 0, 20, 40, 0.5},  // alone
  };
  const std::vector<double> responses = SoftSuppressedResponses(list, width);
  ASSERT_EQ(responses.size(), list.size());
  // a lowers b to 0.55, below e; so e is taken next and lowers b again,
  // where taking the windows in their first order would have lowered e.
  EXPECT_EQ(responses[0], 0.8 * third * third);
  EXPECT_EQ(responses[1], 0.9);
  EXPECT_EQ(responses[2], 0.6);
  EXPECT_EQ(responses[3], -0.2);
  EXPECT_EQ(responses[4], 0.5);
  EXPECT_EQ(list[0].response, 0.8) << "the input stays";

  // Of two equal windows on one box the earlier is taken first.
  const std::vector<double> twins = SoftSuppressedResponses({{0, 0, 20, 40, 0.7}, {0, 0, 20, 40, 0.7}}, width);
  EXPECT_EQ(twins[0], 0.7);
  EXPECT_EQ(twins[1], 0.7 * std::exp(-1.0 / static_cast<double>(width)));
  EXPECT_TRUE(SoftSuppressedResponses({}, width).empty());
}

TEST_F(DetectorTest, SoftSuppressionKeepsEveryStageZeroWindowAndCutsTheLoweredResponses) {
  // Worked out from outside: the cascade without suppression scores every
  // stage-0 window that passes; soft suppression lowers those responses and
  // keeps what still passes the last stage's threshold (above it). The
  // bundled cascade, its last stage cutting at 0.2 so that boxes near
  // others are kept with their responses lowered.
  const std::string config = ::testing::TempDir() + "soft-cascade.txt";
  const double threshold = 0.2;
  {
    std::ifstream in("data/detect.txt");
    std::ofstream out(config);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("model <person, 1,", 0) == 0) line = "model <person, 1, 0.2, data/models/person-full.yml>";
      out << line << "\n";
    }
  }
  const float width = 0.3f;
  const std::vector<DetectionWindow> cascade = Detector(config).Detect(frame_).windows.at(0);
  const std::vector<double> lowered = SoftSuppressedResponses(cascade, width);
  const std::vector<DetectionWindow> expected = CutLowered(cascade, lowered, threshold, true);
  int keptLower = 0;
  for (size_t i = 0; i < cascade.size(); ++i) keptLower += lowered[i] > threshold && lowered[i] < cascade[i].response;
  ASSERT_LT(expected.size(), cascade.size()) << "nothing fell below the threshold: the example tests nothing";
  ASSERT_GT(expected.size(), NonMaxSuppression(cascade, 0.3f).size())
      << "soft suppression keeps no more than the overlap suppression here";
  ASSERT_GT(keptLower, 0) << "no box kept with a lower response";

  for (int threads : {1, 2}) {
    Detector soft(config, threads);
    soft.SetStageSuppression(true);
    soft.SetSuppressionThreshold(0.0f);  // not used
    soft.SetSoftSuppression(width);
    EXPECT_EQ(AsResultText(soft.Detect(frame_).windows.at(0)), AsResultText(expected)) << threads << " threads";
  }
  // Without the stage suppression the width changes nothing.
  Detector unsuppressed(config);
  unsuppressed.SetSoftSuppression(width);
  EXPECT_EQ(AsResultText(unsuppressed.Detect(frame_).windows.at(0)), AsResultText(cascade));

  // A single stage lowers its own windows' responses and cuts them at or
  // above its threshold.
  double zeroThreshold = 0.0;
  const std::string single = StageZeroOf(config, "soft-single.txt", &zeroThreshold);
  const std::vector<DetectionWindow> zero = Detector(single).Detect(frame_).windows.at(0);
  const std::vector<DetectionWindow> zeroExpected =
      CutLowered(zero, SoftSuppressedResponses(zero, width), zeroThreshold, false);
  ASSERT_LT(AsResultText(zeroExpected).size(), AsResultText(zero).size());
  Detector softSingle(single);
  softSingle.SetStageSuppression(true);
  softSingle.SetSoftSuppression(width);
  EXPECT_EQ(AsResultText(softSingle.Detect(frame_).windows.at(0)), AsResultText(zeroExpected));
}

TEST_F(DetectorTest, StageSuppressionAtAnotherOverlapAndPlacedBoxes) {
  // Worked out from outside, as above: stage 0 alone and unsuppressed gives
  // every stage-0 window with its response; the cascade's survivors at
  // overlap 0.3 are then placed among them by hand.
  double threshold = 0.0;
  const std::string stageZero = StageZeroOf("data/detect-eval.txt", "stage-zero-placed.txt", &threshold);
  ASSERT_GT(threshold, 0.0);
  const std::vector<DetectionWindow> zero = Detector(stageZero).Detect(frame_).windows.at(0);
  std::vector<WeightedWindow> weighted;
  for (const DetectionWindow& window : zero) weighted.push_back({window, window.response - threshold + 1e-3});
  const float overlap = 0.3f;

  const std::vector<DetectionWindow> zeroKept = NonMaxSuppression(zero, overlap);
  ASSERT_GT(zeroKept.size(), NonMaxSuppression(zero, kSuppressionThreshold).size())
      << "the overlap changes nothing here";
  const Detections whole = Detector("data/detect-eval.txt").Detect(frame_);
  std::vector<DetectionWindow> cascade;
  for (const DetectionWindow& window : whole.windows.at(0))
    for (const DetectionWindow& survivor : zeroKept)
      if (SameBox(window, survivor)) cascade.push_back(window);
  const std::vector<DetectionWindow> expectedKept = NonMaxSuppression(cascade, overlap);

  Detector staged("data/detect-eval.txt");
  staged.SetStageSuppression(true);
  staged.SetSuppressionThreshold(overlap);
  const std::vector<DetectionWindow> kept = staged.Detect(frame_).windows.at(0);
  EXPECT_EQ(AsResultText(kept), AsResultText(expectedKept));

  for (int threads : {1, 2}) {
    Detector placing("data/detect-eval.txt", threads);
    placing.SetStageSuppression(true);
    placing.SetSuppressionThreshold(overlap);
    placing.SetBoxPlacement(true);
    const std::vector<DetectionWindow> placed = placing.Detect(frame_).windows.at(0);
    ASSERT_EQ(placed.size(), kept.size()) << threads << " threads";
    int moved = 0;
    for (size_t i = 0; i < kept.size(); ++i) {
      // Responses and order stay; each box is its window's placement.
      EXPECT_EQ(placed[i].response, kept[i].response);
      const DetectionWindow expected = PlaceBox(kept[i], weighted, kPlacementOverlap);
      EXPECT_TRUE(SameBox(placed[i], expected)) << i;
      moved += !SameBox(placed[i], kept[i]);
    }
    EXPECT_GT(moved, 0) << "no box moved: the example tests nothing";

    // Then the boxes inside stronger, taller ones go.
    placing.SetContainment(0.3f);
    const std::vector<DetectionWindow> left = placing.Detect(frame_).windows.at(0);
    EXPECT_EQ(AsResultText(left), AsResultText(RemoveContained(placed, 0.3f)));
  }

  // Placement asks for the stage suppression; without it, nothing changes.
  Detector unsuppressed("data/detect-eval.txt");
  unsuppressed.SetBoxPlacement(true);
  EXPECT_EQ(AsResultText(unsuppressed.Detect(frame_).windows.at(0)),
            AsResultText(Detector("data/detect-eval.txt").Detect(frame_).windows.at(0)));

  // A single stage places its boxes among its own windows.
  Detector single(stageZero);
  single.SetStageSuppression(true);
  single.SetBoxPlacement(true);
  std::vector<DetectionWindow> expected = NonMaxSuppression(zero, kSuppressionThreshold);
  for (DetectionWindow& window : expected) window = PlaceBox(window, weighted, kPlacementOverlap);
  EXPECT_EQ(AsResultText(single.Detect(frame_).windows.at(0)), AsResultText(expected));
  std::remove(stageZero.c_str());
}

TEST_F(DetectorTest, StageSuppressionOfASingleStageTypeBesideACascadeIsPlainSuppression) {
  // "walker" has one stage and levels of its own, where no later stage runs.
  const std::string config = ::testing::TempDir() + "two-types.txt";
  {
    std::ofstream out(config);
    out << "model <person, 0, 0.4, data/models/person-hog.yml>\n"
           "model <person, 1, 0.57, data/models/person-full.yml>\n"
           "model <walker, 0, 0.3, data/models/person-hog.yml>\n"
           "scale <person, 50, 150, 0.2, 0.1, 1.15>\n"
           "scale <walker, 44, 200, 0.15, 0.15, 1.2>\n";
  }
  Detector plain(config);
  Detector staged(config, 2);
  staged.SetStageSuppression(true);
  const Detections all = plain.Detect(frame_);
  const Detections found = staged.Detect(frame_);
  ASSERT_EQ(plain.objectTypes(), (std::vector<std::string>{"person", "walker"}));
  ASSERT_FALSE(all.windows.at(1).empty());
  EXPECT_EQ(AsResultText(found.windows.at(1)),
            AsResultText(NonMaxSuppression(all.windows.at(1), kSuppressionThreshold)));
  std::remove(config.c_str());
}

TEST_F(DetectorTest, PaddingScansTheFrameWithItsBorderRepeatedAndKeepsTheBoxesInside) {
  const int pad = 20;
  // The example's top, so that people are cut by its bottom border.
  const cv::Mat frame = frame_(cv::Rect(0, 0, frame_.cols, 120)).clone();
  cv::Mat padded;
  cv::copyMakeBorder(frame, padded, pad, pad, pad, pad, cv::BORDER_REPLICATE);
  std::vector<DetectionWindow> expected;
  const Detections scanned = Detector("data/detect-eval.txt").Detect(padded);
  for (DetectionWindow w : scanned.windows.at(0)) {
    const int x0 = std::max(0, w.x - pad), y0 = std::max(0, w.y - pad);
    const int x1 = std::min(frame.cols, w.x - pad + w.width), y1 = std::min(frame.rows, w.y - pad + w.height);
    if (x1 <= x0 || y1 <= y0) continue;
    expected.push_back({static_cast<int16_t>(x0), static_cast<int16_t>(y0), static_cast<int16_t>(x1 - x0),
                        static_cast<int16_t>(y1 - y0), w.response});
  }
  Detector plain("data/detect-eval.txt");
  Detector padding("data/detect-eval.txt");
  padding.SetPadding(pad);
  const std::vector<DetectionWindow> found = padding.Detect(frame).windows.at(0);
  EXPECT_EQ(AsResultText(found), AsResultText(expected));
  ASSERT_FALSE(found.empty());
  EXPECT_NE(AsResultText(found), AsResultText(plain.Detect(frame).windows.at(0)));
  EXPECT_GT(padding.EstimatePeakBytes(frame.cols, frame.rows), plain.EstimatePeakBytes(frame.cols, frame.rows));
}

TEST_F(DetectorTest, EveryThreadCountGivesTheSameDetectionsAndProgress) {
  Detector detector("data/detect-eval.txt");
  RecordedProgress single;
  const Detections one = detector.Detect(frame_, &single);
  for (int threads : {2, 5, 0}) {
    detector.SetThreads(threads);
    EXPECT_GE(detector.threads(), 1);
    RecordedProgress several;
    const Detections many = detector.Detect(frame_, &several);
    EXPECT_EQ(AsResultText(many.windows[0]), AsResultText(one.windows[0])) << threads;
    EXPECT_EQ(many.windowsScanned, one.windowsScanned);
    EXPECT_EQ(several.calls, single.calls) << threads;
  }
  // More threads than levels leaves the surplus idle: no worker is built
  // for it.
  detector.SetThreads(1000);
  EXPECT_EQ(detector.threads(), static_cast<int>(detector.levels().size()));
}

TEST_F(DetectorTest, FramesScannedTogetherGiveWhatEachGivesAlone) {
  Detector detector("data/detect-eval.txt", 2);
  const cv::Mat shifted = frame_(cv::Rect(10, 6, 300, 220)).clone();
  RecordedProgress first;
  RecordedProgress second;
  const Detections alone[2] = {detector.Detect(frame_, &first), detector.Detect(shifted, &second)};
  RecordedProgress logs[3];
  std::vector<Detections> together =
      detector.DetectFrames({frame_, cv::Mat(), shifted}, {&logs[0], &logs[1], &logs[2]});
  ASSERT_EQ(together.size(), 3u);
  EXPECT_EQ(AsResultText(together[0].windows[0]), AsResultText(alone[0].windows[0]));
  EXPECT_EQ(AsResultText(together[2].windows[0]), AsResultText(alone[1].windows[0]));
  EXPECT_NE(AsResultText(together[2].windows[0]), AsResultText(together[0].windows[0]));
  EXPECT_TRUE(together[1].windows[0].empty());
  EXPECT_EQ(logs[0].calls, first.calls);
  EXPECT_EQ(logs[1].calls, "");
  EXPECT_EQ(logs[2].calls, second.calls);
}

TEST_F(DetectorTest, AnEmptyFrameHasNoDetections) {
  Detector detector("data/detect.txt");
  Detections found = detector.Detect(cv::Mat());
  ASSERT_EQ(found.windows.size(), 1u);
  EXPECT_TRUE(found.windows[0].empty());
  EXPECT_EQ(found.windowsScanned, 0);
  // A frame smaller than every window scans nothing and finds nothing.
  found = detector.Detect(cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(90)));
  EXPECT_TRUE(found.windows[0].empty());
  EXPECT_EQ(found.windowsScanned, 0);
}

}  // namespace
}  // namespace pedscan
