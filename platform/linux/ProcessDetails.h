// The parsers behind a process's details: pure functions over the text of
// its /proc files, each safe on any bytes (truncated, garbled, hostile).
// (platform/linux/ProcessFiles.cpp, in the library the owner helper shares.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace procinfo {

// The start time in clock ticks since boot: field 22 of PROC/PID/stat,
// counted after the last ')' (the command name may hold blanks and
// parentheses).
std::optional<std::uint64_t> StartTicksOfStat(std::string_view stat);

// The real user id: the first number of the "Uid:" line of PROC/PID/status.
std::optional<std::uint32_t> RealUidOfStatus(std::string_view status);

// The arguments of PROC/PID/cmdline (NUL-separated) joined by one blank,
// cut at `maxCharacters` characters (a UTF-8 sequence is never cut; a byte
// that is not valid UTF-8 counts as one character).
std::string CommandLineOf(std::string_view bytes, std::size_t maxCharacters = 512);

// The boot time in seconds since the epoch: the "btime" line of PROC/stat.
std::optional<std::int64_t> BootTimeOfStat(std::string_view stat);

// Where a process sits among the control groups: from PROC/PID/cgroup, the
// unified hierarchy's path ("0::/...") or else the systemd hierarchy's.
struct CgroupPlace {
    std::string path;       // "/system.slice/nginx.service"; empty when none
    std::string service;    // the deepest systemd service or scope that is no container's
    std::string container;  // "docker 0123456789ab", "podman ...", "lxc web", ...; empty when none
};
CgroupPlace PlaceOfCgroup(std::string_view cgroup);

// "net:[4026531840]" -> 4026531840; 0 for anything else.
std::uint64_t NamespaceInodeOfLink(std::string_view link);

// The process tables of another machine's capture (ProcRootEnv.h), a line
// for each process: its pid and its text, in the table's order.
struct ProcessLine {
    std::uint32_t pid = 0;
    std::string_view text;
};

// The stat table: the kernel's stat lines.  Each line that starts with a
// pid other than 0 and " (" gives its pid and the whole line (what
// StartTicksOfStat takes); other lines are left out.
std::vector<ProcessLine> ParseStatTable(std::string_view table);

// The executables: "PID PATH" lines.  Each line with a pid other than 0, a
// blank and an absolute path of at most 4096 bytes gives its pid and path;
// other lines are left out.
std::vector<ProcessLine> ParseExecutableTable(std::string_view table);

}  // namespace procinfo
