// Model files: one YAML mapping per model, written and read through OpenCV's
// file storage.
//
// Matrices and vectors are stored as base64 text of their single-precision
// elements (little-endian, column-major), cut into chunks of at most 3000
// characters so that no YAML scalar grows with the matrix. A Storage is made
// on the stack for one save or one load; it holds the open file storage for
// that operation only. Every failure is a fatal report from source "Storage":
// the reader checks every key it needs and every size it uses, so that a
// corrupt or hostile file stops with a report instead of scoring garbage or
// reading out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "model/model.h"
#include "numeric/matrix.h"

namespace pedscan {

class Storage {
 public:
  // Opens fs for writing YAML, whatever the file name's extension (training
  // may save under a temporary name). Fatal (line 20) when it cannot.
  void InitilizeStoratoWrite(const std::string& fileName);
  // Opens fs for reading. Fatal (line 28) when the file cannot be opened; a
  // file the YAML parser rejects is a fatal report naming the file.
  void InitilizeStoragetoRead(const std::string& fileName);

  // One matrix record (rows, cols, data) under `name` in the current mapping.
  void WriteMatrix(const Matrix& m, const std::string& name);
  // A vector record: rows 1, cols n.
  void WriteVector(const Vector& v, const std::string& name);

  // The matrix record `name` of `parent` (null: the top level). Fatal when the
  // key is missing or not a record, and (line 104) when the data do not hold
  // exactly rows x cols elements; never writes past them.
  MatrixPtr ReadMatrix(const std::string& name, const cv::FileNode* parent = nullptr);
  // A record with rows or cols equal to 1; n is the other count. Fatal
  // "not a vector!" (line 127) otherwise, and (line 136) on a size mismatch.
  VectorPtr ReadVector(const std::string& name, const cv::FileNode* parent = nullptr);

  // Writes the whole model. The file appears under fileName only when
  // complete (see AtomicFile); fatal (line 20) when it cannot be created, and
  // when it cannot be written (naming the reason) or a parameter name cannot
  // be a YAML key of the file storage.
  void WriteModel(const Model& model, const std::string& fileName);
  // The text WriteModel writes, built in memory; fileName only names the
  // file in reports. Fatal as WriteModel for what cannot be stored.
  std::string ModelText(const Model& model, const std::string& fileName);
  // Reads a whole model with its blocks, classifier and buffers; the caller
  // resolves the blocks' feature methods afterwards. Fatal on a missing
  // required key, a value of the wrong type, a size mismatch, a block outside
  // the detection window or shapes that disagree with nfeatures/nfactors.
  std::unique_ptr<Model> ReadModel(const std::string& fileName);

  cv::FileStorage fs;

 private:
  void WriteRaw(const float* elements, int rows, int cols, size_t byteCount,
                const std::string& name);
  void WriteQuoted(const std::string& key, const std::string& value);
  void WriteMatrixOrEmpty(const MatrixPtr& m, const std::string& name);
  void WriteVectorOrEmpty(const VectorPtr& v, const std::string& name);
  void WriteModelBody(const Model& model);

  std::unique_ptr<Model> ReadModelBody();
  void ReadFeatureParameters(Model& model);
  void ReadClassifiers(Model& model);
  void ReadBlocks(Model& model);
  void CheckModelShapes(const Model& model);
  // Installs the read fields again through PLS::SetModel, which sizes the
  // projection scratch by Wstar's rows.
  static void InstallScratch(PLS& pls);

  // Reads the chunks of a matrix node into exactly `expected` bytes; false
  // when they hold another number of bytes.
  bool ReadData(const cv::FileNode& matrix, const std::string& name, int64_t expected,
                std::vector<uint8_t>& bytes);
  cv::FileNode MatrixNode(const std::string& name, const cv::FileNode* parent);
  MatrixPtr ReadOptionalMatrix(const std::string& name, const cv::FileNode& parent);
  VectorPtr ReadOptionalVector(const std::string& name, const cv::FileNode& parent);

  cv::FileNode RequireNode(const cv::FileNode& parent, const std::string& key);
  cv::FileNode RequireMap(const cv::FileNode& parent, const std::string& key);
  cv::FileNode RequireSeq(const cv::FileNode& parent, const std::string& key);
  std::string ReadString(const cv::FileNode& parent, const std::string& key, bool required);
  [[noreturn]] void FailMissingKey(const std::string& key) const;
  [[noreturn]] void FailWrongType(const std::string& key, const char* expected) const;
  [[noreturn]] void FailInconsistent(const std::string& detail) const;
  std::string KeyPath(const std::string& key) const;

  std::string fileName_;
  cv::FileNode root_;
  std::string record_;  // the record being read, for messages: "qda", "blockModels[3]"
};

// The RFC 4648 base64 codec of the matrix records ('=' padding, no line
// breaks). Decoding stops at the end of the text, at the first '=' or at the
// first character outside the alphabet; complete groups of four characters
// give three bytes, a final group of two or three gives one or two. The
// decoded bytes are appended to `out`.
std::string EncodeBase64(const uint8_t* bytes, size_t count);
void DecodeBase64(const std::string& text, std::vector<uint8_t>& out);

}  // namespace pedscan
