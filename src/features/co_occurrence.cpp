#include "features/co_occurrence.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "numeric/kernels.h"
#include "numeric/lanes.h"
#include "support/failure.h"

namespace pedscan {
namespace {

constexpr char kSource[] = "co_occurrence";

constexpr int kInvalidBandLine = 36;
// A caller's precondition, on a line of its own.
constexpr int kImageTypeLine = 450;
constexpr char kInvalidBandMessage[] = "Invalid color band used for co-occurrence features!";

constexpr int kInvalidParametersLine = 92;
constexpr char kInvalidParametersMessage[] = "Invalid parameters for co-occurrence matrix";

constexpr char kMissingTableMessage[] = "Error, need to define log table to size %d\n";

// Added inside the logarithms so that an empty bin never reaches log10(0).
constexpr float kTableOffset = 1e-6f;
constexpr float kHistogramOffset = 0.00001f;
// Keeps the correlation finite for a block with a single level.
constexpr float kDeviationOffset = 0.0001f;

// The pair counts of square blocks of 8, 16 and 32 pixels at distance 1 (one
// per direction group) and the divisor each table was built with.
struct TableSize {
  int pairs;
  int divisor;
};
constexpr TableSize kTableSizes[] = {{450, 451},   {480, 481}, {1922, 1923},
                                     {1984, 1985}, {112, 112}, {98, 98}};

// A matrix with room for the shifted reads of Histograms before its start
// (down to P[-15]) and past its end (up to P[256]).
constexpr int kFrontPadding = 16;
// Rounded up to a multiple of 8 floats so that every matrix of an array of
// them starts 32-byte aligned.
constexpr int kPadded = (kFrontPadding + 15 * 15 + 32 + 16 + 7) / 8 * 8;

// The sum histogram's bins 0..33 (r + c + 2 reaches 32; 33 stays empty).
constexpr int kSumBins = 34;

using OrderedCounts = uint16_t[Cooccurrence::kDirections][2][Cooccurrence::kCells];

inline void Count(uint16_t* cells, int first, int second) {
  ++cells[first + Cooccurrence::kLevels * second];
}

// Counts the pairs that start in one block row of `width` pixels and end in
// the same row (direction 0) or in the row `d` below (directions 1 to 3):
// pair (u, w) in cell u + 16 w. `below` is null for the last d rows. The four
// directions run side by side and even and odd pixels count into two copies,
// so that runs of equal levels do not wait on the previous increment of the
// same cell.
inline void CountRow(OrderedCounts& counts, const uint8_t* row, const uint8_t* below, int width,
                     int d) {
  const int n = width - d;  // pairs per direction except the vertical one
  if (below == nullptr) {
    for (int i = 0; i < n; ++i) Count(counts[0][i & 1], row[i], row[i + d]);
    return;
  }
  for (int i = 0; i < n; ++i) {
    const int copy = i & 1;
    Count(counts[0][copy], row[i], row[i + d]);
    Count(counts[1][copy], row[i + d], below[i]);
    Count(counts[2][copy], row[i], below[i]);
    Count(counts[3][copy], row[i], below[i + d]);
  }
  for (int i = std::max(n, 0); i < width; ++i) Count(counts[2][i & 1], row[i], below[i]);
}

#if defined(__SSE2__)
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
#endif

// out = A + transpose(A) with A = a + b, all 16 x 16.
inline void SymmetricCounts(const uint16_t* a, const uint16_t* b, uint16_t* out) {
  constexpr int L = Cooccurrence::kLevels;
#if defined(__SSE2__)
  // Block (i, j) holds rows 8 i.. and columns 8 j..; the result's block
  // (i, j) is A's block (i, j) plus the transpose of A's block (j, i).
  __m128i block[2][2][8];
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      for (int k = 0; k < 8; ++k) {
        const int at = (8 * i + k) * L + 8 * j;
        block[i][j][k] =
            _mm_add_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(a + at)),
                          _mm_load_si128(reinterpret_cast<const __m128i*>(b + at)));
      }
    }
  }
  __m128i transposed[2][2][8];
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      for (int k = 0; k < 8; ++k) transposed[i][j][k] = block[j][i][k];
      Transpose8x8(transposed[i][j]);
    }
  }
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      for (int k = 0; k < 8; ++k) {
        _mm_store_si128(reinterpret_cast<__m128i*>(out + (8 * i + k) * L + 8 * j),
                        _mm_add_epi16(block[i][j][k], transposed[i][j][k]));
      }
    }
  }
#else
  for (int i = 0; i < L; ++i) {
    for (int j = 0; j < L; ++j) {
      out[i * L + j] = static_cast<uint16_t>(a[i * L + j] + b[i * L + j] + a[j * L + i] +
                                             b[j * L + i]);
    }
  }
#endif
}

// Bit i set when p[i] is not zero, for i = 0..31; p is 32-byte aligned.
inline uint32_t NonZeroMask(const float* p) {
#if defined(__AVX__)
  const __m256 zero = _mm256_setzero_ps();
  uint32_t mask = 0;
  for (int i = 0; i < 4; ++i) {
    const __m256 v = _mm256_load_ps(p + 8 * i);
    mask |= static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(v, zero, _CMP_NEQ_UQ)))
            << (8 * i);
  }
  return mask;
#else
  uint32_t mask = 0;
  for (int i = 0; i < 32; ++i) mask |= static_cast<uint32_t>(p[i] != 0.0f) << i;
  return mask;
#endif
}

// The sum histogram (bins 0..33, bin r + c + 2 receiving P(r, c)) and the
// difference histogram (bin |r - c|) of the matrix P, whose storage must be
// readable from P[-15] to P[256] with zeros outside the 256 cells.
//
// Both accumulate the cells in flat order (column outer, row inner), bin by
// bin. Each step below adds one column's terms to all bins at once; a bin
// receives its terms in the same order as in the flat walk, and the masked
// terms are +0, which leaves a non-negative sum as it is.
inline void Histograms(const float* P, float* sums, float* differences) {
  constexpr int L = Cooccurrence::kLevels;
#if defined(__AVX2__)
  // Sum histogram: in column c, bin j + 2 receives P[15 c + j] for
  // c <= j < c + 16.
  __m256 s[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                 _mm256_setzero_ps()};
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (int c = 0; c < L; ++c) {
    const __m256i low = _mm256_set1_epi32(c - 1);
    const __m256i high = _mm256_set1_epi32(c + L);
    for (int q = 0; q < 4; ++q) {
      const __m256i j = _mm256_add_epi32(lane, _mm256_set1_epi32(8 * q));
      const __m256i inside = _mm256_and_si256(_mm256_cmpgt_epi32(j, low), _mm256_cmpgt_epi32(high, j));
      const __m256 terms = _mm256_and_ps(_mm256_loadu_ps(P + 15 * c + 8 * q), _mm256_castsi256_ps(inside));
      s[q] = _mm256_add_ps(s[q], terms);
    }
  }
  sums[0] = 0.0f;
  sums[1] = 0.0f;
  for (int q = 0; q < 4; ++q) _mm256_storeu_ps(sums + 2 + 8 * q, s[q]);

  // Difference histogram: in column c, bin k receives P(c - k, c) =
  // P[17 c - k] for 1 <= k <= c (rows above the diagonal, read backwards)
  // before P(c + k, c) = P[17 c + k] for k <= 15 - c.
  __m256 d[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
  const __m256i backwards = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  for (int c = 0; c < L; ++c) {
    const __m256i cv = _mm256_set1_epi32(c);
    const __m256i lastBelow = _mm256_set1_epi32(L - 1 - c);
    const float* diagonal = P + 17 * c;
    const __m256 above[2] = {
        _mm256_permutevar8x32_ps(_mm256_loadu_ps(diagonal - 7), backwards),
        _mm256_permutevar8x32_ps(_mm256_loadu_ps(diagonal - 15), backwards)};
    for (int q = 0; q < 2; ++q) {
      const __m256i k = _mm256_add_epi32(lane, _mm256_set1_epi32(8 * q));
      const __m256i isAbove = _mm256_andnot_si256(_mm256_cmpgt_epi32(k, cv),
                                                  _mm256_cmpgt_epi32(k, _mm256_setzero_si256()));
      d[q] = _mm256_add_ps(d[q], _mm256_and_ps(above[q], _mm256_castsi256_ps(isAbove)));
      const __m256i isBelow = _mm256_andnot_si256(_mm256_cmpgt_epi32(k, lastBelow),
                                                  _mm256_set1_epi32(-1));
      d[q] = _mm256_add_ps(d[q], _mm256_and_ps(_mm256_loadu_ps(diagonal + 8 * q),
                                               _mm256_castsi256_ps(isBelow)));
    }
  }
  _mm256_storeu_ps(differences, d[0]);
  _mm256_storeu_ps(differences + 8, d[1]);
#else
  for (int i = 0; i < 34; ++i) sums[i] = 0.0f;
  for (int c = 0; c < L; ++c) {
    for (int j = 0; j < 32; ++j) sums[j + 2] += (j >= c && j < c + L) ? P[15 * c + j] : 0.0f;
  }
  for (int k = 0; k < L; ++k) differences[k] = 0.0f;
  for (int c = 0; c < L; ++c) {
    for (int k = 0; k < L; ++k) differences[k] += (k >= 1 && k <= c) ? P[17 * c - k] : 0.0f;
    for (int k = 0; k < L; ++k) differences[k] += (k <= L - 1 - c) ? P[17 * c + k] : 0.0f;
  }
#endif
}

// The dot products of three cell tables with the four matrices (kPadded
// apart from `matrices`): out[t][dir] is DotProduct(table t, matrix dir,
// 256) bit for bit. Each eight-lane register holds the four lane sums of two
// directions, so one multiply and one add serve two dot products; the lanes
// are folded as DotProduct folds them.
inline void CellTableProducts(const float* const* tables, const float* matrices,
                              float (*out)[Cooccurrence::kDirections]) {
#if defined(__AVX__)
  const float* m[Cooccurrence::kDirections];
  for (int dir = 0; dir < Cooccurrence::kDirections; ++dir) m[dir] = matrices + dir * kPadded;
  __m256 acc[3][2];
  for (int t = 0; t < 3; ++t) acc[t][0] = acc[t][1] = _mm256_setzero_ps();
  for (int i = 0; i < Cooccurrence::kCells; i += 4) {
    const __m256 m01 =
        _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(m[0] + i)), _mm_load_ps(m[1] + i), 1);
    const __m256 m23 =
        _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(m[2] + i)), _mm_load_ps(m[3] + i), 1);
    for (int t = 0; t < 3; ++t) {
      const __m256 x = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(tables[t] + i));
      acc[t][0] = _mm256_add_ps(acc[t][0], _mm256_mul_ps(x, m01));
      acc[t][1] = _mm256_add_ps(acc[t][1], _mm256_mul_ps(x, m23));
    }
  }
  for (int t = 0; t < 3; ++t) {
    for (int pair = 0; pair < 2; ++pair) {
      alignas(32) float lane[8];
      _mm256_store_ps(lane, acc[t][pair]);
      out[t][2 * pair] = FoldFourLanes(lane);
      out[t][2 * pair + 1] = FoldFourLanes(lane + 4);
    }
  }
#else
  for (int t = 0; t < 3; ++t) {
    DotProductColumns(tables[t], matrices, kPadded, Cooccurrence::kDirections,
                      Cooccurrence::kCells, out[t]);
  }
#endif
}

// k / n rounded to single precision, as the division gives it, from the
// rounded reciprocal r of n: the product k r lies within about an ulp of the
// quotient, and one correction with the exact residual k - q n (a fused
// multiply-add) rounds it to the quotient. Initialize checks every count of
// every table against the division and keeps the division for a table where
// any differs.
inline float QuotientByReciprocal(float k, float n, float r) {
  const float q = k * r;
  return std::fma(std::fma(-q, n, k), r, q);
}

#if defined(__AVX2__) && defined(__FMA__)
inline __m256 QuotientsByReciprocal(__m256 k, __m256 n, __m256 r) {
  const __m256 q = _mm256_mul_ps(k, r);
  return _mm256_fmadd_ps(_mm256_fnmadd_ps(q, n, k), r, q);
}
#elif defined(__AVX2__)
// Without fused multiply-adds the correction cannot be exact; every table
// then keeps the division (Initialize checks with the scalar form, whose
// std::fma is exact on any processor).
inline __m256 QuotientsByReciprocal(__m256 k, __m256 n, __m256) { return _mm256_div_ps(k, n); }
#endif

// The band values, written without branches so that a row converts as one
// vectorised loop.
//
// Hue: 0 when all channels are equal; otherwise, with the test sequence
// "red is the largest", then "green equals blue", then the rest:
// h = (f / (max - min) + k) / 6 * 255 truncated, plus 255 when negative.
// When all channels are equal the first branch gives f = 0 and k = 0, so the
// only special case left is the zero divisor, replaced by 1. Single
// precision throughout: in double, pure blue's 4 / 6 * 255 lands just below
// 170 and would truncate to 169; in float it rounds to 170.
inline int HueOf(int red, int green, int blue) {
  const int maximum = std::max(red, std::max(green, blue));
  const int minimum = std::min(red, std::min(green, blue));
  const bool redLargest = red == maximum;
  const bool greenIsBlue = green == blue;
  const int f = redLargest ? green - blue : (greenIsBlue ? blue - red : red - green);
  const int k = redLargest ? 0 : (greenIsBlue ? 2 : 4);
  const int range = std::max(maximum - minimum, 1);
  const int h = static_cast<int>(
      (static_cast<float>(f) / static_cast<float>(range) + static_cast<float>(k)) / 6.0f * 255.0f);
  return h < 0 ? h + 255 : h;
}

// Saturation: (max - min) / max * 255 truncated; 0 when all channels are
// equal, which the zero numerator gives by itself once a zero maximum is
// replaced by 1.
inline int SaturationOf(int red, int green, int blue) {
  const int maximum = std::max(red, std::max(green, blue));
  const int minimum = std::min(red, std::min(green, blue));
  return static_cast<int>(static_cast<float>(maximum - minimum) /
                          static_cast<float>(std::max(maximum, 1)) * 255.0f);
}

}  // namespace

int Cooccurrence::Hue(int red, int green, int blue) { return HueOf(red, green, blue); }

int Cooccurrence::Saturation(int red, int green, int blue) {
  return SaturationOf(red, green, blue);
}

int Cooccurrence::Value(int red, int green, int blue) {
  return std::max(red, std::max(green, blue));
}

void Cooccurrence::SetParameters(const ParameterMap& params) {
  for (const auto& [key, value] : params) {
    if (key == "bins") {
      bins_ = std::atoi(value.c_str());
    } else if (key == "distance") {
      distance_ = std::atoi(value.c_str());
    } else if (key == "cache") {
      // The feature control reads it; the method has nothing to do with it.
    } else {
      FailPlain(Format("Parameter '%s' invalid for feature '%s'\n", key.c_str(),
                       GetName().c_str()));
    }
  }
  // A bins value below 16 would give levels beyond 15, outside the matrices.
  if (bins_ < kLevels || distance_ < 1) {
    Fatal(kSource, "Cooccurrence::SetParameters", kInvalidParametersLine,
          kInvalidParametersMessage);
  }
}

void Cooccurrence::Initialize() {
  if (initialized_) return;
  for (int c = 0; c < kLevels; ++c) {
    for (int r = 0; r < kLevels; ++r) {
      const int cell = r + kLevels * c;
      cellTables_[kRowTimesColumn][cell] = static_cast<float>(r * c);
      cellTables_[kRow][cell] = static_cast<float>(r);
      cellTables_[kInverseDifference][cell] = 1.0f / static_cast<float>((r - c) * (r - c) + 1);
    }
  }
  for (int i = 0; i < 33; ++i) index_[i] = static_cast<float>(i);
  for (int k = 0; k < kLevels; ++k) squares_[k] = static_cast<float>(k * k);

  try {
    entropyTables_.clear();
    for (const TableSize& size : kTableSizes) {
      const int n = size.pairs;
      EntropyTableEntry table;
      table.pairs = n;
      table.values.resize(n + 1);
      table.probability.resize(n + 1);
      table.square.resize(n + 1);
      table.entropyTerm.resize(n + 1);
      table.values[0] = 0.0f;
      // c / S is a single-precision division, like every step of the table.
      for (int c = 1; c <= n; ++c) {
        table.values[c] =
            log10f(static_cast<float>(c) / static_cast<float>(size.divisor) + kTableOffset);
      }
      table.reciprocal = 1.0f / static_cast<float>(n);
#if defined(__FMA__)
      table.reciprocalExact = true;
#else
      table.reciprocalExact = false;
#endif
      for (int k = 0; k <= n; ++k) {
        const float p = static_cast<float>(k) / static_cast<float>(n);
        const float byReciprocal =
            QuotientByReciprocal(static_cast<float>(k), static_cast<float>(n), table.reciprocal);
        if (std::memcmp(&p, &byReciprocal, sizeof(p)) != 0) table.reciprocalExact = false;
        table.probability[k] = p;
        table.square[k] = p * p;
        // The product p * N is exact in double; its truncation can fall one
        // below k when p was rounded down, and that entry is the one read.
        table.entropyTerm[k] =
            table.values[static_cast<int>(static_cast<double>(p) * static_cast<double>(n))] * p;
      }
      entropyTables_.push_back(std::move(table));
    }
  } catch (const std::bad_alloc&) {
    // The one failure of the set-up; it goes to the error stream with status 1.
    throw Failure(Failure::Form::kParser, "memory allocation failure\n", 1);
  }
  initialized_ = true;
}

const Cooccurrence::EntropyTableEntry* Cooccurrence::FindTable(int64_t pairs) const {
  for (const EntropyTableEntry& table : entropyTables_) {
    if (table.pairs == pairs) return &table;
  }
  return nullptr;
}

const std::vector<float>* Cooccurrence::EntropyTable(int64_t pairs) const {
  const EntropyTableEntry* table = FindTable(pairs);
  return table == nullptr ? nullptr : &table->values;
}

bool Cooccurrence::MultipliesByReciprocal(int64_t pairs) const {
  const EntropyTableEntry* table = FindTable(pairs);
  return table != nullptr && table->reciprocalExact;
}

void Cooccurrence::AddNewImage(const cv::Mat& image) {
  if (band_ != kHue && band_ != kSaturation && band_ != kValue) {
    Fatal(kSource, "Cooccurrence::AddNewImage", kInvalidBandLine, kInvalidBandMessage);
  }
  if (bins_ < kLevels) {
    Fatal(kSource, "Cooccurrence::SetParameters", kInvalidParametersLine,
          kInvalidParametersMessage);
  }
  Require(image.type() == CV_8UC3, kSource, "Cooccurrence::AddNewImage", kImageTypeLine, [&] {
    return Format("image of type %d, not 8-bit with 3 channels", image.type());
  });

  // floor(v / bins) with the quotient rounded to single precision first.
  uint8_t level[256];
  for (int v = 0; v < 256; ++v) {
    level[v] = static_cast<uint8_t>(std::floor(static_cast<float>(v) / static_cast<float>(bins_)));
  }

  levels_.create(image.rows, image.cols, CV_8UC1);
  // One row at a time: the channels are split into int arrays first, so that
  // the band conversion runs as a plain loop the compiler vectorises.
  const int cols = image.cols;
  std::vector<int> channels(4 * static_cast<size_t>(cols));
  int* const red = channels.data();
  int* const green = red + cols;
  int* const blue = green + cols;
  int* const band = blue + cols;
  for (int y = 0; y < image.rows; ++y) {
    const uint8_t* bgr = image.ptr<uint8_t>(y);
    for (int x = 0; x < cols; ++x) {
      blue[x] = bgr[3 * x];
      green[x] = bgr[3 * x + 1];
      red[x] = bgr[3 * x + 2];
    }
    switch (band_) {
      case kHue:
        for (int x = 0; x < cols; ++x) band[x] = HueOf(red[x], green[x], blue[x]);
        break;
      case kSaturation:
        for (int x = 0; x < cols; ++x) band[x] = SaturationOf(red[x], green[x], blue[x]);
        break;
      default:
        for (int x = 0; x < cols; ++x) band[x] = std::max(red[x], std::max(green[x], blue[x]));
        break;
    }
    uint8_t* out = levels_.ptr<uint8_t>(y);
    for (int x = 0; x < cols; ++x) out[x] = level[band[x]];
  }
}

inline float Cooccurrence::HistogramLog(float h) {
  uint32_t bits;
  std::memcpy(&bits, &h, sizeof(bits));
  LogSlot& slot = logCache_[(bits * 2654435761u) >> (32 - kLogCacheBits)];
  if (slot.bits != bits) {
    slot.bits = bits;
    slot.value = log10f(h + kHistogramOffset);
  }
  return slot.value;
}

void Cooccurrence::ReleaseImage() { levels_.release(); }

void Cooccurrence::ExtractFeatures(const BlockRect& rect, float* out) {
  if (!initialized_) Initialize();
  const int d = distance_;

  // The block clipped to the image: a pair counts only when both of its
  // pixels lie in the block and in the image.
  const int xa = std::max(rect.x0, 0);
  const int ya = std::max(rect.y0, 0);
  const int xb = std::min(rect.x1, levels_.cols - 1);
  const int yb = std::min(rect.y1, levels_.rows - 1);
  const int64_t width = std::max(xb - xa + 1, 0);
  const int64_t height = std::max(yb - ya + 1, 0);
  const int64_t shortWidth = std::max<int64_t>(width - d, 0);
  const int64_t shortHeight = std::max<int64_t>(height - d, 0);

  // Each pair adds 2 to its direction's count (both orders are counted).
  const int64_t pairs[kDirections] = {2 * height * shortWidth, 2 * shortHeight * shortWidth,
                                      2 * shortHeight * width, 2 * shortHeight * shortWidth};
  const EntropyTableEntry* tables[kDirections];
  for (int dir = 0; dir < kDirections; ++dir) {
    tables[dir] = FindTable(pairs[dir]);
    if (tables[dir] == nullptr) FailPlain(Format(kMissingTableMessage, static_cast<int>(pairs[dir])));
  }

  // Pair counts. Counting integers and converting once gives the very
  // floats that adding 1.0f per pair gives: every partial sum of ones is an
  // integer no larger than the final count, and all integers up to 2^24 are
  // exact in single precision, so no addition ever rounds. Here each count is
  // at most the pair count, at most 1984 (the largest one with an entropy
  // table, checked above), so 16 bits hold it too.
  //
  // Each pair (u, w) is counted once, in cell (u, w); the symmetric matrix is
  // that count plus its transpose, which also gives a diagonal pair its 2.
  // Alternate pixels count into two copies so that runs of equal levels do
  // not wait on the previous increment of the same cell.
  alignas(32) OrderedCounts ordered;
  std::memset(ordered, 0, sizeof(ordered));
  for (int y = ya; y <= yb; ++y) {
    const uint8_t* below = y + d <= yb ? levels_.ptr<uint8_t>(y + d) + xa : nullptr;
    CountRow(ordered, levels_.ptr<uint8_t>(y) + xa, below, static_cast<int>(width), d);
  }
  alignas(32) uint16_t counts[kDirections][kCells];
  for (int dir = 0; dir < kDirections; ++dir) {
    SymmetricCounts(ordered[dir][0], ordered[dir][1], counts[dir]);
  }
  Evaluate(counts, pairs, tables, out);
}

void Cooccurrence::Evaluate(const uint16_t (*counts)[kCells], const int64_t* pairs,
                            const EntropyTableEntry* const* tables, float* out) {

  // The normalised matrices, with zero padding on both sides for the shifted
  // reads of the histograms. The 256 cells are all written below, so only
  // the padding is cleared here.
  alignas(32) float padded[kDirections][kPadded];
  for (int dir = 0; dir < kDirections; ++dir) {
    std::memset(padded[dir], 0, kFrontPadding * sizeof(float));
    std::memset(padded[dir] + kFrontPadding + kCells, 0,
                (kPadded - kFrontPadding - kCells) * sizeof(float));
  }
  alignas(32) float sums[kDirections][kSumBins];
  alignas(32) float differences[kDirections][kLevels];
  alignas(32) float marginal[kDirections][kLevels];
  for (int dir = 0; dir < kDirections; ++dir) {
    float* const P = padded[dir] + kFrontPadding;
    const float total = static_cast<float>(pairs[dir]);
    for (int i = 0; i < kCells; ++i) P[i] = static_cast<float>(counts[dir][i]) / total;

    Histograms(P, sums[dir], differences[dir]);

    // Marginal: m[c] sums column c in row order; the matrix is symmetric
    // (P[r + 16 c] and P[c + 16 r] come from the same count), so column c
    // read in row order is row c, and all sixteen sums run side by side.
    float* m = marginal[dir];
    for (int c = 0; c < kLevels; ++c) m[c] = 0.0f;
    for (int r = 0; r < kLevels; ++r) {
      for (int c = 0; c < kLevels; ++c) m[c] += P[c + kLevels * r];
    }
  }

  // The dot products that pair a constant table with one array per
  // direction run for the four directions side by side (each result is the
  // single call's, and the product's operands commute).
  float cellProducts[kCellTables][kDirections];
  const float* const matrices = padded[0] + kFrontPadding;
  const float* const tableData[kCellTables] = {cellTables_[kRowTimesColumn].data(),
                                              cellTables_[kRow].data(),
                                              cellTables_[kInverseDifference].data()};
  CellTableProducts(tableData, matrices, cellProducts);
  const float* const expected = cellProducts[kRowTimesColumn];
  const float* const rowMean = cellProducts[kRow];
  const float* const inverseDifferenceMoment = cellProducts[kInverseDifference];
  // The sum of P over the cells with |r - c| = k in ascending flat order is
  // exactly the difference histogram's bin k: same cells, same order.
  float contrast[kDirections], mean[kDirections], secondLevelMoment[kDirections];
  float sumAverage[kDirections];
  DotProductColumns(squares_.data(), differences[0], kLevels, kDirections, kLevels, contrast);
  DotProductColumns(index_.data(), marginal[0], kLevels, kDirections, kLevels, mean);
  DotProductColumns(squares_.data(), marginal[0], kLevels, kDirections, kLevels,
                    secondLevelMoment);
  DotProductColumns(index_.data(), sums[0], kSumBins, kDirections, 33, sumAverage);

  // The sums over the non-zero cells, in flat order (column outer, row
  // inner). A cell's terms are looked up by its pair count; P[cell] is that
  // count's probability. The deviation is taken from r + 1 against a mean of
  // r: this statistic has always been the variance plus one. The entropies
  // subtract each term from zero.
  float secondMoment[kDirections];
  float sumOfSquares[kDirections];
  float entropy[kDirections];
#if defined(__SSE2__)
  // The four directions run in the four lanes of a register, through every
  // cell that is non-zero in some direction: a cell empty in one direction
  // adds +0 there, which leaves its sums (never -0) as they are. Groups of
  // four cells empty in all directions are skipped.
  {
    alignas(16) float deviations[kLevels][kDirections];
    for (int r = 0; r < kLevels; ++r) {
      for (int dir = 0; dir < kDirections; ++dir) {
        const float deviation = static_cast<float>(r + 1) - rowMean[dir];
        deviations[r][dir] = deviation * deviation;
      }
    }
    const float* const term[kDirections] = {
        tables[0]->entropyTerm.data(), tables[1]->entropyTerm.data(),
        tables[2]->entropyTerm.data(), tables[3]->entropyTerm.data()};
    __m128 moment = _mm_setzero_ps();
    __m128 squares = _mm_setzero_ps();
    __m128 disorder = _mm_setzero_ps();
    for (int base = 0; base < kCells; base += 4) {
      uint64_t c[kDirections];
      for (int dir = 0; dir < kDirections; ++dir) std::memcpy(&c[dir], counts[dir] + base, 8);
      if ((c[0] | c[1] | c[2] | c[3]) == 0) continue;
      __m128 p0 = _mm_load_ps(padded[0] + kFrontPadding + base);
      __m128 p1 = _mm_load_ps(padded[1] + kFrontPadding + base);
      __m128 p2 = _mm_load_ps(padded[2] + kFrontPadding + base);
      __m128 p3 = _mm_load_ps(padded[3] + kFrontPadding + base);
      _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
      const __m128 p[4] = {p0, p1, p2, p3};
      for (int j = 0; j < 4; ++j) {
        const int cell = base + j;
        moment = _mm_add_ps(moment, _mm_mul_ps(p[j], p[j]));
        squares = _mm_add_ps(squares, _mm_mul_ps(_mm_load_ps(deviations[cell % kLevels]), p[j]));
        disorder = _mm_sub_ps(disorder, _mm_setr_ps(term[0][counts[0][cell]], term[1][counts[1][cell]],
                                                    term[2][counts[2][cell]], term[3][counts[3][cell]]));
      }
    }
    _mm_storeu_ps(secondMoment, moment);
    _mm_storeu_ps(sumOfSquares, squares);
    _mm_storeu_ps(entropy, disorder);
  }
#else
  for (int dir = 0; dir < kDirections; ++dir) {
    const float* const P = padded[dir] + kFrontPadding;
    const EntropyTableEntry& table = *tables[dir];
    float squaredRowDeviation[kLevels];
    for (int r = 0; r < kLevels; ++r) {
      const float deviation = static_cast<float>(r + 1) - rowMean[dir];
      squaredRowDeviation[r] = deviation * deviation;
    }
    secondMoment[dir] = sumOfSquares[dir] = entropy[dir] = 0.0f;
    for (int cell = 0; cell < kCells; ++cell) {
      if (P[cell] == 0.0f) continue;
      const int k = counts[dir][cell];
      secondMoment[dir] += table.square[k];
      sumOfSquares[dir] += squaredRowDeviation[cell % kLevels] * table.probability[k];
      entropy[dir] -= table.entropyTerm[k];
    }
  }
#endif

  for (int dir = 0; dir < kDirections; ++dir) {
    const float* const P = padded[dir] + kFrontPadding;
    const float sigma = std::sqrt(secondLevelMoment[dir] - mean[dir] * mean[dir]);
    const float spread = sigma + kDeviationOffset;
    const float correlation = (expected[dir] - mean[dir] * mean[dir]) / (spread * spread);

    const float* const sum = sums[dir];
    alignas(32) float squaredDeviations[33];
    for (int i = 0; i < 33; ++i) {
      const float deviation = static_cast<float>(i) - sumAverage[dir];
      squaredDeviations[i] = deviation * deviation;
    }
    const float sumVariance = DotProduct(squaredDeviations, sum, 33);
    float sumEntropy = 0.0f;
    for (int i = 2; i <= 32; ++i) {
      if (sum[i] != 0.0f) sumEntropy -= sum[i] * HistogramLog(sum[i]);
    }

    const float* const difference = differences[dir];
    float s1 = 0.0f;
    for (int k = 0; k < kLevels; ++k) s1 += difference[k];
    const float s2 = DotProduct(difference, difference, kLevels);
    const float differenceVariance = (256.0f * s2 - s1 * s1) / 65536.0f;
    float differenceEntropy = 0.0f;
    for (int k = 0; k < kLevels; ++k) {
      if (difference[k] != 0.0f) differenceEntropy -= difference[k] * HistogramLog(difference[k]);
    }

    float diagonal = 0.0f;
    for (int r = 0; r < kLevels; ++r) diagonal += P[r + kLevels * r];

    float* f = out + kStatistics * dir;
    f[0] = secondMoment[dir];
    f[1] = contrast[dir];
    f[2] = correlation;
    f[3] = sumOfSquares[dir];
    f[4] = inverseDifferenceMoment[dir];
    f[5] = sumAverage[dir];
    f[6] = sumVariance;
    f[7] = sumEntropy;
    f[8] = entropy[dir];
    f[9] = differenceVariance;
    f[10] = differenceEntropy;
    f[11] = diagonal;
  }
}

namespace {

// Moves the ordered counts of a block whose pixels start at column x of the
// rows to the block one column to the right: the pairs that start in the
// leaving column go, those that end in the entering column come. `rows`
// holds the block's rows and d more below it. Leaving pairs are taken from
// copy 0 and entering ones added to copy 1, so that in a uniform region the
// two updates of a cell do not wait on each other; the copies are summed
// before use, so a copy may wrap below zero while the sum stays exact
// (16-bit arithmetic is modular).
inline void SlideRight(OrderedCounts& counts, const uint8_t* const* rows, int height, int x,
                       int width, int d) {
  constexpr int L = Cooccurrence::kLevels;
  const int leaving = x;
  const int entering = x + width - d;  // first pair start of the new block
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = rows[y];
    --counts[0][0][row[leaving] + L * row[leaving + d]];
    ++counts[0][1][row[entering] + L * row[entering + d]];
    if (y + d >= height) continue;
    const uint8_t* below = rows[y + d];
    --counts[1][0][row[leaving + d] + L * below[leaving]];
    ++counts[1][1][row[entering + d] + L * below[entering]];
    --counts[2][0][row[leaving] + L * below[leaving]];
    ++counts[2][1][row[x + width] + L * below[x + width]];
    --counts[3][0][row[leaving] + L * below[leaving + d]];
    ++counts[3][1][row[entering] + L * below[entering + d]];
  }
}

}  // namespace

void Cooccurrence::ExtractFeaturesRow(int y0, int y1, int width, const int* xs, int count,
                                      float* out) {
  if (!initialized_) Initialize();
  const int d = distance_;
  const int height = y1 - y0 + 1;
  // Sliding reads only pixels inside the image; blocks that cross its border
  // (and degenerate ones) take the ordinary path, which clips.
  const bool rowInside = y0 >= 0 && y1 < levels_.rows && height > d && width > d;
  const int64_t w = width;
  const int64_t h = height;
  const int64_t pairs[kDirections] = {2 * h * (w - d), 2 * (h - d) * (w - d), 2 * (h - d) * w,
                                      2 * (h - d) * (w - d)};
  const EntropyTableEntry* tables[kDirections] = {nullptr, nullptr, nullptr, nullptr};
  bool haveTables = rowInside;
  for (int dir = 0; dir < kDirections && haveTables; ++dir) {
    tables[dir] = FindTable(pairs[dir]);
    haveTables = tables[dir] != nullptr;
  }
  std::vector<const uint8_t*> rows(static_cast<size_t>(std::max(height, 0)));
  if (haveTables) {
    for (int y = 0; y < height; ++y) rows[static_cast<size_t>(y)] = levels_.ptr<uint8_t>(y0 + y);
  }

  alignas(32) OrderedCounts ordered;
  // Blocks inside the image wait here, as symmetric counts, until a full
  // batch is evaluated at once.
  alignas(32) uint16_t batch[kBatch][kDirections][kCells];
  float* batchOut[kBatch];
  int pending = 0;
  int counted = -1;  // x of the block `ordered` holds, -1 for none
  for (int i = 0; i < count; ++i) {
    const int x = xs[i];
    float* const features = out + static_cast<size_t>(i) * kFeatures;
    if (!haveTables || x < 0 || x + width > levels_.cols) {
      BlockRect rect;
      rect.x0 = x;
      rect.y0 = y0;
      rect.x1 = x + width - 1;
      rect.y1 = y1;
      rect.width = width;
      rect.height = height;
      ExtractFeatures(rect, features);
      counted = -1;
      continue;
    }
    if (counted >= 0 && x > counted && x - counted <= kMaxSlide) {
      for (; counted < x; ++counted) SlideRight(ordered, rows.data(), height, counted, width, d);
    } else {
      std::memset(ordered, 0, sizeof(ordered));
      for (int y = 0; y < height; ++y) {
        const uint8_t* below = y + d < height ? rows[static_cast<size_t>(y + d)] + x : nullptr;
        CountRow(ordered, rows[static_cast<size_t>(y)] + x, below, width, d);
      }
      counted = x;
    }
    for (int dir = 0; dir < kDirections; ++dir) {
      SymmetricCounts(ordered[dir][0], ordered[dir][1], batch[pending][dir]);
    }
    batchOut[pending++] = features;
    if (pending == kBatch) {
      EvaluateBatch(batch, pending, pairs, tables, batchOut);
      pending = 0;
    }
  }
  if (pending > 0) EvaluateBatch(batch, pending, pairs, tables, batchOut);
}

void Cooccurrence::ExtractFeaturesBatch(const BlockRect* rects, int count, float* const* out) {
  if (!initialized_) Initialize();
  const int d = distance_;
  alignas(32) OrderedCounts ordered;
  alignas(32) uint16_t batch[kBatch][kDirections][kCells];
  float* batchOut[kBatch];
  int pending = 0;
  // The size of the blocks waiting in `batch`, with its pair counts and
  // tables (haveTables false when the size has none).
  int batchWidth = -1;
  int batchHeight = -1;
  bool haveTables = false;
  int64_t pairs[kDirections] = {0, 0, 0, 0};
  const EntropyTableEntry* tables[kDirections] = {nullptr, nullptr, nullptr, nullptr};
  for (int i = 0; i < count; ++i) {
    const BlockRect& r = rects[i];
    const int width = r.x1 - r.x0 + 1;
    const int height = r.y1 - r.y0 + 1;
    const bool inside = r.x0 >= 0 && r.y0 >= 0 && r.x1 < levels_.cols && r.y1 < levels_.rows &&
                        width > d && height > d;
    if (inside && (width != batchWidth || height != batchHeight)) {
      if (pending > 0) EvaluateBatch(batch, pending, pairs, tables, batchOut);
      pending = 0;
      batchWidth = width;
      batchHeight = height;
      const int64_t w = width;
      const int64_t h = height;
      pairs[0] = 2 * h * (w - d);
      pairs[1] = 2 * (h - d) * (w - d);
      pairs[2] = 2 * (h - d) * w;
      pairs[3] = 2 * (h - d) * (w - d);
      haveTables = true;
      for (int dir = 0; dir < kDirections; ++dir) {
        tables[dir] = FindTable(pairs[dir]);
        haveTables = haveTables && tables[dir] != nullptr;
      }
    }
    if (!inside || !haveTables) {
      ExtractFeatures(r, out[i]);
      continue;
    }
    std::memset(ordered, 0, sizeof(ordered));
    for (int y = 0; y < height; ++y) {
      const uint8_t* below = y + d < height ? levels_.ptr<uint8_t>(r.y0 + y + d) + r.x0 : nullptr;
      CountRow(ordered, levels_.ptr<uint8_t>(r.y0 + y) + r.x0, below, width, d);
    }
    for (int dir = 0; dir < kDirections; ++dir) {
      SymmetricCounts(ordered[dir][0], ordered[dir][1], batch[pending][dir]);
    }
    batchOut[pending++] = out[i];
    if (pending == kBatch) {
      EvaluateBatch(batch, pending, pairs, tables, batchOut);
      pending = 0;
    }
  }
  if (pending > 0) EvaluateBatch(batch, pending, pairs, tables, batchOut);
}

#if defined(__AVX2__)
// GCC 12's AVX-512 intrinsics start from deliberately undefined registers,
// which its own warning mistakes for uninitialised reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
namespace {

// The lanes the batches run in: eight blocks in an AVX register, or sixteen
// in an AVX-512 one. Each pack offers the same few operations, so that one
// evaluation serves both widths and takes the same steps in every lane.
struct Pack8 {
  using F = __m256;
  using I = __m256i;
  static constexpr int kLanes = 8;
  static F Zero() { return _mm256_setzero_ps(); }
  static F Set1(float x) { return _mm256_set1_ps(x); }
  static F Add(F a, F b) { return _mm256_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F Div(F a, F b) { return _mm256_div_ps(a, b); }
  static F Sqrt(F a) { return _mm256_sqrt_ps(a); }
  static F Gather(const float* table, I index) { return _mm256_i32gather_ps(table, index, 4); }
  static void Store(float* out, F a) { _mm256_store_ps(out, a); }
  static F Load(const float* in) { return _mm256_load_ps(in); }
  // Bit b set when lane b is not zero.
  static uint32_t NonZero(F a) {
    return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(a, Zero(), _CMP_NEQ_UQ)));
  }
  // Lane i of b where bit i of mask is set, else lane i of a.
  static F Select(uint32_t mask, F a, F b) {
    const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i chosen = _mm256_cmpeq_epi32(
        _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(mask)), bit), bit);
    return _mm256_blendv_ps(a, b, _mm256_castsi256_ps(chosen));
  }
  // Logarithms remembered in slots of (bits, value) pairs, found by hash:
  // found is false when some lane misses.
  static F CachedLogs(const int* slots, F h, int shift, bool* found) {
    const I bits = _mm256_castps_si256(h);
    const I at = _mm256_slli_epi32(
        _mm256_srli_epi32(_mm256_mullo_epi32(bits, _mm256_set1_epi32(static_cast<int>(2654435761u))),
                          shift),
        1);
    const I cached = _mm256_i32gather_epi32(slots, at, 4);
    *found = _mm256_movemask_epi8(_mm256_cmpeq_epi32(cached, bits)) == -1;
    return _mm256_i32gather_ps(reinterpret_cast<const float*>(slots + 1), at, 4);
  }
  // Counts of cells base..base + 7 of the blocks (blocks[b] points at block
  // b's cells), one register per cell: K as integers, P = K / total. Returns
  // bit j set when cell base + j is non-zero in some block; when none is,
  // K and P are not written.
  static uint32_t LoadCells(const uint16_t* const* blocks, int base, I* K, F* P, F total,
                            F reciprocal, bool byReciprocal) {
    __m128i rows[8];
    __m128i any = _mm_setzero_si128();
    for (int b = 0; b < kLanes; ++b) {
      rows[b] = _mm_load_si128(reinterpret_cast<const __m128i*>(blocks[b] + base));
      any = _mm_or_si128(any, rows[b]);
    }
    if (_mm_testz_si128(any, any)) return 0;
    Transpose8x8(rows);
    uint32_t filled = 0;
    for (int j = 0; j < 8; ++j) {
      K[j] = _mm256_cvtepu16_epi32(rows[j]);
      const F k = _mm256_cvtepi32_ps(K[j]);
      P[j] = byReciprocal ? QuotientsByReciprocal(k, total, reciprocal) : Div(k, total);
      filled |= static_cast<uint32_t>(!_mm_testz_si128(rows[j], rows[j])) << j;
    }
    return filled;
  }
};

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__FMA__)
struct Pack16 {
  using F = __m512;
  using I = __m512i;
  static constexpr int kLanes = 16;
  static F Zero() { return _mm512_setzero_ps(); }
  static F Set1(float x) { return _mm512_set1_ps(x); }
  static F Add(F a, F b) { return _mm512_add_ps(a, b); }
  static F Sub(F a, F b) { return _mm512_sub_ps(a, b); }
  static F Mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static F Div(F a, F b) { return _mm512_div_ps(a, b); }
  static F Sqrt(F a) { return _mm512_sqrt_ps(a); }
  // Lanes with index 0 read nothing and take table[0], which is 0.
  static F Gather(const float* table, I index) {
    return _mm512_mask_i32gather_ps(Zero(), _mm512_test_epi32_mask(index, index), index, table, 4);
  }
  static void Store(float* out, F a) { _mm512_store_ps(out, a); }
  static F Load(const float* in) { return _mm512_load_ps(in); }
  static uint32_t NonZero(F a) { return _mm512_cmp_ps_mask(a, Zero(), _CMP_NEQ_UQ); }
  static F Select(uint32_t mask, F a, F b) {
    return _mm512_mask_blend_ps(static_cast<__mmask16>(mask), a, b);
  }
  static F CachedLogs(const int* slots, F h, int shift, bool* found) {
    const I bits = _mm512_castps_si512(h);
    const I at = _mm512_slli_epi32(
        _mm512_srli_epi32(_mm512_mullo_epi32(bits, _mm512_set1_epi32(static_cast<int>(2654435761u))),
                          shift),
        1);
    const I cached = _mm512_i32gather_epi32(at, slots, 4);
    *found = _mm512_cmpeq_epi32_mask(cached, bits) == 0xFFFF;
    return _mm512_i32gather_ps(at, reinterpret_cast<const float*>(slots + 1), 4);
  }
  static uint32_t LoadCells(const uint16_t* const* blocks, int base, I* K, F* P, F total,
                            F reciprocal, bool byReciprocal) {
    __m128i low[8];
    __m128i high[8];
    __m128i any = _mm_setzero_si128();
    for (int b = 0; b < 8; ++b) {
      low[b] = _mm_load_si128(reinterpret_cast<const __m128i*>(blocks[b] + base));
      high[b] = _mm_load_si128(reinterpret_cast<const __m128i*>(blocks[b + 8] + base));
      any = _mm_or_si128(any, _mm_or_si128(low[b], high[b]));
    }
    if (_mm_testz_si128(any, any)) return 0;
    Transpose8x8(low);
    Transpose8x8(high);
    uint32_t filled = 0;
    for (int j = 0; j < 8; ++j) {
      const __m256i cell = _mm256_set_m128i(high[j], low[j]);
      K[j] = _mm512_cvtepu16_epi32(cell);
      const F k = _mm512_cvtepi32_ps(K[j]);
      if (byReciprocal) {
        const F q = _mm512_mul_ps(k, reciprocal);
        P[j] = _mm512_fmadd_ps(_mm512_fnmadd_ps(q, total, k), reciprocal, q);
      } else {
        P[j] = Div(k, total);
      }
      filled |= static_cast<uint32_t>(!_mm256_testz_si256(cell, cell)) << j;
    }
    return filled;
  }
};
#endif

}  // namespace

template <class Pack>
void Cooccurrence::EvaluatePack(const uint16_t (*counts)[kDirections][kCells], int count,
                                const int64_t* pairs, const EntropyTableEntry* const* tables,
                                float* const* out) {
  using F = typename Pack::F;
  using I = typename Pack::I;
  constexpr int kLanes = Pack::kLanes;
  // Every value below is one register: lane b belongs to block b. Lanes
  // past `count` repeat the last block; their results are dropped.
  alignas(64) F P[kCells];
  alignas(64) I K[kCells];
  alignas(64) float results[kStatistics][kLanes];
  const int* const logSlots = reinterpret_cast<const int*>(logCache_.data());
  static_assert(sizeof(LogSlot) == 2 * sizeof(int32_t), "a slot is its bits, then its value");
  for (int dir = 0; dir < kDirections; ++dir) {
    const uint16_t* block[kLanes];
    for (int b = 0; b < kLanes; ++b) block[b] = counts[std::min(b, count - 1)][dir];
    const EntropyTableEntry& table = *tables[dir];
    const F total = Pack::Set1(static_cast<float>(pairs[dir]));
    const F reciprocal = Pack::Set1(table.reciprocal);
    // Bit i % 64 of cells[i / 64] is set when cell i is non-zero in some
    // block; K and P are filled for the groups of eight that hold such a
    // cell, and nothing below reads any other cell.
    uint64_t cells[kCells / 64] = {0, 0, 0, 0};
    for (int base = 0; base < kCells; base += 8) {
      const uint32_t filled = Pack::LoadCells(block, base, K + base, P + base, total, reciprocal,
                                              table.reciprocalExact);
      cells[base / 64] |= static_cast<uint64_t>(filled) << (base % 64);
    }

    // Every sum over the cells below adds non-negative terms, each in its
    // own fixed order, so the cells empty in every block, which add only +0,
    // are skipped.
    F sums[kSumBins];
    F differences[kLevels];
    F marginal[kLevels];
    for (int i = 0; i < kSumBins; ++i) sums[i] = Pack::Zero();
    for (int i = 0; i < kLevels; ++i) differences[i] = marginal[i] = Pack::Zero();
    const float* const rowTimesColumn = cellTables_[kRowTimesColumn].data();
    const float* const rowTable = cellTables_[kRow].data();
    const float* const inverseDifference = cellTables_[kInverseDifference].data();
    // The cell-table products: lane l of DotProduct's four takes the cells
    // i with i % 4 == l, so each lane walks its own filled cells in order.
    F x[4], rm[4], v[4];
    for (int lane = 0; lane < 4; ++lane) {
      F xl = Pack::Zero(), rl = xl, vl = xl;
      const uint64_t laneCells = 0x1111111111111111ull << lane;
      for (int word = 0; word < kCells / 64; ++word) {
        for (uint64_t bits = cells[word] & laneCells; bits != 0; bits &= bits - 1) {
          const int i = 64 * word + __builtin_ctzll(bits);
          const F p = P[i];
          xl = Pack::Add(xl, Pack::Mul(Pack::Set1(rowTimesColumn[i]), p));
          rl = Pack::Add(rl, Pack::Mul(Pack::Set1(rowTable[i]), p));
          vl = Pack::Add(vl, Pack::Mul(Pack::Set1(inverseDifference[i]), p));
        }
      }
      x[lane] = xl;
      rm[lane] = rl;
      v[lane] = vl;
    }
    const F expected = FoldLanes(x[0], x[1], x[2], x[3]);
    const F rowMean = FoldLanes(rm[0], rm[1], rm[2], rm[3]);
    const F inverseDifferenceMoment = FoldLanes(v[0], v[1], v[2], v[3]);
    F squaredRowDeviation[kLevels];
    for (int r = 0; r < kLevels; ++r) {
      const F deviation = Pack::Sub(Pack::Set1(static_cast<float>(r + 1)), rowMean);
      squaredRowDeviation[r] = Pack::Mul(deviation, deviation);
    }
    // In flat cell order (column outer, row inner: cell i is (i % 16,
    // i / 16)): the sums over the non-zero cells of Evaluate, and the sum and
    // difference histograms and the marginal, bin by bin.
    F secondMoment = Pack::Zero();
    F sumOfSquares = Pack::Zero();
    F entropy = Pack::Zero();
    const float* const entropyTerm = table.entropyTerm.data();
    for (int word = 0; word < kCells / 64; ++word) {
      for (uint64_t bits = cells[word]; bits != 0; bits &= bits - 1) {
        const int i = 64 * word + __builtin_ctzll(bits);
        const F p = P[i];
        secondMoment = Pack::Add(secondMoment, Pack::Mul(p, p));
        sumOfSquares = Pack::Add(sumOfSquares, Pack::Mul(squaredRowDeviation[i % kLevels], p));
        entropy = Pack::Sub(entropy, Pack::Gather(entropyTerm, K[i]));
        const int r = i % kLevels;
        const int c = i / kLevels;
        sums[r + c + 2] = Pack::Add(sums[r + c + 2], p);
        differences[std::abs(r - c)] = Pack::Add(differences[std::abs(r - c)], p);
        marginal[r] = Pack::Add(marginal[r], p);
      }
    }
    const auto withTable = [](const float* t, const F* values) {
      return [t, values](int i) { return Pack::Mul(Pack::Set1(t[i]), values[i]); };
    };
    const F contrast = DotProductLanes(kLevels, withTable(squares_.data(), differences));
    const F mean = DotProductLanes(kLevels, withTable(index_.data(), marginal));
    const F secondLevelMoment = DotProductLanes(kLevels, withTable(squares_.data(), marginal));
    const F sumAverage = DotProductLanes(33, withTable(index_.data(), sums));

    const F meanSquare = Pack::Mul(mean, mean);
    const F sigma = Pack::Sqrt(Pack::Sub(secondLevelMoment, meanSquare));
    const F spread = Pack::Add(sigma, Pack::Set1(kDeviationOffset));
    const F correlation = Pack::Div(Pack::Sub(expected, meanSquare), Pack::Mul(spread, spread));

    F squaredDeviations[33];
    for (int i = 0; i < 33; ++i) {
      const F deviation = Pack::Sub(Pack::Set1(static_cast<float>(i)), sumAverage);
      squaredDeviations[i] = Pack::Mul(deviation, deviation);
    }
    const F sumVariance =
        DotProductLanes(33, [&](int i) { return Pack::Mul(squaredDeviations[i], sums[i]); });

    // -= h * log10(h + offset) over the non-zero bins only. Every lane's
    // logarithm is taken (an empty bin's too, which the selection then
    // drops): fewer branches than skipping it. The remembered logarithms of
    // all lanes are looked up at once; only when one misses are the lanes
    // taken one by one, as Evaluate takes them.
    const auto histogramEntropy = [&](const F* bins, int first, int last) {
      F result = Pack::Zero();
      for (int i = first; i <= last; ++i) {
        const uint32_t nonZero = Pack::NonZero(bins[i]);
        if (nonZero == 0) continue;
        bool found = false;
        F logarithms = Pack::CachedLogs(logSlots, bins[i], 32 - kLogCacheBits, &found);
        if (!found) {
          alignas(64) float lanes[kLanes];
          Pack::Store(lanes, bins[i]);
          for (int b = 0; b < kLanes; ++b) lanes[b] = HistogramLog(lanes[b]);
          logarithms = Pack::Load(lanes);
        }
        const F term = Pack::Mul(bins[i], logarithms);
        result = Pack::Select(nonZero, result, Pack::Sub(result, term));
      }
      return result;
    };
    const F sumEntropy = histogramEntropy(sums, 2, 32);

    F s1 = Pack::Zero();
    for (int k = 0; k < kLevels; ++k) s1 = Pack::Add(s1, differences[k]);
    const F s2 = DotProductLanes(
        kLevels, [&](int i) { return Pack::Mul(differences[i], differences[i]); });
    const F differenceVariance =
        Pack::Div(Pack::Sub(Pack::Mul(Pack::Set1(256.0f), s2), Pack::Mul(s1, s1)),
                  Pack::Set1(65536.0f));
    const F differenceEntropy = histogramEntropy(differences, 0, kLevels - 1);

    F diagonal = Pack::Zero();
    for (int r = 0; r < kLevels; ++r) {
      const int cell = r + kLevels * r;
      if ((cells[cell / 64] >> (cell % 64)) & 1) diagonal = Pack::Add(diagonal, P[cell]);
    }

    const F statistics[kStatistics] = {
        secondMoment, contrast,    correlation, sumOfSquares,       inverseDifferenceMoment,
        sumAverage,   sumVariance, sumEntropy,  entropy,            differenceVariance,
        differenceEntropy,         diagonal};
    for (int j = 0; j < kStatistics; ++j) Pack::Store(results[j], statistics[j]);
    for (int b = 0; b < count; ++b) {
      float* f = out[b] + kStatistics * dir;
      for (int j = 0; j < kStatistics; ++j) f[j] = results[j][b];
    }
  }
}

void Cooccurrence::EvaluateBatch(const uint16_t (*counts)[kDirections][kCells], int count,
                                 const int64_t* pairs, const EntropyTableEntry* const* tables,
                                 float* const* out) {
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__FMA__)
  EvaluatePack<Pack16>(counts, count, pairs, tables, out);
#else
  EvaluatePack<Pack8>(counts, count, pairs, tables, out);
#endif
}
#pragma GCC diagnostic pop
#else
void Cooccurrence::EvaluateBatch(const uint16_t (*counts)[kDirections][kCells], int count,
                                 const int64_t* pairs, const EntropyTableEntry* const* tables,
                                 float* const* out) {
  for (int b = 0; b < count; ++b) Evaluate(counts[b], pairs, tables, out[b]);
}
#endif

}  // namespace pedscan
