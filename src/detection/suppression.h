// Non-maximum suppression of the detections of one object type.
#pragma once

#include <vector>

#include "support/geometry.h"

namespace pedscan {

// The windows that survive suppression at `threshold`, in input order; the
// input is not changed. Every pair (i < j) is compared, suppressed or not:
// when intersection / union of the two boxes (single precision) exceeds the
// threshold, the weaker is suppressed, the earlier one on equal responses.
// So a suppressed window still suppresses weaker windows that overlap it.
std::vector<DetectionWindow> NonMaxSuppression(const std::vector<DetectionWindow>& list,
                                               float threshold);

// The same decision as a flag per window: true for the windows that
// NonMaxSuppression leaves out.
std::vector<bool> SuppressedWindows(const std::vector<DetectionWindow>& list, float threshold);

// Intersection over union of two boxes in single precision; 0 when they do
// not overlap (boxes that only touch included).
float Overlap(const DetectionWindow& a, const DetectionWindow& b);

}  // namespace pedscan
