#include "model_trim.h"

#include <sstream>
#include <vector>

namespace pedscan {
namespace {

size_t Indent(const std::string& s) { return s.find_first_not_of(' '); }

bool IsKey(const std::string& l, const char* key) {
  const size_t ind = Indent(l);
  return ind != std::string::npos && l.compare(ind, std::string::npos, key) == 0;
}

// The base64 text of `bytes` zero bytes.
std::string ZeroBase64(size_t bytes) {
  std::string s(4 * ((bytes + 2) / 3), 'A');
  if (bytes % 3 == 1) s.replace(s.size() - 2, 2, "==");
  if (bytes % 3 == 2) s.back() = '=';
  return s;
}

bool ReadCount(const std::string& line, const char* key, long* value) {
  const size_t ind = Indent(line);
  const std::string k = std::string(key) + ":";
  if (ind == std::string::npos || line.compare(ind, k.size(), k) != 0) return false;
  std::istringstream in(line.substr(ind + k.size()));
  return static_cast<bool>(in >> *value) && *value >= 0;
}

}  // namespace

std::string TrimModelText(const std::string& text, int* trimmed) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  std::ostringstream out;
  *trimmed = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const bool isT = IsKey(l, "T:"), isY = IsKey(l, "Y:");
    long rows = 0, cols = 0;
    if ((isT || isY) && i + 3 < lines.size() && ReadCount(lines[i + 1], "rows", &rows) &&
        ReadCount(lines[i + 2], "cols", &cols) && IsKey(lines[i + 3], "data:")) {
      const size_t ind = Indent(l);
      const std::string pad(Indent(lines[i + 1]), ' ');
      const long keepRows = isT ? (rows > 0 ? 1 : 0) : rows, keepCols = isT ? cols : (cols > 0 ? 1 : 0);
      out << l << '\n' << pad << "rows: " << keepRows << '\n' << pad << "cols: " << keepCols << '\n'
          << lines[i + 3] << '\n';
      if (keepRows * keepCols > 0) out << pad << "   - \"" << ZeroBase64(keepRows * keepCols * 4) << "\"\n";
      size_t j = i + 4;
      while (j < lines.size() && Indent(lines[j]) != std::string::npos && Indent(lines[j]) > ind &&
             lines[j].compare(Indent(lines[j]), 2, "- ") == 0)
        ++j;
      i = j - 1;
      ++*trimmed;
      continue;
    }
    out << l << '\n';
  }
  return out.str();
}

}  // namespace pedscan
