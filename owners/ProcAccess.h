// Which processes the owner helper may tell its caller about: those the
// caller could see in the helper's /proc itself.  The mount's hidepid=
// option hides other users' processes (noaccess, invisible, ptraceable:
// all of them, for a caller without privilege of its own), and its gid=
// option exempts one group.  The helper's capabilities pass that check for
// every process, so the helper makes it itself.
//
// - The caller is the process that started the helper: the helper's real
//   user and groups are the caller's (file capabilities change no id).
// - A caller whose capabilities the helper holds (root: the helper was not
//   started in secure mode, yet may read every process) sees every process,
//   as it would in /proc itself.
// - The mount's options are read once, before the helper locks itself
//   down, from the line of /proc/self/mountinfo whose device is that of the
//   helper's proc root.  Without such a line (or with a hidepid= value it
//   does not know) the helper answers only for the caller's own processes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace owners {

struct ProcMount {
    unsigned hidePid = 0;  // 0 off, 1 noaccess, 2 invisible, 4 ptraceable
    bool hasGid = false;
    gid_t gid = 0;
};

struct Caller {
    uid_t uid = 0;
    std::vector<gid_t> groups;  // the primary group and the supplementary ones
    bool seesEveryProcess = false;
};

// What the helper's answers are limited to; the default limits nothing.
struct ProcAccess {
    ProcMount mount;
    Caller caller;
};

// The options of the proc mount of device `major:minor` in mountinfo
// text: the last line of that device whose file system is proc.  Nothing
// when there is none.
std::optional<ProcMount> ProcMountOf(std::string_view mountinfo, unsigned major, unsigned minor);

// Whether `caller` may see a process whose /proc directory belongs to
// `processUid` in a proc mounted with `mount`.
bool MaySee(const ProcMount& mount, const Caller& caller, uid_t processUid);

// For the helper, before it locks itself down: the mount of `procRoot`
// (hiding every other user's process when it cannot be read), and the
// caller, from this process's ids and capabilities.
ProcAccess ReadProcAccess(const std::string& procRoot);

}  // namespace owners
