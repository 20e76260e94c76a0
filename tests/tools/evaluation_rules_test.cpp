// The matching rules of the evaluation worked out by hand: ignore regions,
// classes, the best free object, ties, the AP averaged over match thresholds,
// and the curves as CSV and plots.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/run_command.h"
#include "evaluation.h"
#include "inputs.h"
#include "support/failure.h"

namespace pedscan {
namespace evaluation {
namespace {

constexpr double kTolerance = 1e-12;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(EvaluationRules, IgnoreRegionsCountNeitherWayAndAreNeverMissed) {
  // One person at (0,0) and one ignore region of 40x40 at (100,0); a second
  // region at (300,0) that no detection touches.
  Frame f;
  f.truth = {{0, 0, 10, 20}};
  f.ignore = {{100, 0, 40, 40}, {300, 0, 40, 40}};
  f.detections = {
      {{0, 0, 10, 20}, 0.9},    // the person: true positive
      {{105, 5, 10, 20}, 0.8},  // wholly inside the region: ignored
      {{130, 0, 20, 20}, 0.7},  // 10x20 of its 20x20 inside: coverage exactly 0.5
      {{200, 0, 10, 20}, 0.6},  // nowhere near anything: false positive
  };
  // At match threshold 0.5 the half-covered box is ignored too.
  Curve c = ComputeCurve({f}, 0.5);
  EXPECT_EQ(c.positives, 1);  // the regions are not people
  EXPECT_EQ(c.truePositives, (std::vector<int>{0, 1, 1, 1, 1}));
  EXPECT_EQ(c.falsePositives, (std::vector<int>{0, 0, 0, 0, 1}));
  EXPECT_EQ(c.ignored, (std::vector<int>{0, 0, 1, 2, 2}));
  EXPECT_NEAR(c.precision[4], 0.5, kTolerance);  // 1 true of 1 + 1 counted
  EXPECT_NEAR(c.fppi[4], 1.0, kTolerance);
  EXPECT_NEAR(AveragePrecision(c), 1.0, kTolerance);
  // At 0.55 a coverage of 0.5 is not enough: that box is a false positive.
  c = ComputeCurve({f}, 0.55);
  EXPECT_EQ(c.falsePositives.back(), 2);
  EXPECT_EQ(c.ignored.back(), 1);
  // The summary at a threshold counts the detections scoring at least it.
  Summary s = Summarise({f}, 0.75);
  EXPECT_EQ(s.truePositives, 1);
  EXPECT_EQ(s.falsePositives, 0);
  EXPECT_EQ(s.ignored, 1);
  EXPECT_NEAR(s.recall, 1.0, kTolerance);  // the untouched region is no miss

  // Real people are matched before regions: a person standing inside a region
  // is found by the best detection, and the duplicate on it is then ignored
  // instead of being a false positive.
  Frame inside;
  inside.truth = {{110, 10, 10, 20}};
  inside.ignore = {{100, 0, 40, 40}};
  inside.detections = {{{110, 10, 10, 20}, 0.9}, {{111, 10, 10, 20}, 0.8}};
  c = ComputeCurve({inside});
  EXPECT_EQ(c.truePositives.back(), 1);
  EXPECT_EQ(c.falsePositives.back(), 0);
  EXPECT_EQ(c.ignored.back(), 1);
}

TEST(EvaluationRules, CoverageIsTheShareOfTheBoxInsideTheRegion) {
  EXPECT_NEAR(Coverage({0, 0, 10, 10}, {5, 0, 100, 100}), 0.5, kTolerance);
  EXPECT_NEAR(Coverage({0, 0, 10, 10}, {-5, -5, 100, 100}), 1.0, kTolerance);
  // Not symmetric: the big region is only 1/100 inside the small box.
  EXPECT_NEAR(Coverage({0, 0, 100, 100}, {0, 0, 10, 10}), 0.01, kTolerance);
  EXPECT_EQ(Coverage({0, 0, 10, 10}, {10, 0, 5, 5}), 0.0);  // touching only
}

TEST(EvaluationRules, EachDetectionTakesTheBestFreeObjectOfItsClass) {
  // Two people overlapping by IoU 160/240 = 2/3. Both detections lie exactly
  // on A; the second finds A taken and takes B, which it overlaps by 2/3.
  Frame f;
  f.truth = {{0, 0, 10, 20}, {2, 0, 10, 20}};
  f.detections = {{{0, 0, 10, 20}, 0.9}, {{0, 0, 10, 20}, 0.8}};
  Curve c = ComputeCurve({f});
  EXPECT_EQ(c.truePositives.back(), 2);
  EXPECT_EQ(c.falsePositives.back(), 0);
  // At 0.7 the 2/3 overlap is too weak: the second is a false positive.
  EXPECT_EQ(ComputeCurve({f}, 0.7).falsePositives.back(), 1);

  // Classes: a dog on a person's box is no find, an unlabelled box finds
  // anything, and a person inside a region of dogs is not ignored.
  Frame labelled;
  labelled.truth = {{0, 0, 10, 20}};
  labelled.truthLabels = {"person"};
  labelled.ignore = {{100, 0, 40, 40}};
  labelled.ignoreLabels = {"dog"};
  labelled.detections = {{{0, 0, 10, 20}, 0.9}, {{0, 0, 10, 20}, 0.8}, {{110, 0, 10, 20}, 0.7}, {{120, 0, 10, 20}, 0.6}};
  labelled.detectionLabels = {"dog", "", "person", "dog"};
  c = ComputeCurve({labelled});
  EXPECT_EQ(c.truePositives, (std::vector<int>{0, 0, 1, 1, 1}));
  EXPECT_EQ(c.falsePositives, (std::vector<int>{0, 1, 1, 2, 2}));
  EXPECT_EQ(c.ignored, (std::vector<int>{0, 0, 0, 0, 1}));
}

TEST(EvaluationRules, TiedScoresEnterTogetherWhateverTheirOutcome) {
  // A true positive, an ignored and a false positive at one score, then a
  // lower one: only two points after the start.
  Frame f;
  f.truth = {{0, 0, 10, 20}, {50, 0, 10, 20}};
  f.ignore = {{100, 0, 40, 40}};
  f.detections = {{{200, 0, 10, 20}, 0.5}, {{100, 0, 10, 20}, 0.5}, {{0, 0, 10, 20}, 0.5}, {{50, 0, 10, 20}, 0.2}};
  Curve c = ComputeCurve({f});
  ASSERT_EQ(c.threshold.size(), 3u);
  EXPECT_EQ(c.threshold[1], 0.5);
  EXPECT_NEAR(c.precision[1], 0.5, kTolerance);  // 1 true, 1 false
  EXPECT_EQ(c.ignored[1], 1);
  // AP: recall 1/2 at precision 1/2, then 1 at 2/3 (the envelope lifts the
  // first step to 2/3): 0.5 * 2/3 + 0.5 * 2/3.
  EXPECT_NEAR(AveragePrecision(c), 2.0 / 3.0, kTolerance);
}

TEST(EvaluationRules, AveragePrecisionOverIousOfAKnownCase) {
  // Person A found by a box of IoU 0.86 (10x8.6 inside 10x10), person B by
  // one of IoU 0.72, scores 0.9 and 0.8.
  //   thresholds 0.50-0.70 (five): both found, AP 1;
  //   0.75-0.85 (three): A found, B's box a false positive after it:
  //     recall 1/2 at precision 1, AP 0.5;
  //   0.90, 0.95 (two): nothing found, AP 0.
  // Mean over the ten: (5 * 1 + 3 * 0.5 + 2 * 0) / 10 = 0.65.
  Frame f;
  f.truth = {{0, 0, 10, 10}, {50, 0, 10, 10}};
  f.detections = {{{0, 0, 10, 8.6}, 0.9}, {{50, 0, 10, 7.2}, 0.8}};
  EXPECT_NEAR(AveragePrecisionOverIous({f}), 0.65, kTolerance);
  const Summary s = Summarise({f}, -1e300);
  EXPECT_NEAR(s.averagePrecision, 1.0, kTolerance);
  EXPECT_NEAR(s.averagePrecisionOverIous, 0.65, kTolerance);
  const std::vector<double> ious = CocoIous();
  ASSERT_EQ(ious.size(), 10u);
  EXPECT_EQ(ious[1], 0.55);
  EXPECT_EQ(ious[9], 0.95);
}

TEST(EvaluationRules, DetectorArgumentsCarryNameAndThreshold) {
  struct Case {
    std::string text, name, path;
    double threshold;
  } cases[] = {
      {"runs/a", "runs/a", "runs/a", 0.25},
      {"fast=runs/a", "fast", "runs/a", 0.25},
      {"fast=runs/a@0.7", "fast", "runs/a", 0.7},
      {"runs/a@-1.5", "runs/a", "runs/a", -1.5},
      // Not a number after the '@': part of the path; a trailing '/' keeps
      // a directory whose name ends in "@<number>" a path.
      {"runs/me@home", "runs/me@home", "runs/me@home", 0.25},
      {"runs/x@2/", "runs/x@2/", "runs/x@2/", 0.25},
  };
  for (const Case& c : cases) {
    const DetectorArgument d = ParseDetectorArgument(c.text, 0.25);
    EXPECT_EQ(d.name, c.name) << c.text;
    EXPECT_EQ(d.path, c.path) << c.text;
    EXPECT_EQ(d.threshold, c.threshold) << c.text;
  }
  // A threshold per detector: the same results counted at two thresholds.
  Frame f;
  f.truth = {{0, 0, 10, 20}, {50, 0, 10, 20}};
  f.detections = {{{0, 0, 10, 20}, 0.9}, {{200, 0, 10, 20}, 0.8}, {{50, 0, 10, 20}, 0.6}};
  Summary strict = Summarise({f}, ParseDetectorArgument("a=x@0.85", 0.0).threshold);
  Summary loose = Summarise({f}, ParseDetectorArgument("b=x", 0.0).threshold);
  EXPECT_NEAR(strict.precision, 1.0, kTolerance);
  EXPECT_NEAR(strict.recall, 0.5, kTolerance);
  EXPECT_NEAR(loose.precision, 2.0 / 3.0, kTolerance);
  EXPECT_NEAR(loose.recall, 1.0, kTolerance);
}

TEST(EvaluationRules, CurvesAreWrittenAsCsvAndAsDistinguishablePlots) {
  testutil::TempDir dir;
  Frame f;
  f.truth = {{0, 0, 10, 20}, {50, 0, 10, 20}};
  f.ignore = {{100, 0, 40, 40}};
  f.detections = {{{0, 0, 10, 20}, 0.9}, {{100, 0, 10, 20}, 0.8}, {{200, 0, 10, 20}, 0.25}};
  const Curve c = ComputeCurve({f});
  const std::vector<NamedCurve> curves = {{"a", c}, {"b, \"new\"", c}};
  WriteCurvesCsv(curves, dir.File("curves.csv"));
  // Points: start; 0.9 finds one of two; 0.8 ignored; 0.25 one false per frame.
  const std::string rows =
      "inf,1,0,0,1,0,0,0\n"
      "0.9,1,0.5,0,0.5,1,0,0\n"
      "0.8,1,0.5,0,0.5,1,0,1\n"
      "0.25,0.5,0.5,1,0.5,1,1,1\n";
  std::string expected = "detector,threshold,precision,recall,fppi,miss_rate,true_positives,false_positives,ignored\n";
  for (const std::string name : {"a", "\"b, \"\"new\"\"\""}) {
    std::istringstream lines(rows);
    for (std::string line; std::getline(lines, line);) expected += name + "," + line + "\n";
  }
  EXPECT_EQ(ReadText(dir.File("curves.csv")), expected);

  // Two curves lying exactly on each other: the second's colour still shows
  // along the line, and so does the first's (the second is dashed, and its
  // markers sit elsewhere along the line). Only the upper half of the axes is
  // looked at, where the line runs at precision 1 and no legend lies.
  PlotPrecisionRecall(curves, dir.File("pr.png"));
  PlotMissRate(curves, dir.File("mr.png"));
  const cv::Mat img = cv::imread(dir.File("pr.png"));
  ASSERT_EQ(img.size(), cv::Size(680, 520));
  int first = 0, second = 0;
  for (int y = 0; y < img.rows / 2; ++y)
    for (int x = 0; x < img.cols; ++x) {
      const cv::Vec3b p = img.at<cv::Vec3b>(y, x);
      first += p[0] > 150 && p[1] < 60 && p[2] < 60;   // blue
      second += p[2] > 150 && p[0] < 60 && p[1] < 60;  // red
    }
  EXPECT_GT(first, 40);
  EXPECT_GT(second, 40);
  EXPECT_EQ(cv::imread(dir.File("mr.png")).size(), cv::Size(680, 520));
  // Nothing but the finished files is left in the directory.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.is_regular_file();
  EXPECT_EQ(files, 3u);
  try {
    WriteCurvesCsv(curves, dir.File("missing/curves.csv"));
    ADD_FAILURE() << "no failure";
  } catch (const Failure& e) {
    EXPECT_EQ(e.text().rfind(dir.File("missing/curves.csv") + ": cannot write curves (", 0), 0u) << e.text();
  }
}

TEST(EvaluationRules, FramesFromLabelmeImglabAndTextTruthWithCocoResults) {
  testutil::TempDir dir;
  // labelme: a person and an __ignore__ region, which covers every class.
  dir.MakeDir("labelme");
  dir.WriteFile("labelme/a.json", R"({"imagePath": "a.jpg", "shapes": [
      {"label": "person", "points": [[10, 10], [30, 58]], "shape_type": "rectangle"},
      {"label": "__ignore__", "points": [[100, 0], [140, 0], [140, 40], [100, 40]], "shape_type": "polygon"}]})");
  // imglab: the same, the region by its ignore flag, in a second image.
  dir.WriteFile("imglab.xml", R"(<dataset><images>
      <image file="img/a.png"><box top="10" left="10" width="20" height="48"><label>person</label></box>
        <box top="0" left="100" width="40" height="40" ignore="1"><label>person</label></box></image>
      <image file="img/b.png"/></images></dataset>)");
  // COCO results naming images of their own, labelled "person": the person,
  // a box inside the region, one on nobody; b.png gets one on nobody.
  const std::string results = dir.WriteFile("results.json", R"({
      "images": [{"id": 5, "file_name": "a.jpg"}, {"id": 6, "file_name": "b.jpg"}],
      "categories": [{"id": 1, "name": "person"}],
      "annotations": [
        {"image_id": 5, "category_id": 1, "bbox": [10, 10, 20, 48], "score": 0.9},
        {"image_id": 5, "category_id": 1, "bbox": [110, 10, 20, 20], "score": 0.8},
        {"image_id": 5, "category_id": 1, "bbox": [300, 10, 20, 48], "score": 0.7},
        {"image_id": 6, "category_id": 1, "bbox": [300, 10, 20, 48], "score": 0.6}]})");
  // Text truth: the person only, in a.txt and b.txt (the region unknown).
  dir.MakeDir("text");
  dir.WriteFile("text/a.txt", "10 10 20 48\n");
  dir.WriteFile("text/b.txt", "");
  struct Case {
    std::string truth;
    int frames, falsePositives, ignored;
  } cases[] = {
      {dir.File("labelme"), 1, 1, 1},  // b.jpg is not in this truth: left out
      {dir.File("imglab.xml"), 2, 2, 1},
      {dir.File("text"), 2, 3, 0},
  };
  for (const Case& c : cases) {
    const std::vector<Frame> frames = LoadFrames(ReadTruth(c.truth), results);
    ASSERT_EQ(static_cast<int>(frames.size()), c.frames) << c.truth;
    EXPECT_EQ(frames[0].name, "a") << c.truth;
    const Summary s = Summarise(frames, -1e300);
    EXPECT_EQ(s.positives, 1) << c.truth;
    EXPECT_EQ(s.truePositives, 1) << c.truth;
    EXPECT_EQ(s.falsePositives, c.falsePositives) << c.truth;
    EXPECT_EQ(s.ignored, c.ignored) << c.truth;
  }
  // A class filter naming another class leaves no people and no detections.
  const std::vector<Frame> cars = LoadFrames(ReadTruth(dir.File("imglab.xml"), {"car"}), results);
  EXPECT_EQ(cars[0].truth.size() + cars[0].ignore.size() + cars[0].detections.size(), 0u);
}

}  // namespace
}  // namespace evaluation
}  // namespace pedscan
