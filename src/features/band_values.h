// The band values of one pixel for the co-occurrence features, shared by
// Cooccurrence's own functions and the dispatched band conversion. They live
// in the namespace of the instruction set being compiled (numeric/dispatch.h)
// so that no two compilations share an out-of-line copy.
#pragma once

#include <algorithm>

#include "numeric/dispatch.h"

namespace pedscan {
namespace PEDSCAN_KERNELS {

// The band values, written without branches so that a row converts as one
// vectorised loop.
//
// Hue: 0 when all channels are equal; otherwise, with the test sequence
// "red is the largest", then "green equals blue", then the rest:
// h = (f / (max - min) + k) / 6 * 255 truncated, plus 255 when negative.
// When all channels are equal the first branch gives f = 0 and k = 0, so the
// only special case left is the zero divisor, replaced by 1. Single
// precision throughout: in double, pure blue's 4 / 6 * 255 lands just below
// 170 and would truncate to 169; in float it rounds to 170.
inline int HueOf(int red, int green, int blue) {
  const int maximum = std::max(red, std::max(green, blue));
  const int minimum = std::min(red, std::min(green, blue));
  const bool redLargest = red == maximum;
  const bool greenIsBlue = green == blue;
  const int f = redLargest ? green - blue : (greenIsBlue ? blue - red : red - green);
  const int k = redLargest ? 0 : (greenIsBlue ? 2 : 4);
  const int range = std::max(maximum - minimum, 1);
  const int h = static_cast<int>(
      (static_cast<float>(f) / static_cast<float>(range) + static_cast<float>(k)) / 6.0f * 255.0f);
  return h < 0 ? h + 255 : h;
}

// Saturation: (max - min) / max * 255 truncated; 0 when all channels are
// equal, which the zero numerator gives by itself once a zero maximum is
// replaced by 1.
inline int SaturationOf(int red, int green, int blue) {
  const int maximum = std::max(red, std::max(green, blue));
  const int minimum = std::min(red, std::min(green, blue));
  return static_cast<int>(static_cast<float>(maximum - minimum) /
                          static_cast<float>(std::max(maximum, 1)) * 255.0f);
}

}  // namespace PEDSCAN_KERNELS
}  // namespace pedscan
