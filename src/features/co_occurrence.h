// Grey-level co-occurrence texture features of one colour band.
//
// Cooccurrence is the texture method behind "COOCH", "COOCS" and "COOCV"
// (classes CoocH, CoocS, CoocV), which differ only in the band they analyse:
// hue, saturation or value. AddNewImage quantises the band of the whole image
// to 16 levels; ExtractFeatures counts, inside one block, the level pairs at
// the configured distance in four directions, normalises each symmetric
// 16 x 16 matrix to probabilities and writes twelve Haralick statistics per
// direction: 48 values.
//
// The counting is this class's; the statistics are CooccurrenceStatistics'.
//
// After construction bins and distance are unset (-1), no image is held and
// the tables are not built; SetParameters and Initialize configure the
// object. The object owns its quantised band image and its statistics.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "features/co_occurrence_statistics.h"
#include "features/extraction_method.h"

namespace pedscan {

class Cooccurrence : public ExtractionMethod {
 public:
  static constexpr int kHue = 0;
  static constexpr int kSaturation = 1;
  static constexpr int kValue = 2;

  static constexpr int kLevels = CooccurrenceStatistics::kLevels;
  static constexpr int kCells = CooccurrenceStatistics::kCells;
  static constexpr int kDirections = CooccurrenceStatistics::kDirections;
  static constexpr int kStatistics = CooccurrenceStatistics::kStatistics;
  static constexpr int kFeatures = CooccurrenceStatistics::kFeatures;

  // Quantises the object's band of `image` (CV_8UC3, blue-green-red) to the
  // level floor(v / bins) of every pixel. Throws the fatal report "Invalid
  // color band used for co-occurrence features!" for a band other than hue,
  // saturation, value, and the SetParameters report when bins was never set.
  void AddNewImage(const cv::Mat& image) override;
  // The quantised band (one byte a pixel) and the row work arrays.
  int64_t ImageBytes(int width, int height) const override {
    return int64_t{width} * height + 16 * int64_t{width};
  }
  // Keys "bins" and "distance" (atoi) and "cache" (ignored). Throws the plain
  // Failure "Parameter '%s' invalid for feature '%s'\n" for any other key and
  // the fatal report "Invalid parameters for co-occurrence matrix" when
  // bins < 16 (levels must stay in 0..15) or distance < 1 afterwards.
  void SetParameters(const ParameterMap& params) override;
  // Writes 48 values: directions 0 (right), 1 (down-left), 2 (down),
  // 3 (down-right), twelve statistics each. Only pixels inside both the block
  // and the image take part, so a block crossing the border reads nothing
  // outside. Throws the plain Failure "Error, need to define log table to size
  // %d\n" when a direction's pair count has no entropy table (any block other
  // than 8, 16 or 32 pixels square at distance 1, or one that holds no pair).
  // Allocates nothing.
  void ExtractFeatures(const BlockRect& rect, float* out) override;
  // Writes, for each of the `count` ascending values x of xs, the 48 values
  // ExtractFeatures gives for the block [x, x + width - 1] x [y0, y1], bit
  // for bit, one block after another in out. Blocks inside the image are
  // counted by sliding the previous block's pair counts when it lies a few
  // columns to the left, and evaluated CooccurrenceStatistics::Batch() at a
  // time; the rest go through ExtractFeatures (and fail as it does).
  // Requires: y1 >= y0, width >= 1. Allocates nothing.
  void ExtractFeaturesRow(int y0, int y1, int width, const int* xs, int count,
                          float* out) override;
  bool PrefersRows() const override { return true; }
  // Blocks inside the image are evaluated together, Batch() of one size at
  // a time, a block a few columns right of the previous one on the same rows
  // slid to as in ExtractFeaturesRow; the others go through ExtractFeatures
  // (and fail as it does). Allocates nothing.
  void ExtractFeaturesBatch(const BlockRect* rects, int count, float* const* out) override;
  // Builds the constant and entropy tables. Cheap and idempotent.
  void Initialize() override;
  void ReleaseImage() override;
  int GetNumberOfFeatures() const override { return kFeatures; }

  int band() const { return band_; }
  int bins() const { return bins_; }
  int distance() const { return distance_; }
  // The quantised band of the current image (CV_8UC1), empty when none.
  const cv::Mat& levels() const { return levels_; }

  // Band values 0..255 of one pixel. Hue keeps its historical test sequence:
  // when red is not the largest and green differs from blue, the branch for a
  // blue maximum is taken even if green is the largest.
  static int Hue(int red, int green, int blue);
  static int Saturation(int red, int green, int blue);
  static int Value(int red, int green, int blue);

  // The entropy table for a direction with `pairs` pairs: entry c is
  // log10(c / S + 1e-6) (entry 0 is 0), or null when no table exists.
  const std::vector<float>* EntropyTable(int64_t pairs) const;
  // Whether the probabilities k / N of that table are computed from the
  // reciprocal of N (false when no table exists).
  bool MultipliesByReciprocal(int64_t pairs) const;

 protected:
  explicit Cooccurrence(int band) : band_(band) {}
  // Copies bins, distance and band; the copy holds no image and rebuilds its
  // tables in Initialize.
  Cooccurrence(const Cooccurrence& other)
      : ExtractionMethod(), bins_(other.bins_), distance_(other.distance_), band_(other.band_) {}
  Cooccurrence& operator=(const Cooccurrence&) = delete;

 private:
  using EntropyTableEntry = CooccurrenceStatistics::EntropyTable;
  // The entropy tables of the four directions of a block of width x height
  // pixels at the configured distance. Returns false when a direction's
  // pair count has no table, with that count in *missing.
  bool FindTables(int64_t width, int64_t height, const EntropyTableEntry** tables,
                  int64_t* missing) const;
  // ExtractFeaturesRow and ExtractFeaturesBatch: block i is blockAt(i), a
  // rectangle and where its values go.
  template <class BlockAt>
  void ExtractBlocks(int count, BlockAt blockAt);
  // Beyond this many columns a fresh count is cheaper than sliding.
  static constexpr int kMaxSlide = 6;

  int bins_ = -1;
  int distance_ = -1;
  CooccurrenceStatistics statistics_;
  cv::Mat levels_;
  int band_;
};

class CoocH final : public Cooccurrence {
 public:
  CoocH() : Cooccurrence(kHue) {}
  std::string GetName() const override { return "COOCH"; }
  std::unique_ptr<ExtractionMethod> Clone() const override {
    return std::unique_ptr<ExtractionMethod>(new CoocH(*this));
  }
};

class CoocS final : public Cooccurrence {
 public:
  CoocS() : Cooccurrence(kSaturation) {}
  std::string GetName() const override { return "COOCS"; }
  std::unique_ptr<ExtractionMethod> Clone() const override {
    return std::unique_ptr<ExtractionMethod>(new CoocS(*this));
  }
};

class CoocV final : public Cooccurrence {
 public:
  CoocV() : Cooccurrence(kValue) {}
  std::string GetName() const override { return "COOCV"; }
  std::unique_ptr<ExtractionMethod> Clone() const override {
    return std::unique_ptr<ExtractionMethod>(new CoocV(*this));
  }
};

}  // namespace pedscan
