// What the socket panes show of a socket's owner beyond its label: its
// executable path, command line, user, systemd unit, container and start.
// On Linux (platform/linux/ProcessDetails.cpp) they come from the process's
// files under the proc root; its executable and namespaces, which only a
// process allowed to trace it may read, from the owner helper when it
// serves (and only for the owners of the sockets of its latest answers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "win32.h"

struct ProcessDetails {
    DWORD pid = 0;            // 0: no such process
    std::string path;         // the executable's full path; empty when it may not be read
    std::string commandLine;  // the arguments joined by blanks, cut at 512 characters
    bool hasUid = false;
    DWORD uid = 0;            // the real user id
    std::string user;         // its name; empty when it has none
    std::string service;      // the systemd unit the process runs in; empty for none
    std::string container;    // the container a runtime names, or the control group of a
                              // process in another PID namespace; empty for none
    std::string cgroupPath;   // the process's control group
    std::int64_t startTimeMs = -1;   // since the epoch; -1 unknown
    std::uint64_t netNamespace = 0;  // the inode of its network namespace; 0 unknown
    std::uint64_t pidNamespace = 0;  // and of its PID namespace
};

// The details of each of `pids` (out[i] for pids[i]; pid 0 there for a
// process that is not there), in one round trip to the owner helper for
// all the processes this process may not look into itself.
void GetProcessDetails(const std::vector<DWORD>& pids, std::vector<ProcessDetails>& out);
bool GetProcessDetails(DWORD pid, ProcessDetails& out);

// Why some owners of the latest socket table of `table` (0 TCP, 1 UDP, 2
// TCP over IPv6, 3 UDP over IPv6) may be missing, as a clause for a
// message ("the owner helper stopped its search at its time limit ...");
// empty when none is known to be missing.
std::string OwnersIncompleteReason(unsigned table);

// The inodes of this process's own network and PID namespaces (0 unknown).
std::uint64_t OwnNetworkNamespace();
std::uint64_t OwnPidNamespace();
