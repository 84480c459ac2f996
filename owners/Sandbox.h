// What the owner helper gives up before it reads its first request.
//
// - Capabilities: only CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH stay, and only
//   as permitted; every read that needs one raises it and drops it again.
//   Started by root, the helper also takes every other capability out of its
//   bounding set.
// - No new privileges, not dumpable (no other process of the user may
//   attach to it), no descriptor but its standard three.
// - A seccomp allow-list: reads, opens of directories for reading (no file
//   can be opened, so no file's contents read: the helper reads links and
//   listings only), a sock_diag netlink socket and its dump, the memory and
//   thread calls the C library makes, writes to standard output and error,
//   the capability calls and exit.  Anything else ends the process.
#pragma once

#include <string>

namespace owners {

// Empty on success, else what could not be given up.
std::string KeepOnlyOwnerCapabilities();
std::string LockDown();

}  // namespace owners
