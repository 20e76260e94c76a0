#include "features/feature_control.h"

#include <cstdlib>
#include <utility>

#include "features/HOG.h"
#include "features/co_occurrence.h"
#include "support/failure.h"

namespace pedscan {

namespace {

constexpr char kSource[] = "feature_control";

constexpr int kUnknownMethodLine = 108;
constexpr char kUnknownMethodMessage[] = "Feature extraction method doesn't exist!";
// A block naming a parameter set its model does not hold; the report has
// no historical line, this one sits beside the method lookup's.
constexpr int kUnknownParameterSetLine = 138;

// A parameter set asks for a cache with "cache" equal to 1 as atoi reads it,
// so "01" and "1x" do, "true" and "2" do not.
bool WantsCache(const ParameterMap& params) {
  auto it = params.find("cache");
  return it != params.end() && std::atoi(it->second.c_str()) == 1;
}

// The block's rectangle moved by the window position.
BlockRect Shifted(const BlockRect& rect, int dx, int dy) {
  BlockRect out = rect;
  out.x0 += dx;
  out.x1 += dx;
  out.y0 += dy;
  out.y1 += dy;
  return out;
}

}  // namespace

FeatureControl::FeatureControl() : scratch_(kScratchSize) {
  RegisterPrototype(std::make_unique<HOG>());
  RegisterPrototype(std::make_unique<CoocH>());
  RegisterPrototype(std::make_unique<CoocS>());
  RegisterPrototype(std::make_unique<CoocV>());
}

void FeatureControl::RegisterPrototype(std::unique_ptr<ExtractionMethod> prototype) {
  std::string name = prototype->GetName();
  registry_[name] = std::move(prototype);
}

int FeatureControl::RegisterNewFeatureParameterMethod(const std::string& name,
                                                      const ParameterMap& params) {
  auto prototype = registry_.find(name);
  if (prototype == registry_.end()) {
    Fatal(kSource, "FeatureControl::RegisterNewFeatureParameterMethod", kUnknownMethodLine,
          kUnknownMethodMessage);
  }
  std::unique_ptr<ExtractionMethod> method = prototype->second->Clone();
  method->SetParameters(params);
  method->Initialize();

  auto instance = std::make_unique<MethodInstance>();
  instance->name = name;
  instance->params = params;
  if (WantsCache(params)) {
    int length = method->GetNumberOfFeatures();
    instance->cache = std::make_unique<FeatureCache>(length);
    if (length > static_cast<int>(scratch_.size())) scratch_.resize(static_cast<size_t>(length));
  }
  instance->method = std::move(method);
  instances_.push_back(std::move(instance));
  return static_cast<int>(instances_.size()) - 1;
}

int FeatureControl::FindFeatureParameterMethod(const std::string& name,
                                               const ParameterMap& params) const {
  for (size_t i = 0; i < instances_.size(); ++i) {
    const MethodInstance& instance = *instances_[i];
    // Both maps are sorted by key, so equal size and equal entries in order
    // is the same as every key present with an identical value.
    if (instance.name == name && instance.params == params) return static_cast<int>(i);
  }
  return -1;
}

void FeatureControl::SetModelMethods(Model& model) {
  int total = 0;
  std::set<int> used;
  for (size_t b = 0; b < model.blockModels.size(); ++b) {
    BlockModel& block = *model.blockModels[b];
    auto set = model.FeatureParameters.find(block.params);
    if (set == model.FeatureParameters.end()) {
      Fatal(kSource, "FeatureControl::SetModelMethods", kUnknownParameterSetLine,
            Format("parameter set '%s' of block %d (%s at %d,%d, %dx%d) is not defined",
                   block.params.c_str(), static_cast<int>(b), block.feature.c_str(),
                   block.rect.x0, block.rect.y0, block.rect.width, block.rect.height));
    }
    const ParameterMap& params = set->second;
    int index = FindFeatureParameterMethod(block.feature, params);
    if (index == -1) index = RegisterNewFeatureParameterMethod(block.feature, params);
    block.instanceIndex = index;
    block.nfeatures = instances_[static_cast<size_t>(index)]->method->GetNumberOfFeatures();
    total += block.nfeatures;
    used.insert(index);
  }
  model.usedInstances = std::move(used);
  model.SetNumberOfRawFeatures(total);
}

void FeatureControl::ActivateModelMethods(const Model& model) {
  active_.insert(model.usedInstances.begin(), model.usedInstances.end());
}

void FeatureControl::ActivateModelMethods(const std::vector<Model*>& models) {
  for (const Model* model : models) ActivateModelMethods(*model);
}

void FeatureControl::ClearActiveMethods() { active_.clear(); }

void FeatureControl::AddNewImage(const cv::Mat& image) {
  for (int index : active_) instances_[static_cast<size_t>(index)]->method->AddNewImage(image);
}

void FeatureControl::FillCache(const Model& model, int dx, int dy, int first, int last) {
  for (int b = first; b <= last; ++b) {
    const BlockModel& block = *model.blockModels[static_cast<size_t>(b)];
    MethodInstance& instance = *instances_[static_cast<size_t>(block.instanceIndex)];
    FeatureCache* cache = instance.cache.get();
    if (cache == nullptr) continue;
    const BlockRect& r = block.rect;
    int x = r.x0 + dx;
    int y = r.y0 + dy;
    if (cache->Check(x, y, r.width, r.height)) continue;
    instance.method->ExtractFeatures(Shifted(r, dx, dy), scratch_.data());
    cache->Add(x, y, r.width, r.height, scratch_.data());
  }
}

void FeatureControl::GetBlockFeatures(int dy, const BlockModel& block, int dx, float* out) {
  MethodInstance& instance = *instances_[static_cast<size_t>(block.instanceIndex)];
  const BlockRect& r = block.rect;
  if (instance.cache != nullptr) {
    instance.cache->Retrieve(r.x0 + dx, r.y0 + dy, r.width, r.height, out);
  } else {
    instance.method->ExtractFeatures(Shifted(r, dx, dy), out);
  }
}

void FeatureControl::ReleaseImage() {
  for (int index : active_) {
    MethodInstance& instance = *instances_[static_cast<size_t>(index)];
    instance.method->ReleaseImage();
    if (instance.cache != nullptr) instance.cache->Clear();
  }
}

}  // namespace pedscan
