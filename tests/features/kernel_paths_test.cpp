// The extractors and projections give the same bytes on every kernel path
// this machine runs: each result is computed on the baseline path and again
// on every other, in one process.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <random>
#include <vector>

#include <opencv2/core.hpp>

#include "features/HOG.h"
#include "features/co_occurrence.h"
#include "numeric/kernels.h"
#include "numeric/projection.h"
#include "support/cpu.h"
#include "block_rect.h"

namespace pedscan {
namespace {

// Smooth ramps with noise and flat patches: gradients of every direction,
// channel ties, sparse and dense co-occurrence matrices.
cv::Mat Scene(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(0, 40);
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      cv::Vec3b& p = image.at<cv::Vec3b>(y, x);
      const bool flat = (x / 24 + y / 24) % 5 == 0;
      p[0] = static_cast<uint8_t>(flat ? 90 : (3 * x + noise(rng)) % 256);
      p[1] = static_cast<uint8_t>(flat ? 90 : (2 * y + x / 2 + noise(rng)) % 256);
      p[2] = static_cast<uint8_t>(flat ? 90 : (x * y / 16 + noise(rng)) % 256);
    }
  }
  return image;
}

// Expects compute() to give the baseline path's bytes on every other path
// this machine runs; names the paths it cannot run. Restores the path.
template <class Compute>
void ExpectSameBytesOnEveryPath(const char* what, Compute compute) {
  const cpu::Path before = cpu::ActivePath();
  if (!cpu::PinPathForTesting(cpu::Path::kBaseline)) {
    GTEST_SKIP() << "kernels: baseline not built in this configuration";
  }
  const std::vector<float> reference = compute();
  ASSERT_FALSE(reference.empty()) << what;
  int compared = 0;
  for (cpu::Path path : cpu::kAllPaths) {
    if (path == cpu::Path::kBaseline) continue;
    if (!cpu::PinPathForTesting(path)) {
      std::cout << "kernels: " << cpu::PathName(path) << " skipped, not available here\n";
      continue;
    }
    const std::vector<float> values = compute();
    ++compared;
    ASSERT_EQ(values.size(), reference.size()) << what << " on " << cpu::PathName(path);
    EXPECT_EQ(std::memcmp(values.data(), reference.data(), sizeof(float) * values.size()), 0)
        << what << ": " << cpu::PathName(path) << " differs from baseline";
  }
  cpu::PinPathForTesting(before);
  if (compared == 0) GTEST_SKIP() << "kernels: no path but baseline available";
}

std::vector<BlockRect> Blocks(int width, int height) {
  std::vector<BlockRect> rects;
  for (int size : {8, 11, 16, 32}) {
    for (int y = 0; y + size <= height; y += 7) {
      for (int x = 0; x + size <= width; x += 5) rects.push_back(Rect(x, y, size, size));
    }
  }
  return rects;
}

TEST(KernelPaths, HogBlocksOneByOneInBatchesAndStreamed) {
  const cv::Mat image = Scene(97, 83, 1);
  const std::vector<BlockRect> rects = Blocks(image.cols, image.rows);
  ExpectSameBytesOnEveryPath("HOG", [&] {
    std::vector<float> values;
    for (int stream : {0, 40}) {
      HOG hog;
      hog.SetParameters({{"UseHOG", "1"}, {"UseColorFrequency", "1"}});
      hog.SetStreamRows(stream);
      hog.AddNewImage(image);
      const int n = hog.GetNumberOfFeatures();
      std::vector<float> single(rects.size() * n);
      for (size_t i = 0; i < rects.size(); ++i) hog.ExtractFeatures(rects[i], &single[i * n]);
      // Batches of 13: whole groups of eight and a short one.
      std::vector<float> batched(rects.size() * n);
      std::vector<float*> out(rects.size());
      for (size_t i = 0; i < rects.size(); ++i) out[i] = &batched[i * n];
      for (size_t start = 0; start < rects.size(); start += 13) {
        const int count = static_cast<int>(std::min<size_t>(13, rects.size() - start));
        hog.ExtractFeaturesBatch(&rects[start], count, &out[start]);
      }
      EXPECT_EQ(std::memcmp(single.data(), batched.data(), sizeof(float) * single.size()), 0);
      values.insert(values.end(), single.begin(), single.end());
      // Every row is held without streaming: the whole integral image.
      for (int r = 0; stream == 0 && r <= image.rows; ++r) {
        for (int c = 0; c <= image.cols; ++c) {
          for (int bin = 0; bin < HOG::kBins; ++bin) {
            values.push_back(hog.OrientationIntegral(bin, r, c));
          }
          for (int channel = 0; channel < HOG::kChannels; ++channel) {
            values.push_back(static_cast<float>(hog.ColorIntegral(channel, r, c)));
          }
        }
      }
    }
    return values;
  });
}

template <class Method>
std::vector<float> Cooccurrences(const cv::Mat& image) {
  Method method;
  method.SetParameters({{"bins", "16"}, {"distance", "1"}});
  method.Initialize();
  method.AddNewImage(image);
  std::vector<float> values(method.levels().data, method.levels().data + method.levels().total());
  // Rows of blocks a few columns apart (slid) and far apart (counted
  // afresh), and single blocks.
  for (int size : {8, 16, 32}) {
    std::vector<int> xs;
    for (int x = 0; x + size <= image.cols; x += (x % 3) * 4 + 1) xs.push_back(x);
    std::vector<float> row(xs.size() * Cooccurrence::kFeatures);
    method.ExtractFeaturesRow(3, 3 + size - 1, size, xs.data(), static_cast<int>(xs.size()),
                              row.data());
    values.insert(values.end(), row.begin(), row.end());
  }
  std::vector<BlockRect> rects;
  for (int y = 0; y + 16 <= image.rows; y += 9) rects.push_back(Rect(y, y, 16, 16));
  for (const BlockRect& rect : rects) {
    std::vector<float> single(Cooccurrence::kFeatures);
    method.ExtractFeatures(rect, single.data());
    values.insert(values.end(), single.begin(), single.end());
  }
  std::vector<float> batch(rects.size() * Cooccurrence::kFeatures);
  std::vector<float*> out(rects.size());
  for (size_t i = 0; i < rects.size(); ++i) out[i] = &batch[i * Cooccurrence::kFeatures];
  method.ExtractFeaturesBatch(rects.data(), static_cast<int>(rects.size()), out.data());
  values.insert(values.end(), batch.begin(), batch.end());
  return values;
}

TEST(KernelPaths, CooccurrenceOfEveryBand) {
  const cv::Mat image = Scene(90, 70, 2);
  ExpectSameBytesOnEveryPath("COOCH", [&] { return Cooccurrences<CoocH>(image); });
  ExpectSameBytesOnEveryPath("COOCS", [&] { return Cooccurrences<CoocS>(image); });
  ExpectSameBytesOnEveryPath("COOCV", [&] { return Cooccurrences<CoocV>(image); });
}

TEST(KernelPaths, DotProductsAndProjections) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  std::uniform_real_distribution<float> spread(0.5f, 3.0f);
  constexpr int kMaxM = 41;
  std::vector<float> x(kMaxM), mean(kMaxM), std(kMaxM), columns(kMaxM * kFusedFactorLimit);
  for (float& v : x) v = value(rng);
  for (float& v : mean) v = value(rng);
  for (float& v : std) v = spread(rng);
  for (float& v : columns) v = value(rng);
  ExpectSameBytesOnEveryPath("numeric", [&] {
    std::vector<float> values;
    std::vector<float> out(kFusedFactorLimit);
    std::vector<float> packed(kMaxM * kFusedFactorLimit);
    for (int m = 1; m <= kMaxM; ++m) {
      values.push_back(DotProduct(x.data(), columns.data(), m));
      DotProductColumns(x.data(), columns.data(), m, kFusedFactorLimit, m, out.data());
      values.insert(values.end(), out.begin(), out.end());
      for (int count = 1; count <= kFusedFactorLimit; ++count) {
        ProjectStandardizedColumns(x.data(), mean.data(), std.data(), columns.data(), m, count,
                                   out.data());
        values.insert(values.end(), out.begin(), out.begin() + count);
        PackColumns(columns.data(), m, count, packed.data());
        ProjectPackedColumns(x.data(), mean.data(), std.data(), packed.data(), m, count,
                             out.data());
        values.insert(values.end(), out.begin(), out.begin() + count);
      }
    }
    return values;
  });
}

}  // namespace
}  // namespace pedscan
