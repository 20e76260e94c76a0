// Arithmetic of four, eight or sixteen independent computations at once, one
// per lane of an SSE, AVX or AVX-512 register: each lane takes exactly the
// steps its scalar computation would, so each result keeps its bits.
//
// Pack4 (SSE2, always there on x86-64), Pack8 (AVX2) and Pack16 (AVX-512
// with fused multiply-adds) hold as many single-precision lanes, with
// integer lanes of the same count, and offer the same operations under the
// same names, so that one template serves every width. They hold no state.
//
// Everything here lives in the namespace of the instruction set being
// compiled (numeric/dispatch.h), so that the copies of a kernel source
// compiled for different sets never share an out-of-line function.
#pragma once

#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "numeric/dispatch.h"

namespace pedscan {
namespace PEDSCAN_KERNELS {

inline __m128 AddLanes(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
#if defined(__AVX__)
inline __m256 AddLanes(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
#endif
#if defined(__AVX512F__)
inline __m512 AddLanes(__m512 a, __m512 b) { return _mm512_add_ps(a, b); }
#endif

// The fold of DotProduct's four lane sums.
template <typename V>
inline V FoldLanes(V lane0, V lane1, V lane2, V lane3) {
  return AddLanes(AddLanes(AddLanes(lane1, lane0), lane2), lane3);
}

// DotProduct's four-lane sum for every lane of a register at once: term(i)
// is the i-th product of every lane. Lane k of the definition sums the
// terms with i = k (mod 4) of the largest multiple of four, the tail goes to
// lane 0 one by one, and the lanes fold as ((lane1 + lane0) + lane2) + lane3.
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

// The slot of a key in a table of (key bits, value) pairs of 32-bit words
// indexed by a multiplicative hash of the bits: the index of the key word,
// the value following it. `shift` is 32 minus the log2 of the slot count.
constexpr uint32_t kSlotHash = 2654435761u;
inline uint32_t HashSlot(uint32_t bits, int shift) { return ((bits * kSlotHash) >> shift) * 2; }

// Transposes the 8 x 8 block of 16-bit values in rows r[0..7] in place.
inline void Transpose8x8(__m128i* r) {
  const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]);
  const __m128i t1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]);
  const __m128i t3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i t4 = _mm_unpacklo_epi16(r[4], r[5]);
  const __m128i t5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i t6 = _mm_unpacklo_epi16(r[6], r[7]);
  const __m128i t7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i u0 = _mm_unpacklo_epi32(t0, t2);
  const __m128i u1 = _mm_unpackhi_epi32(t0, t2);
  const __m128i u2 = _mm_unpacklo_epi32(t1, t3);
  const __m128i u3 = _mm_unpackhi_epi32(t1, t3);
  const __m128i u4 = _mm_unpacklo_epi32(t4, t6);
  const __m128i u5 = _mm_unpackhi_epi32(t4, t6);
  const __m128i u6 = _mm_unpacklo_epi32(t5, t7);
  const __m128i u7 = _mm_unpackhi_epi32(t5, t7);
  r[0] = _mm_unpacklo_epi64(u0, u4);
  r[1] = _mm_unpackhi_epi64(u0, u4);
  r[2] = _mm_unpacklo_epi64(u1, u5);
  r[3] = _mm_unpackhi_epi64(u1, u5);
  r[4] = _mm_unpacklo_epi64(u2, u6);
  r[5] = _mm_unpackhi_epi64(u2, u6);
  r[6] = _mm_unpacklo_epi64(u3, u7);
  r[7] = _mm_unpackhi_epi64(u3, u7);
}

// The operations every pack offers, F a register of floats, I one of 32-bit
// integers:
//   Zero, Set1(x), Load(p) and Store(p, a) (aligned to the register), Add,
//   Sub, Mul, Div, Sqrt (each correctly rounded, lane by lane), ToFloat(I);
//   NonZero(a): bit b set when lane b is not zero;
//   Select(mask, a, b): lane i of b where bit i of mask is set, else of a;
//   Quotients(k, n, r): k / n from the rounded reciprocal r of n: the
//     product k r lies within about an ulp of the quotient, and one
//     correction with the exact residual k - q n (a fused multiply-add)
//     rounds it to the quotient where the caller has checked that it does.
//     Without fused multiply-adds it divides;
//   Gather(table, index): lane b reads table[index lane b];
//   LoadTransposed16(arrays, first, out): values first..first + 7 of each
//     lane's array of 16-bit integers (16-byte aligned at `first`), value j
//     of lane b going to lane b of out[j], widened to 32 bits. Returns bit j
//     set when value j is non-zero in some lane; returns 0, writing nothing,
//     when all are zero;
//   LookUp(slots, keys, shift, found): the value words of the keys' slots
//     (HashSlot) in `slots`; *found tells whether every slot holds its key.

struct Pack4 {
  using F = __m128;
  using I = __m128i;
  static constexpr int kLanes = 4;
  static F Zero() { return _mm_setzero_ps(); }
  static F Set1(float x) { return _mm_set1_ps(x); }
  static F Load(const float* in) { return _mm_load_ps(in); }
  static void Store(float* out, F a) { _mm_store_ps(out, a); }
  static F Add(F a, F b) { return _mm_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm_mul_ps(a, b); }
  static F Div(F a, F b) { return _mm_div_ps(a, b); }
  static F Sqrt(F a) { return _mm_sqrt_ps(a); }
  static F ToFloat(I a) { return _mm_cvtepi32_ps(a); }
  static uint32_t NonZero(F a) {
    return static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpneq_ps(a, Zero())));
  }
  static F Select(uint32_t mask, F a, F b) {
    const __m128i bit = _mm_setr_epi32(1, 2, 4, 8);
    const __m128 chosen = _mm_castsi128_ps(
        _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(static_cast<int>(mask)), bit), bit));
    return _mm_or_ps(_mm_and_ps(chosen, b), _mm_andnot_ps(chosen, a));
  }
  static F Quotients(F k, F n, F r) {
#if defined(__FMA__)
    const F q = _mm_mul_ps(k, r);
    return _mm_fmadd_ps(_mm_fnmadd_ps(q, n, k), r, q);
#else
    (void)r;
    return _mm_div_ps(k, n);
#endif
  }
  // Without a gather instruction the lanes are read one by one.
  static F Gather(const float* table, I index) {
    return _mm_setr_ps(table[_mm_cvtsi128_si32(index)],
                       table[_mm_cvtsi128_si32(_mm_shuffle_epi32(index, 0x55))],
                       table[_mm_cvtsi128_si32(_mm_shuffle_epi32(index, 0xAA))],
                       table[_mm_cvtsi128_si32(_mm_shuffle_epi32(index, 0xFF))]);
  }
  static uint32_t LoadTransposed16(const uint16_t* const* arrays, int first, I* out) {
    __m128i r[kLanes];
    __m128i any = _mm_setzero_si128();
    for (int b = 0; b < kLanes; ++b) {
      r[b] = _mm_load_si128(reinterpret_cast<const __m128i*>(arrays[b] + first));
      any = _mm_or_si128(any, r[b]);
    }
    const __m128i zero = _mm_setzero_si128();
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) == 0xFFFF) return 0;
    // Values 0..3 and 4..7 of lanes 0, 1 and of lanes 2, 3 interleaved, then
    // value pairs of all four lanes, then one value per register, widened.
    const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]);
    const __m128i t1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]);
    const __m128i t3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i pairs[4] = {_mm_unpacklo_epi32(t0, t2), _mm_unpackhi_epi32(t0, t2),
                              _mm_unpacklo_epi32(t1, t3), _mm_unpackhi_epi32(t1, t3)};
    uint32_t filled = 0;
    for (int j = 0; j < 8; ++j) {
      const __m128i v = pairs[j / 2];
      out[j] = (j % 2 == 0) ? _mm_unpacklo_epi16(v, zero) : _mm_unpackhi_epi16(v, zero);
      filled |= static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi32(out[j], zero)) != 0xFFFF)
                << j;
    }
    return filled;
  }
  static F LookUp(const int32_t* slots, F keys, int shift, bool* found) {
    alignas(16) uint32_t bits[kLanes];
    _mm_store_si128(reinterpret_cast<__m128i*>(bits), _mm_castps_si128(keys));
    float values[kLanes];
    bool all = true;
    for (int b = 0; b < kLanes; ++b) {
      const uint32_t at = HashSlot(bits[b], shift);
      all = all && static_cast<uint32_t>(slots[at]) == bits[b];
      std::memcpy(&values[b], slots + at + 1, sizeof(float));
    }
    *found = all;
    return _mm_setr_ps(values[0], values[1], values[2], values[3]);
  }
};

#if defined(__AVX__)
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
#endif

#if defined(__AVX2__)
struct Pack8 {
  using F = __m256;
  using I = __m256i;
  static constexpr int kLanes = 8;
  static F Zero() { return _mm256_setzero_ps(); }
  static F Set1(float x) { return _mm256_set1_ps(x); }
  static F Load(const float* in) { return _mm256_load_ps(in); }
  static void Store(float* out, F a) { _mm256_store_ps(out, a); }
  static F Add(F a, F b) { return _mm256_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F Div(F a, F b) { return _mm256_div_ps(a, b); }
  static F Sqrt(F a) { return _mm256_sqrt_ps(a); }
  static F ToFloat(I a) { return _mm256_cvtepi32_ps(a); }
  static uint32_t NonZero(F a) {
    return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(a, Zero(), _CMP_NEQ_UQ)));
  }
  static F Select(uint32_t mask, F a, F b) {
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i chosen = _mm256_cmpeq_epi32(
        _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(mask)), bit), bit);
    return _mm256_blendv_ps(a, b, _mm256_castsi256_ps(chosen));
  }
  static F Quotients(F k, F n, F r) {
#if defined(__FMA__)
    const F q = _mm256_mul_ps(k, r);
    return _mm256_fmadd_ps(_mm256_fnmadd_ps(q, n, k), r, q);
#else
    (void)r;
    return _mm256_div_ps(k, n);
#endif
  }
  static F Gather(const float* table, I index) { return _mm256_i32gather_ps(table, index, 4); }
  static uint32_t LoadTransposed16(const uint16_t* const* arrays, int first, I* out) {
    __m128i rows[8];
    __m128i any = _mm_setzero_si128();
    for (int b = 0; b < kLanes; ++b) {
      rows[b] = _mm_load_si128(reinterpret_cast<const __m128i*>(arrays[b] + first));
      any = _mm_or_si128(any, rows[b]);
    }
    if (_mm_testz_si128(any, any)) return 0;
    Transpose8x8(rows);
    uint32_t filled = 0;
    for (int j = 0; j < 8; ++j) {
      out[j] = _mm256_cvtepu16_epi32(rows[j]);
      filled |= static_cast<uint32_t>(!_mm_testz_si128(rows[j], rows[j])) << j;
    }
    return filled;
  }
  static F LookUp(const int32_t* slots, F keys, int shift, bool* found) {
    const I bits = _mm256_castps_si256(keys);
    const I at = _mm256_slli_epi32(
        _mm256_srli_epi32(_mm256_mullo_epi32(bits, _mm256_set1_epi32(static_cast<int>(kSlotHash))),
                          shift),
        1);
    const I cached = _mm256_i32gather_epi32(slots, at, 4);
    *found = _mm256_movemask_epi8(_mm256_cmpeq_epi32(cached, bits)) == -1;
    return _mm256_i32gather_ps(reinterpret_cast<const float*>(slots + 1), at, 4);
  }
};
#endif

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__FMA__)
// GCC 12's AVX-512 intrinsics start from deliberately undefined registers,
// which its own warning mistakes for uninitialised reads (the templates that
// use the pack switch the warning off around their instantiation too).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
struct Pack16 {
  using F = __m512;
  using I = __m512i;
  static constexpr int kLanes = 16;
  static F Zero() { return _mm512_setzero_ps(); }
  static F Set1(float x) { return _mm512_set1_ps(x); }
  static F Load(const float* in) { return _mm512_load_ps(in); }
  static void Store(float* out, F a) { _mm512_store_ps(out, a); }
  static F Add(F a, F b) { return _mm512_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static F Div(F a, F b) { return _mm512_div_ps(a, b); }
  static F Sqrt(F a) { return _mm512_sqrt_ps(a); }
  static F ToFloat(I a) { return _mm512_cvtepi32_ps(a); }
  static uint32_t NonZero(F a) { return _mm512_cmp_ps_mask(a, Zero(), _CMP_NEQ_UQ); }
  static F Select(uint32_t mask, F a, F b) {
    return _mm512_mask_blend_ps(static_cast<__mmask16>(mask), a, b);
  }
  static F Quotients(F k, F n, F r) {
    const F q = _mm512_mul_ps(k, r);
    return _mm512_fmadd_ps(_mm512_fnmadd_ps(q, n, k), r, q);
  }
  // Lanes with index 0 read nothing and take table[0], which the callers'
  // tables hold as 0.
  static F Gather(const float* table, I index) {
    return _mm512_mask_i32gather_ps(Zero(), _mm512_test_epi32_mask(index, index), index, table, 4);
  }
  static uint32_t LoadTransposed16(const uint16_t* const* arrays, int first, I* out) {
    __m128i low[8];
    __m128i high[8];
    __m128i any = _mm_setzero_si128();
    for (int b = 0; b < 8; ++b) {
      low[b] = _mm_load_si128(reinterpret_cast<const __m128i*>(arrays[b] + first));
      high[b] = _mm_load_si128(reinterpret_cast<const __m128i*>(arrays[b + 8] + first));
      any = _mm_or_si128(any, _mm_or_si128(low[b], high[b]));
    }
    if (_mm_testz_si128(any, any)) return 0;
    Transpose8x8(low);
    Transpose8x8(high);
    uint32_t filled = 0;
    for (int j = 0; j < 8; ++j) {
      const __m256i value = _mm256_set_m128i(high[j], low[j]);
      out[j] = _mm512_cvtepu16_epi32(value);
      filled |= static_cast<uint32_t>(!_mm256_testz_si256(value, value)) << j;
    }
    return filled;
  }
  static F LookUp(const int32_t* slots, F keys, int shift, bool* found) {
    const I bits = _mm512_castps_si512(keys);
    const I at = _mm512_slli_epi32(
        _mm512_srli_epi32(_mm512_mullo_epi32(bits, _mm512_set1_epi32(static_cast<int>(kSlotHash))),
                          shift),
        1);
    const I cached = _mm512_i32gather_epi32(at, slots, 4);
    *found = _mm512_cmpeq_epi32_mask(cached, bits) == 0xFFFF;
    return _mm512_i32gather_ps(at, reinterpret_cast<const float*>(slots + 1), 4);
  }
};
#pragma GCC diagnostic pop
#endif

}  // namespace PEDSCAN_KERNELS
}  // namespace pedscan
