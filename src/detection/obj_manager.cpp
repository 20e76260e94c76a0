#include "detection/obj_manager.h"

#include <algorithm>
#include <cmath>

#include "detection/suppression.h"
#include "model/Storage.h"
#include "support/failure.h"

namespace pedscan {
namespace {

constexpr const char* kSource = "obj_manager";

constexpr int kNegativePaddingLine = 88;
constexpr const char* kNegativePadding = "invalid padding (negative)!";

constexpr int kScalesWithoutModelLine = 94;
constexpr int kScaleCannotGrowLine = 62;
constexpr int kScaleStepBeyondWindowLine = 64;
constexpr int kScaleSizeBeyondLargestLine = 66;

constexpr int kAppendWindowsLine = 116;
constexpr int kEmptyWindowsLine = 137;
constexpr int kGetWindowsLine = 155;
constexpr int kModelByTypeLine = 172;
constexpr const char* kInvalidType = "invalid object type identifier!";

std::unique_ptr<Model> ReadModelFile(const std::string& file) {
  Storage storage;
  return storage.ReadModel(file);
}

// "line 7: " for a scale line read from a file, nothing for one made in
// memory.
std::string LinePrefix(const ScaleSpec& scale) {
  return scale.line > 0 ? Format("line %d: ", scale.line) : std::string();
}

// xStep * objW in double, rounded to float, then up to the next integer; a
// step below one pixel would never advance the scan, so it moves one pixel.
// A step longer than the window would skip parts of the image between
// windows, and one that is not a number has no pixel count: both are fatal.
int WindowStep(const ScaleSpec& scale, const std::string& typeName, float step, int objectSize,
               int windowSize, const char* dimension) {
  float scaled = static_cast<float>(static_cast<double>(step) * static_cast<double>(objectSize));
  if (!(scaled <= static_cast<float>(windowSize))) {
    Fatal(kSource, "ObjManager::AddParameters", kScaleStepBeyondWindowLine,
          Format("%sscale step %g of object type '%s' moves %g pixels, more than the %d-pixel "
                 "%s of its model window",
                 LinePrefix(scale).c_str(), static_cast<double>(step), typeName.c_str(),
                 static_cast<double>(scaled), windowSize, dimension));
  }
  // Compared before the conversion: a large negative step has no int.
  if (!(scaled > 0.0f)) return 1;
  return static_cast<int>(std::ceil(scaled));
}

}  // namespace

std::unique_ptr<FeatureControl> ObjManager::AddParameters(const ObjectTypeMap& objectTypes) {
  return AddParameters(objectTypes, ReadModelFile);
}

std::unique_ptr<FeatureControl> ObjManager::AddParameters(const ObjectTypeMap& objectTypes,
                                                          const ModelLoader& load) {
  objectTypes_.clear();
  for (const auto& [name, type] : objectTypes) objectTypes_[name] = type.get();
  auto featureControl = std::make_unique<FeatureControl>();

  for (auto& [name, type] : objectTypes_) {
    const Model* last = nullptr;
    for (auto& modelSpec : type->models) {
      std::unique_ptr<Model> model = load(modelSpec->file);
      featureControl->SetModelMethods(*model);
      modelSpec->model = model.get();
      last = model.get();
      models_.push_back(std::move(model));
      int paddingX = last->windowW - last->objW;
      int paddingY = last->windowH - last->objH;
      if (paddingX < 0 || paddingY < 0) {
        Fatal(kSource, "ObjManager::AddParameters", kNegativePaddingLine, kNegativePadding);
      }
    }
    if (!type->scales.empty() && last == nullptr) {
      // Levels are computed from a model's object size; without one there is
      // nothing to scan the type with.
      Fatal(kSource, "ObjManager::AddParameters", kScalesWithoutModelLine,
            Format("object type '%s' has scale lines but no model line", name.c_str()));
    }
    for (const auto& scale : type->scales) {
      AddScaleLevels(name, *scale, *last, type->levels);
    }
  }
  return featureControl;
}

void ObjManager::AddScaleLevels(const std::string& typeName, const ScaleSpec& scale,
                                const Model& model, std::set<int>& typeLevels) {
  const int objW = model.objW;
  const int objH = model.objH;
  int stepX = WindowStep(scale, typeName, scale.xStep, objW, model.windowW, "width");
  int stepY = WindowStep(scale, typeName, scale.yStep, objH, model.windowH, "height");
  const std::optional<int> stuck = WalkScaleSizes(scale, [&](int size) {
    if (size > kLargestObjectSize) {
      Fatal(kSource, "ObjManager::AddParameters", kScaleSizeBeyondLargestLine,
            Format("%sscale line of object type '%s' reaches object size %d, beyond the largest "
                   "object size %d",
                   LinePrefix(scale).c_str(), typeName.c_str(), size, kLargestObjectSize));
    }
    float ratio = static_cast<float>(static_cast<double>(objH) / static_cast<double>(size));
    // The first level made with this ratio and these steps is shared; a new
    // one is appended, so indices stay in order of creation.
    auto [found, added] = levelIndices_.try_emplace(std::make_tuple(ratio, stepX, stepY),
                                                    static_cast<int>(levels_.size()));
    int index = found->second;
    if (added) levels_.push_back(ScaleLevel{stepX, stepY, ratio, index, size});
    typeLevels.insert(index);
    return true;
  });
  if (stuck) {
    Fatal(kSource, "ObjManager::AddParameters", kScaleCannotGrowLine,
          Format("scale factor %g cannot grow the object size %d of object type '%s'",
                 static_cast<double>(scale.factor), *stuck, typeName.c_str()));
  }
}

ObjectType& ObjManager::Find(const std::string& type, const char* function, int line) {
  auto found = objectTypes_.find(type);
  if (found == objectTypes_.end()) Fatal(kSource, function, line, kInvalidType);
  return *found->second;
}

void ObjManager::SetDetWindows(const std::string& type, const std::vector<DetectionWindow>& windows,
                               bool keep) {
  ObjectType& objectType = Find(type, "ObjManager::SetDetWindows", kAppendWindowsLine);
  if (!keep) objectType.detections->clear();
  objectType.detections->insert(objectType.detections->end(), windows.begin(), windows.end());
}

void ObjManager::SetDetWindows(const std::string& type) {
  Find(type, "ObjManager::SetDetWindows", kEmptyWindowsLine).detections->clear();
}

std::vector<DetectionWindow>* ObjManager::GetDetctionWindows(const std::string& type) {
  return Find(type, "ObjManager::GetDetctionWindows", kGetWindowsLine).detections.get();
}

Model* ObjManager::ModelbyObjType(const std::string& type, int levelIndex, int stage,
                                  double* threshold) {
  ObjectType& objectType = Find(type, "ObjManager::ModelbyObjType", kModelByTypeLine);
  if (objectType.levels.count(levelIndex) == 0) return nullptr;
  for (const auto& modelSpec : objectType.models) {
    if (modelSpec->stage == stage) {
      *threshold = modelSpec->threshold;
      return modelSpec->model;
    }
  }
  return nullptr;
}

std::vector<Model*> ObjManager::ModelsAtLevel(int levelIndex) const {
  std::vector<Model*> models;
  for (const auto& [name, type] : objectTypes_) {
    if (type->levels.count(levelIndex) == 0) continue;
    for (const auto& modelSpec : type->models) models.push_back(modelSpec->model);
  }
  return models;
}

std::vector<std::string> ObjManager::GetObjectTypes() const {
  std::vector<std::string> names;
  for (const auto& [name, type] : objectTypes_) names.push_back(name);
  return names;
}

int ObjManager::GetNumberOfStages() const {
  int largest = -1;
  for (const auto& [name, type] : objectTypes_) {
    for (const auto& modelSpec : type->models) largest = std::max(largest, modelSpec->stage);
  }
  return largest + 1;
}

void ObjManager::NonMaxSuppression(float threshold) {
  for (auto& [name, type] : objectTypes_) {
    *type->detections = pedscan::NonMaxSuppression(*type->detections, threshold);
  }
}

}  // namespace pedscan
