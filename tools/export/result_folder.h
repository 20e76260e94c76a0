// A detection result folder read whole: every "<name>.txt" (one object type)
// or "<name>.<type>.txt" (several types) file that `pedscan -d` writes, as
// frames with their boxes, sorted by name, and the object types, sorted as
// the detector orders them (by name), which is also the order of its drawing
// colours.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/box_file.h"

namespace pedscan {
namespace exporting {

struct TypedBox {
  FileBox box;
  int type = 0;  // position in ResultFolder::types
};

struct ResultFrame {
  std::string name;             // "<stem>" of an image, "<video stem><8 digits>" of a video frame
  std::optional<int> number;    // the frame number the name ends with, if any
  std::vector<TypedBox> boxes;  // by type, then in file order
};

struct ResultFolder {
  std::vector<std::string> types;   // sorted
  std::vector<ResultFrame> frames;  // sorted by name (byte order)
};

// The frame number at the end of a result name: its trailing decimal digits,
// at most the last eight (detection names video frames "<stem>%.8d", and a
// stem may itself end in a digit). None when the name does not end in one.
std::optional<int> TrailingFrameNumber(const std::string& name);
// The name without the digits TrailingFrameNumber reads: the video's stem,
// or "" for a plain number.
std::string NameBeforeFrameNumber(const std::string& name);

// Reads every *.txt file of `folder`. `types` names the object types of the
// run; empty means: recognise them from the file names (several types when
// every name is "<name>.<type>.txt" with the same two or more types for each
// name, else one type called `singleTypeName`). Fails (plain report, status
// 2) on a missing folder, a folder without result files, a file that fits
// none of the given types, and a malformed file (named with its line).
ResultFolder ReadResultFolder(const std::string& folder, std::vector<std::string> types,
                              const std::string& singleTypeName);

}  // namespace exporting
}  // namespace pedscan
