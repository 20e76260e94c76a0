// The interface every feature extraction method implements.
//
// A method is configured once (SetParameters, then Initialize) and then fed
// image by image: AddNewImage does the per-image precomputation,
// ExtractFeatures reads it for any number of block rectangles, ReleaseImage
// frees it. Prototypes are never configured; Clone gives a fresh instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "support/parameter_map.h"
#include "support/geometry.h"

namespace pedscan {

class ExtractionMethod {
 public:
  virtual ~ExtractionMethod() = default;

  // image: 8-bit, 3 channels, blue-green-red. Kept by reference semantics
  // only through what the method precomputes.
  virtual void AddNewImage(const cv::Mat& image) = 0;
  // Applies and validates a parameter set. An unknown key throws the plain
  // Failure "Parameter '%s' invalid for feature '%s'\n".
  virtual void SetParameters(const ParameterMap& params) = 0;
  // Writes exactly GetNumberOfFeatures() values for the block with inclusive
  // corners (x0, y0)-(x1, y1) of the current image.
  virtual void ExtractFeatures(const BlockRect& rect, float* out) = 0;
  // ExtractFeatures for each of `count` blocks, block i's values going to
  // out[i], bit for bit. A method that evaluates several blocks faster
  // together overrides it.
  virtual void ExtractFeaturesBatch(const BlockRect* rects, int count, float* const* out) {
    for (int i = 0; i < count; ++i) ExtractFeatures(rects[i], out[i]);
  }
  // ExtractFeatures for the blocks [x, x + width - 1] x [y0, y1] of the
  // `count` ascending values x of xs, their values one block after another
  // in out, bit for bit. Requires: y1 >= y0, width >= 1.
  virtual void ExtractFeaturesRow(int y0, int y1, int width, const int* xs, int count,
                                  float* out) {
    for (int i = 0; i < count; ++i) {
      BlockRect rect;
      rect.x0 = xs[i];
      rect.y0 = y0;
      rect.x1 = xs[i] + width - 1;
      rect.y1 = y1;
      rect.width = width;
      rect.height = y1 - y0 + 1;
      ExtractFeatures(rect, out + static_cast<size_t>(i) * GetNumberOfFeatures());
    }
  }
  // Whether neighbouring blocks of a row share work in ExtractFeaturesRow,
  // so that a scan is better served by computing every block it reads up
  // front, row by row (FeatureControl::FillCacheForScan). False by default:
  // such a fill reads the image out of the windows' order, which a method
  // keeping only a window's rows (SetStreamRows) cannot follow.
  virtual bool PrefersRows() const { return false; }
  // Announces that, from the next image on, reads come as a scan does them:
  // the top rows of the blocks read never decrease from one window to the
  // next, and the blocks of one window span at most `rows` rows. A method
  // may then keep only the rows such reads need instead of the whole image.
  // 0 (the initial state) promises nothing. Values read are the same either
  // way.
  virtual void SetStreamRows(int rows) { (void)rows; }
  // The bytes that AddNewImage and the reads of one image of width x height
  // hold at most (with the streaming promise in force, if given): what the
  // detection mode weighs against the memory available before it starts a
  // frame.
  virtual int64_t ImageBytes(int width, int height) const {
    (void)width;
    (void)height;
    return 0;
  }
  virtual void Initialize() = 0;
  virtual void ReleaseImage() = 0;
  virtual int GetNumberOfFeatures() const = 0;
  // "HOG", "COOCH", "COOCS" or "COOCV".
  virtual std::string GetName() const = 0;
  // A new, unconfigured object of the same method carrying this one's fields.
  virtual std::unique_ptr<ExtractionMethod> Clone() const = 0;
};

}  // namespace pedscan
