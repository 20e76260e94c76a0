#include "features/feature_control.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "features/HOG.h"
#include "features/co_occurrence.h"
#include "model/model.h"
#include "support/failure.h"
#include "block_rect.h"

namespace pedscan {
namespace {

const ParameterMap kHogBoth = {{"UseHOG", "1"}, {"UseColorFrequency", "1"}};
const ParameterMap kCooc = {{"bins", "16"}, {"distance", "1"}};

ParameterMap With(ParameterMap params, const std::string& key, const std::string& value) {
  params[key] = value;
  return params;
}

void AddBlock(Model& model, const std::string& feature, const std::string& paramSet, int x,
              int y, int size) {
  auto block = std::make_unique<BlockModel>();
  block->rect = Rect(x, y, size, size);
  block->feature = feature;
  block->params = paramSet;
  model.blockModels.push_back(std::move(block));
}

cv::Mat RandomImage(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> value(0, 255);
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int k = 0; k < 3; ++k) image.at<cv::Vec3b>(y, x)[k] = static_cast<uint8_t>(value(rng));
    }
  }
  return image;
}

// Counts what a FeatureControl asks of its instances. Clones share the
// prototype's counters, so a test sees the calls of every instance.
struct Calls {
  int addImage = 0;
  int extract = 0;
  int release = 0;
};

class CountingMethod : public ExtractionMethod {
 public:
  static constexpr int kFeatures = 5;
  explicit CountingMethod(Calls* calls) : calls_(calls) {}

  void AddNewImage(const cv::Mat& image) override {
    ++calls_->addImage;
    imageValue_ = image.at<cv::Vec3b>(0, 0)[0];
  }
  void SetParameters(const ParameterMap&) override {}
  void ExtractFeatures(const BlockRect& rect, float* out) override {
    ++calls_->extract;
    for (int i = 0; i < kFeatures; ++i) out[i] = rect.x0 * 1000.0f + rect.y0 + i + imageValue_;
  }
  void Initialize() override {}
  void ReleaseImage() override { ++calls_->release; }
  int GetNumberOfFeatures() const override { return kFeatures; }
  std::string GetName() const override { return "COUNT"; }
  std::unique_ptr<ExtractionMethod> Clone() const override {
    return std::make_unique<CountingMethod>(calls_);
  }

 private:
  Calls* calls_;
  int imageValue_ = 0;
};

template <typename F>
Failure CatchFailure(F&& f) {
  try {
    f();
  } catch (const Failure& failure) {
    return failure;
  }
  ADD_FAILURE() << "no Failure thrown";
  return Failure(Failure::Form::kPlain, "", 0);
}

TEST(FeatureControl, RegistryHoldsTheFourMethodsUnderTheirNames) {
  FeatureControl control;
  EXPECT_EQ(control.RegisterNewFeatureParameterMethod("HOG", kHogBoth), 0);
  EXPECT_EQ(control.RegisterNewFeatureParameterMethod("COOCH", kCooc), 1);
  EXPECT_EQ(control.RegisterNewFeatureParameterMethod("COOCS", kCooc), 2);
  EXPECT_EQ(control.RegisterNewFeatureParameterMethod("COOCV", kCooc), 3);
  const char* names[] = {"HOG", "COOCH", "COOCS", "COOCV"};
  for (int i = 0; i < 4; ++i) {
    const MethodInstance& instance = *control.instances()[i];
    EXPECT_EQ(instance.name, names[i]);
    EXPECT_EQ(instance.method->GetName(), names[i]);
    EXPECT_EQ(instance.cache, nullptr);
  }
  EXPECT_EQ(dynamic_cast<Cooccurrence&>(*control.instances()[2]->method).band(),
            Cooccurrence::kSaturation);
  EXPECT_EQ(control.instances()[0]->method->GetNumberOfFeatures(), 39);
  EXPECT_EQ(control.instances()[3]->method->GetNumberOfFeatures(), 48);
}

TEST(FeatureControl, EqualParameterSetsShareOneInstanceAndCacheMakesASecond) {
  // Two sets with the same entries given in opposite orders, as two files
  // listing their params lines differently would produce them.
  ParameterMap first, second;
  first["UseHOG"] = "1";
  first["UseColorFrequency"] = "1";
  second["UseColorFrequency"] = "1";
  second["UseHOG"] = "1";
  Model model;
  model.FeatureParameters["a"] = first;
  model.FeatureParameters["b"] = second;
  model.FeatureParameters["c"] = With(first, "cache", "1");
  AddBlock(model, "HOG", "a", 0, 0, 16);
  AddBlock(model, "HOG", "b", 8, 0, 16);
  AddBlock(model, "HOG", "c", 16, 0, 16);

  FeatureControl control;
  control.SetModelMethods(model);
  ASSERT_EQ(control.instances().size(), 2u);
  EXPECT_EQ(model.blockModels[0]->instanceIndex, 0);
  EXPECT_EQ(model.blockModels[1]->instanceIndex, 0);
  EXPECT_EQ(model.blockModels[2]->instanceIndex, 1);
  EXPECT_EQ(control.instances()[0]->cache, nullptr);
  EXPECT_NE(control.instances()[1]->cache, nullptr);
  EXPECT_EQ(model.usedInstances, (std::set<int>{0, 1}));
}

TEST(FeatureControl, CacheValueIsReadAsAtoiReadsIt) {
  FeatureControl control;
  int one = control.RegisterNewFeatureParameterMethod("HOG", With(kHogBoth, "cache", "01"));
  int two = control.RegisterNewFeatureParameterMethod("HOG", With(kHogBoth, "cache", "2"));
  int word = control.RegisterNewFeatureParameterMethod("HOG", With(kHogBoth, "cache", "true"));
  int zero = control.RegisterNewFeatureParameterMethod("COOCV", With(kCooc, "cache", "0"));
  EXPECT_NE(control.instances()[one]->cache, nullptr);
  EXPECT_EQ(control.instances()[two]->cache, nullptr);
  EXPECT_EQ(control.instances()[word]->cache, nullptr);
  EXPECT_EQ(control.instances()[zero]->cache, nullptr);
  // "01" enables the cache but is not the same text as "1".
  EXPECT_EQ(control.FindFeatureParameterMethod("HOG", With(kHogBoth, "cache", "1")), -1);
  EXPECT_EQ(control.FindFeatureParameterMethod("HOG", With(kHogBoth, "cache", "01")), one);
}

TEST(FeatureControl, FindNeedsTheSameNameAndExactlyTheSameEntries) {
  FeatureControl control;
  control.RegisterNewFeatureParameterMethod("COOCH", kCooc);
  int cached = control.RegisterNewFeatureParameterMethod("COOCH", With(kCooc, "cache", "1"));
  EXPECT_EQ(control.FindFeatureParameterMethod("COOCH", kCooc), 0);
  EXPECT_EQ(control.FindFeatureParameterMethod("COOCH", With(kCooc, "cache", "1")), cached);
  EXPECT_EQ(control.FindFeatureParameterMethod("COOCS", kCooc), -1);
  EXPECT_EQ(control.FindFeatureParameterMethod("cooch", kCooc), -1);
  EXPECT_EQ(control.FindFeatureParameterMethod("COOCH", {{"bins", "16"}}), -1);
  EXPECT_EQ(control.FindFeatureParameterMethod("COOCH", With(kCooc, "distance", "2")), -1);
  EXPECT_EQ(control.FindFeatureParameterMethod("COOCH", With(kCooc, "bins", "16 ")), -1);
}

// Three HOG blocks with both groups, then two co-occurrence blocks.
void SetUpMixedModel(Model& model) {
  model.FeatureParameters["hog"] = kHogBoth;
  model.FeatureParameters["cooc"] = kCooc;
  for (int i = 0; i < 3; ++i) AddBlock(model, "HOG", "hog", 8 * i, 0, 16);
  AddBlock(model, "COOCH", "cooc", 0, 16, 16);
  AddBlock(model, "COOCH", "cooc", 16, 16, 16);
}

TEST(FeatureControl, MixedModelCountsAndPlacesItsRawFeatures) {
  FeatureControl control;
  Model model;
  SetUpMixedModel(model);
  control.SetModelMethods(model);
  EXPECT_EQ(model.nrawfeatures, 3 * 39 + 2 * 48);
  int offset = 0;
  std::vector<int> offsets;
  for (const auto& block : model.blockModels) {
    offsets.push_back(offset);
    offset += block->nfeatures;
  }
  EXPECT_EQ(offsets, (std::vector<int>{0, 39, 78, 117, 165}));
  EXPECT_EQ(offset, 213);
  EXPECT_EQ(model.usedInstances, (std::set<int>{0, 1}));

  // A second model with the same configurations reuses every instance.
  Model again;
  SetUpMixedModel(again);
  control.SetModelMethods(again);
  EXPECT_EQ(control.instances().size(), 2u);
  for (size_t b = 0; b < model.blockModels.size(); ++b) {
    EXPECT_EQ(again.blockModels[b]->instanceIndex, model.blockModels[b]->instanceIndex);
  }
  EXPECT_EQ(again.nrawfeatures, 213);
}

TEST(FeatureControl, SharedInstanceSeesEachImageOnce) {
  Calls calls;
  FeatureControl control;
  control.RegisterPrototype(std::make_unique<CountingMethod>(&calls));
  Model first, second, idle;
  for (Model* model : {&first, &second}) {
    model->FeatureParameters["p"] = {{"k", "v"}};
    for (int i = 0; i < 4; ++i) AddBlock(*model, "COUNT", "p", 4 * i, 0, 8);
    control.SetModelMethods(*model);
  }
  idle.FeatureParameters["p"] = {{"k", "other"}};
  AddBlock(idle, "COUNT", "p", 0, 0, 8);
  control.SetModelMethods(idle);
  ASSERT_EQ(control.instances().size(), 2u);

  control.ActivateModelMethods(std::vector<Model*>{&first, &second});
  control.ActivateModelMethods(first);
  EXPECT_EQ(control.active(), (std::set<int>{0}));
  cv::Mat image(4, 4, CV_8UC3, cv::Scalar(0, 0, 0));
  for (int n = 0; n < 3; ++n) {
    control.AddNewImage(image);
    control.ReleaseImage();
  }
  // The instance of the model never activated gets no image.
  EXPECT_EQ(calls.addImage, 3);
  EXPECT_EQ(calls.release, 3);

  control.ClearActiveMethods();
  EXPECT_TRUE(control.active().empty());
  control.AddNewImage(image);
  EXPECT_EQ(calls.addImage, 3);
}

TEST(FeatureControl, CacheComputesEachRectangleOncePerImage) {
  Calls calls;
  FeatureControl control;
  control.RegisterPrototype(std::make_unique<CountingMethod>(&calls));
  Model model;
  model.FeatureParameters["p"] = {{"cache", "1"}};
  // Blocks 0 and 2 share a rectangle.
  AddBlock(model, "COUNT", "p", 0, 0, 8);
  AddBlock(model, "COUNT", "p", 8, 0, 8);
  AddBlock(model, "COUNT", "p", 0, 0, 8);
  control.SetModelMethods(model);
  control.ActivateModelMethods(model);

  cv::Mat image(32, 32, CV_8UC3, cv::Scalar(7, 0, 0));
  control.AddNewImage(image);
  control.FillCache(model, 0, 0, 0, 2);
  EXPECT_EQ(calls.extract, 2);
  // The next window, 8 pixels right, shares the rectangle at x 8.
  control.FillCache(model, 8, 0, 0, 2);
  EXPECT_EQ(calls.extract, 3);
  // Only the blocks first..last are filled.
  control.FillCache(model, 0, 4, 1, 1);
  EXPECT_EQ(calls.extract, 4);

  float out[CountingMethod::kFeatures];
  control.GetBlockFeatures(0, *model.blockModels[1], 8, out);
  EXPECT_EQ(out[0], 16 * 1000.0f + 0 + 7);
  EXPECT_EQ(out[4], 16 * 1000.0f + 4 + 7);
  EXPECT_EQ(calls.extract, 4);

  // Releasing the image forgets the cache: the same window is computed anew
  // and sees the new image.
  control.ReleaseImage();
  cv::Mat next(32, 32, CV_8UC3, cv::Scalar(9, 0, 0));
  control.AddNewImage(next);
  control.FillCache(model, 8, 0, 0, 2);
  EXPECT_EQ(calls.extract, 6);
  control.GetBlockFeatures(0, *model.blockModels[1], 8, out);
  EXPECT_EQ(out[0], 16 * 1000.0f + 9);
}

TEST(FeatureControl, CachedAndUncachedBlocksGiveIdenticalFeatures) {
  // One model through caches, one without, and a directly driven method of
  // each kind as the reference for the shifted rectangles.
  Model cached, direct;
  cached.FeatureParameters["hog"] = With(kHogBoth, "cache", "1");
  cached.FeatureParameters["cooc"] = With(kCooc, "cache", "1");
  direct.FeatureParameters["hog"] = kHogBoth;
  direct.FeatureParameters["cooc"] = kCooc;
  for (Model* model : {&cached, &direct}) {
    for (int y = 0; y <= 32; y += 8) {
      for (int x = 0; x <= 16; x += 8) {
        AddBlock(*model, "COOCS", "cooc", x, y, 16);
        AddBlock(*model, "HOG", "hog", x, y, 16);
      }
    }
    AddBlock(*model, "HOG", "hog", 0, 16, 32);
  }
  FeatureControl control;
  control.SetModelMethods(cached);
  control.SetModelMethods(direct);
  ASSERT_EQ(control.instances().size(), 4u);
  ASSERT_EQ(cached.nrawfeatures, direct.nrawfeatures);
  control.ActivateModelMethods(std::vector<Model*>{&cached, &direct});

  HOG hog;
  hog.SetParameters(kHogBoth);
  hog.Initialize();
  CoocS cooc;
  cooc.SetParameters(kCooc);
  cooc.Initialize();

  const int n = cached.nrawfeatures;
  std::vector<float> viaCache(n), viaMethod(n), reference(n), window(n), scratch(n);
  std::vector<const float*> slices(cached.blockModels.size());
  for (unsigned seed : {1u, 2u}) {
    cv::Mat image = RandomImage(80, 72, seed);
    control.AddNewImage(image);
    hog.AddNewImage(image);
    cooc.AddNewImage(image);
    for (int dy = 0; dy <= 24; dy += 4) {
      for (int dx = 0; dx <= 32; dx += 8) {
        control.FillCache(cached, dx, dy, 0, static_cast<int>(cached.blockModels.size()) - 1);
        int offset = 0;
        for (size_t b = 0; b < cached.blockModels.size(); ++b) {
          control.GetBlockFeatures(dy, *cached.blockModels[b], dx, &viaCache[offset]);
          control.GetBlockFeatures(dy, *direct.blockModels[b], dx, &viaMethod[offset]);
          const BlockModel& block = *direct.blockModels[b];
          BlockRect r = Rect(block.rect.x0 + dx, block.rect.y0 + dy, block.rect.width,
                             block.rect.height);
          ExtractionMethod& method = block.feature == "HOG" ? static_cast<ExtractionMethod&>(hog)
                                                            : static_cast<ExtractionMethod&>(cooc);
          method.ExtractFeatures(r, &reference[offset]);
          offset += block.nfeatures;
        }
        ASSERT_EQ(std::memcmp(viaCache.data(), viaMethod.data(), n * sizeof(float)), 0)
            << "window at " << dx << "," << dy;
        ASSERT_EQ(std::memcmp(viaMethod.data(), reference.data(), n * sizeof(float)), 0)
            << "window at " << dx << "," << dy;
        // The whole window in one call, copied or pointed at in the cache.
        control.GetWindowFeatures(cached, dx, dy, window.data());
        ASSERT_EQ(std::memcmp(window.data(), reference.data(), n * sizeof(float)), 0);
        control.GetWindowSlices(cached, dx, dy, scratch.data(), slices.data());
        offset = 0;
        for (size_t b = 0; b < cached.blockModels.size(); ++b) {
          const int m = cached.blockModels[b]->nfeatures;
          ASSERT_EQ(std::memcmp(slices[b], &reference[offset], m * sizeof(float)), 0)
              << "block " << b << " of the window at " << dx << "," << dy;
          offset += m;
        }
      }
    }
    EXPECT_GT(std::count_if(viaCache.begin(), viaCache.end(), [](float v) { return v != 0.0f; }),
              n / 2);
    control.ReleaseImage();
    hog.ReleaseImage();
    cooc.ReleaseImage();
  }
}

TEST(FeatureControl, ScanFillStoresEveryWindowRectangleWithIdenticalFeatures) {
  // Cached co-occurrence blocks of three sizes (two bands sharing nothing),
  // a cached HOG block the scan fill leaves alone, and a reference model
  // without caches.
  Model cached, direct;
  cached.FeatureParameters["hog"] = With(kHogBoth, "cache", "1");
  cached.FeatureParameters["cooc"] = With(kCooc, "cache", "1");
  direct.FeatureParameters["hog"] = kHogBoth;
  direct.FeatureParameters["cooc"] = kCooc;
  for (Model* model : {&cached, &direct}) {
    model->windowW = 40;
    model->windowH = 56;
    for (int y = 0; y <= 24; y += 8) {
      for (int x = 0; x <= 24; x += 8) AddBlock(*model, "COOCH", "cooc", x, y, 16);
    }
    AddBlock(*model, "COOCV", "cooc", 4, 20, 8);
    AddBlock(*model, "COOCV", "cooc", 8, 24, 32);
    AddBlock(*model, "HOG", "hog", 8, 8, 16);
  }
  FeatureControl control;
  control.SetModelMethods(cached);
  control.SetModelMethods(direct);
  control.ActivateModelMethods(std::vector<Model*>{&cached, &direct});
  const int n = cached.nrawfeatures;
  const int last = static_cast<int>(cached.blockModels.size()) - 1;
  std::vector<float> viaCache(n), viaMethod(n);
  for (int step : {1, 3, 7}) {
    cv::Mat image = RandomImage(97, 83, 30u + static_cast<unsigned>(step));
    control.AddNewImage(image);
    // The cached HOG block is left to FillCache.
    EXPECT_FALSE(control.FillCacheForScan(cached, image.cols, image.rows, step, step + 1));
    std::vector<int> slots;
    for (const auto& instance : control.instances()) {
      slots.push_back(instance->cache ? instance->cache->UsedSlots() : 0);
    }
    for (int y = 0; y + cached.windowH <= image.rows; y += step + 1) {
      for (int x = 0; x + cached.windowW <= image.cols; x += step) {
        control.FillCache(cached, x, y, 0, last);
        int offset = 0;
        for (size_t b = 0; b < cached.blockModels.size(); ++b) {
          control.GetBlockFeatures(y, *cached.blockModels[b], x, &viaCache[offset]);
          control.GetBlockFeatures(y, *direct.blockModels[b], x, &viaMethod[offset]);
          offset += cached.blockModels[b]->nfeatures;
        }
        ASSERT_EQ(std::memcmp(viaCache.data(), viaMethod.data(), n * sizeof(float)), 0)
            << "step " << step << ", window at " << x << "," << y;
      }
    }
    // Only the HOG cache had anything left to store.
    for (size_t i = 0; i < control.instances().size(); ++i) {
      const MethodInstance& instance = *control.instances()[i];
      if (instance.cache == nullptr) continue;
      if (instance.name == "HOG") {
        EXPECT_GT(instance.cache->UsedSlots(), slots[i]);
      } else {
        EXPECT_GT(slots[i], 0);
        EXPECT_EQ(instance.cache->UsedSlots(), slots[i]) << instance.name;
      }
    }
    control.ReleaseImage();
  }
}

TEST(FeatureControl, ScanFillOfCooccurrenceBlocksLeavesNothingToFillCache) {
  Model cached, direct;
  cached.FeatureParameters["cooc"] = With(kCooc, "cache", "1");
  direct.FeatureParameters["cooc"] = kCooc;
  for (Model* model : {&cached, &direct}) {
    model->windowW = 48;
    model->windowH = 48;
    AddBlock(*model, "COOCS", "cooc", 0, 0, 16);
    AddBlock(*model, "COOCS", "cooc", 16, 32, 16);
    AddBlock(*model, "COOCV", "cooc", 8, 8, 32);
  }
  FeatureControl control;
  control.SetModelMethods(cached);
  control.SetModelMethods(direct);
  control.ActivateModelMethods(std::vector<Model*>{&cached, &direct});
  cv::Mat image = RandomImage(61, 77, 40u);
  control.AddNewImage(image);
  ASSERT_TRUE(control.FillCacheForScan(cached, image.cols, image.rows, 3, 5));
  // Every window reads its blocks without FillCache, as the uncached model
  // computes them.
  const int n = cached.nrawfeatures;
  std::vector<float> scratch(n), reference(n);
  std::vector<const float*> slices(cached.blockModels.size());
  for (int y = 0; y + cached.windowH <= image.rows; y += 5) {
    for (int x = 0; x + cached.windowW <= image.cols; x += 3) {
      control.GetWindowSlices(cached, x, y, scratch.data(), slices.data());
      control.GetWindowFeatures(direct, x, y, reference.data());
      int offset = 0;
      for (size_t b = 0; b < slices.size(); ++b) {
        const int m = cached.blockModels[b]->nfeatures;
        ASSERT_EQ(std::memcmp(slices[b], &reference[offset], m * sizeof(float)), 0)
            << "block " << b << " of the window at " << x << "," << y;
        offset += m;
      }
    }
  }
  control.ReleaseImage();
}

TEST(FeatureControl, UnknownParameterKeyIsAPlainMessage) {
  FeatureControl control;
  Failure failure = CatchFailure(
      [&] { control.RegisterNewFeatureParameterMethod("COOCS", With(kCooc, "bin", "16")); });
  EXPECT_EQ(failure.form(), Failure::Form::kPlain);
  EXPECT_EQ(failure.text(), "Parameter 'bin' invalid for feature 'COOCS'\n");
  EXPECT_EQ(failure.status(), 2);

  failure = CatchFailure(
      [&] { control.RegisterNewFeatureParameterMethod("HOG", With(kHogBoth, "usehog", "1")); });
  EXPECT_EQ(failure.text(), "Parameter 'usehog' invalid for feature 'HOG'\n");
  EXPECT_EQ(failure.status(), 2);
  EXPECT_TRUE(control.instances().empty());
}

TEST(FeatureControl, UnknownMethodNameIsFatal) {
  FeatureControl control;
  Model model;
  model.FeatureParameters["p"] = kHogBoth;
  AddBlock(model, "SIFT", "p", 0, 0, 16);
  Failure failure = CatchFailure([&] { control.SetModelMethods(model); });
  EXPECT_EQ(failure.form(), Failure::Form::kFatal);
  EXPECT_EQ(failure.text(),
            ".\\feature_control.cpp(FeatureControl::RegisterNewFeatureParameterMethod.108): \n"
            "  Feature extraction method doesn't exist!\n");
  EXPECT_EQ(failure.status(), -1);
}

TEST(FeatureControl, BlockNamingAnUndefinedParameterSetIsFatal) {
  FeatureControl control;
  Model model;
  model.FeatureParameters["hogSet"] = kHogBoth;
  AddBlock(model, "HOG", "hogSet", 0, 0, 16);
  AddBlock(model, "HOG", "hogset", 8, 0, 16);
  Failure failure = CatchFailure([&] { control.SetModelMethods(model); });
  EXPECT_EQ(failure.form(), Failure::Form::kFatal);
  EXPECT_EQ(failure.status(), -1);
  EXPECT_NE(failure.text().find("FeatureControl::SetModelMethods"), std::string::npos);
  EXPECT_NE(failure.text().find("'hogset'"), std::string::npos) << failure.text();
  EXPECT_NE(failure.text().find("block 1 "), std::string::npos) << failure.text();
}

}  // namespace
}  // namespace pedscan
