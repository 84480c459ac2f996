// The program's side of the owner helper: the helper process is started on
// first use and asked for the owners of a whole socket table in one round
// trip; the executable names that come with the answer serve the process
// lookups that follow it.
//
// - The helper is `tessaline-owners` beside the executable, or in
//   ../libexec/tessaline once installed; TESSALINE_OWNERS_HELPER names
//   another (the program holds no capability, so it may follow the user's
//   environment).  It starts with an empty environment.
// - A helper that cannot be found, fails to start, dies, answers garbage or
//   takes longer than a few seconds is ended by its pid; the caller then
//   finds owners itself, as far as the user may see them.  It is tried
//   again after a pause that doubles with each failure in a row (half a
//   second at first, a minute at most), never given up for good.
// - Names are kept per table from its latest answer only.
// - Whether owners of a table may be missing is kept per table from its
//   latest query: the helper said its answer is incomplete, or a helper
//   that could read every process had served and now did not answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OwnerProtocol.h"

namespace owners {

// Sets one pid per inode (0: no owner found); false when no helper answered,
// or the helper could not read the socket table.
// `table` (below kTables) names the socket table: 0 TCP, 1 UDP, 2 TCP over
// IPv6, 3 UDP over IPv6.
bool QueryOwners(unsigned table, const std::vector<std::uint64_t>& inodes, std::vector<std::uint32_t>& pids);

// The executable name of `pid` from the latest answers; false when they
// name none.
bool CachedOwnerName(std::uint32_t pid, std::string& name);

// Whether a helper serves that may read every process, starting it when
// none has been tried yet.
bool HelperMayReadEveryProcess();

// The full executable paths and namespaces of `pids`, as far as the helper
// tells them (only for owners of the sockets of its latest answers); false
// when no helper that tells them runs.  Never starts a helper.
bool QueryOwnerPaths(const std::vector<std::uint32_t>& pids, std::vector<OwnerPath>& paths);

// The helper's pid, or -1 while none runs (tests end it on purpose).
int HelperPid();

// Why owners of `table` may be missing from its latest query.
enum class OwnerGap {
    None,
    SearchCutShort,   // the helper stopped its search at its time limit
    TableUnreadable,  // the helper could not read the socket table
    HelperFailed,     // a helper that could read every process did not answer
};
OwnerGap OwnersGap(unsigned table);

// How many full walks over every process the running helper has made;
// false when none runs or it does not tell.
bool HelperFullWalks(std::uint64_t& walks);

}  // namespace owners
