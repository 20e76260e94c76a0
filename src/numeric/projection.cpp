#include "numeric/projection.h"

#include <algorithm>
#include <cstddef>

#include "numeric/dispatch.h"
#include "numeric/kernels.h"

namespace pedscan {

void ProjectStandardizedColumns(const float* x, const float* mean, const float* std,
                                const float* columns, int m, int count, float* out) {
  NumericKernelsNow().projectStandardizedColumns(x, mean, std, columns, m, count, out);
}

void PackColumns(const float* columns, int m, int count, float* packed) {
  const int body = m & ~3;
  for (int i = 0; i < body; i += 4) {
    for (int g = 0; g < count; g += 2) {
      const int width = std::min(2, count - g);
      for (int c = g; c < g + width; ++c) {
        for (int l = 0; l < 4; ++l) *packed++ = columns[static_cast<size_t>(c) * m + i + l];
      }
    }
  }
  for (int g = 0; g < count; ++g) {
    for (int i = body; i < m; ++i) *packed++ = columns[static_cast<size_t>(g) * m + i];
  }
}

void ProjectPackedColumns(const float* x, const float* mean, const float* std,
                          const float* packed, int m, int count, float* out) {
  NumericKernelsNow().projectPackedColumns(x, mean, std, packed, m, count, out);
}

int ProjectSampleFused(PLS& pls, const float* x, float* out, int K) {
  const int count = std::min(K, pls.FactorsKept());
  if (count <= 0) return 0;
  if (count > kFusedFactorLimit) return pls.ProjectSample(x, out, K);
  ProjectStandardizedColumns(x, pls.XMean->data(), pls.XStd->data(), pls.Wstar->data(),
                             pls.Wstar->rows(), count, out);
  return count;
}

}  // namespace pedscan
