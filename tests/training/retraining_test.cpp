// Retraining: scan positions, the bounded candidate set, model files and
// the whole training run.
#include "training/retraining.h"

#include <filesystem>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../detection/synthetic_model.h"
#include "../support/run_command.h"
#include "model/Storage.h"
#include "training_fixtures.h"

namespace pedscan {
namespace {

namespace fs = std::filesystem;
using testutil::CaptureOutput;
using testutil::CatchFailure;
using testutil::FatalText;
using testutil::ReadWholeFile;
using testutil::TempDir;

DetectionWindow WindowAt(int x, int y) {
  DetectionWindow window;
  window.x = static_cast<int16_t>(x);
  window.y = static_cast<int16_t>(y);
  window.width = 64;
  window.height = 128;
  return window;
}

TEST(ScanPositions, StopBeforeTheWindowTouchesTheRightOrBottomBorder) {
  std::vector<ScanPosition> positions = ScanPositions(96, 192, 64, 128, 16);
  std::vector<std::pair<int, int>> seen;
  for (const ScanPosition& at : positions) seen.push_back({at.x, at.y});
  const std::vector<std::pair<int, int>> expected = {{0, 0},  {16, 0},  {0, 16}, {16, 16},
                                                     {0, 32}, {16, 32}, {0, 48}, {16, 48}};
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(ScanPositions(64, 128, 64, 128, 16).empty());
  EXPECT_TRUE(ScanPositions(50, 300, 64, 128, 16).empty());
  EXPECT_EQ(ScanPositions(65, 129, 64, 128, 16).size(), 1u);
  EXPECT_EQ(ScanPositions(100, 140, 64, 128, 5).size(), 8u * 3u);
}

TEST(HardNegatives, KeepTheStrongestWindowsUpToTheLimit) {
  HardNegatives candidates(2, 0.9f);
  EXPECT_TRUE(candidates.Offer(1.5f, "a.png", WindowAt(0, 0)));
  EXPECT_TRUE(candidates.Offer(0.95f, "a.png", WindowAt(16, 0)));
  EXPECT_TRUE(candidates.Offer(2.0f, "a.png", WindowAt(32, 0)));
  EXPECT_FALSE(candidates.Offer(1.0f, "a.png", WindowAt(48, 0)));
  std::vector<TrainingImage> grouped = candidates.Group();
  ASSERT_EQ(grouped.size(), 1u);
  ASSERT_EQ(grouped[0].windows.size(), 2u);
  EXPECT_EQ(grouped[0].windows[0].x, 0);
  EXPECT_EQ(grouped[0].windows[1].x, 32);
}

TEST(HardNegatives, ResponseEqualToTheThresholdIsACandidateAndBelowIsNot) {
  HardNegatives candidates(10, 0.9f);
  EXPECT_TRUE(candidates.Offer(0.9f, "a.png", WindowAt(0, 0)));
  EXPECT_FALSE(candidates.Offer(0.89999f, "a.png", WindowAt(16, 0)));
  EXPECT_EQ(candidates.size(), 1);
}

TEST(HardNegatives, WhenFullAnEqualResponseDoesNotEvictTheWeakest) {
  HardNegatives candidates(2, 0.0f);
  candidates.Offer(1.0f, "a.png", WindowAt(0, 0));
  candidates.Offer(1.0f, "a.png", WindowAt(16, 0));
  EXPECT_FALSE(candidates.Offer(1.0f, "a.png", WindowAt(32, 0)));
  std::vector<TrainingImage> grouped = candidates.Group();
  ASSERT_EQ(grouped[0].windows.size(), 2u);
  // Equal responses keep the order they came in.
  EXPECT_EQ(grouped[0].windows[0].x, 0);
  EXPECT_EQ(grouped[0].windows[1].x, 16);
}

TEST(HardNegatives, NoCapacityHoldsNothing) {
  for (int capacity : {0, -3}) {
    HardNegatives candidates(capacity, 0.0f);
    EXPECT_FALSE(candidates.Offer(5.0f, "a.png", WindowAt(0, 0)));
    EXPECT_TRUE(candidates.Group().empty());
  }
}

TEST(HardNegatives, GroupByImageInByteOrderWithWindowsByAscendingResponse) {
  HardNegatives candidates(10, 0.5f);
  candidates.Offer(0.9f, "neg/b.png", WindowAt(1, 0));
  candidates.Offer(0.7f, "neg/a.png", WindowAt(2, 0));
  candidates.Offer(0.6f, "neg/b.png", WindowAt(3, 0));
  candidates.Offer(0.8f, "neg/B.png", WindowAt(4, 0));
  std::vector<TrainingImage> grouped = candidates.Group();
  ASSERT_EQ(grouped.size(), 3u);
  EXPECT_EQ(grouped[0].path, "neg/B.png");
  EXPECT_EQ(grouped[1].path, "neg/a.png");
  EXPECT_EQ(grouped[2].path, "neg/b.png");
  ASSERT_EQ(grouped[2].windows.size(), 2u);
  EXPECT_EQ(grouped[2].windows[0].x, 3);
  EXPECT_EQ(grouped[2].windows[1].x, 1);
}

TEST(ModelFileName, HasTwoDigitsAtLeast) {
  EXPECT_EQ(ModelFileName("learnedModel", 0), "learnedModel.ret00.yml");
  EXPECT_EQ(ModelFileName("out/m", 7), "out/m.ret07.yml");
  EXPECT_EQ(ModelFileName("m", 123), "m.ret123.yml");
}

// Training runs on the five-block window: bar images for the positives,
// noise for the negatives, and a larger negative image with bars that the
// first model is likely to accept in places.
class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = dir_.WriteFile("model.txt", testutil::kFiveBlockConfig);
    positives_ = dir_.MakeDir("pos");
    negatives_ = dir_.MakeDir("neg");
    models_ = dir_.MakeDir("models");
    testutil::WriteBarImages(positives_, "p", 12, true, 21);
    testutil::WriteBarImages(negatives_, "n", 6, false, 22);
    cv::RNG rng(23);
    cv::Mat scene = testutil::NoiseImage(200, 60, rng);
    for (int x = 3; x < 200; x += 11) {
      cv::rectangle(scene, cv::Rect(x, 10, 3, 30), cv::Scalar::all(230), cv::FILLED);
    }
    cv::imwrite(negatives_ + "/scene.png", scene);
    parameters_ = testutil::TrainingParameters(positives_, negatives_, models_ + "/m");
    parameters_.nSampIm = 3;
    parameters_.nfactBlock = 2;
  }

  std::string Run() {
    Training training;
    training.Setup(config_, parameters_);
    return CaptureOutput([&] { training.Run(); });
  }

  std::vector<std::string> ModelDirectory() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(models_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  std::string config_;
  std::string positives_;
  std::string negatives_;
  std::string models_;
  TrainingOptions parameters_;
};

size_t Count(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

TEST_F(RunTest, NoRetrainingBuildsOneModelFile) {
  parameters_.nRetIt = 0;
  std::string out = Run();
  EXPECT_EQ(out.find("Starting iteration (0/0) of retraining\n"), 0u) << out;
  EXPECT_EQ(Count(out, "Starting iteration"), 1u);
  EXPECT_EQ(out.find("Sampling detection windows"), std::string::npos);
  EXPECT_EQ(out.find("Adding"), std::string::npos);
  const std::string last = "PLS models built successfully (stored in files '" + models_ +
                           "/m.ret??.yml')\n";
  ASSERT_GE(out.size(), last.size());
  EXPECT_EQ(out.substr(out.size() - last.size()), last);
  EXPECT_EQ(ModelDirectory(), std::vector<std::string>{"m.ret00.yml"});
  Storage storage;
  std::unique_ptr<Model> model = storage.ReadModel(models_ + "/m.ret00.yml");
  EXPECT_EQ(model->modelID, "bars01");
}

TEST_F(RunTest, TwoIterationsWriteThreeFilesAndAddHardNegativesTwice) {
  parameters_.nRetIt = 2;
  parameters_.samplesIt = 4;
  parameters_.ThRetraining = 0.0f;  // every scanned window is a candidate
  std::string out = Run();
  EXPECT_EQ(Count(out, "Sampling detection windows for retraining...\n"), 2u);
  // 7 images scanned: six of exactly the window size (nothing to scan) and
  // the scene, which gives far more candidates than the limit.
  EXPECT_NE(out.find("...\n\r0/7\r1/7\r2/7\r3/7\r4/7\r5/7\r6/7\n"), std::string::npos) << out;
  EXPECT_EQ(Count(out, "Adding 4 negative samples (with response greater than 0.000)\n"), 2u)
      << out;
  // One window from each negative of the window's size and three from the
  // scene, then 4 more per iteration.
  EXPECT_NE(out.find("Creating new PLS model: 12 positive and 9 negative samples\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("Creating new PLS model: 12 positive and 13 negative samples\n"),
            std::string::npos);
  EXPECT_NE(out.find("Creating new PLS model: 12 positive and 17 negative samples\n"),
            std::string::npos);
  size_t first = out.find("Starting iteration (0/2)");
  size_t second = out.find("Starting iteration (1/2)");
  size_t third = out.find("Starting iteration (2/2)");
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_EQ(ModelDirectory(),
            (std::vector<std::string>{"m.ret00.yml", "m.ret01.yml", "m.ret02.yml"}));
}

TEST_F(RunTest, ThresholdAboveEveryResponseAddsNothing) {
  parameters_.nRetIt = 1;
  parameters_.ThRetraining = 2.0f;  // above any posterior probability
  std::string out = Run();
  EXPECT_NE(out.find("Adding 0 negative samples (with response greater than 2.000)\n"),
            std::string::npos) << out;
  EXPECT_EQ(Count(out, "12 positive and 9 negative samples"), 2u);
}

TEST_F(RunTest, NoHardNegativesWhenSamplesPerIterationIsZero) {
  parameters_.nRetIt = 1;
  parameters_.samplesIt = 0;
  parameters_.ThRetraining = 0.0f;
  std::string out = Run();
  EXPECT_NE(out.find("Adding 0 negative samples (with response greater than 0.000)\n"),
            std::string::npos) << out;
}

TEST_F(RunTest, HardNegativesLieOnTheScanGridAndReachTheThreshold) {
  parameters_.samplesIt = 5;
  Training training;
  training.Setup(config_, parameters_);
  training.featureControl().SetModelMethods(training.model());
  training.featureControl().ActivateModelMethods(training.model());
  std::vector<TrainingImage*> negatives = training.CreateListDetWindows("*.png", negatives_);
  std::vector<TrainingImage*> positives = training.CreateListDetWindows("*.png", positives_);
  std::vector<TrainingImage*> hard;
  CaptureOutput([&] {
    training.BuildModels(negatives, positives);
    hard = training.SampleDetWindowsRetraining({negatives_ + "/scene.png"}, 0.0f);
  });
  ASSERT_EQ(hard.size(), 1u);
  EXPECT_EQ(hard[0]->path, negatives_ + "/scene.png");
  ASSERT_EQ(hard[0]->windows.size(), 5u);
  double previous = -1.0;
  for (const DetectionWindow& w : hard[0]->windows) {
    EXPECT_EQ(w.x % 16, 0);
    EXPECT_EQ(w.y % 16, 0);
    EXPECT_LT(w.x, 200 - 80);
    EXPECT_LT(w.y, 60 - 16);
    EXPECT_EQ(w.width, 80);
    EXPECT_EQ(w.height, 16);
    EXPECT_GE(w.response, previous);
    previous = w.response;
  }
  // The strongest scores of the scan: no scanned window outscores a kept one
  // except the ones kept. Recompute every response by hand.
  cv::Mat scene = cv::imread(negatives_ + "/scene.png", cv::IMREAD_COLOR);
  Model& model = training.model();
  FeatureControl& features = training.featureControl();
  std::vector<float> responses;
  std::vector<float> raw(static_cast<size_t>(model.nrawfeatures));
  features.AddNewImage(scene);
  for (const ScanPosition& at : ScanPositions(200, 60, 80, 16, 16)) {
    features.FillCache(model, at.x, at.y, 0, 4);
    for (int b = 0; b < 5; ++b) {
      features.GetBlockFeatures(at.y, *model.blockModels[b], at.x, raw.data() + 39 * b);
    }
    float response = 0, other = 0;
    model.ClassifyFeatures(raw.data(), &response, &other);
    responses.push_back(response);
  }
  features.ReleaseImage();
  std::sort(responses.rbegin(), responses.rend());
  EXPECT_EQ(static_cast<float>(hard[0]->windows.back().response), responses[0]);
  EXPECT_EQ(static_cast<float>(hard[0]->windows.front().response), responses[4]);
}

TEST_F(RunTest, SameSeedGivesByteIdenticalModelFiles) {
  parameters_.nRetIt = 1;
  parameters_.samplesIt = 3;
  parameters_.ThRetraining = 0.0f;
  Run();
  std::string first0 = ReadWholeFile(models_ + "/m.ret00.yml");
  std::string first1 = ReadWholeFile(models_ + "/m.ret01.yml");
  fs::remove_all(models_);
  fs::create_directory(models_);
  Run();
  EXPECT_FALSE(first1.empty());
  EXPECT_EQ(ReadWholeFile(models_ + "/m.ret00.yml"), first0);
  EXPECT_EQ(ReadWholeFile(models_ + "/m.ret01.yml"), first1);
}

TEST_F(RunTest, FailureInALaterIterationLeavesEarlierFilesComplete) {
  parameters_.nRetIt = 2;
  parameters_.ThRetraining = 0.0f;
  fs::create_directory(models_ + "/m.ret01.yml");  // cannot be replaced by a file
  Failure failure = CatchFailure([&] {
    Training training;
    training.Setup(config_, parameters_);
    training.Run();
  });
  EXPECT_EQ(failure.status(), -1);
  EXPECT_NE(failure.text().find("cannot write model file '" + models_ + "/m.ret01.yml'"),
            std::string::npos) << failure.text();
  // The first model is whole and readable; no temporary file is left.
  EXPECT_EQ(ModelDirectory(), (std::vector<std::string>{"m.ret00.yml", "m.ret01.yml"}));
  Storage storage;
  EXPECT_EQ(storage.ReadModel(models_ + "/m.ret00.yml")->modelID, "bars01");
}

TEST_F(RunTest, UnwritableModelPathIsFatalBeforeAnyImageIsRead) {
  dir_.WriteFile("pos/zz.png", "not an image");
  parameters_.modelFile = dir_.File("missing/m");
  Failure failure = CatchFailure([&] {
    Training training;
    training.Setup(config_, parameters_);
    training.Run();
  });
  EXPECT_EQ(failure.text(),
            FatalText("retraining", "CheckModelFilesWritable", 162,
                      "cannot create model files '" + dir_.File("missing/m") +
                          ".ret??.yml' (No such file or directory)"));
}

TEST_F(RunTest, OptionsThatCannotWorkAreFatalBeforeAnyImageIsRead) {
  dir_.WriteFile("pos/zz.png", "not an image");
  auto failureWith = [&](auto change) {
    TrainingOptions parameters = testutil::TrainingParameters(positives_, negatives_, models_ + "/m");
    change(parameters);
    return CatchFailure([&] {
      Training training;
      training.Setup(config_, parameters);
      training.Run();
    }).text();
  };
  EXPECT_EQ(failureWith([](TrainingOptions& p) {
              p.cv = true;
              p.nfolds = 1;
            }),
            FatalText("cross_validation", "CrossValidation", 27,
                      "invalid number of folds for cross-validation: 1 (use -F with at least 2)"));
  EXPECT_EQ(failureWith([](TrainingOptions& p) { p.nblockIt = 0; }),
            FatalText("retraining", "Training::Run", 31,
                      "invalid number of blocks per feature extraction: 0 (use -B with at least 1)"));
  EXPECT_EQ(failureWith([](TrainingOptions& p) { p.shift = 0; }),
            FatalText("retraining", "Training::Run", 35,
                      "invalid shift of the detection window: 0 (use -S with at least 1)"));
  EXPECT_EQ(failureWith([](TrainingOptions& p) { p.nfactBlock = 0; }),
            FatalText("retraining", "Training::Run", 39,
                      "invalid number of factors per block: 0 (use -f with at least 1)"));
  // A shift is only needed when there is retraining.
  EXPECT_NE(failureWith([](TrainingOptions& p) {
              p.shift = 0;
              p.nRetIt = 0;
            }).find("can't load image"),
            std::string::npos);
}

}  // namespace
}  // namespace pedscan
