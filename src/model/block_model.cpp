#include "model/block_model.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "numeric/kernels.h"
#include "numeric/projection.h"
#include "support/failure.h"

namespace pedscan {

namespace {

constexpr const char* kSource = "block_model";
constexpr int kTrainColumnsLine = 30;
constexpr int kProjectColumnsLine = 77;
constexpr const char* kColumnsMessage =
    "inconsistent number of features (matrix must have same number of feature of the block!";

}  // namespace

void BlockModel::CreatePLSModel(const Matrix& positives, const Matrix& negatives, int k,
                                float explainedY, float explainedX) {
  if (positives.cols() != nfeatures) {
    Fatal(kSource, "BlockModel::CreatePLSModel", kTrainColumnsLine, kColumnsMessage);
  }
  MatrixPtr X = StackRows(&negatives, positives);
  // Only the split into two values matters: the PLS standardises the labels.
  Vector y(X->rows());
  FillRange(y.data(), 0, negatives.rows(), 1.0f);
  FillRange(y.data(), negatives.rows(), positives.rows(), 2.0f);

  pls.RunNIPALS(*X, y, k, explainedX, explainedY);
  nfactors = k;
  raw = false;
  // T, P and Y serve only classifier training, which happens at window level.
  pls.ReleaseTrainingData();
}

MatrixPtr BlockModel::GetProjection(const Matrix& X) {
  if (X.cols() != nfeatures) {
    Fatal(kSource, "BlockModel::GetProjection", kProjectColumnsLine, kColumnsMessage);
  }
  if (raw) return CopyMatrix(X);

  const int n = X.rows();
  const int outputs = OutputLength();
  MatrixPtr result = CreateMatrix(n, outputs);
  // One row at a time through two buffers sized for this block, so that no
  // block size can overrun them.
  std::vector<float> row(static_cast<size_t>(std::max(nfeatures, 0)));
  std::vector<float> projected(static_cast<size_t>(std::max(outputs, 1)));
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < nfeatures; ++j) row[static_cast<size_t>(j)] = X(i, j);
    ProjectSlice(row.data(), projected.data());
    for (int k = 0; k < outputs; ++k) (*result)(i, k) = projected[static_cast<size_t>(k)];
  }
  return result;
}

void BlockModel::ProjectSlice(const float* slice, float* out) {
  if (raw) {
    std::memcpy(out, slice, sizeof(float) * static_cast<size_t>(std::max(nfeatures, 0)));
    return;
  }
  ProjectSampleFused(pls, slice, out, nfactors);
}

int BlockModel::OutputLength() const {
  if (raw) return std::max(nfeatures, 0);
  return std::max(0, std::min(nfactors, pls.FactorsKept()));
}

void LayoutBlocks(const BlockSize& size, const std::string& method, const std::string& paramSet,
                  const std::vector<BlockRect>& regions,
                  std::vector<std::unique_ptr<BlockModel>>& blocks) {
  // Wide arithmetic: region corners come from a configuration file, and
  // y1 - height + 1 must not overflow for any of them.
  const int64_t width = size.width;
  const int64_t height = size.height;
  if (width < 1 || height < 1 || size.xStep < 1 || size.yStep < 1) return;
  for (const BlockRect& region : regions) {
    for (int64_t y = region.y0; y <= region.y1 - height + 1; y += size.yStep) {
      for (int64_t x = region.x0; x <= region.x1 - width + 1; x += size.xStep) {
        auto block = std::make_unique<BlockModel>();
        block->rect.x0 = static_cast<int32_t>(x);
        block->rect.y0 = static_cast<int32_t>(y);
        block->rect.height = size.height;
        block->rect.width = size.width;
        block->rect.x1 = static_cast<int32_t>(x + width - 1);
        block->rect.y1 = static_cast<int32_t>(y + height - 1);
        block->feature = method;
        block->params = paramSet;
        blocks.push_back(std::move(block));
      }
    }
  }
}

}  // namespace pedscan
