// The twelve Haralick statistics of a block's four co-occurrence matrices.
//
// CooccurrenceStatistics turns the symmetric 16 x 16 pair counts of a block
// in four directions into 48 values: each matrix is normalised to
// probabilities by its direction's pair count, and twelve statistics are
// taken from it. One block at a time, its four directions run side by side
// in the lanes of an SSE register; a batch of blocks of one size runs a
// direction at a time with one block per lane (sixteen in an AVX-512
// register, eight in an AVX2 one, else four in an SSE one, by the path the
// process runs: features/dispatch.h). Both take every step of one template
// in the same order, so a block's values are the same bits either way.
//
// Arithmetic: single precision throughout. Every sum of products of two
// arrays over a full range (a cell table against the matrix, the level and
// square tables against the marginal and the difference histogram, the index
// and squared deviations against the sum histogram, the difference
// histogram against itself) is the four-lane DotProduct; every other sum runs
// in flat cell order (column outer, row inner) or in bin order.
//
// After construction no table is built and nothing may be evaluated until
// Initialize. The object owns its tables and a cache of logarithms, which
// changes as blocks are evaluated but never changes a value.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace pedscan {

class CooccurrenceStatistics {
 public:
  static constexpr int kLevels = 16;  // L
  static constexpr int kCells = kLevels * kLevels;
  static constexpr int kDirections = 4;
  static constexpr int kStatistics = 12;
  static constexpr int kFeatures = kDirections * kStatistics;
  // The blocks EvaluateBatch takes at most on any path, and on the path the
  // process runs now: one per lane.
  static constexpr int kMaxBatch = 16;
  static int Batch();

  // Everything that depends only on a direction's pair count N and a cell's
  // pair count k (0..N): the entropy table itself, and per k the entropy
  // term table[(int)((double)p * N)] * p of the probability p = k / N
  // (single precision), so that the entropy looks it up.
  struct EntropyTable {
    int pairs;
    std::vector<float> values;
    std::vector<float> entropyTerm;
    // 1 / N rounded, and whether k / N comes out of it bit for bit for
    // every k in 0..N (then the probabilities are multiplied instead of
    // divided).
    float reciprocal = 0.0f;
    bool reciprocalExact = false;
  };

  // Builds the constant and entropy tables. Cheap and idempotent. Throws
  // the Failure "memory allocation failure\n" (status 1) when the tables
  // cannot be allocated.
  void Initialize();
  bool initialized() const { return initialized_; }

  // The table for a direction with `pairs` pairs (counting both orders of
  // each pair): entry c is log10(c / S + 1e-6), entry 0 is 0. Tables exist
  // for square blocks of 8, 16 and 32 pixels at distance 1; null for any
  // other count.
  const EntropyTable* FindTable(int64_t pairs) const;

  // Writes the 48 values of one block: direction dir's twelve statistics at
  // out + 12 dir. Requires: counts[dir] is the symmetric pair-count matrix
  // of direction dir (cell (r, c) at r + 16 c, 16-byte aligned), summing to
  // tables[dir]->pairs; Initialize was called. Allocates nothing.
  void Evaluate(const uint16_t (*counts)[kCells], const EntropyTable* const* tables, float* out);
  // Evaluate for `count` (1..Batch()) blocks of one size, block b's values
  // going to out[b], each bit for bit what Evaluate writes. Requires the
  // same of every block, all with the tables `tables`.
  void EvaluateBatch(const uint16_t (*counts)[kDirections][kCells], int count,
                     const EntropyTable* const* tables, float* const* out);

 // The constant tables the evaluation reads, over the cells in flat order
  // (cell (r, c) at r + 16 c): r * c, r, 1 / ((r - c)^2 + 1); the levels
  // 0..32 and their squares; and a cache of logarithms, which changes as
  // blocks are evaluated but never changes a value.
  struct Tables {
    enum CellTable { kRowTimesColumn, kRow, kInverseDifference, kCellTables };
    alignas(32) std::array<std::array<float, kCells>, kCellTables> cells{};
    alignas(32) std::array<float, 33> index{};         // 0, 1, ..., 32
    alignas(32) std::array<float, kLevels> squares{};  // 0, 1, 4, ..., 225

    struct LogSlot {
      uint32_t bits = 0xFFFFFFFFu;  // a NaN pattern, never a bin value
      float value = 0.0f;
    };
    static constexpr int kLogCacheBits = 16;
    std::array<LogSlot, 1 << kLogCacheBits> logCache{};

    // log10(h + 0.00001) of a histogram bin, remembered by the bin's bits:
    // neighbouring blocks of an image repeat many bin values.
    float HistogramLog(float h);
  };

 private:
  bool initialized_ = false;
  Tables tables_;
  std::vector<EntropyTable> entropyTables_;
};

}  // namespace pedscan
