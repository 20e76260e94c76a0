#include "detection/suppression.h"

#include <algorithm>
#include <cmath>

namespace pedscan {

float Overlap(const DetectionWindow& a, const DetectionWindow& b) {
  // Widened to int: a corner x + width may not fit in 16 bits.
  return IntersectionOverUnion<float, int>(a.x, a.y, a.width, a.height, b.x, b.y, b.width,
                                           b.height);
}

std::vector<DetectionWindow> RemoveContained(const std::vector<DetectionWindow>& list, float fraction) {
  std::vector<DetectionWindow> kept;
  for (const DetectionWindow& window : list) {
    bool inside = false;
    for (const DetectionWindow& other : list) {
      if (!(other.response > window.response) || other.height <= window.height) continue;
      // Widened to int, as in Overlap.
      if (Coverage<float, int>(window.x, window.y, window.width, window.height, other.x, other.y, other.width,
                               other.height) >= fraction) {
        inside = true;
        break;
      }
    }
    if (!inside) kept.push_back(window);
  }
  return kept;
}

DetectionWindow PlaceBox(const DetectionWindow& kept, const std::vector<WeightedWindow>& windows,
                         float overlap) {
  double x = 0.0, y = 0.0, width = 0.0, height = 0.0, total = 0.0;
  for (const WeightedWindow& window : windows) {
    if (!(window.weight > 0.0) || Overlap(kept, window.box) < overlap) continue;
    x += window.weight * window.box.x;
    y += window.weight * window.box.y;
    width += window.weight * window.box.width;
    height += window.weight * window.box.height;
    total += window.weight;
  }
  if (total == 0.0) return kept;
  DetectionWindow placed = kept;
  // Means with positive weights lie between the boxes' own values.
  placed.x = static_cast<int16_t>(std::lround(x / total));
  placed.y = static_cast<int16_t>(std::lround(y / total));
  placed.width = static_cast<int16_t>(std::lround(width / total));
  placed.height = static_cast<int16_t>(std::lround(height / total));
  return placed;
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

std::vector<double> SoftSuppressedResponses(const std::vector<DetectionWindow>& list, float width) {
  std::vector<double> responses;
  responses.reserve(list.size());
  for (const DetectionWindow& window : list) responses.push_back(window.response);
  std::vector<bool> taken(list.size(), false);
  for (size_t round = 0; round < list.size(); ++round) {
    size_t strongest = list.size();
    for (size_t i = 0; i < list.size(); ++i) {
      if (!taken[i] && (strongest == list.size() || responses[i] > responses[strongest])) strongest = i;
    }
    taken[strongest] = true;
    for (size_t i = 0; i < list.size(); ++i) {
      if (taken[i] || !(responses[i] > 0.0)) continue;
      const double overlap = Overlap(list[strongest], list[i]);
      if (overlap > 0.0) responses[i] *= std::exp(-overlap * overlap / static_cast<double>(width));
    }
  }
  return responses;
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
