#include "Capture.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <tuple>

namespace remote {

namespace {

// The files read whole, relative to the root.
constexpr const char* kFiles[] = {
    "proc/net/snmp",           "proc/net/snmp6",          "proc/net/netstat",
    "proc/net/tcp",            "proc/net/tcp6",           "proc/net/udp",
    "proc/net/udp6",           "proc/net/raw",            "proc/net/raw6",
    "proc/net/sockstat",       "proc/net/sockstat6",      "proc/net/if_inet6",
    "proc/net/route",          "proc/net/ipv6_route",     "proc/net/fib_trie",
    "proc/net/dev",            "proc/net/protocols",      "proc/stat",
    "proc/sys/net/ipv4/ip_forward",          "proc/sys/net/ipv4/ip_default_ttl",
    "proc/sys/net/ipv6/conf/all/forwarding", "proc/sys/net/ipv6/conf/default/hop_limit",
    "proc/sys/net/ipv6/ip6frag_time",        "proc/sys/kernel/hostname",
    "proc/sys/kernel/domainname",            "proc/sys/net/core/wmem_default",
    "proc/sys/net/ipv6/bindv6only",          "etc/resolv.conf",
    "etc/hosts",               "etc/samba/smb.conf",      "run/systemd/resolve/resolv.conf",
};

// The attributes of each link's folder, one line each.
constexpr const char* kLinkFiles[] = {
    "ifindex", "type", "flags", "mtu", "address", "operstate", "carrier", "dormant", "speed", "tx_queue_len",
};
constexpr const char* kLinkStatistics[] = {
    "rx_bytes",      "tx_bytes",       "rx_packets",      "tx_packets",         "rx_errors",
    "tx_errors",     "rx_dropped",     "tx_dropped",      "multicast",          "collisions",
    "rx_nohandler",  "rx_length_errors", "rx_over_errors", "rx_crc_errors",     "rx_frame_errors",
    "rx_fifo_errors", "rx_missed_errors", "tx_aborted_errors", "tx_carrier_errors", "tx_fifo_errors",
    "tx_heartbeat_errors", "tx_window_errors", "rx_compressed", "tx_compressed",
};
// The PCI ids of a link's device, for its model.
constexpr const char* kDeviceFiles[] = {"device/vendor", "device/device"};
// Folders whose plain-named files are read whole: leases and per-link state.
constexpr const char* kFolders[] = {
    "var/lib/dhcp",           "var/lib/dhclient",         "var/lib/NetworkManager",   "run/NetworkManager",
    "run/systemd/netif/leases", "run/systemd/netif/links", "run/systemd/resolve/netif",
};
// Folders whose entries only need to exist (the kernel's per-link files,
// counted, not read).
constexpr const char* kListedFolders[] = {"proc/net/dev_snmp6"};

constexpr std::size_t kMaxName = 64;

bool PlainName(std::string_view name) {
    if (name.empty() || name.size() > kMaxName || name == "." || name == "..") return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '@' || c == ':' || c == '+' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// "FOLDER/NAME" with a plain NAME: the name, else empty.
std::string_view NameIn(std::string_view path, std::string_view folder) {
    if (!StartsWith(path, folder) || path.size() <= folder.size() + 1 || path[folder.size()] != '/') return {};
    const std::string_view name = path.substr(folder.size() + 1);
    return PlainName(name) ? name : std::string_view();
}

bool LinkLeaf(std::string_view leaf) {
    for (const char* f : kLinkFiles)
        if (leaf == f) return true;
    for (const char* f : kDeviceFiles)
        if (leaf == f) return true;
    if (StartsWith(leaf, "statistics/")) {
        const std::string_view stat = leaf.substr(11);
        for (const char* s : kLinkStatistics)
            if (stat == s) return true;
    }
    return false;
}

// "sys/class/net/NAME/REST" with a plain NAME: REST, else empty.
std::string_view LinkRest(std::string_view path) {
    constexpr std::string_view kNet = "sys/class/net/";
    if (!StartsWith(path, kNet)) return {};
    const std::string_view rest = path.substr(kNet.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos || !PlainName(rest.substr(0, slash))) return {};
    return rest.substr(slash + 1);
}

template <class Int>
bool ParseNumber(std::string_view text, Int& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// Calls `line` with each line of `text`, without its line feed.
template <class Line>
void ForEachLine(std::string_view text, Line line) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        line(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// `ls -l` of every process's fd folder, cut to the headings and sockets:
//   /proc/123/fd:
//   lrwx------ 1 root root 64 Dec 11 02:00 7 -> socket:[4242]
void ParseDescriptors(std::string_view text, Capture& out) {
    std::uint32_t pid = 0;
    ForEachLine(text, [&](std::string_view line) {
        if (StartsWith(line, "/proc/")) {
            const std::size_t end = line.find('/', 6);
            pid = 0;
            if (end != std::string_view::npos && line.substr(end) == "/fd:") ParseNumber(line.substr(6, end - 6), pid);
            return;
        }
        const std::size_t arrow = line.find(" -> socket:[");
        if (pid == 0 || arrow == std::string_view::npos || line.back() != ']') return;
        if (out.descriptors.size() >= kMaxDescriptors) return;
        const std::string_view before = line.substr(0, arrow);
        const std::size_t blank = before.rfind(' ');
        std::uint32_t fd = 0;
        std::uint64_t inode = 0;
        const std::size_t open = arrow + 12;
        if (blank == std::string_view::npos || !ParseNumber(before.substr(blank + 1), fd) ||
            !ParseNumber(line.substr(open, line.size() - 1 - open), inode) || inode == 0)
            return;
        out.descriptors.push_back(Descriptor{pid, fd, inode});
    });
}

//   lrwxrwxrwx 1 root root 0 Dec 11 02:00 /proc/123/exe -> /usr/sbin/sshd
void ParseExecutables(std::string_view text, Capture& out) {
    ForEachLine(text, [&](std::string_view line) {
        const std::size_t at = line.find(" /proc/");
        if (at == std::string_view::npos) return;
        const std::string_view rest = line.substr(at + 7);
        const std::size_t slash = rest.find('/');
        std::uint32_t pid = 0;
        if (slash == std::string_view::npos || !ParseNumber(rest.substr(0, slash), pid) || pid == 0) return;
        const std::string_view tail = rest.substr(slash);
        if (!StartsWith(tail, "/exe -> /")) return;
        const std::string_view path = tail.substr(8);
        if (path.size() > 4096 || out.executables.size() >= kMaxProcesses) return;
        out.executables.push_back(ProcessLine{pid, path});
    });
}

// Every process's stat line: "PID (NAME) STATE ...".  A name holding a
// line feed breaks its line; both halves are then left out.
void ParseStats(std::string_view text, Capture& out) {
    ForEachLine(text, [&](std::string_view line) {
        const std::size_t blank = line.find(" (");
        std::uint32_t pid = 0;
        if (blank == std::string_view::npos || !ParseNumber(line.substr(0, blank), pid) || pid == 0) return;
        if (line.rfind(") ") == std::string_view::npos || line.size() > 4096) return;
        if (out.stats.size() >= kMaxProcesses) return;
        out.stats.push_back(ProcessLine{pid, line});
    });
}

// By pid, the first line of each pid kept: a pid listed twice (a hostile
// answer) is one process.
void ByPid(std::vector<ProcessLine>& lines) {
    std::stable_sort(lines.begin(), lines.end(),
                     [](const ProcessLine& a, const ProcessLine& b) { return a.pid < b.pid; });
    lines.erase(std::unique(lines.begin(), lines.end(),
                            [](const ProcessLine& a, const ProcessLine& b) { return a.pid == b.pid; }),
                lines.end());
}

std::size_t InPages(std::size_t bytes) { return (bytes + kPageBytes - 1) / kPageBytes * kPageBytes; }

// A line of a table, or a path, that a capture made by other code could
// hold and that would break a table's lines.
bool OneLine(std::string_view text) { return text.find('\n') == std::string_view::npos; }

// The tables' lines, given to `out` piece by piece: counted when a capture
// is sized, written when it is written, the same bytes both times.
template <class Out>
void PutNumber(Out& out, std::uint64_t value) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

template <class Out>
void PutStats(const Capture& capture, Out& out) {
    for (const ProcessLine& line : capture.stats) {
        if (!OneLine(line.text)) continue;
        out(line.text);
        out("\n");
    }
}

template <class Out>
void PutExecutables(const Capture& capture, Out& out) {
    for (const ProcessLine& line : capture.executables) {
        if (!OneLine(line.text)) continue;
        PutNumber(out, line.pid);
        out(" ");
        out(line.text);
        out("\n");
    }
}

template <class Out>
void PutDescriptors(const Capture& capture, Out& out) {
    for (const Descriptor& d : capture.descriptors) {
        PutNumber(out, d.pid);
        out(" ");
        PutNumber(out, d.fd);
        out(" ");
        PutNumber(out, d.inode);
        out("\n");
    }
}

struct Counter {
    std::size_t bytes = 0;
    void operator()(std::string_view text) { bytes += text.size(); }
};

// A new file written in chunks, never through a link; the first failure is
// kept.
class FileWriter {
public:
    explicit FileWriter(std::string path) : m_path(std::move(path)) {
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_fd < 0) m_errno = errno;
    }
    ~FileWriter() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    void operator()(std::string_view text) {
        if (m_buffer.size() + text.size() > kChunk) Flush();
        if (text.size() >= kChunk)
            WriteAll(text);
        else
            m_buffer.append(text);
    }
    bool Finish(std::string& error) {
        Flush();
        if (m_fd >= 0 && ::close(m_fd) != 0 && m_errno == 0) m_errno = errno;
        m_fd = -1;
        if (m_errno == 0) return true;
        error = "cannot write " + m_path + ": " + std::strerror(m_errno);
        return false;
    }

private:
    static constexpr std::size_t kChunk = 64 * 1024;
    void Flush() {
        WriteAll(m_buffer);
        m_buffer.clear();
    }
    void WriteAll(std::string_view text) {
        while (!text.empty() && m_fd >= 0 && m_errno == 0) {
            const ssize_t n = ::write(m_fd, text.data(), text.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                m_errno = n < 0 ? errno : EIO;
                return;
            }
            text.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    std::string m_path;
    std::string m_buffer;
    int m_fd = -1;
    int m_errno = 0;
};

// Every folder a capture's files need, relative to its root, each after
// the one it sits in.
std::set<std::string> FoldersOf(const Capture& capture) {
    std::set<std::string> folders{"proc"};
    const auto withParents = [&folders](std::string_view path, bool itself) {
        std::size_t slash = path.find('/');
        while (slash != std::string_view::npos) {
            folders.emplace(path.substr(0, slash));
            slash = path.find('/', slash + 1);
        }
        if (itself) folders.emplace(path);
    };
    for (const auto& [path, content] : capture.files)
        if (AllowedPath(path)) withParents(path, false);
    for (const std::string& folder : capture.folders)
        if (AllowedFolder(folder)) withParents(folder, true);
    return folders;
}

}  // namespace

std::string NewToken() {
    unsigned char bytes[16] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 0xF];
    }
    return token;
}

std::string CaptureScript(std::string_view token, bool sudoOwners) {
    // The token is ours (hexadecimal digits), so it needs no quoting.  The
    // one-line attributes under /sys are read with the shell's own `read`,
    // the other files with one `cat` each; a file that cannot be read is
    // left out.
    std::string s;
    s += "T=" + std::string(token) + "\n";
    s += "export LC_ALL=C\n";
    s += "f() { [ -r \"/$1\" ] && [ -f \"/$1\" ] && { printf '\\n%s F %s\\n' \"$T\" \"$1\"; cat \"/$1\" 2>/dev/null; }; }\n";
    // `read` takes a file a byte at a time, which sysfs attributes allow
    // but sysctl files do not (they answer end of file after the first
    // byte): `l` is for /sys alone.  Its status is not taken as failure (a
    // last line without its line feed); a file that cannot be read gives
    // an empty one.
    s += "l() { [ -f \"/$1\" ] && [ -r \"/$1\" ] && { v=; IFS= read -r v < \"/$1\"; "
         "printf '\\n%s F %s\\n%s\\n' \"$T\" \"$1\" \"$v\"; } 2>/dev/null; }\n";
    s += "d() { printf '\\n%s D %s\\n' \"$T\" \"$1\"; }\n";
    s += "printf '%s TESSALINE-CAPTURE 1\\n' \"$T\"\n";
    s += "for p in";
    for (const char* f : kFiles) s += std::string(" ") + f;
    s += "; do f \"$p\"; done\n";
    s += "for n in /sys/class/net/*; do\n";
    s += "  [ -d \"$n\" ] || continue; b=${n##*/}\n";
    s += "  for a in";
    for (const char* f : kLinkFiles) s += std::string(" ") + f;
    for (const char* f : kDeviceFiles) s += std::string(" ") + f;
    s += "; do l \"sys/class/net/$b/$a\"; done\n";
    s += "  for a in";
    for (const char* f : kLinkStatistics) s += std::string(" ") + f;
    s += "; do l \"sys/class/net/$b/statistics/$a\"; done\n";
    s += "  [ -d \"$n/wireless\" ] && d \"sys/class/net/$b/wireless\"\n";
    s += "  [ -d \"$n/statistics\" ] && d \"sys/class/net/$b/statistics\"\n";
    s += "done\n";
    for (const char* folder : kListedFolders)
        s += std::string("for n in /") + folder + "/*; do [ -e \"$n\" ] && d \"" + folder + "/${n##*/}\"; done\n";
    for (const char* folder : kFolders)
        s += std::string("for n in /") + folder + "/*; do f \"" + folder + "/${n##*/}\"; done\n";
    // With sudoOwners, the listings run under `sudo -n` when it lets us
    // without a password; the globs are expanded here, which needs no
    // privilege.
    s += sudoOwners ? "S=; sudo -n true 2>/dev/null && S='sudo -n'\n" : "S=\n";
    s += "printf '\\n%s L fd\\n' \"$T\"\n";
    s += "$S ls -l /proc/[0-9]*/fd 2>/dev/null | grep -e '^/proc/' -e 'socket:'\n";
    s += "printf '\\n%s L exe\\n' \"$T\"\n";
    s += "$S ls -l /proc/[0-9]*/exe 2>/dev/null\n";
    s += "printf '\\n%s L stat\\n' \"$T\"; cat /proc/[0-9]*/stat 2>/dev/null\n";
    s += "printf '\\n%s END\\n' \"$T\"\n";
    return s;
}

bool AllowedPath(std::string_view path) {
    for (const char* f : kFiles)
        if (path == f) return true;
    if (const std::string_view leaf = LinkRest(path); !leaf.empty()) return LinkLeaf(leaf);
    for (const char* folder : kFolders)
        if (!NameIn(path, folder).empty()) return true;
    return false;
}

bool AllowedFolder(std::string_view path) {
    if (const std::string_view leaf = LinkRest(path); !leaf.empty()) return leaf == "wireless" || leaf == "statistics";
    for (const char* folder : kListedFolders)
        if (!NameIn(path, folder).empty()) return true;
    return false;
}

bool ParseCapture(std::string_view answer, std::string_view token, Capture& out, std::string& error) {
    out = Capture{};
    out.bytes = answer.size();
    if (answer.size() > kMaxAnswerBytes) {
        error = "the answer is larger than " + std::to_string(kMaxAnswerBytes >> 20) + " MiB";
        return false;
    }
    const std::string heading = std::string(token) + " TESSALINE-CAPTURE 1\n";
    if (token.size() != 32 || !StartsWith(answer, heading)) {
        error = answer.empty() ? "the remote side sent nothing" : "the remote side did not answer with a capture";
        return false;
    }
    const std::string ending = "\n" + std::string(token) + " END\n";
    if (answer.size() < heading.size() + ending.size() || answer.substr(answer.size() - ending.size()) != ending) {
        error = "the answer was cut before its end";
        return false;
    }
    // The frames: "\nTOKEN KIND NAME\n" then the content up to the next
    // "\nTOKEN ".
    const std::string mark = "\n" + std::string(token) + " ";
    std::string_view rest = answer.substr(heading.size(), answer.size() - heading.size() - ending.size());
    std::size_t frames = 0;
    while (!rest.empty()) {
        if (!StartsWith(rest, mark)) {
            error = "the answer breaks its framing";
            return false;
        }
        rest.remove_prefix(mark.size());
        const std::size_t eol = rest.find('\n');
        if (eol == std::string_view::npos) {
            error = "the answer breaks its framing";
            return false;
        }
        const std::string_view header = rest.substr(0, eol);
        rest.remove_prefix(eol + 1);
        const std::size_t next = rest.find(mark);
        const std::string_view content = rest.substr(0, next);
        rest.remove_prefix(next == std::string_view::npos ? rest.size() : next);
        if (++frames > kMaxFiles) {
            error = "the answer holds too many files";
            return false;
        }
        if (header.size() < 3 || header[1] != ' ') {
            error = "the answer holds a frame of no known kind";
            return false;
        }
        const std::string_view name = header.substr(2);
        switch (header[0]) {
            case 'F':
                // A file of a known folder whose name is not plain is left
                // out, as is anything else not asked for.
                if (!AllowedPath(name)) break;
                if (content.size() > kMaxFileBytes) {
                    error = "the answer holds a file larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB";
                    return false;
                }
                out.files[std::string(name)] = content;
                break;
            case 'D':
                if (AllowedFolder(name)) out.folders.emplace_back(name);
                break;
            case 'L':
                if (name == "fd") ParseDescriptors(content, out);
                else if (name == "exe") ParseExecutables(content, out);
                else if (name == "stat") ParseStats(content, out);
                else {
                    error = "the answer holds a listing that was not asked for";
                    return false;
                }
                break;
            default: error = "the answer holds a frame of no known kind"; return false;
        }
    }
    ByPid(out.executables);
    ByPid(out.stats);
    std::sort(out.descriptors.begin(), out.descriptors.end(), [](const Descriptor& a, const Descriptor& b) {
        return std::tie(a.pid, a.fd, a.inode) < std::tie(b.pid, b.fd, b.inode);
    });
    out.descriptors.erase(std::unique(out.descriptors.begin(), out.descriptors.end()), out.descriptors.end());
    return true;
}

CaptureSize SizeOfMachineRoot(const Capture& capture) {
    CaptureSize size;
    size.inodes = FoldersOf(capture).size() + 3;
    for (const auto& [path, content] : capture.files) {
        if (!AllowedPath(path)) continue;
        ++size.inodes;
        size.bytes += InPages(content.size());
    }
    Counter stats, executables, descriptors;
    PutStats(capture, stats);
    PutExecutables(capture, executables);
    PutDescriptors(capture, descriptors);
    size.bytes += InPages(stats.bytes) + InPages(executables.bytes) + InPages(descriptors.bytes);
    return size;
}

bool WriteMachineRoot(const Capture& capture, const std::string& dir, std::string& error) {
    for (const auto& [path, content] : capture.files) {
        // Checked when parsed; checked again, since a capture may be made
        // by other code.
        if (!AllowedPath(path)) {
            error = "a file that was not asked for: " + path;
            return false;
        }
    }
    const CaptureSize size = SizeOfMachineRoot(capture);
    if (size.inodes > kMaxCaptureInodes) {
        error = "the answer holds more files than a capture may write (" + std::to_string(size.inodes) + ", at most " +
                std::to_string(kMaxCaptureInodes) + ")";
        return false;
    }
    if (size.bytes > kMaxCaptureBytes) {
        error = "the answer takes more than the " + std::to_string(kMaxCaptureBytes >> 20) + " MiB a capture may write";
        return false;
    }
    // Every name below `dir` has been checked: plain names in known places.
    for (const std::string& folder : FoldersOf(capture)) {
        const std::string path = dir + "/" + folder;
        struct stat info {};
        if (::mkdir(path.c_str(), 0700) != 0 &&
            !(errno == EEXIST && ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
            error = "cannot make " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    for (const auto& [path, content] : capture.files) {
        FileWriter file(dir + "/" + path);
        file(content);
        if (!file.Finish(error)) return false;
    }
    const std::string proc = dir + "/proc/";
    FileWriter stats(proc + kStatTable);
    PutStats(capture, stats);
    if (!stats.Finish(error)) return false;
    FileWriter executables(proc + kExecutableTable);
    PutExecutables(capture, executables);
    if (!executables.Finish(error)) return false;
    FileWriter descriptors(proc + kDescriptorTable);
    PutDescriptors(capture, descriptors);
    return descriptors.Finish(error);
}

MachineRoot::MachineRoot(const std::string& parent) {
    std::string pattern = parent + "/tessaline-remote-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) m_dir = pattern;
}

MachineRoot::~MachineRoot() {
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
}

bool MachineRoot::Switch(const std::string& name, std::string& error) {
    const std::string next = m_dir + "/next";
    ::unlink(next.c_str());
    if (::symlink(name.c_str(), next.c_str()) != 0 || ::rename(next.c_str(), Current().c_str()) != 0) {
        error = std::string("cannot switch the machine root: ") + std::strerror(errno);
        ::unlink(next.c_str());
        return false;
    }
    // The capture before this one stays for readers still in it; the one
    // before that goes.
    if (!m_previous.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir + "/" + m_previous, ignored);
    }
    m_previous = std::move(m_current);
    m_current = name;
    return true;
}

bool MachineRoot::Install(const Capture& capture, std::string& error) {
    if (m_dir.empty()) {
        error = "no folder for the machine root";
        return false;
    }
    std::string name = "c";
    name += std::to_string(++m_generation);
    const std::string dir = m_dir + "/" + name;
    if (::mkdir(dir.c_str(), 0700) != 0) {
        error = "cannot make " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (WriteMachineRoot(capture, dir, error) && Switch(name, error)) return true;
    // Half a capture is never read and never kept: in a full folder it
    // would keep it full.
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return false;
}

bool MachineRoot::InstallEmpty(std::string& error) { return Install(Capture{}, error); }

}  // namespace remote
