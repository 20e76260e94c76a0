#include "app/mode_options.h"

namespace pedscan {

SourceOptions SourceOptionsOf(const InputParameters& parameters) {
  SourceOptions source;
  source.input = parameters.input;
  source.filemask = parameters.filemask;
  source.isDirectory = parameters.isDirectory;
  source.isImage = parameters.isImage;
  source.isVideo = parameters.isVideo;
  source.camera = parameters.camera;
  if (parameters.rois) source.rois = *parameters.rois;
  source.videoFirst = parameters.videoFirst;
  source.videoLast = parameters.videoLast;
  source.videoStep = parameters.videoStep;
  return source;
}

DetectionOptions DetectionOptionsOf(const InputParameters& parameters) {
  DetectionOptions options;
  options.source = SourceOptionsOf(parameters);
  options.output = parameters.output;
  options.drawBB = parameters.drawBB;
  options.drawEllipse = parameters.drawEllipse;
  options.nonMaxSup = parameters.nonMaxSup;
  options.stageNonMaxSup = parameters.stageNonMaxSup;
  options.overlap = parameters.overlap;
  options.placeBoxes = parameters.placeBoxes;
  options.contained = parameters.contained;
  options.soft = parameters.soft;
  options.padding = parameters.padding;
  options.threads = parameters.threads;
  return options;
}

TrainingOptions TrainingOptionsOf(const InputParameters& parameters) {
  TrainingOptions options;
  options.positive = parameters.positive;
  options.negative = parameters.negative;
  options.filemask = parameters.filemask;
  options.modelFile = parameters.modelFile;
  options.nSampIm = parameters.nSampIm;
  options.seed = parameters.seed;
  options.nRetIt = parameters.nRetIt;
  options.samplesIt = parameters.samplesIt;
  options.ThRetraining = parameters.ThRetraining;
  options.shift = parameters.shift;
  options.nblockIt = parameters.nblockIt;
  options.rawFeatures = parameters.rawFeatures;
  options.nfactBlock = parameters.nfactBlock;
  options.cv = parameters.cv;
  options.nfolds = parameters.nfolds;
  options.threads = parameters.threads;
  return options;
}

ExtractionOptions ExtractionOptionsOf(const InputParameters& parameters) {
  ExtractionOptions options;
  options.input = parameters.input;
  options.isImage = parameters.isImage;
  options.filemask = parameters.filemask;
  options.output = parameters.output;
  options.nSampIm = parameters.nSampIm;
  options.seed = parameters.seed;
  options.threads = parameters.threads;
  return options;
}

}  // namespace pedscan
