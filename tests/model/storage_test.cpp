#include "model/Storage.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "../support/run_command.h"
#include "model_fixtures.h"
#include "support/failure.h"

namespace pedscan {
namespace {

using testing_model::FailureOf;
using testing_model::FatalText;
using testing_model::ModelShape;
using testing_model::SameBits;
using testing_model::ScopedWorkingDirectory;
using testing_model::TrainedModel;
using testutil::ReadWholeFile;
using testutil::TempDir;

std::string StorageReport(const std::string& function, int line, const std::string& message) {
  return FatalText("Storage", function, line, message);
}

// `text` with the first occurrence of `from` at or after `after` replaced.
std::string Replace(std::string text, const std::string& from, const std::string& to,
                    const std::string& after = "") {
  size_t start = after.empty() ? 0 : text.find(after);
  EXPECT_NE(start, std::string::npos) << after;
  size_t at = text.find(from, start == std::string::npos ? 0 : start);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// `text` without the first line holding `key` (at or after `after`) and the
// lines indented deeper that follow it: the key with its whole value. A key
// may start with '\n' to match only at the start of a line.
std::string RemoveKey(std::string text, std::string key, const std::string& after = "") {
  size_t start = after.empty() ? 0 : text.find(after);
  size_t at = text.find(key, start == std::string::npos ? 0 : start);
  EXPECT_NE(at, std::string::npos) << key;
  if (at == std::string::npos) return text;
  if (text[at] == '\n') ++at;
  const size_t lineStart = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
  const size_t indent = at - lineStart;
  size_t end = text.find('\n', at);
  end = end == std::string::npos ? text.size() : end + 1;
  while (end < text.size() && text.find_first_not_of(' ', end) - end > indent) {
    size_t next = text.find('\n', end);
    end = next == std::string::npos ? text.size() : next + 1;
  }
  text.erase(lineStart, end - lineStart);
  return text;
}

// Response and other of `count` random raw vectors.
std::vector<float> Responses(Model& model, int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> value(0.5f, 1.5f);
  std::vector<float> raw(static_cast<size_t>(model.nrawfeatures));
  std::vector<float> out;
  for (int i = 0; i < count; ++i) {
    for (float& v : raw) v = value(rng);
    float response = 0.0f;
    float other = 0.0f;
    model.ClassifyFeatures(raw.data(), &response, &other);
    out.push_back(response);
    out.push_back(other);
  }
  return out;
}

void ExpectSameBits(const std::vector<float>& a, const std::vector<float>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(SameBits(a[i], b[i])) << i;
}

void ExpectSameMatrix(const Matrix& a, const Matrix& b) {
  ASSERT_EQ(a.rows(), b.rows());
  ASSERT_EQ(a.cols(), b.cols());
  EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(float) * a.rows() * a.cols()), 0);
}

std::unique_ptr<Model> ReadBack(const std::string& path) { return Storage().ReadModel(path); }

// A saved model file and the model it came from, in a directory of its own
// (which is also the working directory, for bstar.matrix).
class SavedModel {
 public:
  explicit SavedModel(const ModelShape& shape) : cwd_(dir_.path()) {
    model = TrainedModel(shape);
    path = dir_.File("model.yml");
    model->Save(path);
    text = ReadWholeFile(path);
  }
  // Writes an edited copy of the file and returns its path.
  std::string Edited(const std::string& edited) { return dir_.WriteFile("edited.yml", edited); }
  Failure ReadFailure(const std::string& edited) {
    std::string file = Edited(edited);
    return FailureOf([&] { ReadBack(file); });
  }
  const TempDir& dir() const { return dir_; }

  std::unique_ptr<Model> model;
  std::string path;
  std::string text;

 private:
  TempDir dir_;
  ScopedWorkingDirectory cwd_;
};

std::string MissingKey(const std::string& key, const std::string& file) {
  return StorageReport("Storage::ReadModel", 514,
                       "missing key '" + key + "' in model file '" + file + "'");
}

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(EncodeBase64(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()), coded);
    std::vector<uint8_t> decoded;
    DecodeBase64(coded, decoded);
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), plain);
  }
  // All 256 byte values survive.
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> back;
  DecodeBase64(EncodeBase64(all.data(), all.size()), back);
  EXPECT_EQ(back, all);
}

TEST(Base64, DecodingStopsAtTheFirstCharacterOutsideTheAlphabet) {
  std::vector<uint8_t> out;
  DecodeBase64("Zm9v*mFy", out);
  EXPECT_EQ(std::string(out.begin(), out.end()), "foo");
  out.clear();
  DecodeBase64("Zm8=Zm9v", out);
  EXPECT_EQ(std::string(out.begin(), out.end()), "fo");
  // A final lone character carries no whole byte.
  out.clear();
  DecodeBase64("Zm9vY", out);
  EXPECT_EQ(std::string(out.begin(), out.end()), "foo");
}

TEST(MatrixRecord, TwoByThreeOnesAreOneChunkOfThirtyTwoCharacters) {
  TempDir dir;
  const std::string path = dir.File("m.yml");
  Matrix ones(2, 3);
  for (int i = 0; i < 6; ++i) ones.data()[i] = 1.0f;
  {
    Storage storage;
    storage.InitilizeStoratoWrite(path);
    storage.WriteMatrix(ones, "m");
    storage.fs.release();
  }
  cv::FileStorage raw(path, cv::FileStorage::READ);
  EXPECT_EQ(static_cast<int>(raw["m"]["rows"]), 2);
  EXPECT_EQ(static_cast<int>(raw["m"]["cols"]), 3);
  ASSERT_EQ(raw["m"]["data"].size(), 1u);
  EXPECT_EQ(raw["m"]["data"][0].string(), "AACAPwAAgD8AAIA/AACAPwAAgD8AAIA/");
  // Written quoted.
  EXPECT_NE(ReadWholeFile(path).find("- \"AACAPwAAgD8AAIA/AACAPwAAgD8AAIA/\""), std::string::npos);

  Storage storage;
  storage.InitilizeStoragetoRead(path);
  ExpectSameMatrix(*storage.ReadMatrix("m"), ones);
}

TEST(MatrixRecord, LongDataIsCutIntoChunksOf3000Characters) {
  TempDir dir;
  const std::string path = dir.File("m.yml");
  Matrix column(1000, 1);
  for (int i = 0; i < 1000; ++i) column.data()[i] = 0.25f * i - 17.0f;
  {
    Storage storage;
    storage.InitilizeStoratoWrite(path);
    storage.WriteMatrix(column, "m");
    storage.fs.release();
  }
  cv::FileStorage raw(path, cv::FileStorage::READ);
  ASSERT_EQ(raw["m"]["data"].size(), 2u);
  EXPECT_EQ(raw["m"]["data"][0].string().size(), 3000u);
  EXPECT_EQ(raw["m"]["data"][1].string().size(), 2336u);

  Storage storage;
  storage.InitilizeStoragetoRead(path);
  ExpectSameMatrix(*storage.ReadMatrix("m"), column);
}

class VectorRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("v.yml");
    Vector v(5);
    for (int i = 0; i < 5; ++i) v[i] = static_cast<float>(i) - 1.5f;
    Storage storage;
    storage.InitilizeStoratoWrite(path_);
    storage.WriteVector(v, "v");
    Vector empty(0);
    storage.WriteVector(empty, "empty");
    storage.fs.release();
    text_ = ReadWholeFile(path_);
  }
  Failure ReadFailure(const std::string& edited, bool asVector) {
    std::string path = dir_.WriteFile("edited.yml", edited);
    return FailureOf([&] {
      Storage storage;
      storage.InitilizeStoragetoRead(path);
      if (asVector) {
        storage.ReadVector("v");
      } else {
        storage.ReadMatrix("v");
      }
    });
  }

  TempDir dir_;
  std::string path_;
  std::string text_;
};

TEST_F(VectorRecord, ReadsAsAVectorAndAsAOneRowMatrix) {
  Storage storage;
  storage.InitilizeStoragetoRead(path_);
  VectorPtr v = storage.ReadVector("v");
  ASSERT_EQ(v->n(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ((*v)[i], static_cast<float>(i) - 1.5f);
  MatrixPtr m = storage.ReadMatrix("v");
  EXPECT_EQ(m->rows(), 1);
  EXPECT_EQ(m->cols(), 5);
  EXPECT_EQ(std::memcmp(m->data(), v->data(), sizeof(float) * 5), 0);
  // An empty vector reads back empty.
  EXPECT_EQ(storage.ReadVector("empty")->n(), 0);
}

TEST_F(VectorRecord, TheLargerCountIsTheLength) {
  // One element, 1.0, stored as a column, as a row with a zero count, and
  // the empty record the writer makes for a vector of no elements.
  const std::string one = "      - \"AACAPw==\"\n";
  const std::string path = dir_.WriteFile(
      "counts.yml", "%YAML:1.0\n---\ncolumn:\n   rows: 0\n   cols: 1\n   data:\n" + one +
                        "row:\n   rows: 1\n   cols: 0\n   data:\n" + one +
                        "none:\n   rows: 1\n   cols: 0\n   data: []\n");
  Storage storage;
  storage.InitilizeStoragetoRead(path);
  for (const char* name : {"column", "row"}) {
    VectorPtr v = storage.ReadVector(name);
    ASSERT_EQ(v->n(), 1) << name;
    EXPECT_EQ((*v)[0], 1.0f) << name;
  }
  EXPECT_EQ(storage.ReadVector("none")->n(), 0);
  std::string column = Replace(Replace(text_, "rows: 1", "rows: 6"), "cols: 5", "cols: 1");
  EXPECT_EQ(ReadFailure(column, true).text(),
            StorageReport("Storage::ReadVector", 136,
                          "number of bytes read inconsistent with vector size"));
}

TEST_F(VectorRecord, TwoByThreeIsNotAVector) {
  std::string edited = Replace(Replace(text_, "rows: 1", "rows: 2"), "cols: 5", "cols: 3");
  EXPECT_EQ(ReadFailure(edited, true).text(),
            StorageReport("Storage::ReadVector", 127, "not a vector!"));
}

TEST_F(VectorRecord, CountsThatDisagreeWithTheDataAreSizeMismatches) {
  const std::string matrixSize = StorageReport("Storage::ReadMatrix", 104,
                                               "number of bytes read inconsistent with matrix size");
  const std::string vectorSize = StorageReport("Storage::ReadVector", 136,
                                               "number of bytes read inconsistent with vector size");
  EXPECT_EQ(ReadFailure(Replace(text_, "cols: 5", "cols: 6"), false).text(), matrixSize);
  EXPECT_EQ(ReadFailure(Replace(text_, "cols: 5", "cols: 4"), false).text(), matrixSize);
  EXPECT_EQ(ReadFailure(Replace(text_, "cols: 5", "cols: 6"), true).text(), vectorSize);
  EXPECT_EQ(ReadFailure(Replace(text_, "cols: 5", "cols: -5"), true).text(), vectorSize);
  // Negative and absurd counts neither crash nor allocate.
  EXPECT_EQ(ReadFailure(Replace(text_, "rows: 1", "rows: -1"), false).text(), matrixSize);
  EXPECT_EQ(ReadFailure(Replace(Replace(text_, "rows: 1", "rows: 2000000000"), "cols: 5",
                                "cols: 2000000000"),
                        false)
                .text(),
            matrixSize);
  EXPECT_EQ(ReadFailure(Replace(text_, "cols: 5", "cols: 1073741823"), true).text(), vectorSize);
  // A corrupt character stops decoding there, which shows as too few bytes.
  std::string corrupt = text_;
  corrupt[corrupt.find("- \"") + 5] = '*';
  EXPECT_EQ(ReadFailure(corrupt, false).text(), matrixSize);
}

TEST_F(VectorRecord, DataThatIsNotAStringIsReportedByKey) {
  size_t at = text_.find("- \"");
  std::string edited = text_.substr(0, at) + "- 5\n" + text_.substr(text_.find('\n', at) + 1);
  std::string path = dir_.File("edited.yml");
  EXPECT_EQ(ReadFailure(edited, false).text(),
            StorageReport("Storage::ReadModel", 516,
                          "key 'v.data' in model file '" + path +
                              "' does not hold a sequence of base64 strings"));
}

void ExpectSameModel(const Model& a, const Model& b) {
  EXPECT_EQ(a.modelID, b.modelID);
  EXPECT_EQ(a.nfactors, b.nfactors);
  EXPECT_EQ(a.nfeatures, b.nfeatures);
  EXPECT_EQ(a.nrawfeatures, b.nrawfeatures);
  EXPECT_EQ(a.windowW, b.windowW);
  EXPECT_EQ(a.windowH, b.windowH);
  EXPECT_EQ(a.objX0, b.objX0);
  EXPECT_EQ(a.objY0, b.objY0);
  EXPECT_EQ(a.objW, b.objW);
  EXPECT_EQ(a.objH, b.objH);
  EXPECT_EQ(a.AllRawFeatures, b.AllRawFeatures);
  EXPECT_EQ(a.useQDA, b.useQDA);
  EXPECT_EQ(a.usePLSReg, b.usePLSReg);
  EXPECT_EQ(a.FeatureParameters, b.FeatureParameters);
  ExpectSameMatrix(*a.pls.Wstar, *b.pls.Wstar);
  ExpectSameMatrix(*a.pls.W, *b.pls.W);
  ExpectSameMatrix(*a.pls.P, *b.pls.P);
  ASSERT_EQ(a.blockModels.size(), b.blockModels.size());
  for (size_t i = 0; i < a.blockModels.size(); ++i) {
    const BlockModel& x = *a.blockModels[i];
    const BlockModel& y = *b.blockModels[i];
    EXPECT_EQ(x.feature, y.feature);
    EXPECT_EQ(x.params, y.params);
    EXPECT_EQ(x.nfeatures, y.nfeatures);
    EXPECT_EQ(std::memcmp(&x.rect, &y.rect, sizeof x.rect), 0);
    EXPECT_EQ(x.raw, y.raw);
    if (!x.raw) {
      EXPECT_EQ(x.nfactors, y.nfactors);
      ExpectSameMatrix(*x.pls.Wstar, *y.pls.Wstar);
      EXPECT_EQ(y.pls.P, nullptr);
    }
  }
  if (a.qda) {
    ASSERT_NE(b.qda, nullptr);
    EXPECT_TRUE(SameBits(a.qda->logDetSigma1, b.qda->logDetSigma1));
    EXPECT_TRUE(SameBits(a.qda->logDetSigma2, b.qda->logDetSigma2));
    EXPECT_TRUE(SameBits(a.qda->logPriori, b.qda->logPriori));
    ExpectSameMatrix(*a.qda->invR2, *b.qda->invR2);
  }
  if (a.PLSReg) {
    ASSERT_NE(b.PLSReg, nullptr);
    EXPECT_TRUE(SameBits(a.PLSReg->YMean, b.PLSReg->YMean));
    ExpectSameMatrix(*a.PLSReg->T, *b.PLSReg->T);
  }
  // Training-only data are not kept.
  EXPECT_EQ(b.pls.T, nullptr);
  EXPECT_EQ(b.pls.Y, nullptr);
}

TEST(ModelFile, EveryKindOfModelReadsBackWithIdenticalResponses) {
  for (bool qda : {true, false}) {
    for (bool rawBlocks : {false, true}) {
      SCOPED_TRACE(std::string(qda ? "QDA" : "PLS regression") +
                   (rawBlocks ? ", raw blocks" : ", block PLS"));
      ModelShape shape;
      shape.qda = qda;
      shape.rawBlocks = rawBlocks;
      SavedModel saved(shape);
      std::unique_ptr<Model> back = ReadBack(saved.path);
      ExpectSameModel(*saved.model, *back);
      ExpectSameBits(Responses(*saved.model, 300, 1), Responses(*back, 300, 1));
      // Saving what was read gives the same file, apart from the dropped
      // training data.
      back->Save(saved.dir().File("again.yml"));
      ExpectSameBits(Responses(*ReadBack(saved.dir().File("again.yml")), 50, 2),
                     Responses(*saved.model, 50, 2));
    }
  }
}

TEST(ModelFile, StringsSurviveQuotesBackslashesAndTabs) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  std::unique_ptr<Model> model = TrainedModel(ModelShape());
  model->modelID = "a \"quoted\" \\ and\ttab";
  model->FeatureParameters["set B"] = {{"key", "12"}, {"other", "#not a comment"}};
  model->Save("model.tmp");  // not a .yml name: still YAML
  EXPECT_EQ(ReadWholeFile("model.tmp").rfind("%YAML", 0), 0u);
  std::unique_ptr<Model> back = ReadBack("model.tmp");
  EXPECT_EQ(back->modelID, model->modelID);
  EXPECT_EQ(back->FeatureParameters, model->FeatureParameters);
}

TEST(ModelFile, ParameterSetsAreWrittenWithNamesAndQuotedValues) {
  SavedModel saved{ModelShape()};
  cv::FileStorage raw(saved.path, cv::FileStorage::READ);
  cv::FileNode sets = raw["FeatureParameters"];
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0]["feature"].string(), "setA");
  ASSERT_EQ(sets[0]["names"].size(), 2u);
  EXPECT_EQ(sets[0]["names"][0].string(), "UseColorFrequency");
  EXPECT_EQ(sets[0]["names"][1].string(), "UseHOG");
  EXPECT_EQ(sets[0]["UseHOG"].string(), "1");
  EXPECT_NE(saved.text.find("UseHOG: \"1\""), std::string::npos);
  EXPECT_NE(saved.text.find("modelID: \"synthetic\""), std::string::npos);
  EXPECT_NE(saved.text.find("version: \"0.1.0\""), std::string::npos);
  EXPECT_NE(saved.text.find("encoding: \"base64\""), std::string::npos);
  // Keys at the top level come in their fixed order.
  const char* order[] = {"version:", "modelID:", "nfactors:", "nfeatures:", "nrawfeatures:",
                         "windowW:", "windowH:", "objW:", "objH:", "objX0:", "objY0:",
                         "AllRawFeatures:", "nblocks:", "encoding:", "FeatureParameters:",
                         "\nb:", "\nP:", "\nT:", "\nW:", "\nWStar:", "\nXMean:", "\nXStd:",
                         "\nY:", "useQDA:", "\nqda:", "usePLSReg:", "blockModels:"};
  size_t last = 0;
  for (const char* key : order) {
    size_t at = saved.text.find(key);
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GT(at, last) << key;
    last = at;
  }
}

TEST(ModelFile, VersionEncodingAndBlockCountAreNotRead) {
  SavedModel saved{ModelShape()};
  std::string edited = RemoveKey(RemoveKey(RemoveKey(saved.text, "version:"), "encoding:"),
                                 "nblocks:");
  ASSERT_EQ(edited.find("version:"), std::string::npos);
  std::unique_ptr<Model> back = ReadBack(saved.Edited(edited));
  ExpectSameModel(*saved.model, *back);
  ExpectSameBits(Responses(*saved.model, 100, 3), Responses(*back, 100, 3));
}

TEST(ModelFile, OnlyAClassifierFlagOfExactlyOneCounts) {
  ModelShape regressionShape;
  regressionShape.qda = false;
  SavedModel regression(regressionShape);
  // No qda key and useQDA 0 or 2: the regression is read as usual.
  ASSERT_EQ(regression.text.find("\nqda:"), std::string::npos);
  std::unique_ptr<Model> back =
      ReadBack(regression.Edited(Replace(regression.text, "useQDA: 0", "useQDA: 2")));
  EXPECT_TRUE(back->usePLSReg);
  EXPECT_FALSE(back->useQDA);
  ExpectSameBits(Responses(*regression.model, 50, 4), Responses(*back, 50, 4));

  // A QDA model whose flag reads 2 has no classifier left.
  SavedModel qda{ModelShape()};
  std::string file = qda.Edited(Replace(qda.text, "useQDA: 1", "useQDA: 2"));
  EXPECT_EQ(FailureOf([&] { ReadBack(file); }).text(),
            StorageReport("Storage::ReadModel", 552,
                          "model file '" + file +
                              "' holds no classifier (neither 'useQDA' nor 'usePLSReg' is 1)"));
}

TEST(ModelFile, MissingRawFeatureCountIsReported) {
  SavedModel saved{ModelShape()};
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "nrawfeatures:")).text(),
            StorageReport("Storage::ReadModel", 524, "improper size of 'nrawfeatures' (<0)"));
}

TEST(ModelFile, NumbersFollowTheNodeRules) {
  SavedModel saved{ModelShape()};
  // A real where an int belongs rounds; a string reads as 2147483647.
  std::unique_ptr<Model> back =
      ReadBack(saved.Edited(Replace(saved.text, "objW: 24", "objW: 24.4")));
  EXPECT_EQ(back->objW, 24);
  back = ReadBack(saved.Edited(Replace(saved.text, "objH: 28", "objH: \"28\"")));
  EXPECT_EQ(back->objH, static_cast<int16_t>(2147483647));
  // A real missing is 0, a real that holds a string is 1e300 (infinity).
  std::string noPrior = RemoveKey(saved.text, "logPriori:");
  EXPECT_EQ(ReadBack(saved.Edited(noPrior))->qda->logPriori, 0.0f);
  back = ReadBack(saved.Edited(Replace(saved.text, "logPriori: 5.0000000000000000e-01",
                                       "logPriori: \"x\"")));
  EXPECT_TRUE(std::isinf(back->qda->logPriori));
}

TEST(ModelFile, MissingRequiredKeysAreReportedByNameAndFile) {
  SavedModel saved{ModelShape()};
  const std::string file = saved.dir().File("edited.yml");
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "FeatureParameters:")).text(),
            MissingKey("FeatureParameters", file));
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "blockModels:")).text(),
            MissingKey("blockModels", file));
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "feature:", "blockModels:")).text(),
            MissingKey("blockModels[0].feature", file));
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "params:", "blockModels:")).text(),
            MissingKey("blockModels[0].params", file));
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "names:")).text(),
            MissingKey("FeatureParameters[0].names", file));
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "WStar:")).text(),
            MissingKey("WStar", file));
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "qda:")).text(), MissingKey("qda", file));
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "invR2:")).text(),
            MissingKey("qda.invR2", file));
  EXPECT_EQ(saved.ReadFailure(RemoveKey(saved.text, "Wstar:", "blockModels:")).text(),
            MissingKey("blockModels[0].Wstar", file));
  // Keys the reader does not need may be missing.
  std::unique_ptr<Model> back = ReadBack(saved.Edited(RemoveKey(saved.text, "\nT:")));
  ExpectSameBits(Responses(*saved.model, 20, 5), Responses(*back, 20, 5));
}

TEST(ModelFile, ValuesOfTheWrongTypeAreReported) {
  SavedModel saved{ModelShape()};
  const std::string file = saved.dir().File("edited.yml");
  EXPECT_EQ(saved.ReadFailure(Replace(saved.text, "feature: HOG", "feature: 5")).text(),
            StorageReport("Storage::ReadModel", 516,
                          "key 'blockModels[0].feature' in model file '" + file +
                              "' does not hold a string"));
  EXPECT_EQ(saved.ReadFailure(Replace(saved.text, "modelID: \"synthetic\"", "modelID: 12")).text(),
            StorageReport("Storage::ReadModel", 516,
                          "key 'modelID' in model file '" + file + "' does not hold a string"));
  EXPECT_EQ(saved.ReadFailure(Replace(saved.text, "blockModels:\n", "blockModels: 3\nx:\n"))
                .text(),
            StorageReport("Storage::ReadModel", 516,
                          "key 'blockModels' in model file '" + file +
                              "' does not hold a sequence"));
}

TEST(ModelFile, TruncatedOrCorruptFilesAreFatalReportsNamingTheFile) {
  SavedModel saved{ModelShape()};
  const std::string file = saved.dir().File("edited.yml");
  for (size_t length : {saved.text.size() / 2, saved.text.size() / 3, size_t{40}, size_t{0}}) {
    SCOPED_TRACE(length);
    Failure failure = saved.ReadFailure(saved.text.substr(0, length));
    EXPECT_EQ(failure.status(), -1);
    EXPECT_NE(failure.text().find("'" + file + "'"), std::string::npos) << failure.text();
  }
  EXPECT_EQ(saved.ReadFailure("%YAML:1.0\n---\nmodelID: \"abc").text(),
            StorageReport("Storage::InitilizeStoragetoRead", 30,
                          "cannot read model file '" + file + "': line 3: Invalid character"));
  EXPECT_EQ(saved.ReadFailure("").text(),
            StorageReport("Storage::InitilizeStoragetoRead", 30,
                          "cannot read model file '" + file + "': empty, or not a YAML file "
                          "storage"));
  // One corrupt character in a matrix chunk.
  std::string corrupt = saved.text;
  corrupt[corrupt.find("- \"", corrupt.find("\nWStar:")) + 7] = '*';
  EXPECT_EQ(saved.ReadFailure(corrupt).text(),
            StorageReport("Storage::ReadMatrix", 104,
                          "number of bytes read inconsistent with matrix size"));
  // Not a mapping at the top level.
  EXPECT_EQ(saved.ReadFailure("%YAML:1.0\n---\n- 1\n").text(),
            StorageReport("Storage::ReadModel", 516,
                          "model file '" + file + "' does not hold a mapping of model keys"));
}

TEST(ModelFile, BlockOutsideTheWindowIsRejected) {
  SavedModel saved{ModelShape()};
  const std::string file = saved.dir().File("edited.yml");
  EXPECT_EQ(saved.ReadFailure(Replace(saved.text, "windowW: 32", "windowW: 24")).text(),
            StorageReport("Storage::ReadModel", 548,
                          "model file '" + file +
                              "': block 1 (16,0)-(31,15), 16x16, of method 'COOCH' does not lie "
                              "inside the 24x32 detection window"));
  // Corners that disagree with the size are rejected the same way.
  EXPECT_EQ(saved.ReadFailure(Replace(saved.text, "w: 16", "w: 17", "blockModels:")).text(),
            StorageReport("Storage::ReadModel", 548,
                          "model file '" + file +
                              "': block 0 (0,0)-(15,15), 17x16, of method 'HOG' does not lie "
                              "inside the 32x32 detection window"));
}

TEST(ModelFile, ShapesThatDisagreeWithTheCountsAreRejected) {
  SavedModel saved{ModelShape()};
  const std::string prefix = "model file '" + saved.dir().File("edited.yml") + "' is inconsistent: ";
  auto report = [&](const std::string& detail) {
    return StorageReport("Storage::ReadModel", 540, prefix + detail);
  };
  EXPECT_EQ(saved.ReadFailure(Replace(saved.text, "nfactors: 4", "nfactors: 3")).text(),
            report("the window projection gives 3 factors, 'qda' expects 4"));
  EXPECT_EQ(saved.ReadFailure(Replace(saved.text, "nfeatures: 12", "nfeatures: 11")).text(),
            report("the blocks give 12 model inputs, 'nfeatures' is 11"));
  EXPECT_EQ(saved.ReadFailure(Replace(saved.text, "nrawfeatures: 24", "nrawfeatures: 30")).text(),
            report("the blocks hold 24 features, 'nrawfeatures' is 30"));
  EXPECT_EQ(saved.ReadFailure(Replace(saved.text, "nfeatures: 6", "nfeatures: 5", "blockModels:"))
                .text(),
            report("block 0 has 5 features but Wstar 6x3, mean 6 and std 6"));
  // More factors than the window PLS kept is allowed: the projection stops
  // at the kept ones, which QDA was trained on.
  std::unique_ptr<Model> back =
      ReadBack(saved.Edited(Replace(saved.text, "nfactors: 4", "nfactors: 9")));
  ExpectSameBits(Responses(*saved.model, 20, 6), Responses(*back, 20, 6));
}

// `text` with the record under `key` (found at or after `after`) replaced
// by an empty matrix claiming `rows` rows; the old record stays under
// another name.
std::string EmptyRecord(const std::string& text, const std::string& key, const std::string& rows,
                        const std::string& after = "") {
  size_t start = text.find(key + ":\n", after.empty() ? 0 : text.find(after));
  while (start != std::string::npos && text[start - 1] != ' ' && text[start - 1] != '\n') {
    start = text.find(key + ":\n", start + 1);
  }
  const size_t lineStart = text.rfind('\n', start) + 1;
  const std::string indent(start - lineStart, ' ');
  return text.substr(0, start) + key + ":\n" + indent + "   rows: " + rows + "\n" + indent +
         "   cols: 0\n" + indent + "   data: []\n" + indent + "old" + key +
         text.substr(start + key.size());
}

TEST(ModelFile, EmptyMatricesClaimingHugeCountsAreCheckedBeforeAllocating) {
  SavedModel saved{ModelShape()};
  const std::string prefix = "model file '" + saved.dir().File("edited.yml") + "' is inconsistent: ";
  auto report = [&](const std::string& detail) {
    return StorageReport("Storage::ReadModel", 540, prefix + detail);
  };
  // A string where a count belongs reads as 2147483647.
  EXPECT_EQ(saved.ReadFailure(EmptyRecord(saved.text, "WStar", "x")).text(),
            report("'nfeatures' is 12 but WStar is 2147483647x0, XMean 12 and XStd 12"));
  EXPECT_EQ(saved.ReadFailure(EmptyRecord(saved.text, "Wstar", "2000000000", "blockModels:")).text(),
            report("block 0 has 6 features but Wstar 2000000000x0, mean 6 and std 6"));

  // The factors the window PLS kept size the buffers: they may not exceed
  // the model's factors.
  ModelShape regressionShape;
  regressionShape.qda = false;
  SavedModel regression(regressionShape);
  EXPECT_EQ(regression.ReadFailure(Replace(regression.text, "nfactors: 4", "nfactors: 3")).text(),
            StorageReport("Storage::ReadModel", 540,
                          "model file '" + regression.dir().File("edited.yml") +
                              "' is inconsistent: the window PLS keeps 4 factors, 'nfactors' is 3"));
}

TEST(ModelFile, TextTheParserCannotBeTrustedWithIsRefusedNamingTheFile) {
  TempDir dir;
  auto refused = [&](const std::string& text) {
    const std::string path = dir.WriteFile("m.yml", text);
    return FailureOf([&] { ReadBack(path); }).text();
  };
  const std::string file = dir.File("m.yml");
  auto report = [&](const std::string& problem) {
    return StorageReport("Storage::InitilizeStoragetoRead", 32,
                         "cannot read model file '" + file + "': " + problem);
  };
  EXPECT_EQ(refused("%YAML:1.0\na: 1\n...\n- x\n"),
            report("line 4: a '-' after the end of a document"));
  EXPECT_EQ(refused("{\"modelID\": \"x\"}"), report("not a YAML file storage"));
  EXPECT_EQ(refused("<?xml version=\"1.0\"?>\n<opencv_storage/>\n"), report("not a YAML file storage"));
  EXPECT_EQ(refused("\xEF\xBB\xBF%YAML:1.0\na: 1\n"),
            report("a byte order mark before the YAML header"));
  EXPECT_EQ(refused(std::string("\x1F\x8B\x08\0\0\0", 6)), report("compressed model files are not read"));
  // Text with no signature at all is still the file storage's to refuse.
  EXPECT_NE(refused("hello\n").find("cannot read model file '" + file + "'"), std::string::npos);
}

TEST(ModelFile, UnopenableFilesAreReported) {
  TempDir dir;
  EXPECT_EQ(FailureOf([&] { ReadBack(dir.File("missing.yml")); }).text(),
            StorageReport("Storage::InitilizeStoragetoRead", 28, "couldn't open storage file"));
  Model model;
  EXPECT_EQ(FailureOf([&] { model.Save(dir.File("no/such/dir/model.yml")); }).text(),
            StorageReport("Storage::InitilizeStoratoWrite", 20, "couldn't open storage file"));
}

TEST(ModelFile, NamesTheFileStorageCannotHoldAreRefusedBeforeWriting) {
  TempDir dir;
  ScopedWorkingDirectory cwd(dir.path());
  std::unique_ptr<Model> model = TrainedModel(ModelShape());
  model->FeatureParameters["setA"]["my.key"] = "1";
  const std::string path = dir.File("model.yml");
  EXPECT_EQ(FailureOf([&] { model->Save(path); }).text(),
            StorageReport("Storage::WriteModel", 24,
                          "parameter name 'my.key' of parameter set 'setA' cannot be stored in "
                          "model file '" + path +
                              "' (it must start with a letter or '_' and hold only letters, "
                              "digits, '_' and '-', and must not be 'feature' or 'names')"));
  EXPECT_FALSE(std::ifstream(path).good());
  model->FeatureParameters["setA"].erase("my.key");
  model->modelID = std::string("a\x01") + "b";
  EXPECT_EQ(FailureOf([&] { model->Save(path); }).status(), -1);
}

}  // namespace
}  // namespace pedscan
