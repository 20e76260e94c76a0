#include "model/Storage.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>

#include "model/yaml_screen.h"
#include "support/atomic_file.h"
#include "support/failure.h"

namespace pedscan {

namespace {

constexpr const char* kSource = "Storage";

constexpr int kOpenWriteLine = 20;
constexpr int kWriteFailedLine = 22;
constexpr int kParameterNameLine = 24;
constexpr int kUnstorableTextLine = 26;
constexpr int kOpenReadLine = 28;
constexpr int kUnparsableOpenLine = 30;
constexpr int kUnsafeTextLine = 32;
constexpr int kTooLargeLine = 34;
constexpr const char* kOpenMessage = "couldn't open storage file";
constexpr int kMatrixSizeLine = 104;
constexpr const char* kMatrixSizeMessage = "number of bytes read inconsistent with matrix size";
constexpr int kNotVectorLine = 127;
constexpr const char* kNotVectorMessage = "not a vector!";
constexpr int kVectorSizeLine = 136;
constexpr const char* kVectorSizeMessage = "number of bytes read inconsistent with vector size";
constexpr int kUnparsableLine = 512;
constexpr int kMissingKeyLine = 514;
constexpr int kWrongTypeLine = 516;
constexpr int kRawFeaturesLine = 524;
constexpr const char* kRawFeaturesMessage = "improper size of 'nrawfeatures' (<0)";
constexpr int kTooManyRawFeaturesLine = 526;
constexpr int kInconsistentLine = 540;
constexpr int kBlockOutsideLine = 548;
constexpr int kNoClassifierLine = 552;

// Longest base64 text of one "data" element; a multiple of 4, so that every
// chunk decodes on its own.
constexpr size_t kChunkLength = 3000;
// The same limit as the raw feature vector of a model.
constexpr int kMaxRawFeatures = 1000000;
// Model files are read whole before parsing. The largest real model (a
// raw vector of 1,000,000 features with its window matrices at 10 factors)
// stays well below this; a longer file is not a model, and reading it would
// only exhaust memory.
constexpr int64_t kMaxModelFileBytes = int64_t{256} << 20;
// No stored matrix comes near this; a larger count is a corrupt record.
constexpr int64_t kMaxElements = (int64_t{1} << 30) - 1;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Upper bound of the bytes DecodeBase64 can give for `length` characters.
int64_t MaxDecodedBytes(size_t length) {
  const size_t rest = length % 4;
  return static_cast<int64_t>(length / 4 * 3 + (rest >= 2 ? rest - 1 : 0));
}

// Bytes of rows x cols float elements, or -1 when the counts cannot describe
// a matrix (negative, overflowing, absurd); -1 never equals a byte count read,
// so such a record ends with the size-mismatch report.
int64_t ElementBytes(int64_t rows, int64_t cols) {
  if (rows < 0 || cols < 0) return -1;
  if (rows != 0 && cols > kMaxElements / rows) return -1;
  return rows * cols * 4;
}

// Stored elements are IEEE-754 single precision, least significant byte
// first, whatever the byte order of the machine.
std::vector<uint8_t> FloatsToBytes(const float* values, size_t count) {
  std::vector<uint8_t> bytes(count * 4);
  for (size_t i = 0; i < count; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &values[i], 4);
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(bits >> (8 * b));
  }
  return bytes;
}

void BytesToFloats(const std::vector<uint8_t>& bytes, float* values) {
  for (size_t i = 0; i < bytes.size() / 4; ++i) {
    uint32_t bits = 0;
    for (int b = 0; b < 4; ++b) bits |= static_cast<uint32_t>(bytes[4 * i + b]) << (8 * b);
    std::memcpy(&values[i], &bits, 4);
  }
}

// A string written quoted by the file storage: it leaves a string that starts
// and ends with '"' as it is, and its reader undoes these escapes. (A raw
// tab inside quotes would make the reader fail.)
std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\t': quoted += "\\t"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      default: quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

// Control characters other than tab, line feed and carriage return have no
// escape that the file storage reads back faithfully.
bool IsStorableText(const std::string& text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 32 && c != '\t' && c != '\n' && c != '\r';
  });
}

// The names the file storage accepts as mapping keys. "feature" and "names"
// are the record's own keys and would hide the parameter.
bool IsStorableParameterName(const std::string& name) {
  if (name.empty() || name == "feature" || name == "names") return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!letter(name[0]) && name[0] != '_') return false;
  return std::all_of(name.begin(), name.end(), [&](char c) {
    return letter(c) || digit(c) || c == '_' || c == '-' || c == ' ';
  });
}

// Numbers follow the file storage's node rules, spelled out so that they do
// not depend on the library's defaults: an int key holding a real is the real
// rounded to nearest (halves to even), holding anything else 2147483647.
int ReadInt(const cv::FileNode& parent, const std::string& key, int missing) {
  cv::FileNode node = parent[key];
  if (node.isNone()) return missing;
  if (node.isInt()) return static_cast<int>(node);
  if (node.isReal()) {
    const double value = static_cast<double>(node);
    if (std::isnan(value) || value >= 2147483647.0) return INT_MAX;
    if (value <= -2147483648.0) return INT_MIN;
    return static_cast<int>(std::nearbyint(value));
  }
  return INT_MAX;
}

// A real key holding an int is that int; missing is 0.0; anything else 1e300.
double ReadReal(const cv::FileNode& parent, const std::string& key) {
  cv::FileNode node = parent[key];
  if (node.isNone()) return 0.0;
  if (node.isInt()) return static_cast<double>(static_cast<int>(node));
  if (node.isReal()) return static_cast<double>(node);
  return 1e300;
}

// Out-of-range reals become infinities in the single-precision fields.
float ToFloat(double value) {
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
    return value > 0 ? std::numeric_limits<float>::infinity()
                     : -std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(value);
}

// What the file storage found wrong with a file, in a few words.
std::string ReadProblem(const cv::Exception& e) {
  if (e.code == cv::Error::StsParseError) {
    // The parser puts "<file>(<line>): <problem>" where the function goes.
    const size_t close = e.func.rfind("): ");
    const size_t open = close == std::string::npos ? close : e.func.rfind('(', close);
    if (open != std::string::npos) {
      return "line " + e.func.substr(open + 1, close - open - 1) + ": " + e.func.substr(close + 3);
    }
    return e.func;
  }
  if (e.code == cv::Error::StsAssert) return "empty, or not a YAML file storage";
  return e.err;
}

}  // namespace

std::string EncodeBase64(const uint8_t* bytes, size_t count) {
  std::string text;
  text.reserve((count + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    const uint32_t group = static_cast<uint32_t>(bytes[i]) << 16 |
                           static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
    text += kAlphabet[group >> 18 & 63];
    text += kAlphabet[group >> 12 & 63];
    text += kAlphabet[group >> 6 & 63];
    text += kAlphabet[group & 63];
  }
  const size_t rest = count - i;
  if (rest > 0) {
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    text += kAlphabet[group >> 18 & 63];
    text += kAlphabet[group >> 12 & 63];
    text += rest == 2 ? kAlphabet[group >> 6 & 63] : '=';
    text += '=';
  }
  return text;
}

void DecodeBase64(const std::string& text, std::vector<uint8_t>& out) {
  uint32_t group = 0;
  int count = 0;
  for (char c : text) {
    const int value = Base64Value(c);
    if (value < 0) break;  // '=' or a character outside the alphabet
    group = group << 6 | static_cast<uint32_t>(value);
    if (++count == 4) {
      out.push_back(static_cast<uint8_t>(group >> 16));
      out.push_back(static_cast<uint8_t>(group >> 8));
      out.push_back(static_cast<uint8_t>(group));
      group = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out.push_back(static_cast<uint8_t>(group >> 4));
  } else if (count == 3) {
    out.push_back(static_cast<uint8_t>(group >> 10));
    out.push_back(static_cast<uint8_t>(group >> 2));
  }
}

// ---------------------------------------------------------------- writing

void Storage::InitilizeStoratoWrite(const std::string& fileName) {
  fileName_ = fileName;
  // Probing with fopen first keeps the library's own complaint off stderr.
  FILE* probe = std::fopen(fileName.c_str(), "wb");
  if (probe == nullptr) Fatal(kSource, "Storage::InitilizeStoratoWrite", kOpenWriteLine, kOpenMessage);
  std::fclose(probe);
  bool opened = false;
  try {
    opened = fs.open(fileName, cv::FileStorage::WRITE | cv::FileStorage::FORMAT_YAML);
  } catch (const cv::Exception&) {
    opened = false;
  }
  if (!opened) Fatal(kSource, "Storage::InitilizeStoratoWrite", kOpenWriteLine, kOpenMessage);
}

void Storage::WriteRaw(const float* elements, int rows, int cols, size_t byteCount,
                       const std::string& name) {
  fs.startWriteStruct(name, cv::FileNode::MAP);
  fs.write("rows", rows);
  fs.write("cols", cols);
  const std::vector<uint8_t> bytes = FloatsToBytes(elements, byteCount / 4);
  const std::string text = EncodeBase64(bytes.data(), bytes.size());
  fs.startWriteStruct("data", cv::FileNode::SEQ);
  for (size_t offset = 0; offset < text.size(); offset += kChunkLength) {
    fs.write(cv::String(), "\"" + text.substr(offset, kChunkLength) + "\"");
  }
  fs.endWriteStruct();
  fs.endWriteStruct();
}

void Storage::WriteMatrix(const Matrix& m, const std::string& name) {
  WriteRaw(m.data(), m.rows(), m.cols(),
           sizeof(float) * static_cast<size_t>(m.rows()) * static_cast<size_t>(m.cols()), name);
}

void Storage::WriteVector(const Vector& v, const std::string& name) {
  WriteRaw(v.data(), 1, v.n(), sizeof(float) * static_cast<size_t>(v.n()), name);
}

void Storage::WriteQuoted(const std::string& key, const std::string& value) {
  fs.write(key, Quote(value));
}

// A member that a loaded model no longer holds (T and Y are dropped on
// reading) is written as an empty record, so that the file stays complete.
void Storage::WriteMatrixOrEmpty(const MatrixPtr& m, const std::string& name) {
  if (m) {
    WriteMatrix(*m, name);
  } else {
    WriteRaw(nullptr, 0, 0, 0, name);
  }
}

void Storage::WriteVectorOrEmpty(const VectorPtr& v, const std::string& name) {
  if (v) {
    WriteVector(*v, name);
  } else {
    WriteRaw(nullptr, 1, 0, 0, name);
  }
}

std::string Storage::ModelText(const Model& model, const std::string& fileName) {
  // Everything that could not be read back as written is refused before the
  // file is touched.
  auto checkText = [&](const std::string& text) {
    if (!IsStorableText(text)) {
      Fatal(kSource, "Storage::WriteModel", kUnstorableTextLine,
            Format("text '%s' cannot be stored in model file '%s' (control character)",
                   text.c_str(), fileName.c_str()));
    }
  };
  checkText(model.modelID);
  for (const std::unique_ptr<BlockModel>& block : model.blockModels) {
    checkText(block->feature);
    checkText(block->params);
  }
  for (const auto& [set, parameters] : model.FeatureParameters) {
    checkText(set);
    for (const auto& entry : parameters) {
      checkText(entry.second);
      if (!IsStorableParameterName(entry.first)) {
        Fatal(kSource, "Storage::WriteModel", kParameterNameLine,
              Format("parameter name '%s' of parameter set '%s' cannot be stored in model file "
                     "'%s' (it must start with a letter or '_' and hold only letters, digits, "
                     "'_' and '-', and must not be 'feature' or 'names')",
                     entry.first.c_str(), set.c_str(), fileName.c_str()));
      }
    }
  }
  fileName_ = fileName;
  try {
    fs.open(".yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    WriteModelBody(model);
    return fs.releaseAndGetString();
  } catch (const cv::Exception& e) {
    try {
      fs.release();
    } catch (const cv::Exception&) {
    }
    Fatal(kSource, "Storage::WriteModel", kWriteFailedLine,
          Format("couldn't write model file '%s': %s", fileName.c_str(), e.err.c_str()));
  }
}

void Storage::WriteModel(const Model& model, const std::string& fileName) {
  const std::string text = ModelText(model, fileName);
  AtomicFile file(fileName);
  if (!file.Open()) Fatal(kSource, "Storage::InitilizeStoratoWrite", kOpenWriteLine, kOpenMessage);
  if (!file.Write(text) || !file.Commit()) {
    Fatal(kSource, "Storage::WriteModel", kWriteFailedLine,
          Format("couldn't write model file '%s': %s", fileName.c_str(), file.error().c_str()));
  }
}

void Storage::WriteModelBody(const Model& model) {
  WriteQuoted("version", "0.1.0");
  WriteQuoted("modelID", model.modelID);
  fs.write("nfactors", model.nfactors);
  fs.write("nfeatures", model.nfeatures);
  fs.write("nrawfeatures", model.nrawfeatures);
  fs.write("windowW", static_cast<int>(model.windowW));
  fs.write("windowH", static_cast<int>(model.windowH));
  fs.write("objW", static_cast<int>(model.objW));
  fs.write("objH", static_cast<int>(model.objH));
  fs.write("objX0", static_cast<int>(model.objX0));
  fs.write("objY0", static_cast<int>(model.objY0));
  fs.write("AllRawFeatures", model.AllRawFeatures ? 1 : 0);
  fs.write("nblocks", static_cast<int>(model.blockModels.size()));
  WriteQuoted("encoding", "base64");

  fs.startWriteStruct("FeatureParameters", cv::FileNode::SEQ);
  for (const auto& [set, parameters] : model.FeatureParameters) {
    fs.startWriteStruct(cv::String(), cv::FileNode::MAP);
    WriteQuoted("feature", set);
    fs.startWriteStruct("names", cv::FileNode::SEQ);
    for (const auto& entry : parameters) fs.write(cv::String(), Quote(entry.first));
    fs.endWriteStruct();
    for (const auto& [key, value] : parameters) WriteQuoted(key, value);
    fs.endWriteStruct();
  }
  fs.endWriteStruct();

  const PLS& pls = model.pls;
  WriteVectorOrEmpty(pls.b, "b");
  WriteMatrixOrEmpty(pls.P, "P");
  WriteMatrixOrEmpty(pls.T, "T");
  WriteMatrixOrEmpty(pls.W, "W");
  WriteMatrixOrEmpty(pls.Wstar, "WStar");
  WriteVectorOrEmpty(pls.XMean, "XMean");
  WriteVectorOrEmpty(pls.XStd, "XStd");
  WriteVectorOrEmpty(pls.Y, "Y");

  // A classifier flag is written set only with the classifier it promises.
  const bool useQDA = model.useQDA && model.qda;
  fs.write("useQDA", useQDA ? 1 : 0);
  if (useQDA) {
    const QDA& qda = *model.qda;
    fs.startWriteStruct("qda", cv::FileNode::MAP);
    fs.write("logPriori", static_cast<double>(qda.logPriori));
    fs.write("logDetSigma1", static_cast<double>(qda.logDetSigma1));
    fs.write("logDetSigma2", static_cast<double>(qda.logDetSigma2));
    WriteMatrixOrEmpty(qda.Gmeans, "Gmeans");
    WriteMatrixOrEmpty(qda.invR1, "invR1");
    WriteMatrixOrEmpty(qda.invR2, "invR2");
    fs.endWriteStruct();
  }
  const bool usePLSReg = model.usePLSReg && model.PLSReg;
  fs.write("usePLSReg", usePLSReg ? 1 : 0);
  if (usePLSReg) {
    const PLSRegression& regression = *model.PLSReg;
    fs.startWriteStruct("PLSReg", cv::FileNode::MAP);
    WriteVectorOrEmpty(regression.Bstar, "Bstar");
    WriteMatrixOrEmpty(regression.Wstar, "Wstar");
    WriteMatrixOrEmpty(regression.T, "T");
    WriteVectorOrEmpty(regression.Y, "Y");
    fs.write("YMean", static_cast<double>(regression.YMean));
    fs.endWriteStruct();
  }

  fs.startWriteStruct("blockModels", cv::FileNode::SEQ);
  for (const std::unique_ptr<BlockModel>& block : model.blockModels) {
    fs.startWriteStruct(cv::String(), cv::FileNode::MAP);
    fs.write("feature", block->feature);
    fs.write("params", block->params);
    fs.write("nfeatures", block->nfeatures);
    fs.write("x0", block->rect.x0);
    fs.write("y0", block->rect.y0);
    fs.write("x1", block->rect.x1);
    fs.write("y1", block->rect.y1);
    fs.write("w", block->rect.width);
    fs.write("h", block->rect.height);
    fs.write("raw", block->raw ? 1 : 0);
    if (!block->raw) {
      fs.write("nfactors", block->nfactors);
      WriteMatrixOrEmpty(block->pls.W, "W");
      WriteMatrixOrEmpty(block->pls.Wstar, "Wstar");
      WriteVectorOrEmpty(block->pls.b, "b");
      WriteVectorOrEmpty(block->pls.XStd, "std");
      WriteVectorOrEmpty(block->pls.XMean, "mean");
    }
    fs.endWriteStruct();
  }
  fs.endWriteStruct();
}

// ---------------------------------------------------------------- reading

void Storage::InitilizeStoragetoRead(const std::string& fileName) {
  fileName_ = fileName;
  const char* function = "Storage::InitilizeStoragetoRead";
  // The text is read whole and the parser is given exactly these bytes, so
  // that what the screen below has walked is what the parser sees.
  FILE* file = std::fopen(fileName.c_str(), "rb");
  if (file == nullptr) Fatal(kSource, function, kOpenReadLine, kOpenMessage);
  std::string text;
  char chunk[65536];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    text.append(chunk, got);
    if (static_cast<int64_t>(text.size()) > kMaxModelFileBytes) break;
  }
  const bool failed = std::ferror(file) != 0;  // a directory, for one
  std::fclose(file);
  if (failed) Fatal(kSource, function, kOpenReadLine, kOpenMessage);
  if (static_cast<int64_t>(text.size()) > kMaxModelFileBytes) {
    Fatal(kSource, function, kTooLargeLine,
          Format("model file '%s' is larger than %lld bytes", fileName.c_str(),
                 static_cast<long long>(kMaxModelFileBytes)));
  }
  auto refuse = [&](const std::string& problem) {
    Fatal(kSource, function, kUnsafeTextLine,
          Format("cannot read model file '%s': %s", fileName.c_str(), problem.c_str()));
  };

  // Only text that starts as the writer starts it goes to the parser, and
  // only after the screen has walked it. Anything else is refused here:
  // given by name, the file storage would pick a parser of its own from the
  // first bytes, read the file itself (cutting lines at NUL bytes, so that
  // it parses other text than the screen saw) or decompress it.
  if (text.compare(0, 5, "%YAML") != 0) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) refuse("a byte order mark before the YAML header");
    if (text.compare(0, 2, "\x1F\x8B") == 0) refuse("compressed model files are not read");
    if (!text.empty() && (text[0] == '{' || text.compare(0, 5, "<?xml") == 0)) {
      refuse("not a YAML file storage");
    }
    Fatal(kSource, function, kUnparsableOpenLine,
          Format("cannot read model file '%s': empty, or not a YAML file storage",
                 fileName.c_str()));
  }
  if (std::optional<YamlProblem> problem = ScreenYaml(text)) {
    refuse(Format("line %d: %s", problem->line, problem->problem.c_str()));
  }

  bool opened = false;
  try {
    opened = fs.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY |
                               cv::FileStorage::FORMAT_YAML);
  } catch (const cv::Exception& e) {
    Fatal(kSource, function, kUnparsableOpenLine,
          Format("cannot read model file '%s': %s", fileName.c_str(), ReadProblem(e).c_str()));
  } catch (const std::exception& e) {
    // The screen should leave the parser nothing to throw anything else for;
    // should it still, the report names the file.
    Fatal(kSource, function, kUnparsableOpenLine,
          Format("cannot read model file '%s': %s", fileName.c_str(), e.what()));
  }
  if (!opened) Fatal(kSource, function, kOpenReadLine, kOpenMessage);
  root_ = fs.root();
}

std::string Storage::KeyPath(const std::string& key) const {
  return record_.empty() ? key : record_ + "." + key;
}

void Storage::FailMissingKey(const std::string& key) const {
  Fatal(kSource, "Storage::ReadModel", kMissingKeyLine,
        Format("missing key '%s' in model file '%s'", KeyPath(key).c_str(), fileName_.c_str()));
}

void Storage::FailWrongType(const std::string& key, const char* expected) const {
  Fatal(kSource, "Storage::ReadModel", kWrongTypeLine,
        Format("key '%s' in model file '%s' does not hold %s", KeyPath(key).c_str(),
               fileName_.c_str(), expected));
}

void Storage::FailInconsistent(const std::string& detail) const {
  Fatal(kSource, "Storage::ReadModel", kInconsistentLine,
        Format("model file '%s' is inconsistent: %s", fileName_.c_str(), detail.c_str()));
}

cv::FileNode Storage::RequireNode(const cv::FileNode& parent, const std::string& key) {
  cv::FileNode node = parent[key];
  if (node.isNone()) FailMissingKey(key);
  return node;
}

cv::FileNode Storage::RequireMap(const cv::FileNode& parent, const std::string& key) {
  cv::FileNode node = RequireNode(parent, key);
  if (!node.isMap()) FailWrongType(key, "a mapping");
  return node;
}

cv::FileNode Storage::RequireSeq(const cv::FileNode& parent, const std::string& key) {
  cv::FileNode node = RequireNode(parent, key);
  if (!node.isSeq()) FailWrongType(key, "a sequence");
  return node;
}

std::string Storage::ReadString(const cv::FileNode& parent, const std::string& key,
                                bool required) {
  cv::FileNode node = parent[key];
  if (node.isNone()) {
    if (required) FailMissingKey(key);
    return std::string();
  }
  if (!node.isString()) FailWrongType(key, "a string");
  return node.string();
}

cv::FileNode Storage::MatrixNode(const std::string& name, const cv::FileNode* parent) {
  cv::FileNode node = RequireNode(parent ? *parent : root_, name);
  if (!node.isMap()) FailWrongType(name, "a matrix record");
  return node;
}

bool Storage::ReadData(const cv::FileNode& matrix, const std::string& name, int64_t expected,
                       std::vector<uint8_t>& bytes) {
  if (expected < 0) return false;
  cv::FileNode data = matrix["data"];
  if (data.isNone()) {
    bytes.clear();
    return expected == 0;
  }
  if (!data.isSeq()) FailWrongType(name + ".data", "a sequence of base64 strings");
  std::vector<std::string> chunks;
  int64_t capacity = 0;
  for (cv::FileNodeIterator it = data.begin(); it != data.end(); ++it) {
    cv::FileNode chunk = *it;
    if (!chunk.isString()) FailWrongType(name + ".data", "a sequence of base64 strings");
    chunks.push_back(chunk.string());
    capacity += MaxDecodedBytes(chunks.back().size());
  }
  // When the text cannot hold the elements, stop before allocating for
  // counts that a corrupt record may make absurd.
  if (capacity < expected) return false;

  bytes.assign(static_cast<size_t>(expected), 0);
  std::vector<uint8_t> decoded;
  int64_t total = 0;
  for (const std::string& chunk : chunks) {
    decoded.clear();
    DecodeBase64(chunk, decoded);
    const int64_t size = static_cast<int64_t>(decoded.size());
    if (total + size > expected) return false;
    if (size > 0) std::memcpy(bytes.data() + total, decoded.data(), decoded.size());
    total += size;
  }
  return total == expected;
}

MatrixPtr Storage::ReadMatrix(const std::string& name, const cv::FileNode* parent) {
  cv::FileNode node = MatrixNode(name, parent);
  const int rows = ReadInt(node, "rows", 0);
  const int cols = ReadInt(node, "cols", 0);
  std::vector<uint8_t> bytes;
  if (!ReadData(node, name, ElementBytes(rows, cols), bytes)) {
    Fatal(kSource, "Storage::ReadMatrix", kMatrixSizeLine, kMatrixSizeMessage);
  }
  auto m = std::make_unique<Matrix>(rows, cols);
  BytesToFloats(bytes, m->data());
  return m;
}

VectorPtr Storage::ReadVector(const std::string& name, const cv::FileNode* parent) {
  cv::FileNode node = MatrixNode(name, parent);
  const int rows = ReadInt(node, "rows", 0);
  const int cols = ReadInt(node, "cols", 0);
  if (rows != 1 && cols != 1) Fatal(kSource, "Storage::ReadVector", kNotVectorLine, kNotVectorMessage);
  // A vector may be stored as a row or a column: n is the larger count. The
  // writer stores a vector of no elements as 1 x 0 with no data, which
  // therefore reads back empty.
  int n = std::max(rows, cols);
  if (std::min(rows, cols) < 0) Fatal(kSource, "Storage::ReadVector", kVectorSizeLine, kVectorSizeMessage);
  std::vector<uint8_t> bytes;
  if (std::min(rows, cols) == 0 && ReadData(node, name, 0, bytes)) n = 0;
  if (n != 0 && !ReadData(node, name, ElementBytes(1, n), bytes)) {
    Fatal(kSource, "Storage::ReadVector", kVectorSizeLine, kVectorSizeMessage);
  }
  auto v = std::make_unique<Vector>(n);
  BytesToFloats(bytes, v->data());
  return v;
}

MatrixPtr Storage::ReadOptionalMatrix(const std::string& name, const cv::FileNode& parent) {
  if (parent[name].isNone()) return nullptr;
  return ReadMatrix(name, &parent);
}

VectorPtr Storage::ReadOptionalVector(const std::string& name, const cv::FileNode& parent) {
  if (parent[name].isNone()) return nullptr;
  return ReadVector(name, &parent);
}

std::unique_ptr<Model> Storage::ReadModel(const std::string& fileName) {
  InitilizeStoragetoRead(fileName);
  try {
    std::unique_ptr<Model> model = ReadModelBody();
    fs.release();
    return model;
  } catch (const cv::Exception& e) {
    Fatal(kSource, "Storage::ReadModel", kUnparsableLine,
          Format("cannot read model file '%s': %s", fileName.c_str(), ReadProblem(e).c_str()));
  }
}

std::unique_ptr<Model> Storage::ReadModelBody() {
  record_.clear();
  if (!root_.isMap()) {
    Fatal(kSource, "Storage::ReadModel", kWrongTypeLine,
          Format("model file '%s' does not hold a mapping of model keys", fileName_.c_str()));
  }
  const cv::FileNode& root = root_;
  auto model = std::make_unique<Model>();
  model->modelID = ReadString(root, "modelID", false);
  model->nfactors = ReadInt(root, "nfactors", -1);
  model->nfeatures = ReadInt(root, "nfeatures", -1);
  model->nrawfeatures = ReadInt(root, "nrawfeatures", -1);
  model->windowW = static_cast<int16_t>(ReadInt(root, "windowW", -1));
  model->windowH = static_cast<int16_t>(ReadInt(root, "windowH", -1));
  model->objW = static_cast<int16_t>(ReadInt(root, "objW", -1));
  model->objH = static_cast<int16_t>(ReadInt(root, "objH", -1));
  model->objX0 = static_cast<int16_t>(ReadInt(root, "objX0", -1));
  model->objY0 = static_cast<int16_t>(ReadInt(root, "objY0", -1));
  model->AllRawFeatures = ReadInt(root, "AllRawFeatures", 0) != 0;

  ReadFeatureParameters(*model);

  if (model->nrawfeatures < 0) {
    Fatal(kSource, "Storage::ReadModel", kRawFeaturesLine, kRawFeaturesMessage);
  }
  if (model->nrawfeatures > kMaxRawFeatures) {
    Fatal(kSource, "Storage::ReadModel", kTooManyRawFeaturesLine,
          Format("improper size of 'nrawfeatures' (%d > %d) in model file '%s'",
                 model->nrawfeatures, kMaxRawFeatures, fileName_.c_str()));
  }

  VectorPtr b = ReadOptionalVector("b", root);
  MatrixPtr P = ReadOptionalMatrix("P", root);
  MatrixPtr W = ReadOptionalMatrix("W", root);
  // The training scores and labels are read (so that a damaged record is
  // still noticed) and dropped: only training needs them.
  ReadOptionalMatrix("T", root);
  ReadOptionalMatrix("Y", root);
  // The PLS objects get their scratch (sized by Wstar's rows) only once every
  // count has been checked against the others: a record of no elements may
  // claim any number of rows.
  PLS& pls = model->pls;
  pls.W = std::move(W);
  pls.P = std::move(P);
  pls.Wstar = ReadMatrix("WStar", &root);
  pls.XMean = ReadVector("XMean", &root);
  pls.XStd = ReadVector("XStd", &root);
  pls.b = std::move(b);

  ReadClassifiers(*model);
  ReadBlocks(*model);
  CheckModelShapes(*model);
  InstallScratch(pls);
  for (const std::unique_ptr<BlockModel>& block : model->blockModels) {
    if (!block->raw) InstallScratch(block->pls);
  }
  model->AllocateBuffers();
  return model;
}

void Storage::InstallScratch(PLS& pls) {
  pls.SetModel(std::move(pls.W), std::move(pls.P), std::move(pls.Wstar), std::move(pls.XMean),
               std::move(pls.XStd), std::move(pls.b));
}

void Storage::ReadFeatureParameters(Model& model) {
  cv::FileNode sets = RequireSeq(root_, "FeatureParameters");
  int index = 0;
  for (cv::FileNodeIterator it = sets.begin(); it != sets.end(); ++it, ++index) {
    cv::FileNode record = *it;
    if (!record.isMap()) FailWrongType(Format("FeatureParameters[%d]", index), "a mapping");
    record_ = Format("FeatureParameters[%d]", index);
    const std::string set = ReadString(record, "feature", true);
    cv::FileNode names = RequireSeq(record, "names");
    ParameterMap& parameters = model.FeatureParameters[set];
    // The record's keys looked up once, so that a set of many names costs no
    // walk of the record per name. A repeated key is found at its first
    // occurrence, as a lookup in the record would find it.
    std::map<std::string, cv::FileNode> entries;
    for (cv::FileNodeIterator entry = record.begin(); entry != record.end(); ++entry) {
      entries.emplace((*entry).name(), *entry);
    }
    for (cv::FileNodeIterator name = names.begin(); name != names.end(); ++name) {
      if (!(*name).isString()) FailWrongType("names", "a sequence of strings");
      const std::string key = (*name).string();
      // An empty name cannot be a key of the record; its value is empty.
      std::string value;
      auto found = key.empty() ? entries.end() : entries.find(key);
      if (found != entries.end()) {
        if (!found->second.isString()) FailWrongType(key, "a string");
        value = found->second.string();
      }
      parameters.emplace(key, value);  // a repeated name keeps its first value
    }
  }
  record_.clear();
}

void Storage::ReadClassifiers(Model& model) {
  // Only exactly 1 selects a classifier.
  if (ReadInt(root_, "useQDA", 0) == 1) {
    cv::FileNode node = RequireMap(root_, "qda");
    record_ = "qda";
    auto qda = std::make_unique<QDA>();
    qda->logPriori = ToFloat(ReadReal(node, "logPriori"));
    qda->logDetSigma1 = ToFloat(ReadReal(node, "logDetSigma1"));
    qda->logDetSigma2 = ToFloat(ReadReal(node, "logDetSigma2"));
    MatrixPtr Gmeans = ReadMatrix("Gmeans", &node);
    MatrixPtr invR1 = ReadMatrix("invR1", &node);
    MatrixPtr invR2 = ReadMatrix("invR2", &node);
    const int K = invR2->cols();
    if (invR2->rows() != K || invR1->rows() != K || invR1->cols() != K ||
        Gmeans->rows() != 2 || Gmeans->cols() != K) {
      FailInconsistent(Format("'qda' holds Gmeans %dx%d, invR1 %dx%d and invR2 %dx%d, not "
                              "2xK, KxK and KxK",
                              Gmeans->rows(), Gmeans->cols(), invR1->rows(), invR1->cols(),
                              invR2->rows(), invR2->cols()));
    }
    qda->invR1 = std::move(invR1);
    qda->SetInvR2(std::move(invR2));
    qda->SetGmeans(std::move(Gmeans));
    model.qda = std::move(qda);
    model.useQDA = true;
    model.usePLSReg = false;
    record_.clear();
  }
  if (ReadInt(root_, "usePLSReg", 0) == 1) {
    cv::FileNode node = RequireMap(root_, "PLSReg");
    record_ = "PLSReg";
    auto regression = std::make_unique<PLSRegression>();
    regression->Wstar = ReadOptionalMatrix("Wstar", node);
    regression->T = ReadOptionalMatrix("T", node);
    regression->YMean = ToFloat(ReadReal(node, "YMean"));
    regression->Y = ReadOptionalVector("Y", node);
    regression->Bstar = ReadVector("Bstar", &node);
    model.PLSReg = std::move(regression);
    model.usePLSReg = true;
    model.useQDA = false;
    record_.clear();
  }
  if (!model.qda && !model.PLSReg) {
    Fatal(kSource, "Storage::ReadModel", kNoClassifierLine,
          Format("model file '%s' holds no classifier (neither 'useQDA' nor 'usePLSReg' is 1)",
                 fileName_.c_str()));
  }
}

void Storage::ReadBlocks(Model& model) {
  cv::FileNode blocks = RequireSeq(root_, "blockModels");
  int index = 0;
  for (cv::FileNodeIterator it = blocks.begin(); it != blocks.end(); ++it, ++index) {
    cv::FileNode node = *it;
    if (!node.isMap()) FailWrongType(Format("blockModels[%d]", index), "a mapping");
    record_ = Format("blockModels[%d]", index);
    auto block = std::make_unique<BlockModel>();
    block->feature = ReadString(node, "feature", true);
    block->params = ReadString(node, "params", true);
    block->nfeatures = ReadInt(node, "nfeatures", 0);
    BlockRect& rect = block->rect;
    rect.x0 = ReadInt(node, "x0", 0);
    rect.y0 = ReadInt(node, "y0", 0);
    rect.x1 = ReadInt(node, "x1", 0);
    rect.y1 = ReadInt(node, "y1", 0);
    rect.width = ReadInt(node, "w", 0);
    rect.height = ReadInt(node, "h", 0);
    block->raw = ReadInt(node, "raw", 0) != 0;
    if (!block->raw) {
      block->nfactors = ReadInt(node, "nfactors", 0);
      MatrixPtr W = ReadOptionalMatrix("W", node);
      MatrixPtr Wstar = ReadMatrix("Wstar", &node);
      VectorPtr b = ReadOptionalVector("b", node);
      VectorPtr XStd = ReadVector("std", &node);
      VectorPtr XMean = ReadVector("mean", &node);
      // No P: blocks are stored without it. Scratch comes after the checks.
      block->pls.W = std::move(W);
      block->pls.Wstar = std::move(Wstar);
      block->pls.XMean = std::move(XMean);
      block->pls.XStd = std::move(XStd);
      block->pls.b = std::move(b);
    }

    // Extraction reads the block's pixels without checking them against the
    // window; every block must therefore lie inside it, with its corners
    // agreeing with its size.
    const int64_t x0 = rect.x0;
    const int64_t y0 = rect.y0;
    const int64_t width = rect.width;
    const int64_t height = rect.height;
    if (width < 1 || height < 1 || rect.x1 != x0 + width - 1 || rect.y1 != y0 + height - 1 ||
        x0 < 0 || y0 < 0 || x0 + width > model.windowW || y0 + height > model.windowH) {
      Fatal(kSource, "Storage::ReadModel", kBlockOutsideLine,
            Format("model file '%s': block %d (%d,%d)-(%d,%d), %dx%d, of method '%s' does not "
                   "lie inside the %dx%d detection window",
                   fileName_.c_str(), index, rect.x0, rect.y0, rect.x1, rect.y1, rect.width,
                   rect.height, block->feature.c_str(), model.windowW, model.windowH));
    }
    if (block->nfeatures < 0) {
      FailInconsistent(Format("block %d has %d features", index, block->nfeatures));
    }
    if (!block->raw) {
      const PLS& pls = block->pls;
      if (pls.Wstar->rows() != block->nfeatures || pls.XMean->n() != block->nfeatures ||
          pls.XStd->n() != block->nfeatures) {
        FailInconsistent(Format("block %d has %d features but Wstar %dx%d, mean %d and std %d",
                                index, block->nfeatures, pls.Wstar->rows(), pls.Wstar->cols(),
                                pls.XMean->n(), pls.XStd->n()));
      }
    }
    model.blockModels.push_back(std::move(block));
  }
  record_.clear();
}

void Storage::CheckModelShapes(const Model& model) {
  // The raw vector is the blocks' features end to end, the model input the
  // blocks' outputs end to end (or the raw vector itself).
  int64_t rawTotal = 0;
  int64_t outputTotal = 0;
  for (const std::unique_ptr<BlockModel>& block : model.blockModels) {
    rawTotal += block->nfeatures;
    outputTotal += block->OutputLength();
  }
  if (rawTotal != model.nrawfeatures) {
    FailInconsistent(Format("the blocks hold %lld features, 'nrawfeatures' is %d",
                            static_cast<long long>(rawTotal), model.nrawfeatures));
  }
  if (model.AllRawFeatures) {
    if (model.nfeatures != model.nrawfeatures) {
      FailInconsistent(Format("'AllRawFeatures' is set but 'nfeatures' is %d and "
                              "'nrawfeatures' %d",
                              model.nfeatures, model.nrawfeatures));
    }
  } else if (outputTotal != model.nfeatures) {
    FailInconsistent(Format("the blocks give %lld model inputs, 'nfeatures' is %d",
                            static_cast<long long>(outputTotal), model.nfeatures));
  }

  const PLS& pls = model.pls;
  if (pls.Wstar->rows() != model.nfeatures || pls.XMean->n() != model.nfeatures ||
      pls.XStd->n() != model.nfeatures) {
    FailInconsistent(Format("'nfeatures' is %d but WStar is %dx%d, XMean %d and XStd %d",
                            model.nfeatures, pls.Wstar->rows(), pls.Wstar->cols(),
                            pls.XMean->n(), pls.XStd->n()));
  }
  if (model.nfactors < 1) FailInconsistent(Format("'nfactors' is %d", model.nfactors));
  const int projected = std::min(model.nfactors, pls.FactorsKept());
  if (model.useQDA && model.qda->nfactors != projected) {
    FailInconsistent(Format("the window projection gives %d factors, 'qda' expects %d",
                            projected, model.qda->nfactors));
  }
  if (model.usePLSReg && model.PLSReg->Bstar->n() != model.nfeatures) {
    FailInconsistent(Format("'PLSReg' Bstar has %d elements for %d model inputs",
                            model.PLSReg->Bstar->n(), model.nfeatures));
  }
  // The buffers are sized for the factors the window PLS kept; with no
  // inputs, Wstar's element count would not bound them.
  if (pls.FactorsKept() > model.nfactors) {
    FailInconsistent(Format("the window PLS keeps %d factors, 'nfactors' is %d",
                            pls.FactorsKept(), model.nfactors));
  }
}

}  // namespace pedscan
