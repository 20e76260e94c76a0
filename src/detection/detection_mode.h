// The detection mode as the program driver runs it.
#pragma once

#include <string>

#include "app/input_parameters.h"

namespace pedscan {

// Builds the detection from the configuration file and the parameter record,
// processes and saves frame after frame until the source has none left, then
// releases the capture of a video or camera source. A source without frames
// writes nothing. Failures propagate as Failure.
void RunDetection(const std::string& configFile, InputParameters& parameters);

}  // namespace pedscan
