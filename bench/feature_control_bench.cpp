// Block feature assembly over every detection window of one pyramid level,
// with the example person model: 105 cached COOCH blocks of 16 x 16, then
// 105 HOG blocks of 16 x 16 and 21 of 32 x 32 (231 blocks, 8178 features),
// windows of 64 x 128 at steps 5 x 10 over a 640 x 480 level.
//
// Run with --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// and read the median of the windows/s counter.
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include "features/feature_control.h"
#include "model/model.h"
#include "kernel_paths.h"

namespace {

constexpr int kLevelWidth = 640;
constexpr int kLevelHeight = 480;
constexpr int kWindowWidth = 64;
constexpr int kWindowHeight = 128;
constexpr int kStepX = 5;
constexpr int kStepY = 10;

cv::Mat NaturalishImage(int width, int height) {
  // Noise over smooth shading: many gradient directions and sizes, and
  // band values spread over every co-occurrence level.
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

// Blocks of one size over the whole window, rows outer, as the model
// set-up lays them out.
void AddBlocks(pedscan::Model& model, const std::string& feature, const std::string& paramSet,
               int size, int step) {
  for (int y = 0; y <= kWindowHeight - size; y += step) {
    for (int x = 0; x <= kWindowWidth - size; x += step) {
      auto block = std::make_unique<pedscan::BlockModel>();
      block->rect.x0 = x;
      block->rect.y0 = y;
      block->rect.width = size;
      block->rect.height = size;
      block->rect.x1 = x + size - 1;
      block->rect.y1 = y + size - 1;
      block->feature = feature;
      block->params = paramSet;
      model.blockModels.push_back(std::move(block));
    }
  }
}

struct Level {
  Level() : image(NaturalishImage(kLevelWidth, kLevelHeight)) {
    model.FeatureParameters["coocSet"] = {{"bins", "16"}, {"distance", "1"}, {"cache", "1"}};
    model.FeatureParameters["hogSet"] = {{"UseHOG", "1"}, {"UseColorFrequency", "1"}};
    AddBlocks(model, "COOCH", "coocSet", 16, 8);
    AddBlocks(model, "HOG", "hogSet", 16, 8);
    AddBlocks(model, "HOG", "hogSet", 32, 16);
    control.SetModelMethods(model);
    control.ActivateModelMethods(model);
    features.resize(static_cast<size_t>(model.nrawfeatures));
  }

  // Assembles the feature vector of every window; returns the window count.
  int Scan() {
    const int last = static_cast<int>(model.blockModels.size()) - 1;
    int windows = 0;
    for (int y = 0; y <= kLevelHeight - kWindowHeight; y += kStepY) {
      for (int x = 0; x <= kLevelWidth - kWindowWidth; x += kStepX) {
        control.FillCache(model, x, y, 0, last);
        float* out = features.data();
        for (const auto& block : model.blockModels) {
          control.GetBlockFeatures(y, *block, x, out);
          out += block->nfeatures;
        }
        benchmark::DoNotOptimize(features.data());
        ++windows;
      }
    }
    return windows;
  }

  cv::Mat image;
  pedscan::Model model;
  pedscan::FeatureControl control;
  std::vector<float> features;
};

// FillCache and GetBlockFeatures only: the level's per-image precomputation
// is done outside the timed region, and every pass starts with empty caches.
void BM_FeatureControlScanWindows(benchmark::State& state) {
  Level level;
  int64_t windows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    level.control.AddNewImage(level.image);
    state.ResumeTiming();
    windows += level.Scan();
    state.PauseTiming();
    level.control.ReleaseImage();
    state.ResumeTiming();
  }
  state.counters["windows/s"] = benchmark::Counter(static_cast<double>(windows),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FeatureControlScanWindows)->Unit(benchmark::kMillisecond);

// The whole level: precomputation, every window, release.
void BM_FeatureControlWholeLevel(benchmark::State& state) {
  Level level;
  int64_t windows = 0;
  for (auto _ : state) {
    level.control.AddNewImage(level.image);
    windows += level.Scan();
    level.control.ReleaseImage();
  }
  state.counters["windows/s"] = benchmark::Counter(static_cast<double>(windows),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FeatureControlWholeLevel)->Unit(benchmark::kMillisecond);

}  // namespace

PEDSCAN_BENCHMARK_MAIN()
