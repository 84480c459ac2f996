// The owner helper's work: answers each request for the owners of socket
// inodes with their process ids and executable names, and nothing else.
//
// - Only sockets of the request's table in the helper's network namespace
//   (its caller's) are answered for: the table is taken afresh for each
//   request (SocketTable.h), and any other inode a request names (a Unix
//   socket, a socket of another namespace, a file) gets no owner.
// - Only processes the caller could see in /proc itself are named
//   (ProcAccess.h: the mount's hidepid= and gid=).
// - One owner index for every table: a walk over the processes made for
//   one table's request serves the requests for the other tables that
//   follow it, and what is remembered of one table's sockets survives the
//   requests for another's.
// - Each answer has a time budget: the search stops when it is spent, and
//   the reply names the owners found and says it is incomplete.
// - Executable names are read only for the processes found to own a socket
//   of the request: whoever talks to the helper learns nothing of any other
//   process.
// - Before a process is named, and again before its executable and
//   namespaces are read for a Paths request, its /proc directory is opened
//   and, through that handle, one of its descriptors must still name a
//   socket it was found to hold: a process that took over a recycled pid
//   holds none of them, and the handle keeps naming the process checked
//   (its links fail once that process is gone).
// - CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE are raised for the descriptor
//   walk and the checks and reads above, each for that work only.
// - The proc root is fixed when the service is made ("/proc" in the helper);
//   no request can name a path.
// - A Paths request is answered only for the processes that owned a socket
//   in the latest answer for some table: their full executable paths and
//   namespaces.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "OwnerProtocol.h"
#include "ProcAccess.h"
#include "SocketOwners.h"

namespace owners {

// Fills `inodes` (sorted) with the sockets of table `table` in the caller's
// network namespace; false when the table cannot be read by `deadline`.
// ReadTableSockets in the helper, a fixture in tests.
using SocketInventory = std::function<bool(unsigned table, std::chrono::steady_clock::time_point deadline,
                                           std::vector<std::uint64_t>& inodes)>;

// The time an answer may take, well inside the program's limit on waiting
// for it (10 s).
inline constexpr std::chrono::milliseconds kAnswerBudget{5000};

class OwnerService {
public:
    OwnerService(std::string procRoot, SocketInventory inventory, ProcAccess access = {},
                 std::chrono::milliseconds budget = kAnswerBudget);

    OwnersReply Answer(const OwnersRequest& request);
    PathsReply AnswerPaths(const PathsRequest& request) const;
    Stats GetStats() const;

private:
    // A socket a process was found to hold: its descriptor and inode.
    struct Place {
        int fd;
        std::uint64_t inode;
    };
    enum class Check { Holds, Hidden, Gone };

    // Opens `pid`'s directory under the proc root `procFd` into `dirFd` when
    // the caller may see the process and its descriptor `place.fd` still
    // names the socket `place.inode`.
    Check OpenChecked(int procFd, std::uint32_t pid, const Place& place, int& dirFd) const;

    std::string m_root;
    SocketInventory m_inventory;
    ProcAccess m_access;
    std::chrono::milliseconds m_budget;
    provider::SocketOwnerIndex m_index;
    std::vector<provider::SocketRow> m_rows;
    std::vector<std::uint64_t> m_tableSockets;
    // The owners named in the latest answer for each table, each with a
    // socket it held.
    std::unordered_map<std::uint32_t, Place> m_owners[kTables];
};

// Whether this process may read every process's descriptors and executable:
// both capabilities are in its permitted set.
bool MayReadEveryProcess();

// How a served connection ended.
enum class ServeEnd { Closed, Malformed, Failed, Orphaned };

// Answers requests read from `in` on `out` until `in` closes at a frame's
// boundary, a frame breaks the protocol, reading or writing fails, or the
// process that started the helper is gone (its parent is no longer
// `parent`; 0 checks nothing).  Says hello first.  A frame is read only up
// to the length its header allows.  The hello offers Stats, and a Stats
// request is answered.
ServeEnd Serve(int in, int out, OwnerService& service, pid_t parent);

}  // namespace owners
