// The numerical hot paths: the four-lane dot product at the lengths of a
// block projection and a window projection, a window-level PLS training,
// and the per-window projection and QDA scoring that follow it.
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "numeric/kernels.h"
#include "numeric/pls.h"
#include "numeric/qda.h"
#include "kernel_paths.h"

namespace {

std::vector<float> RandomValues(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> values(static_cast<size_t>(n));
  for (float& v : values) v = uniform(rng);
  return values;
}

void BM_DotProduct(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> a = RandomValues(n, 1);
  const std::vector<float> b = RandomValues(n, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(pedscan::DotProduct(a.data(), b.data(), n));
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_DotProduct)->Arg(48)->Arg(1155);

// Window-level samples: 20,000 windows of 1,155 block factors, labels
// depending on a few of them.
struct WindowSamples {
  pedscan::MatrixPtr X;
  pedscan::VectorPtr y;
};

WindowSamples MakeWindowSamples(int n, int m) {
  std::mt19937 rng(3);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  WindowSamples s{pedscan::CreateMatrix(n, m), std::make_unique<pedscan::Vector>(n)};
  for (int i = 0; i < n; ++i) {
    const float label = i % 4 == 0 ? 1.0f : 0.0f;
    (*s.y)[i] = label;
    for (int j = 0; j < m; ++j) (*s.X)(i, j) = normal(rng) + (j % 7 == 0 ? label : 0.0f);
  }
  return s;
}

void BM_WindowNipals(benchmark::State& state) {
  const int n = 20000;
  const int m = 1155;
  const int factors = static_cast<int>(state.range(0));
  const WindowSamples s = MakeWindowSamples(n, m);
  for (auto _ : state) {
    state.PauseTiming();
    pedscan::MatrixPtr X = pedscan::CopyMatrix(*s.X);
    pedscan::VectorPtr y = s.y->Copy();
    pedscan::PLS pls;
    state.ResumeTiming();
    pls.RunNIPALS(*X, *y, factors, 1.0f, 1.0f);
    benchmark::DoNotOptimize(pls.Wstar->data());
  }
}
BENCHMARK(BM_WindowNipals)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ProjectAndClassifyWindow(benchmark::State& state) {
  const int n = 4000;
  const int m = 1155;
  const int factors = 10;
  const WindowSamples s = MakeWindowSamples(n, m);
  pedscan::MatrixPtr X = pedscan::CopyMatrix(*s.X);
  pedscan::VectorPtr y = s.y->Copy();
  pedscan::PLS pls;
  pls.RunNIPALS(*X, *y, factors, 1.0f, 1.0f);
  pedscan::QDA qda;
  qda.Train(*pls.T, *pls.Y);
  std::vector<float> sample(static_cast<size_t>(m));
  for (int j = 0; j < m; ++j) sample[static_cast<size_t>(j)] = (*s.X)(0, j);
  std::vector<float> scores(factors);
  for (auto _ : state) {
    pls.ProjectSample(sample.data(), scores.data(), factors);
    float response, other;
    qda.ClassifySample(scores.data(), &response, &other);
    benchmark::DoNotOptimize(response);
  }
}
BENCHMARK(BM_ProjectAndClassifyWindow);

}  // namespace

PEDSCAN_BENCHMARK_MAIN()
