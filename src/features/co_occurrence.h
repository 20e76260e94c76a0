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
// Arithmetic: single precision throughout. Every sum of products of two
// arrays over a full range (a cell table against the matrix, the level and
// square tables against the marginal and the difference histogram, the index
// and squared deviations against the sum histogram, the difference
// histogram against itself) is the four-lane DotProduct; every other sum runs
// in flat cell order (column outer, row inner) or in bin order.
//
// After construction bins and distance are unset (-1), no image is held and
// the tables are not built; SetParameters and Initialize configure the
// object. The object owns its quantised band image and its tables.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "features/extraction_method.h"

namespace pedscan {

class Cooccurrence : public ExtractionMethod {
 public:
  static constexpr int kHue = 0;
  static constexpr int kSaturation = 1;
  static constexpr int kValue = 2;

  static constexpr int kLevels = 16;            // L
  static constexpr int kCells = kLevels * kLevels;
  static constexpr int kDirections = 4;
  static constexpr int kStatistics = 12;
  static constexpr int kFeatures = kDirections * kStatistics;

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
  // columns to the left; the rest go through ExtractFeatures (and fail as
  // it does). Requires: y1 >= y0, width >= 1.
  void ExtractFeaturesRow(int y0, int y1, int width, const int* xs, int count, float* out);
  // Blocks inside the image are evaluated together, kBatch of one size at a
  // time; the others go through ExtractFeatures (and fail as it does).
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
  // Everything that depends only on a direction's pair count N and a cell's
  // pair count k (0..N): the entropy table itself, and per k the
  // probability p = k / N (single precision), p * p and the entropy term
  // table[(int)((double)p * N)] * p, so that the per-cell sums look them up.
  struct EntropyTableEntry {
    int pairs;
    std::vector<float> values;
    std::vector<float> probability;
    std::vector<float> square;
    std::vector<float> entropyTerm;
    // 1 / N rounded, and whether k / N comes out of it bit for bit for
    // every k in 0..N (then the batches multiply instead of dividing).
    float reciprocal = 0.0f;
    bool reciprocalExact = false;
  };
  const EntropyTableEntry* FindTable(int64_t pairs) const;
  // The statistics of a block from its symmetric pair counts with the pair
  // count and table of each direction.
  void Evaluate(const uint16_t (*counts)[kCells], const int64_t* pairs,
                const EntropyTableEntry* const* tables, float* out);
  // Evaluate for `count` (1..kBatch) blocks of one size at once, block b's
  // statistics going to out[b], each bit for bit what Evaluate writes. The
  // blocks run side by side in the lanes of vector registers: every step of
  // Evaluate is taken for all of them at once, in the same order: sixteen
  // blocks in an AVX-512 register, else eight in an AVX one (without AVX2,
  // one after another).
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__FMA__)
  static constexpr int kBatch = 16;
#else
  static constexpr int kBatch = 8;
#endif
  void EvaluateBatch(const uint16_t (*counts)[kDirections][kCells], int count,
                     const int64_t* pairs, const EntropyTableEntry* const* tables,
                     float* const* out);
  // EvaluateBatch in the lanes of one register width (Pack: kBatch lanes).
  template <class Pack>
  void EvaluatePack(const uint16_t (*counts)[kDirections][kCells], int count,
                    const int64_t* pairs, const EntropyTableEntry* const* tables,
                    float* const* out);
  // Beyond this many columns a fresh count is cheaper than sliding.
  static constexpr int kMaxSlide = 6;
  // log10(h + 0.00001) of a histogram bin, remembered by the bin's bits:
  // neighbouring blocks of an image repeat many bin values.
  float HistogramLog(float h);

  struct LogSlot {
    uint32_t bits = 0xFFFFFFFFu;  // a NaN pattern, never a bin value
    float value = 0.0f;
  };
  static constexpr int kLogCacheBits = 16;

  int bins_ = -1;
  int distance_ = -1;
  bool initialized_ = false;
  // Constant tables over the cells in flat order (cell (r, c) at r + 16 c):
  // r * c, r, 1 / ((r - c)^2 + 1).
  enum CellTable { kRowTimesColumn, kRow, kInverseDifference, kCellTables };
  alignas(32) std::array<std::array<float, kCells>, kCellTables> cellTables_{};
  alignas(32) std::array<float, 33> index_{};                  // 0, 1, ..., 32
  alignas(32) std::array<float, kLevels> squares_{};           // 0, 1, 4, ..., 225
  std::vector<EntropyTableEntry> entropyTables_;
  std::array<LogSlot, 1 << kLogCacheBits> logCache_{};
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
