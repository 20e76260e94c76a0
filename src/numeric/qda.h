// Two-class quadratic discriminant classifier on PLS scores.
//
// Group 1 is label 0 (background), group 2 label 1 (object). Each group keeps
// the inverse of its scaled triangular QR factor, so that R'R is the group's
// sample covariance; the covariance itself is never formed. A new QDA has
// nfactors -1 and the three reals at -1. The QDA owns every field it holds.
#pragma once

#include "numeric/matrix.h"

namespace pedscan {

class QDA {
 public:
  // Trains on the n x K scores T and n labels (0 or 1). Plain Failures:
  // "number of factors for classification is inconsistent\n" when the label
  // count differs from n; a group with no more samples than factors; "The
  // covariance matrix of each group in TRAINING must be positive definite.\n".
  void Train(const Matrix& T, const Vector& labels);

  // Writes response = posterior of group 2 and other = 1 - ... see the
  // algorithm: other = e1 / S, response = 1 - other. x holds nfactors values.
  // Allocates nothing. Fatal "load parameters or train QDA first" when
  // neither trained nor loaded.
  void ClassifySample(const float* x, float* response, float* other);

  // Installers used by the model-file reader.
  void SetInvR2(MatrixPtr m);   // also sets nfactors and allocates the work vectors
  void SetGmeans(MatrixPtr m);  // also fills gmean1 and gmean2

  float logPriori = -1.0f;
  float logDetSigma1 = -1.0f;
  float logDetSigma2 = -1.0f;
  MatrixPtr Gmeans;  // 2 x K
  VectorPtr gmean1;
  VectorPtr gmean2;
  MatrixPtr invR1;   // K x K
  MatrixPtr invR2;   // K x K
  int nfactors = -1;
  VectorPtr work1;
  VectorPtr work2;
  VectorPtr work3;
};

}  // namespace pedscan
