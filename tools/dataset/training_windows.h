// Training windows for any model, cut from annotated images.
//
// A positive window shows one object scaled so that it fills the model's
// object box: the scale is the larger of box width / object-box width and
// box height / object-box height, so the object fits whole and touches the
// object box on two sides, centred in it; the rest of the window, whatever
// the object's aspect ratio, is the image around it (replicated at the image
// border), never a stretched object. Jittered copies scale the box by
// exp(u * scaleJitter) and shift it by v * shiftJitter of its size (u, v
// uniform in [-1, 1], drawn from the seed, the image's and the object's
// index), so a rebuild with the same seed gives the same windows.
//
// Negatives are images with no kept object and no ignore region, written
// whole, and square tiles of the other images that keep a margin (a
// fraction of each object's size) away from every object and ignore region.
// Near negatives are windows drawn around each kept object that overlap
// every object and ignore region by an IoU under 0.3: part of a person, a
// person off centre, a box far too large. Tiles never show these, and they
// are where a detector trained on clear background places its false boxes.
// They have their own random stream, so asking for them changes no
// positive.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "annotation/annotation.h"

namespace pedscan {
namespace dataset {

struct WindowGeometry {
  int windowWidth = 0, windowHeight = 0;
  cv::Rect objectBox;  // inside the window
};

// The window and object box of a model configuration ("window" and
// "object" lines; no object line, or a negative value, means the whole
// window). Throws Failure for a file that cannot be read or has no window.
WindowGeometry ReadWindowGeometry(const std::string& configFile);

struct CutOptions {
  bool mirror = false;        // a mirrored copy of every positive window
  int jitter = 0;             // jittered copies per object, besides the exact one
  double scaleJitter = 0.1;   // log-scale range of the jitter
  double shiftJitter = 0.05;  // shift range, as a fraction of the box size
  uint32_t seed = 0;
  // Objects smaller than this (pixels; 0: half the object box's height) are
  // skipped: blown up, they would teach the model blur.
  double minHeight = 0;
  bool keepBorderCut = false;  // cut objects that reach outside the image too
  int tile = 0;                // negative tile side (0: twice the larger window side; <0: none)
  double margin = 0.5;         // tiles keep this fraction of each object's size away from it
  int threads = 0;             // images cut side by side (0: every core); same files for any count
  int nearNegatives = 0;       // near negatives per kept object
  double nearScale = 0.7;      // log-scale range of the near negatives
};

// Near negatives: the drawn box is the object's scaled by exp(u * nearScale)
// and shifted by v * kNearShiftX, w * kNearShiftY of its size; a draw is
// kept when its object box overlaps every object by less than kNearOverlap
// (an evaluation at IoU 0.5 counts such a box as a false alarm, and the band
// from 0.3 to 0.5 is left out as neither clearly right nor wrong), its window
// lies inside the image and its object box is tall enough. At most
// kNearDraws draws per window asked for.
constexpr double kNearShiftX = 0.8, kNearShiftY = 0.5, kNearOverlap = 0.3;
constexpr int kNearDraws = 20;

struct CutReport {
  int objects = 0;           // kept objects seen
  int positives = 0;         // windows written, copies included
  int negativeImages = 0;    // whole images written
  int negativeTiles = 0;     // tiles written
  int nearNegatives = 0;     // near negatives written
  int skippedSmall = 0;
  int skippedBorder = 0;
  int skippedIgnore = 0;
  std::vector<std::string> positiveFiles;  // in the order written
};

// The window of one object, with an optional jitter (scale factor and shift
// in box sizes) applied to its box.
cv::Mat CutWindow(const cv::Mat& image, const annotation::Object& object, const WindowGeometry& geometry,
                  double scale = 1.0, double shiftX = 0.0, double shiftY = 0.0);

// Cuts the positives of every image into posDir (<name>_<object>[_j<k>][_m].png)
// and, when negDir is not empty, the negatives into negDir
// (<name>.png, <name>_t<x>_<y>.png, near negatives <name>_<object>_n<k>.png).
// Images are read from each image's path,
// or from imageDir/<name>.<png|jpg|jpeg|bmp|tif|tiff> when imageDir is given.
// An image that cannot be read, or whose size differs from what its
// annotation says, throws Failure naming it; so does a file that cannot be
// written. Every file is written complete or not at all.
CutReport CutTrainingWindows(const std::vector<annotation::Image>& images, const WindowGeometry& geometry,
                             const CutOptions& options, const std::string& imageDir,
                             const std::string& posDir, const std::string& negDir);

// Guards a training set against frames it must never see (validation or
// test frames of the same video): every image's name must end in a decimal
// frame number ("0123", "vtest_0123") from first to last, both included.
// Requires: 0 <= first <= last.
// Throws Failure naming the annotation file and the first image that has no
// frame number or one outside the range.
void CheckFrameRange(const std::vector<annotation::Image>& images, long long first, long long last);

// Tiles the images at twice their size into one sheet, 20 to a row, for
// checking the windows by eye; at most `limit` images, evenly spread.
cv::Mat ContactSheet(const std::vector<std::string>& files, size_t limit = 400);

}  // namespace dataset
}  // namespace pedscan
