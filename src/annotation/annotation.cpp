#include "annotation/annotation.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <sstream>

#include "support/box_file.h"
#include "support/directory.h"
#include "support/failure.h"
#include "support/text.h"

namespace pedscan {
namespace annotation {
namespace {

using nlohmann::json;

// `name` as an annotation file gives it, against the annotation file's folder.
std::string Resolve(const std::string& annotationFile, const std::string& name) {
  if (name.empty() || name[0] == '/') return name;
  return JoinPath(DirectoryOf(annotationFile), name);
}

// The whole file without a leading UTF-8 byte-order mark, which editors on
// some systems put in front of text they save.
std::string ReadText(const std::string& path) {
  if (!IsRegularFile(path)) FailPlain(pedscan::Format("%s: cannot open annotation file\n", path.c_str()));
  std::ifstream in(path, std::ios::binary);
  if (!in) FailPlain(pedscan::Format("%s: cannot open annotation file\n", path.c_str()));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) FailPlain(pedscan::Format("%s: cannot read annotation file\n", path.c_str()));
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  return text;
}

int LineAt(const std::string& text, std::ptrdiff_t offset) {
  if (offset < 0) return 1;
  const size_t end = std::min(static_cast<size_t>(offset), text.size());
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + end, '\n'));
}

// A box must have a positive, finite extent; anything else is a slip of the
// annotator or of a converter, never a box to learn from.
void CheckExtent(double width, double height, const std::function<void(const std::string&)>& fail) {
  if (!(width > 0) || !(height > 0) || !std::isfinite(width) || !std::isfinite(height))
    fail(pedscan::Format("a box of width %g and height %g (both must be positive)", width, height));
}

Object WithCorners(Object object, double x0, double y0, double x1, double y1) {
  object.x = x0;
  object.y = y0;
  object.width = x1 - x0;
  object.height = y1 - y0;
  return object;
}

// ---------------------------------------------------------------- JSON

class JsonFile {
 public:
  explicit JsonFile(std::string path) : path_(std::move(path)) {
    const std::string text = ReadText(path_);
    try {
      root_ = json::parse(text);
    } catch (const json::parse_error& e) {
      // The library's message carries the line and column; its tag does not
      // help the user.
      std::string what = e.what();
      const size_t tag = what.find("] ");
      if (tag != std::string::npos) what = what.substr(tag + 2);
      FailPlain(pedscan::Format("%s: not valid JSON: %s\n", path_.c_str(), what.c_str()));
    }
  }

  const json& root() const { return root_; }
  const std::string& path() const { return path_; }

  [[noreturn]] void Fail(const std::string& key, const std::string& what) const {
    FailPlain(pedscan::Format("%s: %s: %s\n", path_.c_str(), key.empty() ? "(top level)" : key.c_str(),
                     what.c_str()));
  }

  const json& Member(const json& object, const std::string& key, const std::string& name) const {
    if (!object.is_object()) Fail(key, "expected an object");
    const auto it = object.find(name);
    if (it == object.end()) Fail(Join(key, name), "missing");
    return *it;
  }

  const json& Array(const json& object, const std::string& key, const std::string& name) const {
    const json& value = Member(object, key, name);
    if (!value.is_array()) Fail(Join(key, name), "expected a list");
    return value;
  }

  double Number(const json& value, const std::string& key) const {
    if (!value.is_number()) Fail(key, "expected a number, not " + Shown(value));
    const double number = value.get<double>();
    if (!std::isfinite(number)) Fail(key, "expected a finite number");
    return number;
  }

  long long Integer(const json& value, const std::string& key) const {
    if (!value.is_number_integer()) Fail(key, "expected an integer, not " + Shown(value));
    return value.get<long long>();
  }

  std::string String(const json& value, const std::string& key) const {
    if (!value.is_string()) Fail(key, "expected a string, not " + Shown(value));
    return value.get<std::string>();
  }

  // A flag written as 0/1 or false/true; absent means false.
  bool Flag(const json& object, const std::string& key, const std::string& name) const {
    const auto it = object.find(name);
    if (it == object.end() || it->is_null()) return false;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer() && (*it == 0 || *it == 1)) return *it == 1;
    Fail(Join(key, name), "expected 0, 1, false or true, not " + Shown(*it));
  }

  // A box [x, y, w, h].
  void Box(const json& value, const std::string& key, Object* object) const {
    if (!value.is_array() || value.size() != 4) Fail(key, "expected [x, y, width, height]");
    double v[4];
    for (int i = 0; i < 4; ++i) v[i] = Number(value[i], key + "[" + std::to_string(i) + "]");
    CheckExtent(v[2], v[3], [&](const std::string& what) { Fail(key, what); });
    object->x = v[0];
    object->y = v[1];
    object->width = v[2];
    object->height = v[3];
  }

  static std::string Join(const std::string& key, const std::string& name) {
    return key.empty() ? name : key + "." + name;
  }
  static std::string Item(const std::string& key, size_t index) {
    return key + "[" + std::to_string(index) + "]";
  }

 private:
  static std::string Shown(const json& value) {
    std::string text = value.dump();
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
  }

  std::string path_;
  json root_;
};

// A label as labelme marks the regions nobody should be scored on.
constexpr const char* kLabelmeIgnore = "__ignore__";

Image ReadLabelme(const std::string& path, const ClassFilter& filter) {
  const JsonFile file(path);
  const json& root = file.root();
  if (!root.is_object()) file.Fail("", "expected a labelme object with \"shapes\"");
  Image image;
  image.source = path;
  const auto imagePath = root.find("imagePath");
  if (imagePath != root.end() && !imagePath->is_null()) {
    image.path = Resolve(path, file.String(*imagePath, "imagePath"));
    image.name = FileStem(image.path);
  } else {
    image.name = FileStem(path);
  }
  if (root.contains("imageWidth") && !root["imageWidth"].is_null())
    image.width = static_cast<int>(file.Integer(root["imageWidth"], "imageWidth"));
  if (root.contains("imageHeight") && !root["imageHeight"].is_null())
    image.height = static_cast<int>(file.Integer(root["imageHeight"], "imageHeight"));
  const json& shapes = file.Array(root, "", "shapes");
  for (size_t i = 0; i < shapes.size(); ++i) {
    const std::string key = JsonFile::Item("shapes", i);
    const json& shape = shapes[i];
    Object object;
    object.label = file.String(file.Member(shape, key, "label"), key + ".label");
    object.ignore = object.label == kLabelmeIgnore;
    std::string type = "polygon";  // what labelme assumes when a file leaves it out
    if (shape.contains("shape_type") && !shape["shape_type"].is_null())
      type = file.String(shape["shape_type"], key + ".shape_type");
    const json& points = file.Array(shape, key, "points");
    if (type != "rectangle" && type != "polygon") continue;  // points, lines, circles: no box
    const size_t needed = type == "rectangle" ? 2 : 3;
    if (points.size() < needed || (type == "rectangle" && points.size() != 2))
      file.Fail(key + ".points", pedscan::Format("a %s needs %s %zu points, not %zu", type.c_str(),
                                        type == "rectangle" ? "exactly" : "at least", needed,
                                        points.size()));
    double x0 = std::numeric_limits<double>::infinity(), y0 = x0, x1 = -x0, y1 = -x0;
    for (size_t p = 0; p < points.size(); ++p) {
      const std::string pointKey = JsonFile::Item(key + ".points", p);
      if (!points[p].is_array() || points[p].size() != 2) file.Fail(pointKey, "expected [x, y]");
      const double x = file.Number(points[p][0], pointKey + "[0]");
      const double y = file.Number(points[p][1], pointKey + "[1]");
      x0 = std::min(x0, x);
      x1 = std::max(x1, x);
      y0 = std::min(y0, y);
      y1 = std::max(y1, y);
    }
    CheckExtent(x1 - x0, y1 - y0, [&](const std::string& what) { file.Fail(key + ".points", what); });
    if (filter.Keeps(object)) image.objects.push_back(WithCorners(object, x0, y0, x1, y1));
  }
  return image;
}

// A COCO "images" entry: its id and file, the file resolved against the
// JSON file's folder.
Image CocoImage(const JsonFile& file, const json& entry, const std::string& key) {
  Image image;
  image.source = file.path();
  image.cocoId = file.Integer(file.Member(entry, key, "id"), key + ".id");
  image.path = Resolve(file.path(), file.String(file.Member(entry, key, "file_name"), key + ".file_name"));
  image.name = FileStem(image.path);
  return image;
}

// A COCO "categories" list: id -> name.
std::map<long long, std::string> CocoCategories(const JsonFile& file, const json& list) {
  std::map<long long, std::string> categories;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string key = JsonFile::Item("categories", i);
    categories[file.Integer(file.Member(list[i], key, "id"), key + ".id")] =
        file.String(file.Member(list[i], key, "name"), key + ".name");
  }
  return categories;
}

std::vector<Image> ReadCoco(const std::string& path, const ClassFilter& filter) {
  const JsonFile file(path);
  const json& root = file.root();
  if (!root.is_object()) file.Fail("", "expected a COCO object with \"images\" and \"annotations\"");
  const std::map<long long, std::string> categories =
      CocoCategories(file, file.Array(root, "", "categories"));
  std::vector<Image> images;
  std::map<long long, size_t> byId;
  const json& imageList = file.Array(root, "", "images");
  for (size_t i = 0; i < imageList.size(); ++i) {
    const std::string key = JsonFile::Item("images", i);
    const json& entry = imageList[i];
    Image image = CocoImage(file, entry, key);
    if (entry.contains("width")) image.width = static_cast<int>(file.Integer(entry["width"], key + ".width"));
    if (entry.contains("height"))
      image.height = static_cast<int>(file.Integer(entry["height"], key + ".height"));
    if (!byId.emplace(image.cocoId, images.size()).second)
      file.Fail(key + ".id", pedscan::Format("a second image with id %lld", image.cocoId));
    images.push_back(image);
  }
  const json& annotations = file.Array(root, "", "annotations");
  for (size_t i = 0; i < annotations.size(); ++i) {
    const std::string key = JsonFile::Item("annotations", i);
    const json& entry = annotations[i];
    const long long imageId = file.Integer(file.Member(entry, key, "image_id"), key + ".image_id");
    const auto image = byId.find(imageId);
    if (image == byId.end()) file.Fail(key + ".image_id", pedscan::Format("no image has id %lld", imageId));
    const long long categoryId =
        file.Integer(file.Member(entry, key, "category_id"), key + ".category_id");
    const auto category = categories.find(categoryId);
    if (category == categories.end())
      file.Fail(key + ".category_id", pedscan::Format("unknown category %lld", categoryId));
    Object object;
    object.label = category->second;
    file.Box(file.Member(entry, key, "bbox"), key + ".bbox", &object);
    object.ignore = file.Flag(entry, key, "iscrowd") || file.Flag(entry, key, "ignore");
    if (!filter.Keeps(object.label)) continue;
    images[image->second].objects.push_back(object);
  }
  return images;
}

// ---------------------------------------------------------------- XML

class XmlFile {
 public:
  explicit XmlFile(std::string path) : path_(std::move(path)), text_(ReadText(path_)) {
    const pugi::xml_parse_result result = document_.load_buffer(text_.data(), text_.size());
    if (!result)
      FailPlain(pedscan::Format("%s:%d: not valid XML: %s\n", path_.c_str(), LineAt(text_, result.offset),
                       result.description()));
  }

  const pugi::xml_document& document() const { return document_; }
  const std::string& path() const { return path_; }

  [[noreturn]] void Fail(const pugi::xml_node& node, const std::string& what) const {
    FailPlain(pedscan::Format("%s:%d: %s\n", path_.c_str(), LineAt(text_, node.offset_debug()), what.c_str()));
  }

  pugi::xml_node Child(const pugi::xml_node& node, const char* name) const {
    const pugi::xml_node child = node.child(name);
    if (!child) Fail(node, pedscan::Format("<%s> has no <%s>", node.name(), name));
    return child;
  }

  static double ParseNumber(const char* text, bool* ok) {
    const std::string trimmed = Trim(text);
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(trimmed.c_str(), &end);
    *ok = !trimmed.empty() && *end == '\0' && errno == 0 && std::isfinite(value);
    return value;
  }

  double Number(const pugi::xml_node& node, const char* name) const {
    const pugi::xml_node child = Child(node, name);
    bool ok = false;
    const double value = ParseNumber(child.text().get(), &ok);
    if (!ok) Fail(child, pedscan::Format("<%s> is not a number: '%s'", name, child.text().get()));
    return value;
  }

  double Attribute(const pugi::xml_node& node, const char* name) const {
    const pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute) Fail(node, pedscan::Format("<%s> has no %s", node.name(), name));
    bool ok = false;
    const double value = ParseNumber(attribute.value(), &ok);
    if (!ok) Fail(node, pedscan::Format("%s is not a number: '%s'", name, attribute.value()));
    return value;
  }

  // A 0/1 flag element; absent or empty means 0.
  bool Flag(const pugi::xml_node& node, const char* name) const {
    const pugi::xml_node child = node.child(name);
    const std::string text = Trim(child.text().get());
    if (text.empty() || text == "0") return false;
    if (text == "1") return true;
    Fail(child, pedscan::Format("<%s> must be 0 or 1, not '%s'", name, text.c_str()));
  }

  static std::string Trim(const char* text) {
    std::string s = text;
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
  }

 private:
  std::string path_;
  std::string text_;
  pugi::xml_document document_;
};

// Where a VOC file's image is: its own <path> when that exists, else the
// dataset's JPEGImages folder beside Annotations, else beside the file.
std::string VocImagePath(const std::string& path, const std::string& recorded,
                         const std::string& filename) {
  if (!recorded.empty() && IsRegularFile(Resolve(path, recorded))) return Resolve(path, recorded);
  if (filename.empty()) return "";
  const std::string dataset = JoinPath(DirectoryOf(DirectoryOf(path)), "JPEGImages/" + filename);
  if (IsRegularFile(dataset)) return dataset;
  return Resolve(path, filename);
}

Image ReadVoc(const std::string& path, const ClassFilter& filter) {
  const XmlFile file(path);
  const pugi::xml_node root = file.document().child("annotation");
  if (!root) file.Fail(file.document().first_child(), "expected a Pascal VOC <annotation>");
  Image image;
  image.source = path;
  const std::string filename = XmlFile::Trim(root.child("filename").text().get());
  image.path = VocImagePath(path, XmlFile::Trim(root.child("path").text().get()), filename);
  image.name = FileStem(filename.empty() ? path : filename);
  if (const pugi::xml_node size = root.child("size")) {
    if (size.child("width")) image.width = static_cast<int>(file.Number(size, "width"));
    if (size.child("height")) image.height = static_cast<int>(file.Number(size, "height"));
  }
  for (const pugi::xml_node node : root.children("object")) {
    Object object;
    object.label = XmlFile::Trim(file.Child(node, "name").text().get());
    if (object.label.empty()) file.Fail(node, "<object> has an empty <name>");
    const pugi::xml_node box = file.Child(node, "bndbox");
    const double x0 = file.Number(box, "xmin"), y0 = file.Number(box, "ymin");
    const double x1 = file.Number(box, "xmax"), y1 = file.Number(box, "ymax");
    CheckExtent(x1 - x0, y1 - y0, [&](const std::string& what) { file.Fail(box, what); });
    object.ignore = file.Flag(node, "difficult");
    object.truncated = file.Flag(node, "truncated");
    if (filter.Keeps(object)) image.objects.push_back(WithCorners(object, x0, y0, x1, y1));
  }
  return image;
}

std::vector<Image> ReadImglab(const std::string& path, const ClassFilter& filter) {
  const XmlFile file(path);
  const pugi::xml_node root = file.document().child("dataset");
  if (!root) file.Fail(file.document().first_child(), "expected an imglab <dataset>");
  std::vector<Image> images;
  for (const pugi::xml_node node : root.child("images").children("image")) {
    Image image;
    image.source = path;
    const pugi::xml_attribute name = node.attribute("file");
    if (!name || !*name.value()) file.Fail(node, "<image> has no file");
    image.path = Resolve(path, name.value());
    image.name = FileStem(image.path);
    for (const pugi::xml_node box : node.children("box")) {
      Object object;
      object.y = file.Attribute(box, "top");
      object.x = file.Attribute(box, "left");
      object.width = file.Attribute(box, "width");
      object.height = file.Attribute(box, "height");
      CheckExtent(object.width, object.height, [&](const std::string& what) { file.Fail(box, what); });
      const std::string ignore = box.attribute("ignore").value();
      if (!ignore.empty() && ignore != "0" && ignore != "1")
        file.Fail(box, "ignore must be 0 or 1, not '" + ignore + "'");
      object.ignore = ignore == "1";
      object.label = XmlFile::Trim(box.child("label").text().get());
      if (!filter.Keeps(object.label)) continue;
      image.objects.push_back(object);
    }
    images.push_back(image);
  }
  return images;
}

// ---------------------------------------------------------------- text

Image ReadBoxText(const std::string& path) {
  Image image;
  image.source = path;
  image.name = FileStem(path);
  for (const FileBox& box : ReadBoxFile(path, false))
    image.objects.push_back({"", box.x, box.y, box.width, box.height, false, false, 0});
  return image;
}

// ---------------------------------------------------------------- formats

// The annotation files of a folder and their format; a VOC dataset's root
// stands for its Annotations folder.
std::vector<std::string> FolderFiles(const std::string& path, Format* format) {
  const std::vector<std::string> xml = ListFiles(path, "*.xml");
  const std::vector<std::string> jsonFiles = ListFiles(path, "*.json");
  const std::vector<std::string> text = ListFiles(path, "*.txt");
  const std::string annotations = JoinPath(path, "Annotations");
  if (xml.empty() && jsonFiles.empty() && IsDirectory(annotations) &&
      !ListFiles(annotations, "*.xml").empty()) {
    *format = Format::kPascalVoc;
    return ListFiles(annotations, "*.xml");
  }
  const int kinds = !xml.empty() + !jsonFiles.empty() + !text.empty();
  if (kinds == 0) {
    FailPlain(pedscan::Format("%s: no annotation files (*.txt, *.xml or *.json) in the folder\n", path.c_str()));
  }
  if (kinds > 1)
    FailPlain(pedscan::Format("%s: the folder mixes %s files; keep one kind of annotation file in it\n",
                     path.c_str(),
                     !xml.empty() && !jsonFiles.empty() ? "*.xml and *.json"
                     : !xml.empty()                     ? "*.xml and *.txt"
                                                        : "*.json and *.txt"));
  *format = !xml.empty() ? Format::kPascalVoc : !jsonFiles.empty() ? Format::kLabelme : Format::kBoxText;
  return !xml.empty() ? xml : !jsonFiles.empty() ? jsonFiles : text;
}

Format FileFormat(const std::string& path) {
  const std::string text = ReadText(path);
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) FailPlain(pedscan::Format("%s: empty annotation file\n", path.c_str()));
  if (text[first] == '<') {
    pugi::xml_document document;
    const pugi::xml_parse_result result = document.load_buffer(text.data(), text.size());
    if (!result)
      FailPlain(pedscan::Format("%s:%d: not valid XML: %s\n", path.c_str(), LineAt(text, result.offset),
                       result.description()));
    const std::string root = document.document_element().name();
    if (root == "annotation") return Format::kPascalVoc;
    if (root == "dataset") return Format::kImglab;
    FailPlain(pedscan::Format("%s: <%s> is neither a Pascal VOC <annotation> nor an imglab <dataset>\n",
                     path.c_str(), root.c_str()));
  }
  if (text[first] == '{' || text[first] == '[') {
    const JsonFile file(path);
    const json& root = file.root();
    if (root.is_object() && root.contains("shapes")) return Format::kLabelme;
    if (root.is_object() && root.contains("images") && root.contains("annotations")) return Format::kCoco;
    if (IsCocoDetections(path))
      FailPlain(pedscan::Format("%s: holds scored detections (COCO results), not annotations\n", path.c_str()));
    FailPlain(pedscan::Format("%s: neither labelme JSON (\"shapes\") nor COCO JSON (\"images\", "
                     "\"annotations\")\n",
                     path.c_str()));
  }
  return Format::kBoxText;
}

void SortAndCheckNames(std::vector<Image>* images) {
  std::stable_sort(images->begin(), images->end(),
                   [](const Image& a, const Image& b) { return a.name < b.name; });
  for (size_t i = 1; i < images->size(); ++i) {
    const Image& a = (*images)[i - 1];
    const Image& b = (*images)[i];
    if (a.name == b.name)
      FailPlain(pedscan::Format("%s: two images are named '%s' (%s and %s); results could not tell them apart\n",
                       b.source.c_str(), b.name.c_str(), a.path.empty() ? a.source.c_str() : a.path.c_str(),
                       b.path.empty() ? b.source.c_str() : b.path.c_str()));
  }
}

// The "images" and "categories" of a COCO object, where it has them.
void ReadCocoMaps(const JsonFile& file, std::map<long long, Image>* images,
                  std::map<long long, std::string>* categories) {
  const json& root = file.root();
  if (root.contains("images")) {
    const json& list = file.Array(root, "", "images");
    for (size_t i = 0; i < list.size(); ++i) {
      const Image image = CocoImage(file, list[i], JsonFile::Item("images", i));
      (*images)[image.cocoId] = image;
    }
  }
  if (root.contains("categories")) *categories = CocoCategories(file, file.Array(root, "", "categories"));
}

}  // namespace

std::vector<std::pair<long long, std::string>> ReadCocoCategories(const std::string& path) {
  const JsonFile file(path);
  if (!file.root().is_object()) file.Fail("", "expected a COCO object with \"categories\"");
  const std::map<long long, std::string> categories =
      CocoCategories(file, file.Array(file.root(), "", "categories"));
  return {categories.begin(), categories.end()};
}

std::string CompanionOf(const std::string& resultsFile) {
  const std::string suffix = ".json";
  const bool json = resultsFile.size() > suffix.size() &&
                    resultsFile.compare(resultsFile.size() - suffix.size(), suffix.size(), suffix) == 0;
  return (json ? resultsFile.substr(0, resultsFile.size() - suffix.size()) : resultsFile) + ".meta.json";
}

const char* FormatName(Format format) {
  switch (format) {
    case Format::kBoxText: return "pedscan text";
    case Format::kPascalVoc: return "Pascal VOC";
    case Format::kCoco: return "COCO";
    case Format::kLabelme: return "labelme";
    case Format::kImglab: return "imglab";
  }
  return "?";
}

bool ClassFilter::Keeps(const std::string& label) const {
  return classes.empty() || label.empty() ||
         std::find(classes.begin(), classes.end(), label) != classes.end();
}

bool ClassFilter::Keeps(const Object& object) const {
  return (object.ignore && object.label == kLabelmeIgnore) || Keeps(object.label);
}

std::vector<Image> KeepClasses(std::vector<Image> images, const ClassFilter& filter) {
  for (Image& image : images)
    image.objects.erase(std::remove_if(image.objects.begin(), image.objects.end(),
                                       [&](const Object& object) { return !filter.Keeps(object); }),
                        image.objects.end());
  return images;
}

Format DetectFormat(const std::string& path) {
  if (IsDirectory(path)) {
    Format format = Format::kBoxText;
    FolderFiles(path, &format);
    return format;
  }
  if (!IsRegularFile(path)) FailPlain(pedscan::Format("%s: no such annotation file or folder\n", path.c_str()));
  return FileFormat(path);
}

std::vector<Image> ReadAnnotations(const std::string& path, const ClassFilter& filter) {
  return ReadAnnotations(path, DetectFormat(path), filter);
}

std::vector<Image> ReadAnnotations(const std::string& path, Format format, const ClassFilter& filter) {
  std::vector<Image> images;
  if (IsDirectory(path)) {
    Format found = format;
    const std::vector<std::string> files = FolderFiles(path, &found);
    if (found != format)
      FailPlain(pedscan::Format("%s: holds %s files, not %s\n", path.c_str(), FormatName(found), FormatName(format)));
    for (const std::string& file : files) {
      if (format == Format::kPascalVoc) images.push_back(ReadVoc(file, filter));
      else if (format == Format::kLabelme) images.push_back(ReadLabelme(file, filter));
      else images.push_back(ReadBoxText(file));
    }
  } else {
    switch (format) {
      case Format::kBoxText: images.push_back(ReadBoxText(path)); break;
      case Format::kPascalVoc: images.push_back(ReadVoc(path, filter)); break;
      case Format::kLabelme: images.push_back(ReadLabelme(path, filter)); break;
      case Format::kCoco: images = ReadCoco(path, filter); break;
      case Format::kImglab: images = ReadImglab(path, filter); break;
    }
  }
  SortAndCheckNames(&images);
  return images;
}

bool IsCocoDetections(const std::string& path) {
  if (!IsRegularFile(path)) return false;
  const std::string text = ReadText(path);
  const json root = json::parse(text, nullptr, false);
  if (root.is_discarded()) return false;
  if (root.is_array())
    return root.empty() || (root.front().is_object() && root.front().contains("score"));
  // Ground truth has the same shape; only scores tell results apart.
  const auto it = root.is_object() ? root.find("annotations") : root.end();
  return it != root.end() && it->is_array() && !it->empty() && it->front().is_object() &&
         it->front().contains("score");
}

std::vector<Image> ReadCocoDetections(const std::string& path, const std::vector<Image>& truth,
                                      const std::vector<std::pair<long long, std::string>>& categories) {
  const JsonFile file(path);
  const json& root = file.root();
  std::string listKey;
  const json* list = &root;
  std::map<long long, Image> ownImages;
  std::map<long long, std::string> categoryNames(categories.begin(), categories.end());
  if (root.is_object()) {
    listKey = "annotations";
    list = &file.Array(root, "", "annotations");
    ReadCocoMaps(file, &ownImages, &categoryNames);
  } else if (!root.is_array()) {
    file.Fail("", "expected a list of detections or an object with \"annotations\"");
  } else if (IsRegularFile(CompanionOf(path))) {
    // A bare list has no names of its own; export writes them beside it.
    const JsonFile companion(CompanionOf(path));
    if (!companion.root().is_object()) companion.Fail("", "expected an object with \"images\"");
    ReadCocoMaps(companion, &ownImages, &categoryNames);
  }
  std::map<long long, const Image*> truthById;
  for (const Image& image : truth)
    if (image.cocoId >= 0) truthById[image.cocoId] = &image;

  std::map<std::string, Image> byName;
  for (size_t i = 0; i < list->size(); ++i) {
    const std::string key = JsonFile::Item(listKey, i);
    const json& entry = (*list)[i];
    const long long imageId = file.Integer(file.Member(entry, key, "image_id"), key + ".image_id");
    const Image* image = nullptr;
    if (!ownImages.empty()) {
      const auto it = ownImages.find(imageId);
      if (it != ownImages.end()) image = &it->second;
    } else {
      const auto it = truthById.find(imageId);
      if (it != truthById.end()) image = it->second;
    }
    if (image == nullptr)
      file.Fail(key + ".image_id",
                ownImages.empty() && truthById.empty()
                    ? "no image map to resolve it: give COCO ground truth or an \"images\" list"
                    : pedscan::Format("no image has id %lld", imageId));
    Object object;
    const long long categoryId =
        file.Integer(file.Member(entry, key, "category_id"), key + ".category_id");
    if (categoryNames.empty()) {
      object.label = std::to_string(categoryId);
    } else {
      const auto it = categoryNames.find(categoryId);
      if (it == categoryNames.end()) file.Fail(key + ".category_id", pedscan::Format("unknown category %lld", categoryId));
      object.label = it->second;
    }
    file.Box(file.Member(entry, key, "bbox"), key + ".bbox", &object);
    object.score = file.Number(file.Member(entry, key, "score"), key + ".score");
    auto slot = byName.find(image->name);
    if (slot == byName.end()) {
      Image copy = *image;
      copy.objects.clear();
      copy.source = path;
      slot = byName.emplace(copy.name, copy).first;
    }
    slot->second.objects.push_back(object);
  }
  std::vector<Image> images;
  for (auto& entry : byName) images.push_back(std::move(entry.second));
  return images;
}

}  // namespace annotation
}  // namespace pedscan
