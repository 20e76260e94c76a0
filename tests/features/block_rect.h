// A block rectangle from its corner and size, with the inclusive right and
// bottom corners filled in, for the feature tests.
#pragma once

#include "support/geometry.h"

namespace pedscan {

inline BlockRect Rect(int x0, int y0, int width, int height) {
  BlockRect r;
  r.x0 = x0;
  r.y0 = y0;
  r.width = width;
  r.height = height;
  r.x1 = x0 + width - 1;
  r.y1 = y0 + height - 1;
  return r;
}

}  // namespace pedscan
