#include "detection/obj_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>

#include "support/failure.h"

namespace pedscan {
namespace {

struct Geometry {
  int windowW;
  int windowH;
  int objW;
  int objH;
};

// A configuration built in memory: model lines name a geometry instead of a
// model file, and the loader makes an untrained model of that geometry.
class Configuration {
 public:
  void AddModel(const std::string& type, int stage, double threshold, const std::string& file) {
    auto modelSpec = std::make_unique<ModelSpec>();
    modelSpec->stage = stage;
    modelSpec->threshold = threshold;
    modelSpec->file = file;
    Type(type).models.push_back(std::move(modelSpec));
  }
  void AddScale(const std::string& type, int minSize, int maxSize, float xStep, float yStep,
                float factor, int line = 0) {
    auto scale = std::make_unique<ScaleSpec>();
    *scale = ScaleSpec{minSize, maxSize, xStep, yStep, factor, line};
    Type(type).scales.push_back(std::move(scale));
  }
  void DefineGeometry(const std::string& file, Geometry geometry) { geometries_[file] = geometry; }

  ModelLoader Loader() const {
    return [this](const std::string& file) {
      const Geometry& g = geometries_.at(file);
      auto model = std::make_unique<Model>();
      model->windowW = static_cast<int16_t>(g.windowW);
      model->windowH = static_cast<int16_t>(g.windowH);
      model->objW = static_cast<int16_t>(g.objW);
      model->objH = static_cast<int16_t>(g.objH);
      model->objX0 = static_cast<int16_t>((g.windowW - g.objW) / 2);
      model->objY0 = static_cast<int16_t>((g.windowH - g.objH) / 2);
      return model;
    };
  }

  ObjectTypeMap types;

 private:
  ObjectType& Type(const std::string& name) {
    auto& slot = types[name];
    if (!slot) {
      slot = std::make_unique<ObjectType>();
      slot->name = name;
    }
    return *slot;
  }
  std::map<std::string, Geometry> geometries_;
};

constexpr Geometry kPerson{64, 128, 48, 96};

void ExpectFatal(const std::function<void()>& action, const std::string& text) {
  try {
    action();
    FAIL() << "no failure, expected: " << text;
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.form(), Failure::Form::kFatal);
    EXPECT_EQ(failure.status(), -1);
    EXPECT_EQ(failure.text(), text);
  }
}

TEST(ObjManager, ScaleLineEnumeratesSizesWithExactRatiosAndRoundedUpSteps) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("person", 0, 0.0, "person.yml");
  config.AddScale("person", 48, 200, 0.1f, 0.1f, 1.2f);
  ObjManager manager;
  auto featureControl = manager.AddParameters(config.types, config.Loader());
  ASSERT_NE(featureControl, nullptr);

  const std::vector<int> sizes{48, 57, 68, 81, 97, 116, 139, 166, 199};
  std::vector<ScaleLevel> levels = manager.GetLevels();
  ASSERT_EQ(levels.size(), sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(levels[i].size, sizes[i]);
    EXPECT_EQ(levels[i].index, static_cast<int>(i));
    EXPECT_EQ(levels[i].ratio, static_cast<float>(96.0 / sizes[i]));
    EXPECT_EQ(levels[i].stepX, 5);   // ceil(4.8)
    EXPECT_EQ(levels[i].stepY, 10);  // ceil(9.6)
  }
  EXPECT_EQ(levels[0].ratio, 2.0f);
  EXPECT_EQ(config.types["person"]->levels, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_NE(config.types["person"]->models[0]->model, nullptr);
}

TEST(ObjManager, TypesWithTheSameRatioAndStepsShareOneLevel) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.DefineGeometry("car.yml", {96, 128, 48, 96});  // wider window, same object
  config.AddModel("person", 0, 0.5, "person.yml");
  config.AddModel("car", 0, 0.25, "car.yml");
  config.AddScale("person", 96, 96, 0.1f, 0.1f, 1.2f);
  config.AddScale("car", 48, 96, 0.1f, 0.1f, 2.0f);
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());

  // car (key order first) creates sizes 48 and 96; person's 96 reuses level 1.
  std::vector<ScaleLevel> levels = manager.GetLevels();
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[1].size, 96);
  EXPECT_EQ(config.types["car"]->levels, (std::set<int>{0, 1}));
  EXPECT_EQ(config.types["person"]->levels, (std::set<int>{1}));

  std::vector<Model*> shared = manager.ModelsAtLevel(1);
  ASSERT_EQ(shared.size(), 2u);
  EXPECT_EQ(shared[0], config.types["car"]->models[0]->model);
  EXPECT_EQ(shared[1], config.types["person"]->models[0]->model);
  EXPECT_EQ(manager.ModelsAtLevel(0).size(), 1u);
  EXPECT_EQ(manager.GetObjectTypes(), (std::vector<std::string>{"car", "person"}));
}

TEST(ObjManager, LevelsDifferingInStepsAreNotShared) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("person", 0, 0.0, "person.yml");
  config.AddScale("person", 96, 96, 0.1f, 0.1f, 1.2f);
  config.AddScale("person", 96, 96, 0.2f, 0.1f, 1.2f);
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());
  std::vector<ScaleLevel> levels = manager.GetLevels();
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[0].ratio, levels[1].ratio);
  EXPECT_EQ(levels[0].stepX, 5);
  EXPECT_EQ(levels[1].stepX, 10);
}

TEST(ObjManager, EmptyScaleLineAddsNoLevelAndTheTypeHasNoModelAnywhere) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("car", 0, 0.0, "person.yml");
  config.AddScale("car", 48, 48, 0.1f, 0.1f, 1.2f);
  config.AddModel("person", 0, 0.0, "person.yml");
  config.AddScale("person", 300, 200, 0.1f, 0.1f, 1.2f);
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());
  EXPECT_EQ(manager.GetLevels().size(), 1u);
  EXPECT_TRUE(config.types["person"]->levels.empty());
  double threshold = 7.0;
  EXPECT_EQ(manager.ModelbyObjType("person", 0, 0, &threshold), nullptr);
  EXPECT_EQ(threshold, 7.0);
  EXPECT_EQ(manager.ModelsAtLevel(0).size(), 1u);
}

TEST(ObjManager, ZeroStepFractionStillAdvancesOnePixel) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("person", 0, 0.0, "person.yml");
  config.AddScale("person", 96, 96, 0.0f, 0.0f, 1.2f);
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());
  ASSERT_EQ(manager.GetLevels().size(), 1u);
  EXPECT_EQ(manager.GetLevels()[0].stepX, 1);
  EXPECT_EQ(manager.GetLevels()[0].stepY, 1);
}

TEST(ObjManager, StepsBelowOnePixelMoveOnePixelAndStepsBeyondTheWindowAreFatal) {
  const Geometry wide{96, 128, 48, 96};
  auto levelsOf = [&](float xStep, float yStep) {
    Configuration config;
    config.DefineGeometry("wide.yml", wide);
    config.AddModel("blob", 0, 0.0, "wide.yml");
    config.AddScale("blob", 96, 96, xStep, yStep, 1.5f, 3);
    ObjManager manager;
    manager.AddParameters(config.types, config.Loader());
    return manager.GetLevels();
  };
  // A negative or tiny step is below one pixel like a step of 0.
  EXPECT_EQ(levelsOf(-0.5f, 1e-9f)[0].stepX, 1);
  EXPECT_EQ(levelsOf(-0.5f, 1e-9f)[0].stepY, 1);
  EXPECT_EQ(levelsOf(-1e30f, 0.0f)[0].stepX, 1);
  // A step of exactly the window is the longest there is.
  EXPECT_EQ(levelsOf(2.0f, 1.0f)[0].stepX, 96);
  EXPECT_EQ(levelsOf(2.0f, 1.0f)[0].stepY, 96);

  auto expectRejected = [&](float xStep, float yStep, int line, const std::string& message) {
    Configuration config;
    config.DefineGeometry("wide.yml", wide);
    config.AddModel("blob", 0, 0.0, "wide.yml");
    config.AddScale("blob", 48, 100, xStep, yStep, 1.5f, line);
    ObjManager manager;
    ExpectFatal([&] { manager.AddParameters(config.types, config.Loader()); },
                ".\\obj_manager.cpp(ObjManager::AddParameters.64): \n  " + message + "\n");
  };
  expectRejected(1e10f, 0.1f, 4,
                 "line 4: scale step 1e+10 of object type 'blob' moves 4.8e+11 pixels, more than "
                 "the 96-pixel width of its model window");
  expectRejected(2.1f, 0.1f, 0,
                 "scale step 2.1 of object type 'blob' moves 100.8 pixels, more than the 96-pixel "
                 "width of its model window");
  expectRejected(0.1f, std::nanf(""), 7,
                 "line 7: scale step nan of object type 'blob' moves nan pixels, more than the "
                 "128-pixel height of its model window");
}

TEST(ObjManager, SizesBeyondTheLargestObjectSizeAreFatalNamingTheLine) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("person", 0, 0.0, "person.yml");
  config.AddScale("person", 100000, 2000000000, 0.1f, 0.1f, 1.00001f, 2);
  ObjManager manager;
  ExpectFatal([&] { manager.AddParameters(config.types, config.Loader()); },
              ".\\obj_manager.cpp(ObjManager::AddParameters.66): \n"
              "  line 2: scale line of object type 'person' reaches object size 100000, beyond "
              "the largest object size 65535\n");
}

TEST(ObjManager, LongScaleLinesShareLevelsAsALinearSearchWould) {
  // Two types with the same object height and the same steps in pixels
  // (5 x 10), three lines of thousands of sizes that meet now and then.
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.DefineGeometry("tall.yml", {48, 128, 40, 96});
  config.AddModel("person", 0, 0.0, "person.yml");
  config.AddModel("tall", 0, 0.0, "tall.yml");
  config.AddScale("person", 4000, 65535, 0.1f, 0.1f, 1.0005f);
  config.AddScale("tall", 1000, 65535, 0.125f, 0.1f, 1.01f);
  config.AddScale("tall", 2000, 65535, 0.125f, 0.1f, 1.001f);
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());

  // The reference: every size of every line (types in key order, lines in
  // file order) looked up from the first level on.
  std::vector<ScaleLevel> expected;
  std::map<std::string, std::set<int>> expectedTypeLevels;
  for (const auto& [name, type] : config.types) {
    const Model& model = *type->models.back()->model;
    for (const auto& scale : type->scales) {
      int stepX = static_cast<int>(std::ceil(scale->xStep * static_cast<float>(model.objW)));
      int stepY = static_cast<int>(std::ceil(scale->yStep * static_cast<float>(model.objH)));
      for (int size = scale->minSize; size <= scale->maxSize;
           size = static_cast<int>(std::floor(scale->factor * static_cast<float>(size)))) {
        float ratio = static_cast<float>(static_cast<double>(model.objH) / size);
        size_t i = 0;
        while (i < expected.size() && !(expected[i].ratio == ratio &&
                                        expected[i].stepX == stepX && expected[i].stepY == stepY)) {
          ++i;
        }
        if (i == expected.size()) {
          expected.push_back(ScaleLevel{stepX, stepY, ratio, static_cast<int>(i), size});
        }
        expectedTypeLevels[name].insert(static_cast<int>(i));
      }
    }
  }
  std::vector<ScaleLevel> levels = manager.GetLevels();
  ASSERT_EQ(levels.size(), expected.size());
  EXPECT_GT(levels.size(), 5000u);
  for (size_t i = 0; i < levels.size(); ++i) {
    ASSERT_EQ(levels[i].index, expected[i].index);
    ASSERT_EQ(levels[i].size, expected[i].size) << i;
    ASSERT_EQ(levels[i].ratio, expected[i].ratio) << i;
    ASSERT_EQ(levels[i].stepX, expected[i].stepX) << i;
    ASSERT_EQ(levels[i].stepY, expected[i].stepY) << i;
  }
  EXPECT_EQ(config.types["person"]->levels, expectedTypeLevels["person"]);
  EXPECT_EQ(config.types["tall"]->levels, expectedTypeLevels["tall"]);
  std::vector<int> shared;
  std::set_intersection(expectedTypeLevels["person"].begin(), expectedTypeLevels["person"].end(),
                        expectedTypeLevels["tall"].begin(), expectedTypeLevels["tall"].end(),
                        std::back_inserter(shared));
  EXPECT_FALSE(shared.empty());
}

TEST(ObjManager, StagesCountUpToTheLargestAndMissingStagesHaveNoModel) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("person", 2, 0.75, "person.yml");
  config.AddModel("person", 0, static_cast<float>(0.1), "person.yml");
  config.AddModel("person", 0, 0.9, "person.yml");  // a second stage-0 line is never chosen
  config.AddScale("person", 96, 96, 0.1f, 0.1f, 1.2f);
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());
  EXPECT_EQ(manager.GetNumberOfStages(), 3);

  const auto& specs = config.types["person"]->models;
  double threshold = -1.0;
  EXPECT_EQ(manager.ModelbyObjType("person", 0, 0, &threshold), specs[1]->model);
  EXPECT_EQ(threshold, static_cast<double>(static_cast<float>(0.1)));
  threshold = -1.0;
  EXPECT_EQ(manager.ModelbyObjType("person", 0, 1, &threshold), nullptr);
  EXPECT_EQ(threshold, -1.0);
  EXPECT_EQ(manager.ModelbyObjType("person", 0, 2, &threshold), specs[0]->model);
  EXPECT_EQ(threshold, 0.75);
  EXPECT_EQ(manager.ModelbyObjType("person", 1, 0, &threshold), nullptr);  // no such level

  ObjManager empty;
  Configuration none;
  empty.AddParameters(none.types, none.Loader());
  EXPECT_EQ(empty.GetNumberOfStages(), 0);
}

TEST(ObjManager, LevelsComeFromTheLastModelLineOfTheType) {
  Configuration config;
  config.DefineGeometry("small.yml", {32, 64, 24, 48});
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("person", 0, 0.0, "small.yml");
  config.AddModel("person", 1, 0.0, "person.yml");
  config.AddScale("person", 96, 96, 0.1f, 0.1f, 1.2f);
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());
  ASSERT_EQ(manager.GetLevels().size(), 1u);
  EXPECT_EQ(manager.GetLevels()[0].ratio, 1.0f);
  EXPECT_EQ(manager.GetLevels()[0].stepX, 5);
}

TEST(ObjManager, WindowSmallerThanItsObjectIsRejected) {
  Configuration config;
  config.DefineGeometry("bad.yml", {64, 90, 48, 96});
  config.AddModel("person", 0, 0.0, "bad.yml");
  ObjManager manager;
  ExpectFatal([&] { manager.AddParameters(config.types, config.Loader()); },
              ".\\obj_manager.cpp(ObjManager::AddParameters.88): \n"
              "  invalid padding (negative)!\n");
}

TEST(ObjManager, ScaleLinesWithoutModelLineAreRejectedNamingTheType) {
  Configuration config;
  config.AddScale("bicycle", 48, 200, 0.1f, 0.1f, 1.2f);
  ObjManager manager;
  ExpectFatal([&] { manager.AddParameters(config.types, config.Loader()); },
              ".\\obj_manager.cpp(ObjManager::AddParameters.94): \n"
              "  object type 'bicycle' has scale lines but no model line\n");
}

TEST(ObjManager, FactorThatCannotGrowTheSizeIsRejected) {
  for (float factor : {1.0f, 0.5f, 1.01f}) {
    Configuration config;
    config.DefineGeometry("person.yml", kPerson);
    config.AddModel("person", 0, 0.0, "person.yml");
    config.AddScale("person", 48, 200, 0.1f, 0.1f, factor);
    ObjManager manager;
    EXPECT_THROW(manager.AddParameters(config.types, config.Loader()), Failure) << factor;
  }
  // A minimum size of zero would give an infinite ratio and never grow.
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("person", 0, 0.0, "person.yml");
  config.AddScale("person", 0, 200, 0.1f, 0.1f, 1.2f);
  ObjManager manager;
  ExpectFatal([&] { manager.AddParameters(config.types, config.Loader()); },
              ".\\obj_manager.cpp(ObjManager::AddParameters.62): \n"
              "  scale factor 1.2 cannot grow the object size 0 of object type 'person'\n");
}

TEST(ObjManager, DetectionsAreAppendedReplacedAndEmptied) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("person", 0, 0.0, "person.yml");
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());
  std::vector<DetectionWindow> a{{1, 2, 3, 4, 0.5}};
  std::vector<DetectionWindow> b{{5, 6, 7, 8, 0.25}, {9, 9, 9, 9, 1.0}};
  manager.SetDetWindows("person", a, true);
  manager.SetDetWindows("person", b, true);
  std::vector<DetectionWindow>* list = manager.GetDetctionWindows("person");
  EXPECT_EQ(list, config.types["person"]->detections.get());
  ASSERT_EQ(list->size(), 3u);
  manager.SetDetWindows("person", b, false);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].x, 5);
  manager.SetDetWindows("person");
  EXPECT_TRUE(manager.GetDetctionWindows("person")->empty());
}

TEST(ObjManager, SuppressionReplacesTheListOfEveryType) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("car", 0, 0.0, "person.yml");
  config.AddModel("person", 0, 0.0, "person.yml");
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());
  std::vector<DetectionWindow> overlapping{{0, 0, 100, 100, 1.0}, {10, 0, 100, 100, 2.0}};
  manager.SetDetWindows("car", overlapping, false);
  manager.SetDetWindows("person", overlapping, false);
  manager.NonMaxSuppression(0.2f);
  for (const char* type : {"car", "person"}) {
    ASSERT_EQ(manager.GetDetctionWindows(type)->size(), 1u);
    EXPECT_EQ((*manager.GetDetctionWindows(type))[0].x, 10);
  }
}

TEST(ObjManager, UnknownObjectTypeIsReportedByEveryOperationThatTakesOne) {
  Configuration config;
  config.DefineGeometry("person.yml", kPerson);
  config.AddModel("person", 0, 0.0, "person.yml");
  ObjManager manager;
  manager.AddParameters(config.types, config.Loader());
  auto report = [](const char* function, int line) {
    return Format(".\\obj_manager.cpp(%s.%d): \n  invalid object type identifier!\n", function,
                  line);
  };
  std::vector<DetectionWindow> none;
  ExpectFatal([&] { manager.SetDetWindows("Person", none, true); },
              report("ObjManager::SetDetWindows", 116));
  ExpectFatal([&] { manager.SetDetWindows("car"); }, report("ObjManager::SetDetWindows", 137));
  ExpectFatal([&] { manager.GetDetctionWindows(""); },
              report("ObjManager::GetDetctionWindows", 155));
  double threshold = 0.0;
  ExpectFatal([&] { manager.ModelbyObjType("people", 0, 0, &threshold); },
              report("ObjManager::ModelbyObjType", 172));
}

}  // namespace
}  // namespace pedscan
