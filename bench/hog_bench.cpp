// Per-image precomputation and per-block extraction of the HOG method.
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include "features/HOG.h"
#include "kernel_paths.h"

namespace {

cv::Mat NaturalishImage(int width, int height) {
  // Noise over smooth shading: many gradient directions and sizes.
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> noise(-20, 20);
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      cv::Vec3b& p = image.at<cv::Vec3b>(y, x);
      for (int k = 0; k < 3; ++k) {
        p[k] = cv::saturate_cast<uchar>((x * (k + 1) + y * (3 - k)) % 256 / 2 + 64 + noise(rng));
      }
    }
  }
  return image;
}

pedscan::HOG BothGroups() {
  pedscan::HOG hog;
  hog.SetParameters({{"UseHOG", "1"}, {"UseColorFrequency", "1"}});
  return hog;
}

void BM_HogAddNewImage640x480(benchmark::State& state) {
  const cv::Mat image = NaturalishImage(640, 480);
  pedscan::HOG hog = BothGroups();
  hog.AddNewImage(image);  // builds the one-time orientation table
  hog.ReleaseImage();
  for (auto _ : state) {
    hog.AddNewImage(image);
    benchmark::ClobberMemory();
    hog.ReleaseImage();
  }
}
BENCHMARK(BM_HogAddNewImage640x480)->Unit(benchmark::kMillisecond);

void BM_HogExtractFeatures16x16(benchmark::State& state) {
  const cv::Mat image = NaturalishImage(640, 480);
  pedscan::HOG hog = BothGroups();
  hog.AddNewImage(image);
  // Walk the blocks of a scan so that reads are not all from one cache line.
  std::vector<pedscan::BlockRect> rects;
  for (int y = 0; y + 16 <= 480; y += 8) {
    for (int x = 0; x + 16 <= 640; x += 8) {
      pedscan::BlockRect r;
      r.x0 = x;
      r.y0 = y;
      r.width = 16;
      r.height = 16;
      r.x1 = x + 15;
      r.y1 = y + 15;
      rects.push_back(r);
    }
  }
  float out[39];
  size_t i = 0;
  for (auto _ : state) {
    hog.ExtractFeatures(rects[i], out);
    benchmark::DoNotOptimize(out);
    if (++i == rects.size()) i = 0;
  }
}
BENCHMARK(BM_HogExtractFeatures16x16)->Unit(benchmark::kNanosecond);

}  // namespace

PEDSCAN_BENCHMARK_MAIN()
