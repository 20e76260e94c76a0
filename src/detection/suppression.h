// Non-maximum suppression of the detections of one object type.
#pragma once

#include <vector>

#include "support/geometry.h"

namespace pedscan {

// Overlap above which the suppression drops the weaker of two detections of
// a type, unless told another.
inline constexpr float kSuppressionThreshold = 0.2f;

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

// Soft suppression: the responses of `list` once each window has been
// weakened by the stronger windows overlapping it, in input order; the
// input is not changed. Greedily, the strongest window not yet taken is
// taken (the earlier one on equal responses), and every window not yet
// taken that overlaps it by o has its response, when positive, multiplied
// by exp(-o * o / width). Removing the weaker of any two boxes that overlap
// by more than a threshold loses one of two people walking close together;
// here the one behind keeps its box with a lower response, while the
// shifted and rescaled copies of one person, which overlap it by more,
// fall further. Requires width > 0.
std::vector<double> SoftSuppressedResponses(const std::vector<DetectionWindow>& list, float width);

// Intersection over union of two boxes in single precision; 0 when they do
// not overlap (boxes that only touch included).
float Overlap(const DetectionWindow& a, const DetectionWindow& b);

// The windows of `list` that do not lie, by `fraction` or more of their own
// area, inside a window of the list that is both stronger and taller, in
// input order. A part of a person scored as a person of its own (the upper
// body, the legs) overlaps the person's box little by intersection over
// union, its area being small beside the box's, so the overlap suppression
// keeps it; yet it lies inside that box. Of two people one behind the
// other, the one behind loses its box only when it is mostly hidden.
std::vector<DetectionWindow> RemoveContained(const std::vector<DetectionWindow>& list, float fraction);

// A window and the weight it carries when a detection's box is placed.
struct WeightedWindow {
  DetectionWindow box;
  double weight = 0.0;
};

// `kept` with its box moved to the weighted mean of the boxes of `windows`
// of positive weight that overlap it by `overlap` or more (x, y, width and height each
// averaged, rounded to the nearest pixel); its response stays. A window on
// the pyramid's grid places a person only to within a grid step and a
// scale step, while its shifted and rescaled neighbours that also fired
// agree on where the person is. Unchanged when no such window exists.
DetectionWindow PlaceBox(const DetectionWindow& kept, const std::vector<WeightedWindow>& windows,
                         float overlap);

}  // namespace pedscan
