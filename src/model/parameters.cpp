#include "model/parameters.h"

#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "support/failure.h"
#include "support/text.h"

namespace pedscan {

namespace {

// One read takes at most this many characters; a longer physical line
// arrives in pieces, each handled (and numbered) as a line of its own.
constexpr int kReadBufferSize = 2047;

constexpr const char* kSource = "parameters";
// Scale lines that cannot be enumerated or scanned.
constexpr int kScaleSizeLine = 104;
constexpr int kScaleStepLine = 106;
constexpr int kScaleFactorLine = 108;
constexpr int kScaleBeyondLargestLine = 110;
// A detection configuration that names no model.
constexpr int kNoModelLine = 124;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

[[noreturn]] void FailNotACommand(const std::string& line) {
  FailPlain(Format("'%s': not a valid command\n", line.c_str()));
}

[[noreturn]] void FailInvalidCommand(int lineNumber, const std::string& command) {
  FailPlain(Format("%d: Invalid command '%s'\n", lineNumber, command.c_str()));
}

// The first keyword (in table order) occurring anywhere in the command, or -1.
// Matching is by substring on purpose: "blocks" is a block line, "myparams"
// a params line.
template <size_t N>
int FindKeyword(const std::string& command, const char* const (&keywords)[N]) {
  for (size_t k = 0; k < N; ++k) {
    if (command.find(keywords[k]) != std::string::npos) return static_cast<int>(k);
  }
  return -1;
}

int ToInt(const std::string& text) { return std::atoi(text.c_str()); }
float ToFloat(const std::string& text) { return static_cast<float>(std::atof(text.c_str())); }

// True when `text`, read as a real number, is finite and within int. A size
// is read with atoi like every integer of the file ("abc" is 0), but "inf",
// "nan" or "1e12" would turn into an arbitrary int there.
bool ReadsAsFiniteInt(const std::string& text) {
  double value = std::strtod(text.c_str(), nullptr);
  return std::isfinite(value) && value >= INT_MIN && value <= INT_MAX;
}

// True when the step from minSize, taken in the single-precision arithmetic
// the pyramid uses, gives a larger finite size. Compared in float so that a
// huge or non-numeric factor cannot overflow an int conversion. A size below
// 1 is no object size, and from one a negative factor or a factor below 1
// can grow the first step and then shrink or swing forever.
bool ScaleStepGrows(float factor, int minSize) {
  float size = static_cast<float>(minSize);
  float next = std::floor(factor * size);
  return minSize >= 1 && next > size && std::isfinite(next);
}

// The first size the line enumerates above kLargestObjectSize, or 0 when
// every size stays within it. Requires a factor that grows minSize (so the
// walk ends after at most kLargestObjectSize + 1 sizes).
int FirstSizeBeyondLargest(const ScaleSpec& scale) {
  int beyond = 0;
  WalkScaleSizes(scale, [&beyond](int size) {
    if (size > kLargestObjectSize) beyond = size;
    return beyond == 0;
  });
  return beyond;
}

ObjectType& FindOrCreateObjectType(std::map<std::string, std::unique_ptr<ObjectType>>& types,
                                   const std::string& name) {
  std::unique_ptr<ObjectType>& type = types[name];
  if (!type) {
    type = std::make_unique<ObjectType>();
    type->name = name;
  }
  return *type;
}

}  // namespace

void Parser::ParseFile(const std::string& fileName) {
  auto cannotOpen = [&fileName] { FailPlain(Format("cannot open '%s'\n", fileName.c_str())); };
  std::unique_ptr<FILE, FileCloser> file(std::fopen(fileName.c_str(), "r"));
  if (!file) cannotOpen();
  // A directory opens for reading here, and then every read fails: it would
  // pass for an empty configuration.
  struct stat status;
  if (fstat(fileno(file.get()), &status) != 0 || S_ISDIR(status.st_mode)) cannotOpen();

  char buffer[kReadBufferSize];
  int lineNumber = 0;
  // Every piece that fgets delivers is a line, including a last line without
  // terminator: dropping it silently would lose a command the user wrote.
  while (std::fgets(buffer, kReadBufferSize, file.get()) != nullptr) {
    ++lineNumber;
    std::vector<std::string> tokens = Tokenize(buffer);
    if (!tokens.empty()) ProcessCommand(lineNumber, std::move(tokens));
  }
  // A read error ends the loop like the end of the file; what was read is
  // not the whole configuration.
  if (std::ferror(file.get())) cannotOpen();
  FinishFile(fileName);
}

void Parser::FinishFile(const std::string& /*fileName*/) {}

std::vector<std::string> Parser::Tokenize(const std::string& line) {
  std::vector<std::string> tokens;
  if (line.empty() || line[0] == '#' || line[0] == '\n' || line[0] == '\r') return tokens;

  size_t open = line.find('<');
  size_t close = line.find('>');
  // A line must read "command <arguments>". Without a command in front of
  // '<' the whole line would become the command and be matched against the
  // keywords, arguments included; without '<' before '>' there is no
  // argument text. Neither is a command line.
  if (open == std::string::npos || close == std::string::npos || close < open || open == 0) {
    FailNotACommand(line);
  }

  // The separator just before '<' is dropped, whatever it is.
  std::string command = line.substr(0, open - 1);
  RemoveSpaces(command);
  tokens.push_back(command);

  std::string arguments = line.substr(open + 1, close - open - 1);
  if (!arguments.empty()) {
    for (std::string& piece : Split(arguments, ',')) {
      RemoveSpaces(piece);
      tokens.push_back(std::move(piece));
    }
  }
  return tokens;
}

void Parser::CheckNumberOfParameters(int lineNumber, const std::string& command, int given,
                                     int expected) {
  if (given != expected) {
    FailPlain(Format("%d: Incorrect number of parameters for command '%s'\n", lineNumber,
                     command.c_str()));
  }
}

std::string Parser::GetToken(const std::vector<std::string>& tokens, int i) {
  return tokens.at(static_cast<size_t>(i));
}

void Parser::RemoveSpaces(std::string& s) {
  size_t kept = 0;
  for (char c : s) {
    if (c != ' ') s[kept++] = c;
  }
  s.resize(kept);
}

void Parameters::ProcessCommand(int lineNumber, std::vector<std::string> tokens) {
  if (tokens.empty()) return;
  static const char* const kKeywords[] = {"block",  "params",  "method",     "region", "window",
                                          "object", "factors", "classifier", "ModelID"};
  static const int kArguments[] = {6, 3, 4, 4, 2, 4, 1, 1, 1};
  enum { kBlock, kParams, kMethod, kRegion, kWindow, kObject, kFactors, kClassifier, kModelID };

  const std::string& command = tokens[0];
  int keyword = FindKeyword(command, kKeywords);
  if (keyword < 0) FailInvalidCommand(lineNumber, command);
  CheckNumberOfParameters(lineNumber, command, static_cast<int>(tokens.size()) - 1,
                          kArguments[keyword]);

  switch (keyword) {
    case kBlock: {
      BlockSize size;
      size.width = ToInt(tokens[2]);
      size.height = ToInt(tokens[3]);
      size.xStep = ToInt(tokens[4]);
      size.yStep = ToInt(tokens[5]);
      size.reserved = ToInt(tokens[6]);
      blockSizes[tokens[1]].push_back(size);
      break;
    }
    case kParams:
      // emplace keeps an existing value: the first line for a key counts.
      paramSets[tokens[1]].emplace(tokens[2], tokens[3]);
      break;
    case kMethod: {
      MethodSpec methodSpec;
      methodSpec.blockSet = tokens[2];
      methodSpec.number = ToInt(tokens[3]);
      methodSpec.paramSet = tokens[4];
      methods.emplace(tokens[1], methodSpec);
      break;
    }
    case kRegion: {
      BlockRect region;
      region.x0 = ToInt(tokens[1]);
      region.y0 = ToInt(tokens[2]);
      region.x1 = ToInt(tokens[3]);
      region.y1 = ToInt(tokens[4]);
      regions.push_back(region);
      break;
    }
    case kWindow:
      window.width = ToInt(tokens[1]);
      window.height = ToInt(tokens[2]);
      break;
    case kObject:
      object.x0 = static_cast<int16_t>(ToInt(tokens[1]));
      object.y0 = static_cast<int16_t>(ToInt(tokens[2]));
      object.width = static_cast<int16_t>(ToInt(tokens[3]));
      object.height = static_cast<int16_t>(ToInt(tokens[4]));
      break;
    case kFactors:
      factors = ToInt(tokens[1]);
      break;
    case kClassifier:
      classifiers.push_back(tokens[1]);
      break;
    case kModelID:
      modelID = tokens[1];
      break;
  }
}

void ParametersExecution::ProcessCommand(int lineNumber, std::vector<std::string> tokens) {
  if (tokens.empty()) return;
  static const char* const kKeywords[] = {"model", "scale"};
  static const int kArguments[] = {4, 6};
  enum { kModel, kScale };

  const std::string& command = tokens[0];
  int keyword = FindKeyword(command, kKeywords);
  if (keyword < 0) FailInvalidCommand(lineNumber, command);
  CheckNumberOfParameters(lineNumber, command, static_cast<int>(tokens.size()) - 1,
                          kArguments[keyword]);

  if (keyword == kScale) {
    for (int i : {2, 3}) {
      if (!ReadsAsFiniteInt(tokens[i])) {
        Fatal(kSource, "ParametersExecution::ProcessCommand", kScaleSizeLine,
              Format("line %d: scale size '%s' is not a finite number", lineNumber,
                     tokens[i].c_str()));
      }
    }
    auto scale = std::make_unique<ScaleSpec>();
    scale->minSize = ToInt(tokens[2]);
    scale->maxSize = ToInt(tokens[3]);
    scale->xStep = ToFloat(tokens[4]);
    scale->yStep = ToFloat(tokens[5]);
    scale->factor = ToFloat(tokens[6]);
    scale->line = lineNumber;
    // A step is a fraction of the object size; a step below one pixel moves
    // one pixel, but a NaN or infinite one has no pixel count at all.
    for (int i : {4, 5}) {
      if (!std::isfinite(ToFloat(tokens[i]))) {
        Fatal(kSource, "ParametersExecution::ProcessCommand", kScaleStepLine,
              Format("line %d: scale step '%s' is not a finite number", lineNumber,
                     tokens[i].c_str()));
      }
    }
    // The sizes run minSize, floor(factor * minSize), ... while <= maxSize;
    // a step that does not grow the size would repeat forever. Checking the
    // first step is enough: if factor * minSize >= minSize + 1, then for any
    // larger size s, factor * s = s + (s / minSize) * (factor * minSize -
    // minSize) >= s + 1, so every later step grows as well.
    if (scale->minSize <= scale->maxSize && !ScaleStepGrows(scale->factor, scale->minSize)) {
      Fatal(kSource, "ParametersExecution::ProcessCommand", kScaleFactorLine,
            Format("line %d: scale factor %g does not increase the object size %d",
                   lineNumber, scale->factor, scale->minSize));
    }
    // Every size becomes a pyramid level; a size whose windows cannot be
    // recorded would only make levels no image can use (and a line such as
    // 100000 to 2000000000 by 1.00001 would make a million of them).
    if (int beyond = FirstSizeBeyondLargest(*scale); beyond != 0) {
      Fatal(kSource, "ParametersExecution::ProcessCommand", kScaleBeyondLargestLine,
            Format("line %d: scale line reaches object size %d, beyond the largest object size "
                   "%d",
                   lineNumber, beyond, kLargestObjectSize));
    }
    FindOrCreateObjectType(objectTypes, tokens[1]).scales.push_back(std::move(scale));
    return;
  }

  auto model = std::make_unique<ModelSpec>();
  model->stage = ToInt(tokens[2]);
  model->threshold = static_cast<double>(ToFloat(tokens[3]));
  model->file = tokens[4];
  FindOrCreateObjectType(objectTypes, tokens[1]).models.push_back(std::move(model));
}

void ParametersExecution::FinishFile(const std::string& fileName) {
  for (const auto& [name, type] : objectTypes) {
    if (!type->models.empty()) return;
  }
  Fatal(kSource, "ParametersExecution::ParseFile", kNoModelLine,
        Format("detection configuration '%s' has no model line", fileName.c_str()));
}

}  // namespace pedscan
