// Vector kernels of the inner loops. None allocates.
#pragma once

namespace pedscan {

// Sum of a[i] * b[i] in single precision, four elements per step in index
// order, then the remaining n mod 4.
float DotProductScalar(const float* a, const float* b, int n);

// The four-lane dot product used by projections, QDA and the extractors:
// lane k sums the products with index = k (mod 4) of the largest multiple of
// four; the n mod 4 tail products are added to lane 0 one by one; the result
// is ((lane1 + lane0) + lane2) + lane3. Vectorised, bit-identical to that.
float DotProduct(const float* a, const float* b, int n);

// The fold that ends DotProduct: ((lane1 + lane0) + lane2) + lane3 of four
// lane sums stored side by side. Every kernel that keeps DotProduct's bits
// folds its lanes here.
inline float FoldFourLanes(const float* lane) {
  return ((lane[1] + lane[0]) + lane[2]) + lane[3];
}

// out[c] = DotProduct(x, columns + c * stride, n) for c in [0, count), each
// bit-identical to the single call; several columns run side by side, which
// is what projections onto the contiguous columns of a Matrix want.
void DotProductColumns(const float* x, const float* columns, int stride, int count, int n,
                       float* out);

// out[i] = (x[i] - mean[i]) / std[i].
void Standardize(const float* x, const float* mean, const float* std, float* out, int n);
// out[i] = a[i] - b[i].
void SubtractVectors(const float* a, const float* b, float* out, int n);
// out[i] = x[i] / s.
void DivideByScalar(const float* x, float s, float* out, int n);
// values[start .. start + count - 1] = value.
void FillRange(float* values, int start, int count, float value);

}  // namespace pedscan
