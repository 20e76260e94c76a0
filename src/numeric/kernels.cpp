#include "numeric/kernels.h"

#include "numeric/dispatch.h"

namespace pedscan {

float DotProductScalar(const float* a, const float* b, int n) {
  // One running sum in index order; the unrolling only saves loop overhead,
  // it does not split the sum.
  float sum = 0.0f;
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    sum += a[i] * b[i];
    sum += a[i + 1] * b[i + 1];
    sum += a[i + 2] * b[i + 2];
    sum += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float DotProduct(const float* a, const float* b, int n) {
  return NumericKernelsNow().dotProduct(a, b, n);
}

void DotProductColumns(const float* x, const float* columns, int stride, int count, int n,
                       float* out) {
  NumericKernelsNow().dotProductColumns(x, columns, stride, count, n, out);
}

void Standardize(const float* x, const float* mean, const float* std, float* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = (x[i] - mean[i]) / std[i];
}

void SubtractVectors(const float* a, const float* b, float* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

void DivideByScalar(const float* x, float s, float* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = x[i] / s;
}

void FillRange(float* values, int start, int count, float value) {
  for (int i = 0; i < count; ++i) values[start + i] = value;
}

}  // namespace pedscan
