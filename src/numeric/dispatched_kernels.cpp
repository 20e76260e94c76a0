// The numeric kernels compiled once per instruction set (numeric/dispatch.h):
// the four-lane dot products and the fused block projections. The code
// chooses its registers by the compiler's flags; every choice keeps the bits
// of the four-lane definition.
#include <algorithm>
#include <cstddef>

#include <immintrin.h>

#include "numeric/dispatch.h"
#include "numeric/kernels.h"

namespace pedscan {
namespace PEDSCAN_KERNELS {

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

namespace {

#if defined(__SSE2__)

// out[g] = DotProduct((x - mean) / std, column g) for G columns m apart. Each
// column keeps its own four lanes, summed in index order, and its tail goes
// into lane 0 one product at a time, so every result has the bits of the
// single DotProduct over the standardised sample.
template <int G>
void ProjectGroup(const float* x, const float* mean, const float* std, const float* columns,
                  int m, float* out) {
  const size_t stride = static_cast<size_t>(m);
  __m128 acc[G];
  for (int g = 0; g < G; ++g) acc[g] = _mm_setzero_ps();
  const int body = m & ~3;
  for (int i = 0; i < body; i += 4) {
    const __m128 s =
        _mm_div_ps(_mm_sub_ps(_mm_loadu_ps(x + i), _mm_loadu_ps(mean + i)), _mm_loadu_ps(std + i));
    for (int g = 0; g < G; ++g) {
      acc[g] = _mm_add_ps(acc[g], _mm_mul_ps(s, _mm_loadu_ps(columns + g * stride + i)));
    }
  }
  // The tail's standardised values serve every column: computed once.
  float standardized[3];
  for (int i = body; i < m; ++i) standardized[i - body] = (x[i] - mean[i]) / std[i];
  for (int g = 0; g < G; ++g) {
    alignas(16) float lane[4];
    _mm_store_ps(lane, acc[g]);
    const float* column = columns + g * stride;
    for (int i = body; i < m; ++i) lane[0] += standardized[i - body] * column[i];
    out[g] = FoldFourLanes(lane);
  }
}

#endif

}  // namespace

void ProjectStandardizedColumns(const float* x, const float* mean, const float* std,
                                const float* columns, int m, int count, float* out) {
#if defined(__SSE2__)
  switch (count) {
    case 1: return ProjectGroup<1>(x, mean, std, columns, m, out);
    case 2: return ProjectGroup<2>(x, mean, std, columns, m, out);
    case 3: return ProjectGroup<3>(x, mean, std, columns, m, out);
    case 4: return ProjectGroup<4>(x, mean, std, columns, m, out);
    case 5: return ProjectGroup<5>(x, mean, std, columns, m, out);
    case 6: return ProjectGroup<6>(x, mean, std, columns, m, out);
    case 7: return ProjectGroup<7>(x, mean, std, columns, m, out);
    case 8: return ProjectGroup<8>(x, mean, std, columns, m, out);
    case 9: return ProjectGroup<9>(x, mean, std, columns, m, out);
    case 10: return ProjectGroup<10>(x, mean, std, columns, m, out);
    default: return;
  }
#else
  // The same four lanes in plain code, one column at a time.
  const int body = m & ~3;
  for (int k = 0; k < count; ++k) {
    const float* column = columns + static_cast<size_t>(k) * m;
    float lane[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < body; i += 4) {
      for (int l = 0; l < 4; ++l) lane[l] += (x[i + l] - mean[i + l]) / std[i + l] * column[i + l];
    }
    for (int i = body; i < m; ++i) lane[0] += (x[i] - mean[i]) / std[i] * column[i];
    out[k] = FoldFourLanes(lane);
  }
#endif
}

namespace {

#if defined(__AVX__)
// Column 2p's four lane sums sit in the low half of pairs[p], column 2p + 1's
// in the high half; an odd last column has a register of its own.
template <int G>
void ProjectPacked(const float* x, const float* mean, const float* std, const float* packed,
                   int m, float* out) {
  constexpr int kPairs = G / 2;
  __m256 pairs[kPairs > 0 ? kPairs : 1];
  for (int p = 0; p < kPairs; ++p) pairs[p] = _mm256_setzero_ps();
  __m128 single = _mm_setzero_ps();
  const int body = m & ~3;
  for (int i = 0; i < body; i += 4) {
    const __m128 s =
        _mm_div_ps(_mm_sub_ps(_mm_loadu_ps(x + i), _mm_loadu_ps(mean + i)), _mm_loadu_ps(std + i));
    const __m256 both = _mm256_insertf128_ps(_mm256_castps128_ps256(s), s, 1);
    for (int p = 0; p < kPairs; ++p) {
      pairs[p] = _mm256_add_ps(pairs[p], _mm256_mul_ps(both, _mm256_loadu_ps(packed)));
      packed += 8;
    }
    if (G % 2 == 1) {
      single = _mm_add_ps(single, _mm_mul_ps(s, _mm_loadu_ps(packed)));
      packed += 4;
    }
  }
  // The tail's standardised values serve every column: computed once.
  float standardized[3];
  for (int i = body; i < m; ++i) standardized[i - body] = (x[i] - mean[i]) / std[i];
  const float* tail = packed;
  for (int g = 0; g < G; ++g) {
    alignas(16) float lane[4];
    if (g / 2 < kPairs) {
      _mm_store_ps(lane, g % 2 == 0 ? _mm256_castps256_ps128(pairs[g / 2])
                                    : _mm256_extractf128_ps(pairs[g / 2], 1));
    } else {
      _mm_store_ps(lane, single);
    }
    for (int i = body; i < m; ++i) lane[0] += standardized[i - body] * *tail++;
    out[g] = FoldFourLanes(lane);
  }
}
#endif

}  // namespace

void ProjectPackedColumns(const float* x, const float* mean, const float* std,
                          const float* packed, int m, int count, float* out) {
#if defined(__AVX__)
  switch (count) {
    case 1: return ProjectPacked<1>(x, mean, std, packed, m, out);
    case 2: return ProjectPacked<2>(x, mean, std, packed, m, out);
    case 3: return ProjectPacked<3>(x, mean, std, packed, m, out);
    case 4: return ProjectPacked<4>(x, mean, std, packed, m, out);
    case 5: return ProjectPacked<5>(x, mean, std, packed, m, out);
    case 6: return ProjectPacked<6>(x, mean, std, packed, m, out);
    case 7: return ProjectPacked<7>(x, mean, std, packed, m, out);
    case 8: return ProjectPacked<8>(x, mean, std, packed, m, out);
    case 9: return ProjectPacked<9>(x, mean, std, packed, m, out);
    case 10: return ProjectPacked<10>(x, mean, std, packed, m, out);
    default: return;
  }
#else
  // The same four lanes per column, read from the packed layout.
  const int body = m & ~3;
  for (int k = 0; k < count; ++k) {
    float lane[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < body; i += 4) {
      // Before quad i: i / 4 whole quads of count columns; in it, the pairs
      // before k's.
      const float* column = packed + static_cast<size_t>(i) * count + 4 * k;
      for (int l = 0; l < 4; ++l) lane[l] += (x[i + l] - mean[i + l]) / std[i + l] * column[l];
    }
    const float* tail = packed + static_cast<size_t>(body) * count + static_cast<size_t>(k) * (m - body);
    for (int i = body; i < m; ++i) lane[0] += (x[i] - mean[i]) / std[i] * tail[i - body];
    out[k] = FoldFourLanes(lane);
  }
#endif
}

extern const NumericKernels kNumericKernels = {&DotProduct, &DotProductColumns,
                                              &ProjectStandardizedColumns, &ProjectPackedColumns};

}  // namespace PEDSCAN_KERNELS
}  // namespace pedscan
