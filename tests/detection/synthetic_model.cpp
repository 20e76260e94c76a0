#include "synthetic_model.h"

#include <opencv2/imgproc.hpp>

#include "features/feature_control.h"
#include "numeric/matrix.h"

namespace pedscan {
namespace testutil {

const char kObjectConfig[] =
    "ModelID <blob01>\n"
    "window <32, 64>\n"
    "object <4, 8, 24, 48>\n"
    "region <0, 0, 31, 63>\n"
    "method <HOG, hogBlocks, 0, hogSet>\n"
    "block <hogBlocks, 16, 16, 8, 8, 0>\n"
    "params <hogSet, UseHOG, 1>\n"
    "params <hogSet, UseColorFrequency, 1>\n"
    "method <COOCH, coocBlocks, 0, coocSet>\n"
    "block <coocBlocks, 16, 16, 16, 16, 0>\n"
    "params <coocSet, bins, 16>\n"
    "params <coocSet, distance, 1>\n"
    "params <coocSet, cache, 1>\n"
    "factors <6>\n"
    "classifier <qda>\n";

cv::Mat NoiseImage(int width, int height, cv::RNG& rng) {
  cv::Mat image(height, width, CV_8UC3);
  rng.fill(image, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(81));
  cv::GaussianBlur(image, image, cv::Size(3, 3), 0.0);
  return image;
}

void DrawObject(cv::Mat& image, const cv::Rect& box, cv::RNG& rng) {
  cv::Scalar colour(rng.uniform(180, 256), rng.uniform(180, 256), rng.uniform(180, 256));
  double w = box.width;
  double h = box.height;
  cv::Point head(box.x + cvRound(w * 0.5), box.y + cvRound(h * 0.14));
  cv::circle(image, head, std::max(1, cvRound(w * 0.2)), colour, cv::FILLED, cv::LINE_AA);
  cv::Point body(box.x + cvRound(w * 0.5), box.y + cvRound(h * 0.6));
  cv::ellipse(image, body, cv::Size(std::max(1, cvRound(w * 0.4)), std::max(1, cvRound(h * 0.36))),
              0.0, 0.0, 360.0, colour, cv::FILLED, cv::LINE_AA);
}

Crops MakeCrops(int windowW, int windowH, const cv::Rect& objectBox, int positives, int negatives,
                uint64_t seed) {
  cv::RNG rng(seed);
  Crops crops;
  for (int i = 0; i < positives; ++i) {
    cv::Mat crop = NoiseImage(windowW, windowH, rng);
    cv::Rect box = objectBox;
    box.x += rng.uniform(-1, 2);
    box.y += rng.uniform(-1, 2);
    DrawObject(crop, box, rng);
    crops.positives.push_back(crop);
  }
  for (int i = 0; i < negatives; ++i) {
    cv::Mat crop = NoiseImage(windowW, windowH, rng);
    cv::Rect box = objectBox;
    switch (i % 3) {
      case 0:
        break;
      case 1: {
        // Displaced so far that its box overlaps the object box by a third
        // or less: along x, along y, or along both.
        int dx = rng.uniform(objectBox.width / 2, objectBox.width + 1);
        int dy = rng.uniform(objectBox.height / 2, objectBox.height + 1);
        int mode = rng.uniform(0, 3);
        if (mode != 1) box.x += rng.uniform(0, 2) ? dx : -dx;
        if (mode != 0) box.y += rng.uniform(0, 2) ? dy : -dy;
        DrawObject(crop, box, rng);
        break;
      }
      default: {
        double scale = rng.uniform(0, 2) ? 0.5 : 2.0;
        cv::Point centre(objectBox.x + objectBox.width / 2 + rng.uniform(-4, 5),
                         objectBox.y + objectBox.height / 2 + rng.uniform(-8, 9));
        cv::Size size(cvRound(objectBox.width * scale), cvRound(objectBox.height * scale));
        DrawObject(crop, cv::Rect(centre.x - size.width / 2, centre.y - size.height / 2,
                                  size.width, size.height),
                   rng);
        break;
      }
    }
    crops.negatives.push_back(crop);
  }
  return crops;
}

namespace {

// One matrix per block: a row of block features per crop.
std::vector<MatrixPtr> BlockFeatures(FeatureControl& featureControl, const Model& model,
                                     const std::vector<cv::Mat>& crops) {
  int nblocks = static_cast<int>(model.blockModels.size());
  std::vector<MatrixPtr> matrices;
  for (const auto& block : model.blockModels) {
    matrices.push_back(CreateMatrix(static_cast<int>(crops.size()), block->nfeatures));
  }
  std::vector<float> buffer(1000);
  for (size_t row = 0; row < crops.size(); ++row) {
    featureControl.AddNewImage(crops[row]);
    featureControl.FillCache(model, 0, 0, 0, nblocks - 1);
    for (int b = 0; b < nblocks; ++b) {
      const BlockModel& block = *model.blockModels[b];
      featureControl.GetBlockFeatures(0, block, 0, buffer.data());
      for (int c = 0; c < block.nfeatures; ++c) {
        (*matrices[b])(static_cast<int>(row), c) = buffer[c];
      }
    }
    featureControl.ReleaseImage();
  }
  return matrices;
}

MatrixPtr SideBySide(const std::vector<MatrixPtr>& parts) {
  int cols = 0;
  for (const auto& part : parts) cols += part->cols();
  MatrixPtr all = CreateMatrix(parts[0]->rows(), cols);
  int offset = 0;
  for (const auto& part : parts) {
    for (int c = 0; c < part->cols(); ++c) {
      for (int r = 0; r < part->rows(); ++r) (*all)(r, offset + c) = (*part)(r, c);
    }
    offset += part->cols();
  }
  return all;
}

}  // namespace

std::unique_ptr<Model> TrainModel(const std::string& configPath, const Crops& crops,
                                  int blockFactors) {
  auto model = std::make_unique<Model>();
  model->SetupModelfromParameters(configPath);
  FeatureControl featureControl;
  featureControl.SetModelMethods(*model);
  featureControl.ActivateModelMethods(*model);

  std::vector<MatrixPtr> positives = BlockFeatures(featureControl, *model, crops.positives);
  std::vector<MatrixPtr> negatives = BlockFeatures(featureControl, *model, crops.negatives);
  std::vector<MatrixPtr> positiveOutputs;
  std::vector<MatrixPtr> negativeOutputs;
  for (size_t b = 0; b < model->blockModels.size(); ++b) {
    BlockModel& block = *model->blockModels[b];
    block.CreatePLSModel(*positives[b], *negatives[b], blockFactors, 1.0f, 1.0f);
    positiveOutputs.push_back(block.GetProjection(*positives[b]));
    negativeOutputs.push_back(block.GetProjection(*negatives[b]));
  }
  MatrixPtr positiveInput = SideBySide(positiveOutputs);
  MatrixPtr negativeInput = SideBySide(negativeOutputs);
  model->nfeatures = positiveInput->cols();
  model->CreatePLSModel(*positiveInput, *negativeInput);
  return model;
}

}  // namespace testutil
}  // namespace pedscan
