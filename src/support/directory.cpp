#include "support/directory.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "support/text.h"

namespace pedscan {

bool IsDirectory(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

bool MatchMask(const std::string& mask, const std::string& name) {
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  // Greedy matching with one backtrack point: on a mismatch, the last '*'
  // takes one more character. Linear in practice, never exponential.
  size_t m = 0, n = 0;
  size_t starMask = std::string::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() && (mask[m] == '?' || same(mask[m], name[n]))) {
      ++m;
      ++n;
    } else if (starMask != std::string::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

std::vector<std::string> ListFiles(const std::string& directory, const std::string& mask) {
  namespace fs = std::filesystem;
  std::vector<std::string> paths;
  std::error_code error;
  fs::directory_iterator it(directory, error);
  if (error) return paths;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    std::error_code typeError;
    if (!it->is_regular_file(typeError) || typeError) continue;
    std::string name = it->path().filename().string();
    if (MatchMask(mask, name)) paths.push_back(JoinPath(directory, name));
  }
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  return paths;
}

}  // namespace pedscan
