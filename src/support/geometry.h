// Small rectangle records shared by configuration, features, models and detection.
#pragma once

#include <algorithm>
#include <cstdint>

namespace pedscan {

// A rectangle with inclusive right and bottom corners: x1 = x0 + width - 1,
// y1 = y0 + height - 1. Fields a producer does not set hold -1. The field
// order (x0, y0, height, width, x1, y1) is the record's historical layout.
struct BlockRect {
  int32_t x0 = -1;
  int32_t y0 = -1;
  int32_t height = -1;
  int32_t width = -1;
  int32_t x1 = -1;
  int32_t y1 = -1;
};

// One window: a sampled training window, a scan result or an output box.
// Coordinates are pixels of the image the window refers to.
struct DetectionWindow {
  int16_t x = 0;
  int16_t y = 0;
  int16_t width = 0;
  int16_t height = 0;
  double response = 0.0;
};

// The area two boxes given as x, y, width, height share, in their own type
// T; 0 when they do not overlap or only touch.
template <typename T>
T IntersectionArea(T ax, T ay, T aw, T ah, T bx, T by, T bw, T bh) {
  const T width = std::min(ax + aw, bx + bw) - std::max(ax, bx);
  const T height = std::min(ay + ah, by + bh) - std::max(ay, by);
  if (!(width > 0) || !(height > 0)) return T(0);
  return width * height;
}

// Intersection over union of two boxes given as x, y, width, height: the
// overlap and the areas in the boxes' own type T, the quotient in Real (int
// boxes with a float quotient for the suppression, doubles for evaluation).
// Boxes that do not overlap, or only touch, give 0.
template <typename Real, typename T>
Real IntersectionOverUnion(T ax, T ay, T aw, T ah, T bx, T by, T bw, T bh) {
  const T intersection = IntersectionArea(ax, ay, aw, ah, bx, by, bw, bh);
  if (!(intersection > 0)) return Real(0);
  const T unionArea = aw * ah + bw * bh - intersection;
  return static_cast<Real>(intersection) / static_cast<Real>(unionArea);
}

// The part of box a's area that lies inside box b, the same way: 0 when
// they do not overlap or only touch.
template <typename Real, typename T>
Real Coverage(T ax, T ay, T aw, T ah, T bx, T by, T bw, T bh) {
  const T intersection = IntersectionArea(ax, ay, aw, ah, bx, by, bw, bh);
  if (!(intersection > 0)) return Real(0);
  return static_cast<Real>(intersection) / static_cast<Real>(aw * ah);
}

}  // namespace pedscan
