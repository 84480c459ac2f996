#include "ProcAccess.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "OwnerService.h"

namespace owners {

namespace {

// Long enough for the mount table of a busy container host.
constexpr std::size_t kMaxMountInfo = 8u << 20;

template <class T>
std::optional<T> Number(std::string_view text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The blank-separated fields of one line.
std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) fields.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

// hidepid= as the kernel writes it (a name since Linux 5.8, a number
// before); a value not known hides other users' processes.
unsigned HidePidOf(std::string_view value) {
    if (value == "0" || value == "off") return 0;
    if (value == "1" || value == "noaccess") return 1;
    if (value == "4" || value == "ptraceable") return 4;
    return 2;
}

}  // namespace

std::optional<ProcMount> ProcMountOf(std::string_view mountinfo, unsigned major, unsigned minor) {
    std::optional<ProcMount> found;
    while (!mountinfo.empty()) {
        const std::size_t end = std::min(mountinfo.find('\n'), mountinfo.size());
        const std::vector<std::string_view> fields = Fields(mountinfo.substr(0, end));
        mountinfo.remove_prefix(std::min(end + 1, mountinfo.size()));
        // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
        const auto dash = std::find(fields.begin() + std::min<std::size_t>(fields.size(), 6), fields.end(), "-");
        if (fields.size() < 6 || fields.end() - dash < 4 || dash[1] != "proc") continue;
        const std::string_view device = fields[2];
        const std::size_t colon = device.find(':');
        if (colon == std::string_view::npos || Number<unsigned>(device.substr(0, colon)) != major ||
            Number<unsigned>(device.substr(colon + 1)) != minor)
            continue;
        ProcMount mount;
        std::string_view options = dash[3];
        while (!options.empty()) {
            const std::size_t comma = std::min(options.find(','), options.size());
            const std::string_view option = options.substr(0, comma);
            options.remove_prefix(std::min(comma + 1, options.size()));
            if (option.substr(0, 8) == "hidepid=") {
                mount.hidePid = HidePidOf(option.substr(8));
            } else if (option.substr(0, 4) == "gid=") {
                // A gid that does not parse exempts nobody.
                const std::optional<gid_t> gid = Number<gid_t>(option.substr(4));
                mount.hasGid = gid.has_value();
                mount.gid = gid.value_or(0);
            }
        }
        found = mount;
    }
    return found;
}

bool MaySee(const ProcMount& mount, const Caller& caller, uid_t processUid) {
    if (mount.hidePid == 0 || caller.seesEveryProcess || processUid == caller.uid) return true;
    return mount.hasGid && std::find(caller.groups.begin(), caller.groups.end(), mount.gid) != caller.groups.end();
}

ProcAccess ReadProcAccess(const std::string& procRoot) {
    ProcAccess access;
    access.caller.uid = ::getuid();
    access.caller.groups.push_back(::getgid());
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<std::size_t>(count));
        const int got = ::getgroups(count, groups.data());
        if (got > 0) access.caller.groups.insert(access.caller.groups.end(), groups.begin(), groups.begin() + got);
    }
    // Started in secure mode, the helper holds the file's capabilities, not
    // the caller's.
    access.caller.seesEveryProcess = ::getauxval(AT_SECURE) == 0 && MayReadEveryProcess();

    // Until the mount is known, every other user's process is hidden.
    access.mount.hidePid = 2;
    struct stat proc {};
    if (::stat(procRoot.c_str(), &proc) != 0) return access;
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return access;
    // Read whole or not at all: a line cut short could lose its hidepid=.
    std::string text;
    char chunk[16384];
    bool whole = false;
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        whole = n == 0;
        if (n <= 0 || text.size() + static_cast<std::size_t>(n) > kMaxMountInfo) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!whole) return access;
    if (const std::optional<ProcMount> mount = ProcMountOf(text, major(proc.st_dev), minor(proc.st_dev)))
        access.mount = *mount;
    return access;
}

}  // namespace owners
