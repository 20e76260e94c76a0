#include "numeric/qda.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "expect_failure.h"

namespace pedscan {
namespace {

// The classifier works in single precision on a QR factor; the reference
// forms the covariance in double. Posteriors and log-determinants agree to
// a few float roundings of distances of order ten.
constexpr double kPosteriorTolerance = 1e-4;
constexpr double kLogDetTolerance = 1e-4;

using Point = std::vector<double>;

// One Gaussian group computed directly: mean, covariance (denominator
// n - 1), its Cholesky factor L and log-determinant.
struct ReferenceGroup {
  Point mean;
  std::vector<Point> L;
  double logDet = 0;

  // (x - mean)' Sigma^-1 (x - mean), by forward substitution with L.
  double Mahalanobis(const Point& x) const {
    const size_t K = mean.size();
    Point z(K);
    double sum = 0;
    for (size_t i = 0; i < K; ++i) {
      double v = x[i] - mean[i];
      for (size_t j = 0; j < i; ++j) v -= L[i][j] * z[j];
      z[i] = v / L[i][i];
      sum += z[i] * z[i];
    }
    return sum;
  }
};

ReferenceGroup FitGroup(const std::vector<Point>& members) {
  const size_t K = members[0].size();
  const double n = static_cast<double>(members.size());
  ReferenceGroup g;
  g.mean.assign(K, 0);
  for (const Point& x : members) {
    for (size_t j = 0; j < K; ++j) g.mean[j] += x[j] / n;
  }
  std::vector<Point> covariance(K, Point(K, 0));
  for (const Point& x : members) {
    for (size_t r = 0; r < K; ++r) {
      for (size_t c = 0; c < K; ++c) {
        covariance[r][c] += (x[r] - g.mean[r]) * (x[c] - g.mean[c]) / (n - 1);
      }
    }
  }
  g.L.assign(K, Point(K, 0));
  for (size_t i = 0; i < K; ++i) {
    for (size_t j = 0; j <= i; ++j) {
      double v = covariance[i][j];
      for (size_t k = 0; k < j; ++k) v -= g.L[i][k] * g.L[j][k];
      g.L[i][j] = i == j ? std::sqrt(v) : v / g.L[j][j];
    }
    g.logDet += 2 * std::log(g.L[i][i]);
  }
  return g;
}

double ReferencePosterior(const ReferenceGroup& g1, const ReferenceGroup& g2, const Point& x) {
  const double d1 = -0.5 * (g1.Mahalanobis(x) + g1.logDet);
  const double d2 = -0.5 * (g2.Mahalanobis(x) + g2.logDet);
  return 1.0 / (1.0 + std::exp(d1 - d2));
}

// Two correlated Gaussian clouds of scores with their labels, interleaved
// as training samples arrive.
struct Scores {
  MatrixPtr T;
  VectorPtr labels;
  std::vector<Point> group[2];
};

Scores TwoClouds(int n1, int n2, const Point& offset, unsigned seed) {
  const int K = static_cast<int>(offset.size());
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  Scores s{CreateMatrix(n1 + n2, K), std::make_unique<Vector>(n1 + n2), {}};
  int remaining[2] = {n1, n2};
  for (int i = 0; i < n1 + n2; ++i) {
    const int g = remaining[0] > 0 && (remaining[1] == 0 || i % 3 != 1) ? 0 : 1;
    --remaining[g];
    Point x(static_cast<size_t>(K));
    double carry = 0;
    for (int j = 0; j < K; ++j) {
      carry = (g == 0 ? 0.5 : -0.3) * carry + normal(rng) * (g == 0 ? 1.0 : 0.5 + 0.4 * j);
      x[j] = static_cast<float>(carry + (g == 1 ? offset[j] : 0.0));
      (*s.T)(i, j) = static_cast<float>(x[j]);
    }
    (*s.labels)[i] = static_cast<float>(g);
    s.group[g].push_back(x);
  }
  return s;
}

std::vector<float> ToFloats(const Point& x) { return std::vector<float>(x.begin(), x.end()); }

TEST(QDA, PosteriorsAgreeWithADirectGaussianComputation) {
  const Point offset = {1.5, -1.0, 0.5};
  const Scores s = TwoClouds(400, 250, offset, 31);
  QDA qda;
  qda.Train(*s.T, *s.labels);
  const ReferenceGroup g1 = FitGroup(s.group[0]);
  const ReferenceGroup g2 = FitGroup(s.group[1]);

  EXPECT_EQ(qda.nfactors, 3);
  EXPECT_EQ(qda.logPriori, 0.5f);
  EXPECT_NEAR(qda.logDetSigma1, g1.logDet, kLogDetTolerance);
  EXPECT_NEAR(qda.logDetSigma2, g2.logDet, kLogDetTolerance);
  for (int j = 0; j < 3; ++j) {
    EXPECT_NEAR((*qda.gmean1)[j], g1.mean[j], 1e-5);
    EXPECT_NEAR((*qda.Gmeans)(1, j), g2.mean[j], 1e-5);
    EXPECT_EQ((*qda.gmean2)[j], (*qda.Gmeans)(1, j));
  }

  std::mt19937 rng(32);
  std::uniform_real_distribution<double> box(-3.0, 3.0);
  std::vector<Point> probes = {g1.mean, g2.mean, s.group[0][5], s.group[1][9]};
  for (int i = 0; i < 40; ++i) probes.push_back({box(rng), box(rng), box(rng)});
  for (const Point& probe : probes) {
    const std::vector<float> x = ToFloats(probe);
    float response = -1, other = -1;
    qda.ClassifySample(x.data(), &response, &other);
    const Point rounded(x.begin(), x.end());
    EXPECT_NEAR(response, ReferencePosterior(g1, g2, rounded), kPosteriorTolerance);
    EXPECT_EQ(response, 1.0f - other);
  }
}

TEST(QDA, WellSeparatedGroupsGiveConfidentPosteriorsAtTheirMeans) {
  const Scores s = TwoClouds(200, 200, {8.0, 8.0}, 33);
  QDA qda;
  qda.Train(*s.T, *s.labels);
  float response, other;
  qda.ClassifySample(qda.gmean2->data(), &response, &other);
  EXPECT_GT(response, 0.999f);
  EXPECT_EQ(response, 1.0f - other);
  qda.ClassifySample(qda.gmean1->data(), &response, &other);
  EXPECT_LT(response, 0.001f);
  EXPECT_EQ(response, 1.0f - other);
}

TEST(QDA, EqualDiscriminantScoresGiveOneHalf) {
  // Installed parameters: equal factors and log-determinants, means mirrored
  // about the origin, so both distances of the origin are the same bits.
  QDA qda;
  auto invR = CreateMatrix(2, 2);
  (*invR)(0, 0) = 1.3f;
  (*invR)(0, 1) = -0.4f;
  (*invR)(1, 1) = 0.7f;
  qda.invR1 = CopyMatrix(*invR);
  qda.SetInvR2(std::move(invR));
  auto means = CreateMatrix(2, 2);
  (*means)(0, 0) = -0.8f;
  (*means)(0, 1) = 0.3f;
  (*means)(1, 0) = 0.8f;
  (*means)(1, 1) = -0.3f;
  qda.SetGmeans(std::move(means));
  qda.logPriori = 0.5f;
  qda.logDetSigma1 = qda.logDetSigma2 = -1.25f;
  ASSERT_EQ(qda.nfactors, 2);
  ASSERT_EQ(qda.work3->n(), 2);
  EXPECT_EQ((*qda.gmean2)[1], -0.3f);

  const float origin[2] = {0.0f, 0.0f};
  float response, other;
  qda.ClassifySample(origin, &response, &other);
  EXPECT_EQ(response, 0.5f);
  EXPECT_EQ(other, 0.5f);
}

TEST(QDA, GroupOfIdenticalScoresIsNotPositiveDefinite) {
  const char* message =
      "The covariance matrix of each group in TRAINING must be positive definite.\n";
  for (int constantGroup = 0; constantGroup < 2; ++constantGroup) {
    Scores s = TwoClouds(30, 30, {2.0, 1.0, -1.0}, 34);
    for (int i = 0; i < s.T->rows(); ++i) {
      if (static_cast<int>((*s.labels)[i]) != constantGroup) continue;
      (*s.T)(i, 0) = 0.5f;
      (*s.T)(i, 1) = 2.0f;
      (*s.T)(i, 2) = -1.0f;
    }
    QDA qda;
    ExpectFailure([&] { qda.Train(*s.T, *s.labels); }, message, 2);
  }
}

TEST(QDA, TrainingChecksLabelCountAndGroupSizes) {
  QDA qda;
  ExpectFailure([&] { qda.Train(Matrix(11, 2), Vector(10)); },
                "number of factors for classification is inconsistent\n", 2);

  Scores few = TwoClouds(3, 20, {1, 1, 1, 1, 1}, 35);
  ExpectFailure([&] { qda.Train(*few.T, *few.labels); },
                "QDA training: group 1 has 3 samples, needs at least 5 (the number of factors)\n",
                2);
  Scores four = TwoClouds(20, 4, {1, 1, 1, 1, 1}, 36);
  ExpectFailure([&] { qda.Train(*four.T, *four.labels); },
                "QDA training: group 2 has 4 samples, needs at least 5 (the number of factors)\n",
                2);
}

TEST(QDA, GroupOfExactlyAsManySamplesAsFactorsMeetsThePositiveDefiniteCheck) {
  const char* message =
      "The covariance matrix of each group in TRAINING must be positive definite.\n";
  // Two samples in two factors: centred, they are exactly x and -x, a
  // covariance of rank one. The other group is well spread.
  const float rows[][3] = {{1, 2, 0},   {3, 5, 0},  {0, 0, 1},  {2, 1, 1},
                           {-1, 3, 1}, {4, -2, 1}, {1, 1, 1}, {0, 5, 1}};
  Matrix T(8, 2);
  Vector labels(8);
  for (int i = 0; i < 8; ++i) {
    T(i, 0) = rows[i][0];
    T(i, 1) = rows[i][1];
    labels[i] = rows[i][2];
  }
  QDA qda;
  ExpectFailure([&] { qda.Train(T, labels); }, message, 2);
  // One sample in one factor has no spread at all.
  Scores single = TwoClouds(20, 1, {2.0}, 38);
  ExpectFailure([&] { qda.Train(*single.T, *single.labels); }, message, 2);
}

TEST(QDA, ClassifyingBeforeTrainingOrLoadingIsFatal) {
  QDA qda;
  EXPECT_EQ(qda.nfactors, -1);
  EXPECT_EQ(qda.logPriori, -1.0f);
  const float x[2] = {0, 0};
  float response, other;
  ExpectFailure([&] { qda.ClassifySample(x, &response, &other); },
                ".\\qda.cpp(QDA::ClassifySample.364): \n  load parameters or train QDA first\n",
                -1);
}

}  // namespace
}  // namespace pedscan
