// Detection of one 640 x 480 frame with a model of the full example layout
// (105 co-occurrence blocks and 126 HOG blocks of a 64 x 128 window, 10
// window factors, QDA) over the object heights 48 .. 285.
//
// The model is trained once on drawn objects and kept with its detection
// configuration and the frame in a data directory (first argument
// --data=<dir>, default ./detection_bench_data), so that the same files can
// be given to the pedscan binary under /usr/bin/time -v:
//
//   bench_detection --setup-only --data=DIR
//   cd DIR && /usr/bin/time -v pedscan -d -c detect.txt -i frame.png -o out -s
//
// BM_DetectFrame times the detector on the decoded frame, suppression
// included. BM_DetectionPhases repeats the scan with the plain per-window
// path, timing its three parts (per-level feature precomputation, block
// extraction, projection and classification), and checks that it yields
// exactly the detector's windows and responses.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "../tests/detection/synthetic_model.h"
#include "detection/detector.h"
#include "detection/obj_manager.h"
#include "model/parameters.h"
#include "support/failure.h"
#include "../tests/support/example_configuration.h"
#include "kernel_paths.h"

namespace pedscan {
namespace {

namespace fs = std::filesystem;

std::string dataDir = "detection_bench_data";

constexpr const char* kModelConfig = testutil::kExampleModelConfiguration;

constexpr char kDetectConfig[] =
    "model <person, 0, 0.5, person01.yml>\n"
    "scale <person, 48, 300, 0.1, 0.1, 1.2>\n";

std::string DataFile(const std::string& name) { return dataDir + "/" + name; }

// Trains and writes the model, the configuration and the frame unless they
// are there already.
void PrepareData() {
  fs::create_directories(DataFile("out"));
  if (fs::exists(DataFile("person01.yml")) && fs::exists(DataFile("frame.png"))) return;
  std::ofstream(DataFile("model.txt")) << kModelConfig;
  std::ofstream(DataFile("detect.txt")) << kDetectConfig;
  testutil::Crops crops = testutil::MakeCrops(64, 128, cv::Rect(8, 16, 48, 96), 150, 300, 3);
  std::unique_ptr<Model> model = testutil::TrainModel(DataFile("model.txt"), crops, 5);
  model->Save(DataFile("person01.yml"));
  cv::RNG rng(9);
  cv::Mat frame = testutil::NoiseImage(640, 480, rng);
  testutil::DrawObject(frame, cv::Rect(60, 80, 48, 96), rng);
  testutil::DrawObject(frame, cv::Rect(300, 150, 96, 192), rng);
  testutil::DrawObject(frame, cv::Rect(500, 40, 64, 128), rng);
  cv::imwrite(DataFile("frame.png"), frame);
}

void BM_DetectFrame(benchmark::State& state) {
  PrepareData();
  const std::string configFile = DataFile("detect.txt");
  cv::Mat frame = cv::imread(DataFile("frame.png"), cv::IMREAD_COLOR);
  int64_t windows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto detector = std::make_unique<Detector>(configFile);
    state.ResumeTiming();
    Detections found = detector->Detect(frame);
    Detector::Suppress(found);
    benchmark::DoNotOptimize(found);
  }
  // Windows of one frame: each level's grid of window positions.
  ParametersExecution configuration;
  configuration.ParseFile(configFile);
  ObjManager manager;
  manager.AddParameters(configuration.objectTypes);
  for (const ScaleLevel& level : manager.GetLevels()) {
    LevelImage image = MakeLevelImage(frame, level);
    if (image.image.cols >= 64 && image.image.rows >= 128) {
      windows += static_cast<int64_t>((image.image.cols - 64) / level.stepX + 1) *
                 ((image.image.rows - 128) / level.stepY + 1);
    }
  }
  state.counters["windows"] = static_cast<double>(windows);
  state.counters["det/s"] =
      benchmark::Counter(static_cast<double>(windows) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DetectFrame)->Unit(benchmark::kSecond)->Iterations(3)->UseRealTime();

// The scan of one frame along the plain path, with its three parts timed.
void BM_DetectionPhases(benchmark::State& state) {
  PrepareData();
  const std::string configFile = DataFile("detect.txt");
  cv::Mat frame = cv::imread(DataFile("frame.png"), cv::IMREAD_COLOR);

  // What the detector finds, to compare with.
  std::vector<DetectionWindow> expected = Detector(configFile).Detect(frame).windows[0];

  ParametersExecution configuration;
  configuration.ParseFile(configFile);
  ObjManager manager;
  std::unique_ptr<FeatureControl> featureControl = manager.AddParameters(configuration.objectTypes);
  auto buffer = std::make_unique<float[]>(kFeatureBufferSize);
  double precompute = 0.0;
  double extraction = 0.0;
  double classification = 0.0;
  bool identical = true;
  auto seconds = [](int64_t from) {
    return static_cast<double>(cv::getTickCount() - from) / cv::getTickFrequency();
  };

  for (auto _ : state) {
    std::vector<DetectionWindow> found;
    for (const ScaleLevel& level : manager.GetLevels()) {
      LevelImage image = MakeLevelImage(frame, level);
      double threshold = 0.0;
      Model* model = manager.ModelbyObjType("person", level.index, 0, &threshold);
      if (model == nullptr || image.image.cols < model->windowW ||
          image.image.rows < model->windowH) {
        continue;
      }
      int64_t start = cv::getTickCount();
      featureControl->ActivateModelMethods(*model);
      featureControl->AddNewImage(image.image);
      precompute += seconds(start);
      int nblocks = static_cast<int>(model->blockModels.size());
      for (int y = 0; y <= image.image.rows - model->windowH; y += level.stepY) {
        for (int x = 0; x <= image.image.cols - model->windowW; x += level.stepX) {
          start = cv::getTickCount();
          featureControl->FillCache(*model, x, y, 0, nblocks - 1);
          float* out = buffer.get();
          for (const auto& block : model->blockModels) {
            featureControl->GetBlockFeatures(y, *block, x, out);
            out += block->nfeatures;
          }
          extraction += seconds(start);
          start = cv::getTickCount();
          float response = 0.0f;
          float other = 0.0f;
          model->ClassifyFeatures(buffer.get(), &response, &other);
          classification += seconds(start);
          if (static_cast<double>(response) >= threshold) {
            DetectionWindow window{static_cast<int16_t>(x), static_cast<int16_t>(y),
                                   model->windowW, model->windowH, response};
            found.push_back(ShrinkToObject(MapToFrame(window, image.factor), model->windowW,
                                           model->windowH, model->objW, model->objH));
          }
        }
      }
      start = cv::getTickCount();
      featureControl->ReleaseImage();
      featureControl->ClearActiveMethods();
      precompute += seconds(start);
    }
    identical = identical && found.size() == expected.size();
    for (size_t i = 0; identical && i < found.size(); ++i) {
      identical = found[i].x == expected[i].x && found[i].y == expected[i].y &&
                  found[i].width == expected[i].width && found[i].height == expected[i].height &&
                  found[i].response == expected[i].response;
    }
  }
  double total = precompute + extraction + classification;
  state.counters["precompute_share"] = precompute / total;
  state.counters["extraction_share"] = extraction / total;
  state.counters["classify_share"] = classification / total;
  state.counters["detections"] = static_cast<double>(expected.size());
  state.counters["identical"] = identical ? 1.0 : 0.0;
  if (!identical) state.SkipWithError("plain path differs from the detection driver");
}
BENCHMARK(BM_DetectionPhases)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace pedscan

int main(int argc, char** argv) {
  if (!pedscan::bench::UseKernelsOption(&argc, argv)) return 2;
  bool setupOnly = false;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--data=", 7) == 0) {
      pedscan::dataDir = argv[i] + 7;
    } else if (std::strcmp(argv[i], "--setup-only") == 0) {
      setupOnly = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
  // The detection configuration names its model file relative to the
  // working directory, as the pedscan command reads it.
  std::filesystem::create_directories(pedscan::dataDir);
  std::filesystem::current_path(pedscan::dataDir);
  pedscan::dataDir = ".";
  try {
    if (setupOnly) {
      // For the scripts that time pedscan on this data: the path it takes.
      std::printf("kernels: %s\n", pedscan::cpu::PathName(pedscan::cpu::ActivePath()));
      pedscan::PrepareData();
      return 0;
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  } catch (const pedscan::Failure& failure) {
    return pedscan::ReportFailure(failure);
  }
  return 0;
}
