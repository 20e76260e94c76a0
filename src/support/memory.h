// How much more memory this process may take.
#pragma once

#include <cstdint>
#include <string>

namespace pedscan {

// The bytes this process can still allocate before the system or its limits
// refuse: the least of the kernel's estimate of available memory
// (MemAvailable), the room left under the process's memory cgroup limit
// (version 2 or 1), and the room left under its address-space limit
// (RLIMIT_AS). A source that cannot be read imposes no bound; INT64_MAX
// when none can.
int64_t AvailableMemoryBytes();

// "1.5 GB", "340 MB": a byte count for messages.
std::string DescribeBytes(int64_t bytes);

}  // namespace pedscan
