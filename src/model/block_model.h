// One feature block of a model: its rectangle inside the detection window,
// its feature method and parameter set, and, unless it is raw, its own small
// PLS that reduces the block's features to a few factors.
//
// A new block is raw, with instanceIndex, nfeatures and nfactors at -1.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/parameters.h"
#include "numeric/pls.h"
#include "support/geometry.h"

namespace pedscan {

class BlockModel {
 public:
  // Trains the block PLS on negatives (label 1) stacked over positives
  // (label 2). Fatal (block_model, line 30) when positives.cols() differs
  // from nfeatures.
  void CreatePLSModel(const Matrix& positives, const Matrix& negatives, int k, float explainedY,
                      float explainedX);

  // The block outputs of every row of X (n x nfeatures): n x OutputLength(),
  // or a copy of X when raw. Fatal (block_model, line 77) on a column mismatch.
  MatrixPtr GetProjection(const Matrix& X);

  // Projects the block's slice of a raw feature vector (nfeatures values) onto
  // the factors its PLS kept, or copies it when raw; writes OutputLength()
  // values. Requires a trained or loaded PLS unless raw. Allocates nothing.
  void ProjectSlice(const float* slice, float* out);

  // Values this block contributes to the model input: nfeatures when raw,
  // else the factors its PLS actually kept (at most nfactors).
  int OutputLength() const;

  BlockRect rect;
  std::string feature;  // feature method name
  std::string params;   // parameter-set name
  int instanceIndex = -1;
  int nfeatures = -1;
  PLS pls;
  bool raw = true;
  int nfactors = -1;
};

// Appends the blocks of one block size over every region, rows outer and
// columns inner, to `blocks`. A region narrower or lower than the block
// yields none. Requires width, height and both steps of at least 1 (the model
// set-up rejects anything else); otherwise nothing is laid out.
void LayoutBlocks(const BlockSize& size, const std::string& method, const std::string& paramSet,
                  const std::vector<BlockRect>& regions,
                  std::vector<std::unique_ptr<BlockModel>>& blocks);

}  // namespace pedscan
