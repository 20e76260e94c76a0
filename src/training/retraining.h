// The pieces of retraining that stand on their own: the scan positions of a
// negative image, the bounded set of hard-negative candidates, and writing
// a model file so that it only ever appears complete.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "model/model.h"
#include "support/geometry.h"
#include "training/training.h"

namespace pedscan {

struct ScanPosition {
  int x;
  int y;
};

// The window positions scanned in an imageW x imageH image: rows
// y = 0, shift, ... while y < imageH - windowH, and in each row
// x = 0, shift, ... while x < imageW - windowW. The last position where the
// window would still fit (touching the right or bottom border) is never
// scanned, so an image of exactly the window's size yields none.
// Requires shift >= 1.
std::vector<ScanPosition> ScanPositions(int imageW, int imageH, int windowW, int windowH,
                                        int shift);

// The highest-scoring windows at or above a threshold, at most `capacity`
// of them, held in ascending response order; windows of equal response are
// kept in the order they came. When full, a new window replaces the weakest
// held one only if it scores strictly higher; so memory never grows with the
// number of windows offered. A capacity of 0 or less holds nothing.
class HardNegatives {
 public:
  HardNegatives(int capacity, float threshold) : capacity_(capacity), threshold_(threshold) {}

  // Offers one scanned window with its response; returns true when it is
  // held (it may still be evicted later).
  bool Offer(float response, const std::string& path, const DetectionWindow& window);

  int size() const { return static_cast<int>(candidates_.size()); }

  // The held windows grouped by image: one entry per path, in byte order of
  // the paths, each with its windows in ascending response order (each
  // window's response set to its score).
  std::vector<TrainingImage> Group() const;

 private:
  struct Candidate {
    std::string path;
    DetectionWindow window;
  };
  int capacity_;
  float threshold_;
  std::multimap<float, Candidate> candidates_;
};

// "<base>.retNN.yml": the model file of retraining iteration `iteration`
// (two digits at least).
std::string ModelFileName(const std::string& base, int iteration);

// Fatal, naming the files, when no model file can be created next to
// "<base>.retNN.yml" (missing or unwritable directory). Leaves nothing
// behind.
void CheckModelFilesWritable(const std::string& base);

// Writes `model` to `path` through a temporary file in the same directory
// that is flushed to disk and then renamed to `path`, so that `path` holds
// either its earlier content or the complete new model, never a partial one;
// a failure removes the temporary file. Fatal reports name `path`.
void SaveModelFile(const Model& model, const std::string& path);

}  // namespace pedscan
