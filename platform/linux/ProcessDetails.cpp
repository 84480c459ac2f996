// A process's details for the socket panes: read from its /proc files where
// this process may, and its executable path and namespaces from the owner
// helper where only the helper may.
#include "ProcessDetails.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "OwnerClient.h"
#include "processinfo.h"

namespace procinfo {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

template <class T>
std::optional<T> Number(std::string_view s) {
    T value{};
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return value;
}

// The length of the UTF-8 sequence at `s[i]`, or 1 for a byte that starts
// none (so that it counts as one character).
std::size_t SequenceLength(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
    if (n == 1 || i + n > s.size()) return 1;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
    return n;
}

bool AllHex(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
}

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}
bool StartsWith(std::string_view s, std::string_view head) { return s.substr(0, head.size()) == head; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// systemd escapes bytes of the names it makes units of as "\xHH" ('-' as
// "\x2d", a blank as "\x20"): printable ones are put back, a control
// character stays escaped so that it never reaches a line as it is.
std::string Unescaped(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            const int high = HexDigit(s[i + 2]), low = HexDigit(s[i + 3]);
            const int byte = high < 0 || low < 0 ? -1 : high * 16 + low;
            if (byte >= 0x20 && byte != 0x7F) {
                out += static_cast<char>(byte);
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// The container a cgroup path component names, or empty.
std::string ContainerOf(std::string_view component, std::string_view parent) {
    struct Runtime {
        std::string_view prefix, suffix, name;
    };
    static constexpr Runtime kScopes[] = {
        {"docker-", ".scope", "docker"},         {"libpod-", ".scope", "podman"},
        {"cri-containerd-", ".scope", "containerd"}, {"crio-", ".scope", "cri-o"},
    };
    for (const Runtime& r : kScopes) {
        if (StartsWith(component, r.prefix) && EndsWith(component, r.suffix)) {
            const std::string_view id =
                component.substr(r.prefix.size(), component.size() - r.prefix.size() - r.suffix.size());
            if (AllHex(id)) return std::string(r.name) + ' ' + std::string(id.substr(0, 12));
        }
    }
    // cgroupfs drivers: /docker/ID, /kubepods/.../ID, /lxc/NAME.
    if ((parent == "docker" || StartsWith(parent, "pod")) && AllHex(component) && component.size() >= 12)
        return (parent == "docker" ? "docker " : "container ") + std::string(component.substr(0, 12));
    if (parent == "lxc" && !component.empty()) return "lxc " + std::string(component);
    if (StartsWith(component, "lxc.payload.") && component.size() > 12) return "lxc " + std::string(component.substr(12));
    if (parent == "machine.slice" && StartsWith(component, "machine-") && EndsWith(component, ".scope"))
        return "machine " + Unescaped(component.substr(8, component.size() - 8 - 6));
    return {};
}

}  // namespace

std::optional<std::uint64_t> StartTicksOfStat(std::string_view stat) {
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    // After the command: field 3 (state) onwards; the start time is field 22.
    for (int field = 3; field <= 22; ++field) {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        const std::string_view value = rest.substr(0, end);
        if (value.empty()) return std::nullopt;
        if (field == 22) return Number<std::uint64_t>(Trim(value.substr(0, value.find('\n'))));
        rest.remove_prefix(end);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> RealUidOfStatus(std::string_view status) {
    while (!status.empty()) {
        const std::size_t end = std::min(status.find('\n'), status.size());
        std::string_view line = status.substr(0, end);
        status.remove_prefix(std::min(end + 1, status.size()));
        if (!StartsWith(line, "Uid:")) continue;
        line = Trim(line.substr(4));
        const std::size_t gap = line.find_first_of(" \t");
        return Number<std::uint32_t>(line.substr(0, gap));
    }
    return std::nullopt;
}

std::string CommandLineOf(std::string_view bytes, std::size_t maxCharacters) {
    while (!bytes.empty() && bytes.back() == '\0') bytes.remove_suffix(1);
    std::string out;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < bytes.size() && characters < maxCharacters; ++characters) {
        if (bytes[i] == '\0') {
            out += ' ';
            ++i;
            continue;
        }
        const std::size_t n = SequenceLength(bytes, i);
        out.append(bytes.substr(i, n));
        i += n;
    }
    return out;
}

std::optional<std::int64_t> BootTimeOfStat(std::string_view stat) {
    while (!stat.empty()) {
        const std::size_t end = std::min(stat.find('\n'), stat.size());
        const std::string_view line = stat.substr(0, end);
        stat.remove_prefix(std::min(end + 1, stat.size()));
        if (StartsWith(line, "btime ")) return Number<std::int64_t>(Trim(line.substr(6)));
    }
    return std::nullopt;
}

CgroupPlace PlaceOfCgroup(std::string_view cgroup) {
    CgroupPlace place;
    std::string_view unified, systemd;
    while (!cgroup.empty()) {
        const std::size_t end = std::min(cgroup.find('\n'), cgroup.size());
        const std::string_view line = cgroup.substr(0, end);
        cgroup.remove_prefix(std::min(end + 1, cgroup.size()));
        // ID:CONTROLLERS:PATH; the path may hold ':'.
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (path.empty() || path.front() != '/') continue;
        if (line.substr(0, first) == "0" && controllers.empty()) unified = path;
        if (controllers == "name=systemd") systemd = path;
    }
    const std::string_view path = !unified.empty() ? unified : systemd;
    place.path = std::string(path);
    // From the root down: the deepest service (or scope) that is not a
    // container's, and the first container met.
    std::string_view parent, scope;
    for (std::string_view rest = path; !rest.empty();) {
        while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
        const std::size_t end = std::min(rest.find('/'), rest.size());
        const std::string_view component = rest.substr(0, end);
        rest.remove_prefix(end);
        if (component.empty()) break;
        std::string container = ContainerOf(component, parent);
        if (!container.empty()) {
            if (place.container.empty()) place.container = std::move(container);
        } else if (EndsWith(component, ".service")) {
            place.service = Unescaped(component);
        } else if (EndsWith(component, ".scope")) {
            scope = component;
        }
        parent = component;
    }
    if (place.service.empty() && !scope.empty()) place.service = Unescaped(scope);
    return place;
}

std::uint64_t NamespaceInodeOfLink(std::string_view link) {
    const std::size_t open = link.find(":[");
    if (open == std::string_view::npos || link.back() != ']') return 0;
    return Number<std::uint64_t>(link.substr(open + 2, link.size() - open - 3)).value_or(0);
}

}  // namespace procinfo

// ------------------------------------------------------------- the reader

namespace {

const char* ProcRoot() {
    const char* root = secure_getenv("TESSALINE_PROC_ROOT");
    return root != nullptr && *root != '\0' ? root : "/proc";
}

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
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
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

// What this process may read of `pid` itself; `denied` when the executable
// or the namespaces were refused.
bool ReadDirectly(DWORD pid, ProcessDetails& out, bool& denied) {
    out = ProcessDetails{};
    const std::string dir = std::string(ProcRoot()) + "/" + std::to_string(pid);
    std::string text;
    if (!ReadSmall(dir + "/stat", 4096, text)) return false;
    out.pid = pid;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    const std::optional<std::uint64_t> start = procinfo::StartTicksOfStat(text);
    const std::optional<std::int64_t> boot = BootTime();
    // Bounded so that no garbled value overflows: 2^40 s is some 35000 years.
    if (start && boot && *boot >= 0 && *boot < (std::int64_t{1} << 40) && ticks > 0 &&
        *start / static_cast<std::uint64_t>(ticks) < (1ull << 40))
        out.startTimeMs = *boot * 1000 + static_cast<std::int64_t>(*start * 1000 / static_cast<std::uint64_t>(ticks));
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

}  // namespace

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
