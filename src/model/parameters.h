// The configuration reader: one line syntax, two command sets.
//
// Parameters reads a model configuration (window, blocks, feature methods,
// factors, classifier, identifier); ParametersExecution reads a detection
// configuration (model files per object type, scale lines). Each accepts only
// its own commands. Construct, call ParseFile once, then read the fields.
// Reader errors throw the plain Failure (status 2) with the line's message.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/geometry.h"
#include "support/parameter_map.h"

namespace pedscan {

class Model;

class Parser {
 public:
  virtual ~Parser() = default;

  // Reads the whole file and calls ProcessCommand once per line read, in file
  // order; lines are read 2046 characters at a time, so a longer physical
  // line arrives in pieces. The last line is processed even without a line
  // terminator. "cannot open '%s'\n" when the file cannot be opened or
  // read, a directory included. Then FinishFile checks the whole file.
  void ParseFile(const std::string& fileName);

  // The tokens of one line as read (terminator included): the command
  // (everything before the character just before the first '<', blanks
  // removed), then the ','-separated arguments between the first '<' and the
  // first '>', blanks removed. Empty for an empty line, a comment ('#' first)
  // or a line starting with a line terminator. "'%s': not a valid command\n"
  // when '<' or '>' is missing or '>' comes before '<'.
  static std::vector<std::string> Tokenize(const std::string& line);
  // "%d: Incorrect number of parameters for command '%s'\n" when they differ.
  static void CheckNumberOfParameters(int lineNumber, const std::string& command, int given,
                                      int expected);
  static std::string GetToken(const std::vector<std::string>& tokens, int i);
  // Deletes every blank (code 32); tabs and other white space stay.
  static void RemoveSpaces(std::string& s);

 protected:
  virtual void ProcessCommand(int lineNumber, std::vector<std::string> tokens) = 0;
  // Called once after the last line of a file; checks what only the whole
  // file can tell. Accepts everything by default.
  virtual void FinishFile(const std::string& fileName);
};

// One block line: a block size of a block set.
struct BlockSize {
  int32_t width = 0;
  int32_t height = 0;
  int32_t xStep = 0;
  int32_t yStep = 0;
  int32_t reserved = 0;  // stored, never read
};

// One method line.
struct MethodSpec {
  std::string blockSet;
  std::string paramSet;
  int number = 0;  // stored, never read
};

// The object's box inside the detection window; values truncated to 16 bits.
struct ObjectBox {
  int16_t x0 = -1;
  int16_t y0 = -1;
  int16_t width = -1;
  int16_t height = -1;
  double unused = -1.0;
};

class Parameters : public Parser {
 public:
  std::map<std::string, std::vector<BlockSize>> blockSizes;
  std::map<std::string, ParameterMap> paramSets;
  std::map<std::string, MethodSpec> methods;
  std::vector<BlockRect> regions;
  BlockRect window;  // only width and height are set
  ObjectBox object;
  int factors = -1;
  std::vector<std::string> classifiers;
  std::string modelID;

 protected:
  void ProcessCommand(int lineNumber, std::vector<std::string> tokens) override;
};

// One model line of a detection configuration.
struct ModelSpec {
  int stage = 0;
  double threshold = 0.0;  // read as single precision, kept as double
  std::string file;
  Model* model = nullptr;  // loaded by the object manager; not owned here
};

// The largest object size, in input pixels, that a scale line may reach:
// the detection windows of larger objects do not fit the 16-bit records
// that hold windows and model geometry.
inline constexpr int kLargestObjectSize = 65535;

// One scale line: object heights minSize, floor(factor * size), ... <= maxSize.
struct ScaleSpec {
  int minSize = 0;
  int maxSize = 0;
  float xStep = 0.0f;
  float yStep = 0.0f;
  float factor = 0.0f;
  int line = 0;  // configuration line it was read from; 0 when made in memory
};

// Walks the object sizes of a scale line as the pyramid levels are built:
// minSize, then floor(factor * size) taken in single precision, while the
// size is at most maxSize. visit(size) is called for each size and returns
// false to stop the walk. Returns the size from which the factor does not
// grow (the walk stops there: it would repeat forever), else nothing.
template <typename Visit>
std::optional<int> WalkScaleSizes(const ScaleSpec& scale, Visit visit) {
  int size = scale.minSize;
  while (size <= scale.maxSize) {
    if (!visit(size)) break;
    const float next = std::floor(scale.factor * static_cast<float>(size));
    if (!(next > static_cast<float>(size))) return size;
    if (static_cast<double>(next) > static_cast<double>(scale.maxSize)) break;
    size = static_cast<int>(next);
  }
  return std::nullopt;
}

// One object type of a detection configuration and its per-frame results.
struct ObjectType {
  std::string name;
  std::set<int> levels;  // pyramid level indices, filled by the object manager
  std::vector<std::unique_ptr<ModelSpec>> models;  // file order
  std::unique_ptr<std::vector<DetectionWindow>> detections =
      std::make_unique<std::vector<DetectionWindow>>();
  std::vector<std::unique_ptr<ScaleSpec>> scales;  // file order
};

// Reading a scale line ends with a fatal report naming the line when a size
// or a step is not a finite number, when the factor cannot grow minSize, or
// when the sizes it enumerates go beyond kLargestObjectSize. A file without
// any model line is a fatal report naming the file: nothing could be
// detected with it.
class ParametersExecution : public Parser {
 public:
  std::map<std::string, std::unique_ptr<ObjectType>> objectTypes;

 protected:
  void ProcessCommand(int lineNumber, std::vector<std::string> tokens) override;
  void FinishFile(const std::string& fileName) override;
};

}  // namespace pedscan
