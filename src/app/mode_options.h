// The options each mode takes, filled from the command-line record.
//
// The modes and engines below the command line never see InputParameters:
// the driver hands each the small record of what it uses.
#pragma once

#include "app/input_parameters.h"
#include "detection/detection.h"
#include "source/samples.h"
#include "training/feature_extraction.h"
#include "training/training.h"

namespace pedscan {

// The input path, its kind, masks, regions and frame range.
SourceOptions SourceOptionsOf(const InputParameters& parameters);
DetectionOptions DetectionOptionsOf(const InputParameters& parameters);
TrainingOptions TrainingOptionsOf(const InputParameters& parameters);
ExtractionOptions ExtractionOptionsOf(const InputParameters& parameters);

}  // namespace pedscan
