// The standard text forms of a result folder.
//
// COCO results: a JSON list of {"image_id", "category_id", "bbox": [x, y, w, h],
// "score"}, the form COCO evaluation tools load as detections, with a
// companion COCO dataset skeleton {"images": [{"id", "file_name", "frame"}],
// "categories": [{"id", "name"}], "annotations": []} that says which frame
// and type each id stands for. Ids count from 1 in sorted name order, so the
// same folder always gives the same ids.
//
// JSON Lines: one object per frame, in name order:
// {"frame": 440 | null, "name": "0440", "types": [...], "boxes": [[x, y, w, h], ...],
//  "scores": [...]}, the three lists running in parallel.
#pragma once

#include <string>

#include "result_folder.h"

namespace pedscan {
namespace exporting {

std::string CocoResults(const ResultFolder& results);
std::string CocoIndex(const ResultFolder& results);
std::string JsonLines(const ResultFolder& results);

// Where the companion of the COCO results `path` goes: "<path without .json>.meta.json".
std::string CocoIndexPath(const std::string& path);

// Writes `text` as the whole of `path`, complete or not at all; a plain
// report naming the file and the reason when it cannot.
void WriteTextFile(const std::string& path, const std::string& text);

}  // namespace exporting
}  // namespace pedscan
