#include "numeric/qda.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include <libalglib/linalg.h>

#include "numeric/kernels.h"
#include "support/failure.h"

namespace pedscan {

namespace {

constexpr char kInconsistent[] = "number of factors for classification is inconsistent\n";
constexpr char kNotPositiveDefinite[] =
    "The covariance matrix of each group in TRAINING must be positive definite.\n";
// A group of fewer samples than factors cannot even fill the triangular
// factor; with exactly as many, the factor is singular, which the
// positive-definite check reports.
constexpr char kTooFewSamples[] =
    "QDA training: group %d has %d samples, needs at least %d (the number of factors)\n";

constexpr int kClassifySampleLine = 364;
constexpr char kNotReady[] = "load parameters or train QDA first";

constexpr float kMinSingularValue = 1e-11f;
constexpr float kEqualPrior = 0.5f;

// The triangular factor R of the centred group scores, scaled so that R'R is
// the group's sample covariance. Throws the positive-definite failure when
// the factor is singular; otherwise returns R and its log-determinant term.
MatrixPtr ScaledTriangularFactor(const Matrix& centred, float* logDetSigma) {
  const int ng = centred.rows();
  const int K = centred.cols();
  alglib::real_2d_array a;
  a.setlength(ng, K);
  for (int i = 0; i < ng; ++i) {
    for (int j = 0; j < K; ++j) a[i][j] = centred(i, j);
  }
  alglib::real_1d_array tau;
  alglib::rmatrixqr(a, ng, K, tau);
  alglib::real_2d_array r;
  alglib::rmatrixqrunpackr(a, K, K, r);  // the leading K x K block only

  const double scale = std::sqrt(static_cast<double>(ng - 1));
  auto R = std::make_unique<Matrix>(K, K);
  for (int i = 0; i < K; ++i) {
    for (int j = 0; j < K; ++j) {
      const float value = static_cast<float>(r[i][j]);
      (*R)(i, j) = static_cast<float>(value / scale);
    }
  }

  VectorPtr s = SingularValues(*R);
  float sumLog = 0.0f;
  for (int i = 0; i < K; ++i) {
    // Written so that NaN fails too: a group of one sample has no spread to
    // scale by (0 / 0).
    if (!((*s)[i] > kMinSingularValue)) FailPlain(kNotPositiveDefinite);
    sumLog += std::log((*s)[i]);
  }
  *logDetSigma = 2.0f * sumLog;
  return R;
}

// x (1 x K) times the K x K matrix invR, with each column contiguous.
void TransformRow(const float* x, const Matrix& invR, float* out) {
  const int K = invR.rows();
  DotProductColumns(x, invR.data(), K, invR.cols(), K, out);
}

}  // namespace

void QDA::Train(const Matrix& T, const Vector& labels) {
  const int n = T.rows();
  const int K = T.cols();
  nfactors = K;
  if (labels.n() != n) FailPlain(kInconsistent);

  std::vector<int> group(static_cast<size_t>(n));
  int counts[2] = {0, 0};
  for (int i = 0; i < n; ++i) {
    // Labels are 0 or 1; truncation maps anything in [0, 2) to its group.
    if (!(labels[i] >= 0.0f && labels[i] < 2.0f)) {
      throw std::invalid_argument(Format("QDA::Train: label %g of sample %d", labels[i], i));
    }
    const int g = static_cast<int>(labels[i]);
    group[static_cast<size_t>(i)] = g;
    ++counts[g];
  }
  for (int g = 0; g < 2; ++g) {
    // An empty group has no mean at all, whatever K is.
    if (counts[g] < std::max(K, 1)) FailPlain(Format(kTooFewSamples, g + 1, counts[g], K));
  }

  MatrixPtr means = std::make_unique<Matrix>(2, K);
  MatrixPtr inverses[2];
  float logDets[2] = {0.0f, 0.0f};
  for (int g = 0; g < 2; ++g) {
    Matrix members(counts[g], K);
    int row = 0;
    for (int i = 0; i < n; ++i) {
      if (group[static_cast<size_t>(i)] != g) continue;
      for (int j = 0; j < K; ++j) members(row, j) = T(i, j);
      ++row;
    }
    for (int j = 0; j < K; ++j) {
      const float* column = members.Column(j);
      float sum = 0.0f;
      for (int i = 0; i < counts[g]; ++i) sum += column[i];
      (*means)(g, j) = sum / counts[g];
    }
    for (int j = 0; j < K; ++j) {
      float* column = members.Column(j);
      const float mean = (*means)(g, j);
      for (int i = 0; i < counts[g]; ++i) column[i] -= mean;
    }
    MatrixPtr R = ScaledTriangularFactor(members, &logDets[g]);
    inverses[g] = InvertMatrix(*R);
  }

  logPriori = kEqualPrior;
  logDetSigma1 = logDets[0];
  logDetSigma2 = logDets[1];
  invR1 = std::move(inverses[0]);
  SetInvR2(std::move(inverses[1]));
  SetGmeans(std::move(means));
}

void QDA::ClassifySample(const float* x, float* response, float* other) {
  if (nfactors == -1 || !invR1 || !invR2 || !gmean1 || !gmean2 || !work1 || !work2 || !work3) {
    Fatal("qda", "QDA::ClassifySample", kClassifySampleLine, kNotReady);
  }
  const int K = nfactors;

  SubtractVectors(x, gmean1->data(), work1->data(), K);
  TransformRow(work1->data(), *invR1, work3->data());
  const float distance1 = DotProduct(work3->data(), work3->data(), K);
  const float D1 = static_cast<float>(static_cast<double>(logPriori) -
                                      0.5 * (static_cast<double>(distance1) + logDetSigma1));

  SubtractVectors(x, gmean2->data(), work2->data(), K);
  TransformRow(work2->data(), *invR2, work3->data());
  const float distance2 = DotProduct(work3->data(), work3->data(), K);
  const float D2 = static_cast<float>(static_cast<double>(logPriori) -
                                      0.5 * (static_cast<double>(distance2) + logDetSigma2));

  // Subtracting the larger score keeps both exponentials in range.
  const float M = D1 > D2 ? D1 : D2;
  const float e1 = static_cast<float>(std::exp(static_cast<double>(D1 - M)));
  const float e2 = static_cast<float>(std::exp(static_cast<double>(D2 - M)));
  const float S = e2 + e1;
  *other = e1 / S;
  *response = 1.0f - *other;
}

void QDA::SetInvR2(MatrixPtr m) {
  nfactors = m->cols();
  invR2 = std::move(m);
  work1 = std::make_unique<Vector>(nfactors);
  work2 = std::make_unique<Vector>(nfactors);
  work3 = std::make_unique<Vector>(nfactors);
}

void QDA::SetGmeans(MatrixPtr m) {
  if (m->rows() != 2) {
    throw std::invalid_argument(Format("QDA::SetGmeans: %d rows, expected 2", m->rows()));
  }
  const int K = m->cols();
  gmean1 = std::make_unique<Vector>(K);
  gmean2 = std::make_unique<Vector>(K);
  for (int j = 0; j < K; ++j) {
    (*gmean1)[j] = (*m)(0, j);
    (*gmean2)[j] = (*m)(1, j);
  }
  Gmeans = std::move(m);
}

}  // namespace pedscan
