#include "numeric/pls.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "expect_failure.h"
#include "numeric/kernels.h"

namespace pedscan {
namespace {

// Single-precision training against a double-precision reference: the
// columns of W and T have unit length, so this bounds their error relative
// to their scale; b is compared relative to its size.
constexpr double kReferenceTolerance = 1e-4;
// Unit length of T's columns after one normalisation in single precision.
constexpr double kUnitLengthTolerance = 1e-5;
// X Wstar against T: Wstar carries the rounding of a K x K inverse.
constexpr double kProjectionTolerance = 1e-4;

using Columns = std::vector<std::vector<double>>;

struct ReferenceFit {
  Columns W;
  Columns T;
  std::vector<double> b;
};

void StandardizeReference(std::vector<double>& v) {
  const int n = static_cast<int>(v.size());
  double mean = 0;
  for (double x : v) mean += x;
  mean /= n;
  double squares = 0;
  for (double x : v) squares += (x - mean) * (x - mean);
  double deviation = std::sqrt(squares / (n - 1));
  if (deviation < 1e-9) deviation = 1;
  for (double& x : v) x = (x - mean) / deviation;
}

double Dot(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

void Normalize(std::vector<double>& v) {
  const double norm = std::sqrt(Dot(v, v));
  for (double& x : v) x /= norm;
}

// Textbook NIPALS for one response, in double precision, kept deliberately
// plain: X as a list of columns.
ReferenceFit NipalsReference(const Matrix& Xf, const Vector& yf, int K) {
  const int n = Xf.rows();
  const int m = Xf.cols();
  Columns X(static_cast<size_t>(m), std::vector<double>(static_cast<size_t>(n)));
  for (int j = 0; j < m; ++j) {
    for (int i = 0; i < n; ++i) X[j][i] = Xf(i, j);
    StandardizeReference(X[j]);
  }
  std::vector<double> y(yf.data(), yf.data() + n);
  StandardizeReference(y);

  ReferenceFit fit;
  for (int k = 0; k < K; ++k) {
    std::vector<double> t = y;
    Normalize(t);
    std::vector<double> u = t;
    std::vector<double> w(static_cast<size_t>(m));
    double d = 0;
    int passes = 0;
    do {
      const std::vector<double> tOld = t;
      for (int j = 0; j < m; ++j) w[j] = Dot(X[j], u);
      Normalize(w);
      for (int i = 0; i < n; ++i) {
        t[i] = 0;
        for (int j = 0; j < m; ++j) t[i] += X[j][i] * w[j];
      }
      Normalize(t);
      u = y;
      d = 0;
      for (int i = 0; i < n; ++i) d += (tOld[i] - t[i]) * (tOld[i] - t[i]);
      ++passes;
    } while (d > 1e-6 && passes < 100);
    std::vector<double> p(static_cast<size_t>(m));
    for (int j = 0; j < m; ++j) p[j] = Dot(X[j], t);
    const double bk = Dot(u, t);
    for (int j = 0; j < m; ++j) {
      for (int i = 0; i < n; ++i) X[j][i] -= t[i] * p[j];
    }
    for (int i = 0; i < n; ++i) y[i] -= bk * t[i];
    fit.W.push_back(w);
    fit.T.push_back(t);
    fit.b.push_back(bk);
  }
  return fit;
}

// Correlated features and a 0/1 label that depends on a few of them, like
// the scores of object and background windows.
struct Samples {
  MatrixPtr X;
  VectorPtr y;
};

Samples LabelledSamples(int n, int m, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  Samples s{CreateMatrix(n, m), std::make_unique<Vector>(n)};
  for (int i = 0; i < n; ++i) {
    float previous = 0;
    for (int j = 0; j < m; ++j) {
      previous = 0.6f * previous + normal(rng);
      (*s.X)(i, j) = 3.0f + (j % 5) * previous;
    }
    const float evidence = (*s.X)(i, 0) - (*s.X)(i, 2) + 0.5f * (*s.X)(i, 7) + normal(rng);
    (*s.y)[i] = evidence > 3.0f ? 1.0f : 0.0f;
  }
  return s;
}

// Trains on scratch copies so that the test keeps the original samples.
void Train(PLS& pls, const Samples& s, int K, float explained = 1.0f) {
  MatrixPtr X = CopyMatrix(*s.X);
  VectorPtr y = s.y->Copy();
  pls.RunNIPALS(*X, *y, K, explained, explained);
}

TEST(PLS, AgreesWithADoublePrecisionReference) {
  const Samples s = LabelledSamples(300, 40, 21);
  const int K = 6;
  PLS pls;
  Train(pls, s, K);
  const ReferenceFit reference = NipalsReference(*s.X, *s.y, K);

  ASSERT_EQ(pls.FactorsKept(), K);
  ASSERT_EQ(pls.W->cols(), K);
  ASSERT_EQ(pls.T->rows(), 300);
  ASSERT_EQ(pls.b->n(), K);
  for (int k = 0; k < K; ++k) {
    for (int j = 0; j < 40; ++j) {
      EXPECT_NEAR((*pls.W)(j, k), reference.W[k][j], kReferenceTolerance) << "factor " << k;
    }
    for (int i = 0; i < 300; ++i) {
      EXPECT_NEAR((*pls.T)(i, k), reference.T[k][i], kReferenceTolerance) << "factor " << k;
    }
    EXPECT_NEAR((*pls.b)[k], reference.b[k], kReferenceTolerance * std::fabs(reference.b[k]));
    double length = 0;
    for (int i = 0; i < 300; ++i) length += double((*pls.T)(i, k)) * (*pls.T)(i, k);
    EXPECT_NEAR(std::sqrt(length), 1.0, kUnitLengthTolerance);
  }
  // Y keeps the responses as they were passed in.
  for (int i = 0; i < 300; ++i) EXPECT_EQ((*pls.Y)[i], (*s.y)[i]);
}

TEST(PLS, ProjectingATrainingSampleReproducesItsScores) {
  const Samples s = LabelledSamples(200, 25, 22);
  const int K = 5;
  PLS pls;
  Train(pls, s, K);
  ASSERT_EQ(pls.Wstar->rows(), 25);
  ASSERT_EQ(pls.Wstar->cols(), K);

  std::vector<float> row(25);
  std::vector<float> projected(K + 1, -7.0f);
  for (int i = 0; i < 200; ++i) {
    for (int j = 0; j < 25; ++j) row[j] = (*s.X)(i, j);
    ASSERT_EQ(pls.ProjectSample(row.data(), projected.data(), K), K);
    for (int k = 0; k < K; ++k) {
      EXPECT_NEAR(projected[k], (*pls.T)(i, k), kProjectionTolerance) << "sample " << i;
    }
  }
  EXPECT_EQ(projected[K], -7.0f);

  // Asking for more factors than were kept projects only the kept ones.
  EXPECT_EQ(pls.ProjectSample(row.data(), projected.data(), K + 3), K);
  EXPECT_EQ(projected[K], -7.0f);
  EXPECT_EQ(pls.ProjectSample(row.data(), projected.data(), 2), 2);
}

TEST(PLS, ConstantFeatureHasUnitDeviationAndNoWeight) {
  Samples s = LabelledSamples(100, 10, 23);
  for (int i = 0; i < 100; ++i) (*s.X)(i, 4) = 2.5f;
  PLS pls;
  Train(pls, s, 3);
  EXPECT_EQ((*pls.XStd)[4], 1.0f);
  EXPECT_EQ((*pls.XMean)[4], 2.5f);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ((*pls.W)(4, k), 0.0f);
    EXPECT_EQ((*pls.P)(4, k), 0.0f);
  }
}

TEST(PLS, EqualResponsesStopWithTheNaNMessage) {
  Samples s = LabelledSamples(50, 8, 24);
  for (int i = 0; i < 50; ++i) (*s.y)[i] = 1.0f;
  PLS pls;
  ExpectFailure([&] { Train(pls, s, 3); }, "\nproblem during PLS: NaN\n", 2);
}

// Five samples whose every feature and response standardise to exactly
// +-(-1, -1, 0, 1, 1): X has rank 1 and all the arithmetic is exact, so
// the first factor explains exactly all of X (and of y).
Samples RankOneSamples() {
  const float rows[5][4] = {{9, 7, -0.5f, -1}, {9, 7, -0.5f, -1}, {10, 5, 0, 3},
                            {11, 3, 0.5f, 7},  {11, 3, 0.5f, 7}};
  const float responses[5] = {0, 0, 0.5f, 1, 1};
  Samples s{CreateMatrix(5, 4), std::make_unique<Vector>(5)};
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) (*s.X)(i, j) = rows[i][j];
    (*s.y)[i] = responses[i];
  }
  return s;
}

TEST(PLS, RankDeficientSamplesStopAtTheRankWithTheXMessage) {
  const Samples s = RankOneSamples();
  PLS pls;
  testing::internal::CaptureStdout();
  Train(pls, s, 3);
  // Y is explained completely too; the X rule is tested first.
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "reached percentage explained of X variable, stopping\n");
  EXPECT_EQ(pls.FactorsKept(), 1);
  EXPECT_EQ(pls.T->cols(), 1);
  EXPECT_EQ(pls.P->cols(), 1);
  EXPECT_EQ(pls.W->cols(), 1);
  EXPECT_EQ(pls.b->n(), 1);
  EXPECT_EQ((*pls.b)[0], 2.0f);
  const float t[5] = {-0.5f, -0.5f, 0, 0.5f, 0.5f};
  for (int i = 0; i < 5; ++i) EXPECT_EQ((*pls.T)(i, 0), t[i]);
  EXPECT_EQ((*pls.W)(1, 0), -0.5f);
  EXPECT_EQ((*pls.Wstar)(1, 0), -0.125f);
  EXPECT_EQ((*pls.XStd)[1], 2.0f);
}

TEST(PLS, ReachingTheYThresholdKeepsTheFactorThatReachedIt) {
  const Samples s = LabelledSamples(80, 10, 27);
  MatrixPtr X = CopyMatrix(*s.X);
  VectorPtr y = s.y->Copy();
  PLS pls;
  testing::internal::CaptureStdout();
  pls.RunNIPALS(*X, *y, 4, 1.0f, 0.0f);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "reached percentage explained of Y variable, stopping\n");
  EXPECT_EQ(pls.FactorsKept(), 1);
  EXPECT_EQ(pls.b->n(), 1);
}

TEST(PLS, InstalledModelProjectsAndReleasingKeepsTheProjection) {
  const Samples s = LabelledSamples(120, 9, 26);
  PLS trained;
  Train(trained, s, 3);
  std::vector<float> row(9);
  for (int j = 0; j < 9; ++j) row[j] = (*s.X)(7, j);
  std::vector<float> expected(3), actual(3);
  trained.ProjectSample(row.data(), expected.data(), 3);

  PLS loaded;
  EXPECT_EQ(loaded.ProjectSample(row.data(), actual.data(), 3), 0);
  loaded.SetModel(CopyMatrix(*trained.W), nullptr, CopyMatrix(*trained.Wstar),
                  trained.XMean->Copy(), trained.XStd->Copy(), trained.b->Copy());
  ASSERT_EQ(loaded.scratch->n(), 9);
  ASSERT_EQ(loaded.ProjectSample(row.data(), actual.data(), 3), 3);
  EXPECT_EQ(actual, expected);

  trained.ReleaseTrainingData();
  EXPECT_EQ(trained.T, nullptr);
  EXPECT_EQ(trained.P, nullptr);
  EXPECT_EQ(trained.Y, nullptr);
  ASSERT_EQ(trained.ProjectSample(row.data(), actual.data(), 3), 3);
  EXPECT_EQ(actual, expected);

  trained.Clear();
  EXPECT_EQ(trained.Wstar, nullptr);
  EXPECT_EQ(trained.FactorsKept(), 0);
}

}  // namespace
}  // namespace pedscan
