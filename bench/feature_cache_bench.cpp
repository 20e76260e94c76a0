// Feature cache operations at the scale of one large image: about a million
// distinct block rectangles. Each benchmark reports "per_op", the time of one
// Check, Add or Retrieve.
#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "features/feature_cache.h"
#include "kernel_paths.h"

namespace {

using pedscan::FeatureCache;
using Rectangle = std::array<int, 4>;

// A co-occurrence block of one band: a dozen features and change.
constexpr int kEntryLength = 16;

// Blocks of 16 sizes at every 4th pixel of a 1280 x 800 image: 1,003,520
// distinct rectangles, listed rows outer as a scan meets them.
const std::vector<Rectangle>& Rectangles() {
  static const std::vector<Rectangle> rects = [] {
    std::vector<Rectangle> out;
    const int widths[] = {16, 24, 32, 48};
    const int heights[] = {16, 32, 64, 96};
    for (int y = 0; y < 784; y += 4) {
      for (int x = 0; x < 1280; x += 4) {
        for (int w : widths) {
          for (int h : heights) out.push_back({x, y, w, h});
        }
      }
    }
    return out;
  }();
  return rects;
}

const std::vector<Rectangle>& Shuffled() {
  static const std::vector<Rectangle> rects = [] {
    std::vector<Rectangle> out = Rectangles();
    std::shuffle(out.begin(), out.end(), std::mt19937(1));
    return out;
  }();
  return rects;
}

const std::vector<float>& Values() {
  static const std::vector<float> values(kEntryLength, 0.5f);
  return values;
}

void Fill(FeatureCache& cache, const std::vector<Rectangle>& rects) {
  cache.Clear();
  for (const Rectangle& r : rects) cache.Add(r[0], r[1], r[2], r[3], Values().data());
}

void SetPerOp(benchmark::State& state, size_t operations) {
  state.counters["per_op"] = benchmark::Counter(
      static_cast<double>(operations),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One image's worth of Adds into storage kept from the previous image.
void BM_Add(benchmark::State& state) {
  FeatureCache cache(kEntryLength);
  Fill(cache, Rectangles());
  for (auto _ : state) {
    Fill(cache, Rectangles());
    benchmark::ClobberMemory();
  }
  SetPerOp(state, Rectangles().size());
}
BENCHMARK(BM_Add)->Unit(benchmark::kMillisecond);

// How a cache is filled: Check (false), then Add of the same rectangle.
void BM_CheckThenAdd(benchmark::State& state) {
  FeatureCache cache(kEntryLength);
  Fill(cache, Rectangles());
  for (auto _ : state) {
    cache.Clear();
    for (const Rectangle& r : Rectangles()) {
      if (!cache.Check(r[0], r[1], r[2], r[3])) cache.Add(r[0], r[1], r[2], r[3], Values().data());
    }
    benchmark::ClobberMemory();
  }
  SetPerOp(state, 2 * Rectangles().size());
}
BENCHMARK(BM_CheckThenAdd)->Unit(benchmark::kMillisecond);

void CheckAll(benchmark::State& state, const std::vector<Rectangle>& order) {
  FeatureCache cache(kEntryLength);
  Fill(cache, Rectangles());
  for (auto _ : state) {
    int hits = 0;
    for (const Rectangle& r : order) hits += cache.Check(r[0], r[1], r[2], r[3]);
    benchmark::DoNotOptimize(hits);
  }
  SetPerOp(state, order.size());
}

void RetrieveAll(benchmark::State& state, const std::vector<Rectangle>& order) {
  FeatureCache cache(kEntryLength);
  Fill(cache, Rectangles());
  std::vector<float> out(kEntryLength);
  for (auto _ : state) {
    for (const Rectangle& r : order) {
      cache.Retrieve(r[0], r[1], r[2], r[3], out.data());
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  SetPerOp(state, order.size());
}

void BM_CheckInScanOrder(benchmark::State& state) { CheckAll(state, Rectangles()); }
void BM_CheckInRandomOrder(benchmark::State& state) { CheckAll(state, Shuffled()); }
void BM_RetrieveInScanOrder(benchmark::State& state) { RetrieveAll(state, Rectangles()); }
void BM_RetrieveInRandomOrder(benchmark::State& state) { RetrieveAll(state, Shuffled()); }
BENCHMARK(BM_CheckInScanOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckInRandomOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RetrieveInScanOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RetrieveInRandomOrder)->Unit(benchmark::kMillisecond);

// Check of rectangles never stored (the first visit of every block).
void BM_CheckMiss(benchmark::State& state) {
  FeatureCache cache(kEntryLength);
  Fill(cache, Rectangles());
  for (auto _ : state) {
    int hits = 0;
    for (const Rectangle& r : Rectangles()) hits += cache.Check(r[0] + 1, r[1], r[2], r[3]);
    benchmark::DoNotOptimize(hits);
  }
  SetPerOp(state, Rectangles().size());
}
BENCHMARK(BM_CheckMiss)->Unit(benchmark::kMillisecond);

// The detection pattern on a 1280 x 960 level: 64 x 128 windows scanned rows
// outer at a step of state.range(0) pixels; each window checks its blocks
// (16 x 16 at a step of 8, 32 x 32 at a step of 16), adds the missing ones
// and retrieves all. A window step of 5 against block steps of 8 puts blocks
// at almost every pixel: about 1.6 million entries.
void BM_ScanWindows(benchmark::State& state) {
  const int step = static_cast<int>(state.range(0));
  std::vector<Rectangle> blocks;
  for (int y = 0; y + 16 <= 128; y += 8) {
    for (int x = 0; x + 16 <= 64; x += 8) blocks.push_back({x, y, 16, 16});
  }
  for (int y = 0; y + 32 <= 128; y += 16) {
    for (int x = 0; x + 32 <= 64; x += 16) blocks.push_back({x, y, 32, 32});
  }
  FeatureCache cache(kEntryLength);
  std::vector<float> out(kEntryLength);
  size_t operations = 0;
  for (auto _ : state) {
    cache.Clear();
    operations = 0;
    for (int wy = 0; wy + 128 <= 960; wy += step) {
      for (int wx = 0; wx + 64 <= 1280; wx += step) {
        for (const Rectangle& b : blocks) {
          if (!cache.Check(wx + b[0], wy + b[1], b[2], b[3])) {
            cache.Add(wx + b[0], wy + b[1], b[2], b[3], Values().data());
            ++operations;
          }
        }
        for (const Rectangle& b : blocks) {
          cache.Retrieve(wx + b[0], wy + b[1], b[2], b[3], out.data());
          benchmark::DoNotOptimize(out.data());
        }
        operations += 2 * blocks.size();
      }
    }
  }
  state.counters["entries"] = static_cast<double>(cache.UsedSlots());
  SetPerOp(state, operations);
}
BENCHMARK(BM_ScanWindows)->Arg(4)->Arg(5)->Unit(benchmark::kMillisecond);

}  // namespace

PEDSCAN_BENCHMARK_MAIN()
