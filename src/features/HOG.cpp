#include "features/HOG.h"

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "features/dispatch.h"
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
  const FeatureKernels& kernels = FeatureKernelsNow();
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

    // Row r = y + 1 of the integrals: column 0 is zero, the rest is the
    // column sums accumulated along the row.
    float* out = orientation_.get() + rowEntry_[static_cast<size_t>(y + 1)] * kBins;
    for (int b = 0; b < kBins; ++b) out[b] = 0.0f;
    int32_t* counts = nullptr;
    if (color_) {
      counts = color_.get() + rowEntry_[static_cast<size_t>(y + 1)] * kChannels;
      for (int k = 0; k < kChannels; ++k) counts[k] = 0;
    }
    kernels.hogIntegralRow({row, up, down, width, binTable, tableIndex, energy, magnitude_.data(),
                            channel, columnSums_.data(), out + kBins, columnCounts_.data(),
                            counts == nullptr ? nullptr : counts + kChannels});
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
    FeatureKernelsNow().hogHistogram(orientation_.get(), rowEntry_.data(), rect, out);
    out += kHogFeatures;
  }
  if (useColorFrequency_) ColorFractions(rect, out);
}

void HOG::ExtractFeaturesBatch(const BlockRect* rects, int count, float* const* out) {
  if (!useHOG_) {
    ExtractionMethod::ExtractFeaturesBatch(rects, count, out);
    return;
  }
  RequireImage("HOG::ExtractFeaturesBatch");
  const FeatureKernels& kernels = FeatureKernelsNow();
  // The rows of a group of blocks are made readable together, so that a
  // streaming ring holds them all.
  for (int start = 0; start < count; start += kHogBatch) {
    const int n = std::min(kHogBatch, count - start);
    int first = rects[start].y0;
    int last = rects[start].y1 + 1;
    for (int b = 1; b < n; ++b) {
      first = std::min(first, rects[start + b].y0);
      last = std::max(last, rects[start + b].y1 + 1);
    }
    EnsureRows(first, last);
    kernels.hogHistograms(orientation_.get(), rowEntry_.data(), rects + start, n, out + start);
    if (useColorFrequency_) {
      for (int b = 0; b < n; ++b) ColorFractions(rects[start + b], out[start + b] + kHogFeatures);
    }
  }
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
