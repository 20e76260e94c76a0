// Cross-validation: shuffles, folds, the error and the choice of the count.
#include "training/cross_validation.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "../support/run_command.h"
#include "training_fixtures.h"

namespace pedscan {
namespace {

using testutil::CaptureOutput;
using testutil::CatchFailure;
using testutil::FatalText;

TEST(ShuffleIndices, GivesAPermutationFixedByTheSeed) {
  std::vector<int> order = ShuffleIndices(50, 7);
  std::vector<int> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  for (int i = 0; i < 50; ++i) EXPECT_EQ(sorted[i], i);
  EXPECT_EQ(ShuffleIndices(50, 7), order);
  EXPECT_NE(ShuffleIndices(50, 8), order);
  EXPECT_TRUE(ShuffleIndices(0, 7).empty());
  EXPECT_EQ(ShuffleIndices(1, 7), std::vector<int>{0});
}

TEST(ShuffleIndices, ReachesEveryPositionOfALongList) {
  // Lists longer than one generator value can address still move entries
  // into their upper part.
  std::vector<int> order = ShuffleIndices(100000, 3);
  int movedHigh = 0;
  for (int p = 40000; p < 100000; ++p) movedHigh += order[p] < 32768;
  EXPECT_GT(movedHigh, 10000);
}

TEST(SplitIntoFolds, TenRowsInThreeFoldsLeaveTheLastOneOut) {
  std::vector<int> shuffled = ShuffleIndices(10, 1);
  std::vector<std::vector<int>> folds = SplitIntoFolds(shuffled, 3);
  ASSERT_EQ(folds.size(), 3u);
  std::set<int> used;
  for (size_t f = 0; f < 3; ++f) {
    ASSERT_EQ(folds[f].size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(folds[f][i], shuffled[3 * f + i]);
      used.insert(folds[f][i]);
    }
  }
  EXPECT_EQ(used.size(), 9u);
  EXPECT_EQ(used.count(shuffled[9]), 0u);
  // More folds than rows: every fold empty.
  for (const std::vector<int>& fold : SplitIntoFolds(ShuffleIndices(2, 1), 3)) {
    EXPECT_TRUE(fold.empty());
  }
}

TEST(FoldError, IsTheRootMeanSquareDistanceFromOne) {
  // PLS regression's constant -1 adds 4 for every negative row.
  EXPECT_FLOAT_EQ(FoldError({-1.0f, -1.0f}, {1.0f}), std::sqrt(8.0f / 3.0f));
  EXPECT_FLOAT_EQ(FoldError({0.5f}, {0.0f, 1.0f, 0.75f}),
                  std::sqrt((0.25f + 1.0f + 0.0f + 0.0625f) / 4.0f));
}

TEST(ChooseNumberOfFactors, TakesTheSmallestErrorAndTheSmallerCountOnTies) {
  FactorErrors errors{};
  for (int m = 1; m <= 20; ++m) errors[m] = 1.0f;
  EXPECT_EQ(ChooseNumberOfFactors(errors), 1);
  errors[7] = 0.5f;
  errors[12] = 0.5f;
  EXPECT_EQ(ChooseNumberOfFactors(errors), 7);
  errors[20] = 0.4999f;
  EXPECT_EQ(ChooseNumberOfFactors(errors), 20);
  errors[0] = -5.0f;  // index 0 takes no part
  EXPECT_EQ(ChooseNumberOfFactors(errors), 20);
}

TEST(CrossValidation, FewerThanTwoFoldsIsFatal) {
  Matrix rows(10, 3);
  const std::string text =
      FatalText("cross_validation", "CrossValidation", 27,
                "invalid number of folds for cross-validation: 1 (use -F with at least 2)");
  EXPECT_EQ(CatchFailure([&] { CrossValidation(rows, rows, 1, "unused.txt"); }).text(), text);
  Failure zero = CatchFailure([] { CheckNumberOfFolds(0); });
  EXPECT_EQ(zero.status(), -1);
  EXPECT_NE(zero.text().find("cross-validation: 0 "), std::string::npos);
  CheckNumberOfFolds(2);
}

MatrixPtr Cloud(int n, int m, float shift, std::mt19937& rng) {
  std::normal_distribution<float> noise(0.0f, 1.0f);
  MatrixPtr X = CreateMatrix(n, m);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < m; ++j) (*X)(i, j) = noise(rng) + (j < 4 ? shift : 0.0f);
  }
  return X;
}

TEST(CrossValidation, PrintsAFoldLinePerFoldAndTheTableWithTheChosenCount) {
  testutil::TempDir dir;
  std::string config = dir.WriteFile("model.txt", testutil::kFiveBlockConfig);
  std::mt19937 rng(5);
  MatrixPtr positives = Cloud(64, 30, 2.0f, rng);
  MatrixPtr negatives = Cloud(62, 30, 0.0f, rng);
  int chosen = 0;
  std::string out =
      CaptureOutput([&] { chosen = CrossValidation(*positives, *negatives, 3, config); });
  ASSERT_GE(chosen, 1);
  ASSERT_LE(chosen, 20);

  std::string expectedStart =
      "fold: training (1 2 \b) testing: 0\n"
      "fold: training (0 2 \b) testing: 1\n"
      "fold: training (0 1 \b) testing: 2\n"
      "Cross validation results (3-fold)\n";
  ASSERT_EQ(out.substr(0, expectedStart.size()), expectedStart) << out;
  std::string table = out.substr(expectedStart.size());
  int lines = 0;
  int arrows = 0;
  size_t at = 0;
  while (at < table.size()) {
    size_t end = table.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    std::string line = table.substr(at, end - at);
    ++lines;
    EXPECT_EQ(line.substr(0, 11), Format("%2.2d factors:", lines)) << line;
    float mean = -1.0f;
    ASSERT_EQ(std::sscanf(line.c_str() + 12, "%f", &mean), 1) << line;
    EXPECT_GE(mean, 0.0f);
    EXPECT_LE(mean, 1.5f);
    if (line.size() > 2 && line.substr(line.size() - 3) == " <-") {
      ++arrows;
      EXPECT_EQ(lines, chosen);
    } else {
      EXPECT_EQ(line.back(), ' ');
    }
    at = end + 1;
  }
  EXPECT_EQ(lines, 20);
  EXPECT_EQ(arrows, 1);
}

}  // namespace
}  // namespace pedscan
