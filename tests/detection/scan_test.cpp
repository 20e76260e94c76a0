#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "detection/detection.h"

namespace pedscan {
namespace {

void ExpectWindow(const DetectionWindow& w, int x, int y, int width, int height) {
  EXPECT_EQ(w.x, x);
  EXPECT_EQ(w.y, y);
  EXPECT_EQ(w.width, width);
  EXPECT_EQ(w.height, height);
}

TEST(ScanWindows, VisitsRowsOuterAndKeepsResponsesThatReachTheThreshold) {
  std::vector<std::pair<int, int>> visited;
  WindowScorer score = [&](int x, int y) {
    visited.emplace_back(x, y);
    return x == 5 && y == 10 ? 0.5f : 0.25f;
  };
  std::vector<DetectionWindow> found;
  // 20 x 30 image, 10 x 20 window, steps 5 and 10: x 0, 5, 10; y 0, 10.
  int scanned = ScanWindows(20, 30, 10, 20, 5, 10, 0.5, score, found);
  EXPECT_EQ(scanned, 6);
  std::vector<std::pair<int, int>> expected{{0, 0}, {5, 0}, {10, 0}, {0, 10}, {5, 10}, {10, 10}};
  EXPECT_EQ(visited, expected);
  ASSERT_EQ(found.size(), 1u);  // a response equal to the threshold is kept
  ExpectWindow(found[0], 5, 10, 10, 20);
  EXPECT_EQ(found[0].response, 0.5);
}

TEST(ScanWindows, ImageSmallerThanTheWindowScansNothing) {
  int calls = 0;
  WindowScorer score = [&](int, int) { return static_cast<float>(++calls); };
  std::vector<DetectionWindow> found;
  EXPECT_EQ(ScanWindows(63, 200, 64, 128, 1, 1, -1.0, score, found), 0);
  EXPECT_EQ(ScanWindows(0, 0, 64, 128, 1, 1, -1.0, score, found), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(found.empty());
  // Exactly the window's size: one window.
  EXPECT_EQ(ScanWindows(64, 128, 64, 128, 5, 10, -1.0, score, found), 1);
}

TEST(RescoreWindows, LaterStagesDropResponsesEqualToTheThreshold) {
  std::vector<DetectionWindow> candidates{{0, 0, 64, 128, 0.9}, {5, 0, 64, 128, 0.9},
                                          {10, 0, 64, 128, 0.9}};
  WindowScorer score = [](int x, int) { return x == 0 ? 0.75f : (x == 5 ? 0.5f : 0.25f); };
  std::vector<DetectionWindow> kept = RescoreWindows(candidates, 32, 64, 0.5, score);
  ASSERT_EQ(kept.size(), 1u);
  ExpectWindow(kept[0], 0, 0, 32, 64);  // the later model's window size
  EXPECT_EQ(kept[0].response, 0.75);
  EXPECT_TRUE(RescoreWindows({}, 32, 64, 0.0, score).empty());
}

TEST(MapToFrame, MultipliesEveryFieldByTheLevelFactorAndFloors) {
  ExpectWindow(MapToFrame({5, 7, 64, 128, 1.5}, 2.0f), 10, 14, 128, 256);
  DetectionWindow mapped = MapToFrame({5, 7, 64, 128, 1.5}, 1.5f);
  ExpectWindow(mapped, 7, 10, 96, 192);
  EXPECT_EQ(mapped.response, 1.5);
  // The product is taken in single precision: 3 * (640 / 361.0f).
  float factor = 640.0f / 361.0f;
  EXPECT_EQ(MapToFrame({3, 0, 0, 0, 0.0}, factor).x,
            static_cast<int>(std::floor(3.0f * factor)));
}

TEST(ShrinkToObject, CentresTheObjectBoxInTheWindowBox) {
  ExpectWindow(ShrinkToObject({10, 20, 64, 128, 0.0}, 64, 128, 48, 96), 18, 36, 48, 96);
  // After mapping with factor 2 the margins double.
  ExpectWindow(ShrinkToObject({10, 14, 128, 256, 0.0}, 64, 128, 48, 96), 26, 46, 96, 192);
  // Margins are floored: (1 - 40/64) * 0.5 * 65 = 12.1875.
  ExpectWindow(ShrinkToObject({0, 0, 65, 128, 0.0}, 64, 128, 40, 128), 12, 0, 41, 128);
  // Object as large as the window: unchanged.
  ExpectWindow(ShrinkToObject({3, 4, 64, 128, 0.0}, 64, 128, 64, 128), 3, 4, 64, 128);
}

TEST(MakeLevelImage, ResizesBicubicallyToTheFlooredSizeAndRecordsTheFactor) {
  cv::Mat frame(480, 640, CV_8UC3);
  cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
  ScaleLevel level{5, 10, static_cast<float>(96.0 / 57.0), 1, 57};
  LevelImage image = MakeLevelImage(frame, level);
  int width = static_cast<int>(std::floor(640.0f * level.ratio));
  int height = static_cast<int>(std::floor(480.0f * level.ratio));
  ASSERT_EQ(image.image.cols, width);
  ASSERT_EQ(image.image.rows, height);
  EXPECT_EQ(image.factor, 640.0f / static_cast<float>(width));
  EXPECT_EQ(image.stepX, 5);
  EXPECT_EQ(image.stepY, 10);
  EXPECT_EQ(image.index, 1);
  EXPECT_EQ(image.size, 57);
  cv::Mat reference;
  cv::resize(frame, reference, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
  EXPECT_EQ(cv::norm(image.image, reference, cv::NORM_INF), 0.0);

  LevelImage doubled = MakeLevelImage(frame, ScaleLevel{5, 10, 2.0f, 0, 48});
  EXPECT_EQ(doubled.image.cols, 1280);
  EXPECT_EQ(doubled.image.rows, 960);
  EXPECT_EQ(doubled.factor, 0.5f);
}

TEST(MakeLevelImage, LevelBelowOnePixelIsEmpty) {
  cv::Mat frame(2, 3, CV_8UC3, cv::Scalar::all(9));
  LevelImage image = MakeLevelImage(frame, ScaleLevel{1, 1, 0.25f, 0, 384});
  EXPECT_TRUE(image.image.empty());
}

}  // namespace
}  // namespace pedscan
