#include "numeric/kernels.h"

#include <immintrin.h>

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

namespace {

// Folds the four lane sums in the order every caller's results depend on.
inline float CombineLanes(__m128 lanes) {
  alignas(16) float lane[4];
  _mm_store_ps(lane, lanes);
  return FoldFourLanes(lane);
}

inline __m128 AddTailToLaneZero(__m128 lanes, const float* a, const float* b, int begin, int n) {
  // The tail goes into lane 0 product by product, after the vector part.
  float lane0 = _mm_cvtss_f32(lanes);
  for (int i = begin; i < n; ++i) lane0 += a[i] * b[i];
  return _mm_move_ss(lanes, _mm_set_ss(lane0));
}

}  // namespace

float DotProduct(const float* a, const float* b, int n) {
  // Each SSE lane k accumulates the products with index = k (mod 4) in index
  // order: exactly the four lane sums of the definition, with a separate
  // multiply and add (no fused multiply-add).
  __m128 acc = _mm_setzero_ps();
  const int body = n & ~3;
  for (int i = 0; i < body; i += 4) {
    acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  }
  return CombineLanes(AddTailToLaneZero(acc, a, b, body, n));
}

void DotProductColumns(const float* x, const float* columns, int stride, int count, int n,
                       float* out) {
  // Four columns at a time: four independent lane sets keep the adder busy,
  // while each column's own sums run in the same order as DotProduct.
  const int body = n & ~3;
  int c = 0;
  for (; c + 4 <= count; c += 4) {
    const float* c0 = columns + static_cast<size_t>(c) * stride;
    const float* c1 = c0 + stride;
    const float* c2 = c1 + stride;
    const float* c3 = c2 + stride;
    __m128 acc0 = _mm_setzero_ps();
    __m128 acc1 = _mm_setzero_ps();
    __m128 acc2 = _mm_setzero_ps();
    __m128 acc3 = _mm_setzero_ps();
    for (int i = 0; i < body; i += 4) {
      const __m128 xi = _mm_loadu_ps(x + i);
      acc0 = _mm_add_ps(acc0, _mm_mul_ps(xi, _mm_loadu_ps(c0 + i)));
      acc1 = _mm_add_ps(acc1, _mm_mul_ps(xi, _mm_loadu_ps(c1 + i)));
      acc2 = _mm_add_ps(acc2, _mm_mul_ps(xi, _mm_loadu_ps(c2 + i)));
      acc3 = _mm_add_ps(acc3, _mm_mul_ps(xi, _mm_loadu_ps(c3 + i)));
    }
    out[c] = CombineLanes(AddTailToLaneZero(acc0, x, c0, body, n));
    out[c + 1] = CombineLanes(AddTailToLaneZero(acc1, x, c1, body, n));
    out[c + 2] = CombineLanes(AddTailToLaneZero(acc2, x, c2, body, n));
    out[c + 3] = CombineLanes(AddTailToLaneZero(acc3, x, c3, body, n));
  }
  for (; c < count; ++c) out[c] = DotProduct(x, columns + static_cast<size_t>(c) * stride, n);
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
