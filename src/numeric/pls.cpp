#include "numeric/pls.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "numeric/kernels.h"
#include "support/failure.h"
#include "support/output_capture.h"

namespace pedscan {

namespace {

constexpr char kNaN[] = "\nproblem during PLS: NaN\n";
constexpr char kReachedX[] = "reached percentage explained of X variable, stopping\n";
constexpr char kReachedY[] = "reached percentage explained of Y variable, stopping\n";

// A deviation this small means a constant feature; dividing by it would
// blow noise up, so such a feature is left unscaled (and centred to 0).
constexpr double kMinDeviation = 1e-9;
constexpr float kConvergence = 1e-6f;
constexpr int kMaxPasses = 100;

// Mean and deviation (denominator n - 1) of n contiguous values, both summed
// in single precision in index order.
void MeanAndDeviation(const float* values, int n, float* mean, float* deviation) {
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) sum += values[i];
  const float mu = sum / n;
  float squares = 0.0f;
  for (int i = 0; i < n; ++i) {
    const float centred = values[i] - mu;
    squares += centred * centred;
  }
  float sigma = std::sqrt(squares / (n - 1));
  if (sigma < kMinDeviation) sigma = 1.0f;
  *mean = mu;
  *deviation = sigma;
}

// v <- v / |v|, by multiplying with the reciprocal norm. A zero vector turns
// into NaNs, which the convergence test then reports.
void Normalize(float* v, int n) {
  const float inverse = 1.0f / std::sqrt(DotProduct(v, v, n));
  for (int i = 0; i < n; ++i) v[i] *= inverse;
}

double SquaredNormDouble(const float* v, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += static_cast<double>(v[i]) * v[i];
  return sum;
}

// out = X v for column-major X: a sum of the columns scaled by v, column by
// column, so every out[i] adds its terms in column order.
void MultiplyColumns(const Matrix& X, const float* v, float* out) {
  const int n = X.rows();
  std::fill(out, out + n, 0.0f);
  for (int j = 0; j < X.cols(); ++j) {
    const float* column = X.Column(j);
    const float vj = v[j];
    for (int i = 0; i < n; ++i) out[i] += column[i] * vj;
  }
}

// out = X' v: one dot product per column.
void MultiplyTransposed(const Matrix& X, const float* v, float* out) {
  DotProductColumns(v, X.data(), X.rows(), X.cols(), X.rows(), out);
}

std::vector<int> FirstIndices(int count) {
  std::vector<int> index(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) index[static_cast<size_t>(i)] = i;
  return index;
}

}  // namespace

void PLS::RunNIPALS(Matrix& X, Vector& y, int K, float explainedX, float explainedY) {
  const int n = X.rows();
  const int m = X.cols();
  if (y.n() != n) {
    throw std::invalid_argument(Format("PLS::RunNIPALS: %d responses for %d samples", y.n(), n));
  }
  if (K < 0) K = 0;
  Clear();

  Y = y.Copy();
  XMean = std::make_unique<Vector>(m);
  XStd = std::make_unique<Vector>(m);

  for (int j = 0; j < m; ++j) {
    float* column = X.Column(j);
    MeanAndDeviation(column, n, &(*XMean)[j], &(*XStd)[j]);
    const float mean = (*XMean)[j];
    const float deviation = (*XStd)[j];
    for (int i = 0; i < n; ++i) column[i] = (column[i] - mean) / deviation;
  }
  float yMean = 0.0f;
  float yDeviation = 1.0f;
  MeanAndDeviation(y.data(), n, &yMean, &yDeviation);
  for (int i = 0; i < n; ++i) y[i] = (y[i] - yMean) / yDeviation;

  T = std::make_unique<Matrix>(n, K);
  P = std::make_unique<Matrix>(m, K);
  W = std::make_unique<Matrix>(m, K);
  b = std::make_unique<Vector>(K);

  const double ssy = SquaredNormDouble(y.data(), n);
  double ssx = 0.0;
  for (int j = 0; j < m; ++j) ssx += SquaredNormDouble(X.Column(j), n);
  double explainedSoFarX = 0.0;
  double explainedSoFarY = 0.0;

  // Work vectors, reused by every factor.
  std::vector<float> t(static_cast<size_t>(n));
  std::vector<float> tOld(static_cast<size_t>(n));
  std::vector<float> w(static_cast<size_t>(m));
  std::vector<float> p(static_cast<size_t>(m));

  int kept = K;
  for (int k = 0; k < K; ++k) {
    std::copy(y.data(), y.data() + n, t.begin());
    Normalize(t.data(), n);
    // u starts as the normalised response (t itself: the first pass reads u
    // before it overwrites t) and is the deflated response from then on; with
    // a single response it never needs its own copy.
    const float* u = t.data();

    int passes = 0;
    float d = 0.0f;
    do {
      std::copy(t.begin(), t.end(), tOld.begin());
      MultiplyTransposed(X, u, w.data());
      Normalize(w.data(), m);
      MultiplyColumns(X, w.data(), t.data());
      Normalize(t.data(), n);
      u = y.data();
      d = 0.0f;
      for (int i = 0; i < n; ++i) {
        const float change = tOld[static_cast<size_t>(i)] - t[static_cast<size_t>(i)];
        d += change * change;
      }
      if (std::isnan(d)) FailPlain(kNaN);
      ++passes;
    } while (d > kConvergence && passes < kMaxPasses);

    MultiplyTransposed(X, t.data(), p.data());
    const float bk = DotProductScalar(u, t.data(), n);
    (*b)[k] = bk;
    std::copy(p.begin(), p.end(), P->Column(k));
    std::copy(w.begin(), w.end(), W->Column(k));
    std::copy(t.begin(), t.end(), T->Column(k));

    for (int j = 0; j < m; ++j) {
      float* column = X.Column(j);
      const float pj = p[static_cast<size_t>(j)];
      for (int i = 0; i < n; ++i) column[i] -= t[static_cast<size_t>(i)] * pj;
    }
    for (int i = 0; i < n; ++i) y[i] -= bk * t[static_cast<size_t>(i)];

    const double tt = SquaredNormDouble(T->Column(k), n);
    explainedSoFarX += SquaredNormDouble(P->Column(k), m) * tt / ssx;
    explainedSoFarY += tt * (static_cast<double>(bk) * bk) / ssy;

    if (explainedSoFarX >= explainedX) {
      PrintOutput(kReachedX);
      kept = k + 1;
      break;
    }
    if (explainedSoFarY >= explainedY) {
      PrintOutput(kReachedY);
      kept = k + 1;
      break;
    }
  }

  const std::vector<int> first = FirstIndices(kept);
  T = SelectColumns(*T, first);
  P = SelectColumns(*P, first);
  W = SelectColumns(*W, first);
  b = SelectElements(*b, first);

  MatrixPtr Pt = TransposeMatrix(*P);
  MatrixPtr PtW = MultiplyMatrices(*Pt, *W);
  MatrixPtr inverse = InvertMatrix(*PtW);
  Wstar = MultiplyMatrices(*W, *inverse);
  scratch = std::make_unique<Vector>(Wstar->rows());
}

int PLS::ProjectSample(const float* x, float* out, int K) {
  const int count = std::min(K, FactorsKept());
  if (count <= 0) return 0;
  const int m = Wstar->rows();
  Standardize(x, XMean->data(), XStd->data(), scratch->data(), m);
  DotProductColumns(scratch->data(), Wstar->data(), m, count, m, out);
  return count;
}

void PLS::SetModel(MatrixPtr W_, MatrixPtr P_, MatrixPtr Wstar_, VectorPtr XMean_,
                   VectorPtr XStd_, VectorPtr b_) {
  W = std::move(W_);
  P = std::move(P_);
  Wstar = std::move(Wstar_);
  XMean = std::move(XMean_);
  XStd = std::move(XStd_);
  b = std::move(b_);
  scratch = std::make_unique<Vector>(Wstar ? Wstar->rows() : 0);
}

void PLS::ReleaseTrainingData() {
  T.reset();
  P.reset();
  Y.reset();
}

void PLS::Clear() {
  XMean.reset();
  XStd.reset();
  Y.reset();
  b.reset();
  T.reset();
  P.reset();
  W.reset();
  Wstar.reset();
  scratch.reset();
}

}  // namespace pedscan
