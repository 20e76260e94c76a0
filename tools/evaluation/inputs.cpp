#include "inputs.h"

#include <filesystem>
#include <map>

#include "support/directory.h"
#include "support/failure.h"

namespace pedscan {
namespace evaluation {
namespace {

// Only a folder of text files and nothing the annotation reader would read
// otherwise: such a folder is read as it always was.
bool IsTextFolder(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error) && !ListFiles(path, "*.txt").empty() &&
         ListFiles(path, "*.xml").empty() && ListFiles(path, "*.json").empty();
}

Frame FrameOf(const annotation::Image& image) {
  Frame f;
  f.name = image.name;
  for (const annotation::Object& o : image.objects) {
    const Box box{o.x, o.y, o.width, o.height};
    if (o.ignore) {
      f.ignore.push_back(box);
      // labelme's ignore regions carry no class of their own: they cover
      // detections of every class.
      f.ignoreLabels.push_back(o.label == "__ignore__" ? std::string() : o.label);
    } else {
      f.truth.push_back(box);
      f.truthLabels.push_back(o.label);
    }
  }
  return f;
}

// The frames of a text folder without detections, as LoadFrames names them.
std::vector<Frame> TextFrames(const std::string& truthDir) {
  std::vector<Frame> frames;
  for (const std::string& file : GroundTruthFiles(truthDir)) {
    Frame f;
    f.name = file.substr(0, file.size() - 4);
    f.truth = ReadGroundTruth(truthDir + "/" + file);
    frames.push_back(std::move(f));
  }
  return frames;
}

void AddCocoDetections(const Truth& truth, const std::string& path, std::vector<Frame>* frames) {
  std::vector<annotation::Image> named = truth.images;
  if (named.empty()) {
    for (const Frame& f : *frames) {
      annotation::Image image;
      image.name = f.name;
      image.source = truth.path;
      named.push_back(std::move(image));
    }
  }
  const annotation::ClassFilter filter{truth.classes};
  std::map<std::string, Frame*> byName;
  for (Frame& f : *frames) byName[f.name] = &f;
  const std::vector<annotation::Image> results = annotation::ReadCocoDetections(path, named, truth.categories);
  size_t matched = 0;
  for (const annotation::Image& image : results) {
    const auto it = byName.find(image.name);
    if (it == byName.end()) continue;
    ++matched;
    for (const annotation::Object& o : image.objects) {
      if (!filter.Keeps(o.label)) continue;
      it->second->detections.push_back({{o.x, o.y, o.width, o.height}, o.score});
      it->second->detectionLabels.push_back(o.label);
    }
  }
  if (matched == 0 && !results.empty()) {
    FailPlain(Format("%s: none of its %zu images is in the ground truth %s (first: '%s')\n", path.c_str(),
                     results.size(), truth.path.c_str(), results.front().name.c_str()));
  }
}

}  // namespace

Truth ReadTruth(const std::string& path, const std::vector<std::string>& classes) {
  Truth t;
  t.path = path;
  t.classes = classes;
  if (IsTextFolder(path)) return t;
  t.format = annotation::DetectFormat(path);
  t.images = annotation::ReadAnnotations(path, t.format, annotation::ClassFilter{classes});
  if (t.format == annotation::Format::kCoco) t.categories = annotation::ReadCocoCategories(path);
  if (t.images.empty()) FailPlain(Format("%s: no annotated images\n", path.c_str()));
  return t;
}

std::vector<Frame> LoadFrames(const Truth& truth, const std::string& detections) {
  std::error_code error;
  const bool resultsFile = std::filesystem::is_regular_file(detections, error);
  const bool text = truth.format == annotation::Format::kBoxText && truth.images.empty();
  // Text truth against a result folder: file by file as always, so that
  // the first unreadable file, truth or result, is the one reported.
  if (text && !resultsFile) return LoadFrames(truth.path, detections);
  std::vector<Frame> frames;
  if (text) {
    frames = TextFrames(truth.path);
  } else {
    for (const annotation::Image& image : truth.images) frames.push_back(FrameOf(image));
  }
  if (resultsFile) {
    AddCocoDetections(truth, detections, &frames);
  } else {
    for (Frame& f : frames) f.detections = ReadDetections(detections + "/" + f.name + ".txt");
  }
  return frames;
}

}  // namespace evaluation
}  // namespace pedscan
