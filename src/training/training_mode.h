// The training and feature-extraction modes as the program driver runs them.
#pragma once

#include <string>

#include "training/feature_extraction.h"
#include "training/training.h"

namespace pedscan {

// Sets a training driver up from the configuration file and the options and
// runs it: training, retraining iterations with one model file
// each, optional cross-validation. Failures propagate as Failure.
void RunTraining(const std::string& configFile, const TrainingOptions& options);

// Builds the feature-extraction driver and runs it: two matrix files per
// input image. Failures propagate as Failure.
void RunFeatureExtraction(const std::string& configFile, const ExtractionOptions& options);

}  // namespace pedscan
