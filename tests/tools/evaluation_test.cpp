#include "evaluation.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/failure.h"

namespace pedscan {
namespace evaluation {
namespace {

constexpr double kTolerance = 1e-12;  // exact ratios of small counts

std::string TempDir() {
  char pattern[] = "/tmp/evaluation_test_XXXXXX";
  return mkdtemp(pattern);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

Frame MakeFrame(std::vector<Box> truth, std::vector<ScoredBox> detections) {
  Frame f;
  f.truth = std::move(truth);
  f.detections = std::move(detections);
  return f;
}

std::string FailureText(const std::function<void()>& f) {
  try {
    f();
  } catch (const Failure& e) {
    EXPECT_EQ(e.status(), 2);
    return e.text();
  }
  return "no failure";
}

TEST(Evaluation, IntersectionOverUnionOfKnownBoxes) {
  EXPECT_NEAR(Iou({0, 0, 10, 10}, {0, 0, 10, 10}), 1.0, kTolerance);
  EXPECT_NEAR(Iou({0, 0, 10, 10}, {5, 0, 10, 10}), 50.0 / 150.0, kTolerance);
  EXPECT_EQ(Iou({0, 0, 10, 10}, {10, 0, 10, 10}), 0.0);  // touching edges share no area
  EXPECT_NEAR(Iou({0, 0, 10, 10}, {2, 2, 5, 5}), 25.0 / 100.0, kTolerance);
}

TEST(Evaluation, HighestScoreTakesThePersonAndDuplicatesAreFalsePositives) {
  // One person; three detections on it: the best-scoring one matches, the
  // other two are duplicates. One detection elsewhere.
  std::vector<Frame> frames = {MakeFrame({{10, 10, 20, 40}},
                                         {{{11, 10, 20, 40}, 0.5},
                                          {{10, 10, 20, 40}, 0.9},
                                          {{12, 11, 20, 40}, 0.7},
                                          {{100, 100, 20, 40}, 0.8}})};
  Curve c = ComputeCurve(frames);
  ASSERT_EQ(c.recall.size(), 5u);
  EXPECT_EQ(c.positives, 1);
  // thresholds: inf, 0.9 (tp), 0.8 (fp), 0.7 (dup), 0.5 (dup)
  EXPECT_EQ(c.recall[1], 1.0);
  EXPECT_EQ(c.precision[1], 1.0);
  EXPECT_NEAR(c.precision[4], 0.25, kTolerance);
  EXPECT_NEAR(c.fppi[4], 3.0, kTolerance);
  EXPECT_NEAR(AveragePrecision(c), 1.0, kTolerance);
}

TEST(Evaluation, OverlapBelowHalfIsAMiss) {
  // IoU of 1/3 with the only person.
  std::vector<Frame> frames = {MakeFrame({{0, 0, 10, 10}}, {{{5, 0, 10, 10}, 1.0}})};
  Summary s = Summarise(frames, 0.0);
  EXPECT_EQ(s.truePositives, 0);
  EXPECT_EQ(s.falsePositives, 1);
  EXPECT_EQ(s.recall, 0.0);
  EXPECT_EQ(s.averagePrecision, 0.0);
  EXPECT_NEAR(s.logAverageMissRate, 1.0, kTolerance);
}

TEST(Evaluation, DetectionsMatchOnlyPeopleOfTheirOwnFrame) {
  std::vector<Frame> frames = {MakeFrame({{0, 0, 10, 20}}, {}),
                               MakeFrame({}, {{{0, 0, 10, 20}, 1.0}})};
  Summary s = Summarise(frames, 0.0);
  EXPECT_EQ(s.truePositives, 0);
  EXPECT_EQ(s.falsePositives, 1);
}

TEST(Evaluation, AveragePrecisionAndPrecisionRecallAtThreshold) {
  // Two frames, four people. Ranked: tp(0.9) fp(0.8) tp(0.7) fp(0.6) tp(0.5).
  std::vector<Frame> frames = {
      MakeFrame({{0, 0, 10, 20}, {50, 0, 10, 20}},
                {{{0, 0, 10, 20}, 0.9}, {{200, 0, 10, 20}, 0.8}, {{50, 0, 10, 20}, 0.5}}),
      MakeFrame({{0, 0, 10, 20}, {80, 80, 10, 20}}, {{{0, 0, 10, 20}, 0.7}, {{300, 0, 10, 20}, 0.6}})};
  Curve c = ComputeCurve(frames);
  // precision after each: 1, 1/2, 2/3, 2/4, 3/5; recall 1/4, 1/4, 2/4, 2/4, 3/4.
  // Envelope at recall steps: 1 (to 1/4), 2/3 (to 2/4), 3/5 (to 3/4).
  const double ap = 0.25 * 1.0 + 0.25 * (2.0 / 3.0) + 0.25 * 0.6;
  EXPECT_NEAR(AveragePrecision(c), ap, kTolerance);
  Summary s = Summarise(frames, 0.7);
  EXPECT_NEAR(s.precision, 2.0 / 3.0, kTolerance);
  EXPECT_NEAR(s.recall, 0.5, kTolerance);
  EXPECT_EQ(s.truePositives, 2);
  EXPECT_EQ(s.falsePositives, 1);
  EXPECT_EQ(s.positives, 4);
}

TEST(Evaluation, EqualScoresEnterTheCurveTogether) {
  // A false and a true positive with one score: no point between them.
  std::vector<Frame> frames = {MakeFrame({{0, 0, 10, 20}}, {{{100, 0, 10, 20}, 1.0}, {{0, 0, 10, 20}, 1.0}})};
  Curve c = ComputeCurve(frames);
  ASSERT_EQ(c.recall.size(), 2u);
  EXPECT_NEAR(c.precision[1], 0.5, kTolerance);
  EXPECT_NEAR(AveragePrecision(c), 0.5, kTolerance);
}

TEST(Evaluation, LogAverageMissRateOfAKnownCurve) {
  // 100 frames, 10 people. Ranked: 5 hits, then 10 false positives, then the
  // other 5 hits: miss rate 0.5 up to FPPI 0.1, then 0 from FPPI 0.1 on.
  Frame base;
  std::vector<Frame> frames(100, base);
  for (int i = 0; i < 10; ++i) frames[i].truth.push_back({0, 0, 10, 20});
  for (int i = 0; i < 5; ++i) frames[i].detections.push_back({{0, 0, 10, 20}, 0.9 - i * 0.01});
  for (int i = 0; i < 10; ++i) frames[50 + i].detections.push_back({{0, 0, 10, 20}, 0.8 - i * 0.01});
  for (int i = 5; i < 10; ++i) frames[i].detections.push_back({{0, 0, 10, 20}, 0.6 - i * 0.01});
  Curve c = ComputeCurve(frames);
  // Reference points 1e-2, 10^-1.75, 10^-1.5, 10^-1.25 see miss rate 0.5.
  // At 1e-1 the later hits come without another false positive, so the
  // lowest miss rate reachable at FPPI 0.1 is 0: that point and the four
  // above it see 0 (clamped to 1e-10).
  const double expected = std::exp((4 * std::log(0.5) + 5 * std::log(1e-10)) / 9.0);
  EXPECT_NEAR(LogAverageMissRate(c), expected, 1e-15);
  // Without any false positive the miss rate at every point is the final one.
  std::vector<Frame> clean = {MakeFrame({{0, 0, 10, 20}, {50, 0, 10, 20}}, {{{0, 0, 10, 20}, 1.0}})};
  EXPECT_NEAR(LogAverageMissRate(ComputeCurve(clean)), 0.5, kTolerance);
  // With only false positives above FPPI 1 nothing is ever found: 1.
  std::vector<Frame> noisy = {MakeFrame({{0, 0, 10, 20}}, {{{90, 0, 10, 20}, 1.0}, {{70, 0, 10, 20}, 0.5}})};
  EXPECT_NEAR(LogAverageMissRate(ComputeCurve(noisy)), 1.0, kTolerance);
}

TEST(Evaluation, FilesAreReadAndBlankLinesSkipped) {
  const std::string dir = TempDir();
  WriteFile(dir + "/gt.txt", "1 2 3 4\n\n  5 6 7 8  \r\n");
  std::vector<Box> boxes = ReadGroundTruth(dir + "/gt.txt");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].x, 5);
  EXPECT_EQ(boxes[1].height, 8);
  WriteFile(dir + "/det.txt", "731 165 27 62 1\n592 201 71 169 0.9999999403954\n");
  std::vector<ScoredBox> det = ReadDetections(dir + "/det.txt");
  ASSERT_EQ(det.size(), 2u);
  EXPECT_EQ(det[1].score, 0.9999999403954);
}

TEST(Evaluation, MalformedLinesNameTheFileAndLineAndAreNeverBoxes) {
  const std::string dir = TempDir();
  const std::string path = dir + "/gt.txt";
  const struct {
    const char* text;
    const char* line;
  } cases[] = {
      {"1 2 3 4\n1 2 3\n", "2: malformed ground-truth line '1 2 3'"},
      {"1 2 3 4 5\n", "1: malformed ground-truth line '1 2 3 4 5'"},
      {"1 2 3 4\n\nx 2 3 4\n", "3: malformed ground-truth line 'x 2 3 4'"},
      {"1 2 3x 4\n", "1: malformed ground-truth line '1 2 3x 4'"},
      {"1 2 0 4\n", "1: malformed ground-truth line '1 2 0 4'"},
      {"1 2 3 -4\n", "1: malformed ground-truth line '1 2 3 -4'"},
      {"1 2 nan 4\n", "1: malformed ground-truth line '1 2 nan 4'"},
  };
  for (const auto& c : cases) {
    WriteFile(path, c.text);
    EXPECT_EQ(FailureText([&] { ReadGroundTruth(path); }),
              path + ":" + c.line + " (expected x y w h)\n")
        << c.text;
  }
  WriteFile(path, "1 2 3 4\n");
  EXPECT_EQ(FailureText([&] { ReadDetections(path); }),
            path + ":1: malformed detection line '1 2 3 4' (expected x y w h score)\n");
}

TEST(Evaluation, MissingFilesAndDirectoriesAreRejected) {
  const std::string truth = TempDir(), results = TempDir();
  EXPECT_EQ(FailureText([&] { LoadFrames(truth, results); }),
            truth + ": no ground-truth files (*.txt)\n");
  WriteFile(truth + "/0400.txt", "1 2 3 4\n");
  WriteFile(truth + "/0401.txt", "");
  WriteFile(results + "/0400.txt", "1 2 3 4 0.5\n");
  EXPECT_EQ(FailureText([&] { LoadFrames(truth, results); }),
            results + "/0401.txt: cannot open detection file\n");
  WriteFile(results + "/0401.txt", "");
  std::vector<Frame> frames = LoadFrames(truth, results);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].name, "0400");
  EXPECT_EQ(frames[1].truth.size(), 0u);
  // A directory where a file is expected cannot be read as one.
  mkdir((results + "/sub.txt").c_str(), 0755);
  EXPECT_EQ(FailureText([&] { ReadDetections(results + "/sub.txt"); }),
            results + "/sub.txt: cannot open detection file\n");
  EXPECT_EQ(FailureText([&] { LoadFrames(truth + "/none", results); }),
            truth + "/none: cannot open ground-truth directory\n");
}

TEST(Evaluation, PlotsAreWrittenAsImages) {
  const std::string dir = TempDir();
  std::vector<Frame> frames = {MakeFrame({{0, 0, 10, 20}}, {{{0, 0, 10, 20}, 0.9}, {{50, 0, 10, 20}, 0.4}})};
  std::vector<NamedCurve> curves = {{"a", ComputeCurve(frames)}, {"b", ComputeCurve(frames)}};
  PlotMissRate(curves, dir + "/mr.png");
  PlotPrecisionRecall(curves, dir + "/pr.png");
  EXPECT_EQ(cv::imread(dir + "/mr.png").cols, 680);
  EXPECT_EQ(cv::imread(dir + "/pr.png").rows, 520);
  EXPECT_EQ(FailureText([&] { PlotMissRate(curves, dir + "/missing/mr.png"); }),
            dir + "/missing/mr.png: cannot write plot\n");
}

}  // namespace
}  // namespace evaluation
}  // namespace pedscan
