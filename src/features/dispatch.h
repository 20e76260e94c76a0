// The hot kernels of the HOG and co-occurrence extractors, one table per
// instruction set they are compiled for (see numeric/dispatch.h for the
// scheme). Each entry does a whole image row, block or batch of blocks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "features/co_occurrence_statistics.h"
#include "numeric/dispatch.h"
#include "support/cpu.h"
#include "support/geometry.h"

namespace pedscan {

// The pair counts of a block in four directions, pair (u, w) in cell
// u + 16 w, each direction in two copies whose sum is the count (so that
// neighbouring increments of one cell do not wait on each other).
using OrderedPairCounts =
    uint16_t[CooccurrenceStatistics::kDirections][2][CooccurrenceStatistics::kCells];

// What building one row of HOG's integral images reads and writes: the
// image row y with the rows above and below it (the row itself at the
// borders), the per-row work arrays of `width` entries, the running column
// sums, and the integral row from its column 1 (9 bins an entry; colour
// counts 3 an entry, null without colour frequency).
struct HogRow {
  const uint8_t* row;
  const uint8_t* up;
  const uint8_t* down;
  int width;
  const uint8_t* binTable;
  int32_t* tableIndex;
  float* energy;
  float* magnitude;
  uint8_t* channel;
  float* columnSums;
  float* integral;
  int32_t* columnCounts;
  int32_t* counts;
};

// The blocks hogHistograms takes at most.
constexpr int kHogBatch = 8;

struct FeatureKernels {
  // Builds one row of the integrals (HOG::BuildRows).
  void (*hogIntegralRow)(const HogRow& row);
  // The 36 normalised histogram values of a block (HOG::ExtractFeatures),
  // from the orientation integral whose row r starts at entry rowEntry[r].
  void (*hogHistogram)(const float* integral, const size_t* rowEntry, const BlockRect& rect,
                       float* out);
  // hogHistogram for 1..kHogBatch blocks, bit for bit.
  void (*hogHistograms)(const float* integral, const size_t* rowEntry, const BlockRect* rects,
                        int count, float* const* out);
  // One image row of blue-green-red pixels to co-occurrence levels: the
  // band (Cooccurrence::kHue, kSaturation, kValue) of each pixel through the
  // table `level`; `work` holds 4 * cols ints.
  void (*bandLevels)(const uint8_t* bgr, int cols, int band, const uint8_t* level, int* work,
                     uint8_t* out);
  // Counts from zero the pairs at distance d of the width x height block
  // whose top-left pixel is `top`, rows `stride` bytes apart.
  void (*countPairs)(OrderedPairCounts& counts, const uint8_t* top, size_t stride, int width,
                     int height, int d);
  // Moves the counts of the block at column `from` of the rows starting at
  // `top` to the block at column `to` > from, one column at a time.
  void (*slidePairs)(OrderedPairCounts& counts, const uint8_t* top, size_t stride, int height,
                     int from, int to, int width, int d);
  // The four symmetric matrices (count plus transpose) of ordered counts;
  // out 16-byte aligned.
  void (*symmetricPairs)(const OrderedPairCounts& ordered,
                         uint16_t (*out)[CooccurrenceStatistics::kCells]);
  // The blocks evaluateBatch takes at most: one per lane.
  int cooccurrenceBatch;
  // CooccurrenceStatistics::Evaluate and EvaluateBatch with its tables.
  void (*evaluate)(CooccurrenceStatistics::Tables& tables,
                   const uint16_t (*counts)[CooccurrenceStatistics::kCells],
                   const CooccurrenceStatistics::EntropyTable* const* entropy, float* out);
  void (*evaluateBatch)(
      CooccurrenceStatistics::Tables& tables,
      const uint16_t (*counts)[CooccurrenceStatistics::kDirections][CooccurrenceStatistics::kCells],
      int count, const CooccurrenceStatistics::EntropyTable* const* entropy, float* const* out);
};

#if defined(PEDSCAN_NATIVE)
namespace native { extern const FeatureKernels kFeatureKernels; }
#else
namespace baseline { extern const FeatureKernels kFeatureKernels; }
namespace avx2 { extern const FeatureKernels kFeatureKernels; }
namespace avx512 { extern const FeatureKernels kFeatureKernels; }
#endif

// The table of a path; requires cpu::Built(path).
inline const FeatureKernels& FeatureKernelsOf(cpu::Path path) {
#if defined(PEDSCAN_NATIVE)
  (void)path;
  return native::kFeatureKernels;
#else
  switch (path) {
    case cpu::Path::kAvx512: return avx512::kFeatureKernels;
    case cpu::Path::kAvx2: return avx2::kFeatureKernels;
    default: return baseline::kFeatureKernels;
  }
#endif
}

// The table of the path the process runs now.
inline const FeatureKernels& FeatureKernelsNow() { return FeatureKernelsOf(cpu::ActivePath()); }

}  // namespace pedscan
