// The hot kernels of the feature extractors, compiled once per instruction
// set (features/dispatch.h): HOG's integral rows and block histograms, the
// co-occurrence band conversion, pair counting and statistics. The code
// chooses its registers by the compiler's flags; every choice takes the same
// steps lane by lane, so every path gives the same bits.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <immintrin.h>

#include "features/HOG.h"
#include "features/co_occurrence.h"
#include "features/band_values.h"
#include "features/dispatch.h"
#include "numeric/lanes.h"

namespace pedscan {
namespace PEDSCAN_KERNELS {

// ---- HOG: integral images and block histograms ----

namespace {

constexpr int kBins = HOG::kBins;
constexpr int kHogFeatures = HOG::kHogFeatures;
constexpr int kMaxGradient = 255;
constexpr int kGradientSide = 2 * kMaxGradient + 1;

// The gradient of the channel with the largest squared magnitude at one
// pixel. Ties go to red against either other channel, and to green between
// blue and green. Squared magnitudes are at most 2 * 255^2, exact both as
// integers and as floats, so comparing integers decides as floats would.
struct DominantGradient {
  int gx;
  int gy;
  int energy;
  int channel;  // 0 blue, 1 green, 2 red
};

inline DominantGradient Dominant(int gxB, int gyB, int gxG, int gyG, int gxR, int gyR) {
  const int eB = gxB * gxB + gyB * gyB;
  const int eG = gxG * gxG + gyG * gyG;
  const int eR = gxR * gxR + gyR * gyR;
  // All-ones masks pick the channel without branches, so that the loop over
  // a row vectorises; on textured images the outcome is random anyway.
  const int blue = -static_cast<int>((eG < eB) & (eB > eR));
  const int green = -static_cast<int>((eG >= eB) & (eG > eR));
  const int red = ~(blue | green);
  return {(gxB & blue) | (gxG & green) | (gxR & red), (gyB & blue) | (gyG & green) | (gyR & red),
          (eB & blue) | (eG & green) | (eR & red), (1 & green) | (2 & red)};
}

// out[i] = single-precision square root of in[i] >= 0. The instructions round
// correctly like sqrtf, but skip its error-reporting path for negative input.
void SquareRoots(const float* in, float* out, int n) {
  int i = 0;
#if defined(__AVX__)
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, _mm256_sqrt_ps(_mm256_loadu_ps(in + i)));
#endif
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(out + i, _mm_sqrt_ps(_mm_loadu_ps(in + i)));
  for (; i < n; ++i) out[i] = std::sqrt(in[i]);
}

// Votes one row into the running column sums (kBins per column) and writes
// that row of the integral: out[c] = columns[c] + out[c - 1] per bin, where
// out[-1] is the zero column. Lane-wise vector additions are the scalar ones.
void AccumulateRow(float* columns, float* out, const int32_t* tableIndex, const float* magnitude,
                   const uint8_t* binTable, int width) {
#if defined(__AVX__)
  static_assert(kBins == 9, "eight lanes plus one");
  // The votes go in first, in a pass of their own: a vector read right after
  // a scalar write to the same entry would stall on store forwarding.
  for (int x = 0; x < width; ++x) {
    columns[static_cast<size_t>(x) * kBins + binTable[tableIndex[x]]] += magnitude[x];
  }
  __m256 running = _mm256_setzero_ps();
  float last = 0.0f;
  for (int x = 0; x < width; ++x) {
    const float* column = columns + static_cast<size_t>(x) * kBins;
    running = _mm256_add_ps(_mm256_loadu_ps(column), running);
    last = column[8] + last;
    _mm256_storeu_ps(out + static_cast<size_t>(x) * kBins, running);
    out[static_cast<size_t>(x) * kBins + 8] = last;
  }
#else
  float running[kBins] = {};
  for (int x = 0; x < width; ++x) {
    float* column = columns + static_cast<size_t>(x) * kBins;
    column[binTable[tableIndex[x]]] += magnitude[x];
    for (int b = 0; b < kBins; ++b) {
      running[b] = column[b] + running[b];
      out[static_cast<size_t>(x) * kBins + b] = running[b];
    }
  }
#endif
}

// The 36 cell sums of a block, before any normalisation.
void CellSums(const float* base, const size_t* rowEntry, const BlockRect& rect, float* out) {
  const int width = rect.x1 - rect.x0 + 1;
  const int height = rect.y1 - rect.y0 + 1;
  const int xm = rect.x0 + width / 2;
  const int ym = rect.y0 + height / 2;
  // Cell boundaries as integral coordinates: cell (i, j) spans rows
  // rowEdges[i]..rowEdges[i + 1] - 1 and columns colEdges[j]..colEdges[j + 1] - 1.
  // An odd size gives the extra row or column to the bottom or right cells.
  const int rowEdges[3] = {rect.y0, ym, rect.y1 + 1};
  const int colEdges[3] = {rect.x0, xm, rect.x1 + 1};
  auto corner = [&](int r, int c) { return base + (rowEntry[r] + c) * kBins; };
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      const float* bottomRight = corner(rowEdges[i + 1], colEdges[j + 1]);
      const float* bottomLeft = corner(rowEdges[i + 1], colEdges[j]);
      const float* topRight = corner(rowEdges[i], colEdges[j + 1]);
      const float* topLeft = corner(rowEdges[i], colEdges[j]);
      float* cell = out + (2 * i + j) * kBins;
      int b = 0;
#if defined(__AVX__)
      // The first eight bins in one register, the ninth on its own.
      _mm256_storeu_ps(cell, _mm256_sub_ps(_mm256_sub_ps(_mm256_loadu_ps(bottomRight),
                                                         _mm256_loadu_ps(bottomLeft)),
                                           _mm256_sub_ps(_mm256_loadu_ps(topRight),
                                                         _mm256_loadu_ps(topLeft))));
      b = 8;
#endif
      for (; b < kBins; ++b) {
        cell[b] = (bottomRight[b] - bottomLeft[b]) - (topRight[b] - topLeft[b]);
      }
    }
  }
}

}  // namespace

void HogIntegralRow(const HogRow& a) {
  const int width = a.width;
  const uint8_t* row = a.row;
  const uint8_t* up = a.up;
  const uint8_t* down = a.down;
  int32_t* tableIndex = a.tableIndex;
  float* energy = a.energy;
  uint8_t* channel = a.channel;
  // The dominant channel's gradient of every pixel of the row. The borders
  // use one-sided differences; along a dimension of size 1 both neighbours
  // are the pixel itself and the difference is 0. The interior loop has no
  // per-pixel border choice so that it vectorises.
  auto store = [&](int x, const DominantGradient& d) {
    tableIndex[x] = (d.gy + kMaxGradient) * kGradientSide + (d.gx + kMaxGradient);
    energy[x] = static_cast<float>(d.energy);
    channel[x] = static_cast<uint8_t>(d.channel);
  };
  auto border = [&](int x, int left, int right) {
    const uint8_t* l = row + 3 * left;
    const uint8_t* r = row + 3 * right;
    const uint8_t* u = up + 3 * x;
    const uint8_t* d = down + 3 * x;
    store(x, Dominant(r[0] - l[0], u[0] - d[0], r[1] - l[1], u[1] - d[1], r[2] - l[2],
                      u[2] - d[2]));
  };
  if (width > 0) border(0, 0, width > 1 ? 1 : 0);
  for (int x = 1; x < width - 1; ++x) {
    const uint8_t* p = row + 3 * x;
    const uint8_t* u = up + 3 * x;
    const uint8_t* d = down + 3 * x;
    store(x, Dominant(p[3] - p[-3], u[0] - d[0], p[4] - p[-2], u[1] - d[1], p[5] - p[-1],
                      u[2] - d[2]));
  }
  if (width > 1) border(width - 1, width - 2, width - 1);
  SquareRoots(energy, a.magnitude, width);

  AccumulateRow(a.columnSums, a.integral, tableIndex, a.magnitude, a.binTable, width);
  if (a.counts != nullptr) {
    constexpr int kChannels = HOG::kChannels;
    int32_t running[kChannels] = {0, 0, 0};
    for (int x = 0; x < width; ++x) {
      int32_t* column = a.columnCounts + static_cast<size_t>(x) * kChannels;
      column[channel[x]] += 1;
      int32_t* entry = a.counts + static_cast<size_t>(x) * kChannels;
      for (int k = 0; k < kChannels; ++k) entry[k] = running[k] = column[k] + running[k];
    }
  }
}

void HogHistogram(const float* integral, const size_t* rowEntry, const BlockRect& rect,
                  float* out) {
  CellSums(integral, rowEntry, rect, out);
  // Cancellation in the integral can leave tiny negative sums; those and a
  // NaN count as no vote.
  for (int i = 0; i < kHogFeatures; ++i) {
    if (!(out[i] > 0)) out[i] = 0.0f;
  }
  float s = 0.0f;
  for (int i = 0; i < kHogFeatures; ++i) s += out[i];
  if (s > 0) {
    for (int i = 0; i < kHogFeatures; ++i) out[i] = out[i] / s;
    const float q = DotProduct(out, out, kHogFeatures);
    const float norm = std::sqrt(q + 1e-8f);
    for (int i = 0; i < kHogFeatures; ++i) out[i] = out[i] / norm;
  }
}

void HogHistograms(const float* integral, const size_t* rowEntry, const BlockRect* rects,
                   int count, float* const* out) {
#if defined(__AVX__)
  // Eight blocks side by side, one per lane: every step of HogHistogram is
  // taken for all of them at once, in the same order.
  static_assert(kHogBatch == 8, "one block per lane");
  constexpr int kLanes = 8;
  constexpr int kPadded = 40;  // 36 values rounded up to whole transposes
  const int n = count;
  alignas(32) float raw[kLanes][kPadded];
  for (int b = 0; b < kLanes; ++b) {
    // Lanes past the last block repeat it; their results are dropped.
    CellSums(integral, rowEntry, rects[std::min(b, n - 1)], raw[b]);
    for (int i = kHogFeatures; i < kPadded; ++i) raw[b][i] = 0.0f;
  }
  __m256 v[kPadded];
  for (int g = 0; g < kPadded; g += kLanes) {
    for (int b = 0; b < kLanes; ++b) v[g + b] = _mm256_load_ps(raw[b] + g);
    Transpose8x8(v + g);
  }
  const __m256 zero = _mm256_setzero_ps();
  __m256 s = zero;
  for (int i = 0; i < kHogFeatures; ++i) {
    v[i] = _mm256_and_ps(v[i], _mm256_cmp_ps(v[i], zero, _CMP_GT_OQ));
    s = _mm256_add_ps(s, v[i]);
  }
  const __m256 positive = _mm256_cmp_ps(s, zero, _CMP_GT_OQ);
  __m256 w[kHogFeatures];
  for (int i = 0; i < kHogFeatures; ++i) w[i] = _mm256_div_ps(v[i], s);
  const __m256 q = DotProductLanes(kHogFeatures, [&](int i) { return _mm256_mul_ps(w[i], w[i]); });
  const __m256 norm = _mm256_sqrt_ps(_mm256_add_ps(q, _mm256_set1_ps(1e-8f)));
  for (int i = 0; i < kHogFeatures; ++i) {
    v[i] = _mm256_blendv_ps(v[i], _mm256_div_ps(w[i], norm), positive);
  }
  for (int g = 0; g < kPadded; g += kLanes) Transpose8x8(v + g);
  for (int b = 0; b < n; ++b) {
    alignas(32) float lane[kPadded];
    for (int g = 0; g < kPadded; g += kLanes) _mm256_store_ps(lane + g, v[g + b]);
    std::memcpy(out[b], lane, sizeof(float) * kHogFeatures);
  }
#else
  for (int b = 0; b < count; ++b) HogHistogram(integral, rowEntry, rects[b], out[b]);
#endif
}

// ---- Co-occurrence: band levels, pair counts and statistics ----

namespace {

using Tables = CooccurrenceStatistics::Tables;
using EntropyTable = CooccurrenceStatistics::EntropyTable;
constexpr int kLevels = CooccurrenceStatistics::kLevels;
constexpr int kCells = CooccurrenceStatistics::kCells;
constexpr int kDirections = CooccurrenceStatistics::kDirections;
constexpr int kStatistics = CooccurrenceStatistics::kStatistics;

// Keeps the correlation finite for a block with a single level.
constexpr float kDeviationOffset = 0.0001f;

// The sum histogram's bins 0..33 (r + c + 2 reaches 32; 33 stays empty).
constexpr int kSumBins = 34;

// The lanes a batch runs in.
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__FMA__)
using BatchPack = Pack16;
#elif defined(__AVX2__)
using BatchPack = Pack8;
#else
using BatchPack = Pack4;
#endif
constexpr int kBatch = BatchPack::kLanes;
static_assert(kBatch <= CooccurrenceStatistics::kMaxBatch, "a batch fits the callers' arrays");

inline void Count(uint16_t* cells, int first, int second) {
  ++cells[first + kLevels * second];
}

// Counts the pairs that start in one block row of `width` pixels and end in
// the same row (direction 0) or in the row `d` below (directions 1 to 3):
// pair (u, w) in cell u + 16 w. `below` is null for the last d rows. The four
// directions run side by side and even and odd pixels count into two copies,
// so that runs of equal levels do not wait on the previous increment of the
// same cell.
inline void CountRow(OrderedPairCounts& counts, const uint8_t* row, const uint8_t* below, int width,
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

// Counts, from zero, the pairs of the block of width x height pixels whose
// top-left pixel is `top`, its rows `stride` bytes apart.
inline void CountBlock(OrderedPairCounts& counts, const uint8_t* top, size_t stride, int width,
                       int height, int d) {
  std::memset(counts, 0, sizeof(counts));
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = top + y * stride;
    CountRow(counts, row, y + d < height ? row + d * stride : nullptr, width, d);
  }
}

// Moves the ordered counts of a block whose pixels start at column x of the
// rows to the block one column to the right: the pairs that start in the
// leaving column go, those that end in the entering column come. `top` is
// the block's top row, its rows `stride` bytes apart, with d more below it. Leaving pairs are taken from
// copy 0 and entering ones added to copy 1, so that in a uniform region the
// two updates of a cell do not wait on each other; the copies are summed
// before use, so a copy may wrap below zero while the sum stays exact
// (16-bit arithmetic is modular).
inline void SlideRight(OrderedPairCounts& counts, const uint8_t* top, size_t stride, int height,
                       int x, int width, int d) {
  constexpr int L = kLevels;
  const int leaving = x;
  const int entering = x + width - d;  // first pair start of the new block
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = top + y * stride;
    --counts[0][0][row[leaving] + L * row[leaving + d]];
    ++counts[0][1][row[entering] + L * row[entering + d]];
    if (y + d >= height) continue;
    const uint8_t* below = row + d * stride;
    --counts[1][0][row[leaving + d] + L * below[leaving]];
    ++counts[1][1][row[entering + d] + L * below[entering]];
    --counts[2][0][row[leaving] + L * below[leaving]];
    ++counts[2][1][row[x + width] + L * below[x + width]];
    --counts[3][0][row[leaving] + L * below[leaving + d]];
    ++counts[3][1][row[entering] + L * below[entering + d]];
  }
}

// out = A + transpose(A) with A = a + b, all 16 x 16.
inline void SymmetricCounts(const uint16_t* a, const uint16_t* b, uint16_t* out) {
  constexpr int L = kLevels;
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
}


}  // namespace

void BandLevels(const uint8_t* bgr, int cols, int band, const uint8_t* level, int* work,
                uint8_t* out) {
  // The channels are split into int arrays first, so that the band
  // conversion runs as a plain loop the compiler vectorises.
  int* const red = work;
  int* const green = red + cols;
  int* const blue = green + cols;
  int* const values = blue + cols;
  for (int x = 0; x < cols; ++x) {
    blue[x] = bgr[3 * x];
    green[x] = bgr[3 * x + 1];
    red[x] = bgr[3 * x + 2];
  }
  switch (band) {
    case Cooccurrence::kHue:
      for (int x = 0; x < cols; ++x) values[x] = HueOf(red[x], green[x], blue[x]);
      break;
    case Cooccurrence::kSaturation:
      for (int x = 0; x < cols; ++x) values[x] = SaturationOf(red[x], green[x], blue[x]);
      break;
    default:
      for (int x = 0; x < cols; ++x) values[x] = std::max(red[x], std::max(green[x], blue[x]));
      break;
  }
  for (int x = 0; x < cols; ++x) out[x] = level[values[x]];
}

void CountPairs(OrderedPairCounts& counts, const uint8_t* top, size_t stride, int width,
                int height, int d) {
  CountBlock(counts, top, stride, width, height, d);
}

void SlidePairs(OrderedPairCounts& counts, const uint8_t* top, size_t stride, int height,
                int from, int to, int width, int d) {
  for (int x = from; x < to; ++x) SlideRight(counts, top, stride, height, x, width, d);
}

void SymmetricPairs(const OrderedPairCounts& ordered, uint16_t (*out)[kCells]) {
  for (int dir = 0; dir < kDirections; ++dir) {
    SymmetricCounts(ordered[dir][0], ordered[dir][1], out[dir]);
  }
}

// GCC 12's AVX-512 intrinsics start from deliberately undefined registers,
// which its own warning mistakes for uninitialised reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// Inlined into its callers: a batch called it once per direction otherwise,
// which cost the rows of blocks a few per cent.
//
// The statistics of one matrix per lane of Pack, matrices[b] in lane b,
// normalised by lane b of `total` (through `reciprocal` when byReciprocal),
// entropyTerm(K) giving each lane's entropy term for the pair counts K.
// Writes statistic j of lane b to results[j][b].
template <class Pack, class Terms>
__attribute__((always_inline)) inline void EvaluateLanes(Tables& tables,
                                                         const uint16_t* const* matrices,
                                                         typename Pack::F total,
                                                         typename Pack::F reciprocal,
                                                         bool byReciprocal, Terms entropyTerm,
                                                         float (*results)[Pack::kLanes]) {
  using F = typename Pack::F;
  using I = typename Pack::I;
  constexpr int kLanes = Pack::kLanes;
  // Every value below is one register: lane b belongs to matrix b.
  alignas(64) F P[kCells];
  alignas(64) I K[kCells];
  const int32_t* const logSlots = reinterpret_cast<const int32_t*>(tables.logCache.data());
  static_assert(sizeof(Tables::LogSlot) == 2 * sizeof(int32_t), "a slot is its bits, then its value");

  // Bit i % 64 of cells[i / 64] is set when cell i is non-zero in some
  // lane; K and P are filled for the groups of eight that hold such a cell,
  // and nothing below reads any other cell.
  uint64_t cells[kCells / 64] = {0, 0, 0, 0};
  for (int base = 0; base < kCells; base += 8) {
    const uint32_t filled = Pack::LoadTransposed16(matrices, base, K + base);
    if (filled == 0) continue;
    for (int j = 0; j < 8; ++j) {
      const F k = Pack::ToFloat(K[base + j]);
      P[base + j] = byReciprocal ? Pack::Quotients(k, total, reciprocal) : Pack::Div(k, total);
    }
    cells[base / 64] |= static_cast<uint64_t>(filled) << (base % 64);
  }

  // Every sum over the cells below adds non-negative terms, each in its own
  // fixed order, so the cells empty in every lane, which add only +0, are
  // skipped.
  F sums[kSumBins];
  F differences[kLevels];
  F marginal[kLevels];
  for (int i = 0; i < kSumBins; ++i) sums[i] = Pack::Zero();
  for (int i = 0; i < kLevels; ++i) differences[i] = marginal[i] = Pack::Zero();
  const float* const rowTimesColumn = tables.cells[Tables::kRowTimesColumn].data();
  const float* const rowTable = tables.cells[Tables::kRow].data();
  const float* const inverseDifference = tables.cells[Tables::kInverseDifference].data();
  // The cell-table products: lane l of DotProduct's four takes the cells i
  // with i % 4 == l, so each lane walks its own filled cells in order.
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
  // The deviation is taken from r + 1 against a mean of r: this statistic
  // has always been the variance plus one.
  F squaredRowDeviation[kLevels];
  for (int r = 0; r < kLevels; ++r) {
    const F deviation = Pack::Sub(Pack::Set1(static_cast<float>(r + 1)), rowMean);
    squaredRowDeviation[r] = Pack::Mul(deviation, deviation);
  }
  // In flat cell order (column outer, row inner: cell i is (i % 16,
  // i / 16)): the sums over the non-zero cells, and the sum histogram (bin
  // r + c + 2), the difference histogram (bin |r - c|) and the marginal, bin
  // by bin. The matrix is symmetric, so the marginal of rows is that of
  // columns. The entropy subtracts each term from zero.
  F secondMoment = Pack::Zero();
  F sumOfSquares = Pack::Zero();
  F entropy = Pack::Zero();
  for (int word = 0; word < kCells / 64; ++word) {
    for (uint64_t bits = cells[word]; bits != 0; bits &= bits - 1) {
      const int i = 64 * word + __builtin_ctzll(bits);
      const F p = P[i];
      secondMoment = Pack::Add(secondMoment, Pack::Mul(p, p));
      sumOfSquares = Pack::Add(sumOfSquares, Pack::Mul(squaredRowDeviation[i % kLevels], p));
      entropy = Pack::Sub(entropy, entropyTerm(i, K[i]));
      const int r = i % kLevels;
      const int c = i / kLevels;
      sums[r + c + 2] = Pack::Add(sums[r + c + 2], p);
      differences[std::abs(r - c)] = Pack::Add(differences[std::abs(r - c)], p);
      marginal[r] = Pack::Add(marginal[r], p);
    }
  }
  // The sum of P over the cells with |r - c| = k in ascending flat order is
  // exactly the difference histogram's bin k: same cells, same order.
  const auto withTable = [](const float* t, const F* values) {
    return [t, values](int i) { return Pack::Mul(Pack::Set1(t[i]), values[i]); };
  };
  const F contrast = DotProductLanes(kLevels, withTable(tables.squares.data(), differences));
  const F mean = DotProductLanes(kLevels, withTable(tables.index.data(), marginal));
  const F secondLevelMoment = DotProductLanes(kLevels, withTable(tables.squares.data(), marginal));
  const F sumAverage = DotProductLanes(33, withTable(tables.index.data(), sums));

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
  // taken one by one.
  const auto histogramEntropy = [&](const F* bins, int first, int last) {
    F result = Pack::Zero();
    for (int i = first; i <= last; ++i) {
      const uint32_t nonZero = Pack::NonZero(bins[i]);
      if (nonZero == 0) continue;
      bool found = false;
      F logarithms = Pack::LookUp(logSlots, bins[i], 32 - Tables::kLogCacheBits, &found);
      if (!found) {
        alignas(64) float lanes[kLanes];
        Pack::Store(lanes, bins[i]);
        for (int b = 0; b < kLanes; ++b) lanes[b] = tables.HistogramLog(lanes[b]);
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
  const F s2 =
      DotProductLanes(kLevels, [&](int i) { return Pack::Mul(differences[i], differences[i]); });
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
}

void Evaluate(Tables& cellTables, const uint16_t (*counts)[kCells],
              const EntropyTable* const* tables, float* out) {
  // The four directions in the four lanes, each with its own pair count
  // and entropy table.
  static_assert(Pack4::kLanes == kDirections, "one direction per lane");
  const uint16_t* matrices[kDirections];
  const float* terms[kDirections];
  alignas(16) float totals[kDirections];
  alignas(16) float reciprocals[kDirections];
  bool byReciprocal = true;
  for (int dir = 0; dir < kDirections; ++dir) {
    matrices[dir] = counts[dir];
    terms[dir] = tables[dir]->entropyTerm.data();
    totals[dir] = static_cast<float>(tables[dir]->pairs);
    reciprocals[dir] = tables[dir]->reciprocal;
    byReciprocal = byReciprocal && tables[dir]->reciprocalExact;
  }
  alignas(64) float results[kStatistics][kDirections];
  EvaluateLanes<Pack4>(
      cellTables, matrices, Pack4::Load(totals), Pack4::Load(reciprocals), byReciprocal,
      [&](int cell, Pack4::I) {
        return _mm_setr_ps(terms[0][counts[0][cell]], terms[1][counts[1][cell]],
                           terms[2][counts[2][cell]], terms[3][counts[3][cell]]);
      },
      results);
  for (int dir = 0; dir < kDirections; ++dir) {
    for (int j = 0; j < kStatistics; ++j) out[kStatistics * dir + j] = results[j][dir];
  }
}

void EvaluateBatch(Tables& cellTables, const uint16_t (*counts)[kDirections][kCells], int count,
                   const EntropyTable* const* tables, float* const* out) {
  using Pack = BatchPack;
  alignas(64) float results[kStatistics][kBatch];
  for (int dir = 0; dir < kDirections; ++dir) {
    // Lanes past `count` repeat the last block; their results are dropped.
    const uint16_t* matrices[kBatch];
    for (int b = 0; b < kBatch; ++b) matrices[b] = counts[std::min(b, count - 1)][dir];
    const EntropyTable& table = *tables[dir];
    const float* const terms = table.entropyTerm.data();
    EvaluateLanes<Pack>(
        cellTables, matrices, Pack::Set1(static_cast<float>(table.pairs)), Pack::Set1(table.reciprocal),
        table.reciprocalExact, [terms](int, typename Pack::I k) { return Pack::Gather(terms, k); },
        results);
    for (int b = 0; b < count; ++b) {
      float* f = out[b] + kStatistics * dir;
      for (int j = 0; j < kStatistics; ++j) f[j] = results[j][b];
    }
  }
}

#pragma GCC diagnostic pop

extern const FeatureKernels kFeatureKernels = {
    &HogIntegralRow, &HogHistogram, &HogHistograms, &BandLevels,    &CountPairs,
    &SlidePairs,     &SymmetricPairs, kBatch,       &Evaluate,      &EvaluateBatch};

}  // namespace PEDSCAN_KERNELS
}  // namespace pedscan
