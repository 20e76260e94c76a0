#include "model/parameters.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/failure.h"
#include "../support/example_configuration.h"

namespace pedscan {
namespace {

namespace fs = std::filesystem;

using Tokens = std::vector<std::string>;

// A per-process directory for the configuration files, removed at exit.
struct TempDir {
  fs::path path = fs::temp_directory_path() / ("pedscan_config_" + std::to_string(getpid()));
  TempDir() { fs::create_directories(path); }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

// Writes `text` byte for byte to a fresh file.
std::string WriteConfig(const std::string& text) {
  static TempDir dir;
  static int counter = 0;
  fs::path path = dir.path / ("config" + std::to_string(counter++) + ".txt");
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

template <typename Config>
void ParseText(Config& config, const std::string& text) {
  config.ParseFile(WriteConfig(text));
}

// Parses `text` into a fresh Config and returns the failure it must raise.
template <typename Config>
Failure ParseFailure(const std::string& text) {
  Config config;
  try {
    ParseText(config, text);
  } catch (const Failure& failure) {
    return failure;
  }
  ADD_FAILURE() << "no failure for:\n" << text;
  return Failure(Failure::Form::kPlain, "", 0);
}

void ExpectPlain(const Failure& failure, const std::string& text) {
  EXPECT_EQ(failure.form(), Failure::Form::kPlain);
  EXPECT_EQ(failure.status(), 2);
  EXPECT_EQ(failure.text(), text);
}

// The object heights a scale line enumerates, stepped as the pyramid does.
std::vector<int> ScaleSizes(const ScaleSpec& scale) {
  std::vector<int> sizes;
  for (int size = scale.minSize; size <= scale.maxSize;
       size = static_cast<int>(std::floor(scale.factor * static_cast<float>(size)))) {
    sizes.push_back(size);
  }
  return sizes;
}

TEST(Parser, TokensAreCommandAndBlankFreeArguments) {
  EXPECT_EQ(Parser::Tokenize("params <hog Set, Use HOG , 1>\n"),
            (Tokens{"params", "hogSet", "UseHOG", "1"}));
  // The character just before '<' is dropped, blank or not.
  EXPECT_EQ(Parser::Tokenize("window<64,128>\n"), (Tokens{"windo", "64", "128"}));
  EXPECT_EQ(Parser::Tokenize("\tblock\t<a, 1>\n"), (Tokens{"\tblock", "a", "1"}));
  // Tabs are not blanks.
  EXPECT_EQ(Parser::Tokenize("x <\ta>\n"), (Tokens{"x", "\ta"}));
  // "<>" has no argument; a trailing ',' gives an empty last one.
  EXPECT_EQ(Parser::Tokenize("classifier <>\n"), (Tokens{"classifier"}));
  EXPECT_EQ(Parser::Tokenize("factors <10,>\n"), (Tokens{"factors", "10", ""}));
  EXPECT_EQ(Parser::Tokenize("f <,>"), (Tokens{"f", "", ""}));
  // Only the text up to the first '>' counts.
  EXPECT_EQ(Parser::Tokenize("factors <4> remark <5>\n"), (Tokens{"factors", "4"}));
  // '<' right after the first character leaves an empty command.
  EXPECT_EQ(Parser::Tokenize("x<a>"), (Tokens{"", "a"}));
}

TEST(Parser, OnlyTheFirstCharacterMakesALineSkipped) {
  EXPECT_TRUE(Parser::Tokenize("").empty());
  EXPECT_TRUE(Parser::Tokenize("#block <a, 1, 2, 3, 4, 5>\n").empty());
  EXPECT_TRUE(Parser::Tokenize("\n").empty());
  EXPECT_TRUE(Parser::Tokenize("\r\n").empty());
  EXPECT_TRUE(Parser::Tokenize("\n   block").empty());
}

TEST(Parser, LinesWithoutACommandShapeAreNotValidCommands) {
  auto expectNotACommand = [](const std::string& line) {
    try {
      Parser::Tokenize(line);
      ADD_FAILURE() << "accepted: " << line;
    } catch (const Failure& failure) {
      ExpectPlain(failure, "'" + line + "': not a valid command\n");
    }
  };
  expectNotACommand("   \n");  // blanks and terminator shown as read
  expectNotACommand("  # a remark\n");
  expectNotACommand("factors 10>\n");
  expectNotACommand("factors <10\n");
  expectNotACommand("factors > <10>\n");  // '>' before '<'
  // Nothing precedes '<': the arguments must not be taken for the command.
  expectNotACommand("<myblock, 1, 2, 3, 4, 5>\n");
}

TEST(Parser, RemoveSpacesDeletesOnlyBlanks) {
  std::string s = " a b\tc \r\n";
  Parser::RemoveSpaces(s);
  EXPECT_EQ(s, "ab\tc\r\n");
}

TEST(Parser, UnreadableFileIsAPlainFailure) {
  std::string missing = WriteConfig("") + ".missing";
  Parameters config;
  try {
    config.ParseFile(missing);
    ADD_FAILURE() << "opened " << missing;
  } catch (const Failure& failure) {
    ExpectPlain(failure, "cannot open '" + missing + "'\n");
  }
}

TEST(Parameters, CommandsAreFoundBySubstringInTableOrder) {
  Parameters config;
  ParseText(config,
            "  blocks <b, 16, 16, 8, 8, 0>\n"
            "\tblock <b, 32, 32, 16, 16, 7>\n"
            "myparams <s, k, v>\n"
            "  #factors <3>\n"   // not a comment: '#' is not the first character
            "factors <4> the closing bracket ends the arguments\n"
            "\r\n"
            "# comment\n");
  ASSERT_EQ(config.blockSizes.size(), 1u);
  const std::vector<BlockSize>& sizes = config.blockSizes.at("b");
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0].width, 16);
  EXPECT_EQ(sizes[1].width, 32);
  EXPECT_EQ(sizes[1].height, 32);
  EXPECT_EQ(sizes[1].xStep, 16);
  EXPECT_EQ(sizes[1].yStep, 16);
  EXPECT_EQ(sizes[1].reserved, 7);
  EXPECT_EQ(config.paramSets.at("s").at("k"), "v");
  EXPECT_EQ(config.factors, 4);
}

TEST(Parameters, ReaderErrorsNameTheLineAndCommand) {
  ExpectPlain(ParseFailure<Parameters>("# model\nwindow<64,128>\n"),
              "2: Invalid command 'windo'\n");
  ExpectPlain(ParseFailure<Parameters>("factors <10,>\n"),
              "1: Incorrect number of parameters for command 'factors'\n");
  ExpectPlain(ParseFailure<Parameters>("classifier <>\n"),
              "1: Incorrect number of parameters for command 'classifier'\n");
  ExpectPlain(ParseFailure<Parameters>("model <person, 0, 0.0, a.yml>\n"),
              "1: Invalid command 'model'\n");
}

TEST(Parameters, FirstParamsValueAndFirstMethodWinOthersAccumulateOrOverwrite) {
  Parameters config;
  ParseText(config,
            "params <hogSet, UseHOG, 1>\n"
            "params <hogSet, UseHOG, 0>\n"
            "method <HOG, hogBlocks, 3, hogSet>\n"
            "method <HOG, other, 4, otherSet>\n"
            "classifier <qda>\n"
            "classifier <qda>\n"
            "window <10, 20>\n"
            "window <64, 128>\n"
            "factors <5>\n"
            "factors <10>\n"
            "ModelID <first>\n"
            "ModelID <two words>\n"
            "object <1, 2, 3, 4>\n"
            "object <-1, 70000, 48, 96>\n"
            "region <0, 1, 63, 127>\n"
            "region <2, 3, 4, 5>\n");
  EXPECT_EQ(config.paramSets.at("hogSet").at("UseHOG"), "1");
  ASSERT_EQ(config.methods.size(), 1u);
  EXPECT_EQ(config.methods.at("HOG").blockSet, "hogBlocks");
  EXPECT_EQ(config.methods.at("HOG").paramSet, "hogSet");
  EXPECT_EQ(config.methods.at("HOG").number, 3);
  EXPECT_EQ(config.classifiers, (Tokens{"qda", "qda"}));
  EXPECT_EQ(config.window.width, 64);
  EXPECT_EQ(config.window.height, 128);
  EXPECT_EQ(config.window.x0, -1);
  EXPECT_EQ(config.window.x1, -1);
  EXPECT_EQ(config.factors, 10);
  EXPECT_EQ(config.modelID, "twowords");
  EXPECT_EQ(config.object.x0, -1);
  EXPECT_EQ(config.object.y0, static_cast<int16_t>(70000 - 65536));
  EXPECT_EQ(config.object.width, 48);
  EXPECT_EQ(config.object.height, 96);
  ASSERT_EQ(config.regions.size(), 2u);
  const BlockRect& region = config.regions[0];
  EXPECT_EQ(region.x0, 0);
  EXPECT_EQ(region.y0, 1);
  EXPECT_EQ(region.x1, 63);
  EXPECT_EQ(region.y1, 127);
  EXPECT_EQ(region.width, -1);
  EXPECT_EQ(region.height, -1);
  EXPECT_EQ(config.regions[1].x0, 2);
}

TEST(Parameters, ExampleModelConfigurationIsRead) {
  Parameters config;
  ParseText(config, testutil::kExampleModelConfiguration);
  EXPECT_EQ(config.modelID, "person01");
  EXPECT_EQ(config.window.width, 64);
  EXPECT_EQ(config.window.height, 128);
  EXPECT_EQ(config.object.x0, 8);
  EXPECT_EQ(config.object.y0, 16);
  EXPECT_EQ(config.object.width, 48);
  EXPECT_EQ(config.object.height, 96);
  ASSERT_EQ(config.regions.size(), 1u);
  EXPECT_EQ(config.regions[0].x1, 63);
  EXPECT_EQ(config.regions[0].y1, 127);
  EXPECT_EQ(config.factors, 10);
  EXPECT_EQ(config.classifiers, (Tokens{"qda"}));

  // Maps iterate in byte order, not file order: COOCH before HOG.
  ASSERT_EQ(config.methods.size(), 2u);
  EXPECT_EQ(config.methods.begin()->first, "COOCH");
  EXPECT_EQ(config.methods.at("COOCH").blockSet, "coocBlocks");
  EXPECT_EQ(config.methods.at("COOCH").paramSet, "coocSet");
  EXPECT_EQ(config.methods.at("HOG").blockSet, "hogBlocks");
  EXPECT_EQ(config.methods.at("HOG").paramSet, "hogSet");

  ASSERT_EQ(config.blockSizes.at("hogBlocks").size(), 2u);
  EXPECT_EQ(config.blockSizes.at("hogBlocks")[1].width, 32);
  EXPECT_EQ(config.blockSizes.at("hogBlocks")[1].xStep, 16);
  ASSERT_EQ(config.blockSizes.at("coocBlocks").size(), 1u);
  EXPECT_EQ(config.blockSizes.at("coocBlocks")[0].yStep, 8);

  EXPECT_EQ(config.paramSets.at("hogSet"),
            (ParameterMap{{"UseColorFrequency", "1"}, {"UseHOG", "1"}}));
  EXPECT_EQ(config.paramSets.at("coocSet"),
            (ParameterMap{{"bins", "16"}, {"cache", "1"}, {"distance", "1"}}));
}

TEST(Parameters, LastLineWithoutTerminatorIsProcessed) {
  Parameters config;
  ParseText(config, "factors <3>\nModelID <last>");
  EXPECT_EQ(config.factors, 3);
  EXPECT_EQ(config.modelID, "last");
  ExpectPlain(ParseFailure<Parameters>("factors <3>\nbogus <1>"), "2: Invalid command 'bogus'\n");
}

TEST(Parameters, LongLineArrivesInPiecesThatAreNumberedAsLines) {
  // 3000 characters before the terminator: the first read takes 2046 of them
  // (a command followed by a remark), the second the rest, itself a command.
  std::string first = "factors <5>";
  first.append(2046 - first.size(), 'x');
  std::string second = "classifier <qda>";
  second.append(3000 - 2046 - second.size(), 'y');
  std::string line = first + second + "\n";
  ASSERT_EQ(line.size(), 3001u);

  Parameters config;
  ParseText(config, line + "ModelID <m>\n");
  EXPECT_EQ(config.factors, 5);
  EXPECT_EQ(config.classifiers, (Tokens{"qda"}));
  EXPECT_EQ(config.modelID, "m");

  // The physical line after the long one is line 3.
  ExpectPlain(ParseFailure<Parameters>(line + "bogus <1>\n"), "3: Invalid command 'bogus'\n");
}

TEST(ParametersExecution, ExampleDetectionConfigurationIsRead) {
  ParametersExecution config;
  ParseText(config,
            "model <person, 0, 0.0, person01.yml>\n"
            "scale <person, 48, 300, 0.1, 0.1, 1.2>\n");
  ASSERT_EQ(config.objectTypes.size(), 1u);
  const ObjectType& person = *config.objectTypes.at("person");
  EXPECT_EQ(person.name, "person");
  EXPECT_TRUE(person.levels.empty());
  ASSERT_TRUE(person.detections);
  EXPECT_TRUE(person.detections->empty());
  ASSERT_EQ(person.models.size(), 1u);
  EXPECT_EQ(person.models[0]->stage, 0);
  EXPECT_EQ(person.models[0]->threshold, 0.0);
  EXPECT_EQ(person.models[0]->file, "person01.yml");
  EXPECT_EQ(person.models[0]->model, nullptr);
  ASSERT_EQ(person.scales.size(), 1u);
  const ScaleSpec& scale = *person.scales[0];
  EXPECT_EQ(scale.minSize, 48);
  EXPECT_EQ(scale.maxSize, 300);
  EXPECT_EQ(scale.xStep, 0.1f);
  EXPECT_EQ(scale.yStep, 0.1f);
  EXPECT_EQ(scale.factor, 1.2f);
  EXPECT_EQ(ScaleSizes(scale),
            (std::vector<int>{48, 57, 68, 81, 97, 116, 139, 166, 199, 238, 285}));
}

TEST(ParametersExecution, TypesCollectInterleavedLinesInFileOrder) {
  ParametersExecution config;
  ParseText(config,
            "scale <car, 20, 40, 0.5, 0.5, 2>\n"
            "models <person, 1, 0.7, b.yml>\n"
            "model <car, 0, -1.5, c.yml>\n"
            "model <person, 0, 0.1, a.yml>\n");
  ASSERT_EQ(config.objectTypes.size(), 2u);
  EXPECT_EQ(config.objectTypes.begin()->first, "car");
  const ObjectType& person = *config.objectTypes.at("person");
  ASSERT_EQ(person.models.size(), 2u);
  EXPECT_EQ(person.models[0]->file, "b.yml");
  EXPECT_EQ(person.models[0]->stage, 1);
  // The threshold is read in single precision.
  EXPECT_EQ(person.models[0]->threshold, static_cast<double>(0.7f));
  EXPECT_NE(person.models[0]->threshold, 0.7);
  EXPECT_EQ(person.models[1]->file, "a.yml");
  EXPECT_TRUE(person.scales.empty());
  const ObjectType& car = *config.objectTypes.at("car");
  ASSERT_EQ(car.models.size(), 1u);
  EXPECT_EQ(car.models[0]->threshold, -1.5);
  ASSERT_EQ(car.scales.size(), 1u);
  EXPECT_EQ(ScaleSizes(*car.scales[0]), (std::vector<int>{20, 40}));
}

TEST(ParametersExecution, ModelIDIsNotAModelCommand) {
  ExpectPlain(ParseFailure<ParametersExecution>("ModelID <person01>\n"),
              "1: Invalid command 'ModelID'\n");
  ExpectPlain(ParseFailure<ParametersExecution>("model <person, 0, 0.0>\n"),
              "1: Incorrect number of parameters for command 'model'\n");
}

TEST(ParametersExecution, ScaleFactorThatCannotGrowTheSizeIsFatal) {
  auto expectRejected = [](const std::string& line, const std::string& message) {
    Failure failure = ParseFailure<ParametersExecution>("model <p, 0, 0, a.yml>\n" + line);
    EXPECT_EQ(failure.form(), Failure::Form::kFatal);
    EXPECT_EQ(failure.status(), -1);
    EXPECT_EQ(failure.text(),
              ".\\parameters.cpp(ParametersExecution::ProcessCommand.108): \n  " + message + "\n");
  };
  expectRejected("scale <p, 48, 300, 0.1, 0.1, 1.0>\n",
                 "line 2: scale factor 1 does not increase the object size 48");
  expectRejected("scale <p, 48, 300, 0.1, 0.1, 0.5>\n",
                 "line 2: scale factor 0.5 does not increase the object size 48");
  // 1.01 * 48 = 48.48: the floor stays at 48.
  expectRejected("scale <p, 48, 300, 0.1, 0.1, 1.01>\n",
                 "line 2: scale factor 1.01 does not increase the object size 48");
  expectRejected("scale <p, 0, 300, 0.1, 0.1, 1.2>\n",
                 "line 2: scale factor 1.2 does not increase the object size 0");
  expectRejected("scale <p, -5, 300, 0.1, 0.1, 1.2>\n",
                 "line 2: scale factor 1.2 does not increase the object size -5");
  expectRejected("scale <p, 48, 300, 0.1, 0.1, nan>\n",
                 "line 2: scale factor nan does not increase the object size 48");
  expectRejected("scale <p, 48, 300, 0.1, 0.1, inf>\n",
                 "line 2: scale factor inf does not increase the object size 48");

  // From a size below 1 a factor can grow the first step and then shrink
  // or swing: -5, -3, -2, -1, -1, ... with 0.5.
  expectRejected("scale <p, -5, 300, 0.1, 0.1, 0.5>\n",
                 "line 2: scale factor 0.5 does not increase the object size -5");
  // A size that is no number reads as 0, as every number of the file does.
  expectRejected("scale <p, abc, 300, 0.1, 0.1, 1.2>\n",
                 "line 2: scale factor 1.2 does not increase the object size 0");

  // A line that enumerates no size at all cannot loop.
  ParametersExecution config;
  ParseText(config, "model <p, 0, 0, a.yml>\nscale <p, 300, 48, 0.1, 0.1, 1.0>\n");
  EXPECT_TRUE(ScaleSizes(*config.objectTypes.at("p")->scales[0]).empty());
}

TEST(ParametersExecution, ScaleSizeOrStepThatIsNotAFiniteNumberIsFatalNamingTheLine) {
  auto expectRejected = [](const std::string& line, int reportLine, const std::string& message) {
    Failure failure =
        ParseFailure<ParametersExecution>("# detection\nmodel <p, 0, 0, a.yml>\n" + line);
    EXPECT_EQ(failure.form(), Failure::Form::kFatal);
    EXPECT_EQ(failure.status(), -1);
    EXPECT_EQ(failure.text(), ".\\parameters.cpp(ParametersExecution::ProcessCommand." +
                                  std::to_string(reportLine) + "): \n  " + message + "\n")
        << line;
  };
  expectRejected("scale <blob, 48, 100, 1e10, nan, 1.5>\n", 106,
                 "line 3: scale step 'nan' is not a finite number");
  expectRejected("scale <blob, 48, 100, inf, 0.1, 1.5>\n", 106,
                 "line 3: scale step 'inf' is not a finite number");
  // Finite as a double, infinite once read in single precision.
  expectRejected("scale <blob, 48, 100, 0.1, -1e39, 1.5>\n", 106,
                 "line 3: scale step '-1e39' is not a finite number");
  expectRejected("scale <blob, inf, 100, 0.1, 0.1, 1.5>\n", 104,
                 "line 3: scale size 'inf' is not a finite number");
  expectRejected("scale <blob, 48, NaN, 0.1, 0.1, 1.5>\n", 104,
                 "line 3: scale size 'NaN' is not a finite number");
  // Beyond int, where atoi would wrap around.
  expectRejected("scale <blob, 48, 3000000000, 0.1, 0.1, 1.5>\n", 104,
                 "line 3: scale size '3000000000' is not a finite number");

  // Steps below one pixel stay allowed: the scan then moves one pixel.
  ParametersExecution config;
  ParseText(config, "model <p, 0, 0, a.yml>\nscale <p, 48, 300, 0, -0.5, 1.2>\n");
  const ScaleSpec& scale = *config.objectTypes.at("p")->scales[0];
  EXPECT_EQ(scale.xStep, 0.0f);
  EXPECT_EQ(scale.yStep, -0.5f);
  EXPECT_EQ(scale.line, 2);
}

TEST(ParametersExecution, ScaleLineReachingBeyondTheLargestObjectSizeIsFatal) {
  auto expectRejected = [](const std::string& line, const std::string& message) {
    Failure failure = ParseFailure<ParametersExecution>("model <p, 0, 0, a.yml>\n" + line);
    EXPECT_EQ(failure.status(), -1);
    EXPECT_EQ(failure.text(),
              ".\\parameters.cpp(ParametersExecution::ProcessCommand.110): \n  " + message + "\n")
        << line;
  };
  // This one grows its first size, and would then make about a million levels.
  expectRejected("scale <blob, 100000, 2000000000, 0.1, 0.1, 1.00001>\n",
                 "line 2: scale line reaches object size 100000, beyond the largest object size "
                 "65535");
  expectRejected("scale <p, 48, 100000, 0.1, 0.1, 2>\n",
                 "line 2: scale line reaches object size 98304, beyond the largest object size "
                 "65535");
  expectRejected("scale <p, 65536, 65536, 0.1, 0.1, 2>\n",
                 "line 2: scale line reaches object size 65536, beyond the largest object size "
                 "65535");

  // What counts is the sizes enumerated, not maxSize: 49152 is the last here.
  ParametersExecution config;
  ParseText(config,
            "model <p, 0, 0, a.yml>\n"
            "scale <p, 48, 70000, 0.1, 0.1, 2>\n"
            "scale <p, 65535, 65536, 0.1, 0.1, 2>\n"
            "scale <p, 1, 65535, 0.1, 0.1, 2>\n");
  const auto& scales = config.objectTypes.at("p")->scales;
  ASSERT_EQ(scales.size(), 3u);
  EXPECT_EQ(ScaleSizes(*scales[0]).back(), 49152);
  EXPECT_EQ(ScaleSizes(*scales[1]), (std::vector<int>{65535}));
  EXPECT_EQ(ScaleSizes(*scales[2]).back(), 32768);
}

TEST(ParametersExecution, ConfigurationWithoutModelLineOrThatIsADirectoryIsRefused) {
  auto noModel = [](const std::string& path) {
    return ".\\parameters.cpp(ParametersExecution::ParseFile.124): \n  detection configuration '" +
           path + "' has no model line\n";
  };
  for (const std::string text : {"", "# nothing yet\n\n", "scale <p, 300, 48, 0.1, 0.1, 1.2>\n"}) {
    std::string path = WriteConfig(text);
    ParametersExecution config;
    try {
      config.ParseFile(path);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.form(), Failure::Form::kFatal);
      EXPECT_EQ(failure.text(), noModel(path));
    }
  }

  // A directory opens for reading but cannot be read: both readers say so.
  std::string directory = WriteConfig("") + ".d";
  fs::create_directory(directory);
  ParametersExecution execution;
  Parameters model;
  for (Parser* parser : {static_cast<Parser*>(&execution), static_cast<Parser*>(&model)}) {
    try {
      parser->ParseFile(directory);
      ADD_FAILURE() << "opened the directory " << directory;
    } catch (const Failure& failure) {
      ExpectPlain(failure, "cannot open '" + directory + "'\n");
    }
  }
}

TEST(ParametersExecution, AScaleStepThatGrowsAtMinSizeGrowsAtEveryLargerSize) {
  const float factors[] = {1.001f, 1.01f, 1.05f, 1.1f, 1.2f, 1.5f, 2.0f, 3.7f};
  for (float factor : factors) {
    for (int minSize = 1; minSize <= 1200; ++minSize) {
      float first = std::floor(factor * static_cast<float>(minSize));
      if (first <= static_cast<float>(minSize)) continue;
      for (int size = minSize; size <= 200000;) {
        int next = static_cast<int>(std::floor(factor * static_cast<float>(size)));
        ASSERT_GT(next, size) << "factor " << factor << " from " << minSize;
        size = next;
      }
    }
  }
}

}  // namespace
}  // namespace pedscan
