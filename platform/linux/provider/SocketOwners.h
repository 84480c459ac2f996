// Finds the process that holds each socket, by its inode, among the open
// descriptors under PROC/PID/fd.
//
// The index remembers where it last found each socket (pid and descriptor)
// and checks that place first, with one readlinkat on a kept handle of that
// process's fd directory: a process that has exited fails the check, so a
// reused pid can never match.  Sockets it cannot place are looked for first
// among the processes known to hold sockets, then by one walk over every
// process, which stops once nothing is left to find.  Sockets that a walk
// did not find are remembered as ownerless until they close, so they do not
// cost a walk at every snapshot.  Rows without an inode (TIME_WAIT) are never
// looked up.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "SocketTables.h"

namespace provider {

class SocketOwnerIndex {
public:
    SocketOwnerIndex() = default;
    ~SocketOwnerIndex();
    SocketOwnerIndex(const SocketOwnerIndex&) = delete;
    SocketOwnerIndex& operator=(const SocketOwnerIndex&) = delete;

    // Sets `pid` of every row: its owner among the processes under the proc
    // root `root`, or 0.  `live` lists the inodes of every open socket of
    // the table the index serves, so that what is remembered about closed
    // sockets can be forgotten.
    void Resolve(const std::string& root, std::vector<SocketRow>& rows, const std::unordered_set<std::uint64_t>& live);

    struct Stats {
        unsigned long fullWalks = 0;
        unsigned long verified = 0;  // remembered owners confirmed
        unsigned long keptDirectories = 0;
    };
    const Stats& GetStats() const { return m_stats; }

    // Under another proc root, everything remembered is dropped.
    void Reset();

private:
    struct Owner {
        pid_t pid;
        int fd;
    };

    struct Check {
        std::uint64_t inode;
        Owner owner;
        bool confirmed;
    };

    int DirectoryOf(pid_t pid) const;
    bool Verify(const Owner& owner, std::uint64_t inode) const;
    bool ScanProcess(pid_t pid, int dirFd, std::unordered_set<std::uint64_t>& pending);
    bool StillThere(pid_t pid, int dirFd) const;
    std::vector<pid_t> ListProcesses(const std::unordered_set<pid_t>& skip) const;

    // Sockets to place from which a walk is shared between two threads.
    static constexpr std::size_t kParallelWalkMinimum = 1000;
    void Walk(std::unordered_set<std::uint64_t>& pending, const std::unordered_set<pid_t>& skip);
    void Forget(const std::unordered_set<std::uint64_t>& live);
    void CloseDirectories();

    std::string m_root;
    std::unordered_map<std::uint64_t, Owner> m_owners;
    std::unordered_set<std::uint64_t> m_ownerless;
    std::unordered_map<pid_t, int> m_directories;  // kept PROC/PID/fd handles
    std::vector<Check> m_checks;                   // scratch of Resolve
    Stats m_stats;
};

// "socket:[12345]" -> 12345; 0 for any other link text.
std::uint64_t SocketInodeOfLink(std::string_view link);

}  // namespace provider
