// Small text and path helpers.
#pragma once

#include <string>
#include <vector>

namespace pedscan {

// The file name of a path without directory and extension: the last path
// component (after the last '/' or '\'), cut before its last '.'. A name
// without '.' is the whole last component. A '.' inside a directory name
// never starts the extension.
std::string FileStem(const std::string& path);

// The directory part of a path: everything before its last '/', "/" for a
// name in the root and "." for a bare name.
std::string DirectoryOf(const std::string& path);

// The last component of a path (after its last '/'), the whole path when
// it has none.
std::string FileName(const std::string& path);

// Joins a directory and a name with the platform's separator '/'.
std::string JoinPath(const std::string& directory, const std::string& name);

// Splits at every occurrence of `separator`; "a,,b" gives "a", "", "b".
std::vector<std::string> Split(const std::string& text, char separator);

}  // namespace pedscan
