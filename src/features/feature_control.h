// The registry of feature methods and of their configured instances.
//
// FeatureControl holds one prototype per method name and turns every distinct
// (method name, parameter set) pair used by a model into one configured
// instance, shared by all blocks and models that use the pair. It drives the
// active instances image by image and assembles block features, through an
// instance's FeatureCache when its parameter set asks for one. It owns its
// prototypes, instances and caches.
//
// Threads: the current image's features, the caches and the instances'
// scratch all change as windows are read, so a FeatureControl serves one
// thread at a time; threads that extract side by side need one each.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "features/extraction_method.h"
#include "features/feature_cache.h"
#include "model/model.h"

namespace pedscan {

struct MethodInstance {
  std::string name;
  ParameterMap params;
  std::unique_ptr<FeatureCache> cache;  // null unless "cache" is 1
  std::unique_ptr<ExtractionMethod> method;
};

class FeatureControl {
 public:
  // Registers the prototypes HOG, COOCH, COOCS, COOCV.
  FeatureControl();

  // Fatal "Feature extraction method doesn't exist!" for an unknown name.
  int RegisterNewFeatureParameterMethod(const std::string& name, const ParameterMap& params);
  // Index of an instance with the same name and identical map, or -1.
  int FindFeatureParameterMethod(const std::string& name, const ParameterMap& params) const;
  // Resolves every block of the model to an instance and sets the feature
  // counts. Fatal when a block names a parameter set the model does not hold.
  void SetModelMethods(Model& model);
  void ActivateModelMethods(const Model& model);
  void ActivateModelMethods(const std::vector<Model*>& models);
  void ClearActiveMethods();

  void AddNewImage(const cv::Mat& image);
  // Passes the scan's promise on to every instance (see
  // ExtractionMethod::SetStreamRows); instances registered later get it too.
  void SetStreamRows(int rows);
  // Computes and stores, for the cached instances, blocks first..last
  // (inclusive) of the model shifted by (dx, dy) that are not stored yet.
  void FillCache(const Model& model, int dx, int dy, int first, int last);
  // Stores, for the model's cached co-occurrence blocks, every rectangle
  // that the windows of a scan over a width x height image read (windows at
  // x = 0, stepX, ... while x + windowW <= width, likewise in y), row by row,
  // counting neighbouring blocks of a row incrementally. FillCache then finds
  // them all stored; the values are those FillCache would store. Other
  // blocks are left to FillCache. Returns true when no cached block was left
  // to it, so that FillCache has nothing to do for the scan's windows.
  bool FillCacheForScan(const Model& model, int width, int height, int stepX, int stepY);
  // Writes block.nfeatures values of the block shifted by (dx, dy): from the
  // cache for a cached instance (FillCache must have stored the rectangle
  // since the last ReleaseImage), else extracted from the current image.
  // Requires: the block was resolved by SetModelMethods of this object.
  void GetBlockFeatures(int dy, const BlockModel& block, int dx, float* out);
  // Writes the features of every block of the model shifted by (dx, dy),
  // block after block (model.nrawfeatures values): what GetBlockFeatures
  // gives for each in turn. Consecutive uncached blocks of one instance are
  // extracted in one call, which lets a method evaluate them together.
  void GetWindowFeatures(const Model& model, int dx, int dy, float* out);
  // The same features without copying the cached ones: slices[b] points at
  // block b's values, in the cache for a cached instance (valid until the
  // next ReleaseImage), else in scratch, which is laid out as out above
  // (model.nrawfeatures values).
  void GetWindowSlices(const Model& model, int dx, int dy, float* scratch, const float** slices);
  void ReleaseImage();

  // The bytes the instances used by `models` hold for an image of width x
  // height (each instance counted once), with the largest index their caches
  // can grow for it.
  int64_t ImageBytes(const std::vector<Model*>& models, int width, int height) const;
  // The bytes FillCacheForScan stores for the model's scan of a width x
  // height image: a bound on the distinct cached rectangles times their
  // entries, and its map of positions.
  int64_t ScanCacheBytes(const Model& model, int width, int height, int stepX, int stepY) const;

  // Adds a prototype under its GetName(), replacing one of that name. Lets
  // tests and tools register methods of their own beside the four built in.
  void RegisterPrototype(std::unique_ptr<ExtractionMethod> prototype);

  const std::vector<std::unique_ptr<MethodInstance>>& instances() const { return instances_; }
  const std::set<int>& active() const { return active_; }

 private:
  std::vector<std::unique_ptr<MethodInstance>> instances_;
  std::map<std::string, std::unique_ptr<ExtractionMethod>> registry_;
  std::set<int> active_;
  int streamRows_ = 0;
  // Work lists of FillCache, kept so that their storage is reused.
  std::vector<int> missing_;
  std::vector<BlockRect> batchRects_;
  std::vector<float> batchValues_;
  std::vector<float*> batchOut_;

  // GetWindowFeatures (slices null) and GetWindowSlices in one walk.
  void WindowFeatures(const Model& model, int dx, int dy, float* out, const float** slices);
};

}  // namespace pedscan
