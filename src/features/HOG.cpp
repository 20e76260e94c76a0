#include "features/HOG.h"

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__SSE__)
#include <immintrin.h>
#endif

#include "numeric/kernels.h"
#include "numeric/lanes.h"
#include "support/failure.h"

namespace pedscan {

namespace {

constexpr char kSource[] = "HOG";
constexpr int kNoFeaturesLine = 271;
// Preconditions of callers: lines of their own, next to the function.
constexpr int kGradientRangeLine = 134;
constexpr int kImageTypeLine = 168;
constexpr int kNoImageLine = 349;
constexpr char kNoFeaturesMessage[] = "No features selected for HOG/Color Frequency";

// Differences of 8-bit samples lie in -255..255, so every gradient a pixel can
// have is one of 511 x 511 pairs.
constexpr int kMaxGradient = 255;
constexpr int kGradientSide = 2 * kMaxGradient + 1;

// Single-precision pi folds negative angles into [0, pi].
constexpr float kPiFloat = 3.1415927f;
// The divisor is slightly above pi so that an angle of exactly pi lands in
// bin 8 and the bins run 0..8.
constexpr double kBinDivisor = 3.1415936535897933;

int DirectOrientationBin(int gx, int gy) {
  float angle = static_cast<float>(std::atan2(static_cast<double>(gy), static_cast<double>(gx)));
  if (angle < 0) angle = angle + kPiFloat;
  return static_cast<int>(std::floor(static_cast<double>(angle) * 9.0 / kBinDivisor));
}

// The bin of every possible gradient, computed once with atan2 exactly as a
// per-pixel evaluation would, so a look-up gives the same bin without paying
// for atan2 at each pixel. Indexed by (gy + 255) * 511 + (gx + 255).
const uint8_t* OrientationBinTable() {
  static const std::vector<uint8_t> table = [] {
    std::vector<uint8_t> bins(static_cast<size_t>(kGradientSide) * kGradientSide);
    for (int gy = -kMaxGradient; gy <= kMaxGradient; ++gy) {
      for (int gx = -kMaxGradient; gx <= kMaxGradient; ++gx) {
        bins[static_cast<size_t>(gy + kMaxGradient) * kGradientSide + (gx + kMaxGradient)] =
            static_cast<uint8_t>(DirectOrientationBin(gx, gy));
      }
    }
    return bins;
  }();
  return table.data();
}

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
#if defined(__SSE__)
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(out + i, _mm_sqrt_ps(_mm_loadu_ps(in + i)));
#endif
  for (; i < n; ++i) out[i] = std::sqrt(in[i]);
}

// Votes one row into the running column sums (kBins per column) and writes
// that row of the integral: out[c] = columns[c] + out[c - 1] per bin, where
// out[-1] is the zero column. Lane-wise vector additions are the scalar ones.
void AccumulateRow(float* columns, float* out, const int32_t* tableIndex, const float* magnitude,
                   const uint8_t* binTable, int width) {
  constexpr int kBins = HOG::kBins;
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

}  // namespace

int HOG::OrientationBin(int gx, int gy) {
  Require(std::abs(gx) <= kMaxGradient && std::abs(gy) <= kMaxGradient, kSource,
          "HOG::OrientationBin", kGradientRangeLine,
          [&] { return Format("gradient (%d, %d) outside -255..255", gx, gy); });
  return OrientationBinTable()[static_cast<size_t>(gy + kMaxGradient) * kGradientSide +
                               (gx + kMaxGradient)];
}

void HOG::SetParameters(const ParameterMap& params) {
  for (const auto& [key, value] : params) {
    if (key == "UseHOG") {
      useHOG_ = std::atoi(value.c_str()) != 0;
    } else if (key == "UseColorFrequency") {
      useColorFrequency_ = std::atoi(value.c_str()) != 0;
    } else if (key == "cache") {
      // The feature cache is the registry's business.
    } else {
      FailPlain(Format("Parameter '%s' invalid for feature '%s'\n", key.c_str(), "HOG"));
    }
  }
  if (!useHOG_ && !useColorFrequency_) {
    Fatal(kSource, "HOG::SetParameters", kNoFeaturesLine, kNoFeaturesMessage);
  }
}

int HOG::GetNumberOfFeatures() const {
  return kHogFeatures * static_cast<int>(useHOG_) + kChannels * static_cast<int>(useColorFrequency_);
}

std::unique_ptr<ExtractionMethod> HOG::Clone() const {
  auto copy = std::make_unique<HOG>();
  copy->useColorFrequency_ = useColorFrequency_;
  copy->useHOG_ = useHOG_;
  return copy;
}

void HOG::AddNewImage(const cv::Mat& image) {
  Require(image.type() == CV_8UC3, kSource, "HOG::AddNewImage", kImageTypeLine, [&] {
    return Format("image of type %d, not 8-bit with 3 channels", image.type());
  });
  image_ = image;
  width_ = image.cols;
  height_ = image.rows;
  stride_ = width_ + 1;
  AllocateRows(RowsHeld(height_));
  Restart();
  if (streamRows_ <= 0) BuildRows(height_);
}

void HOG::SetStreamRows(int rows) { streamRows_ = std::max(rows, 0); }

int HOG::RowsHeld(int height) const {
  // Streaming keeps the rows of one window (plus the row above its top) in
  // a ring; otherwise every row of the image is held and built right away.
  const int64_t all = int64_t{height} + 1;
  return static_cast<int>(streamRows_ > 0 ? std::min<int64_t>(int64_t{streamRows_} + 2, all) : all);
}

int64_t HOG::ImageBytes(int width, int height) const {
  const int64_t rows = RowsHeld(height);
  const int64_t entryBytes = sizeof(float) * kBins + (useColorFrequency_ ? 4 * kChannels : 0);
  const int64_t workBytes = sizeof(float) * kBins + 4 * kChannels + 4 + 4 + 4 + 1;
  return rows * (int64_t{width} + 1) * entryBytes + (int64_t{height} + 1) * 8 + width * workBytes;
}

void HOG::AllocateRows(int rows) {
  ringRows_ = rows;
  const size_t entries = static_cast<size_t>(ringRows_) * stride_;
  // Every entry is written before it is read, so the arrays are not zeroed.
  orientation_.reset(new float[entries * kBins]);
  color_.reset(useColorFrequency_ ? new int32_t[entries * kChannels] : nullptr);
  rowEntry_.resize(static_cast<size_t>(height_) + 1);
  for (int r = 0; r <= height_; ++r) {
    rowEntry_[static_cast<size_t>(r)] = static_cast<size_t>(r % ringRows_) * stride_;
  }
}

void HOG::Restart() {
  // Running sums down each pixel column of the rows built so far, one entry
  // per column. Adding a pixel's magnitude to its own bin only is the same as
  // adding every bin's value, because the other bins receive +0 and a sum of
  // non-negative magnitudes is never -0.
  columnSums_.assign(static_cast<size_t>(width_) * kBins, 0.0f);
  columnCounts_.assign(useColorFrequency_ ? static_cast<size_t>(width_) * kChannels : 0, 0);
  tableIndex_.resize(static_cast<size_t>(width_));
  energy_.resize(static_cast<size_t>(width_));
  magnitude_.resize(static_cast<size_t>(width_));
  channel_.resize(static_cast<size_t>(width_));
  // Row 0 of the integrals is zero.
  std::fill(orientation_.get(), orientation_.get() + static_cast<size_t>(stride_) * kBins, 0.0f);
  if (color_) std::fill(color_.get(), color_.get() + static_cast<size_t>(stride_) * kChannels, 0);
  builtRows_ = 1;
}

void HOG::EnsureRows(int first, int last) {
  if (last < builtRows_ && first > builtRows_ - 1 - ringRows_) return;
  if (last - first + 1 > ringRows_) {
    // A read taller than the ring: hold every row from now on.
    AllocateRows(height_ + 1);
    Restart();
  } else if (first <= builtRows_ - 1 - ringRows_) {
    // A row already dropped: the sums are rebuilt from the top, which gives
    // the same values again.
    Restart();
  }
  BuildRows(last);
}

void HOG::BuildRows(int last) {
  const uint8_t* binTable = OrientationBinTable();
  const int width = width_;
  const int height = height_;
  const cv::Mat& image = image_;
  int32_t* tableIndex = tableIndex_.data();
  float* energy = energy_.data();
  uint8_t* channel = channel_.data();
  for (; builtRows_ <= last; ++builtRows_) {
    const int y = builtRows_ - 1;
    const uint8_t* row = image.ptr<uint8_t>(y);
    const uint8_t* up = image.ptr<uint8_t>(y > 0 ? y - 1 : y);
    const uint8_t* down = image.ptr<uint8_t>(y < height - 1 ? y + 1 : y);

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
    SquareRoots(energy, magnitude_.data(), width);

    // Row r = y + 1 of the integrals: column 0 is zero, the rest is the
    // column sums accumulated along the row.
    float* out = orientation_.get() + rowEntry_[static_cast<size_t>(y + 1)] * kBins;
    for (int b = 0; b < kBins; ++b) out[b] = 0.0f;
    AccumulateRow(columnSums_.data(), out + kBins, tableIndex, magnitude_.data(), binTable, width);
    if (color_) {
      int32_t* counts = color_.get() + rowEntry_[static_cast<size_t>(y + 1)] * kChannels;
      int32_t running[kChannels] = {0, 0, 0};
      for (int k = 0; k < kChannels; ++k) counts[k] = 0;
      for (int x = 0; x < width; ++x) {
        int32_t* column = columnCounts_.data() + static_cast<size_t>(x) * kChannels;
        column[channel[x]] += 1;
        int32_t* entry = counts + static_cast<size_t>(x + 1) * kChannels;
        for (int k = 0; k < kChannels; ++k) entry[k] = running[k] = column[k] + running[k];
      }
    }
  }
}

void HOG::CellSums(const BlockRect& rect, float* out) const {
  const int width = rect.x1 - rect.x0 + 1;
  const int height = rect.y1 - rect.y0 + 1;
  const int xm = rect.x0 + width / 2;
  const int ym = rect.y0 + height / 2;
  // Cell boundaries as integral coordinates: cell (i, j) spans rows
  // rowEdges[i]..rowEdges[i + 1] - 1 and columns colEdges[j]..colEdges[j + 1] - 1.
  // An odd size gives the extra row or column to the bottom or right cells.
  const int rowEdges[3] = {rect.y0, ym, rect.y1 + 1};
  const int colEdges[3] = {rect.x0, xm, rect.x1 + 1};
  const float* base = orientation_.get();
  const size_t* rowEntry = rowEntry_.data();
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

// Called only with colour frequency on and an image held (checked by the
// callers), so that the colour integral exists.
void HOG::ColorFractions(const BlockRect& rect, float* out) const {
  const int32_t* base = color_.get();
  const size_t* rowEntry = rowEntry_.data();
  auto corner = [&](int r, int c) { return base + (rowEntry[r] + c) * kChannels; };
  const int32_t* bottomRight = corner(rect.y1 + 1, rect.x1 + 1);
  const int32_t* bottomLeft = corner(rect.y1 + 1, rect.x0);
  const int32_t* topRight = corner(rect.y0, rect.x1 + 1);
  const int32_t* topLeft = corner(rect.y0, rect.x0);
  float counts[kChannels];
  for (int k = 0; k < kChannels; ++k) {
    counts[k] = static_cast<float>((bottomRight[k] - bottomLeft[k]) - (topRight[k] - topLeft[k]));
  }
  const float total = ((0.0f + counts[0]) + counts[1]) + counts[2];
  for (int k = 0; k < kChannels; ++k) out[k] = counts[k] / total;
}

void HOG::ExtractFeatures(const BlockRect& rect, float* out) {
  RequireImage("HOG::ExtractFeatures");
  EnsureRows(rect.y0, rect.y1 + 1);
  if (useHOG_) {
    CellSums(rect, out);
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
    out += kHogFeatures;
  }
  if (useColorFrequency_) ColorFractions(rect, out);
}

void HOG::ExtractFeaturesBatch(const BlockRect* rects, int count, float* const* out) {
#if defined(__AVX__)
  if (!useHOG_) {
    ExtractionMethod::ExtractFeaturesBatch(rects, count, out);
    return;
  }
  RequireImage("HOG::ExtractFeaturesBatch");
  // Eight blocks side by side, one per lane: every step of ExtractFeatures
  // is taken for all of them at once, in the same order.
  constexpr int kLanes = 8;
  constexpr int kPadded = 40;  // 36 values rounded up to whole transposes
  for (int start = 0; start < count; start += kLanes) {
    const int n = std::min(kLanes, count - start);
    int first = rects[start].y0;
    int last = rects[start].y1 + 1;
    for (int b = 1; b < n; ++b) {
      first = std::min(first, rects[start + b].y0);
      last = std::max(last, rects[start + b].y1 + 1);
    }
    EnsureRows(first, last);
    alignas(32) float raw[kLanes][kPadded];
    for (int b = 0; b < kLanes; ++b) {
      // Lanes past the last block repeat it; their results are dropped.
      CellSums(rects[start + std::min(b, n - 1)], raw[b]);
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
      std::memcpy(out[start + b], lane, sizeof(float) * kHogFeatures);
      if (useColorFrequency_) ColorFractions(rects[start + b], out[start + b] + kHogFeatures);
    }
  }
#else
  ExtractionMethod::ExtractFeaturesBatch(rects, count, out);
#endif
}

void HOG::RequireImage(const char* function) const {
  Require(orientation_ != nullptr, kSource, function, kNoImageLine,
          [] { return std::string("no image has been added"); });
}

void HOG::ReleaseImage() {
  orientation_.reset();
  color_.reset();
  image_.release();
  stride_ = 0;
  ringRows_ = 0;
  builtRows_ = 0;
  // The work arrays grow with the image width; a large level's must not
  // outlive it.
  std::vector<size_t>().swap(rowEntry_);
  std::vector<float>().swap(columnSums_);
  std::vector<int32_t>().swap(columnCounts_);
  std::vector<int32_t>().swap(tableIndex_);
  std::vector<float>().swap(energy_);
  std::vector<float>().swap(magnitude_);
  std::vector<uint8_t>().swap(channel_);
}

}  // namespace pedscan
