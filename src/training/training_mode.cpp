#include "training/training_mode.h"

#include "training/feature_extraction.h"
#include "training/training.h"

namespace pedscan {

void RunTraining(const std::string& configFile, const TrainingOptions& options) {
  Training training;
  training.Setup(configFile, options);
  training.Run();
}

void RunFeatureExtraction(const std::string& configFile, const ExtractionOptions& options) {
  FeatureExtraction extraction(configFile, options);
  extraction.Run();
}

}  // namespace pedscan
