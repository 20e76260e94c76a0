#include "formats.h"

#include <cmath>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "support/atomic_file.h"
#include "support/failure.h"

namespace pedscan {
namespace exporting {
namespace {

using Json = nlohmann::ordered_json;

// Detection writes whole pixels; they stay integers in the JSON instead of
// becoming 12.0.
Json Number(double v) {
  if (std::floor(v) == v && std::fabs(v) < 1e15) return Json(static_cast<int64_t>(v));
  return Json(v);
}

Json Box(const FileBox& b) {
  return Json::array({Number(b.x), Number(b.y), Number(b.width), Number(b.height)});
}

Json Frame(const ResultFrame& frame) { return frame.number ? Json(*frame.number) : Json(nullptr); }

}  // namespace

std::string CocoResults(const ResultFolder& results) {
  Json list = Json::array();
  for (size_t i = 0; i < results.frames.size(); ++i) {
    for (const TypedBox& b : results.frames[i].boxes) {
      list.push_back(Json{{"image_id", i + 1},
                          {"category_id", b.type + 1},
                          {"bbox", Box(b.box)},
                          {"score", b.box.score}});
    }
  }
  return list.dump() + "\n";
}

std::string CocoIndex(const ResultFolder& results) {
  Json images = Json::array();
  for (size_t i = 0; i < results.frames.size(); ++i) {
    images.push_back(Json{
        {"id", i + 1}, {"file_name", results.frames[i].name}, {"frame", Frame(results.frames[i])}});
  }
  Json categories = Json::array();
  for (size_t t = 0; t < results.types.size(); ++t)
    categories.push_back(Json{{"id", t + 1}, {"name", results.types[t]}});
  // With an empty "annotations" list the file loads as a COCO dataset, on
  // which the results list loads as detections.
  Json index{{"images", images}, {"categories", categories}, {"annotations", Json::array()}};
  return index.dump(1) + "\n";
}

std::string JsonLines(const ResultFolder& results) {
  std::string text;
  for (const ResultFrame& frame : results.frames) {
    Json types = Json::array(), boxes = Json::array(), scores = Json::array();
    for (const TypedBox& b : frame.boxes) {
      types.push_back(results.types[static_cast<size_t>(b.type)]);
      boxes.push_back(Box(b.box));
      scores.push_back(b.box.score);
    }
    text += Json{{"frame", Frame(frame)},
                 {"name", frame.name},
                 {"types", types},
                 {"boxes", boxes},
                 {"scores", scores}}
                .dump() +
            "\n";
  }
  return text;
}

std::string CocoIndexPath(const std::string& path) {
  const std::string extension = ".json";
  if (path.size() > extension.size() &&
      path.compare(path.size() - extension.size(), extension.size(), extension) == 0) {
    return path.substr(0, path.size() - extension.size()) + ".meta.json";
  }
  return path + ".meta.json";
}

void WriteTextFile(const std::string& path, const std::string& text) {
  std::string reason;
  if (!WriteFileAtomically(path, text.data(), text.size(), &reason))
    FailPlain(Format("cannot write '%s' (%s)\n", path.c_str(), reason.c_str()));
}

}  // namespace exporting
}  // namespace pedscan
