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

// The most factors the fused projections below take in one pass.
constexpr int kFusedFactorLimit = 10;

// out[k] = DotProduct((x - mean) / std, column k) for k < count, where column
// k starts at columns + k * m: the projection of PLS::ProjectSample with the
// same bits, the standardisation fused into the four-lane dot products so
// that the standardised sample never goes through memory and all columns
// share one pass. Requires 1 <= count <= kFusedFactorLimit. Allocates nothing.
void ProjectStandardizedColumns(const float* x, const float* mean, const float* std,
                                const float* columns, int m, int count, float* out);

// The columns of ProjectStandardizedColumns (count of them, m values each)
// rearranged for ProjectPackedColumns: for each group of four features, the
// four values of columns 0 and 1, then of 2 and 3, and so on (the last
// column alone when count is odd); then each column's last m mod 4 values.
// Writes m * count values to packed.
void PackColumns(const float* columns, int m, int count, float* packed);
// ProjectStandardizedColumns, bit for bit, on columns laid out by
// PackColumns: two columns share each eight-lane multiply and add.
void ProjectPackedColumns(const float* x, const float* mean, const float* std,
                          const float* packed, int m, int count, float* out);

// PLS::ProjectSample with the same bits, fused as above for up to
// kFusedFactorLimit factors (the factor counts of real block and window
// models). Projects onto the first min(K, factors kept) columns of Wstar,
// writes that many values to out and returns the count. Requires a trained or
// loaded PLS. Allocates nothing.
int ProjectSampleFused(PLS& pls, const float* x, float* out, int K);

// Appends the blocks of one block size over every region, rows outer and
// columns inner, to `blocks`. A region narrower or lower than the block
// yields none. Requires width, height and both steps of at least 1 (the model
// set-up rejects anything else); otherwise nothing is laid out.
void LayoutBlocks(const BlockSize& size, const std::string& method, const std::string& paramSet,
                  const std::vector<BlockRect>& regions,
                  std::vector<std::unique_ptr<BlockModel>>& blocks);

}  // namespace pedscan
