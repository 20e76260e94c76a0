#include "training/cross_validation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "model/model.h"
#include "support/failure.h"
#include "support/parallel.h"
#include "training/ordered_work.h"
#include "training/training.h"

namespace pedscan {

namespace {

constexpr char kSource[] = "cross_validation";
constexpr int kTooFewFoldsLine = 27;

// A value drawn uniformly from 0..p: one generator value covers 0..32767,
// further values widen the range for larger lists.
int DrawUpTo(RandomGenerator& random, int p) {
  uint64_t value = static_cast<uint64_t>(random.Next());
  uint64_t range = 32767;
  while (range < static_cast<uint64_t>(p)) {
    value = value * 32768u + static_cast<uint64_t>(random.Next());
    range = range * 32768u + 32767u;
  }
  return static_cast<int>(value % (static_cast<uint64_t>(p) + 1u));
}

// The rows `indices` of `source`, in that order.
void AppendRows(const Matrix& source, const std::vector<int>& indices, Matrix& target,
                int firstRow) {
  for (int c = 0; c < source.cols(); ++c) {
    const float* from = source.Column(c);
    float* to = target.Column(c) + firstRow;
    for (size_t i = 0; i < indices.size(); ++i) to[i] = from[indices[i]];
  }
}

// The rows `indices` of `source` one after the other, each contiguous, as
// the classifier reads a sample.
std::vector<float> RowMajorRows(const Matrix& source, const std::vector<int>& indices) {
  const size_t cols = static_cast<size_t>(source.cols());
  std::vector<float> rows(indices.size() * cols);
  for (size_t i = 0; i < indices.size(); ++i) {
    for (size_t c = 0; c < cols; ++c) rows[i * cols + c] = source(indices[i], static_cast<int>(c));
  }
  return rows;
}

}  // namespace

void CheckNumberOfFolds(int k) {
  if (k < 2) {
    Fatal(kSource, "CrossValidation", kTooFewFoldsLine,
          Format("invalid number of folds for cross-validation: %d (use -F with at least 2)", k));
  }
}

std::vector<int> ShuffleIndices(int n, uint32_t seed) {
  RandomGenerator random(seed);
  std::vector<int> order(static_cast<size_t>(std::max(n, 0)));
  for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
  for (int p = 1; p < n; ++p) {
    std::swap(order[static_cast<size_t>(p)], order[static_cast<size_t>(DrawUpTo(random, p))]);
  }
  return order;
}

std::vector<std::vector<int>> SplitIntoFolds(const std::vector<int>& shuffled, int k) {
  const size_t size = shuffled.size() / static_cast<size_t>(k);
  std::vector<std::vector<int>> folds(static_cast<size_t>(k));
  for (size_t f = 0; f < folds.size(); ++f) {
    folds[f].assign(shuffled.begin() + static_cast<std::ptrdiff_t>(f * size),
                    shuffled.begin() + static_cast<std::ptrdiff_t>((f + 1) * size));
  }
  return folds;
}

float FoldError(const std::vector<float>& negativeValues,
                const std::vector<float>& positiveValues) {
  float sum = 0.0f;
  for (float v : negativeValues) sum += (1.0f - v) * (1.0f - v);
  for (float v : positiveValues) sum += (1.0f - v) * (1.0f - v);
  const float count = static_cast<float>(negativeValues.size() + positiveValues.size());
  return std::sqrt(sum / count);
}

int ChooseNumberOfFactors(const FactorErrors& errors) {
  int best = 1;
  for (int m = 2; m <= kMaxFactors; ++m) {
    if (errors[static_cast<size_t>(m)] < errors[static_cast<size_t>(best)]) best = m;
  }
  return best;
}

int CrossValidation(const Matrix& positives, const Matrix& negatives, int k,
                    const std::string& configFile, int threads) {
  CheckNumberOfFolds(k);
  const std::vector<int> negativeOrder =
      ShuffleIndices(negatives.rows(), static_cast<uint32_t>(std::time(nullptr)));
  const std::vector<int> positiveOrder =
      ShuffleIndices(positives.rows(), static_cast<uint32_t>(std::time(nullptr)));
  const std::vector<std::vector<int>> negativeFolds = SplitIntoFolds(negativeOrder, k);
  const std::vector<std::vector<int>> positiveFolds = SplitIntoFolds(positiveOrder, k);
  const int cols = positives.cols();

  // The folds train side by side; their errors are added up in fold order,
  // so every sum is the one a single thread makes.
  FactorErrors errors{};
  std::vector<FactorErrors> foldErrors(static_cast<size_t>(k));
  OrderedWork work;
  work.start = [&](int f) {
    std::printf("fold: training (");
    for (int t = 0; t < k; ++t) {
      if (t != f) std::printf("%d ", t);
    }
    std::printf("\b)");
    std::fflush(stdout);
  };
  work.compute = [&](int f, int) {
    int negativeRows = 0;
    int positiveRows = 0;
    for (int t = 0; t < k; ++t) {
      if (t == f) continue;
      negativeRows += static_cast<int>(negativeFolds[static_cast<size_t>(t)].size());
      positiveRows += static_cast<int>(positiveFolds[static_cast<size_t>(t)].size());
    }
    Matrix trainNegatives(negativeRows, cols);
    Matrix trainPositives(positiveRows, cols);
    int negativeAt = 0;
    int positiveAt = 0;
    for (int t = 0; t < k; ++t) {
      if (t == f) continue;
      const std::vector<int>& negativeFold = negativeFolds[static_cast<size_t>(t)];
      const std::vector<int>& positiveFold = positiveFolds[static_cast<size_t>(t)];
      AppendRows(negatives, negativeFold, trainNegatives, negativeAt);
      AppendRows(positives, positiveFold, trainPositives, positiveAt);
      negativeAt += static_cast<int>(negativeFold.size());
      positiveAt += static_cast<int>(positiveFold.size());
    }

    const std::vector<int>& testNegativeRows = negativeFolds[static_cast<size_t>(f)];
    const std::vector<int>& testPositiveRows = positiveFolds[static_cast<size_t>(f)];
    const std::vector<float> testNegatives = RowMajorRows(negatives, testNegativeRows);
    const std::vector<float> testPositives = RowMajorRows(positives, testPositiveRows);

    Model model;
    model.SetupModelfromParameters(configFile);
    std::vector<float> negativeValues(testNegativeRows.size());
    std::vector<float> positiveValues(testPositiveRows.size());
    FactorErrors& foldError = foldErrors[static_cast<size_t>(f)];
    for (int m = 1; m <= kMaxFactors; ++m) {
      model.SetNumberOfRawFeatures(cols);
      model.nfeatures = cols;
      model.nfactors = m;
      model.CreatePLSModel(trainPositives, trainNegatives);
      float response = 0.0f;
      float other = 0.0f;
      for (size_t i = 0; i < negativeValues.size(); ++i) {
        model.ClassifyInput(testNegatives.data() + i * static_cast<size_t>(cols), &response,
                            &other);
        negativeValues[i] = other;
      }
      for (size_t i = 0; i < positiveValues.size(); ++i) {
        model.ClassifyInput(testPositives.data() + i * static_cast<size_t>(cols), &response,
                            &other);
        positiveValues[i] = response;
      }
      foldError[static_cast<size_t>(m)] = FoldError(negativeValues, positiveValues);
      // Every count trains from scratch.
      model.Clear();
    }
  };
  work.finish = [&](int f) {
    for (int m = 1; m <= kMaxFactors; ++m) {
      errors[static_cast<size_t>(m)] += foldErrors[static_cast<size_t>(f)][static_cast<size_t>(m)];
    }
    std::printf(" testing: %d\n", f);
  };
  const int workers = std::max(1, std::min(ResolveThreads(threads), k));
  RunInOrder(k, workers, k, work);

  const int chosen = ChooseNumberOfFactors(errors);
  std::printf("Cross validation results (%d-fold)\n", k);
  for (int m = 1; m <= kMaxFactors; ++m) {
    std::printf("%2.2d factors: %5.3f ", m, errors[static_cast<size_t>(m)] / static_cast<float>(k));
    std::printf(m == chosen ? "<-\n" : "\n");
  }
  return chosen;
}

}  // namespace pedscan
