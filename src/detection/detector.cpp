#include "detection/detector.h"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <utility>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "detection/suppression.h"
#include "support/failure.h"
#include "support/parallel.h"

namespace pedscan {
namespace {

bool WindowFits(const Model& model, const cv::Mat& image) {
  return !image.empty() && model.windowW <= image.cols && model.windowH <= image.rows;
}

}  // namespace

cv::Size LevelSize(int width, int height, const ScaleLevel& level) {
  // Held below INT_MAX before the conversion, which a product beyond int
  // would make undefined; no image of such a size can be made anyway.
  auto scaled = [&level](int length) {
    const float product = std::floor(static_cast<float>(length) * level.ratio);
    return product < 2147483520.0f ? static_cast<int>(product) : 2147483520;
  };
  return cv::Size(scaled(width), scaled(height));
}

LevelImage MakeLevelImage(const cv::Mat& frame, const ScaleLevel& level) {
  LevelImage levelImage;
  levelImage.stepX = level.stepX;
  levelImage.stepY = level.stepY;
  levelImage.ratio = level.ratio;
  levelImage.index = level.index;
  levelImage.size = level.size;
  const cv::Size size = LevelSize(frame.cols, frame.rows, level);
  const int width = size.width;
  const int height = size.height;
  if (width < 1 || height < 1) {
    // A level below one pixel holds no window; resizing to it is impossible.
    levelImage.factor = 0.0f;
    return levelImage;
  }
  cv::resize(frame, levelImage.image, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
  levelImage.factor = static_cast<float>(frame.cols) / static_cast<float>(width);
  return levelImage;
}

int ScanWindows(int width, int height, int wW, int wH, int stepX, int stepY, double threshold,
                const WindowScorer& score, std::vector<DetectionWindow>& out) {
  int scanned = 0;
  for (int y = 0; y <= height - wH; y += stepY) {
    for (int x = 0; x <= width - wW; x += stepX) {
      ++scanned;
      float response = score(x, y);
      if (static_cast<double>(response) >= threshold) {
        out.push_back(DetectionWindow{static_cast<int16_t>(x), static_cast<int16_t>(y),
                                      static_cast<int16_t>(wW), static_cast<int16_t>(wH),
                                      static_cast<double>(response)});
      }
    }
  }
  return scanned;
}

std::vector<DetectionWindow> RescoreWindows(const std::vector<DetectionWindow>& candidates, int wW,
                                            int wH, double threshold, const WindowScorer& score) {
  std::vector<DetectionWindow> kept;
  for (const DetectionWindow& candidate : candidates) {
    float response = score(candidate.x, candidate.y);
    if (static_cast<double>(response) > threshold) {
      kept.push_back(DetectionWindow{candidate.x, candidate.y, static_cast<int16_t>(wW),
                                     static_cast<int16_t>(wH), static_cast<double>(response)});
    }
  }
  return kept;
}

DetectionWindow MapToFrame(const DetectionWindow& window, float factor) {
  auto scale = [factor](int16_t value) {
    return static_cast<int16_t>(std::floor(static_cast<float>(value) * factor));
  };
  return DetectionWindow{scale(window.x), scale(window.y), scale(window.width),
                         scale(window.height), window.response};
}

DetectionWindow ShrinkToObject(const DetectionWindow& window, int wW, int wH, int oW, int oH) {
  float marginX = (1.0f - static_cast<float>(oW) / static_cast<float>(wW)) * 0.5f;
  float marginY = (1.0f - static_cast<float>(oH) / static_cast<float>(wH)) * 0.5f;
  int mx = static_cast<int>(std::floor(marginX * static_cast<float>(window.width)));
  int my = static_cast<int>(std::floor(marginY * static_cast<float>(window.height)));
  DetectionWindow shrunk = window;
  shrunk.x = static_cast<int16_t>(window.x + mx);
  shrunk.y = static_cast<int16_t>(window.y + my);
  shrunk.width = static_cast<int16_t>(window.width - 2 * mx);
  shrunk.height = static_cast<int16_t>(window.height - 2 * my);
  return shrunk;
}

// One thread's share of the detector: its own declarations, models,
// feature control and scratch.
struct Detector::Worker {
  ObjectTypeMap declarations;  // empty for the first worker, which uses the configuration's
  std::unique_ptr<ObjManager> objManager;
  std::unique_ptr<FeatureControl> featureControl;
  std::unique_ptr<float[]> featureBuffer;
  std::vector<const float*> slices;  // one per block of the model scored

  // The response of the model's window at (x, y) of the current level image.
  // cacheFilled: the level's scan fill already stored every cached block.
  float ClassifyWindow(Model& model, int x, int y, bool cacheFilled) {
    int nblocks = static_cast<int>(model.blockModels.size());
    if (!cacheFilled) featureControl->FillCache(model, x, y, 0, nblocks - 1);
    // Cached blocks are scored where the cache holds them.
    slices.resize(static_cast<size_t>(nblocks));
    featureControl->GetWindowSlices(model, x, y, featureBuffer.get(), slices.data());
    float response = 0.0f;
    float other = 0.0f;
    model.ClassifySlices(slices.data(), &response, &other);
    return response;
  }
};

// What scanning one level gives, kept until the levels before it are done.
struct Detector::LevelResult {
  LevelImage geometry;  // the level without its image, for the progress calls
  bool started = false;  // the level image was built
  std::vector<std::pair<int, int>> scans;  // width, height of each type's first stage
  std::vector<std::vector<DetectionWindow>> windows;  // per type
  int windowsScanned = 0;
  std::exception_ptr failure;
};

namespace {

// The declarations of a configuration without what an object manager fills
// in (levels, loaded models), for another manager to load on its own.
ObjectTypeMap CopyDeclarations(const ObjectTypeMap& types) {
  ObjectTypeMap copy;
  for (const auto& [name, type] : types) {
    auto declared = std::make_unique<ObjectType>();
    declared->name = type->name;
    for (const auto& model : type->models) {
      declared->models.push_back(std::make_unique<ModelSpec>(*model));
      declared->models.back()->model = nullptr;
    }
    for (const auto& scale : type->scales) {
      declared->scales.push_back(std::make_unique<ScaleSpec>(*scale));
    }
    copy.emplace(name, std::move(declared));
  }
  return copy;
}

}  // namespace

Detector::Detector(const std::string& configFile, int threads) {
  configuration_.ParseFile(configFile);
  workers_.push_back(MakeWorker(configuration_.objectTypes));
  SetThreads(threads);
}

Detector::Detector(ParametersExecution configuration, int threads)
    : configuration_(std::move(configuration)) {
  workers_.push_back(MakeWorker(configuration_.objectTypes));
  SetThreads(threads);
}

Detector::~Detector() = default;

ObjManager& Detector::objManager() { return *workers_.front()->objManager; }

std::unique_ptr<Detector::Worker> Detector::MakeWorker(const ObjectTypeMap& declarations) {
  auto worker = std::make_unique<Worker>();
  const ObjectTypeMap* types = &declarations;
  if (!workers_.empty()) {
    worker->declarations = CopyDeclarations(declarations);
    types = &worker->declarations;
  }
  worker->objManager = std::make_unique<ObjManager>();
  worker->featureControl = worker->objManager->AddParameters(*types);
  if (workers_.empty()) {
    levels_ = worker->objManager->GetLevels();
    objectTypes_ = worker->objManager->GetObjectTypes();
    numberOfStages_ = worker->objManager->GetNumberOfStages();
  }
  // The scan reads windows rows outer, so a method may keep only the rows
  // of the tallest window instead of the whole level.
  int tallest = 0;
  for (const ScaleLevel& level : levels_) {
    for (const Model* model : worker->objManager->ModelsAtLevel(level.index)) {
      tallest = std::max(tallest, static_cast<int>(model->windowH));
    }
  }
  worker->featureControl->SetStreamRows(tallest);
  worker->featureBuffer = std::make_unique<float[]>(kFeatureBufferSize);
  return worker;
}

void Detector::SetThreads(int threads) {
  const size_t wanted = static_cast<size_t>(ResolveThreads(threads));
  // More workers than levels would never get work.
  const size_t useful = std::max<size_t>(1, std::min(wanted, levels_.size()));
  while (workers_.size() < useful) workers_.push_back(MakeWorker(configuration_.objectTypes));
  workers_.resize(useful);
}

int64_t Detector::LevelBytes(int width, int height, const ScaleLevel& level) {
  const cv::Size size = LevelSize(width, height, level);
  const int w = size.width;
  const int h = size.height;
  if (w < 1 || h < 1) return 0;
  ObjManager& manager = *workers_.front()->objManager;
  FeatureControl& features = *workers_.front()->featureControl;
  std::vector<Model*> models = manager.ModelsAtLevel(level.index);
  if (models.empty()) return 0;
  int64_t bytes = 3 * int64_t{w} * h + features.ImageBytes(models, w, h);
  for (const std::string& type : objectTypes_) {
    double threshold = 0.0;
    const Model* first = manager.ModelbyObjType(type, level.index, 0, &threshold);
    if (first != nullptr) {
      bytes += features.ScanCacheBytes(*first, w, h, level.stepX, level.stepY);
    }
  }
  return bytes;
}

int64_t Detector::EstimatePeakBytes(int width, int height) {
  int64_t peak = 0;
  if (padding_ > 0) {  // the padded copy of the frame is scanned
    width += 2 * padding_;
    height += 2 * padding_;
    peak += 3 * int64_t{width} * height;
  }
  std::vector<int64_t> bytes;
  for (const ScaleLevel& level : levels_) bytes.push_back(LevelBytes(width, height, level));
  // Each worker holds one level at a time; at worst the largest ones at once.
  std::sort(bytes.begin(), bytes.end(), std::greater<int64_t>());
  for (size_t i = 0; i < bytes.size() && i < workers_.size(); ++i) peak += bytes[i];
  return peak;
}

void Detector::ScanLevel(Worker& worker, const cv::Mat& frame, int e, LevelResult& result,
                         DetectionProgress* live, Pass pass, const LevelWindows* survivors) {
  if (pass == Pass::kLaterStages) {
    result.windows.resize(objectTypes_.size());
    bool any = false;
    for (const std::vector<DetectionWindow>& windows : *survivors) any = any || !windows.empty();
    if (!any) return;
  }
  // One level at a time per worker: its image and features are released
  // before the next is built, so memory grows with the largest level, not
  // the sum.
  const LevelImage level = MakeLevelImage(frame, levels_[static_cast<size_t>(e)]);
  result.geometry = level;
  result.geometry.image = cv::Mat();
  result.started = true;
  if (live != nullptr) live->LevelStarted(e + 1, static_cast<int>(levels_.size()));
  result.windows.resize(objectTypes_.size());
  ObjManager& manager = *worker.objManager;
  FeatureControl& features = *worker.featureControl;
  std::vector<Model*> models = manager.ModelsAtLevel(level.index);
  if (pass != Pass::kCascade) {
    // Only the models of the stages this pass runs are featurised.
    std::vector<Model*> wanted;
    for (const std::string& type : objectTypes_) {
      for (int k = 0; k < numberOfStages_; ++k) {
        if ((k == 0) != (pass == Pass::kFirstStage)) continue;
        double threshold = 0.0;
        Model* model = manager.ModelbyObjType(type, level.index, k, &threshold);
        if (model != nullptr && std::find(wanted.begin(), wanted.end(), model) == wanted.end()) {
          wanted.push_back(model);
        }
      }
    }
    models = std::move(wanted);
  }
  // A level where no type has a later stage still hands on the stage-0
  // windows of its single-stage types.
  if (models.empty() && pass != Pass::kLaterStages) return;
  // Features are computed only when some window of the level can be read.
  bool anyFits = false;
  for (const Model* model : models) anyFits = anyFits || WindowFits(*model, level.image);
  if (anyFits) {
    features.ActivateModelMethods(models);
    features.AddNewImage(level.image);
  }
  int width = level.image.cols;
  int height = level.image.rows;

  for (size_t t = 0; t < objectTypes_.size(); ++t) {
    const std::string& type = objectTypes_[t];
    std::vector<DetectionWindow> candidates;
    bool haveCandidates = false;
    const Model* firstStage = nullptr;
    for (int k = 0; k < numberOfStages_; ++k) {
      double threshold = 0.0;
      Model* model = manager.ModelbyObjType(type, level.index, k, &threshold);
      if (model == nullptr) continue;
      if (k == 0 && pass == Pass::kLaterStages) {
        candidates = (*survivors)[t];
        haveCandidates = true;
        firstStage = model;
      } else if (k == 0) {
        result.scans.emplace_back(width, height);
        if (live != nullptr) live->ScanStarted(level, width, height);
        candidates.clear();
        // Every window of the level is scanned, so the cached blocks are
        // computed up front, row by row, where neighbours share work.
        const bool filled =
            features.FillCacheForScan(*model, width, height, level.stepX, level.stepY);
        WindowScorer score = [&worker, model, filled](int x, int y) {
          return worker.ClassifyWindow(*model, x, y, filled);
        };
        result.windowsScanned += ScanWindows(width, height, model->windowW, model->windowH,
                                             level.stepX, level.stepY, threshold, score,
                                             candidates);
        haveCandidates = true;
        firstStage = model;
        if (pass == Pass::kFirstStage) break;
      } else if (haveCandidates) {
        // A later stage may use a larger window than stage 0; a candidate
        // whose window would leave the level image cannot be confirmed.
        std::vector<DetectionWindow> inside;
        for (const DetectionWindow& candidate : candidates) {
          if (candidate.x + model->windowW <= width && candidate.y + model->windowH <= height) {
            inside.push_back(candidate);
          }
        }
        WindowScorer score = [&worker, model](int x, int y) {
          return worker.ClassifyWindow(*model, x, y, false);
        };
        candidates = RescoreWindows(inside, model->windowW, model->windowH, threshold, score);
      }
    }
    if (!haveCandidates) continue;
    if (pass == Pass::kFirstStage) {
      result.windows[t] = std::move(candidates);  // level coordinates, for the later stages
      continue;
    }
    for (DetectionWindow& candidate : candidates) {
      candidate = MapToFrame(candidate, level.factor);
      candidate = ShrinkToObject(candidate, firstStage->windowW, firstStage->windowH,
                                 firstStage->objW, firstStage->objH);
    }
    result.windows[t] = std::move(candidates);
  }

  if (anyFits) {
    features.ReleaseImage();
    features.ClearActiveMethods();
  }
}

Detections Detector::Detect(const cv::Mat& frame, DetectionProgress* progress) {
  std::vector<std::exception_ptr> failures;
  std::vector<Detections> detections = DetectFrames({frame}, {progress}, &failures);
  if (failures.front()) std::rethrow_exception(failures.front());
  return std::move(detections.front());
}

namespace {

// The weight a stage-0 window of this response carries when a box is placed
// (Detector::SetBoxPlacement).
double PlacementWeight(double response, double threshold) { return response - threshold + kPlacementFloor; }

// Boxes of a frame scanned with `pad` pixels around it, moved back into the
// frame and clipped to it; a box wholly in the padding is dropped.
std::vector<DetectionWindow> Unpad(const std::vector<DetectionWindow>& windows, int pad, int width,
                                   int height) {
  std::vector<DetectionWindow> inside;
  for (DetectionWindow window : windows) {
    const int x0 = std::max(0, window.x - pad);
    const int y0 = std::max(0, window.y - pad);
    const int x1 = std::min(width, window.x - pad + window.width);
    const int y1 = std::min(height, window.y - pad + window.height);
    if (x1 <= x0 || y1 <= y0) continue;
    window.x = static_cast<int16_t>(x0);
    window.y = static_cast<int16_t>(y0);
    window.width = static_cast<int16_t>(x1 - x0);
    window.height = static_cast<int16_t>(y1 - y0);
    inside.push_back(window);
  }
  return inside;
}

// The windows of `windows` whose responses, lowered by soft suppression of
// this width, still pass their cuts (threshold, and whether the response
// must lie above it rather than at or above), with the lowered responses.
std::vector<DetectionWindow> SoftSuppress(const std::vector<DetectionWindow>& windows,
                                          const std::vector<std::pair<double, bool>>& cuts, float width) {
  const std::vector<double> responses = SoftSuppressedResponses(windows, width);
  std::vector<DetectionWindow> kept;
  for (size_t i = 0; i < windows.size(); ++i) {
    const auto [threshold, above] = cuts[i];
    if (above ? !(responses[i] > threshold) : !(responses[i] >= threshold)) continue;
    kept.push_back(windows[i]);
    kept.back().response = responses[i];
  }
  return kept;
}

}  // namespace

std::pair<double, bool> Detector::LastStageCut(const std::string& type, int levelIndex) {
  for (int k = numberOfStages_ - 1; k >= 0; --k) {
    double threshold = 0.0;
    if (objManager().ModelbyObjType(type, levelIndex, k, &threshold) != nullptr) return {threshold, k > 0};
  }
  return {0.0, false};  // no window of the type is found at a level without its models
}

void Detector::ScanLaterStages(const std::vector<cv::Mat>& frames, const std::vector<LevelItem>& items,
                               std::vector<std::vector<LevelResult>>& results,
                               std::vector<std::atomic<int>>& firstFailure,
                               std::vector<std::vector<std::vector<WeightedWindow>>>* stageZero) {
  const size_t nTypes = objectTypes_.size();
  // survivors[f][e][t]: the stage-0 windows of type t at level e of frame f
  // that the suppression over the whole frame keeps, in level coordinates.
  std::vector<std::vector<LevelWindows>> survivors(frames.size());
  ObjManager& manager = *workers_.front()->objManager;
  for (size_t f = 0; f < frames.size(); ++f) {
    std::vector<LevelResult>& levels = results[f];
    survivors[f].assign(levels.size(), LevelWindows(nTypes));
    if (frames[f].empty() || firstFailure[f].load() < static_cast<int>(levels.size())) continue;
    for (size_t t = 0; t < nTypes; ++t) {
      std::vector<DetectionWindow> inFrame;  // the same windows as object boxes of the frame
      std::vector<std::pair<size_t, size_t>> origin;  // level, index there
      for (size_t e = 0; e < levels.size(); ++e) {
        if (levels[e].windows.size() <= t || levels[e].windows[t].empty()) continue;
        const std::vector<DetectionWindow>& windows = levels[e].windows[t];
        double threshold = 0.0;
        const Model* first = manager.ModelbyObjType(objectTypes_[t], levels[e].geometry.index, 0, &threshold);
        for (size_t i = 0; i < windows.size(); ++i) {
          inFrame.push_back(ShrinkToObject(MapToFrame(windows[i], levels[e].geometry.factor), first->windowW,
                                           first->windowH, first->objW, first->objH));
          origin.emplace_back(e, i);
          if (stageZero != nullptr) {
            (*stageZero)[f][t].push_back({inFrame.back(), PlacementWeight(windows[i].response, threshold)});
          }
        }
      }
      // Soft suppression lowers responses at the end instead: every
      // stage-0 window goes on to the later stages.
      const std::vector<bool> suppressed = softWidth_ > 0.0f ? std::vector<bool>(inFrame.size(), false)
                                                             : SuppressedWindows(inFrame, suppressionThreshold_);
      for (size_t i = 0; i < inFrame.size(); ++i) {
        if (suppressed[i]) continue;
        const auto [e, index] = origin[i];
        survivors[f][e][t].push_back(levels[e].windows[t][index]);
      }
    }
  }
  ParallelFor(static_cast<int>(items.size()), static_cast<int>(workers_.size()), [&](int index, int worker) {
    const LevelItem& item = items[static_cast<size_t>(index)];
    const size_t f = static_cast<size_t>(item.frame);
    const size_t e = static_cast<size_t>(item.level);
    LevelResult& result = results[f][e];
    if (result.failure || firstFailure[f].load() < static_cast<int>(results[f].size())) return;
    LevelResult later;
    try {
      ScanLevel(*workers_[static_cast<size_t>(worker)], frames[f], item.level, later, nullptr,
                Pass::kLaterStages, &survivors[f][e]);
      result.windows = std::move(later.windows);
    } catch (...) {
      result.failure = std::current_exception();
      int seen = firstFailure[f].load();
      while (item.level < seen && !firstFailure[f].compare_exchange_weak(seen, item.level)) {
      }
    }
  });
}

std::vector<Detections> Detector::DetectFrames(const std::vector<cv::Mat>& given,
                                               const std::vector<DetectionProgress*>& progress,
                                               std::vector<std::exception_ptr>* failures) {
  std::vector<cv::Mat> padded;
  if (padding_ > 0) {
    for (const cv::Mat& frame : given) {
      padded.emplace_back();
      if (!frame.empty()) {
        cv::copyMakeBorder(frame, padded.back(), padding_, padding_, padding_, padding_,
                           cv::BORDER_REPLICATE);
      }
    }
  }
  const std::vector<cv::Mat>& frames = padding_ > 0 ? padded : given;
  const int nFrames = static_cast<int>(frames.size());
  const int nLevels = static_cast<int>(levels_.size());
  std::vector<Detections> detections(frames.size());
  for (Detections& found : detections) found.windows.resize(objectTypes_.size());
  std::vector<std::exception_ptr> failed(frames.size());
  DetectionProgress silent;
  auto progressOf = [&](int f) {
    DetectionProgress* given = static_cast<size_t>(f) < progress.size() ? progress[f] : nullptr;
    return given != nullptr ? given : &silent;
  };
  const int64_t start = cv::getTickCount();

  // One item per level of every frame (an empty frame has none). They are
  // handed out largest first, so that the largest does not run alone at the
  // end while the other workers wait.
  std::vector<LevelItem> items;
  for (int f = 0; f < nFrames; ++f) {
    const cv::Mat& frame = frames[static_cast<size_t>(f)];
    if (frame.empty()) continue;
    for (int e = 0; e < nLevels; ++e) {
      const cv::Size size = LevelSize(frame.cols, frame.rows, levels_[static_cast<size_t>(e)]);
      items.push_back({f, e, int64_t{std::max(size.width, 0)} * std::max(size.height, 0)});
    }
  }
  const bool live = workers_.size() == 1;
  if (!live) {
    std::stable_sort(items.begin(), items.end(),
                     [](const LevelItem& a, const LevelItem& b) { return a.area > b.area; });
  }
  std::vector<std::vector<LevelResult>> results(frames.size());
  for (std::vector<LevelResult>& levels : results) levels.resize(static_cast<size_t>(nLevels));

  // With one worker the progress is told as the scan goes. With several, a
  // level's progress is told once every level before it in its frame is
  // done, exactly as one worker would have told it, up to a failure.
  std::mutex progressMutex;
  std::vector<std::vector<char>> done(frames.size(), std::vector<char>(nLevels, 0));
  std::vector<int> told(frames.size(), 0);
  auto tell = [&](int f, int e) {
    std::lock_guard<std::mutex> lock(progressMutex);
    done[static_cast<size_t>(f)][static_cast<size_t>(e)] = 1;
    int& next = told[static_cast<size_t>(f)];
    while (next < nLevels && done[static_cast<size_t>(f)][static_cast<size_t>(next)]) {
      const LevelResult& result = results[static_cast<size_t>(f)][static_cast<size_t>(next)];
      if (result.started) progressOf(f)->LevelStarted(next + 1, nLevels);
      for (const auto& [width, height] : result.scans) {
        progressOf(f)->ScanStarted(result.geometry, width, height);
      }
      ++next;
      if (result.failure) next = nLevels;  // nothing after a failure is told
    }
  };
  std::vector<std::atomic<int>> firstFailure(frames.size());
  for (std::atomic<int>& level : firstFailure) level = nLevels;
  // With stage suppression and a cascade, the first pass runs stage 0 alone
  // on every level; its windows are suppressed over the whole frame, and a
  // second pass runs the later stages on the survivors of each level.
  const bool twoPasses = stageSuppression_ && numberOfStages_ > 1;
  ParallelFor(static_cast<int>(items.size()), static_cast<int>(workers_.size()),
              [&](int index, int worker) {
    const LevelItem& item = items[static_cast<size_t>(index)];
    const size_t f = static_cast<size_t>(item.frame);
    LevelResult& result = results[f][static_cast<size_t>(item.level)];
    // A level after a failed one of its frame would not have been scanned
    // by one worker.
    if (item.level < firstFailure[f].load()) {
      try {
        ScanLevel(*workers_[static_cast<size_t>(worker)], frames[f], item.level, result,
                  live ? progressOf(item.frame) : nullptr,
                  twoPasses ? Pass::kFirstStage : Pass::kCascade);
      } catch (...) {
        // Kept until the levels before it are done: the failure of the
        // earliest level is the one reported, as with a single worker.
        result.failure = std::current_exception();
        int seen = firstFailure[f].load();
        while (item.level < seen && !firstFailure[f].compare_exchange_weak(seen, item.level)) {
        }
      }
    }
    if (!live) tell(item.frame, item.level);
  });
  // The stage-0 windows that place the boxes, per frame and type.
  const bool placing = stageSuppression_ && boxPlacement_;
  std::vector<std::vector<std::vector<WeightedWindow>>> stageZero;
  if (placing) stageZero.assign(frames.size(), std::vector<std::vector<WeightedWindow>>(objectTypes_.size()));
  if (twoPasses) ScanLaterStages(frames, items, results, firstFailure, placing ? &stageZero : nullptr);

  // With soft suppression, the threshold each window's lowered response
  // must still pass: its last stage's at its level, passed at or above for
  // stage 0, above for a later stage, as the scan passes them.
  const bool soft = stageSuppression_ && softWidth_ > 0.0f;
  std::vector<std::vector<std::vector<std::pair<double, bool>>>> cuts;
  if (soft) cuts.assign(frames.size(), std::vector<std::vector<std::pair<double, bool>>>(objectTypes_.size()));

  const int64_t ticks = cv::getTickCount() - start;
  for (size_t f = 0; f < frames.size(); ++f) {
    Detections& found = detections[f];
    found.ticks = ticks / std::max(nFrames, 1);
    if (frames[f].empty()) continue;
    for (LevelResult& result : results[f]) {
      if (result.failure) {
        failed[f] = result.failure;
        break;
      }
      found.windowsScanned += result.windowsScanned;
      for (size_t t = 0; t < objectTypes_.size(); ++t) {
        std::vector<DetectionWindow>& kept = found.windows[t];
        kept.insert(kept.end(), result.windows[t].begin(), result.windows[t].end());
        if (soft && !result.windows[t].empty()) {
          cuts[f][t].resize(kept.size(), LastStageCut(objectTypes_[t], result.geometry.index));
        }
        // With one stage, the windows found are stage 0's.
        if (placing && !twoPasses && !result.windows[t].empty()) {
          double threshold = 0.0;
          objManager().ModelbyObjType(objectTypes_[t], result.geometry.index, 0, &threshold);
          for (const DetectionWindow& window : result.windows[t]) {
            stageZero[f][t].push_back({window, PlacementWeight(window.response, threshold)});
          }
        }
      }
    }
  }
  // Stage suppression ends with the last stage (or the only one) suppressed
  // over the whole frame; then the boxes are placed, and those inside
  // stronger ones removed.
  if (stageSuppression_) {
    for (size_t f = 0; f < detections.size(); ++f) {
      if (!soft) Suppress(detections[f], suppressionThreshold_);
      if (failed[f]) continue;
      for (size_t t = 0; t < objectTypes_.size(); ++t) {
        std::vector<DetectionWindow>& windows = detections[f].windows[t];
        if (soft) windows = SoftSuppress(windows, cuts[f][t], softWidth_);
        if (placing) {
          for (DetectionWindow& window : windows) window = PlaceBox(window, stageZero[f][t], kPlacementOverlap);
        }
        if (containment_ > 0.0f) windows = RemoveContained(windows, containment_);
      }
    }
  }
  if (padding_ > 0) {
    for (size_t f = 0; f < detections.size(); ++f) {
      for (std::vector<DetectionWindow>& windows : detections[f].windows) {
        windows = Unpad(windows, padding_, given[f].cols, given[f].rows);
      }
    }
  }
  if (failures != nullptr) {
    *failures = std::move(failed);
  } else {
    for (const std::exception_ptr& failure : failed) {
      if (failure) std::rethrow_exception(failure);
    }
  }
  return detections;
}

void ProgressText::LevelStarted(int level, int levels) {
  text += Format("\rscale %d/%d", level, levels);
}

void ProgressText::ScanStarted(const LevelImage& level, int width, int height) {
  text += Format(" (height: %d, x: %d, y: %d (%d,%d))", level.size, level.stepX, level.stepY,
                 width, height);
}

void Detector::Suppress(Detections& detections, float threshold) {
  for (std::vector<DetectionWindow>& windows : detections.windows) {
    windows = NonMaxSuppression(windows, threshold);
  }
}

}  // namespace pedscan
