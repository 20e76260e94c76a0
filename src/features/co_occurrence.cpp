#include "features/co_occurrence.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "numeric/kernels.h"
#include "support/failure.h"

namespace pedscan {
namespace {

constexpr char kSource[] = "co_occurrence";

constexpr int kInvalidBandLine = 36;
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

// One non-zero cell of a normalised matrix.
struct Entry {
  uint8_t first;   // column c
  uint8_t second;  // row r
  float p;
};

}  // namespace

int Cooccurrence::Hue(int red, int green, int blue) {
  const int maximum = std::max(red, std::max(green, blue));
  const int minimum = std::min(red, std::min(green, blue));
  if (maximum == minimum) return 0;
  int f;
  int k;
  if (red == maximum) {
    f = green - blue;
    k = 0;
  } else if (green == blue) {
    f = blue - red;
    k = 2;
  } else {
    f = red - green;
    k = 4;
  }
  // Single precision: in double, pure blue's 4/6 * 255 lands just below 170
  // and would truncate to 169; in float it rounds to 170 as intended.
  int h = static_cast<int>((static_cast<float>(f) / static_cast<float>(maximum - minimum) +
                            static_cast<float>(k)) /
                           6.0f * 255.0f);
  if (h < 0) h += 255;
  return h;
}

int Cooccurrence::Saturation(int red, int green, int blue) {
  const int maximum = std::max(red, std::max(green, blue));
  const int minimum = std::min(red, std::min(green, blue));
  if (maximum == minimum) return 0;
  return static_cast<int>(static_cast<float>(maximum - minimum) / static_cast<float>(maximum) *
                          255.0f);
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
      rowTimesColumn_[cell] = static_cast<float>(r * c);
      row_[cell] = static_cast<float>(r);
      inverseDifference_[cell] = 1.0f / static_cast<float>((r - c) * (r - c) + 1);
    }
  }
  for (int i = 0; i < 33; ++i) index_[i] = static_cast<float>(i);
  for (int k = 0; k < kLevels; ++k) squares_[k] = static_cast<float>(k * k);

  try {
    entropyTables_.clear();
    for (const TableSize& size : kTableSizes) {
      EntropyTableEntry table{size.pairs, std::vector<float>(size.pairs + 1)};
      table.values[0] = 0.0f;
      // c / S is a single-precision division, like every step of the table.
      for (int c = 1; c <= size.pairs; ++c) {
        table.values[c] = log10f(static_cast<float>(c) / static_cast<float>(size.divisor) +
                                 kTableOffset);
      }
      entropyTables_.push_back(std::move(table));
    }
  } catch (const std::bad_alloc&) {
    // The one failure of the set-up; it goes to the error stream with status 1.
    throw Failure(Failure::Form::kParser, "memory allocation failure\n", 1);
  }
  initialized_ = true;
}

const std::vector<float>* Cooccurrence::EntropyTable(int64_t pairs) const {
  for (const EntropyTableEntry& table : entropyTables_) {
    if (table.pairs == pairs) return &table.values;
  }
  return nullptr;
}

void Cooccurrence::AddNewImage(const cv::Mat& image) {
  if (band_ != kHue && band_ != kSaturation && band_ != kValue) {
    Fatal(kSource, "Cooccurrence::AddNewImage", kInvalidBandLine, kInvalidBandMessage);
  }
  if (bins_ < kLevels) {
    Fatal(kSource, "Cooccurrence::SetParameters", kInvalidParametersLine,
          kInvalidParametersMessage);
  }
  CV_Assert(image.type() == CV_8UC3);

  // floor(v / bins) with the quotient rounded to single precision first.
  uint8_t level[256];
  for (int v = 0; v < 256; ++v) {
    level[v] = static_cast<uint8_t>(std::floor(static_cast<float>(v) / static_cast<float>(bins_)));
  }

  levels_.create(image.rows, image.cols, CV_8UC1);
  for (int y = 0; y < image.rows; ++y) {
    const uint8_t* bgr = image.ptr<uint8_t>(y);
    uint8_t* out = levels_.ptr<uint8_t>(y);
    switch (band_) {
      case kHue:
        for (int x = 0; x < image.cols; ++x, bgr += 3) out[x] = level[Hue(bgr[2], bgr[1], bgr[0])];
        break;
      case kSaturation:
        for (int x = 0; x < image.cols; ++x, bgr += 3) {
          out[x] = level[Saturation(bgr[2], bgr[1], bgr[0])];
        }
        break;
      default:
        for (int x = 0; x < image.cols; ++x, bgr += 3) out[x] = level[Value(bgr[2], bgr[1], bgr[0])];
        break;
    }
  }
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
  const std::vector<float>* tables[kDirections];
  for (int dir = 0; dir < kDirections; ++dir) {
    tables[dir] = EntropyTable(pairs[dir]);
    if (tables[dir] == nullptr) FailPlain(Format(kMissingTableMessage, static_cast<int>(pairs[dir])));
  }

  // Ordered pair counts, cell (u, w) at u + 16 w. Counting integers and
  // converting once gives the very floats that adding 1.0f per pair gives:
  // every partial sum of ones is an integer no larger than the final count,
  // and all integers up to 2^24 are exact in single precision, so no addition
  // ever rounds. Here every count is at most the pair count, at most 1984
  // (the largest count that has an entropy table).
  uint32_t counts[kDirections][kCells];
  std::memset(counts, 0, sizeof(counts));
  for (int y = ya; y <= yb; ++y) {
    const uint8_t* row = levels_.ptr<uint8_t>(y);
    if (y + d <= yb) {
      const uint8_t* below = levels_.ptr<uint8_t>(y + d);
      for (int x = xa; x <= xb; ++x) {
        const int u = row[x];
        if (x + d <= xb) {
          ++counts[0][u + kLevels * row[x + d]];
          ++counts[3][u + kLevels * below[x + d]];
        }
        if (x - d >= xa) ++counts[1][u + kLevels * below[x - d]];
        ++counts[2][u + kLevels * below[x]];
      }
    } else {
      for (int x = xa; x + d <= xb; ++x) ++counts[0][row[x] + kLevels * row[x + d]];
    }
  }

  for (int dir = 0; dir < kDirections; ++dir) {
    const uint32_t* count = counts[dir];
    const float total = static_cast<float>(pairs[dir]);
    const std::vector<float>& table = *tables[dir];

    // Symmetric matrix normalised to probabilities.
    alignas(32) float P[kCells];
    for (int c = 0; c < kLevels; ++c) {
      for (int r = 0; r < kLevels; ++r) {
        P[r + kLevels * c] =
            static_cast<float>(count[r + kLevels * c] + count[c + kLevels * r]) / total;
      }
    }

    // Non-zero cells, column outer, row inner.
    Entry entries[kCells];
    int n = 0;
    for (int c = 0; c < kLevels; ++c) {
      for (int r = 0; r < kLevels; ++r) {
        const float p = P[r + kLevels * c];
        entries[n] = {static_cast<uint8_t>(c), static_cast<uint8_t>(r), p};
        n += p != 0.0f;
      }
    }

    // Sums that the text defines over all cells in flat order run over the
    // non-zero entries instead: the entries keep flat order and every
    // skipped term is +0, which leaves a non-negative sum unchanged.
    float asm2 = 0.0f;
    alignas(32) float sums[34] = {};
    alignas(32) float differences[kLevels] = {};
    alignas(32) float marginal[kLevels] = {};
    for (int i = 0; i < n; ++i) {
      const Entry& e = entries[i];
      asm2 += e.p * e.p;
      sums[e.first + e.second + 2] += e.p;
      differences[std::abs(e.first - e.second)] += e.p;
      marginal[e.first] += e.p;
    }

    // The sum of P over the cells with |r - c| = k in ascending flat order is
    // exactly the difference histogram's bin k: same cells, same order.
    const float contrast = DotProduct(squares_.data(), differences, kLevels);

    const float mean = DotProduct(index_.data(), marginal, kLevels);
    const float sigma = std::sqrt(DotProduct(squares_.data(), marginal, kLevels) - mean * mean);
    const float expected = DotProduct(rowTimesColumn_.data(), P, kCells);
    const float spread = sigma + kDeviationOffset;
    const float correlation = (expected - mean * mean) / (spread * spread);

    // The deviation is taken from r + 1 against a mean of r: this statistic
    // has always been the variance plus one.
    const float rowMean = DotProduct(row_.data(), P, kCells);
    float sumOfSquares = 0.0f;
    float entropy = 0.0f;
    for (int i = 0; i < n; ++i) {
      const Entry& e = entries[i];
      const float deviation = static_cast<float>(e.second + 1) - rowMean;
      sumOfSquares += deviation * deviation * e.p;
      const int c = static_cast<int>(static_cast<double>(e.p) * static_cast<double>(pairs[dir]));
      entropy -= table[c] * e.p;
    }

    const float inverseDifferenceMoment = DotProduct(P, inverseDifference_.data(), kCells);

    const float sumAverage = DotProduct(index_.data(), sums, 33);
    alignas(32) float squaredDeviations[33];
    for (int i = 0; i < 33; ++i) {
      const float deviation = static_cast<float>(i) - sumAverage;
      squaredDeviations[i] = deviation * deviation;
    }
    const float sumVariance = DotProduct(squaredDeviations, sums, 33);
    float sumEntropy = 0.0f;
    for (int i = 2; i <= 32; ++i) {
      if (sums[i] != 0.0f) sumEntropy -= sums[i] * log10f(sums[i] + kHistogramOffset);
    }

    float s1 = 0.0f;
    for (int k = 0; k < kLevels; ++k) s1 += differences[k];
    const float s2 = DotProduct(differences, differences, kLevels);
    const float differenceVariance = (256.0f * s2 - s1 * s1) / 65536.0f;
    float differenceEntropy = 0.0f;
    for (int k = 0; k < kLevels; ++k) {
      if (differences[k] != 0.0f) {
        differenceEntropy -= differences[k] * log10f(differences[k] + kHistogramOffset);
      }
    }

    float diagonal = 0.0f;
    for (int r = 0; r < kLevels; ++r) diagonal += P[r + kLevels * r];

    float* f = out + kStatistics * dir;
    f[0] = asm2;
    f[1] = contrast;
    f[2] = correlation;
    f[3] = sumOfSquares;
    f[4] = inverseDifferenceMoment;
    f[5] = sumAverage;
    f[6] = sumVariance;
    f[7] = sumEntropy;
    f[8] = entropy;
    f[9] = differenceVariance;
    f[10] = differenceEntropy;
    f[11] = diagonal;
  }
}

}  // namespace pedscan
