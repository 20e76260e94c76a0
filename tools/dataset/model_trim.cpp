#include "model_trim.h"

#include <memory>

#include "model/Storage.h"

namespace pedscan {
namespace {

// One row of zeros as wide as the scores were; no row when they had none.
MatrixPtr TrimmedScores(int rows, int factors) {
  return std::make_unique<Matrix>(rows > 0 ? 1 : 0, factors);
}

// One zero label; none when there were none.
VectorPtr TrimmedLabels(int labels) { return std::make_unique<Vector>(labels > 0 ? 1 : 0); }

}  // namespace

int TrimTrainingRecords(Model& model) {
  // The reader has already dropped the window scores and labels; their
  // shape follows from the factors the window PLS kept, which are the
  // columns of its scores.
  const int factors = model.pls.FactorsKept();
  model.pls.T = TrimmedScores(factors, factors);
  model.pls.Y = TrimmedLabels(factors);
  int trimmed = 2;
  if (model.usePLSReg && model.PLSReg) {
    PLSRegression& regression = *model.PLSReg;
    regression.T = TrimmedScores(regression.T ? regression.T->rows() : 0,
                                 regression.T ? regression.T->cols() : 0);
    regression.Y = TrimmedLabels(regression.Y ? regression.Y->n() : 0);
    trimmed += 2;
  }
  return trimmed;
}

int TrimModelFile(const std::string& in, const std::string& out) {
  std::unique_ptr<Model> model = Storage().ReadModel(in);
  const int trimmed = TrimTrainingRecords(*model);
  Storage().WriteModel(*model, out);
  return trimmed;
}

}  // namespace pedscan
