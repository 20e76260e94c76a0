#include "model/model.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "model/Storage.h"
#include "numeric/kernels.h"
#include "numeric/projection.h"
#include "support/failure.h"

namespace pedscan {

namespace {

constexpr const char* kSource = "model";

constexpr int kTooManyClassifiersLine = 61;
constexpr const char* kTooManyClassifiersMessage =
    "Only one classifier method is allowed (check classifier <>";
constexpr int kNoClassifierLine = 64;
constexpr const char* kNoClassifierMessage =
    "you must select a classification method (use classifier <>";

constexpr int kTrainColumnsLine = 167;
constexpr const char* kTrainColumnsMessage =
    "inconsistent number of features (matrix must have same number of features!";
constexpr int kTrainRawFeaturesLine = 171;
constexpr const char* kTrainRawFeaturesMessage = "improper size of 'nrawfeatures' (<0)";
constexpr int kTrainFactorsLine = 173;

constexpr int kNoIdentifierLine = 235;
constexpr const char* kNoIdentifierMessage =
    "model must have an identifier (use parameter ModelID <value>)";
constexpr int kWindowSizeLine = 241;
constexpr const char* kWindowSizeMessage = "invalid detection window size";
constexpr int kNoRegionLine = 256;
constexpr const char* kNoRegionMessage = "Region must be set";
constexpr int kNoBlockSizesLine = 270;
constexpr const char* kNoBlockSizesMessage = "no block sizes available";
constexpr int kNoParameterSetLine = 272;
constexpr int kBadBlockSizeLine = 274;
constexpr int kBlockOutsideLine = 278;

constexpr int kTooManyFeaturesLine = 359;
constexpr const char* kTooManyFeaturesMessage = "too many features per vector!";
constexpr int kMaxRawFeatures = 1000000;
constexpr int kFeatureCountLine = 362;

// Stops set-up at the first block (in layout order) of this size that does
// not lie inside the window, so that feature extraction never needs to check
// a block against the window. Walks the layout without creating blocks: every
// step either passes an inside block or stops, so a huge region costs no more
// than the blocks the window can hold.
void CheckBlocksInsideWindow(const BlockSize& size, const std::string& method,
                             const std::vector<BlockRect>& regions, int windowW, int windowH) {
  const int64_t width = size.width;
  const int64_t height = size.height;
  for (const BlockRect& region : regions) {
    for (int64_t y = region.y0; y <= region.y1 - height + 1; y += size.yStep) {
      for (int64_t x = region.x0; x <= region.x1 - width + 1; x += size.xStep) {
        if (x < 0 || y < 0 || x + width > windowW || y + height > windowH) {
          Fatal(kSource, "Model::SetupModelfromParameters", kBlockOutsideLine,
                Format("block (%lld,%lld)-(%lld,%lld) of method '%s' lies outside the %dx%d "
                       "detection window",
                       static_cast<long long>(x), static_cast<long long>(y),
                       static_cast<long long>(x + width - 1),
                       static_cast<long long>(y + height - 1), method.c_str(), windowW,
                       windowH));
        }
      }
    }
  }
}

}  // namespace

void Model::SetupModelfromParameters(const std::string& path) {
  blockModels.clear();
  Parameters config;
  config.ParseFile(path);

  modelID = config.modelID;
  if (modelID.empty()) {
    Fatal(kSource, "Model::SetupModelfromParameters", kNoIdentifierLine, kNoIdentifierMessage);
  }

  windowW = static_cast<int16_t>(config.window.width);
  windowH = static_cast<int16_t>(config.window.height);
  if (windowW < 1 || windowH < 1) {
    Fatal(kSource, "Model::SetupModelfromParameters", kWindowSizeLine, kWindowSizeMessage);
  }

  objX0 = config.object.x0;
  objY0 = config.object.y0;
  objW = config.object.width;
  objH = config.object.height;
  if (objX0 < 0 || objY0 < 0 || objW < 0 || objH < 0) {
    objX0 = 0;
    objY0 = 0;
    objW = windowW;
    objH = windowH;
  }

  if (config.regions.empty()) {
    Fatal(kSource, "Model::SetupModelfromParameters", kNoRegionLine, kNoRegionMessage);
  }

  FeatureParameters = config.paramSets;

  for (const auto& [name, methodSpec] : config.methods) {
    auto sizes = config.blockSizes.find(methodSpec.blockSet);
    if (sizes == config.blockSizes.end()) {
      Fatal(kSource, "Model::SetupModelfromParameters", kNoBlockSizesLine, kNoBlockSizesMessage);
    }
    // Without its parameter set the method could not be configured, and the
    // blocks would name a set the model file does not hold.
    if (config.paramSets.find(methodSpec.paramSet) == config.paramSets.end()) {
      Fatal(kSource, "Model::SetupModelfromParameters", kNoParameterSetLine,
            Format("no parameters available for parameter set '%s' of method '%s' (use "
                   "params <%s, key, value>)",
                   methodSpec.paramSet.c_str(), name.c_str(), methodSpec.paramSet.c_str()));
    }
    for (const BlockSize& size : sizes->second) {
      // A step of 0 would lay out the same block forever.
      if (size.width < 1 || size.height < 1 || size.xStep < 1 || size.yStep < 1) {
        Fatal(kSource, "Model::SetupModelfromParameters", kBadBlockSizeLine,
              Format("invalid block size %dx%d with steps %d, %d in block set '%s'", size.width,
                     size.height, size.xStep, size.yStep, methodSpec.blockSet.c_str()));
      }
      CheckBlocksInsideWindow(size, name, config.regions, windowW, windowH);
      LayoutBlocks(size, name, methodSpec.paramSet, config.regions, blockModels);
    }
  }

  nfactors = config.factors;
  SetClassifiers(config.classifiers);
}

void Model::SetClassifiers(const std::vector<std::string>& names) {
  if (names.size() >= 2) {
    Fatal(kSource, "Model::SetClassifiers", kTooManyClassifiersLine, kTooManyClassifiersMessage);
  }
  if (names.empty()) {
    Fatal(kSource, "Model::SetClassifiers", kNoClassifierLine, kNoClassifierMessage);
  }
  const std::string& name = names.front();
  if (name.find("qda") != std::string::npos) {
    useQDA = true;
    usePLSReg = false;
  } else if (name.find("plsReg") != std::string::npos) {
    usePLSReg = true;
    useQDA = false;
  } else {
    FailPlain(Format("invalid classifier: '%s'\n", name.c_str()));
  }
}

void Model::SetNumberOfRawFeatures(int count) {
  if (count > kMaxRawFeatures) {
    Fatal(kSource, "Model::SetNumberOfRawFeatures", kTooManyFeaturesLine,
          kTooManyFeaturesMessage);
  }
  nrawfeatures = count;
  if (inputBuffer.empty()) return;

  // A model that is ready to classify (read from a file) learns its blocks'
  // feature counts from the feature methods only now. They must be the
  // counts its projections were trained on, or scoring would read the raw
  // vector at the wrong places; then it is prepared again for them.
  for (size_t b = 0; b < blockModels.size(); ++b) {
    const BlockModel& block = *blockModels[b];
    if (!block.raw && block.pls.Wstar && block.pls.Wstar->rows() != block.nfeatures) {
      Fatal(kSource, "Model::SetNumberOfRawFeatures", kFeatureCountLine,
            Format("block %zu (%d,%d)-(%d,%d) of method '%s' yields %d features, but its block "
                   "PLS was trained on %d",
                   b, block.rect.x0, block.rect.y0, block.rect.x1, block.rect.y1,
                   block.feature.c_str(), block.nfeatures, block.pls.Wstar->rows()));
    }
  }
  if (AllRawFeatures && count != nfeatures) {
    Fatal(kSource, "Model::SetNumberOfRawFeatures", kFeatureCountLine,
          Format("the raw feature vector has %d values, but the window PLS was trained on %d",
                 count, nfeatures));
  }
  AllocateBuffers();
}

void Model::CreatePLSModel(const Matrix& positives, const Matrix& negatives) {
  if (positives.cols() != nfeatures) {
    Fatal(kSource, "Model::CreatePLSModel", kTrainColumnsLine, kTrainColumnsMessage);
  }
  if (nrawfeatures < 0) {
    Fatal(kSource, "Model::CreatePLSModel", kTrainRawFeaturesLine, kTrainRawFeaturesMessage);
  }
  if (nfactors < 1) {
    Fatal(kSource, "Model::CreatePLSModel", kTrainFactorsLine,
          Format("invalid number of factors %d (use factors <n> with n >= 1)", nfactors));
  }
  MatrixPtr X = StackRows(&negatives, positives);
  Vector y(X->rows());
  FillRange(y.data(), negatives.rows(), positives.rows(), 1.0f);

  qda.reset();
  PLSReg.reset();
  pls.RunNIPALS(*X, y, nfactors, 1.0f, 1.0f);
  X.reset();
  AllocateBuffers();

  // The classifiers learn from the training scores and the 0/1 labels as
  // they were before the PLS standardised them.
  if (useQDA) {
    qda = std::make_unique<QDA>();
    qda->Train(*pls.T, *pls.Y);
  } else if (usePLSReg) {
    TrainPLSRegression();
  }

  AllRawFeatures = std::none_of(blockModels.begin(), blockModels.end(),
                                [](const std::unique_ptr<BlockModel>& b) { return !b->raw; });
}

void Model::TrainPLSRegression() {
  const Matrix& Wstar = *pls.Wstar;
  const Matrix& T = *pls.T;
  const Vector& y = *pls.Y;
  const int m = Wstar.rows();
  const int K = Wstar.cols();
  const int n = y.n();

  Matrix c(K, 1);
  for (int k = 0; k < K; ++k) c(k, 0) = DotProductScalar(T.Column(k), y.data(), n);
  MatrixPtr coefficients = MultiplyMatrices(Wstar, c);

  auto regression = std::make_unique<PLSRegression>();
  regression->Bstar = std::make_unique<Vector>(m);
  std::memcpy(regression->Bstar->data(), coefficients->data(), sizeof(float) * m);
  WriteMatrixFile("bstar.matrix", *regression->Bstar);

  float sum = 0.0f;
  for (int i = 0; i < n; ++i) sum += y[i];
  regression->YMean = sum / static_cast<float>(n);
  regression->Wstar = CopyMatrix(Wstar);
  regression->T = CopyMatrix(T);
  regression->Y = y.Copy();
  PLSReg = std::move(regression);
}

void Model::ClassifyFeatures(const float* raw, float* response, float* other) {
  if (AllRawFeatures) {
    std::memcpy(inputBuffer.data(), raw, sizeof(float) * static_cast<size_t>(std::max(nrawfeatures, 0)));
    ClassifyInput(inputBuffer.data(), response, other);
    return;
  }
  rawSlices_.resize(blockModels.size());
  for (size_t b = 0; b < blockModels.size(); ++b) {
    rawSlices_[b] = raw;
    raw += blockModels[b]->nfeatures;
  }
  ClassifySlices(rawSlices_.data(), response, other);
}

void Model::ClassifySlices(const float* const* slices, float* response, float* other) {
  float* out = inputBuffer.data();
  if (AllRawFeatures) {
    for (size_t b = 0; b < blockModels.size(); ++b) {
      const size_t m = static_cast<size_t>(std::max(blockModels[b]->nfeatures, 0));
      std::memcpy(out, slices[b], sizeof(float) * m);
      out += m;
    }
  } else if (packedBlocks_.size() == blockModels.size()) {
    const float* parameters = packedParameters_.data();
    for (size_t b = 0; b < packedBlocks_.size(); ++b) {
      const PackedBlock& block = packedBlocks_[b];
      const int m = block.nfeatures;
      if (block.kind == PackedBlock::kFused) {
        const float* mean = parameters + block.offset;
        ProjectPackedColumns(slices[b], mean, mean + m, mean + 2 * static_cast<size_t>(m), m,
                             block.outputs, out);
      } else if (block.kind == PackedBlock::kCopy) {
        std::memcpy(out, slices[b], sizeof(float) * static_cast<size_t>(m));
      } else {
        block.block->ProjectSlice(slices[b], out);
      }
      out += block.outputs;
    }
  } else {
    // Blocks that were never prepared: the same results through each block.
    for (size_t b = 0; b < blockModels.size(); ++b) {
      blockModels[b]->ProjectSlice(slices[b], out);
      out += blockModels[b]->OutputLength();
    }
  }
  ClassifyInput(inputBuffer.data(), response, other);
}

void Model::ClassifyInput(const float* input, float* response, float* other) {
  if (useQDA) {
    if (!qda) {
      // An untrained classifier: let a fresh QDA give its own report.
      QDA().ClassifySample(input, response, other);
      return;
    }
    // Projects onto the factors the PLS kept, which are the ones QDA was
    // trained on, even when a stopping rule kept fewer than nfactors.
    ProjectSampleFused(pls, input, projectionBuffer.data(), nfactors);
    qda->ClassifySample(projectionBuffer.data(), response, other);
  } else if (usePLSReg && PLSReg) {
    const int m = pls.Wstar->rows();
    float* standardized = projectionBuffer.data();
    Standardize(input, pls.XMean->data(), pls.XStd->data(), standardized, m);
    *response = DotProductScalar(standardized, PLSReg->Bstar->data(), m) + PLSReg->YMean;
    *other = -1.0f;
  }
}

void Model::Clear() {
  qda.reset();
  PLSReg.reset();
  pls.Clear();
  std::vector<float>().swap(inputBuffer);
  std::vector<float>().swap(projectionBuffer);
  packedBlocks_.clear();
  std::vector<float>().swap(packedParameters_);
}

namespace {

MatrixPtr CopyOrNull(const MatrixPtr& m) { return m ? CopyMatrix(*m) : nullptr; }
VectorPtr CopyOrNull(const VectorPtr& v) { return v ? v->Copy() : nullptr; }

void CopyPLS(const PLS& from, PLS& to) {
  to.XMean = CopyOrNull(from.XMean);
  to.XStd = CopyOrNull(from.XStd);
  to.Y = CopyOrNull(from.Y);
  to.b = CopyOrNull(from.b);
  to.T = CopyOrNull(from.T);
  to.P = CopyOrNull(from.P);
  to.W = CopyOrNull(from.W);
  to.Wstar = CopyOrNull(from.Wstar);
  to.scratch = CopyOrNull(from.scratch);
}

}  // namespace

std::unique_ptr<Model> Model::Copy() const {
  auto copy = std::make_unique<Model>();
  CopyPLS(pls, copy->pls);
  for (const std::unique_ptr<BlockModel>& block : blockModels) {
    auto blockCopy = std::make_unique<BlockModel>();
    blockCopy->rect = block->rect;
    blockCopy->feature = block->feature;
    blockCopy->params = block->params;
    blockCopy->instanceIndex = block->instanceIndex;
    blockCopy->nfeatures = block->nfeatures;
    CopyPLS(block->pls, blockCopy->pls);
    blockCopy->raw = block->raw;
    blockCopy->nfactors = block->nfactors;
    copy->blockModels.push_back(std::move(blockCopy));
  }
  copy->nfactors = nfactors;
  if (qda) {
    copy->qda = std::make_unique<QDA>();
    QDA& to = *copy->qda;
    to.logPriori = qda->logPriori;
    to.logDetSigma1 = qda->logDetSigma1;
    to.logDetSigma2 = qda->logDetSigma2;
    to.Gmeans = CopyOrNull(qda->Gmeans);
    to.gmean1 = CopyOrNull(qda->gmean1);
    to.gmean2 = CopyOrNull(qda->gmean2);
    to.invR1 = CopyOrNull(qda->invR1);
    to.invR2 = CopyOrNull(qda->invR2);
    to.nfactors = qda->nfactors;
    to.work1 = CopyOrNull(qda->work1);
    to.work2 = CopyOrNull(qda->work2);
    to.work3 = CopyOrNull(qda->work3);
  }
  if (PLSReg) {
    copy->PLSReg = std::make_unique<PLSRegression>();
    copy->PLSReg->Bstar = CopyOrNull(PLSReg->Bstar);
    copy->PLSReg->Wstar = CopyOrNull(PLSReg->Wstar);
    copy->PLSReg->YMean = PLSReg->YMean;
    copy->PLSReg->T = CopyOrNull(PLSReg->T);
    copy->PLSReg->Y = CopyOrNull(PLSReg->Y);
  }
  copy->nfeatures = nfeatures;
  copy->nrawfeatures = nrawfeatures;
  copy->FeatureParameters = FeatureParameters;
  copy->windowW = windowW;
  copy->windowH = windowH;
  copy->objX0 = objX0;
  copy->objY0 = objY0;
  copy->objW = objW;
  copy->objH = objH;
  copy->usedInstances = usedInstances;
  copy->modelID = modelID;
  copy->AllRawFeatures = AllRawFeatures;
  copy->useQDA = useQDA;
  copy->usePLSReg = usePLSReg;
  copy->inputBuffer = inputBuffer;
  copy->projectionBuffer = projectionBuffer;
  // The packed projections as they are (blocks changed since the last
  // AllocateBuffers stay unseen in the copy too), pointing at the copy's blocks.
  copy->packedBlocks_ = packedBlocks_;
  for (PackedBlock& packed : copy->packedBlocks_) {
    for (size_t b = 0; b < blockModels.size(); ++b) {
      if (packed.block == blockModels[b].get()) packed.block = copy->blockModels[b].get();
    }
  }
  copy->packedParameters_ = packedParameters_;
  copy->rawSlices_ = rawSlices_;
  return copy;
}

void Model::Save(const std::string& fileName) const {
  Storage storage;
  storage.WriteModel(*this, fileName);
}

void Model::PackBlocks() {
  packedBlocks_.clear();
  packedParameters_.clear();
  size_t total = 0;
  for (const std::unique_ptr<BlockModel>& block : blockModels) {
    const int outputs = block->OutputLength();
    if (!block->raw && outputs >= 1 && outputs <= kFusedFactorLimit) {
      total += static_cast<size_t>(block->pls.Wstar->rows()) * (2 + outputs);
    }
  }
  packedParameters_.reserve(total);
  for (const std::unique_ptr<BlockModel>& block : blockModels) {
    PackedBlock packed;
    packed.block = block.get();
    packed.nfeatures = block->nfeatures;
    packed.outputs = block->OutputLength();
    if (block->raw) {
      packed.kind = PackedBlock::kCopy;
    } else if (packed.outputs >= 1 && packed.outputs <= kFusedFactorLimit &&
               block->pls.Wstar->rows() == block->nfeatures) {
      packed.kind = PackedBlock::kFused;
      packed.offset = packedParameters_.size();
      const PLS& pls = block->pls;
      const size_t m = static_cast<size_t>(block->nfeatures);
      packedParameters_.insert(packedParameters_.end(), pls.XMean->data(), pls.XMean->data() + m);
      packedParameters_.insert(packedParameters_.end(), pls.XStd->data(), pls.XStd->data() + m);
      const size_t at = packedParameters_.size();
      packedParameters_.resize(at + m * static_cast<size_t>(packed.outputs));
      PackColumns(pls.Wstar->data(), static_cast<int>(m), packed.outputs,
                  packedParameters_.data() + at);
    } else {
      packed.kind = PackedBlock::kOwnPath;
    }
    packedBlocks_.push_back(packed);
  }
}

void Model::AllocateBuffers() {
  // nrawfeatures is the largest in every model the training builds; the other
  // counts only guard against a model whose input or projection is longer. A
  // projection writes at most the factors the PLS kept.
  const int size = std::max({nrawfeatures, nfeatures, pls.FactorsKept(), 0});
  inputBuffer.assign(static_cast<size_t>(size), 0.0f);
  projectionBuffer.assign(static_cast<size_t>(size), 0.0f);
  PackBlocks();
}

}  // namespace pedscan
