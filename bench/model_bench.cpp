// Block-model training and projection at training-set size, and the
// per-window scoring of a model shaped like the example configuration.
#include <memory>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "model/model.h"
#include "kernel_paths.h"

namespace {

using pedscan::BlockModel;
using pedscan::Matrix;
using pedscan::MatrixPtr;
using pedscan::Model;

// n x m samples; every third feature is shifted for the object class.
MatrixPtr Cloud(int n, int m, float shift, std::mt19937& rng) {
  std::normal_distribution<float> noise(0.0f, 1.0f);
  auto X = std::make_unique<Matrix>(n, m);
  for (int j = 0; j < m; ++j) {
    for (int i = 0; i < n; ++i) (*X)(i, j) = noise(rng) + (j % 3 == 0 ? shift : 0.0f);
  }
  return X;
}

// 231 blocks of 48 features, 10,000 windows per class, 5 factors per block:
// what one training build does with the block models. Eight data sets are
// cycled so that the inputs stay in memory; the work per block is the same.
void BM_BlockModelsTrainAndProject231x48On20000Rows(benchmark::State& state) {
  constexpr int kBlocks = 231;
  constexpr int kFeatures = 48;
  constexpr int kRowsPerClass = 10000;
  constexpr int kDataSets = 8;
  std::mt19937 rng(1);
  std::vector<MatrixPtr> positives;
  std::vector<MatrixPtr> negatives;
  for (int d = 0; d < kDataSets; ++d) {
    positives.push_back(Cloud(kRowsPerClass, kFeatures, 0.7f, rng));
    negatives.push_back(Cloud(kRowsPerClass, kFeatures, 0.0f, rng));
  }
  for (auto _ : state) {
    for (int b = 0; b < kBlocks; ++b) {
      BlockModel block;
      block.nfeatures = kFeatures;
      block.CreatePLSModel(*positives[b % kDataSets], *negatives[b % kDataSets], 5, 1.0f, 1.0f);
      MatrixPtr pos = block.GetProjection(*positives[b % kDataSets]);
      MatrixPtr neg = block.GetProjection(*negatives[b % kDataSets]);
      benchmark::DoNotOptimize(pos->data());
      benchmark::DoNotOptimize(neg->data());
    }
  }
}
BENCHMARK(BM_BlockModelsTrainAndProject231x48On20000Rows)->Unit(benchmark::kMillisecond)->Iterations(1);

// The example's shape: 105 co-occurrence blocks of 48 features and 126 HOG
// blocks of 39, 5 factors per block, 10 window factors, QDA.
std::unique_ptr<Model> ExampleShapedModel(std::mt19937& rng) {
  constexpr int kSamples = 600;
  auto model = std::make_unique<Model>();
  model->nfactors = 10;
  model->useQDA = true;
  std::vector<MatrixPtr> posOut;
  std::vector<MatrixPtr> negOut;
  int raw = 0;
  for (int b = 0; b < 231; ++b) {
    const int features = b < 105 ? 48 : 39;
    auto block = std::make_unique<BlockModel>();
    block->nfeatures = features;
    MatrixPtr pos = Cloud(kSamples, features, 0.3f, rng);
    MatrixPtr neg = Cloud(kSamples, features, 0.0f, rng);
    block->CreatePLSModel(*pos, *neg, 5, 1.0f, 1.0f);
    posOut.push_back(block->GetProjection(*pos));
    negOut.push_back(block->GetProjection(*neg));
    model->blockModels.push_back(std::move(block));
    raw += features;
  }
  auto concat = [](const std::vector<MatrixPtr>& parts) {
    int cols = 0;
    for (const MatrixPtr& p : parts) cols += p->cols();
    auto all = std::make_unique<Matrix>(parts.front()->rows(), cols);
    int at = 0;
    for (const MatrixPtr& p : parts) {
      for (int c = 0; c < p->cols(); ++c, ++at) {
        for (int i = 0; i < p->rows(); ++i) (*all)(i, at) = (*p)(i, c);
      }
    }
    return all;
  };
  MatrixPtr pos = concat(posOut);
  MatrixPtr neg = concat(negOut);
  model->SetNumberOfRawFeatures(raw);
  model->nfeatures = pos->cols();
  model->CreatePLSModel(*pos, *neg);
  return model;
}

void BM_ClassifyFeaturesExampleShapedQda(benchmark::State& state) {
  std::mt19937 rng(2);
  std::unique_ptr<Model> model = ExampleShapedModel(rng);
  constexpr int kWindows = 64;
  std::normal_distribution<float> value(0.0f, 1.0f);
  std::vector<float> raw(static_cast<size_t>(model->nrawfeatures) * kWindows);
  for (float& v : raw) v = value(rng);
  int w = 0;
  for (auto _ : state) {
    float response = 0.0f;
    float other = 0.0f;
    model->ClassifyFeatures(raw.data() + static_cast<size_t>(w) * model->nrawfeatures, &response,
                            &other);
    benchmark::DoNotOptimize(response);
    benchmark::DoNotOptimize(other);
    w = (w + 1) % kWindows;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClassifyFeaturesExampleShapedQda);

}  // namespace

PEDSCAN_BENCHMARK_MAIN()
