// The feature-extraction mode: sampling as training does, a feature and a
// coordinate matrix file per image.
#include "training/feature_extraction.h"

#include <filesystem>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "../support/run_command.h"
#include "training_fixtures.h"

namespace pedscan {
namespace {

namespace fs = std::filesystem;
using testutil::CaptureOutput;
using testutil::CatchFailure;
using testutil::FatalText;
using testutil::MatrixFile;
using testutil::ReadMatrixFile;
using testutil::TempDir;

class FeatureExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = dir_.WriteFile("model.txt", testutil::kFiveBlockConfig);
    input_ = dir_.MakeDir("in");
    output_ = dir_.MakeDir("out");
    parameters_.input = input_;
    parameters_.output = output_;
    parameters_.nSampIm = 3;
  }

  TempDir dir_;
  std::string config_;
  std::string input_;
  std::string output_;
  ExtractionOptions parameters_;
};

TEST_F(FeatureExtractionTest, WritesAFeatureAndACoordinateMatrixPerImage) {
  cv::RNG rng(2);
  cv::Mat image(40, 120, CV_8UC3);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  cv::imwrite(input_ + "/a.day.png", image);
  cv::imwrite(input_ + "/b.png", image(cv::Rect(5, 5, 80, 16)));
  cv::imwrite(input_ + "/c.jpg", image(cv::Rect(0, 0, 100, 30)));
  FeatureExtraction extraction(config_, parameters_);
  std::string out = CaptureOutput([&] { extraction.Run(); });
  EXPECT_EQ(out, "Extracting features (195 features per sample):\n\r0/3\r1/3\r2/3done!\n");

  // The same windows and features as the training driver gives.
  Training training;
  TrainingOptions sampling;
  sampling.nSampIm = parameters_.nSampIm;
  training.Setup(config_, sampling);
  training.featureControl().SetModelMethods(training.model());
  training.featureControl().ActivateModelMethods(training.model());
  std::vector<TrainingImage*> list = training.CreateListDetWindows("*.png,*.jpg", input_);
  ASSERT_EQ(list.size(), 3u);
  const char* stems[3] = {"a.day", "b", "c"};
  for (size_t i = 0; i < 3; ++i) {
    const TrainingImage& entry = *list[i];
    const int windows = static_cast<int>(entry.windows.size());
    MatrixFile features = ReadMatrixFile(output_ + "/" + stems[i] + ".features.matrix");
    MatrixFile coords = ReadMatrixFile(output_ + "/" + stems[i] + ".coords.matrix");
    ASSERT_EQ(features.rows, windows) << stems[i];
    ASSERT_EQ(features.cols, 195);
    ASSERT_EQ(coords.rows, windows);
    ASSERT_EQ(coords.cols, 4);
    std::vector<TrainingImage*> one{list[i]};
    std::vector<MatrixPtr> blocks;
    CaptureOutput([&] { blocks = training.ExtractBlockFeatures(one, 0, 4); });
    for (int j = 0; j < windows; ++j) {
      const DetectionWindow& w = entry.windows[j];
      EXPECT_EQ(coords.values[4 * j + 0], w.x);
      EXPECT_EQ(coords.values[4 * j + 1], w.y);
      EXPECT_EQ(coords.values[4 * j + 2], 80.0f);
      EXPECT_EQ(coords.values[4 * j + 3], 16.0f);
      for (int b = 0; b < 5; ++b) {
        for (int c = 0; c < 39; ++c) {
          ASSERT_EQ(features.values[195 * j + 39 * b + c], (*blocks[b])(j, c));
        }
      }
    }
  }
  EXPECT_EQ(list[1]->windows.size(), 1u);  // exactly the window's size
}

TEST_F(FeatureExtractionTest, SingleImageInputIsItsOwnList) {
  cv::RNG rng(3);
  cv::Mat image(20, 90, CV_8UC3);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  std::string path = dir_.File("single.shot.png");
  cv::imwrite(path, image);
  parameters_.input = path;
  parameters_.isImage = true;
  FeatureExtraction extraction(config_, parameters_);
  std::string out = CaptureOutput([&] { extraction.Run(); });
  EXPECT_EQ(out, "Extracting features (195 features per sample):\n\r0/1done!\n");
  EXPECT_EQ(ReadMatrixFile(output_ + "/single.shot.features.matrix").cols, 195);
  EXPECT_EQ(ReadMatrixFile(output_ + "/single.shot.coords.matrix").cols, 4);
}

TEST_F(FeatureExtractionTest, ImageWithoutWindowsGivesMatricesWithoutRows) {
  FeatureExtraction extraction(config_, parameters_);
  TrainingImage empty;
  empty.path = dir_.File("plain.png");
  cv::imwrite(empty.path, cv::Mat(16, 80, CV_8UC3, cv::Scalar::all(50)));
  MatrixPtr features = extraction.ExtractImageFeatures(empty);
  MatrixPtr coords = FeatureExtraction::WindowCoordinates(empty);
  EXPECT_EQ(features->rows(), 0);
  EXPECT_EQ(features->cols(), 195);
  EXPECT_EQ(coords->rows(), 0);
  EXPECT_EQ(coords->cols(), 4);
}

TEST_F(FeatureExtractionTest, OutputNamesUseTheStemBeforeTheLastDot) {
  EXPECT_EQ(FeatureExtraction::FeaturesFileName("out", "imgs/crowd.day.png"),
            "out/crowd.day.features.matrix");
  EXPECT_EQ(FeatureExtraction::CoordinatesFileName("out", "imgs\\crowd.day.png"),
            "out/crowd.day.coords.matrix");
}

TEST_F(FeatureExtractionTest, UnreadableImageIsFatalAndNamed) {
  FeatureExtraction extraction(config_, parameters_);
  TrainingImage broken;
  broken.path = dir_.WriteFile("broken.png", "garbage");
  broken.windows.push_back(DetectionWindow{0, 0, 80, 16, -1.0});
  Failure failure = CatchFailure([&] { extraction.ExtractImageFeatures(broken); });
  EXPECT_EQ(failure.text(), FatalText("feature_extraction", "FeatureExtraction::ExtractImageFeatures",
                                      64, "can't load image '" + broken.path + "'"));
  // In a directory the sampling meets it first.
  dir_.WriteFile("in/broken.png", "garbage");
  EXPECT_NE(CatchFailure([&] { extraction.Run(); }).text().find("can't load image '" + input_ +
                                                                "/broken.png'"),
            std::string::npos);
}

TEST_F(FeatureExtractionTest, UnwritableOutputIsFatalAndNamesTheFile) {
  cv::imwrite(input_ + "/a.png", cv::Mat(16, 80, CV_8UC3, cv::Scalar::all(50)));
  parameters_.output = dir_.File("missing");
  FeatureExtraction extraction(config_, parameters_);
  Failure failure = CatchFailure([&] { extraction.Run(); });
  EXPECT_EQ(failure.status(), -1);
  EXPECT_NE(failure.text().find(dir_.File("missing/a.features.matrix")), std::string::npos)
      << failure.text();
}

}  // namespace
}  // namespace pedscan
