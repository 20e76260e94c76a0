// Small trained models for the model and storage tests: two Gaussian clouds
// of raw feature vectors, block models trained on them, and a window model on
// the block outputs. No feature extraction is involved: the blocks' feature
// counts are set by hand.
#pragma once

#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/model.h"
#include "support/failure.h"

namespace pedscan {
namespace testing_model {

// n x m samples, feature j drawn from N(mean + shift * (j % 3 == 0), 1).
inline MatrixPtr GaussianRows(int n, int m, float shift, std::mt19937& rng) {
  std::normal_distribution<float> noise(0.0f, 1.0f);
  auto X = std::make_unique<Matrix>(n, m);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < m; ++j) (*X)(i, j) = noise(rng) + (j % 3 == 0 ? shift : 0.0f);
  }
  return X;
}

// Columns [first, first + count) of X.
inline MatrixPtr ColumnSlice(const Matrix& X, int first, int count) {
  auto slice = std::make_unique<Matrix>(X.rows(), count);
  std::memcpy(slice->data(), X.Column(first), sizeof(float) * X.rows() * count);
  return slice;
}

// The matrices side by side.
inline MatrixPtr ConcatColumns(const std::vector<MatrixPtr>& parts) {
  int cols = 0;
  for (const MatrixPtr& part : parts) cols += part->cols();
  auto all = std::make_unique<Matrix>(parts.front()->rows(), cols);
  int at = 0;
  for (const MatrixPtr& part : parts) {
    std::memcpy(all->Column(at), part->data(), sizeof(float) * part->rows() * part->cols());
    at += part->cols();
  }
  return all;
}

// Row i of X as a contiguous vector.
inline std::vector<float> Row(const Matrix& X, int i) {
  std::vector<float> row(static_cast<size_t>(X.cols()));
  for (int j = 0; j < X.cols(); ++j) row[static_cast<size_t>(j)] = X(i, j);
  return row;
}

struct ModelShape {
  int blocks = 4;            // 16 x 16 blocks over a 32 x 32 window
  int featuresPerBlock = 6;
  int blockFactors = 3;      // ignored with rawBlocks
  int windowFactors = 4;
  bool rawBlocks = false;
  bool qda = true;           // else PLS regression
  int samples = 300;         // per class
  float shift = 1.5f;
};

// A model laid out and trained as the training driver does it: block PLS per
// block (or raw blocks), the block outputs side by side, then the window PLS
// and the classifier. PLS regression writes bstar.matrix to the working
// directory.
inline std::unique_ptr<Model> TrainedModel(const ModelShape& shape, unsigned seed = 7) {
  std::mt19937 rng(seed);
  auto model = std::make_unique<Model>();
  model->modelID = "synthetic";
  model->windowW = 32;
  model->windowH = 32;
  model->objX0 = 4;
  model->objY0 = 2;
  model->objW = 24;
  model->objH = 28;
  model->nfactors = shape.windowFactors;
  model->useQDA = shape.qda;
  model->usePLSReg = !shape.qda;
  model->FeatureParameters["setA"] = {{"UseHOG", "1"}, {"UseColorFrequency", "0"}};
  model->FeatureParameters["setB"] = {{"bins", "16"}};

  const int m = shape.blocks * shape.featuresPerBlock;
  MatrixPtr positives = GaussianRows(shape.samples, m, shape.shift, rng);
  MatrixPtr negatives = GaussianRows(shape.samples, m, 0.0f, rng);

  std::vector<MatrixPtr> posOut;
  std::vector<MatrixPtr> negOut;
  for (int b = 0; b < shape.blocks; ++b) {
    auto block = std::make_unique<BlockModel>();
    block->rect = BlockRect{(b % 2) * 16, (b / 2 % 2) * 16, 16, 16, (b % 2) * 16 + 15,
                            (b / 2 % 2) * 16 + 15};
    block->feature = b % 2 == 0 ? "HOG" : "COOCH";
    block->params = b % 2 == 0 ? "setA" : "setB";
    block->instanceIndex = b % 2;
    block->nfeatures = shape.featuresPerBlock;
    MatrixPtr pos = ColumnSlice(*positives, b * shape.featuresPerBlock, shape.featuresPerBlock);
    MatrixPtr neg = ColumnSlice(*negatives, b * shape.featuresPerBlock, shape.featuresPerBlock);
    if (!shape.rawBlocks) block->CreatePLSModel(*pos, *neg, shape.blockFactors, 1.0f, 1.0f);
    posOut.push_back(block->GetProjection(*pos));
    negOut.push_back(block->GetProjection(*neg));
    model->blockModels.push_back(std::move(block));
  }
  model->SetNumberOfRawFeatures(m);
  MatrixPtr pos = ConcatColumns(posOut);
  MatrixPtr neg = ConcatColumns(negOut);
  model->nfeatures = pos->cols();
  model->CreatePLSModel(*pos, *neg);
  return model;
}

// Moves the process into a fresh directory for the lifetime of the object,
// so that files written to the working directory stay out of the tree.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::string& path) {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) != nullptr) previous_ = buffer;
    if (chdir(path.c_str()) != 0) ADD_FAILURE() << "cannot enter " << path;
  }
  ~ScopedWorkingDirectory() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) ADD_FAILURE() << "cannot leave";
  }
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

 private:
  std::string previous_;
};

// The fatal report as the user sees it.
inline std::string FatalText(const std::string& source, const std::string& function, int line,
                             const std::string& message) {
  return ".\\" + source + ".cpp(" + function + "." + std::to_string(line) + "): \n  " + message +
         "\n";
}

// The failure `call` must raise.
template <typename Call>
Failure FailureOf(Call call) {
  try {
    call();
  } catch (const Failure& failure) {
    return failure;
  }
  ADD_FAILURE() << "no failure";
  return Failure(Failure::Form::kPlain, "", 0);
}

// Same bits, so that NaN results and signed zeros compare as they are.
inline bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace testing_model
}  // namespace pedscan
