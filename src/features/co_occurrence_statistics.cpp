#include "features/co_occurrence_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "numeric/lanes.h"
#include "support/failure.h"

namespace pedscan {
namespace {

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

// The sum histogram's bins 0..33 (r + c + 2 reaches 32; 33 stays empty).
constexpr int kSumBins = 34;

// k / n as the division rounds it, from the rounded reciprocal r of n (see
// Quotients in numeric/lanes.h); std::fma is exact on any processor, so
// Initialize checks every table with it.
float QuotientByReciprocal(float k, float n, float r) {
  const float q = k * r;
  return std::fma(std::fma(-q, n, k), r, q);
}

// The lanes a batch runs in.
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__FMA__)
using BatchPack = Pack16;
#elif defined(__AVX2__)
using BatchPack = Pack8;
#else
using BatchPack = Pack4;
#endif
static_assert(BatchPack::kLanes == CooccurrenceStatistics::kBatch, "one block per lane");

}  // namespace

void CooccurrenceStatistics::Initialize() {
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
      EntropyTable table;
      table.pairs = n;
      table.values.resize(n + 1);
      table.entropyTerm.resize(n + 1);
      table.values[0] = 0.0f;
      // c / S is a single-precision division, like every step of the table.
      for (int c = 1; c <= n; ++c) {
        table.values[c] =
            log10f(static_cast<float>(c) / static_cast<float>(size.divisor) + kTableOffset);
      }
      table.reciprocal = 1.0f / static_cast<float>(n);
      // Without fused multiply-adds the packs divide, whatever the check.
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

const CooccurrenceStatistics::EntropyTable* CooccurrenceStatistics::FindTable(
    int64_t pairs) const {
  for (const EntropyTable& table : entropyTables_) {
    if (table.pairs == pairs) return &table;
  }
  return nullptr;
}

inline float CooccurrenceStatistics::HistogramLog(float h) {
  uint32_t bits;
  std::memcpy(&bits, &h, sizeof(bits));
  LogSlot& slot = logCache_[HashSlot(bits, 32 - kLogCacheBits) / 2];
  if (slot.bits != bits) {
    slot.bits = bits;
    slot.value = log10f(h + kHistogramOffset);
  }
  return slot.value;
}

// GCC 12's AVX-512 intrinsics start from deliberately undefined registers,
// which its own warning mistakes for uninitialised reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// Inlined into its callers: a batch called it once per direction otherwise,
// which cost the rows of blocks a few per cent.
template <class Pack, class Terms>
__attribute__((always_inline)) inline void CooccurrenceStatistics::EvaluateLanes(const uint16_t* const* matrices, typename Pack::F total,
                                           typename Pack::F reciprocal, bool byReciprocal,
                                           Terms entropyTerm, float (*results)[Pack::kLanes]) {
  using F = typename Pack::F;
  using I = typename Pack::I;
  constexpr int kLanes = Pack::kLanes;
  // Every value below is one register: lane b belongs to matrix b.
  alignas(64) F P[kCells];
  alignas(64) I K[kCells];
  const int32_t* const logSlots = reinterpret_cast<const int32_t*>(logCache_.data());
  static_assert(sizeof(LogSlot) == 2 * sizeof(int32_t), "a slot is its bits, then its value");

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
  const float* const rowTimesColumn = cellTables_[kRowTimesColumn].data();
  const float* const rowTable = cellTables_[kRow].data();
  const float* const inverseDifference = cellTables_[kInverseDifference].data();
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
  // taken one by one.
  const auto histogramEntropy = [&](const F* bins, int first, int last) {
    F result = Pack::Zero();
    for (int i = first; i <= last; ++i) {
      const uint32_t nonZero = Pack::NonZero(bins[i]);
      if (nonZero == 0) continue;
      bool found = false;
      F logarithms = Pack::LookUp(logSlots, bins[i], 32 - kLogCacheBits, &found);
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

void CooccurrenceStatistics::Evaluate(const uint16_t (*counts)[kCells],
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
      matrices, Pack4::Load(totals), Pack4::Load(reciprocals), byReciprocal,
      [&](int cell, Pack4::I) {
        return _mm_setr_ps(terms[0][counts[0][cell]], terms[1][counts[1][cell]],
                           terms[2][counts[2][cell]], terms[3][counts[3][cell]]);
      },
      results);
  for (int dir = 0; dir < kDirections; ++dir) {
    for (int j = 0; j < kStatistics; ++j) out[kStatistics * dir + j] = results[j][dir];
  }
}

void CooccurrenceStatistics::EvaluateBatch(const uint16_t (*counts)[kDirections][kCells],
                                           int count, const EntropyTable* const* tables,
                                           float* const* out) {
  using Pack = BatchPack;
  alignas(64) float results[kStatistics][kBatch];
  for (int dir = 0; dir < kDirections; ++dir) {
    // Lanes past `count` repeat the last block; their results are dropped.
    const uint16_t* matrices[kBatch];
    for (int b = 0; b < kBatch; ++b) matrices[b] = counts[std::min(b, count - 1)][dir];
    const EntropyTable& table = *tables[dir];
    const float* const terms = table.entropyTerm.data();
    EvaluateLanes<Pack>(
        matrices, Pack::Set1(static_cast<float>(table.pairs)), Pack::Set1(table.reciprocal),
        table.reciprocalExact, [terms](int, typename Pack::I k) { return Pack::Gather(terms, k); },
        results);
    for (int b = 0; b < count; ++b) {
      float* f = out[b] + kStatistics * dir;
      for (int j = 0; j < kStatistics; ++j) f[j] = results[j][b];
    }
  }
}

#pragma GCC diagnostic pop

}  // namespace pedscan
