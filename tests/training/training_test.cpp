// The training driver: its generator, window sampling, chunked block
// features and model builds.
#include "training/training.h"

#include <cstring>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "../support/run_command.h"
#include "training_fixtures.h"

namespace pedscan {
namespace {

using testutil::CaptureOutput;
using testutil::CatchFailure;
using testutil::FatalText;
using testutil::TempDir;

// The generator's recurrence written out plainly.
std::vector<int> ReferenceDraws(uint32_t seed, int count) {
  std::vector<int> values;
  uint64_t state = seed;
  for (int i = 0; i < count; ++i) {
    state = (state * 214013u + 2531011u) % 4294967296u;
    values.push_back(static_cast<int>((state >> 16) % 32768u));
  }
  return values;
}

// The windows the sampling must draw from one image, from the reference
// draws: x before y, at most `samples`, stopping after (0, 0).
std::vector<std::pair<int, int>> ReferenceWindows(std::vector<int>& draws, size_t& next, int W,
                                                  int H, int winW, int winH, int samples) {
  std::vector<std::pair<int, int>> windows;
  for (int i = 0; i < samples; ++i) {
    int x = draws[next++] % (W - winW + 1);
    int y = draws[next++] % (H - winH + 1);
    windows.push_back({x, y});
    if (x == 0 && y == 0) break;
  }
  return windows;
}

std::vector<std::pair<int, int>> Positions(const TrainingImage& image) {
  std::vector<std::pair<int, int>> positions;
  for (const DetectionWindow& w : image.windows) positions.push_back({w.x, w.y});
  return positions;
}

class TrainingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = dir_.WriteFile("model.txt", testutil::kFiveBlockConfig);
    positives_ = dir_.MakeDir("pos");
    negatives_ = dir_.MakeDir("neg");
  }

  // A driver set up from the five-block configuration with `parameters_`.
  void SetUpTraining(Training& training) { training.Setup(config_, parameters_); }

  TempDir dir_;
  std::string config_;
  std::string positives_;
  std::string negatives_;
  TrainingOptions parameters_;
};

TEST(RandomGenerator, SeedZeroGivesTheKnownSequence) {
  RandomGenerator random(0);
  EXPECT_EQ(random.Next(), 38);
  EXPECT_EQ(random.Next(), 7719);
  EXPECT_EQ(random.Next(), 21238);
  for (uint32_t seed : {0u, 1u, 12345u, 4294967295u}) {
    RandomGenerator generator(seed);
    for (int expected : ReferenceDraws(seed, 1000)) ASSERT_EQ(generator.Next(), expected);
  }
  RandomGenerator reseeded(99);
  reseeded.Next();
  reseeded.Seed(0);
  EXPECT_EQ(reseeded.Next(), 38);
}

TEST_F(TrainingTest, WindowsAreDrawnXBeforeYAndStopAtTheOrigin) {
  cv::RNG rng(3);
  cv::Mat image(90, 100, CV_8UC3);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  cv::imwrite(negatives_ + "/a.png", image);
  cv::imwrite(negatives_ + "/b.png", image(cv::Rect(0, 0, 85, 40)));
  parameters_.nSampIm = 6;
  parameters_.seed = 17;
  Training training;
  SetUpTraining(training);
  std::vector<TrainingImage*> list = training.CreateListDetWindows("*.png", negatives_);
  ASSERT_EQ(list.size(), 2u);

  std::vector<int> draws = ReferenceDraws(17, 100);
  size_t next = 0;
  EXPECT_EQ(list[0]->path, negatives_ + "/a.png");
  EXPECT_EQ(Positions(*list[0]), ReferenceWindows(draws, next, 100, 90, 80, 16, 6));
  EXPECT_EQ(Positions(*list[1]), ReferenceWindows(draws, next, 85, 40, 80, 16, 6));
  for (const TrainingImage* entry : list) {
    for (const DetectionWindow& w : entry->windows) {
      EXPECT_EQ(w.width, 80);
      EXPECT_EQ(w.height, 16);
      EXPECT_EQ(w.response, -1.0);
    }
  }
}

TEST_F(TrainingTest, SeedZeroDrawsTheSameWindowsForBothListsAndEveryRun) {
  testutil::WriteImages(positives_, "p", 3, 120, 60, false, {}, 0, 1);
  testutil::WriteImages(negatives_, "n", 3, 120, 60, false, {}, 0, 2);
  parameters_.nSampIm = 4;
  Training training;
  SetUpTraining(training);
  std::vector<TrainingImage*> negatives = training.CreateListDetWindows("*.png", negatives_);
  std::vector<TrainingImage*> positives = training.CreateListDetWindows("*.png", positives_);
  Training again;
  SetUpTraining(again);
  std::vector<TrainingImage*> rerun = again.CreateListDetWindows("*.png", negatives_);
  ASSERT_EQ(negatives.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Positions(*negatives[i]), Positions(*positives[i]));
    EXPECT_EQ(Positions(*negatives[i]), Positions(*rerun[i]));
  }
  EXPECT_EQ(negatives[0]->windows.size(), 4u);
}

TEST_F(TrainingTest, NegativeSeedSeedsFromTheClock) {
  testutil::WriteImages(negatives_, "n", 2, 300, 200, false, {}, 0, 2);
  parameters_.nSampIm = 5;
  auto draw = [&](int seed, std::time_t now) {
    parameters_.seed = seed;
    Training training;
    SetUpTraining(training);
    training.SetClock([now] { return now; });
    std::vector<std::vector<std::pair<int, int>>> all;
    for (TrainingImage* entry : training.CreateListDetWindows("*.png", negatives_)) {
      all.push_back(Positions(*entry));
    }
    return all;
  };
  EXPECT_EQ(draw(-1, 1700000000), draw(1700000000 % 2147483647, 0));
  EXPECT_NE(draw(-1, 1700000000), draw(-1, 1700000001));
  // A fixed seed ignores the clock.
  EXPECT_EQ(draw(5, 1), draw(5, 2));
}

TEST_F(TrainingTest, ImageOfExactlyTheWindowSizeGivesOneWindowAtTheOrigin) {
  testutil::WriteBarImages(positives_, "p", 2, true, 4);
  parameters_.nSampIm = 5;
  Training training;
  SetUpTraining(training);
  for (const TrainingImage* entry : training.CreateListDetWindows("*.png", positives_)) {
    ASSERT_EQ(entry->windows.size(), 1u);
    EXPECT_EQ(entry->windows[0].x, 0);
    EXPECT_EQ(entry->windows[0].y, 0);
  }
}

TEST_F(TrainingTest, ZeroSamplesPerImageStopsBeforeAnyImageIsRead) {
  // The first file does not decode: reading it would give another report.
  dir_.WriteFile("neg/a.png", "not an image");
  parameters_.nSampIm = 0;
  Training training;
  SetUpTraining(training);
  Failure failure = CatchFailure([&] { training.CreateListDetWindows("*.png", negatives_); });
  EXPECT_EQ(failure.text(), FatalText("training", "Training::CreateListDetWindows", 111,
                                      "invalid number of samples per image!"));
  EXPECT_EQ(failure.status(), -1);
}

TEST_F(TrainingTest, ImageThatDoesNotDecodeIsFatalAndNamedAtListing) {
  testutil::WriteBarImages(negatives_, "a", 1, false, 4);
  std::string broken = dir_.WriteFile("neg/b.png", "\x89PNG truncated");
  Training training;
  SetUpTraining(training);
  Failure failure = CatchFailure([&] { training.CreateListDetWindows("*.png", negatives_); });
  EXPECT_EQ(failure.text(), FatalText("training", "Training::CreateListDetWindows", 117,
                                      "can't load image '" + broken + "'"));
}

TEST_F(TrainingTest, ImageSmallerThanTheWindowIsFatalAndNamesBothSizes) {
  cv::imwrite(negatives_ + "/wide.png", cv::Mat(16, 200, CV_8UC3, cv::Scalar::all(9)));
  cv::imwrite(negatives_ + "/x_low.png", cv::Mat(15, 200, CV_8UC3, cv::Scalar::all(9)));
  Training training;
  SetUpTraining(training);
  Failure failure = CatchFailure([&] { training.CreateListDetWindows("*.png", negatives_); });
  EXPECT_EQ(failure.text(),
            FatalText("training", "Training::CreateListDetWindows", 121,
                      "image '" + negatives_ +
                          "/x_low.png' (200x15) is smaller than the detection window (80x16)"));
}

TEST_F(TrainingTest, BlockFeaturesAreThoseOfTheCroppedWindowsInListOrder) {
  cv::RNG rng(8);
  cv::Mat big(50, 130, CV_8UC3);
  rng.fill(big, cv::RNG::UNIFORM, 0, 256);
  cv::imwrite(negatives_ + "/big.png", big);
  testutil::WriteBarImages(negatives_, "small", 1, true, 5);
  parameters_.nSampIm = 3;
  parameters_.seed = 2;
  Training training;
  SetUpTraining(training);
  training.featureControl().SetModelMethods(training.model());
  training.featureControl().ActivateModelMethods(training.model());
  std::vector<TrainingImage*> list = training.CreateListDetWindows("*.png", negatives_);
  std::vector<MatrixPtr> matrices;
  std::string out = CaptureOutput([&] { matrices = training.ExtractBlockFeatures(list, 1, 3); });
  EXPECT_EQ(out, "\r0/2\r1/2\n");
  ASSERT_EQ(matrices.size(), 3u);

  // Reference: every window cut out by hand and featurised by a separate
  // feature framework.
  Model& model = training.model();
  FeatureControl reference;
  reference.SetModelMethods(model);
  reference.ActivateModelMethods(model);
  int row = 0;
  for (const TrainingImage* entry : list) {
    cv::Mat image = cv::imread(entry->path, cv::IMREAD_COLOR);
    for (const DetectionWindow& w : entry->windows) {
      cv::Mat crop = image(cv::Rect(w.x, w.y, w.width, w.height)).clone();
      reference.AddNewImage(crop);
      for (int b = 1; b <= 3; ++b) {
        std::vector<float> expected(39);
        reference.GetBlockFeatures(0, *model.blockModels[b], 0, expected.data());
        const Matrix& matrix = *matrices[b - 1];
        ASSERT_EQ(matrix.cols(), 39);
        for (int c = 0; c < 39; ++c) EXPECT_EQ(matrix(row, c), expected[c]) << row << "," << c;
      }
      reference.ReleaseImage();
      ++row;
    }
  }
  EXPECT_EQ(matrices[0]->rows(), row);
}

class BuildModelsTest : public TrainingTest {
 protected:
  void SetUp() override {
    TrainingTest::SetUp();
    testutil::WriteBarImages(positives_, "p", 8, true, 11);
    testutil::WriteBarImages(negatives_, "n", 8, false, 12);
    parameters_.nfactBlock = 2;
  }

  // Builds one model with the current options; returns the printed output.
  std::string Build(Training& training) {
    SetUpTraining(training);
    training.featureControl().SetModelMethods(training.model());
    training.featureControl().ActivateModelMethods(training.model());
    std::vector<TrainingImage*> negatives = training.CreateListDetWindows("*.png", negatives_);
    std::vector<TrainingImage*> positives = training.CreateListDetWindows("*.png", positives_);
    return CaptureOutput([&] { training.BuildModels(negatives, positives); });
  }
};

TEST_F(BuildModelsTest, BlocksAreExtractedAndModelledInChunksOfTheGivenSize) {
  parameters_.nblockIt = 2;
  Training training;
  std::string out = Build(training);
  const std::string images = "\r0/8\r1/8\r2/8\r3/8\r4/8\r5/8\r6/8\r7/8\n";
  const std::string chunk =
      "Negative training images:\n" + images + "Positive training images:\n" + images;
  EXPECT_EQ(out, "Extracting features for blocks 0 to 1 (of 5)\n" + chunk +
                     "Building PLS block models:\n\r0/1\r1/1\n"
                     "Extracting features for blocks 2 to 3 (of 5)\n" + chunk +
                     "Building PLS block models:\n\r2/3\r3/3\n"
                     "Extracting features for blocks 4 to 4 (of 5)\n" + chunk +
                     "Building PLS block models:\n\r4/4\n"
                     "Creating new PLS model: 8 positive and 8 negative samples\n");
  const Model& model = training.model();
  int total = 0;
  for (const auto& block : model.blockModels) {
    EXPECT_FALSE(block->raw);
    EXPECT_EQ(block->nfactors, 2);
    total += block->OutputLength();
  }
  EXPECT_EQ(model.nfeatures, total);
  EXPECT_EQ(model.nrawfeatures, 5 * 39);
  EXPECT_FALSE(model.AllRawFeatures);
}

TEST_F(BuildModelsTest, ChunkSizeDoesNotChangeTheModel) {
  parameters_.nblockIt = 2;
  Training chunked;
  Build(chunked);
  parameters_.nblockIt = 330;
  Training whole;
  std::string out = Build(whole);
  EXPECT_EQ(out.find("Extracting features for blocks 0 to 4 (of 5)\n"), 0u);

  // Every response the same, bit for bit, on the training windows.
  std::vector<float> raw(5 * 39);
  cv::RNG rng(4);
  for (int i = 0; i < 20; ++i) {
    for (float& v : raw) v = static_cast<float>(rng.uniform(0.0, 1.0));
    float a = 0, b = 0, c = 0, d = 0;
    chunked.model().ClassifyFeatures(raw.data(), &a, &b);
    whole.model().ClassifyFeatures(raw.data(), &c, &d);
    EXPECT_EQ(std::memcmp(&a, &c, sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(&b, &d, sizeof(float)), 0);
  }
}

TEST_F(BuildModelsTest, RawFeaturesTrainNoBlockModels) {
  parameters_.rawFeatures = true;
  Training training;
  std::string out = Build(training);
  EXPECT_EQ(out.find("Building PLS block models:"), std::string::npos) << out;
  const Model& model = training.model();
  for (const auto& block : model.blockModels) {
    EXPECT_TRUE(block->raw);
    EXPECT_EQ(block->pls.Wstar, nullptr);
  }
  EXPECT_EQ(model.nfeatures, model.nrawfeatures);
  EXPECT_EQ(model.nfeatures, 5 * 39);
  EXPECT_TRUE(model.AllRawFeatures);
}

TEST(ConvertToSingleMatrix, PlacesThePartsSideBySideInOrder) {
  std::vector<MatrixPtr> parts;
  parts.push_back(CreateMatrix(3, 2));
  parts.push_back(CreateMatrix(3, 1));
  parts.push_back(CreateMatrix(3, 3));
  for (size_t p = 0; p < parts.size(); ++p) {
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < parts[p]->cols(); ++c) (*parts[p])(r, c) = 100.0f * p + 10.0f * r + c;
    }
  }
  MatrixPtr all = Training::ConvertToSingleMatrix(6, parts);
  ASSERT_EQ(all->rows(), 3);
  ASSERT_EQ(all->cols(), 6);
  const int part[6] = {0, 0, 1, 2, 2, 2};
  const int column[6] = {0, 1, 0, 0, 1, 2};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 6; ++c) EXPECT_EQ((*all)(r, c), 100.0f * part[c] + 10.0f * r + column[c]);
  }
}

TEST(ConvertToSingleMatrix, NoPartsOrPartsOfOtherShapesAreFatal) {
  const std::string text = FatalText("training", "Training::ConvertToSingleMatrix", 374,
                                     "Invalid input matrix!");
  std::vector<MatrixPtr> parts;
  EXPECT_EQ(CatchFailure([&] { Training::ConvertToSingleMatrix(0, parts); }).text(), text);
  parts.push_back(CreateMatrix(3, 2));
  parts.push_back(CreateMatrix(2, 2));
  EXPECT_EQ(CatchFailure([&] { Training::ConvertToSingleMatrix(4, parts); }).text(), text);
  parts.pop_back();
  EXPECT_EQ(CatchFailure([&] { Training::ConvertToSingleMatrix(3, parts); }).text(), text);
}

}  // namespace
}  // namespace pedscan
