// Where the evaluation's frames come from: ground truth in any format the
// annotation library reads, detections as pedscan result folders or as a
// COCO results file.
//
// Frames are the images of the ground truth, matched to detections by the
// image's name (its file name without folder and extension).
//
// Ground truth:
//   - a folder of pedscan text files (<frame>.txt, "x y w h" lines) is read
//     exactly as LoadFrames reads it, with the same messages;
//   - anything else (a folder of VOC XML or labelme JSON, an imglab XML or a
//     COCO JSON file) through annotation::ReadAnnotations, its format told
//     apart by content. Objects flagged difficult, crowd or ignore become
//     the frame's ignore regions; the rest are the people to find.
// Detections:
//   - a folder: <folder>/<frame>.txt with "x y w h score" lines for every
//     frame of the ground truth. A frame without its file is an error naming
//     the file, whatever the ground truth's format: pedscan writes a file for
//     every frame it scanned, even an empty one, so a missing file means a
//     frame that was not scanned, not one where nothing was found;
//   - a file: COCO results (a list of {image_id, category_id, bbox, score}),
//     image ids resolved through the COCO ground truth or the file's own
//     "images". A frame it does not name has no detections; images it names
//     that the ground truth lacks are left out, but a file none of whose
//     images is in the ground truth is an error.
// A class filter keeps the objects and detections of the classes named
// (and those without a class); empty keeps everything.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "annotation/annotation.h"
#include "evaluation.h"

namespace pedscan {
namespace evaluation {

struct Truth {
  std::string path;
  annotation::Format format = annotation::Format::kBoxText;
  // Every image, objects filtered; left empty for pedscan text, which is
  // read together with each detector's files as LoadFrames reads them.
  std::vector<annotation::Image> images;
  // COCO category ids and names, for results files that name classes by id.
  std::vector<std::pair<long long, std::string>> categories;
  std::vector<std::string> classes;
};

// Reads the ground truth (the text format only as far as to know it is
// text). Throws Failure naming the file (and line or key) for anything
// malformed or missing.
Truth ReadTruth(const std::string& path, const std::vector<std::string>& classes = {});

// The frames of the ground truth with the detections of `detections`, a
// result folder or a COCO results file.
std::vector<Frame> LoadFrames(const Truth& truth, const std::string& detections);

}  // namespace evaluation
}  // namespace pedscan
