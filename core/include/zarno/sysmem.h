// Memory this process may still take: what the kernel reports available,
// or what its control group's limit leaves when that is less.
#ifndef ZARNO_SYSMEM_H
#define ZARNO_SYSMEM_H

#include <cstdint>
#include <string>

namespace zarno {

// Bytes available, 0 when nothing tells.
std::uint64_t AvailableMemory();

// MemAvailable (bytes) from a /proc/meminfo text; 0 when absent.
std::uint64_t ParseMemAvailable(const std::string& meminfo);

// The cgroup v2 path of this process from a /proc/self/cgroup text ("" if none).
std::string ParseCgroupPath(const std::string& cgroup);

}  // namespace zarno

#endif
