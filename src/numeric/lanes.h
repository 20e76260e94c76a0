// Arithmetic of eight or sixteen independent computations at once, one per
// lane of an AVX or AVX-512 register: each lane takes exactly the steps its
// scalar computation would, so each result keeps its bits.
#pragma once

#if defined(__AVX__)
#include <immintrin.h>

namespace pedscan {

inline __m256 AddLanes(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
#if defined(__AVX512F__)
inline __m512 AddLanes(__m512 a, __m512 b) { return _mm512_add_ps(a, b); }
#endif

// The fold of DotProduct's four lane sums.
template <typename V>
inline V FoldLanes(V lane0, V lane1, V lane2, V lane3) {
  return AddLanes(AddLanes(AddLanes(lane1, lane0), lane2), lane3);
}

// DotProduct's four-lane sum for every lane of a register at once (eight or
// sixteen values): term(i) is the i-th product of every lane. Lane k of the
// definition sums the terms with i = k (mod 4) of the largest multiple of
// four, the tail goes to lane 0 one by one, and the lanes fold as
// ((lane1 + lane0) + lane2) + lane3.
template <typename Term>
inline auto DotProductLanes(int n, Term term) {
  using V = decltype(term(0));
  V lane0{}, lane1{}, lane2{}, lane3{};
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    lane0 = AddLanes(lane0, term(i));
    lane1 = AddLanes(lane1, term(i + 1));
    lane2 = AddLanes(lane2, term(i + 2));
    lane3 = AddLanes(lane3, term(i + 3));
  }
  for (; i < n; ++i) lane0 = AddLanes(lane0, term(i));
  return FoldLanes(lane0, lane1, lane2, lane3);
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
