#include "SocketOwners.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "Capabilities.h"
#include "ProcRootEnv.h"

namespace provider {

namespace {

// Descriptors kept open on fd directories, at most: well below the usual
// soft limit of 1024, so that the program never runs out of descriptors.
std::size_t MaxKeptDirectories() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
    const rlim_t quarter = limit.rlim_cur == RLIM_INFINITY ? 1024 : limit.rlim_cur / 4;
    return static_cast<std::size_t>(std::min<rlim_t>(quarter, 1024));
}

bool ParsePid(const char* name, pid_t& pid) {
    const std::size_t n = std::strlen(name);
    auto [p, ec] = std::from_chars(name, name + n, pid);
    return ec == std::errc() && p == name + n && pid > 0;
}

bool ParseFd(const char* name, int& fd) {
    const std::size_t n = std::strlen(name);
    auto [p, ec] = std::from_chars(name, name + n, fd);
    return ec == std::errc() && p == name + n && fd >= 0;
}

std::uint64_t InodeOfDescriptor(int dirFd, const char* name) {
    char link[64];
    const ssize_t n = ::readlinkat(dirFd, name, link, sizeof link);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link) return 0;
    return SocketInodeOfLink(std::string_view(link, static_cast<std::size_t>(n)));
}

// A socket descriptor a walk met.
struct Found {
    std::uint64_t inode;
    pid_t pid;
    int fd;
};

// What one thread of a walk gathered: every socket descriptor of the
// processes it read, and the fd-directory handles of those that hold a
// socket asked for.
struct WalkShare {
    std::vector<Found> found;
    std::vector<std::pair<pid_t, int>> directories;
};

using Clock = SocketOwnerIndex::Clock;

// Descriptors read between two looks at the clock.
constexpr unsigned kEntriesPerClockCheck = 256;

// Whether `deadline` has passed, looking at the clock once every
// kEntriesPerClockCheck calls (counted in `entries`).
bool PastDeadline(Clock::time_point deadline, unsigned& entries) {
    if (deadline == Clock::time_point::max() || ++entries % kEntriesPerClockCheck != 0) return false;
    return Clock::now() >= deadline;
}

// Reads every descriptor of one process, until `stop` is set or the
// deadline passes (then it sets `stop`).  True when one of them is a socket
// for which `wanted` is true.
template <class Wanted>
bool ReadSockets(pid_t pid, int dirFd, std::vector<Found>& found, const Wanted& wanted, Clock::time_point deadline,
                 std::atomic<bool>& stop) {
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return false;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return false;
    }
    bool holds = false;
    unsigned entries = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (PastDeadline(deadline, entries)) stop = true;
        if (stop) break;
        int fd = -1;
        if (!ParseFd(entry->d_name, fd)) continue;
        const std::uint64_t inode = InodeOfDescriptor(dirFd, entry->d_name);
        if (inode == 0) continue;
        found.push_back(Found{inode, pid, fd});
        if (wanted(inode)) holds = true;
    }
    ::closedir(dir);
    return holds;
}

// A walk of this many processes or more is shared between two threads.
constexpr std::size_t kParallelWalkProcesses = 64;

template <class Int>
bool ParseNumber(std::string_view text, Int& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::vector<CapturedDescriptor> ParseDescriptorTable(std::string_view table) {
    std::vector<CapturedDescriptor> out;
    while (!table.empty()) {
        const std::size_t end = std::min(table.find('\n'), table.size());
        const std::string_view line = table.substr(0, end);
        table.remove_prefix(std::min(end + 1, table.size()));
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        if (second == std::string_view::npos) continue;
        CapturedDescriptor d;
        if (ParseNumber(line.substr(0, first), d.pid) &&
            ParseNumber(line.substr(first + 1, second - first - 1), d.fd) &&
            ParseNumber(line.substr(second + 1), d.inode) && d.pid != 0 && d.inode != 0)
            out.push_back(d);
    }
    return out;
}

std::uint64_t SocketInodeOfLink(std::string_view link) {
    constexpr std::string_view kPrefix = "socket:[";
    if (link.size() <= kPrefix.size() + 1 || link.substr(0, kPrefix.size()) != kPrefix || link.back() != ']') return 0;
    const std::string_view digits = link.substr(kPrefix.size(), link.size() - kPrefix.size() - 1);
    std::uint64_t inode = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
    return ec == std::errc() && p == digits.data() + digits.size() ? inode : 0;
}

unsigned UsableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

SocketOwnerIndex::~SocketOwnerIndex() { CloseDirectories(); }

bool SocketOwnerIndex::PlaceOf(std::uint64_t inode, pid_t& pid, int& fd) const {
    const auto it = m_sockets.find(inode);
    if (it == m_sockets.end() || it->second.kind != Kind::Owned || it->second.owner.pid <= 0) return false;
    pid = it->second.owner.pid;
    fd = it->second.owner.fd;
    return true;
}

void SocketOwnerIndex::CloseDirectories() {
    for (const auto& [pid, fd] : m_directories) ::close(fd);
    m_directories.clear();
    m_stats.keptDirectories = 0;
}

void SocketOwnerIndex::Reset() {
    CloseDirectories();
    m_captured.clear();
    m_capturedRead = false;
    m_sockets.clear();
    m_round = 1;
    m_roundTables = 0;
    m_walkedInRound = false;
}

// A table asked for a second time begins a new round: a walk is allowed
// again, and what an earlier walk met that no table has claimed since the
// round before is dropped.
void SocketOwnerIndex::StartRound(unsigned table) {
    const unsigned bit = 1u << table;
    if ((m_roundTables & bit) == 0) {
        m_roundTables |= bit;
        return;
    }
    ++m_round;
    m_roundTables = bit;
    m_walkedInRound = false;
    m_walkStoppedInRound = false;
    for (auto it = m_sockets.begin(); it != m_sockets.end();)
        it = it->second.tables == 0 && it->second.round + 1 < m_round ? m_sockets.erase(it) : std::next(it);
}

int SocketOwnerIndex::DirectoryOf(pid_t pid) const {
    if (const auto it = m_directories.find(pid); it != m_directories.end()) return it->second;
    return -1;
}

bool SocketOwnerIndex::Verify(const Owner& owner, std::uint64_t inode) const {
    char name[48];
    if (const int dirFd = DirectoryOf(owner.pid); dirFd >= 0) {
        auto [end, ec] = std::to_chars(name, name + sizeof name - 1, owner.fd);
        *end = '\0';
        return InodeOfDescriptor(dirFd, name) == inode;
    }
    // A socket met by a walk for another table, in a process of which no
    // handle is kept: the link under the proc root.  Whatever process has
    // that pid now, if the link names the socket, that process holds it.
    if (m_procFd < 0) return false;
    std::snprintf(name, sizeof name, "%d/fd/%d", owner.pid, owner.fd);
    return InodeOfDescriptor(m_procFd, name) == inode;
}

void SocketOwnerIndex::KeepDirectory(pid_t pid) {
    if (m_procFd < 0 || m_directories.count(pid) != 0 || m_directories.size() >= MaxKeptDirectories()) return;
    char path[32];
    std::snprintf(path, sizeof path, "%d/fd", pid);
    const int dirFd = ::openat(m_procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) m_directories.emplace(pid, dirFd);
}

// A socket of table `bit` found at `owner`.
void SocketOwnerIndex::Claim(std::uint64_t inode, const Owner& owner, std::uint8_t bit) {
    Entry& entry = m_sockets[inode];
    entry.owner = owner;
    entry.kind = Kind::Owned;
    entry.tables |= bit;
    entry.round = m_round;
}

// A socket met that no table of this Resolve asked for.  The first holder
// met in a round is kept; a place found in an earlier round and not claimed
// since is replaced, and a socket remembered as ownerless or unplaced has
// an owner now.
void SocketOwnerIndex::Record(std::uint64_t inode, const Owner& owner) {
    auto [it, inserted] = m_sockets.try_emplace(inode);
    Entry& entry = it->second;
    if (!inserted && entry.kind == Kind::Owned && (entry.tables != 0 || entry.round == m_round)) return;
    entry.owner = owner;
    entry.kind = Kind::Owned;
    entry.round = m_round;
}

// Looks through one process's descriptors for pending sockets, recording
// every socket it meets, until none is pending or the deadline passes (then
// `stopped` is set); the directory handle is kept when the process holds a
// pending one and there is room.  False when the directory cannot be listed
// (the process has exited).
bool SocketOwnerIndex::ScanProcess(pid_t pid, int dirFd, std::unordered_set<std::uint64_t>& pending, std::uint8_t bit,
                                   bool& stopped) {
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return false;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return false;
    }
    bool found = false;
    unsigned entries = 0;
    while (!pending.empty()) {
        if (PastDeadline(m_deadline, entries)) {
            stopped = true;
            break;
        }
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) break;
        int fd = -1;
        if (!ParseFd(entry->d_name, fd)) continue;
        const std::uint64_t inode = InodeOfDescriptor(dirFd, entry->d_name);
        if (inode == 0) continue;
        if (pending.erase(inode) != 0) {
            Claim(inode, Owner{pid, fd}, bit);
            found = true;
        } else {
            Record(inode, Owner{pid, fd});
        }
    }
    ::closedir(dir);
    if (found && m_directories.find(pid) == m_directories.end()) {
        if (m_directories.size() < MaxKeptDirectories()) {
            const int kept = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
            if (kept >= 0) m_directories.emplace(pid, kept);
        }
    }
    return true;
}

// Whether a kept fd-directory handle is still the directory that the proc
// root shows for its pid: after the process exits and its pid is reused,
// the path names another directory.
bool SocketOwnerIndex::StillThere(pid_t pid, int dirFd) const {
    char path[32];
    std::snprintf(path, sizeof path, "/%d/fd", pid);
    struct stat now {
    }, kept{};
    return ::stat((m_root + path).c_str(), &now) == 0 && ::fstat(dirFd, &kept) == 0 && now.st_dev == kept.st_dev &&
           now.st_ino == kept.st_ino;
}

std::vector<pid_t> SocketOwnerIndex::ListProcesses(const std::unordered_set<pid_t>& skip) const {
    std::vector<pid_t> pids;
    DIR* proc = ::opendir(m_root.c_str());
    if (proc == nullptr) return pids;
    while (const dirent* entry = ::readdir(proc)) {
        pid_t pid = 0;
        if (ParsePid(entry->d_name, pid) && skip.count(pid) == 0) pids.push_back(pid);
    }
    ::closedir(proc);
    return pids;
}

// Reads every descriptor of every process but those in `skip` (read whole
// by this Resolve already), until the deadline.  Pending sockets found are
// claimed for the table, unplaced ones of any table get their owner, and
// every other socket met is recorded for the tables that follow.  False
// when it stopped at the deadline.
bool SocketOwnerIndex::Walk(std::unordered_set<std::uint64_t>& pending, std::unordered_set<std::uint64_t>& unplaced,
                            const std::unordered_set<pid_t>& skip, std::uint8_t bit) {
    ++m_stats.fullWalks;
    m_walkedInRound = true;
    if (m_procFd < 0) return true;
    const std::vector<pid_t> pids = ListProcesses(skip);
    // Read only while the threads run.
    auto wanted = [&pending, &unplaced](std::uint64_t inode) {
        return pending.count(inode) != 0 || unplaced.count(inode) != 0;
    };
    // Each thread takes the next process to read, so that two large holders
    // go to different threads.  A new thread starts with the capabilities
    // its creator holds, raised for this lookup.
    std::atomic<std::size_t> next{0};
    // Set by the first thread that sees the deadline pass; both stop.
    std::atomic<bool> stop{false};
    const Clock::time_point deadline = m_deadline;
    auto work = [&](WalkShare& share) {
        for (std::size_t i = next++; i < pids.size() && !stop; i = next++) {
            if (deadline != Clock::time_point::max() && Clock::now() >= deadline) {
                stop = true;
                break;
            }
            char path[32];
            std::snprintf(path, sizeof path, "%d/fd", pids[i]);
            const int dirFd = ::openat(m_procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dirFd < 0) continue;  // exited, a kernel thread, or not ours to read
            if (ReadSockets(pids[i], dirFd, share.found, wanted, deadline, stop))
                share.directories.emplace_back(pids[i], dirFd);
            else
                ::close(dirFd);
        }
    };
    const bool parallel =
        pids.size() > 1 && UsableProcessors() > 1 &&
        (pending.size() + unplaced.size() >= kParallelWalkMinimum || pids.size() >= kParallelWalkProcesses);
    WalkShare shares[2];
    if (parallel) {
        std::thread helper(work, std::ref(shares[1]));
        work(shares[0]);
        helper.join();
    } else {
        work(shares[0]);
    }

    for (const WalkShare& share : shares) {
        for (const Found& f : share.found) {
            const Owner owner{f.pid, f.fd};
            if (pending.erase(f.inode) != 0) {
                Claim(f.inode, owner, bit);
            } else if (unplaced.erase(f.inode) != 0) {
                Claim(f.inode, owner, 0);
            } else {
                Record(f.inode, owner);
            }
        }
        for (const auto& [pid, dirFd] : share.directories) {
            if (m_directories.size() < MaxKeptDirectories() && m_directories.emplace(pid, dirFd).second) continue;
            ::close(dirFd);
        }
    }
    return !stop;
}

void SocketOwnerIndex::Forget(unsigned table, const std::unordered_set<std::uint64_t>& live) {
    const unsigned bit = 1u << table;
    std::unordered_set<pid_t> holding;
    for (auto it = m_sockets.begin(); it != m_sockets.end();) {
        Entry& entry = it->second;
        if ((entry.tables & bit) != 0 && live.count(it->first) == 0) {
            entry.tables = static_cast<std::uint8_t>(entry.tables & ~bit);
            // Closed: no table lists it any more.
            if (entry.tables == 0) {
                it = m_sockets.erase(it);
                continue;
            }
        }
        if (entry.kind == Kind::Owned && entry.tables != 0) holding.insert(entry.owner.pid);
        ++it;
    }
    for (auto it = m_directories.begin(); it != m_directories.end();) {
        if (holding.count(it->first) == 0) {
            ::close(it->second);
            it = m_directories.erase(it);
        } else {
            ++it;
        }
    }
    m_stats.keptDirectories = m_directories.size();
}

void SocketOwnerIndex::VerifyChecks() {
    auto verify = [this](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) m_checks[i].confirmed = Verify(m_checks[i].owner, m_checks[i].inode);
    };
    if (m_checks.size() >= kParallelWalkMinimum && UsableProcessors() > 1) {
        const std::size_t half = m_checks.size() / 2;
        std::thread helper(verify, half, m_checks.size());
        verify(0, half);
        helper.join();
    } else {
        verify(0, m_checks.size());
    }
}

// Under a capture's proc root: each row's owner from the capture's
// descriptor table, read when the capture is new.  False when the root
// holds no table (a fixture with a folder for each process).
template <class Row>
bool SocketOwnerIndex::ResolveFromCapture(std::vector<Row>& rows) {
    const int dirFd = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return false;
    struct stat folder {};
    if (::fstat(dirFd, &folder) != 0) {
        ::close(dirFd);
        return false;
    }
    const bool same = m_capturedRead && folder.st_dev == m_capturedDevice && folder.st_ino == m_capturedInode &&
                      folder.st_ctim.tv_sec == m_capturedChanged.tv_sec &&
                      folder.st_ctim.tv_nsec == m_capturedChanged.tv_nsec;
    if (!same) {
        std::string text;
        m_capturedIsCapture = ReadCapturedTable(dirFd, kCapturedDescriptorTable, text);
        m_captured.clear();
        for (const CapturedDescriptor& d : ParseDescriptorTable(text))
            if (d.pid <= static_cast<std::uint32_t>(INT32_MAX))
                m_captured.emplace_back(d.inode, static_cast<pid_t>(d.pid));
        // By inode, the lowest pid first, as a walk of /proc meets them.
        std::sort(m_captured.begin(), m_captured.end());
        m_captured.erase(std::unique(m_captured.begin(), m_captured.end(),
                                     [](const auto& a, const auto& b) { return a.first == b.first; }),
                         m_captured.end());
        m_capturedRead = true;
        m_capturedDevice = folder.st_dev;
        m_capturedInode = folder.st_ino;
        m_capturedChanged = folder.st_ctim;
    }
    ::close(dirFd);
    if (!m_capturedIsCapture) return false;
    for (Row& row : rows) {
        if (row.inode == 0) continue;
        const auto it = std::lower_bound(m_captured.begin(), m_captured.end(), std::make_pair(row.inode, pid_t{0}));
        if (it != m_captured.end() && it->first == row.inode) row.pid = static_cast<DWORD>(it->second);
    }
    return true;
}

template <class Row>
void SocketOwnerIndex::ResolveRows(const std::string& root, unsigned table, std::vector<Row>& rows,
                                   const std::unordered_set<std::uint64_t>& live) {
    for (Row& row : rows) row.pid = 0;
    m_lastComplete = true;
    if (table >= kMaxTables) return;
    if (root != m_root) {
        Reset();
        m_root = root;
    }
    if (m_root != "/proc" && ResolveFromCapture(rows)) return;
    StartRound(table);
    const auto bit = static_cast<std::uint8_t>(1u << table);
    // Listing another user's descriptors needs both: reading the directory
    // (CAP_DAC_READ_SEARCH) and the ptrace access check on its links
    // (CAP_SYS_PTRACE).  They are held for this lookup only.
    ScopedCapabilities caps({CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE});
    m_procFd = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);

    // Remembered owners are checked first, each with one readlinkat; many
    // checks are shared between two threads.
    std::unordered_set<std::uint64_t> pending;
    m_checks.clear();
    for (const Row& row : rows) {
        if (row.inode == 0) continue;
        const auto it = m_sockets.find(row.inode);
        if (it == m_sockets.end()) {
            pending.insert(row.inode);
            continue;
        }
        Entry& entry = it->second;
        if (entry.kind == Kind::Owned) {
            m_checks.push_back(Check{row.inode, entry.owner, false});
            continue;
        }
        entry.tables |= bit;
        if (entry.kind == Kind::Unplaced) pending.insert(row.inode);
    }
    VerifyChecks();
    for (const Check& check : m_checks) {
        const auto it = m_sockets.find(check.inode);
        if (check.confirmed && it != m_sockets.end()) {
            ++m_stats.verified;
            it->second.tables |= bit;
            // A place met by a walk for another table: its process's handle
            // is kept from now on, when there is room.
            if (DirectoryOf(check.owner.pid) < 0) KeepDirectory(check.owner.pid);
        } else {
            if (it != m_sockets.end()) m_sockets.erase(it);
            pending.insert(check.inode);
        }
    }
    if (!pending.empty()) {
        // New sockets mostly belong to processes that already hold some.
        // A kept directory of a process that has exited lists nothing; its
        // pid may be in use again, so the walk does not skip it.
        std::unordered_set<pid_t> scanned;
        bool stopped = false;
        for (auto it = m_directories.begin(); it != m_directories.end() && !pending.empty() && !stopped;) {
            if (StillThere(it->first, it->second) && ScanProcess(it->first, it->second, pending, bit, stopped)) {
                // A process whose scan stopped part-way is not skipped by a
                // later walk.
                if (!stopped) scanned.insert(it->first);
                ++it;
            } else {
                ::close(it->second);
                it = m_directories.erase(it);
            }
        }
        if (!pending.empty() && !m_walkedInRound && !stopped) {
            // The walk also settles the sockets of every table left unplaced
            // in an earlier round: they were open before it began.
            std::unordered_set<std::uint64_t> unplaced;
            for (const auto& [inode, entry] : m_sockets)
                if (entry.kind == Kind::Unplaced && pending.count(inode) == 0) unplaced.insert(inode);
            if (Walk(pending, unplaced, scanned, bit)) {
                for (std::uint64_t inode : unplaced) m_sockets[inode].kind = Kind::Ownerless;
                for (std::uint64_t inode : pending) {
                    Entry& entry = m_sockets[inode];
                    entry.kind = Kind::Ownerless;
                    entry.tables |= bit;
                }
                pending.clear();
            } else {
                // Stopped at the deadline: what it did not reach may well
                // have an owner; the next round looks again.
                stopped = true;
                m_walkStoppedInRound = true;
            }
        }
        if (stopped) m_lastComplete = false;
        if (!pending.empty()) {
            // No walk of this round met them: opened since, held by no
            // process in sight, or not reached before the deadline.  The
            // next round looks again.  After a walk that stopped at the
            // deadline they may have an owner that it did not reach.
            if (m_walkStoppedInRound) m_lastComplete = false;
            for (std::uint64_t inode : pending) {
                Entry& entry = m_sockets[inode];
                entry.kind = Kind::Unplaced;
                entry.tables |= bit;
            }
        }
    }
    for (Row& row : rows) {
        if (row.inode == 0) continue;
        const auto it = m_sockets.find(row.inode);
        if (it != m_sockets.end() && it->second.kind == Kind::Owned) row.pid = static_cast<DWORD>(it->second.owner.pid);
    }
    Forget(table, live);
    if (m_procFd >= 0) ::close(m_procFd);
    m_procFd = -1;
}

void SocketOwnerIndex::Resolve(const std::string& root, unsigned table, std::vector<SocketRow>& rows,
                               const std::unordered_set<std::uint64_t>& live) {
    ResolveRows(root, table, rows, live);
}

void SocketOwnerIndex::Resolve(const std::string& root, unsigned table, std::vector<Socket6Row>& rows,
                               const std::unordered_set<std::uint64_t>& live) {
    ResolveRows(root, table, rows, live);
}

}  // namespace provider
