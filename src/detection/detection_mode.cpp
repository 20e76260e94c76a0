#include "detection/detection_mode.h"

#include <memory>

#include "detection/detection.h"

namespace pedscan {

void RunDetection(const std::string& configFile, const DetectionOptions& options) {
  auto detection = std::make_unique<Detection>(configFile, options);
  while (detection->ProcessNextFrame() >= 0) detection->SaveResults();
  if (detection->IsVideo() || detection->IsCamera()) detection->ReleaseCapture();
}

}  // namespace pedscan
