#include "features/HOG.h"

#include <cassert>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "numeric/kernels.h"
#include "support/failure.h"

namespace pedscan {

namespace {

constexpr int kNoFeaturesLine = 271;
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

inline DominantGradient Dominant(const int gx[3], const int gy[3]) {
  const int eB = gx[0] * gx[0] + gy[0] * gy[0];
  const int eG = gx[1] * gx[1] + gy[1] * gy[1];
  const int eR = gx[2] * gx[2] + gy[2] * gy[2];
  int k;
  if (eG < eB) {
    k = eB > eR ? 0 : 2;
  } else {
    k = eG > eR ? 1 : 2;
  }
  const int e = k == 0 ? eB : (k == 1 ? eG : eR);
  return {gx[k], gy[k], e, k};
}

}  // namespace

int HOG::OrientationBin(int gx, int gy) {
  assert(std::abs(gx) <= kMaxGradient && std::abs(gy) <= kMaxGradient);
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
    Fatal("HOG", "HOG::SetParameters", kNoFeaturesLine, kNoFeaturesMessage);
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
  assert(image.type() == CV_8UC3);
  const int width = image.cols;
  const int height = image.rows;
  const uint8_t* binTable = OrientationBinTable();

  stride_ = width + 1;
  const size_t entries = static_cast<size_t>(height + 1) * stride_;
  // Every entry is written below, so the arrays are not zeroed first.
  orientation_.reset(new float[entries * kBins]);
  color_.reset(useColorFrequency_ ? new int32_t[entries * kChannels] : nullptr);

  // Running column sums of the rows processed so far: entry c holds column
  // c - 1, entry 0 is the zero column. Adding the pixel's magnitude to its
  // own bin only is the same as adding every bin's value, because the other
  // bins receive +0 and a sum of non-negative magnitudes is never -0.
  std::vector<float> columnSums(static_cast<size_t>(stride_) * kBins, 0.0f);
  std::vector<int32_t> columnCounts(useColorFrequency_ ? static_cast<size_t>(stride_) * kChannels
                                                       : 0, 0);
  std::fill(orientation_.get(), orientation_.get() + static_cast<size_t>(stride_) * kBins, 0.0f);
  if (color_) {
    std::fill(color_.get(), color_.get() + static_cast<size_t>(stride_) * kChannels, 0);
  }

  for (int y = 0; y < height; ++y) {
    // One-sided differences at the borders; along a dimension of size 1 both
    // neighbours are the pixel itself and the difference is 0.
    const uint8_t* row = image.ptr<uint8_t>(y);
    const uint8_t* up = image.ptr<uint8_t>(y > 0 ? y - 1 : y);
    const uint8_t* down = image.ptr<uint8_t>(y < height - 1 ? y + 1 : y);

    for (int x = 0; x < width; ++x) {
      const int left = 3 * (x > 0 ? x - 1 : x);
      const int right = 3 * (x < width - 1 ? x + 1 : x);
      const int here = 3 * x;
      int gx[3], gy[3];
      for (int k = 0; k < 3; ++k) {
        gx[k] = row[right + k] - row[left + k];
        gy[k] = up[here + k] - down[here + k];
      }
      const DominantGradient d = Dominant(gx, gy);
      const float magnitude = std::sqrt(static_cast<float>(d.energy));
      const int bin = binTable[static_cast<size_t>(d.gy + kMaxGradient) * kGradientSide +
                               (d.gx + kMaxGradient)];
      columnSums[static_cast<size_t>(x + 1) * kBins + bin] += magnitude;
      if (color_) columnCounts[static_cast<size_t>(x + 1) * kChannels + d.channel] += 1;
    }

    // Row r = y + 1 of the integral: the column sums accumulated along the row.
    float* out = orientation_.get() + static_cast<size_t>(y + 1) * stride_ * kBins;
    for (int b = 0; b < kBins; ++b) out[b] = 0.0f;
    for (int c = 1; c <= width; ++c) {
      float* entry = out + static_cast<size_t>(c) * kBins;
      const float* sums = columnSums.data() + static_cast<size_t>(c) * kBins;
      for (int b = 0; b < kBins; ++b) entry[b] = sums[b] + entry[b - kBins];
    }
    if (color_) {
      int32_t* counts = color_.get() + static_cast<size_t>(y + 1) * stride_ * kChannels;
      for (int k = 0; k < kChannels; ++k) counts[k] = 0;
      for (int c = 1; c <= width; ++c) {
        int32_t* entry = counts + static_cast<size_t>(c) * kChannels;
        const int32_t* column = columnCounts.data() + static_cast<size_t>(c) * kChannels;
        for (int k = 0; k < kChannels; ++k) entry[k] = column[k] + entry[k - kChannels];
      }
    }
  }
}

void HOG::ExtractFeatures(const BlockRect& rect, float* out) {
  assert(orientation_);
  const int width = rect.x1 - rect.x0 + 1;
  const int height = rect.y1 - rect.y0 + 1;
  const int xm = rect.x0 + width / 2;
  const int ym = rect.y0 + height / 2;

  if (useHOG_) {
    // Cell boundaries as integral coordinates: cell (i, j) spans rows
    // rowEdges[i]..rowEdges[i + 1] - 1 and columns colEdges[j]..colEdges[j + 1] - 1.
    // An odd size gives the extra row or column to the bottom or right cells.
    const int rowEdges[3] = {rect.y0, ym, rect.y1 + 1};
    const int colEdges[3] = {rect.x0, xm, rect.x1 + 1};
    const float* base = orientation_.get();
    auto corner = [&](int r, int c) {
      return base + (static_cast<size_t>(r) * stride_ + c) * kBins;
    };
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 2; ++j) {
        const float* bottomRight = corner(rowEdges[i + 1], colEdges[j + 1]);
        const float* bottomLeft = corner(rowEdges[i + 1], colEdges[j]);
        const float* topRight = corner(rowEdges[i], colEdges[j + 1]);
        const float* topLeft = corner(rowEdges[i], colEdges[j]);
        float* cell = out + (2 * i + j) * kBins;
        for (int b = 0; b < kBins; ++b) {
          cell[b] = (bottomRight[b] - bottomLeft[b]) - (topRight[b] - topLeft[b]);
        }
      }
    }
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

  if (useColorFrequency_) {
    assert(color_);
    const int32_t* base = color_.get();
    auto corner = [&](int r, int c) {
      return base + (static_cast<size_t>(r) * stride_ + c) * kChannels;
    };
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
}

void HOG::ReleaseImage() {
  orientation_.reset();
  color_.reset();
  stride_ = 0;
}

}  // namespace pedscan
