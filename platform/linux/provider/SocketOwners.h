// Finds the process that holds each socket, by its inode, among the open
// descriptors under PROC/PID/fd.  One index serves every socket table of a
// refresh (TCP and UDP, IPv4 and IPv6), so that a socket's owner is looked
// for once, whichever table lists it.
//
// - The index remembers where it last found each socket (pid and
//   descriptor) and checks that place first, with one readlinkat: on a kept
//   handle of that process's fd directory, or, for a process it keeps no
//   handle of, on PID/fd/FD under the proc root.  A link that still names
//   the socket proves that the process holds it now.
// - Sockets it cannot place are looked for first among the processes known
//   to hold sockets, then by one walk over every process.  The walk records
//   every socket it meets, not only those it was asked for, so that the
//   tables taken after it find their sockets' owners remembered and only
//   check them.
// - One full walk at most per round: a round ends when a table is asked for
//   again.  A socket of a later table that is still unplaced after a walk of
//   the round (so it opened since, or no process shows it) is answered
//   without an owner and looked for again in the next round; only a walk
//   that ran while a socket was open and did not meet it marks the socket
//   as ownerless, which is then remembered until the socket closes, so that
//   it does not cost a walk at every refresh.
// - What a table remembers is kept apart by table: the sockets that table
//   no longer lists are forgotten without touching any other table's.  What
//   a walk met and no table has claimed is dropped after the next round.
// - Rows without an inode (TIME_WAIT) are never looked up.
// - A deadline, when set, bounds the scans and the walk: a Resolve that
//   reaches it stops where it is, answers with what it found, leaves the
//   sockets it did not place to be looked for in the next round (never
//   marks them ownerless) and says it is incomplete.
// - Threads: a walk or many checks are shared with one more thread when
//   this process may run on more than one processor (sched_getaffinity, not
//   a file: the owner helper may open no file).
// - Under a proc root written from another machine's capture, the owners
//   come from its descriptor table (ProcRootEnv.h), read once a capture.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "SocketTables.h"

namespace provider {

// The tables an index serves and the owner helper's table ids.
enum OwnerTable : unsigned { kTcpTable = 0, kUdpTable = 1, kTcp6Table = 2, kUdp6Table = 3 };

class SocketOwnerIndex {
public:
    // Table ids are below this.
    static constexpr unsigned kMaxTables = 8;

    SocketOwnerIndex() = default;
    ~SocketOwnerIndex();
    SocketOwnerIndex(const SocketOwnerIndex&) = delete;
    SocketOwnerIndex& operator=(const SocketOwnerIndex&) = delete;

    // Sets `pid` of every row of table `table`: its owner among the
    // processes under the proc root `root`, or 0.  `live` lists the inodes
    // of every open socket of that table, so that what is remembered about
    // its closed sockets can be forgotten.  A table id of kMaxTables or more
    // gives every row pid 0.
    void Resolve(const std::string& root, unsigned table, std::vector<SocketRow>& rows,
                 const std::unordered_set<std::uint64_t>& live);
    void Resolve(const std::string& root, unsigned table, std::vector<Socket6Row>& rows,
                 const std::unordered_set<std::uint64_t>& live);

    using Clock = std::chrono::steady_clock;

    // When the scans and walks of every Resolve from now on give up
    // (Clock::time_point::max(), the default: never).
    void SetDeadline(Clock::time_point deadline) { m_deadline = deadline; }

    // Whether the latest Resolve looked everywhere it meant to: false when
    // it stopped at the deadline, or left sockets unplaced after a walk of
    // its round had stopped there.
    bool LastComplete() const { return m_lastComplete; }

    // Where the owner of `inode` was last found (its pid and descriptor);
    // false when no owner is known.
    bool PlaceOf(std::uint64_t inode, pid_t& pid, int& fd) const;

    struct Stats {
        unsigned long fullWalks = 0;
        unsigned long verified = 0;  // remembered owners confirmed
        unsigned long keptDirectories = 0;
    };
    const Stats& GetStats() const { return m_stats; }

    // Under another proc root, everything remembered is dropped.
    void Reset();

private:
    // Owned: found at `owner`.  Ownerless: a walk that ran while the socket
    // was open did not meet it.  Unplaced: the round's walk was over before
    // the socket was asked for; the next round looks for it.
    enum class Kind : std::uint8_t { Owned, Ownerless, Unplaced };

    struct Owner {
        pid_t pid;
        int fd;
    };

    struct Entry {
        Owner owner{0, -1};
        Kind kind = Kind::Owned;
        std::uint8_t tables = 0;  // tables whose latest rows list the socket
        std::uint32_t round = 0;  // when a walk or scan last met it
    };

    struct Check {
        std::uint64_t inode;
        Owner owner;
        bool confirmed;
    };

    template <class Row>
    bool ResolveFromCapture(std::vector<Row>& rows);
    template <class Row>
    void ResolveRows(const std::string& root, unsigned table, std::vector<Row>& rows,
                     const std::unordered_set<std::uint64_t>& live);
    void StartRound(unsigned table);
    void VerifyChecks();
    int DirectoryOf(pid_t pid) const;
    bool Verify(const Owner& owner, std::uint64_t inode) const;
    void KeepDirectory(pid_t pid);
    bool ScanProcess(pid_t pid, int dirFd, std::unordered_set<std::uint64_t>& pending, std::uint8_t bit, bool& stopped);
    bool StillThere(pid_t pid, int dirFd) const;
    std::vector<pid_t> ListProcesses(const std::unordered_set<pid_t>& skip) const;
    void Claim(std::uint64_t inode, const Owner& owner, std::uint8_t bit);
    void Record(std::uint64_t inode, const Owner& owner);

    // Sockets to place or check from which the work is shared between two
    // threads.
    static constexpr std::size_t kParallelWalkMinimum = 1000;
    // False when the walk stopped at the deadline.
    bool Walk(std::unordered_set<std::uint64_t>& pending, std::unordered_set<std::uint64_t>& unplaced,
              const std::unordered_set<pid_t>& skip, std::uint8_t bit);
    void Forget(unsigned table, const std::unordered_set<std::uint64_t>& live);
    void CloseDirectories();

    std::string m_root;
    int m_procFd = -1;  // the proc root, open during a Resolve
    std::unordered_map<std::uint64_t, Entry> m_sockets;
    std::unordered_map<pid_t, int> m_directories;  // kept PROC/PID/fd handles
    std::vector<Check> m_checks;                   // scratch of Resolve
    std::uint32_t m_round = 1;
    unsigned m_roundTables = 0;  // tables asked for in this round
    bool m_walkedInRound = false;
    bool m_walkStoppedInRound = false;  // that walk stopped at the deadline
    Clock::time_point m_deadline = Clock::time_point::max();
    bool m_lastComplete = true;
    Stats m_stats;

    // A capture's owners by inode (the lowest pid of those that hold it),
    // and the identity of the capture's proc folder they were read from.
    std::vector<std::pair<std::uint64_t, pid_t>> m_captured;
    bool m_capturedRead = false;
    bool m_capturedIsCapture = false;  // the folder held a descriptor table
    dev_t m_capturedDevice = 0;
    ino_t m_capturedInode = 0;
    timespec m_capturedChanged{};
};

// A capture's descriptor table: "PID FD INODE" lines, each with a pid and
// an inode other than 0; other lines are left out.
struct CapturedDescriptor {
    std::uint32_t pid = 0;
    std::uint32_t fd = 0;
    std::uint64_t inode = 0;
};
std::vector<CapturedDescriptor> ParseDescriptorTable(std::string_view table);

// "socket:[12345]" -> 12345; 0 for any other link text.
std::uint64_t SocketInodeOfLink(std::string_view link);

// How many processors this process may run on (at least 1).
unsigned UsableProcessors();

}  // namespace provider
