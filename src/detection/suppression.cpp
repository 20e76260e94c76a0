#include "detection/suppression.h"

#include <algorithm>

namespace pedscan {

float Overlap(const DetectionWindow& a, const DetectionWindow& b) {
  // Widened to int: a corner x + width may not fit in 16 bits.
  return IntersectionOverUnion<float, int>(a.x, a.y, a.width, a.height, b.x, b.y, b.width,
                                           b.height);
}

std::vector<bool> SuppressedWindows(const std::vector<DetectionWindow>& list, float threshold) {
  std::vector<bool> suppressed(list.size(), false);
  for (size_t i = 0; i < list.size(); ++i) {
    for (size_t j = i + 1; j < list.size(); ++j) {
      float overlap = Overlap(list[i], list[j]);
      if (overlap == 0.0f) continue;
      if (threshold < overlap) {
        if (list[j].response < list[i].response) {
          suppressed[j] = true;
        } else {
          suppressed[i] = true;
        }
      }
    }
  }
  return suppressed;
}

std::vector<DetectionWindow> NonMaxSuppression(const std::vector<DetectionWindow>& list,
                                               float threshold) {
  const std::vector<bool> suppressed = SuppressedWindows(list, threshold);
  std::vector<DetectionWindow> kept;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!suppressed[i]) kept.push_back(list[i]);
  }
  return kept;
}

}  // namespace pedscan
