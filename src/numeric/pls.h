// Partial Least Squares over one response variable, computed by NIPALS.
//
// A new PLS holds nothing (every field null). RunNIPALS fills every field;
// SetModel installs stored parameters. After training only projection is
// needed: standardise with XMean/XStd, then multiply by Wstar (m x K).
// The PLS owns every field it holds.
#pragma once

#include "numeric/matrix.h"

namespace pedscan {

class PLS {
 public:
  // Trains on X (n x m) and y (n responses), requesting K factors; X and y
  // are overwritten (standardised, then deflated), so pass scratch copies.
  // Stops early, keeping the factor that reached it, when the cumulative
  // explained fraction of X (tested first) or of Y reaches its threshold,
  // printing the matching line (through PrintOutput, so that a worker's
  // capture holds it back). A NaN in the convergence test throws the plain
  // Failure "\nproblem during PLS: NaN\n"; a singular P'W throws through
  // InvertMatrix.
  void RunNIPALS(Matrix& X, Vector& y, int K, float explainedX, float explainedY);

  // Projects one sample of Wstar->rows() features onto the first
  // min(K, FactorsKept()) factors, writing that many values to out.
  // Requires a trained or loaded PLS. Allocates nothing. Returns the count.
  int ProjectSample(const float* x, float* out, int K);

  // Installs stored parameters (P may be null) and allocates the scratch.
  void SetModel(MatrixPtr W, MatrixPtr P, MatrixPtr Wstar, VectorPtr XMean, VectorPtr XStd,
                VectorPtr b);

  // Drops T, P and Y, which only classifier training needs.
  void ReleaseTrainingData();
  // Drops every field.
  void Clear();

  // Factors actually kept (Wstar->cols()), 0 when untrained.
  int FactorsKept() const { return Wstar ? Wstar->cols() : 0; }

  VectorPtr XMean;   // m
  VectorPtr XStd;    // m; a deviation below 1e-9 is stored as 1
  VectorPtr Y;       // n, the responses as passed in
  VectorPtr b;       // K
  MatrixPtr T;       // n x K, unit-length columns
  MatrixPtr P;       // m x K
  MatrixPtr W;       // m x K, unit-length columns
  MatrixPtr Wstar;   // m x K = W (P'W)^-1
  VectorPtr scratch; // m, the standardised sample during a projection
};

}  // namespace pedscan
