// Drops the training-only data from a model file so that it can be bundled.
//
//   trim_model <in.yml> <out.yml>
//
// A model file keeps the window-level PLS scores T (one row per training
// window) and labels Y, twice with PLS regression; the reader loads them and
// throws them away, since projecting and classifying never uses them. They
// are most of the file. This rewrites every "T" matrix to a single row and
// every "Y" vector to a single element, all zero, and copies every other line
// unchanged, so the trimmed model gives the same responses.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

size_t Indent(const std::string& s) { return s.find_first_not_of(' '); }

std::string ZeroBase64(size_t bytes) {
  std::string s(4 * ((bytes + 2) / 3), 'A');
  if (bytes % 3 == 1) s.replace(s.size() - 2, 2, "==");
  if (bytes % 3 == 2) s.back() = '=';
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: trim_model <in.yml> <out.yml>\n");
    return 1;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "trim_model: cannot open '%s'\n", argv[1]);
    return 1;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::ofstream out(argv[2]);
  size_t trimmed = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const size_t ind = Indent(l);
    const bool isT = ind != std::string::npos && l.compare(ind, std::string::npos, "T:") == 0;
    const bool isY = ind != std::string::npos && l.compare(ind, std::string::npos, "Y:") == 0;
    // A matrix record: rows, cols, data, then the data lines, all deeper.
    if ((isT || isY) && i + 3 < lines.size() && lines[i + 1].find("rows:") != std::string::npos &&
        lines[i + 2].find("cols:") != std::string::npos && lines[i + 3].find("data:") != std::string::npos) {
      const std::string pad(Indent(lines[i + 1]), ' ');
      const long rows = std::stol(lines[i + 1].substr(lines[i + 1].find(':') + 1));
      const long cols = std::stol(lines[i + 2].substr(lines[i + 2].find(':') + 1));
      const long keepRows = isT ? 1 : rows, keepCols = isT ? cols : 1;
      out << l << '\n' << pad << "rows: " << keepRows << '\n' << pad << "cols: " << keepCols << '\n'
          << lines[i + 3] << '\n' << pad << "   - \"" << ZeroBase64(keepRows * keepCols * 4) << "\"\n";
      size_t j = i + 4;
      while (j < lines.size() && Indent(lines[j]) > ind + 3 && lines[j].find('-') == Indent(lines[j])) ++j;
      i = j - 1;
      ++trimmed;
      continue;
    }
    out << l << '\n';
  }
  if (!out) {
    std::fprintf(stderr, "trim_model: cannot write '%s'\n", argv[2]);
    return 1;
  }
  std::printf("%s: trimmed %zu training-only records\n", argv[2], trimmed);
  return 0;
}
