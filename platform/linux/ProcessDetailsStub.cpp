// Interim owner details: the executable path alone.
#include <climits>
#include <cstdio>
#include <unistd.h>

#include "processinfo.h"

bool GetProcessDetails(DWORD pid, ProcessDetails& out) {
    out = ProcessDetails{};
    char link[64], target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/%u/exe", pid);
    const ssize_t n = ::readlink(link, target, sizeof target);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof target) out.path.assign(target, static_cast<std::size_t>(n));
    std::snprintf(link, sizeof link, "/proc/%u", pid);
    if (::access(link, F_OK) != 0) return false;
    out.pid = pid;
    return true;
}

void GetProcessDetails(const std::vector<DWORD>& pids, std::vector<ProcessDetails>& out) {
    out.assign(pids.size(), ProcessDetails{});
    for (std::size_t i = 0; i < pids.size(); ++i) GetProcessDetails(pids[i], out[i]);
}

std::uint64_t OwnNetworkNamespace() { return 0; }
std::uint64_t OwnPidNamespace() { return 0; }
