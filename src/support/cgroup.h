// Reading this process's control-group limits.
#pragma once

#include <cstdint>
#include <string>

namespace pedscan {

// The directory of this process's cgroup: the version 2 entry "0::<path>"
// under /sys/fs/cgroup (*version2 set), or else the version 1 entry of
// `controller` ("memory", "cpu") under /sys/fs/cgroup/<controller>. Empty
// when /proc/self/cgroup has neither.
std::string CgroupDirectory(const std::string& controller, bool* version2);

// The first field of a cgroup file as a number; -1 when the file cannot be
// read, the field is "max" or not a number.
int64_t ReadCgroupFile(const std::string& path);

// A cgroup field as a number; -1 for "max" or anything not a number.
int64_t ReadCgroupNumber(const std::string& text);

}  // namespace pedscan
