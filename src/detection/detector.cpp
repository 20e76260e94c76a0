#include "detection/detector.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "detection/suppression.h"

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

Detector::Detector(const std::string& configFile) {
  configuration_.ParseFile(configFile);
  Build();
}

Detector::Detector(ParametersExecution configuration) : configuration_(std::move(configuration)) {
  Build();
}

Detector::~Detector() = default;

void Detector::Build() {
  objManager_ = std::make_unique<ObjManager>();
  featureControl_ = objManager_->AddParameters(configuration_.objectTypes);
  levels_ = objManager_->GetLevels();
  objectTypes_ = objManager_->GetObjectTypes();
  numberOfStages_ = objManager_->GetNumberOfStages();
  // The scan reads windows rows outer, so a method may keep only the rows
  // of the tallest window instead of the whole level.
  int tallest = 0;
  for (const ScaleLevel& level : levels_) {
    for (const Model* model : objManager_->ModelsAtLevel(level.index)) {
      tallest = std::max(tallest, static_cast<int>(model->windowH));
    }
  }
  featureControl_->SetStreamRows(tallest);
  featureBuffer_ = std::make_unique<float[]>(kFeatureBufferSize);
}

float Detector::ClassifyWindow(Model& model, int x, int y, bool cacheFilled) {
  int nblocks = static_cast<int>(model.blockModels.size());
  if (!cacheFilled) featureControl_->FillCache(model, x, y, 0, nblocks - 1);
  // Cached blocks are scored where the cache holds them.
  slices_.resize(static_cast<size_t>(nblocks));
  featureControl_->GetWindowSlices(model, x, y, featureBuffer_.get(), slices_.data());
  float response = 0.0f;
  float other = 0.0f;
  model.ClassifySlices(slices_.data(), &response, &other);
  return response;
}

int64_t Detector::EstimatePeakBytes(int width, int height) {
  int64_t largestLevel = 0;
  for (const ScaleLevel& level : levels_) {
    const cv::Size size = LevelSize(width, height, level);
    const int w = size.width;
    const int h = size.height;
    if (w < 1 || h < 1) continue;
    std::vector<Model*> models = objManager_->ModelsAtLevel(level.index);
    if (models.empty()) continue;
    int64_t bytes = 3 * int64_t{w} * h + featureControl_->ImageBytes(models, w, h);
    for (const std::string& type : objectTypes_) {
      double threshold = 0.0;
      const Model* first = objManager_->ModelbyObjType(type, level.index, 0, &threshold);
      if (first != nullptr) {
        bytes += featureControl_->ScanCacheBytes(*first, w, h, level.stepX, level.stepY);
      }
    }
    largestLevel = std::max(largestLevel, bytes);
  }
  return largestLevel;
}

Detections Detector::Detect(const cv::Mat& frame, DetectionProgress* progress) {
  DetectionProgress silent;
  if (progress == nullptr) progress = &silent;
  Detections result;
  result.windows.resize(objectTypes_.size());
  if (frame.empty()) return result;
  int64_t start = cv::getTickCount();
  int nLevels = static_cast<int>(levels_.size());
  for (int e = 0; e < nLevels; ++e) {
    // One level at a time: its image and features are released before the
    // next is built, so memory grows with the largest level, not the sum.
    const LevelImage level = MakeLevelImage(frame, levels_[static_cast<size_t>(e)]);
    progress->LevelStarted(e + 1, nLevels);
    std::vector<Model*> models = objManager_->ModelsAtLevel(level.index);
    if (models.empty()) continue;
    // Features are computed only when some window of the level can be read.
    bool anyFits = false;
    for (const Model* model : models) anyFits = anyFits || WindowFits(*model, level.image);
    if (anyFits) {
      featureControl_->ActivateModelMethods(models);
      featureControl_->AddNewImage(level.image);
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
        Model* model = objManager_->ModelbyObjType(type, level.index, k, &threshold);
        if (model == nullptr) continue;
        if (k == 0) {
          progress->ScanStarted(level, width, height);
          candidates.clear();
          // Every window of the level is scanned, so the cached blocks are
          // computed up front, row by row, where neighbours share work.
          const bool filled =
              featureControl_->FillCacheForScan(*model, width, height, level.stepX, level.stepY);
          WindowScorer score = [this, model, filled](int x, int y) {
            return ClassifyWindow(*model, x, y, filled);
          };
          result.windowsScanned += ScanWindows(width, height, model->windowW, model->windowH,
                                               level.stepX, level.stepY, threshold, score,
                                               candidates);
          haveCandidates = true;
          firstStage = model;
        } else if (haveCandidates) {
          // A later stage may use a larger window than stage 0; a candidate
          // whose window would leave the level image cannot be confirmed.
          std::vector<DetectionWindow> inside;
          for (const DetectionWindow& candidate : candidates) {
            if (candidate.x + model->windowW <= width && candidate.y + model->windowH <= height) {
              inside.push_back(candidate);
            }
          }
          WindowScorer score = [this, model](int x, int y) {
            return ClassifyWindow(*model, x, y, false);
          };
          candidates = RescoreWindows(inside, model->windowW, model->windowH, threshold, score);
        }
      }
      if (!haveCandidates) continue;
      for (DetectionWindow& candidate : candidates) {
        candidate = MapToFrame(candidate, level.factor);
        candidate = ShrinkToObject(candidate, firstStage->windowW, firstStage->windowH,
                                   firstStage->objW, firstStage->objH);
      }
      std::vector<DetectionWindow>& kept = result.windows[t];
      kept.insert(kept.end(), candidates.begin(), candidates.end());
    }

    if (anyFits) {
      featureControl_->ReleaseImage();
      featureControl_->ClearActiveMethods();
    }
  }
  result.ticks = cv::getTickCount() - start;
  return result;
}

void Detector::Suppress(Detections& detections) {
  for (std::vector<DetectionWindow>& windows : detections.windows) {
    windows = NonMaxSuppression(windows, kSuppressionThreshold);
  }
}

}  // namespace pedscan
