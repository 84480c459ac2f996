// The owner helper's work: answers each request for the owners of socket
// inodes with their process ids and executable names, and nothing else.
//
// - One owner index for every table: a walk over the processes made for
//   one table's request serves the requests for the other tables that
//   follow it, and what is remembered of one table's sockets survives the
//   requests for another's.
// - Executable names are read only for the processes found to own a socket
//   of the request: whoever talks to the helper learns nothing of any other
//   process.
// - CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE are raised for the descriptor
//   walk and CAP_SYS_PTRACE for the name reads, each for that read only.
// - The proc root is fixed when the service is made ("/proc" in the helper);
//   no request can name a path.
// - A Paths request is answered only for the processes that owned a socket
//   in the latest answer for some table: their full executable paths and
//   namespaces, read with CAP_SYS_PTRACE raised.
#pragma once

#include <sys/types.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "OwnerProtocol.h"
#include "SocketOwners.h"

namespace owners {

class OwnerService {
public:
    explicit OwnerService(std::string procRoot);

    OwnersReply Answer(const OwnersRequest& request);
    PathsReply AnswerPaths(const PathsRequest& request) const;
    Stats GetStats() const;

private:
    std::string ExecutableName(pid_t pid) const;
    std::string ReadLink(pid_t pid, const char* name) const;

    std::string m_root;
    provider::SocketOwnerIndex m_index;
    std::vector<provider::SocketRow> m_rows;
    // The owners named in the latest answer for each table.
    std::unordered_set<std::uint32_t> m_owners[kTables];
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
