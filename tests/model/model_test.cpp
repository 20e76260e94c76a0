#include "model/model.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/run_command.h"
#include "model/block_model.h"
#include "model_fixtures.h"
#include "numeric/kernels.h"
#include "support/failure.h"
#include "../support/example_configuration.h"

namespace pedscan {
namespace {

using testing_model::ColumnSlice;
using testing_model::ConcatColumns;
using testing_model::FailureOf;
using testing_model::FatalText;
using testing_model::GaussianRows;
using testing_model::ModelShape;
using testing_model::Row;
using testing_model::SameBits;
using testing_model::ScopedWorkingDirectory;
using testing_model::TrainedModel;
using testutil::TempDir;

const char* const kExampleConfig = testutil::kExampleModelConfiguration;

// The example with `line` (a whole line, terminator included) replaced.
std::string ExampleWith(const std::string& line, const std::string& replacement) {
  std::string text = kExampleConfig;
  size_t at = text.find(line);
  EXPECT_NE(at, std::string::npos) << line;
  if (at != std::string::npos) text.replace(at, line.size(), replacement);
  return text;
}

Failure SetupFailure(const std::string& config) {
  TempDir dir;
  std::string path = dir.WriteFile("config.txt", config);
  return FailureOf([&] { Model().SetupModelfromParameters(path); });
}

std::string SetupReport(int line, const std::string& message) {
  return FatalText("model", "Model::SetupModelfromParameters", line, message);
}

void ExpectBlock(const BlockModel& block, int x0, int y0, int size, const std::string& feature,
                 const std::string& params) {
  EXPECT_EQ(block.rect.x0, x0);
  EXPECT_EQ(block.rect.y0, y0);
  EXPECT_EQ(block.rect.width, size);
  EXPECT_EQ(block.rect.height, size);
  EXPECT_EQ(block.rect.x1, x0 + size - 1);
  EXPECT_EQ(block.rect.y1, y0 + size - 1);
  EXPECT_EQ(block.feature, feature);
  EXPECT_EQ(block.params, params);
  EXPECT_TRUE(block.raw);
  EXPECT_EQ(block.nfeatures, -1);
  EXPECT_EQ(block.instanceIndex, -1);
}

TEST(ModelSetup, ExampleConfigurationLaysOutCoocBlocksThenBothHogSizes) {
  TempDir dir;
  Model model;
  model.SetupModelfromParameters(dir.WriteFile("config.txt", kExampleConfig));

  EXPECT_EQ(model.modelID, "person01");
  EXPECT_EQ(model.windowW, 64);
  EXPECT_EQ(model.windowH, 128);
  EXPECT_EQ(model.objX0, 8);
  EXPECT_EQ(model.objY0, 16);
  EXPECT_EQ(model.objW, 48);
  EXPECT_EQ(model.objH, 96);
  EXPECT_EQ(model.nfactors, 10);
  EXPECT_TRUE(model.useQDA);
  EXPECT_FALSE(model.usePLSReg);
  ASSERT_EQ(model.FeatureParameters.size(), 2u);
  EXPECT_EQ(model.FeatureParameters["hogSet"]["UseColorFrequency"], "1");
  EXPECT_EQ(model.FeatureParameters["coocSet"]["cache"], "1");

  ASSERT_EQ(model.blockModels.size(), 105u + 105u + 21u);
  size_t index = 0;
  for (int y = 0; y <= 112; y += 8) {
    for (int x = 0; x <= 48; x += 8) ExpectBlock(*model.blockModels[index++], x, y, 16, "COOCH", "coocSet");
  }
  for (int y = 0; y <= 112; y += 8) {
    for (int x = 0; x <= 48; x += 8) ExpectBlock(*model.blockModels[index++], x, y, 16, "HOG", "hogSet");
  }
  for (int y = 0; y <= 96; y += 16) {
    for (int x = 0; x <= 32; x += 16) ExpectBlock(*model.blockModels[index++], x, y, 32, "HOG", "hogSet");
  }
  EXPECT_EQ(index, model.blockModels.size());
}

TEST(ModelSetup, ObjectWithOneNegativeValueBecomesTheWholeWindow) {
  TempDir dir;
  Model model;
  model.SetupModelfromParameters(
      dir.WriteFile("config.txt", ExampleWith("object <8, 16, 48, 96>\n", "object <-1, 16, 48, 96>\n")));
  EXPECT_EQ(model.objX0, 0);
  EXPECT_EQ(model.objY0, 0);
  EXPECT_EQ(model.objW, 64);
  EXPECT_EQ(model.objH, 128);

  Model noObject;
  noObject.SetupModelfromParameters(
      dir.WriteFile("config2.txt", ExampleWith("object <8, 16, 48, 96>\n", "")));
  EXPECT_EQ(noObject.objW, 64);
  EXPECT_EQ(noObject.objH, 128);
}

TEST(ModelSetup, ChecksComeInOrder) {
  // Each case breaks everything the checks after it look at as well, so the
  // report shows which check runs first.
  const std::string noRegionNoBlocks =
      "ModelID <m>\nwindow <64, 128>\nmethod <HOG, none, 0, hogSet>\n";
  EXPECT_EQ(SetupFailure("window <0, 0>\n").text(),
            SetupReport(235, "model must have an identifier (use parameter ModelID <value>)"));
  EXPECT_EQ(SetupFailure("ModelID <m>\nwindow <64, 0>\n").text(),
            SetupReport(241, "invalid detection window size"));
  // 65536 truncates to 0 in the 16-bit window fields.
  EXPECT_EQ(SetupFailure("ModelID <m>\nwindow <65536, 128>\n").text(),
            SetupReport(241, "invalid detection window size"));
  EXPECT_EQ(SetupFailure(noRegionNoBlocks).text(), SetupReport(256, "Region must be set"));
  EXPECT_EQ(SetupFailure(noRegionNoBlocks + "region <0, 0, 63, 127>\n").text(),
            SetupReport(270, "no block sizes available"));
  EXPECT_EQ(SetupFailure(ExampleWith("params <coocSet, bins, 16>\n"
                                     "params <coocSet, distance, 1>\n"
                                     "params <coocSet, cache, 1>\n",
                                     ""))
                .text(),
            SetupReport(272, "no parameters available for parameter set 'coocSet' of method "
                             "'COOCH' (use params <coocSet, key, value>)"));
  EXPECT_EQ(SetupFailure(ExampleWith("block <coocBlocks, 16, 16, 8, 8, 0>\n",
                                     "block <coocBlocks, 16, 16, 0, 8, 0>\n"))
                .text(),
            SetupReport(274, "invalid block size 16x16 with steps 0, 8 in block set 'coocBlocks'"));
  EXPECT_EQ(SetupFailure(ExampleWith("factors <10>\n", "classifier <qda>\n")).text(),
            FatalText("model", "Model::SetClassifiers", 61,
                      "Only one classifier method is allowed (check classifier <>"));
  EXPECT_EQ(SetupFailure(ExampleWith("classifier <qda>\n", "")).text(),
            FatalText("model", "Model::SetClassifiers", 64,
                      "you must select a classification method (use classifier <>"));
}

TEST(ModelSetup, BlockOutsideTheWindowIsRejectedByName) {
  // A region wider than the window: the 16 x 16 COOCH blocks reach x = 71.
  Failure failure =
      SetupFailure(ExampleWith("region <0, 0, 63, 127>\n", "region <0, 0, 71, 127>\n"));
  EXPECT_EQ(failure.status(), -1);
  EXPECT_EQ(failure.text(),
            SetupReport(278, "block (56,0)-(71,15) of method 'COOCH' lies outside the 64x128 "
                             "detection window"));
  // Negative corners, and a region so large that laying it out first would
  // exhaust memory, stop at the first block as well.
  EXPECT_EQ(SetupFailure(ExampleWith("region <0, 0, 63, 127>\n", "region <-8, 0, 63, 127>\n"))
                .text(),
            SetupReport(278, "block (-8,0)-(7,15) of method 'COOCH' lies outside the 64x128 "
                             "detection window"));
  EXPECT_EQ(SetupFailure(ExampleWith("region <0, 0, 63, 127>\n",
                                     "region <0, 0, 2000000000, 2000000000>\n"))
                .text(),
            SetupReport(278, "block (56,0)-(71,15) of method 'COOCH' lies outside the 64x128 "
                             "detection window"));
  // A region exactly as large as the window is fine.
  TempDir dir;
  Model model;
  model.SetupModelfromParameters(dir.WriteFile("ok.txt", kExampleConfig));
  EXPECT_EQ(model.blockModels.size(), 231u);
}

TEST(ModelSetup, ClassifierIsChosenBySubstring) {
  Model model;
  model.SetClassifiers({"myqda"});
  EXPECT_TRUE(model.useQDA);
  EXPECT_FALSE(model.usePLSReg);
  model.SetClassifiers({"plsRegression"});
  EXPECT_FALSE(model.useQDA);
  EXPECT_TRUE(model.usePLSReg);

  Failure capitals = FailureOf([&] { model.SetClassifiers({"QDA"}); });
  EXPECT_EQ(capitals.form(), Failure::Form::kPlain);
  EXPECT_EQ(capitals.status(), 2);
  EXPECT_EQ(capitals.text(), "invalid classifier: 'QDA'\n");

  Failure two = FailureOf([&] { model.SetClassifiers({"qda", "qda"}); });
  EXPECT_EQ(two.status(), -1);
  EXPECT_EQ(two.text(), FatalText("model", "Model::SetClassifiers", 61,
                                  "Only one classifier method is allowed (check classifier <>"));
}

TEST(ModelSetup, RawFeatureCountIsCappedAtOneMillion) {
  Model model;
  model.SetNumberOfRawFeatures(1000000);
  EXPECT_EQ(model.nrawfeatures, 1000000);
  EXPECT_EQ(FailureOf([&] { model.SetNumberOfRawFeatures(1000001); }).text(),
            FatalText("model", "Model::SetNumberOfRawFeatures", 359,
                      "too many features per vector!"));
  EXPECT_EQ(model.nrawfeatures, 1000000);
}

TEST(BlockLayout, RegionNarrowerThanTheBlockYieldsNoBlock) {
  std::vector<std::unique_ptr<BlockModel>> blocks;
  BlockSize size{16, 16, 8, 8, 0};
  LayoutBlocks(size, "HOG", "set", {BlockRect{0, 0, -1, -1, 14, 63}}, blocks);
  EXPECT_TRUE(blocks.empty());
  // Two regions, in list order, rows outer.
  LayoutBlocks(size, "HOG", "set",
               {BlockRect{0, 0, -1, -1, 23, 15}, BlockRect{40, 40, -1, -1, 55, 63}}, blocks);
  ASSERT_EQ(blocks.size(), 2u + 2u);
  EXPECT_EQ(blocks[1]->rect.x0, 8);
  EXPECT_EQ(blocks[2]->rect.x0, 40);
  EXPECT_EQ(blocks[2]->rect.y0, 40);
  EXPECT_EQ(blocks[3]->rect.y0, 48);
}

TEST(BlockModel, TrainsOnNegativesOverPositivesWithLabelsOneAndTwo) {
  std::mt19937 rng(3);
  MatrixPtr positives = GaussianRows(120, 8, 2.0f, rng);
  MatrixPtr negatives = GaussianRows(100, 8, 0.0f, rng);
  BlockModel block;
  block.nfeatures = 8;
  block.CreatePLSModel(*positives, *negatives, 3, 1.0f, 1.0f);
  EXPECT_FALSE(block.raw);
  EXPECT_EQ(block.nfactors, 3);
  EXPECT_EQ(block.OutputLength(), 3);
  EXPECT_EQ(block.pls.T, nullptr);
  EXPECT_EQ(block.pls.P, nullptr);
  EXPECT_EQ(block.pls.Y, nullptr);

  PLS reference;
  MatrixPtr X = StackRows(negatives.get(), *positives);
  Vector y(220);
  for (int i = 0; i < 220; ++i) y[i] = i < 100 ? 1.0f : 2.0f;
  reference.RunNIPALS(*X, y, 3, 1.0f, 1.0f);
  ASSERT_EQ(reference.Wstar->cols(), 3);
  for (int i = 0; i < 8 * 3; ++i) {
    EXPECT_TRUE(SameBits(block.pls.Wstar->data()[i], reference.Wstar->data()[i])) << i;
  }

  // Every row of the projection is the slice projection of that row.
  MatrixPtr projection = block.GetProjection(*positives);
  ASSERT_EQ(projection->rows(), 120);
  ASSERT_EQ(projection->cols(), 3);
  for (int i = 0; i < 120; ++i) {
    std::vector<float> row = Row(*positives, i);
    float expected[3];
    ASSERT_EQ(reference.ProjectSample(row.data(), expected, 3), 3);
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(SameBits((*projection)(i, k), expected[k]));
  }
}

TEST(BlockModel, FeatureCountMismatchesStopTraining) {
  std::mt19937 rng(5);
  MatrixPtr wide = GaussianRows(20, 9, 1.0f, rng);
  MatrixPtr negatives = GaussianRows(20, 8, 0.0f, rng);
  BlockModel block;
  block.nfeatures = 8;
  const std::string message =
      "inconsistent number of features (matrix must have same number of feature of the block!";
  EXPECT_EQ(FailureOf([&] { block.CreatePLSModel(*wide, *negatives, 2, 1.0f, 1.0f); }).text(),
            FatalText("block_model", "BlockModel::CreatePLSModel", 30, message));
  EXPECT_EQ(FailureOf([&] { block.GetProjection(*wide); }).text(),
            FatalText("block_model", "BlockModel::GetProjection", 77, message));
}

TEST(BlockModel, RawBlockProjectionIsAnIndependentCopy) {
  std::mt19937 rng(9);
  MatrixPtr X = GaussianRows(5, 4, 0.0f, rng);
  BlockModel block;
  block.nfeatures = 4;
  MatrixPtr copy = block.GetProjection(*X);
  ASSERT_EQ(copy->rows(), 5);
  ASSERT_EQ(copy->cols(), 4);
  EXPECT_NE(copy->data(), X->data());
  EXPECT_EQ(std::memcmp(copy->data(), X->data(), sizeof(float) * 20), 0);
  (*copy)(0, 0) = 1234.0f;
  EXPECT_NE((*X)(0, 0), 1234.0f);
  EXPECT_EQ(block.OutputLength(), 4);
}

// Fraction of rows of X whose response lands on the expected side of 0.5.
double Accuracy(Model& model, const Matrix& X, bool positive) {
  int right = 0;
  for (int i = 0; i < X.rows(); ++i) {
    std::vector<float> row = Row(X, i);
    float response = 0.0f;
    float other = 0.0f;
    model.ClassifyFeatures(row.data(), &response, &other);
    if ((response > 0.5f) == positive) ++right;
  }
  return static_cast<double>(right) / X.rows();
}

TEST(Model, QdaSeparatesTwoGaussianClouds) {
  ModelShape shape;
  std::unique_ptr<Model> model = TrainedModel(shape);
  EXPECT_FALSE(model->AllRawFeatures);
  ASSERT_NE(model->qda, nullptr);
  EXPECT_EQ(model->PLSReg, nullptr);
  EXPECT_EQ(model->nfeatures, 4 * 3);
  EXPECT_EQ(model->qda->nfactors, 4);

  // Held-out samples from the same clouds.
  std::mt19937 rng(99);
  MatrixPtr positives = GaussianRows(200, 24, shape.shift, rng);
  MatrixPtr negatives = GaussianRows(200, 24, 0.0f, rng);
  EXPECT_GT(Accuracy(*model, *positives, true), 0.95);
  EXPECT_GT(Accuracy(*model, *negatives, false), 0.95);

  // The full path is block projection, window projection, QDA, step by step.
  std::vector<float> raw = Row(*positives, 0);
  std::vector<float> input(12);
  for (int b = 0; b < 4; ++b) {
    ASSERT_EQ(model->blockModels[b]->pls.ProjectSample(raw.data() + 6 * b, &input[3 * b], 3), 3);
  }
  float projected[4];
  ASSERT_EQ(model->pls.ProjectSample(input.data(), projected, 4), 4);
  float expectedResponse = 0.0f;
  float expectedOther = 0.0f;
  model->qda->ClassifySample(projected, &expectedResponse, &expectedOther);
  float response = 0.0f;
  float other = 0.0f;
  model->ClassifyFeatures(raw.data(), &response, &other);
  EXPECT_TRUE(SameBits(response, expectedResponse));
  EXPECT_TRUE(SameBits(other, expectedOther));
  EXPECT_TRUE(SameBits(response, 1.0f - other));
}

// The four-lane dot product written plainly: lane i mod 4 sums in index
// order, the tail goes into lane 0, then ((lane1 + lane0) + lane2) + lane3.
float PlainFourLaneDot(const float* a, const float* b, int n) {
  float lane[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  const int body = n - n % 4;
  for (int i = 0; i < body; ++i) lane[i % 4] += a[i] * b[i];
  for (int i = body; i < n; ++i) lane[0] += a[i] * b[i];
  return ((lane[1] + lane[0]) + lane[2]) + lane[3];
}

// PLS projection onto the first min(K, kept) factors, one element at a time.
std::vector<float> PlainProjection(const PLS& pls, const float* x, int K) {
  const int m = pls.Wstar->rows();
  std::vector<float> standardized(static_cast<size_t>(m));
  for (int i = 0; i < m; ++i) standardized[i] = (x[i] - (*pls.XMean)[i]) / (*pls.XStd)[i];
  std::vector<float> out;
  for (int k = 0; k < std::min(K, pls.Wstar->cols()); ++k) {
    out.push_back(PlainFourLaneDot(standardized.data(), pls.Wstar->Column(k), m));
  }
  return out;
}

TEST(Model, ClassifyFeaturesMatchesAPlainScalarPathBitForBit) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  struct Case {
    int features, blockFactors, windowFactors;
    bool qda;
  };
  for (const Case& c : {Case{7, 5, 6, true}, Case{39, 5, 10, true}, Case{48, 5, 10, false}}) {
    SCOPED_TRACE(testing::Message() << c.features << " features per block");
    ModelShape shape;
    shape.featuresPerBlock = c.features;
    shape.blockFactors = c.blockFactors;
    shape.windowFactors = c.windowFactors;
    shape.qda = c.qda;
    std::unique_ptr<Model> model = TrainedModel(shape);
    std::mt19937 rng(13);
    MatrixPtr windows = GaussianRows(50, 4 * c.features, 0.7f, rng);
    for (int w = 0; w < windows->rows(); ++w) {
      std::vector<float> raw = Row(*windows, w);
      std::vector<float> input;
      for (int b = 0; b < 4; ++b) {
        std::vector<float> out = PlainProjection(model->blockModels[b]->pls,
                                                 raw.data() + b * c.features, c.blockFactors);
        input.insert(input.end(), out.begin(), out.end());
      }
      float expectedResponse = 0.0f;
      float expectedOther = -1.0f;
      if (c.qda) {
        std::vector<float> projected = PlainProjection(model->pls, input.data(), c.windowFactors);
        model->qda->ClassifySample(projected.data(), &expectedResponse, &expectedOther);
      } else {
        float sum = 0.0f;
        for (size_t i = 0; i < input.size(); ++i) {
          const float s = (input[i] - (*model->pls.XMean)[i]) / (*model->pls.XStd)[i];
          sum += s * (*model->PLSReg->Bstar)[i];
        }
        expectedResponse = sum + model->PLSReg->YMean;
      }
      float response = 0.0f;
      float other = 0.0f;
      model->ClassifyFeatures(raw.data(), &response, &other);
      ASSERT_TRUE(SameBits(response, expectedResponse)) << w;
      ASSERT_TRUE(SameBits(other, expectedOther)) << w;

      // The same slices scattered in memory, in reverse order.
      std::vector<float> scattered(raw.size());
      const float* slices[4];
      for (int b = 0; b < 4; ++b) {
        float* at = scattered.data() + (3 - b) * c.features;
        std::copy_n(raw.data() + b * c.features, c.features, at);
        slices[b] = at;
      }
      model->ClassifySlices(slices, &response, &other);
      ASSERT_TRUE(SameBits(response, expectedResponse)) << w;
      ASSERT_TRUE(SameBits(other, expectedOther)) << w;
    }
  }
}

TEST(Model, PlsRegressionFitsTheLabelsAndWritesBstar) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  ModelShape shape;
  shape.qda = false;
  std::unique_ptr<Model> model = TrainedModel(shape);
  ASSERT_NE(model->PLSReg, nullptr);
  EXPECT_EQ(model->qda, nullptr);

  // The file holds 1 x m, then Bstar, as float32.
  std::ifstream file("bstar.matrix", std::ios::binary);
  ASSERT_TRUE(file.good());
  int32_t counts[2] = {0, 0};
  file.read(reinterpret_cast<char*>(counts), sizeof counts);
  EXPECT_EQ(counts[0], 1);
  EXPECT_EQ(counts[1], model->nfeatures);
  std::vector<float> stored(static_cast<size_t>(model->nfeatures));
  file.read(reinterpret_cast<char*>(stored.data()), sizeof(float) * stored.size());
  EXPECT_EQ(std::memcmp(stored.data(), model->PLSReg->Bstar->data(), sizeof(float) * stored.size()),
            0);
  EXPECT_FLOAT_EQ(model->PLSReg->YMean, 0.5f);

  std::mt19937 rng(77);
  MatrixPtr positives = GaussianRows(200, 24, shape.shift, rng);
  MatrixPtr negatives = GaussianRows(200, 24, 0.0f, rng);
  EXPECT_GT(Accuracy(*model, *positives, true), 0.9);
  EXPECT_GT(Accuracy(*model, *negatives, false), 0.9);

  // Response = standardised input . Bstar + YMean; other is always -1.
  std::vector<float> raw = Row(*negatives, 3);
  std::vector<float> input(12);
  for (int b = 0; b < 4; ++b) model->blockModels[b]->ProjectSlice(raw.data() + 6 * b, &input[3 * b]);
  std::vector<float> standardized(12);
  Standardize(input.data(), model->pls.XMean->data(), model->pls.XStd->data(), standardized.data(),
              12);
  const float expected =
      DotProductScalar(standardized.data(), model->PLSReg->Bstar->data(), 12) + model->PLSReg->YMean;
  float response = 0.0f;
  float other = 0.0f;
  model->ClassifyFeatures(raw.data(), &response, &other);
  EXPECT_TRUE(SameBits(response, expected));
  EXPECT_EQ(other, -1.0f);
}

TEST(Model, OnlyPlsRegressionWritesBstar) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  TrainedModel(ModelShape());
  EXPECT_FALSE(std::ifstream("bstar.matrix").good());
}

TEST(Model, AllRawBlocksPassTheRawVectorThrough) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  ModelShape shape;
  shape.rawBlocks = true;
  std::unique_ptr<Model> model = TrainedModel(shape);
  EXPECT_TRUE(model->AllRawFeatures);
  EXPECT_EQ(model->nfeatures, 24);
  std::mt19937 rng(11);
  MatrixPtr positives = GaussianRows(100, 24, shape.shift, rng);
  EXPECT_GT(Accuracy(*model, *positives, true), 0.95);

  std::vector<float> raw = Row(*positives, 0);
  float response = 0.0f;
  float other = 0.0f;
  float direct = 0.0f;
  float directOther = 0.0f;
  model->ClassifyFeatures(raw.data(), &response, &other);
  model->ClassifyInput(raw.data(), &direct, &directOther);
  EXPECT_TRUE(SameBits(response, direct));
  EXPECT_TRUE(SameBits(other, directOther));
}

TEST(Model, ProjectionStopsAtTheFactorsTheWindowPlsKept) {
  // A window PLS that kept 2 factors of the 5 requested; QDA was trained on
  // those 2, and scoring must neither read a third column nor a third mean.
  std::mt19937 rng(21);
  Model model;
  model.nfactors = 5;
  model.nfeatures = 3;
  model.nrawfeatures = 3;
  model.AllRawFeatures = true;
  MatrixPtr Wstar = GaussianRows(3, 2, 0.0f, rng);
  auto mean = std::make_unique<Vector>(3);
  auto deviation = std::make_unique<Vector>(3);
  for (int j = 0; j < 3; ++j) (*deviation)[j] = 1.0f + j;
  model.pls.SetModel(nullptr, nullptr, std::move(Wstar), std::move(mean), std::move(deviation),
                     nullptr);
  MatrixPtr scores = GaussianRows(40, 2, 0.0f, rng);
  Vector labels(40);
  for (int i = 20; i < 40; ++i) {
    labels[i] = 1.0f;
    (*scores)(i, 0) += 3.0f;
  }
  model.qda = std::make_unique<QDA>();
  model.qda->Train(*scores, labels);
  model.AllocateBuffers();

  const float raw[3] = {0.5f, -1.0f, 2.0f};
  float projected[2];
  ASSERT_EQ(model.pls.ProjectSample(raw, projected, 2), 2);
  float expectedResponse = 0.0f;
  float expectedOther = 0.0f;
  model.qda->ClassifySample(projected, &expectedResponse, &expectedOther);
  float response = 0.0f;
  float other = 0.0f;
  model.ClassifyFeatures(raw, &response, &other);
  EXPECT_TRUE(SameBits(response, expectedResponse));
  EXPECT_TRUE(SameBits(other, expectedOther));
}

TEST(Model, FeatureCountsResolvedAfterReadingMustMatchTheTrainedBlocks) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  std::unique_ptr<Model> model = TrainedModel(ModelShape());
  std::mt19937 rng(8);
  MatrixPtr windows = GaussianRows(20, 24, 0.5f, rng);
  auto responses = [&] {
    std::vector<float> out;
    for (int w = 0; w < windows->rows(); ++w) {
      std::vector<float> raw = Row(*windows, w);
      float response = 0.0f;
      float other = 0.0f;
      model->ClassifyFeatures(raw.data(), &response, &other);
      out.push_back(response);
    }
    return out;
  };
  const std::vector<float> before = responses();
  // The same counts again, as the feature framework sets them: no change.
  model->SetNumberOfRawFeatures(24);
  const std::vector<float> after = responses();
  EXPECT_EQ(std::memcmp(before.data(), after.data(), sizeof(float) * before.size()), 0);

  model->blockModels[1]->nfeatures = 7;
  EXPECT_EQ(FailureOf([&] { model->SetNumberOfRawFeatures(25); }).text(),
            FatalText("model", "Model::SetNumberOfRawFeatures", 362,
                      "block 1 (16,0)-(31,15) of method 'COOCH' yields 7 features, but its "
                      "block PLS was trained on 6"));

  ModelShape raw;
  raw.rawBlocks = true;
  std::unique_ptr<Model> rawModel = TrainedModel(raw);
  EXPECT_EQ(FailureOf([&] { rawModel->SetNumberOfRawFeatures(30); }).text(),
            FatalText("model", "Model::SetNumberOfRawFeatures", 362,
                      "the raw feature vector has 30 values, but the window PLS was trained on "
                      "24"));
}

TEST(Model, TrainingChecksItsInputs) {
  std::mt19937 rng(4);
  MatrixPtr positives = GaussianRows(30, 5, 1.0f, rng);
  MatrixPtr negatives = GaussianRows(30, 5, 0.0f, rng);
  Model model;
  model.nfactors = 2;
  model.nfeatures = 4;
  model.nrawfeatures = 5;
  EXPECT_EQ(FailureOf([&] { model.CreatePLSModel(*positives, *negatives); }).text(),
            FatalText("model", "Model::CreatePLSModel", 167,
                      "inconsistent number of features (matrix must have same number of "
                      "features!"));
  model.nfeatures = 5;
  model.nrawfeatures = -1;
  EXPECT_EQ(FailureOf([&] { model.CreatePLSModel(*positives, *negatives); }).text(),
            FatalText("model", "Model::CreatePLSModel", 171,
                      "improper size of 'nrawfeatures' (<0)"));
  model.nrawfeatures = 5;
  model.nfactors = -1;
  EXPECT_EQ(FailureOf([&] { model.CreatePLSModel(*positives, *negatives); }).text(),
            FatalText("model", "Model::CreatePLSModel", 173,
                      "invalid number of factors -1 (use factors <n> with n >= 1)"));
}

TEST(Model, UntrainedQdaModelReportsInsteadOfCrashing) {
  Model model;
  float input[1] = {0.0f};
  float response = 0.0f;
  float other = 0.0f;
  Failure failure = FailureOf([&] { model.ClassifyInput(input, &response, &other); });
  EXPECT_EQ(failure.status(), -1);
  EXPECT_EQ(failure.text(), FatalText("qda", "QDA::ClassifySample", 364,
                                      "load parameters or train QDA first"));
}

TEST(Model, ClearReleasesTheLearnedPartsAndKeepsTheLayout) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  std::unique_ptr<Model> model = TrainedModel(ModelShape());
  model->Clear();
  EXPECT_EQ(model->qda, nullptr);
  EXPECT_EQ(model->pls.Wstar, nullptr);
  EXPECT_TRUE(model->inputBuffer.empty());
  EXPECT_EQ(model->blockModels.size(), 4u);
  EXPECT_TRUE(model->useQDA);
}

}  // namespace
}  // namespace pedscan
