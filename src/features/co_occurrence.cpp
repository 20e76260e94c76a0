#include "features/co_occurrence.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "features/band_values.h"
#include "features/dispatch.h"
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

constexpr int kMaxBatch = CooccurrenceStatistics::kMaxBatch;

// Blocks of one size waiting, as symmetric pair counts, to be evaluated
// together. Evaluates a full batch as soon as it fills; Flush evaluates the
// rest. Holds no tables until SetTables.
class PendingBlocks {
 public:
  PendingBlocks(CooccurrenceStatistics& statistics, const FeatureKernels& kernels)
      : statistics_(statistics), kernels_(kernels) {}

  // Evaluates the blocks waiting, then takes blocks with these tables.
  void SetTables(const CooccurrenceStatistics::EntropyTable* const* tables) {
    Flush();
    std::copy(tables, tables + Cooccurrence::kDirections, tables_);
  }
  // Adds a block by its ordered counts; its values will go to out.
  void Add(const OrderedPairCounts& ordered, float* out) {
    kernels_.symmetricPairs(ordered, counts_[pending_]);
    out_[pending_++] = out;
    if (pending_ == kernels_.cooccurrenceBatch) Flush();
  }
  void Flush() {
    if (pending_ > 0) statistics_.EvaluateBatch(counts_, pending_, tables_, out_);
    pending_ = 0;
  }

 private:
  CooccurrenceStatistics& statistics_;
  const FeatureKernels& kernels_;
  const CooccurrenceStatistics::EntropyTable* tables_[Cooccurrence::kDirections] = {};
  alignas(32) uint16_t counts_[kMaxBatch][Cooccurrence::kDirections][Cooccurrence::kCells];
  float* out_[kMaxBatch];
  int pending_ = 0;
};

BlockRect RowBlock(int x, int y0, int y1, int width) {
  BlockRect rect;
  rect.x0 = x;
  rect.y0 = y0;
  rect.x1 = x + width - 1;
  rect.y1 = y1;
  rect.width = width;
  rect.height = y1 - y0 + 1;
  return rect;
}

}  // namespace

int Cooccurrence::Hue(int red, int green, int blue) { return common::HueOf(red, green, blue); }

int Cooccurrence::Saturation(int red, int green, int blue) {
  return common::SaturationOf(red, green, blue);
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

void Cooccurrence::Initialize() { statistics_.Initialize(); }

bool Cooccurrence::FindTables(int64_t width, int64_t height, const EntropyTableEntry** tables,
                              int64_t* missing) const {
  const int64_t d = distance_;
  const int64_t shortWidth = std::max<int64_t>(width - d, 0);
  const int64_t shortHeight = std::max<int64_t>(height - d, 0);
  // Each pair adds 2 to its direction's count (both orders are counted).
  const int64_t pairs[kDirections] = {2 * height * shortWidth, 2 * shortHeight * shortWidth,
                                      2 * shortHeight * width, 2 * shortHeight * shortWidth};
  for (int dir = 0; dir < kDirections; ++dir) {
    tables[dir] = statistics_.FindTable(pairs[dir]);
    if (tables[dir] == nullptr) {
      *missing = pairs[dir];
      return false;
    }
  }
  return true;
}

const std::vector<float>* Cooccurrence::EntropyTable(int64_t pairs) const {
  const EntropyTableEntry* table = statistics_.FindTable(pairs);
  return table == nullptr ? nullptr : &table->values;
}

bool Cooccurrence::MultipliesByReciprocal(int64_t pairs) const {
  const EntropyTableEntry* table = statistics_.FindTable(pairs);
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
  const FeatureKernels& kernels = FeatureKernelsNow();
  std::vector<int> work(4 * static_cast<size_t>(image.cols));
  for (int y = 0; y < image.rows; ++y) {
    kernels.bandLevels(image.ptr<uint8_t>(y), image.cols, band_, level, work.data(),
                       levels_.ptr<uint8_t>(y));
  }
}

void Cooccurrence::ReleaseImage() { levels_.release(); }

void Cooccurrence::ExtractFeatures(const BlockRect& rect, float* out) {
  statistics_.Initialize();
  // The block clipped to the image: a pair counts only when both of its
  // pixels lie in the block and in the image.
  const int xa = std::max(rect.x0, 0);
  const int ya = std::max(rect.y0, 0);
  const int xb = std::min(rect.x1, levels_.cols - 1);
  const int yb = std::min(rect.y1, levels_.rows - 1);
  const int width = std::max(xb - xa + 1, 0);
  const int height = std::max(yb - ya + 1, 0);
  const EntropyTableEntry* tables[kDirections];
  int64_t missing = 0;
  if (!FindTables(width, height, tables, &missing)) {
    FailPlain(Format(kMissingTableMessage, static_cast<int>(missing)));
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
  // A block with a table holds a pair, so it lies inside the image.
  const FeatureKernels& kernels = FeatureKernelsNow();
  alignas(32) OrderedPairCounts ordered;
  kernels.countPairs(ordered, levels_.ptr<uint8_t>(ya) + xa, levels_.step, width, height,
                     distance_);
  alignas(32) uint16_t counts[kDirections][kCells];
  kernels.symmetricPairs(ordered, counts);
  statistics_.Evaluate(counts, tables, out);
}

template <class BlockAt>
void Cooccurrence::ExtractBlocks(int count, BlockAt blockAt) {
  statistics_.Initialize();
  const int d = distance_;
  const FeatureKernels& kernels = FeatureKernelsNow();
  PendingBlocks pending(statistics_, kernels);
  // The size of the blocks waiting in `pending`, and whether it has tables.
  int batchWidth = -1;
  int batchHeight = -1;
  bool haveTables = false;
  // The block whose pair counts `ordered` holds, when `held`.
  alignas(32) OrderedPairCounts ordered;
  bool held = false;
  int heldX = 0;
  int heldY = 0;
  for (int i = 0; i < count; ++i) {
    const auto [r, features] = blockAt(i);
    const int width = r.x1 - r.x0 + 1;
    const int height = r.y1 - r.y0 + 1;
    // Counting reads only pixels inside the image; blocks that cross its
    // border (and degenerate ones) take the single path, which clips.
    const bool inside = r.x0 >= 0 && r.y0 >= 0 && r.x1 < levels_.cols && r.y1 < levels_.rows &&
                        width > d && height > d;
    if (inside && (width != batchWidth || height != batchHeight)) {
      const EntropyTableEntry* tables[kDirections];
      int64_t missing = 0;
      haveTables = FindTables(width, height, tables, &missing);
      if (haveTables) pending.SetTables(tables);
      batchWidth = width;
      batchHeight = height;
      held = false;
    }
    if (!inside || !haveTables) {
      ExtractFeatures(r, features);
      continue;
    }
    const uint8_t* const top = levels_.ptr<uint8_t>(r.y0);
    if (held && r.y0 == heldY && r.x0 > heldX && r.x0 - heldX <= kMaxSlide) {
      kernels.slidePairs(ordered, top, levels_.step, height, heldX, r.x0, width, d);
      heldX = r.x0;
    } else {
      kernels.countPairs(ordered, top + r.x0, levels_.step, width, height, d);
      held = true;
      heldX = r.x0;
      heldY = r.y0;
    }
    pending.Add(ordered, features);
  }
  pending.Flush();
}

void Cooccurrence::ExtractFeaturesRow(int y0, int y1, int width, const int* xs, int count,
                                      float* out) {
  ExtractBlocks(count, [&](int i) {
    return std::make_pair(RowBlock(xs[i], y0, y1, width), out + static_cast<size_t>(i) * kFeatures);
  });
}

void Cooccurrence::ExtractFeaturesBatch(const BlockRect* rects, int count, float* const* out) {
  ExtractBlocks(count, [&](int i) { return std::make_pair(rects[i], out[i]); });
}

}  // namespace pedscan
