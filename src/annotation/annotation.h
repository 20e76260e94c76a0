// Object boxes from the files that annotation tools write, read into one
// form for the dataset and evaluation tools.
//
// Formats, told apart by content (ReadAnnotations works out which):
//   - pedscan's own text: a folder of <name>.txt, one "x y w h" line per
//     object (no class);
//   - Pascal VOC XML as LabelImg and labelme2voc write it: a folder of
//     <name>.xml (or one file), <object> with <name>, <bndbox> xmin ymin xmax
//     ymax (floats allowed), <difficult> and <truncated> (empty means 0);
//   - COCO instances JSON: one file, "images" (id, file_name, width,
//     height), "categories" (id, name), "annotations" (image_id,
//     category_id, bbox [x, y, w, h], iscrowd, optional ignore);
//   - labelme JSON: a folder of <name>.json (or one file), "shapes" with
//     "label", "points" and "shape_type"; a rectangle gives its two corners, a
//     polygon its bounding box; other shapes (points, lines, circles) hold no
//     box and are left out; the label "__ignore__" marks an ignore region;
//   - dlib's imglab XML: one file, <image file=...> with
//     <box top left width height [ignore='1']> and an optional <label>.
//
// Flags that mean "neither find nor miss this" (VOC difficult, COCO iscrowd
// or ignore, imglab ignore, labelme __ignore__) make an object an ignore
// region. A box is x, y, width, height in pixels of the image, corners as
// the file gives them (VOC's xmax - xmin is the width; no +1).
//
// Nothing malformed is ever read as a box: a file that does not parse, a
// missing or non-numeric coordinate, a width or height that is not positive,
// an unknown category or a name used by two images throws the plain Failure
// "<file>:<line>: ..." (XML and text) or "<file>: <key>: ..." (JSON, the key
// as a path like "annotations[3].bbox"). A UTF-8 byte-order mark at the start
// of a file is accepted and skipped.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace pedscan {
namespace annotation {

enum class Format { kBoxText, kPascalVoc, kCoco, kLabelme, kImglab };

// "pedscan text", "Pascal VOC", "COCO", "labelme", "imglab".
const char* FormatName(Format format);

struct Object {
  std::string label;  // the class; empty in pedscan's own text files
  double x = 0, y = 0, width = 0, height = 0;
  bool ignore = false;     // an ignore region: a detection there counts neither way
  bool truncated = false;  // cut by the image border, as the annotator said (VOC)
  double score = 0;        // detections only
};

struct Image {
  // The image file's name without directory and extension ("2011_000003"):
  // what pedscan names its result files after, and what frames match by.
  std::string name;
  // The image file as the annotation names it, relative paths resolved
  // against the annotation file's folder; empty when the format names none.
  std::string path;
  int width = 0, height = 0;  // 0 when the file does not say
  long long cocoId = -1;      // the image's id in a COCO file
  std::string source;         // the annotation file, for messages
  std::vector<Object> objects;
};

// The classes to keep; empty keeps every class. Objects of other classes are
// left out entirely (they are neither objects nor ignore regions), except
// objects without a class (pedscan text) and labelme's "__ignore__" regions,
// which every filter keeps.
struct ClassFilter {
  std::vector<std::string> classes;
  bool Keeps(const std::string& label) const;
  bool Keeps(const Object& object) const;
};

// The images with only the objects `filter` keeps.
std::vector<Image> KeepClasses(std::vector<Image> images, const ClassFilter& filter);

// The format of a file or folder, from its content: a folder by the files
// in it (*.xml, *.json or *.txt; one kind only; a VOC dataset's root stands
// for its Annotations folder), a file by its first element or key. Throws Failure naming the path when it is none of them.
Format DetectFormat(const std::string& path);

// Every annotated image of a file or folder, sorted by name. Images without
// any object are kept (they are frames with nobody in them). Throws Failure
// as described above.
std::vector<Image> ReadAnnotations(const std::string& path, const ClassFilter& filter = {});

// The same for a format already known.
std::vector<Image> ReadAnnotations(const std::string& path, Format format,
                                   const ClassFilter& filter = {});

// Detections in COCO's results form: a JSON list of {image_id, category_id,
// bbox, score}, or an object holding such a list as "annotations" with
// "images" and "categories" maps of its own. A list takes its maps from the
// companion file beside it when there is one (CompanionOf: what export
// writes). Image ids resolve through those maps when there are any, else through `truth` (the COCO
// ground truth the results were made for); category ids through the file's
// "categories", else through `categories` (id -> name, may be empty: then
// the label is the id as text). Returns one Image per image named, sorted by
// name. Throws Failure naming the file and key for anything malformed or an
// id that resolves to nothing.
std::vector<Image> ReadCocoDetections(const std::string& path, const std::vector<Image>& truth,
                                      const std::vector<std::pair<long long, std::string>>& categories = {});

// The "categories" of a COCO ground-truth file (id, name), for results
// files that name their classes by id. Throws Failure as ReadAnnotations.
std::vector<std::pair<long long, std::string>> ReadCocoCategories(const std::string& path);

// The companion of a COCO results list: "results.json" -> "results.meta.json"
// (a name without ".json" gets ".meta.json" added), an object with the
// "images" and "categories" that the list's ids refer to.
std::string CompanionOf(const std::string& resultsFile);

// Whether a JSON file holds COCO results (a list, or an object with scored
// "annotations"), without reading it whole into boxes.
bool IsCocoDetections(const std::string& path);

}  // namespace annotation
}  // namespace pedscan
