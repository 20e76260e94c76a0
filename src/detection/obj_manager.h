// What the scan needs from a detection configuration.
//
// ObjManager loads the models of every object type, builds one list of image
// pyramid levels shared by all types (a level is a resize ratio with its two
// window steps), records for each type the levels it is scanned at, and keeps
// each type's detections of the current frame. A new ObjManager is empty; it
// is filled once by AddParameters and then read frame after frame. It owns
// the models it loads; the ObjectType records belong to the configuration and
// must outlive it.
//
// Threads: after AddParameters, the level lists and model look-ups may be
// read from any number of threads; the models it hands out classify for one
// thread at a time (see Model), and the detection lists are not guarded.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "features/feature_control.h"
#include "model/model.h"
#include "model/parameters.h"
#include "support/geometry.h"

namespace pedscan {

// One pyramid level, shared by every object type scanned at it.
struct ScaleLevel {
  int stepX = 0;       // horizontal window step, pixels of the resized image
  int stepY = 0;       // vertical window step, pixels of the resized image
  float ratio = 0.0f;  // resize factor: model object height / object size in the input
  int index = 0;       // position of this record in the level list
  int size = 0;        // object size in input pixels of the scale line that created it
};

using ObjectTypeMap = std::map<std::string, std::unique_ptr<ObjectType>>;

// Reads a model file; the default reads it through Storage::ReadModel.
using ModelLoader = std::function<std::unique_ptr<Model>(const std::string& file)>;

class ObjManager {
 public:
  // Loads every model (type by type in key order, model lines in file order),
  // resolves its feature methods with a new FeatureControl, checks its
  // geometry and adds the levels of every scale line of the type, computed
  // from the type's last model. Returns the FeatureControl; the caller owns
  // it. Fatal reports: "invalid padding (negative)!" for a window smaller than
  // its object; an object type with scale lines but no model line; and those
  // of AddScaleLevels.
  std::unique_ptr<FeatureControl> AddParameters(const ObjectTypeMap& objectTypes);
  // The same with another way of obtaining the models (tests build them in
  // memory).
  std::unique_ptr<FeatureControl> AddParameters(const ObjectTypeMap& objectTypes,
                                                const ModelLoader& load);

  // Adds the levels of one scale line, scanned with `model` (its object size
  // gives the ratios and steps), and records them in `typeLevels`. Levels
  // already present with the same ratio (exact float equality) and steps are
  // shared; finding them takes logarithmic time, so a line of many sizes
  // builds quickly. Fatal reports, naming the line when it came from a file:
  // a step of more pixels than the model window (or not a number), a size
  // beyond kLargestObjectSize, a factor that fails to grow a size (the
  // enumeration would never end).
  void AddScaleLevels(const std::string& typeName, const ScaleSpec& scale, const Model& model,
                      std::set<int>& typeLevels);

  // Appends the windows to the type's detections, after emptying them unless
  // `keep` is set.
  void SetDetWindows(const std::string& type, const std::vector<DetectionWindow>& windows,
                     bool keep);
  // Empties the type's detections.
  void SetDetWindows(const std::string& type);
  // The type's detections themselves, not a copy.
  std::vector<DetectionWindow>* GetDetctionWindows(const std::string& type);

  // The model running as `stage` for the type at the level, its threshold
  // stored in *threshold. Null (threshold untouched) when the type is not
  // scanned at the level or has no model line of that stage.
  Model* ModelbyObjType(const std::string& type, int levelIndex, int stage, double* threshold);
  // Every model (types in key order, models in file order) of the types
  // scanned at the level.
  std::vector<Model*> ModelsAtLevel(int levelIndex) const;
  // Type names in key order.
  std::vector<std::string> GetObjectTypes() const;
  // The largest stage of any model line plus one; 0 without model lines.
  int GetNumberOfStages() const;
  std::vector<ScaleLevel> GetLevels() const { return levels_; }

  // Replaces every type's detections by their non-maximum suppression.
  void NonMaxSuppression(float threshold);

 private:
  ObjectType& Find(const std::string& type, const char* function, int line);

  std::map<std::string, ObjectType*> objectTypes_;
  std::vector<ScaleLevel> levels_;
  // (ratio, stepX, stepY) of every level, to its index in levels_.
  std::map<std::tuple<float, int, int>, int> levelIndices_;
  std::vector<std::unique_ptr<Model>> models_;
};

}  // namespace pedscan
