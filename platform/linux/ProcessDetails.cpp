// A process's details for the socket panes: read from its /proc files where
// this process may, and its executable path and namespaces from the owner
// helper where only the helper may; another machine's from its capture's
// process tables.
#include "ProcessDetails.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "OwnerClient.h"
#include "ProcRootEnv.h"
#include "processinfo.h"

namespace {

const char* ProcRoot() { return ProcRootFromEnvironment(); }

// At most `limit` bytes of a file; false when it cannot be opened.  The
// open never waits (a FIFO put in a file's place) nor takes a terminal.
bool ReadSmall(const std::string& path, std::size_t limit, std::string& text) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    char buffer[4096];
    while (text.size() < limit) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

// The link's target; `denied` when this process may not read it.
std::string ReadLink(const std::string& path, bool& denied) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    if (n < 0 && (errno == EACCES || errno == EPERM)) denied = true;
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return {};
    return std::string(target, static_cast<std::size_t>(n));
}

std::string UserName(DWORD uid) {
    // Looked up once per user: a directory service may be slow to answer.
    static std::mutex lock;
    static auto* names = new std::unordered_map<DWORD, std::string>;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (const auto found = names->find(uid); found != names->end()) return found->second;
    }
    std::string name;
    passwd entry{};
    passwd* result = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_name != nullptr)
        name = result->pw_name;
    std::lock_guard<std::mutex> guard(lock);
    names->emplace(uid, name);
    return name;
}

std::optional<std::int64_t> ReadBootTime() {
    std::string text;
    return ReadSmall(std::string(ProcRoot()) + "/stat", 1 << 20, text) ? procinfo::BootTimeOfStat(text)
                                                                      : std::nullopt;
}

// The machine's boot time is read once; another proc root's every time.
std::optional<std::int64_t> BootTime() {
    if (std::string_view(ProcRoot()) != "/proc") return ReadBootTime();
    static const std::optional<std::int64_t> boot = ReadBootTime();
    return boot;
}

std::uint64_t OwnNamespace(const char* name) {
    bool denied = false;
    return procinfo::NamespaceInodeOfLink(ReadLink(std::string("/proc/self/ns/") + name, denied));
}

// The start in ms since the epoch of a process started `start` clock ticks
// after boot, or -1.
std::int64_t StartTimeMs(std::optional<std::uint64_t> start) {
    const long ticks = ::sysconf(_SC_CLK_TCK);
    const std::optional<std::int64_t> boot = BootTime();
    // Bounded so that no garbled value overflows: 2^40 s is some 35000 years.
    if (start && boot && *boot >= 0 && *boot < (std::int64_t{1} << 40) && ticks > 0 &&
        *start / static_cast<std::uint64_t>(ticks) < (1ull << 40))
        return *boot * 1000 + static_cast<std::int64_t>(*start * 1000 / static_cast<std::uint64_t>(ticks));
    return -1;
}

// What this process may read of `pid` itself; `denied` when the executable
// or the namespaces were refused.
bool ReadDirectly(DWORD pid, ProcessDetails& out, bool& denied) {
    out = ProcessDetails{};
    const std::string root = ProcRoot();
    // Another machine's capture tells a process's start and executable.
    if (root != "/proc") {
        CapturedProcess captured;
        switch (FindCapturedProcess(root.c_str(), pid, captured)) {
            case CaptureLookup::NotListed: return false;
            case CaptureLookup::Listed:
                out.pid = pid;
                if (captured.hasStart) out.startTimeMs = StartTimeMs(captured.startTicks);
                out.path = std::move(captured.executable);
                return true;
            case CaptureLookup::NoCapture: break;
        }
    }
    const std::string dir = root + "/" + std::to_string(pid);
    std::string text;
    if (!ReadSmall(dir + "/stat", 4096, text)) return false;
    out.pid = pid;
    out.startTimeMs = StartTimeMs(procinfo::StartTicksOfStat(text));
    if (ReadSmall(dir + "/status", 16384, text)) {
        if (const std::optional<std::uint32_t> uid = procinfo::RealUidOfStatus(text)) {
            out.hasUid = true;
            out.uid = *uid;
            out.user = UserName(*uid);
        }
    }
    // 512 characters take at most four bytes each.
    if (ReadSmall(dir + "/cmdline", 4 * 512 + 4, text)) out.commandLine = procinfo::CommandLineOf(text);
    if (ReadSmall(dir + "/cgroup", 65536, text)) {
        procinfo::CgroupPlace place = procinfo::PlaceOfCgroup(text);
        out.service = std::move(place.service);
        out.container = std::move(place.container);
        out.cgroupPath = std::move(place.path);
    }
    out.path = ReadLink(dir + "/exe", denied);
    out.netNamespace = procinfo::NamespaceInodeOfLink(ReadLink(dir + "/ns/net", denied));
    out.pidNamespace = procinfo::NamespaceInodeOfLink(ReadLink(dir + "/ns/pid", denied));
    return true;
}

// A process in a PID namespace other than ours, and in no container a
// runtime names, is shown in its control group's place.
void NameContainer(ProcessDetails& d) {
    const std::uint64_t own = OwnPidNamespace();
    if (d.container.empty() && d.pidNamespace != 0 && own != 0 && d.pidNamespace != own && !d.cgroupPath.empty())
        d.container = d.cgroupPath;
}

// The processes of the capture last read, by pid.  Each capture is a
// folder of its own, so the folder's identity tells when to read again.
struct CapturedProcesses {
    std::mutex lock;
    bool read = false;
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};
    bool isCapture = false;
    std::vector<std::pair<std::uint32_t, CapturedProcess>> byPid;

    bool Same(const struct stat& folder) const {
        return read && folder.st_dev == device && folder.st_ino == inode && folder.st_ctim.tv_sec == changed.tv_sec &&
               folder.st_ctim.tv_nsec == changed.tv_nsec;
    }

    void Read(int dirFd, const struct stat& folder) {
        read = true;
        device = folder.st_dev;
        inode = folder.st_ino;
        changed = folder.st_ctim;
        byPid.clear();
        std::string text;
        isCapture = ReadCapturedTable(dirFd, kCapturedStatTable, text);
        if (!isCapture) return;
        for (const procinfo::ProcessLine& line : procinfo::ParseStatTable(text)) {
            CapturedProcess p;
            const std::optional<std::uint64_t> start = procinfo::StartTicksOfStat(line.text);
            p.hasStart = start.has_value();
            p.startTicks = start.value_or(0);
            byPid.emplace_back(line.pid, std::move(p));
        }
        if (ReadCapturedTable(dirFd, kCapturedExecutableTable, text)) {
            for (const procinfo::ProcessLine& line : procinfo::ParseExecutableTable(text)) {
                CapturedProcess p;
                p.executable = std::string(line.text);
                byPid.emplace_back(line.pid, std::move(p));
            }
        }
        // One entry a pid: the first stat line and the first executable.
        std::stable_sort(byPid.begin(), byPid.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::size_t kept = 0;
        for (std::size_t i = 0; i < byPid.size(); ++i) {
            if (kept > 0 && byPid[kept - 1].first == byPid[i].first) {
                CapturedProcess& into = byPid[kept - 1].second;
                CapturedProcess& from = byPid[i].second;
                if (!into.hasStart) {
                    into.hasStart = from.hasStart;
                    into.startTicks = from.startTicks;
                }
                if (into.executable.empty()) into.executable = std::move(from.executable);
                continue;
            }
            if (kept != i) byPid[kept] = std::move(byPid[i]);
            ++kept;
        }
        byPid.resize(kept);
    }
};

}  // namespace

CaptureLookup FindCapturedProcess(const char* procRoot, std::uint32_t pid, CapturedProcess& out) {
    static auto* const captured = new CapturedProcesses;
    const int dirFd = ::open(procRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return CaptureLookup::NoCapture;
    struct stat folder {};
    CaptureLookup found = CaptureLookup::NoCapture;
    if (::fstat(dirFd, &folder) == 0) {
        std::lock_guard<std::mutex> hold(captured->lock);
        if (!captured->Same(folder)) captured->Read(dirFd, folder);
        if (captured->isCapture) {
            const auto& byPid = captured->byPid;
            const auto it = std::lower_bound(byPid.begin(), byPid.end(), pid,
                                             [](const auto& entry, std::uint32_t p) { return entry.first < p; });
            found = it != byPid.end() && it->first == pid ? CaptureLookup::Listed : CaptureLookup::NotListed;
            if (found == CaptureLookup::Listed) out = it->second;
        }
    }
    ::close(dirFd);
    return found;
}

std::uint64_t OwnNetworkNamespace() {
    static const std::uint64_t inode = OwnNamespace("net");
    return inode;
}

std::uint64_t OwnPidNamespace() {
    static const std::uint64_t inode = OwnNamespace("pid");
    return inode;
}

void GetProcessDetails(const std::vector<DWORD>& pids, std::vector<ProcessDetails>& out) {
    out.assign(pids.size(), ProcessDetails{});
    std::vector<std::uint32_t> refused;
    std::vector<std::size_t> refusedAt;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        bool denied = false;
        if (pids[i] == 0 || pids[i] > INT_MAX || !ReadDirectly(pids[i], out[i], denied)) {
            out[i] = ProcessDetails{};
            continue;
        }
        if (denied) {
            refused.push_back(pids[i]);
            refusedAt.push_back(i);
        }
    }
    // Another user's executable and namespaces: a helper that may read
    // every process tells them for the owners of the sockets of its latest
    // answers (at most kMaxPathPids a request).
    const bool askHelper =
        !refused.empty() && std::string_view(ProcRoot()) == "/proc" && owners::HelperMayReadEveryProcess();
    std::vector<owners::OwnerPath> paths;
    for (std::size_t first = 0; askHelper && first < refused.size(); first += owners::kMaxPathPids) {
        const std::size_t last = std::min(refused.size(), first + owners::kMaxPathPids);
        const std::vector<std::uint32_t> some(refused.begin() + static_cast<std::ptrdiff_t>(first),
                                              refused.begin() + static_cast<std::ptrdiff_t>(last));
        if (!owners::QueryOwnerPaths(some, paths)) break;
        std::unordered_map<std::uint32_t, const owners::OwnerPath*> byPid;
        for (const owners::OwnerPath& p : paths) byPid.emplace(p.pid, &p);
        for (std::size_t k = first; k < last; ++k) {
            const auto found = byPid.find(refused[k]);
            if (found == byPid.end()) continue;
            ProcessDetails& d = out[refusedAt[k]];
            if (d.path.empty()) d.path = found->second->path;
            if (d.netNamespace == 0) d.netNamespace = found->second->netNamespace;
            if (d.pidNamespace == 0) d.pidNamespace = found->second->pidNamespace;
        }
    }
    for (ProcessDetails& d : out) NameContainer(d);
}

bool GetProcessDetails(DWORD pid, ProcessDetails& out) {
    std::vector<ProcessDetails> one;
    GetProcessDetails(std::vector<DWORD>{pid}, one);
    out = one.empty() ? ProcessDetails{} : std::move(one[0]);
    return out.pid != 0;
}
