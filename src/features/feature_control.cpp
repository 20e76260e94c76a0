#include "features/feature_control.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <tuple>
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

FeatureControl::FeatureControl() {
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
  method->SetStreamRows(streamRows_);

  auto instance = std::make_unique<MethodInstance>();
  instance->name = name;
  instance->params = params;
  if (WantsCache(params)) {
    int length = method->GetNumberOfFeatures();
    instance->cache = std::make_unique<FeatureCache>(length);
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

void FeatureControl::SetStreamRows(int rows) {
  streamRows_ = rows;
  for (const std::unique_ptr<MethodInstance>& instance : instances_) {
    instance->method->SetStreamRows(rows);
  }
}

void FeatureControl::FillCache(const Model& model, int dx, int dy, int first, int last) {
  // The missing blocks of each method instance are extracted in one call,
  // which lets a method evaluate several of them at once.
  missing_.clear();
  for (int b = first; b <= last; ++b) {
    const BlockModel& block = *model.blockModels[static_cast<size_t>(b)];
    FeatureCache* cache = instances_[static_cast<size_t>(block.instanceIndex)]->cache.get();
    if (cache == nullptr) continue;
    const BlockRect& r = block.rect;
    if (!cache->Check(r.x0 + dx, r.y0 + dy, r.width, r.height)) missing_.push_back(b);
  }
  for (size_t i = 0; i < missing_.size(); ++i) {
    if (missing_[i] < 0) continue;
    const int index = model.blockModels[static_cast<size_t>(missing_[i])]->instanceIndex;
    MethodInstance& instance = *instances_[static_cast<size_t>(index)];
    batchRects_.clear();
    for (size_t j = i; j < missing_.size(); ++j) {
      if (missing_[j] < 0) continue;
      const BlockModel& block = *model.blockModels[static_cast<size_t>(missing_[j])];
      if (block.instanceIndex != index) continue;
      missing_[j] = -1;
      // A rectangle that two blocks share is computed once.
      const BlockRect r = Shifted(block.rect, dx, dy);
      const bool repeated = std::any_of(batchRects_.begin(), batchRects_.end(), [&](const BlockRect& q) {
        return q.x0 == r.x0 && q.y0 == r.y0 && q.width == r.width && q.height == r.height;
      });
      if (!repeated) batchRects_.push_back(r);
    }
    const size_t length = static_cast<size_t>(instance.method->GetNumberOfFeatures());
    batchValues_.resize(batchRects_.size() * length);
    batchOut_.resize(batchRects_.size());
    for (size_t k = 0; k < batchRects_.size(); ++k) batchOut_[k] = batchValues_.data() + k * length;
    instance.method->ExtractFeaturesBatch(batchRects_.data(), static_cast<int>(batchRects_.size()),
                                          batchOut_.data());
    for (size_t k = 0; k < batchRects_.size(); ++k) {
      const BlockRect& r = batchRects_[k];
      instance.cache->Add(r.x0, r.y0, r.width, r.height, batchOut_[k]);
    }
  }
}

bool FeatureControl::FillCacheForScan(const Model& model, int width, int height, int stepX,
                                      int stepY) {
  if (width < model.windowW || height < model.windowH || stepX < 1 || stepY < 1) return false;
  // The blocks of one cached co-occurrence instance and one size share a map
  // of the block positions the scan reads.
  struct Group {
    int instance;
    int width;
    int height;
    std::vector<const BlockRect*> rects;
  };
  std::vector<Group> groups;
  bool complete = true;  // no cached block left to FillCache
  for (const auto& block : model.blockModels) {
    MethodInstance& instance = *instances_[static_cast<size_t>(block->instanceIndex)];
    if (instance.cache == nullptr) continue;
    const BlockRect& r = block->rect;
    // Methods whose rows share no work, and a rectangle whose corners
    // disagree with its size, stay with FillCache.
    if (!instance.method->PrefersRows() ||
        r.x1 - r.x0 + 1 != r.width || r.y1 - r.y0 + 1 != r.height || r.width < 1 ||
        r.height < 1) {
      complete = false;
      continue;
    }
    auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
      return g.instance == block->instanceIndex && g.width == r.width && g.height == r.height;
    });
    if (group == groups.end()) {
      groups.push_back(Group{block->instanceIndex, r.width, r.height, {}});
      group = groups.end() - 1;
    }
    group->rects.push_back(&r);
  }
  if (groups.empty()) return complete;

  // Positions of the rectangles relative to the image: window offset plus
  // block offset, which may leave the image only for a block lying outside
  // its window; those are kept in the map's margin and computed like any
  // other (the method clips them).
  int minX = 0, minY = 0, maxX = 0, maxY = 0;
  for (const Group& group : groups) {
    for (const BlockRect* r : group.rects) {
      minX = std::min(minX, r->x0);
      minY = std::min(minY, r->y0);
      maxX = std::max(maxX, r->x0);
      maxY = std::max(maxY, r->y0);
    }
  }
  const int lastX = (width - model.windowW) / stepX * stepX;
  const int lastY = (height - model.windowH) / stepY * stepY;
  const int cols = lastX + maxX - minX + 1;
  const int rows = lastY + maxY - minY + 1;
  std::vector<uint8_t> marked(static_cast<size_t>(cols) * static_cast<size_t>(rows));
  std::vector<int> xs;
  std::vector<float> values;

  for (const Group& group : groups) {
    MethodInstance& instance = *instances_[static_cast<size_t>(group.instance)];
    ExtractionMethod& method = *instance.method;
    FeatureCache& cache = *instance.cache;
    const int length = method.GetNumberOfFeatures();
    std::fill(marked.begin(), marked.end(), uint8_t{0});
    for (const BlockRect* r : group.rects) {
      for (int wy = 0; wy <= lastY; wy += stepY) {
        uint8_t* row = marked.data() + static_cast<size_t>(wy + r->y0 - minY) * cols;
        for (int wx = 0; wx <= lastX; wx += stepX) row[wx + r->x0 - minX] = 1;
      }
    }
    for (int j = 0; j < rows; ++j) {
      const uint8_t* row = marked.data() + static_cast<size_t>(j) * cols;
      const int y = j + minY;
      xs.clear();
      for (int i = 0; i < cols; ++i) {
        const int x = i + minX;
        if (row[i] != 0 && !cache.Check(x, y, group.width, group.height)) xs.push_back(x);
      }
      if (xs.empty()) continue;
      values.resize(xs.size() * static_cast<size_t>(length));
      method.ExtractFeaturesRow(y, y + group.height - 1, group.width, xs.data(),
                                static_cast<int>(xs.size()), values.data());
      for (size_t k = 0; k < xs.size(); ++k) {
        cache.Add(xs[k], y, group.width, group.height, values.data() + k * length);
      }
    }
  }
  return complete;
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

void FeatureControl::GetWindowFeatures(const Model& model, int dx, int dy, float* out) {
  WindowFeatures(model, dx, dy, out, nullptr);
}

void FeatureControl::GetWindowSlices(const Model& model, int dx, int dy, float* scratch,
                                     const float** slices) {
  WindowFeatures(model, dx, dy, scratch, slices);
}

void FeatureControl::WindowFeatures(const Model& model, int dx, int dy, float* out,
                                    const float** slices) {
  const auto& blocks = model.blockModels;
  size_t b = 0;
  while (b < blocks.size()) {
    const BlockModel& block = *blocks[b];
    MethodInstance& instance = *instances_[static_cast<size_t>(block.instanceIndex)];
    if (instance.cache != nullptr) {
      const BlockRect& r = block.rect;
      if (slices != nullptr) {
        const float* entry = instance.cache->Entry(r.x0 + dx, r.y0 + dy, r.width, r.height);
        slices[b] = entry;
        // A scan's windows read their cached blocks from far apart in the
        // cache; asking for them now lets the misses overlap with the rest
        // of the walk instead of stalling the scoring one block at a time.
        const char* first = reinterpret_cast<const char*>(entry);
        const char* last = reinterpret_cast<const char*>(entry + block.nfeatures) - 1;
        for (const char* line = first; line <= last; line += 64) __builtin_prefetch(line);
        __builtin_prefetch(last);
      } else {
        instance.cache->Retrieve(r.x0 + dx, r.y0 + dy, r.width, r.height, out);
      }
      out += block.nfeatures;
      ++b;
      continue;
    }
    batchRects_.clear();
    batchOut_.clear();
    for (; b < blocks.size() && blocks[b]->instanceIndex == block.instanceIndex; ++b) {
      batchRects_.push_back(Shifted(blocks[b]->rect, dx, dy));
      batchOut_.push_back(out);
      if (slices != nullptr) slices[b] = out;
      out += blocks[b]->nfeatures;
    }
    instance.method->ExtractFeaturesBatch(batchRects_.data(), static_cast<int>(batchRects_.size()),
                                          batchOut_.data());
  }
}

void FeatureControl::ReleaseImage() {
  for (int index : active_) {
    MethodInstance& instance = *instances_[static_cast<size_t>(index)];
    instance.method->ReleaseImage();
    if (instance.cache != nullptr) instance.cache->Clear();
  }
}

int64_t FeatureControl::ImageBytes(const std::vector<Model*>& models, int width,
                                   int height) const {
  std::set<int> used;
  for (const Model* model : models) used.insert(model->usedInstances.begin(), model->usedInstances.end());
  int64_t bytes = 0;
  for (int index : used) {
    const MethodInstance& instance = *instances_[static_cast<size_t>(index)];
    bytes += instance.method->ImageBytes(width, height);
    if (instance.cache == nullptr) continue;
    std::set<std::pair<int, int>> sizes;
    for (const Model* model : models) {
      for (const auto& block : model->blockModels) {
        if (block->instanceIndex == index) sizes.emplace(block->rect.width, block->rect.height);
      }
    }
    bytes += FeatureCache::IndexBytes(width, height, static_cast<int>(sizes.size()));
  }
  return bytes;
}

int64_t FeatureControl::ScanCacheBytes(const Model& model, int width, int height, int stepX,
                                       int stepY) const {
  if (width < model.windowW || height < model.windowH || stepX < 1 || stepY < 1) return 0;
  const int lastX = (width - model.windowW) / stepX * stepX;
  const int lastY = (height - model.windowH) / stepY * stepY;
  // The positions a scan reads for a set of block offsets along one axis:
  // every window position plus every offset, each counted once.
  auto distinct = [](const std::set<int>& offsets, int last, int step) {
    if (offsets.empty()) return int64_t{0};
    const int low = *offsets.begin();
    std::vector<bool> seen(static_cast<size_t>(last + *offsets.rbegin() - low + 1));
    int64_t count = 0;
    for (int offset : offsets) {
      for (int p = 0; p <= last; p += step) {
        const size_t i = static_cast<size_t>(p + offset - low);
        if (!seen[i]) {
          seen[i] = true;
          ++count;
        }
      }
    }
    return count;
  };
  // Rectangles of one cached instance and one size, by their offsets.
  std::map<std::tuple<int, int, int>, std::pair<std::set<int>, std::set<int>>> groups;
  for (const auto& block : model.blockModels) {
    if (instances_[static_cast<size_t>(block->instanceIndex)]->cache == nullptr) continue;
    auto& offsets = groups[{block->instanceIndex, block->rect.width, block->rect.height}];
    offsets.first.insert(block->rect.x0);
    offsets.second.insert(block->rect.y0);
  }
  int64_t bytes = 0;
  for (const auto& [key, offsets] : groups) {
    const int64_t entries = distinct(offsets.first, lastX, stepX) * distinct(offsets.second, lastY, stepY);
    const int64_t entryBytes =
        int64_t{instances_[static_cast<size_t>(std::get<0>(key))]->method->GetNumberOfFeatures()} * 4;
    bytes += entries * entryBytes;
  }
  // The map of positions FillCacheForScan marks.
  if (!groups.empty()) bytes += int64_t{width} * height;
  return bytes;
}

}  // namespace pedscan
