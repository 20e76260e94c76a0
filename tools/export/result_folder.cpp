#include "result_folder.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include "support/directory.h"
#include "support/failure.h"

namespace pedscan {
namespace exporting {
namespace {

constexpr size_t kVideoDigits = 8;

std::string ResultName(const std::string& path) {
  const std::string file = std::filesystem::path(path).filename().string();
  return file.substr(0, file.size() - 4);  // without ".txt"
}

// True when the names are "<frame>.<type>" for the same two or more types
// for every frame, as detection writes them with several object types.
bool LooksMultiType(const std::vector<std::string>& names, std::vector<std::string>* types) {
  std::map<std::string, std::set<std::string>> typesOfFrame;
  std::set<std::string> all;
  for (const std::string& name : names) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return false;
    typesOfFrame[name.substr(0, dot)].insert(name.substr(dot + 1));
    all.insert(name.substr(dot + 1));
  }
  if (all.size() < 2) return false;
  for (const auto& entry : typesOfFrame) {
    if (entry.second != all) return false;
  }
  types->assign(all.begin(), all.end());
  return true;
}

std::string JoinTypes(const std::vector<std::string>& types) {
  std::string joined;
  for (const std::string& t : types) joined += (joined.empty() ? "" : ", ") + t;
  return joined;
}

}  // namespace

namespace {

size_t FrameNumberStart(const std::string& name) {
  size_t start = name.size();
  while (start > 0 && name.size() - start < kVideoDigits && name[start - 1] >= '0' &&
         name[start - 1] <= '9') {
    --start;
  }
  return start;
}

}  // namespace

std::optional<int> TrailingFrameNumber(const std::string& name) {
  const size_t start = FrameNumberStart(name);
  if (start == name.size()) return std::nullopt;
  return std::stoi(name.substr(start));
}

std::string NameBeforeFrameNumber(const std::string& name) {
  return name.substr(0, FrameNumberStart(name));
}

ResultFolder ReadResultFolder(const std::string& folder, std::vector<std::string> types,
                              const std::string& singleTypeName) {
  std::error_code error;
  if (!std::filesystem::exists(folder, error))
    FailPlain(Format("result folder '%s' does not exist\n", folder.c_str()));
  if (!std::filesystem::is_directory(folder, error))
    FailPlain(Format("'%s' is not a folder of detection results\n", folder.c_str()));
  const std::vector<std::string> paths = ListFiles(folder, "*.txt");
  if (paths.empty()) FailPlain(Format("no result files (*.txt) in '%s'\n", folder.c_str()));
  std::vector<std::string> names;
  for (const std::string& path : paths) names.push_back(ResultName(path));

  const bool named = !types.empty();
  if (!named && !LooksMultiType(names, &types)) types = {singleTypeName};
  std::sort(types.begin(), types.end());
  types.erase(std::unique(types.begin(), types.end()), types.end());

  ResultFolder result;
  result.types = types;
  std::map<std::string, ResultFrame> frames;  // sorted by name
  for (size_t i = 0; i < paths.size(); ++i) {
    std::string frameName = names[i];
    int type = 0;
    if (types.size() > 1) {
      const size_t dot = names[i].rfind('.');
      const std::string suffix = dot == std::string::npos ? "" : names[i].substr(dot + 1);
      const auto found = std::find(types.begin(), types.end(), suffix);
      if (dot == std::string::npos || dot == 0 || found == types.end())
        FailPlain(Format("%s: not a result file of the object types %s (<frame>.<type>.txt)\n",
                         paths[i].c_str(), JoinTypes(types).c_str()));
      frameName = names[i].substr(0, dot);
      type = static_cast<int>(found - types.begin());
    }
    ResultFrame& frame = frames[frameName];
    frame.name = frameName;
    for (const FileBox& box : ReadBoxFile(paths[i], true)) frame.boxes.push_back({box, type});
  }
  for (auto& entry : frames) {
    ResultFrame& frame = entry.second;
    frame.number = TrailingFrameNumber(frame.name);
    // Files come in name order, so "a.car" before "a.person": the stable
    // sort keeps each type's boxes in file order.
    std::stable_sort(frame.boxes.begin(), frame.boxes.end(),
                     [](const TypedBox& a, const TypedBox& b) { return a.type < b.type; });
    result.frames.push_back(std::move(frame));
  }
  return result;
}

}  // namespace exporting
}  // namespace pedscan
