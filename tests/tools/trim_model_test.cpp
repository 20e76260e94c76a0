#include "model_trim.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../model/model_fixtures.h"
#include "../support/run_command.h"
#include "model/Storage.h"

namespace pedscan {
namespace {

using testing_model::GaussianRows;
using testing_model::ModelShape;
using testing_model::Row;
using testing_model::SameBits;
using testing_model::ScopedWorkingDirectory;
using testing_model::TrainedModel;
using testutil::TempDir;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool AllZero(const float* values, int n) {
  for (int i = 0; i < n; ++i) {
    if (!SameBits(values[i], 0.0f)) return false;
  }
  return true;
}

TEST(TrimModel, BundledModelsComeBackByteForByte) {
  // The bundled models were trimmed when they were made: trimming them again
  // must reproduce every byte, which pins the whole written form.
  TempDir dir;
  for (const char* name : {"person-hog.yml", "person-full.yml"}) {
    SCOPED_TRACE(name);
    const std::string bundled = std::string(PEDSCAN_SOURCE_DIR) + "/data/models/" + name;
    // T and Y of the window PLS and of the regression.
    EXPECT_EQ(TrimModelFile(bundled, dir.File(name)), 4);
    EXPECT_EQ(ReadText(dir.File(name)), ReadText(bundled));
  }
}

TEST(TrimModel, TrainingRecordsShrinkToOneZeroRowAndResponsesStay) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());  // PLS regression writes bstar.matrix here
  for (bool qda : {true, false}) {
    SCOPED_TRACE(qda ? "QDA" : "PLS regression");
    ModelShape shape;
    shape.qda = qda;
    std::unique_ptr<Model> trained = TrainedModel(shape);
    trained->Save(dir.File("full.yml"));
    ASSERT_EQ(TrimModelFile(dir.File("full.yml"), dir.File("trimmed.yml")), qda ? 2 : 4);
    const std::string trimmedText = ReadText(dir.File("trimmed.yml"));
    EXPECT_LT(trimmedText.size(), ReadText(dir.File("full.yml")).size() / 2);
    // Trimming is idempotent.
    ASSERT_EQ(TrimModelFile(dir.File("trimmed.yml"), dir.File("again.yml")), qda ? 2 : 4);
    EXPECT_EQ(ReadText(dir.File("again.yml")), trimmedText);

    std::unique_ptr<Model> trimmed = Storage().ReadModel(dir.File("trimmed.yml"));
    if (!qda) {
      const PLSRegression& regression = *trimmed->PLSReg;
      ASSERT_EQ(regression.T->rows(), 1);
      EXPECT_EQ(regression.T->cols(), shape.windowFactors);
      EXPECT_TRUE(AllZero(regression.T->data(), regression.T->cols()));
      ASSERT_EQ(regression.Y->n(), 1);
      EXPECT_TRUE(AllZero(regression.Y->data(), 1));
    }
    std::unique_ptr<Model> full = Storage().ReadModel(dir.File("full.yml"));
    std::mt19937 rng(5);
    MatrixPtr windows = GaussianRows(20, full->nrawfeatures, 0.7f, rng);
    for (int w = 0; w < windows->rows(); ++w) {
      const std::vector<float> raw = Row(*windows, w);
      float expected[2], actual[2];
      full->ClassifyFeatures(raw.data(), &expected[0], &expected[1]);
      trimmed->ClassifyFeatures(raw.data(), &actual[0], &actual[1]);
      EXPECT_TRUE(SameBits(actual[0], expected[0]) && SameBits(actual[1], expected[1])) << w;
    }
  }
}

TEST(TrimModel, WindowRecordsKeepTheFactorCount) {
  // The window scores are dropped on reading; the trimmed record still has
  // one row as wide as the factors the window PLS kept.
  TempDir dir;
  ModelShape shape;
  shape.windowFactors = 3;
  TrainedModel(shape)->Save(dir.File("full.yml"));
  std::unique_ptr<Model> model = Storage().ReadModel(dir.File("full.yml"));
  ASSERT_EQ(TrimTrainingRecords(*model), 2);
  ASSERT_EQ(model->pls.T->rows(), 1);
  EXPECT_EQ(model->pls.T->cols(), 3);
  EXPECT_TRUE(AllZero(model->pls.T->data(), 3));
  ASSERT_EQ(model->pls.Y->n(), 1);
  EXPECT_TRUE(AllZero(model->pls.Y->data(), 1));
}

}  // namespace
}  // namespace pedscan
