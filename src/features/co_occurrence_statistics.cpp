#include "features/co_occurrence_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "features/dispatch.h"
#include "numeric/lanes.h"
#include "support/failure.h"

namespace pedscan {
namespace {

// Added inside the logarithms so that an empty bin never reaches log10(0).
constexpr float kTableOffset = 1e-6f;
constexpr float kHistogramOffset = 0.00001f;

// The pair counts of square blocks of 8, 16 and 32 pixels at distance 1 (one
// per direction group) and the divisor each table was built with.
struct TableSize {
  int pairs;
  int divisor;
};
constexpr TableSize kTableSizes[] = {{450, 451},   {480, 481}, {1922, 1923},
                                     {1984, 1985}, {112, 112}, {98, 98}};

// k / n as the division rounds it, from the rounded reciprocal r of n (see
// Quotients in numeric/lanes.h); std::fma is exact on any processor, so
// Initialize checks every table with it.
float QuotientByReciprocal(float k, float n, float r) {
  const float q = k * r;
  return std::fma(std::fma(-q, n, k), r, q);
}

}  // namespace

void CooccurrenceStatistics::Initialize() {
  if (initialized_) return;
  for (int c = 0; c < kLevels; ++c) {
    for (int r = 0; r < kLevels; ++r) {
      const int cell = r + kLevels * c;
      tables_.cells[Tables::kRowTimesColumn][cell] = static_cast<float>(r * c);
      tables_.cells[Tables::kRow][cell] = static_cast<float>(r);
      tables_.cells[Tables::kInverseDifference][cell] = 1.0f / static_cast<float>((r - c) * (r - c) + 1);
    }
  }
  for (int i = 0; i < 33; ++i) tables_.index[i] = static_cast<float>(i);
  for (int k = 0; k < kLevels; ++k) tables_.squares[k] = static_cast<float>(k * k);

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
      // The check is the same on every path: a path without fused
      // multiply-adds divides instead, which gives these same quotients.
      table.reciprocalExact = true;
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

float CooccurrenceStatistics::Tables::HistogramLog(float h) {
  uint32_t bits;
  std::memcpy(&bits, &h, sizeof(bits));
  LogSlot& slot = logCache[common::HashSlot(bits, 32 - kLogCacheBits) / 2];
  if (slot.bits != bits) {
    slot.bits = bits;
    slot.value = log10f(h + kHistogramOffset);
  }
  return slot.value;
}

int CooccurrenceStatistics::Batch() { return FeatureKernelsNow().cooccurrenceBatch; }

void CooccurrenceStatistics::Evaluate(const uint16_t (*counts)[kCells],
                                      const EntropyTable* const* tables, float* out) {
  FeatureKernelsNow().evaluate(tables_, counts, tables, out);
}

void CooccurrenceStatistics::EvaluateBatch(const uint16_t (*counts)[kDirections][kCells],
                                           int count, const EntropyTable* const* tables,
                                           float* const* out) {
  FeatureKernelsNow().evaluateBatch(tables_, counts, count, tables, out);
}

}  // namespace pedscan
