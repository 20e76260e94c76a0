// The text files of people boxes that pedscan and its tools exchange, one
// box per line: "x y w h" in a ground-truth file (as the labelling tool
// writes them), "x y w h score" in a result file (as detection writes them).
#pragma once

#include <string>
#include <vector>

namespace pedscan {

struct FileBox {
  double x = 0, y = 0, width = 0, height = 0;
  double score = 0;  // 0 in a ground-truth file
};

// Reads a ground-truth file (scored false) or a result file (scored true).
// Blank lines are skipped. Throws the plain Failure "<path>: cannot open
// ground-truth file" ("detection file" when scored) when the path is not a
// readable regular file, and "<path>:<line>: malformed ... line '<text>'"
// for a line that is not exactly its four or five finite numbers with a
// positive width and height.
std::vector<FileBox> ReadBoxFile(const std::string& path, bool scored);

}  // namespace pedscan
