#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "detection/detection.h"
#include "detection/suppression.h"
#include "support/failure.h"

namespace pedscan {
namespace {

namespace fs = std::filesystem;

DetectionWindow Box(int x, int y, int w, int h, double response) {
  return DetectionWindow{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<int16_t>(w),
                         static_cast<int16_t>(h), response};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("pedscan_output_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string str() const { return path_.string(); }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

TEST(NonMaxSuppression, LargeOverlapRemovesTheWeakerAndOnTiesTheFirst) {
  std::vector<DetectionWindow> list{Box(0, 0, 100, 100, 2.0), Box(10, 0, 100, 100, 1.0)};
  EXPECT_FLOAT_EQ(Overlap(list[0], list[1]), 9000.0f / 11000.0f);
  std::vector<DetectionWindow> kept = NonMaxSuppression(list, 0.2f);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].x, 0);
  EXPECT_EQ(list.size(), 2u);  // the input stays as it was

  list[1].response = 2.0;
  kept = NonMaxSuppression(list, 0.2f);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].x, 10);
}

TEST(NonMaxSuppression, SmallOverlapAndTouchingBoxesAreKept) {
  std::vector<DetectionWindow> small{Box(0, 0, 100, 100, 2.0), Box(70, 0, 100, 100, 1.0)};
  EXPECT_FLOAT_EQ(Overlap(small[0], small[1]), 3000.0f / 17000.0f);
  EXPECT_EQ(NonMaxSuppression(small, 0.2f).size(), 2u);

  std::vector<DetectionWindow> touching{Box(0, 0, 100, 100, 2.0), Box(100, 0, 100, 100, 1.0),
                                        Box(0, 100, 100, 100, 1.0)};
  EXPECT_EQ(Overlap(touching[0], touching[1]), 0.0f);
  // Even a threshold below zero never suppresses boxes that do not overlap.
  EXPECT_EQ(NonMaxSuppression(touching, -1.0f).size(), 3u);
  EXPECT_TRUE(NonMaxSuppression({}, 0.2f).empty());
}

TEST(NonMaxSuppression, OverlapMustExceedTheThresholdStrictly) {
  // Intersection 50 x 100, union 15000: exactly one third.
  std::vector<DetectionWindow> list{Box(0, 0, 100, 100, 2.0), Box(50, 0, 100, 100, 1.0)};
  float overlap = Overlap(list[0], list[1]);
  EXPECT_EQ(NonMaxSuppression(list, overlap).size(), 2u);
  EXPECT_EQ(NonMaxSuppression(list, std::nextafter(overlap, 0.0f)).size(), 1u);
}

TEST(NonMaxSuppression, SuppressedWindowsStillSuppressTheirWeakerNeighbours) {
  // P-Q and Q-R overlap by about a third, P and R do not overlap.
  std::vector<DetectionWindow> chain{Box(0, 0, 100, 100, 3.0), Box(50, 0, 100, 100, 2.0),
                                     Box(101, 0, 100, 100, 1.0)};
  ASSERT_EQ(Overlap(chain[0], chain[2]), 0.0f);
  ASSERT_GT(Overlap(chain[0], chain[1]), 0.2f);
  ASSERT_GT(Overlap(chain[1], chain[2]), 0.2f);
  std::vector<DetectionWindow> kept = NonMaxSuppression(chain, 0.2f);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].response, 3.0);
}

TEST(ResultFiles, OneTypeWritesThePlainStemSeveralTypesAddTheirNames) {
  EXPECT_EQ(TextSuffixes({"person"}), (std::vector<std::string>{""}));
  EXPECT_EQ(ResultTextPath("out", "img001", ""), "out/img001.txt");
  std::vector<std::string> suffixes = TextSuffixes({"car", "person"});
  ASSERT_EQ(suffixes.size(), 2u);
  EXPECT_EQ(ResultTextPath("out", "img001", suffixes[0]), "out/img001.car.txt");
  EXPECT_EQ(ResultTextPath("out", "img001", suffixes[1]), "out/img001.person.txt");
  EXPECT_EQ(ResultImagePath("out", "img001", false, 3), "out/img001.png");
  EXPECT_EQ(ResultImagePath("out", "street", true, 2), "out/street_ROI0002.png");
}

TEST(ResultFiles, TextLinesCarryTheRoiOffsetAndAppendAfterTheFirstRoi) {
  TempDir dir;
  std::string path = ResultTextPath(dir.str(), "street", "");
  WriteDetections(path, {Box(12, 30, 48, 96, 1.25)}, false, 100, 50);
  EXPECT_EQ(ReadFile(path), "112 80 48 96 1.25\n");
  WriteDetections(path, {Box(0, 0, 48, 96, 0.1), Box(1, 2, 3, 4, -2.5)}, true, 200, 20);
  EXPECT_EQ(ReadFile(path), "112 80 48 96 1.25\n200 20 48 96 0.1\n201 22 3 4 -2.5\n");
  // Appending nothing leaves the file as it was; writing nothing empties it.
  WriteDetections(path, {}, true, 0, 0);
  EXPECT_EQ(ReadFile(path), "112 80 48 96 1.25\n200 20 48 96 0.1\n201 22 3 4 -2.5\n");
  WriteDetections(path, {}, false, 0, 0);
  EXPECT_EQ(ReadFile(path), "");
}

TEST(ResultFiles, ResponsesKeepThirteenSignificantDigits) {
  TempDir dir;
  std::string path = ResultTextPath(dir.str(), "f", "");
  double response = static_cast<double>(0.123456789f);
  WriteDetections(path, {Box(1, 2, 3, 4, response)}, false, 0, 0);
  EXPECT_EQ(ReadFile(path), Format("1 2 3 4 %.13g\n", response));
  EXPECT_EQ(ReadFile(path), "1 2 3 4 0.1234567910433\n");
}

TEST(ResultFiles, MissingOutputDirectoryIsAFatalReportNamingThePath) {
  TempDir dir;
  std::string path = ResultTextPath(dir.str() + "/missing", "img001", "");
  try {
    WriteDetections(path, {Box(1, 2, 3, 4, 1.0)}, false, 0, 0);
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.status(), -1);
    EXPECT_NE(failure.text().find("'" + path + "'"), std::string::npos) << failure.text();
  }
}

TEST(Drawing, RectanglesAndEllipsesUseTheTypeColour) {
  cv::Scalar yellow(0, 255, 255, 0);
  cv::Mat image(200, 200, CV_8UC3, cv::Scalar::all(0));
  DrawDetections(image, {Box(20, 30, 50, 100, 1.0)}, false, yellow);
  EXPECT_EQ(image.at<cv::Vec3b>(30, 20), cv::Vec3b(0, 255, 255));
  EXPECT_EQ(image.at<cv::Vec3b>(130, 70), cv::Vec3b(0, 255, 255));  // (x + w, y + h)
  EXPECT_EQ(image.at<cv::Vec3b>(80, 45), cv::Vec3b(0, 0, 0));       // inside stays

  cv::Mat drawn(300, 300, CV_8UC3, cv::Scalar::all(0));
  DrawDetections(drawn, {Box(100, 100, 50, 100, 1.0)}, true, yellow);
  cv::Mat expected(300, 300, CV_8UC3, cv::Scalar::all(0));
  cv::ellipse(expected, cv::Point(125, 150), cv::Size(35, 70), 0.0, 0.0, 360.0, yellow, 3,
              cv::LINE_8, 0);
  EXPECT_EQ(cv::norm(drawn, expected, cv::NORM_INF), 0.0);
  EXPECT_EQ(drawn.at<cv::Vec3b>(150, 125 + 35), cv::Vec3b(0, 255, 255));
}

TEST(Drawing, TypesPastTheSeventhReuseTheColoursInTurn) {
  EXPECT_EQ(TypeColour(0), cv::Scalar(0, 255, 255, 0));  // yellow
  EXPECT_EQ(TypeColour(1), cv::Scalar(255, 0, 0, 0));    // blue
  EXPECT_EQ(TypeColour(7), TypeColour(0));
  EXPECT_EQ(TypeColour(9), TypeColour(2));
  EXPECT_NE(TypeColour(6), TypeColour(5));
}

}  // namespace
}  // namespace pedscan
