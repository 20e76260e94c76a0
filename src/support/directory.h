// Directory listing by wildcard mask, shared by the input sources, training
// and the tools.
#pragma once

#include <string>
#include <vector>

namespace pedscan {

// True when `name` matches the wildcard `mask` ('*' any run of characters,
// '?' any one character), ignoring ASCII case.
bool MatchMask(const std::string& mask, const std::string& name);

// Whether `path` is a directory / a regular file (symbolic links followed);
// false for anything that cannot be examined.
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);

// The regular files of `directory` whose names match `mask`, as
// "<directory>/<name>" paths sorted in byte order without duplicates.
// Directories are skipped; a missing or unreadable directory lists nothing.
std::vector<std::string> ListFiles(const std::string& directory, const std::string& mask);

}  // namespace pedscan
