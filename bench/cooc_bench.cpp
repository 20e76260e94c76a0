// Co-occurrence features: the per-image band quantisation and one block.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "features/co_occurrence.h"
#include "kernel_paths.h"

namespace pedscan {
namespace {

cv::Mat NoiseImage(int rows, int cols) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(42);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

// Ramps and mild noise: the sparse matrices of ordinary image texture.
cv::Mat NaturalImage(int rows, int cols) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::RNG rng(43);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      cv::Vec3b& p = image.at<cv::Vec3b>(y, x);
      p[0] = static_cast<uint8_t>((x + rng.uniform(0, 24)) % 256);
      p[1] = static_cast<uint8_t>((y + x / 3 + rng.uniform(0, 24)) % 256);
      p[2] = static_cast<uint8_t>((2 * y + rng.uniform(0, 24)) % 256);
    }
  }
  return image;
}

template <typename Method>
std::unique_ptr<Cooccurrence> Configured() {
  auto method = std::make_unique<Method>();
  method->SetParameters({{"bins", "16"}, {"distance", "1"}});
  method->Initialize();
  return method;
}

std::unique_ptr<Cooccurrence> ByBand(int band) {
  if (band == Cooccurrence::kHue) return Configured<CoocH>();
  if (band == Cooccurrence::kSaturation) return Configured<CoocS>();
  return Configured<CoocV>();
}

void BM_AddNewImage640x480(benchmark::State& state) {
  auto method = ByBand(static_cast<int>(state.range(0)));
  const cv::Mat image = NoiseImage(480, 640);
  for (auto _ : state) {
    method->AddNewImage(image);
    benchmark::DoNotOptimize(method->levels().data);
  }
}
BENCHMARK(BM_AddNewImage640x480)->ArgName("band")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// Extracts a 16 x 16 block at distance 1, cycling over block positions.
void BM_ExtractFeatures16x16(benchmark::State& state) {
  auto method = Configured<CoocV>();
  const cv::Mat image = state.range(0) == 0 ? NoiseImage(128, 128) : NaturalImage(128, 128);
  method->AddNewImage(image);
  std::vector<BlockRect> blocks;
  for (int y = 0; y + 16 <= 128; y += 8) {
    for (int x = 0; x + 16 <= 128; x += 8) {
      BlockRect rect;
      rect.x0 = x;
      rect.y0 = y;
      rect.width = 16;
      rect.height = 16;
      rect.x1 = x + 15;
      rect.y1 = y + 15;
      blocks.push_back(rect);
    }
  }
  float out[Cooccurrence::kFeatures];
  size_t i = 0;
  for (auto _ : state) {
    method->ExtractFeatures(blocks[i], out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
    if (++i == blocks.size()) i = 0;
  }
}
BENCHMARK(BM_ExtractFeatures16x16)->ArgName("natural")->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);

// A scan's row of 16 x 16 blocks at every column of a 640-pixel band, the
// way a pyramid level's cache is filled: reports the time per block.
void BM_ExtractFeaturesRow16x16(benchmark::State& state) {
  auto method = Configured<CoocH>();
  const cv::Mat image = state.range(0) == 0 ? NoiseImage(64, 640) : NaturalImage(64, 640);
  method->AddNewImage(image);
  std::vector<int> xs;
  for (int x = 0; x + 16 <= 640; ++x) xs.push_back(x);
  std::vector<float> out(xs.size() * Cooccurrence::kFeatures);
  int y = 0;
  for (auto _ : state) {
    method->ExtractFeaturesRow(y, y + 15, 16, xs.data(), static_cast<int>(xs.size()), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    if (++y + 16 > 64) y = 0;
  }
  state.counters["per_block"] = benchmark::Counter(
      static_cast<double>(xs.size()),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ExtractFeaturesRow16x16)->ArgName("natural")->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace pedscan

PEDSCAN_BENCHMARK_MAIN()
