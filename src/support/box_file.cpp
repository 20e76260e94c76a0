#include "support/box_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "support/failure.h"

namespace pedscan {
namespace {

// Parses exactly `count` numbers separated by blanks; false for anything else
// (missing or extra fields, text, numbers run together with letters).
bool ParseNumbers(const std::string& line, int count, double* out) {
  const char* p = line.c_str();
  for (int i = 0; i < count; ++i) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') return false;
    char* end = nullptr;
    errno = 0;
    out[i] = std::strtod(p, &end);
    if (end == p || errno != 0 || !std::isfinite(out[i])) return false;
    if (*end != '\0' && *end != ' ' && *end != '\t' && *end != '\r') return false;
    p = end;
  }
  while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
  return *p == '\0';
}

bool Blank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

std::vector<FileBox> ReadBoxFile(const std::string& path, bool scored) {
  const int count = scored ? 5 : 4;
  const char* what = scored ? "detection" : "ground-truth";
  // A directory opens as a stream here and fails only when read: only a
  // regular file counts as a box file.
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    FailPlain(Format("%s: cannot open %s file\n", path.c_str(), what));
  std::ifstream in(path);
  if (!in) FailPlain(Format("%s: cannot open %s file\n", path.c_str(), what));
  std::vector<FileBox> boxes;
  std::string line;
  int number = 0;
  double v[5] = {0, 0, 0, 0, 0};
  while (std::getline(in, line)) {
    ++number;
    // Editors on some systems start a text file with a UTF-8 byte-order mark.
    if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (Blank(line)) continue;
    if (!ParseNumbers(line, count, v) || v[2] <= 0 || v[3] <= 0)
      FailPlain(Format("%s:%d: malformed %s line '%s' (expected %s)\n", path.c_str(), number, what,
                       line.c_str(), scored ? "x y w h score" : "x y w h"));
    boxes.push_back({v[0], v[1], v[2], v[3], scored ? v[4] : 0.0});
  }
  if (in.bad()) FailPlain(Format("%s: cannot read %s file\n", path.c_str(), what));
  return boxes;
}

}  // namespace pedscan
