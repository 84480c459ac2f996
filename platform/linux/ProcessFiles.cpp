// The parsers of a process's /proc files, shared by the program's reader
// of process details and the owner helper.
#include "ProcessDetails.h"

#include <algorithm>
#include <charconv>

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

std::vector<ProcessLine> ParseStatTable(std::string_view table) {
    std::vector<ProcessLine> lines;
    ForEachLine(table, [&lines](std::string_view line) {
        const std::size_t open = line.find(" (");
        if (open == std::string_view::npos) return;
        const std::optional<std::uint32_t> pid = Number<std::uint32_t>(line.substr(0, open));
        if (pid && *pid != 0) lines.push_back(ProcessLine{*pid, line});
    });
    return lines;
}

std::vector<ProcessLine> ParseExecutableTable(std::string_view table) {
    std::vector<ProcessLine> lines;
    ForEachLine(table, [&lines](std::string_view line) {
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos) return;
        const std::optional<std::uint32_t> pid = Number<std::uint32_t>(line.substr(0, blank));
        const std::string_view path = line.substr(blank + 1);
        if (pid && *pid != 0 && StartsWith(path, "/") && path.size() <= 4096) lines.push_back(ProcessLine{*pid, path});
    });
    return lines;
}

std::uint64_t NamespaceInodeOfLink(std::string_view link) {
    const std::size_t open = link.find(":[");
    if (open == std::string_view::npos || link.back() != ']') return 0;
    return Number<std::uint64_t>(link.substr(open + 2, link.size() - open - 3)).value_or(0);
}

}  // namespace procinfo
