#include "support/memory.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "support/cgroup.h"
#include "support/failure.h"

namespace pedscan {
namespace {

constexpr int64_t kUnbounded = std::numeric_limits<int64_t>::max();

// The value of "<key>: <n> kB" in a /proc file, in bytes; -1 when absent.
int64_t ProcKilobytes(const char* path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
    std::istringstream fields(line.substr(key.size() + 1));
    int64_t kilobytes = -1;
    if (fields >> kilobytes) return kilobytes * 1024;
  }
  return -1;
}

int64_t CgroupRoom() {
  bool version2 = false;
  const std::string directory = CgroupDirectory("memory", &version2);
  if (directory.empty()) return kUnbounded;
  const int64_t limit =
      ReadCgroupFile(directory + (version2 ? "/memory.max" : "/memory.limit_in_bytes"));
  const int64_t usage =
      ReadCgroupFile(directory + (version2 ? "/memory.current" : "/memory.usage_in_bytes"));
  // Version 1 reports "no limit" as a huge number.
  if (limit < 0 || usage < 0 || limit >= (int64_t{1} << 60)) return kUnbounded;
  return std::max<int64_t>(limit - usage, 0);
}

int64_t AddressSpaceRoom() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnbounded;
  const int64_t used = ProcKilobytes("/proc/self/status", "VmSize");
  if (used < 0) return kUnbounded;
  return std::max<int64_t>(static_cast<int64_t>(limit.rlim_cur) - used, 0);
}

}  // namespace

int64_t AvailableMemoryBytes() {
  int64_t room = kUnbounded;
  const int64_t available = ProcKilobytes("/proc/meminfo", "MemAvailable");
  if (available >= 0) room = available;
  room = std::min(room, CgroupRoom());
  room = std::min(room, AddressSpaceRoom());
  return room;
}

std::string DescribeBytes(int64_t bytes) {
  const double megabytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
  if (megabytes >= 1024.0) return Format("%.1f GB", megabytes / 1024.0);
  return Format("%.0f MB", megabytes);
}

}  // namespace pedscan
