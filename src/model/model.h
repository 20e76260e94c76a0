// The learned detector of one object type and stage.
//
// A window's raw feature vector becomes a response in three steps: each block
// projects its slice with its block PLS (or passes it through), the window PLS
// reduces the concatenated block outputs to nfactors values, and the
// classifier (QDA or PLS regression) scores them. A new Model has no blocks,
// counts at -1 and QDA selected; it is set up from a configuration file, then
// trained or read from a model file. It owns its blocks and classifiers.
//
// Threads: classifying writes the model's scratch vectors (and those of its
// blocks and classifiers), so a Model classifies for one thread at a time;
// threads that classify side by side need a Model each. Nothing else is
// shared between Models.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "model/block_model.h"
#include "model/parameters.h"
#include "numeric/pls.h"
#include "numeric/qda.h"

namespace pedscan {

struct PLSRegression {
  VectorPtr Bstar;  // m, coefficients on the standardised model input
  MatrixPtr Wstar;  // m x K
  float YMean = -1.0f;
  MatrixPtr T;      // n x K
  VectorPtr Y;      // n
};

class Model {
 public:
  // Reads the model configuration and lays out the blocks. Fatal reports
  // (model, lines 235, 241, 256, 270 and those of SetClassifiers) in order;
  // also fatal, at the method concerned: a parameter set without params
  // lines, a block size or step below 1, a block outside the window.
  void SetupModelfromParameters(const std::string& path);
  // Exactly one name containing "qda" or "plsReg".
  void SetClassifiers(const std::vector<std::string>& names);
  // Fatal "too many features per vector!" above 1,000,000. On a model ready
  // to classify (trained or read), also checks the blocks' feature counts
  // against their trained projections (fatal on a mismatch) and prepares
  // classification again (AllocateBuffers).
  void SetNumberOfRawFeatures(int count);

  // Trains the window PLS and the classifier on negatives (label 0) stacked
  // over positives (label 1); both matrices have nfeatures columns. With PLS
  // regression writes "bstar.matrix" to the working directory. Fatal (model,
  // lines 167, 171) on a column mismatch or nrawfeatures < 0, and when
  // nfactors < 1; allocates both buffers.
  void CreatePLSModel(const Matrix& positives, const Matrix& negatives);

  // Raw feature vector (nrawfeatures values) to response and other: each
  // block projects its slice (or passes it through), then ClassifyInput.
  // Requires a trained or read model. Allocates nothing.
  void ClassifyFeatures(const float* raw, float* response, float* other);
  // The same with each block's slice wherever it lies: slices[b] points at
  // the blockModels[b]->nfeatures values of block b. Lets a window be scored
  // straight from cached block features without gathering them first.
  void ClassifySlices(const float* const* slices, float* response, float* other);
  // Model input (nfeatures values) to response and other. QDA scores the
  // window PLS projection onto the factors it kept (at most nfactors); PLS
  // regression gives the fitted label and other = -1. An untrained QDA throws
  // its "load parameters or train QDA first" report. Allocates nothing.
  void ClassifyInput(const float* input, float* response, float* other);

  // Releases the classifier, the window PLS fields and both buffers.
  void Clear();
  // A model equal to this one in every field, its blocks, classifiers and
  // packed projections copied, sharing nothing with it: it classifies with
  // the same bits, so another thread can score windows beside this one.
  std::unique_ptr<Model> Copy() const;
  // Writes the model file through Storage::WriteModel.
  void Save(const std::string& fileName) const;

  // Prepares classification: allocates inputBuffer and projectionBuffer for
  // nrawfeatures values (or more when nfeatures or the factors kept by the
  // window PLS are larger) and takes a packed copy of the block projections.
  // CreatePLSModel and the model-file reader call it; a block changed
  // afterwards is not seen by ClassifyFeatures until it is called again.
  void AllocateBuffers();

  PLS pls;  // the window-level PLS
  std::vector<std::unique_ptr<BlockModel>> blockModels;
  int nfactors = -1;
  std::unique_ptr<QDA> qda;
  std::unique_ptr<PLSRegression> PLSReg;
  int nfeatures = -1;
  int nrawfeatures = -1;
  std::map<std::string, ParameterMap> FeatureParameters;
  int16_t windowW = -1;
  int16_t windowH = -1;
  int16_t objX0 = -1;
  int16_t objY0 = -1;
  int16_t objW = -1;
  int16_t objH = -1;
  std::set<int> usedInstances;
  std::string modelID;
  bool AllRawFeatures = false;
  bool useQDA = true;
  bool usePLSReg = false;
  std::vector<float> inputBuffer;
  std::vector<float> projectionBuffer;

 private:
  // One block as the scoring loop sees it. The parameters of the fused
  // blocks (mean, deviation, then the columns of Wstar) lie end to end in
  // packedParameters_, in block order, so that scoring a window streams
  // through one array instead of chasing each block's PLS objects.
  struct PackedBlock {
    enum Kind { kCopy, kFused, kOwnPath };
    Kind kind = kCopy;
    int nfeatures = 0;  // raw values the block reads
    int outputs = 0;    // model inputs it writes
    size_t offset = 0;  // of its parameters in packedParameters_ (kFused)
    BlockModel* block = nullptr;
  };

  void TrainPLSRegression();
  void PackBlocks();

  std::vector<PackedBlock> packedBlocks_;
  std::vector<const float*> rawSlices_;  // ClassifyFeatures' slices of its raw vector
  std::vector<float> packedParameters_;
};

}  // namespace pedscan
