#include "training/training_mode.h"

#include "training/feature_extraction.h"
#include "training/training.h"

namespace pedscan {

void RunTraining(const std::string& configFile, InputParameters& parameters) {
  Training training;
  training.Setup(configFile, &parameters);
  training.Run();
}

void RunFeatureExtraction(const std::string& configFile, InputParameters& parameters) {
  FeatureExtraction extraction(configFile, parameters);
  extraction.Run();
}

}  // namespace pedscan
