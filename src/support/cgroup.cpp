#include "support/cgroup.h"

#include <exception>
#include <fstream>

namespace pedscan {

std::string CgroupDirectory(const std::string& controller, bool* version2) {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  std::string v1;
  while (std::getline(in, line)) {
    if (line.compare(0, 3, "0::") == 0) {
      *version2 = true;
      std::string directory = "/sys/fs/cgroup" + line.substr(3);
      if (directory.back() == '/') directory.pop_back();
      return directory;
    }
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
    if (controllers.find("," + controller + ",") != std::string::npos) {
      v1 = "/sys/fs/cgroup/" + controller + line.substr(second + 1);
      if (v1.back() == '/') v1.pop_back();
    }
  }
  *version2 = false;
  return v1;
}

int64_t ReadCgroupNumber(const std::string& text) {
  if (text == "max") return -1;
  try {
    size_t used = 0;
    const long long value = std::stoll(text, &used);
    return used == text.size() ? value : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

int64_t ReadCgroupFile(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text)) return -1;
  return ReadCgroupNumber(text);
}

}  // namespace pedscan
