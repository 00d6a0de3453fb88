#include "zarno/sysmem.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace zarno {

namespace {

std::string Slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A number at the start of a file's text; false for "max" or nothing.
bool FileNumber(const std::string& path, std::uint64_t* out)
{
    const std::string text = Slurp(path);
    const auto r = std::from_chars(text.data(), text.data() + text.size(), *out);
    return r.ec == std::errc{} && r.ptr != text.data();
}

}  // namespace

std::uint64_t ParseMemAvailable(const std::string& meminfo)
{
    const std::string key = "MemAvailable:";
    const size_t at = meminfo.find(key);
    if (at == std::string::npos) return 0;
    size_t p = at + key.size();
    while (p < meminfo.size() && meminfo[p] == ' ') p++;
    std::uint64_t kib = 0;
    const auto r = std::from_chars(meminfo.data() + p, meminfo.data() + meminfo.size(), kib);
    if (r.ec != std::errc{}) return 0;
    return kib * 1024;
}

std::string ParseCgroupPath(const std::string& cgroup)
{
    std::istringstream in(cgroup);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("0::", 0) == 0) return line.substr(3);
    }
    return "";
}

std::uint64_t AvailableMemory()
{
    std::uint64_t best = ParseMemAvailable(Slurp("/proc/meminfo"));
    auto consider = [&](std::uint64_t v) {
        if (v > 0 && (best == 0 || v < best)) best = v;
    };
    // cgroup v2: every level up to the root may set a limit.
    std::string path = ParseCgroupPath(Slurp("/proc/self/cgroup"));
    if (!path.empty()) {
        for (;;) {
            const std::string dir = "/sys/fs/cgroup" + (path == "/" ? std::string() : path);
            std::uint64_t limit = 0, used = 0;
            if (FileNumber(dir + "/memory.max", &limit) && FileNumber(dir + "/memory.current", &used)) {
                consider(limit > used ? limit - used : 1);
            }
            if (path == "/" || path.empty()) break;
            const size_t slash = path.find_last_of('/');
            path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
        }
    }
    // cgroup v1: the memory controller's group, as mounted (a container sees
    // its own group at the root).
    std::string v1;
    {
        std::istringstream in(Slurp("/proc/self/cgroup"));
        for (std::string line; std::getline(in, line);) {
            const size_t a = line.find(":memory:");
            if (a != std::string::npos) v1 = line.substr(a + 8);
        }
    }
    for (const std::string& dir : {"/sys/fs/cgroup/memory" + v1, std::string("/sys/fs/cgroup/memory")}) {
        std::uint64_t limit = 0, used = 0;
        if (FileNumber(dir + "/memory.limit_in_bytes", &limit) &&
            FileNumber(dir + "/memory.usage_in_bytes", &used) && limit < (1ULL << 60)) {
            consider(limit > used ? limit - used : 1);
        }
    }
    return best;
}

}  // namespace zarno
