// Histogram-of-oriented-gradients and colour-frequency features of a block.
//
// HOG is the extraction method registered as "HOG". Per block it yields up to
// two groups: 36 gradient-histogram values (a 2 x 2 grid of cells, 9 unsigned
// orientation bins each, normalised together) and 3 colour fractions (the
// share of the block's pixels whose strongest gradient lies in the blue, the
// green or the red channel). AddNewImage builds integral images of the
// per-pixel votes, so a block costs a fixed number of look-ups whatever its
// size. After construction both groups are off and no image is held; the
// object owns its integral images.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "features/extraction_method.h"

namespace pedscan {

class HOG : public ExtractionMethod {
 public:
  static constexpr int kBins = 9;
  static constexpr int kChannels = 3;
  static constexpr int kHogFeatures = 4 * kBins;

  HOG() = default;

  // Builds the orientation integral histogram and, with colour frequency on,
  // the colour integral of `image` (CV_8UC3, blue-green-red). Along a
  // dimension of size 1 there is no neighbour to difference with and the
  // gradient along it is 0.
  // Holds (a reference to) the image; in streaming mode the integral rows
  // are built when a read first needs them.
  void AddNewImage(const cv::Mat& image) override;
  // Streaming mode for rows > 0: only the integral rows of one read of at
  // most `rows` image rows are held (a ring), built as reads move down.
  // Reads whose top rows never decrease (a scan, rows outer) build each row
  // once; a read above the ring rebuilds from the top, with the same values.
  void SetStreamRows(int rows) override;
  // The integral rows held (all, or the ring) and the per-row work arrays.
  int64_t ImageBytes(int width, int height) const override;
  // Keys "UseHOG", "UseColorFrequency" (atoi != 0 turns a group on) and
  // "cache" (ignored here). Throws the plain Failure "Parameter '%s' invalid
  // for feature 'HOG'\n" for any other key, and the fatal report "No features
  // selected for HOG/Color Frequency" when both groups end up off.
  void SetParameters(const ParameterMap& params) override;
  // Requires: an image is loaded (else the fatal precondition report) and
  // the block lies inside it.
  // Writes 36 histogram values (cells top-left, top-right, bottom-left,
  // bottom-right, bins 0..8 each) when UseHOG, then 3 colour fractions (blue,
  // green, red) when UseColorFrequency. Allocates nothing.
  void ExtractFeatures(const BlockRect& rect, float* out) override;
  // On the AVX paths the histograms of eight blocks are normalised
  // together, one block per vector lane; the baseline path takes them one
  // by one. The values are the same.
  void ExtractFeaturesBatch(const BlockRect* rects, int count, float* const* out) override;
  void Initialize() override {}
  void ReleaseImage() override;
  int GetNumberOfFeatures() const override;
  std::string GetName() const override { return "HOG"; }
  // Copies the two flags; the copy holds no image.
  std::unique_ptr<ExtractionMethod> Clone() const override;

  bool UseHOG() const { return useHOG_; }
  bool UseColorFrequency() const { return useColorFrequency_; }

  // The orientation bin (0..8) of a gradient whose components lie in
  // -255..255: floor(angle * 9 / 3.1415936535897933) of the atan2 angle
  // folded into [0, pi]. Answered from a table of every possible gradient.
  static int OrientationBin(int gx, int gy);

  // Entry (r, c) of the integral image of bin `bin` (0 <= r <= image height,
  // 0 <= c <= image width): the magnitudes voted into that bin by rows
  // 0..r-1 and columns 0..c-1. Requires a loaded image.
  float OrientationIntegral(int bin, int r, int c) const {
    return orientation_[(rowEntry_[static_cast<size_t>(r)] + c) * kBins + bin];
  }
  // Likewise for the count of pixels whose dominant channel is `channel`
  // (0 blue, 1 green, 2 red). Requires a loaded image and UseColorFrequency.
  int32_t ColorIntegral(int channel, int r, int c) const {
    return color_[(rowEntry_[static_cast<size_t>(r)] + c) * kChannels + channel];
  }

 private:
  // The three colour fractions of a block.
  void ColorFractions(const BlockRect& rect, float* out) const;
  // Throws the precondition report from `function` when no image is held.
  void RequireImage(const char* function) const;
  // The integral rows held for an image of `height` rows.
  int RowsHeld(int height) const;
  // Holds `rows` integral rows (of the current image) in the ring.
  void AllocateRows(int rows);
  // Forgets the rows built and starts again from row 0.
  void Restart();
  // Makes integral rows first..last readable.
  void EnsureRows(int first, int last);
  // Builds the integral rows up to `last`.
  void BuildRows(int last);

  bool useColorFrequency_ = false;
  bool useHOG_ = false;

  // Integral images of the current image, (height + 1) x (width + 1) entries
  // each, with the bins (or channels) of one entry side by side so that a
  // block corner is one contiguous read. Row r sits at entry rowEntry_[r]:
  // r * stride_ when every row is held, a slot of the ring when streaming.
  // Empty when no image is held.
  int stride_ = 0;  // image width + 1
  std::unique_ptr<float[]> orientation_;
  std::unique_ptr<int32_t[]> color_;
  std::vector<size_t> rowEntry_;
  int streamRows_ = 0;
  int ringRows_ = 0;   // integral rows held
  int builtRows_ = 0;  // integral rows 0..builtRows_ - 1 have been built
  cv::Mat image_;
  int width_ = 0;
  int height_ = 0;
  // The running column sums and per-row work arrays of the building.
  std::vector<float> columnSums_;
  std::vector<int32_t> columnCounts_;
  std::vector<int32_t> tableIndex_;
  std::vector<float> energy_;
  std::vector<float> magnitude_;
  std::vector<uint8_t> channel_;
};

}  // namespace pedscan
