#include "features/co_occurrence.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <immintrin.h>

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

constexpr int kBatch = CooccurrenceStatistics::kBatch;

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

// Counts, from zero, the pairs of the block of width x height pixels whose
// top-left pixel is `top`, its rows `stride` bytes apart.
inline void CountBlock(OrderedCounts& counts, const uint8_t* top, size_t stride, int width,
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
inline void SlideRight(OrderedCounts& counts, const uint8_t* top, size_t stride, int height,
                       int x, int width, int d) {
  constexpr int L = Cooccurrence::kLevels;
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
  constexpr int L = Cooccurrence::kLevels;
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

// Blocks of one size waiting, as symmetric pair counts, to be evaluated
// together. Evaluates a full batch as soon as it fills; Flush evaluates the
// rest. Holds no tables until SetTables.
class PendingBlocks {
 public:
  explicit PendingBlocks(CooccurrenceStatistics& statistics) : statistics_(statistics) {}

  // Evaluates the blocks waiting, then takes blocks with these tables.
  void SetTables(const CooccurrenceStatistics::EntropyTable* const* tables) {
    Flush();
    std::copy(tables, tables + Cooccurrence::kDirections, tables_);
  }
  // Adds a block by its ordered counts; its values will go to out.
  void Add(const OrderedCounts& ordered, float* out) {
    for (int dir = 0; dir < Cooccurrence::kDirections; ++dir) {
      SymmetricCounts(ordered[dir][0], ordered[dir][1], counts_[pending_][dir]);
    }
    out_[pending_++] = out;
    if (pending_ == kBatch) Flush();
  }
  void Flush() {
    if (pending_ > 0) statistics_.EvaluateBatch(counts_, pending_, tables_, out_);
    pending_ = 0;
  }

 private:
  CooccurrenceStatistics& statistics_;
  const CooccurrenceStatistics::EntropyTable* tables_[Cooccurrence::kDirections] = {};
  alignas(32) uint16_t counts_[kBatch][Cooccurrence::kDirections][Cooccurrence::kCells];
  float* out_[kBatch];
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
  alignas(32) OrderedCounts ordered;
  CountBlock(ordered, levels_.ptr<uint8_t>(ya) + xa, levels_.step, width, height, distance_);
  alignas(32) uint16_t counts[kDirections][kCells];
  for (int dir = 0; dir < kDirections; ++dir) {
    SymmetricCounts(ordered[dir][0], ordered[dir][1], counts[dir]);
  }
  statistics_.Evaluate(counts, tables, out);
}

template <class BlockAt>
void Cooccurrence::ExtractBlocks(int count, BlockAt blockAt) {
  statistics_.Initialize();
  const int d = distance_;
  PendingBlocks pending(statistics_);
  // The size of the blocks waiting in `pending`, and whether it has tables.
  int batchWidth = -1;
  int batchHeight = -1;
  bool haveTables = false;
  // The block whose pair counts `ordered` holds, when `held`.
  alignas(32) OrderedCounts ordered;
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
      for (; heldX < r.x0; ++heldX) SlideRight(ordered, top, levels_.step, height, heldX, width, d);
    } else {
      CountBlock(ordered, top + r.x0, levels_.step, width, height, d);
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
