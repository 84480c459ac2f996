// tessaline-owners: the only part of Tessaline that may carry capabilities.
//
// It answers its parent's requests for the owners of socket inodes (process
// ids and executable names) on its standard input and output, for the TCP
// and UDP sockets of its network namespace (its parent's) and the processes
// its parent may see in /proc, and ends when its input closes, its parent
// goes, or a request breaks the protocol.  It reads no environment
// variable, loads nothing at run time, and gives up what it does not need
// before it reads its first request.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "OwnerService.h"
#include "ProcAccess.h"
#include "Sandbox.h"
#include "SocketTable.h"

int main() {
    // A parent that has gone shows as a failed write, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
    const pid_t parent = ::getppid();
    std::string failure = owners::KeepOnlyOwnerCapabilities();
    // What the caller may see of /proc, from the mount table: the last file
    // the helper reads before its allow-list forbids opening files.
    const owners::ProcAccess access = owners::ReadProcAccess("/proc");
    if (failure.empty()) failure = owners::LockDown();
    if (!failure.empty()) {
        std::fprintf(stderr, "tessaline-owners: cannot start safely: %s\n", failure.c_str());
        return 1;
    }
    owners::OwnerService service("/proc", owners::ReadTableSockets, access);
    switch (owners::Serve(0, 1, service, parent)) {
        case owners::ServeEnd::Closed:
        case owners::ServeEnd::Orphaned: return 0;
        case owners::ServeEnd::Malformed: std::fputs("tessaline-owners: malformed request\n", stderr); return 2;
        case owners::ServeEnd::Failed: break;
    }
    return 1;
}
