// The detection mode as the program driver runs it.
#pragma once

#include <string>

#include "detection/detection.h"

namespace pedscan {

// Builds the detection from the configuration file and the options,
// processes and saves frame after frame until the source has none left, then
// releases the capture of a video or camera source. A source without frames
// writes nothing. Failures propagate as Failure.
void RunDetection(const std::string& configFile, const DetectionOptions& options);

}  // namespace pedscan
