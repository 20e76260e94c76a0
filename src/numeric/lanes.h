// Arithmetic of eight independent computations at once, one per lane of
// an AVX register: each lane takes exactly the steps its scalar
// computation would, so each result keeps its bits.
#pragma once

#if defined(__AVX__)
#include <immintrin.h>

namespace pedscan {

// DotProduct's four-lane sum for eight values at once: term(i) is the i-th
// product of every lane. Lane k of the definition sums the terms with
// i = k (mod 4) of the largest multiple of four, the tail goes to lane 0 one
// by one, and the lanes fold as ((lane1 + lane0) + lane2) + lane3.
template <typename Term>
inline __m256 DotProductLanes(int n, Term term) {
  __m256 lane0 = _mm256_setzero_ps(), lane1 = lane0, lane2 = lane0, lane3 = lane0;
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    lane0 = _mm256_add_ps(lane0, term(i));
    lane1 = _mm256_add_ps(lane1, term(i + 1));
    lane2 = _mm256_add_ps(lane2, term(i + 2));
    lane3 = _mm256_add_ps(lane3, term(i + 3));
  }
  for (; i < n; ++i) lane0 = _mm256_add_ps(lane0, term(i));
  return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(lane1, lane0), lane2), lane3);
}

// The fold of DotProduct's four lane sums.
inline __m256 FoldLanes(__m256 lane0, __m256 lane1, __m256 lane2, __m256 lane3) {
  return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(lane1, lane0), lane2), lane3);
}

// Transposes the 8 x 8 floats of rows r[0..7] in place.
inline void Transpose8x8(__m256* r) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
  const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
  const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
  const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
  const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
  const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
  const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
  const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
  const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

}  // namespace pedscan

#endif
