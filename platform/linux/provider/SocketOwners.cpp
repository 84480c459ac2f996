#include "SocketOwners.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "Capabilities.h"

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

}  // namespace

std::uint64_t SocketInodeOfLink(std::string_view link) {
    constexpr std::string_view kPrefix = "socket:[";
    if (link.size() <= kPrefix.size() + 1 || link.substr(0, kPrefix.size()) != kPrefix || link.back() != ']') return 0;
    const std::string_view digits = link.substr(kPrefix.size(), link.size() - kPrefix.size() - 1);
    std::uint64_t inode = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
    return ec == std::errc() && p == digits.data() + digits.size() ? inode : 0;
}

SocketOwnerIndex::~SocketOwnerIndex() { CloseDirectories(); }

void SocketOwnerIndex::CloseDirectories() {
    for (const auto& [pid, fd] : m_directories) ::close(fd);
    m_directories.clear();
    m_stats.keptDirectories = 0;
}

void SocketOwnerIndex::Reset() {
    CloseDirectories();
    m_owners.clear();
    m_ownerless.clear();
}

int SocketOwnerIndex::DirectoryOf(pid_t pid) const {
    if (const auto it = m_directories.find(pid); it != m_directories.end()) return it->second;
    return -1;
}

bool SocketOwnerIndex::Verify(const Owner& owner, std::uint64_t inode) const {
    const int dirFd = DirectoryOf(owner.pid);
    if (dirFd < 0) return false;
    char name[16];
    auto [end, ec] = std::to_chars(name, name + sizeof name - 1, owner.fd);
    *end = '\0';
    return InodeOfDescriptor(dirFd, name) == inode;
}

// Looks through one process's descriptors for pending sockets; what it finds
// is remembered, and the directory handle kept when there is room.  False
// when the directory cannot be listed (the process has exited).
bool SocketOwnerIndex::ScanProcess(pid_t pid, int dirFd, std::unordered_set<std::uint64_t>& pending) {
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return false;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return false;
    }
    bool found = false;
    while (!pending.empty()) {
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) break;
        int fd = -1;
        if (!ParseFd(entry->d_name, fd)) continue;
        const std::uint64_t inode = InodeOfDescriptor(dirFd, entry->d_name);
        if (inode == 0 || pending.erase(inode) == 0) continue;
        m_owners[inode] = Owner{pid, fd};
        found = true;
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

void SocketOwnerIndex::Walk(std::unordered_set<std::uint64_t>& pending, const std::unordered_set<pid_t>& skip) {
    ++m_stats.fullWalks;
    const std::vector<pid_t> pids = ListProcesses(skip);
    const int procFd = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0) return;
    // Many sockets to place: two threads share the processes, which halves
    // the walk on a machine with cores to spare.  A new thread starts with
    // the capabilities its creator holds, raised for this lookup.
    const bool parallel =
        pending.size() >= kParallelWalkMinimum && pids.size() > 1 && std::thread::hardware_concurrency() > 1;
    if (!parallel) {
        for (std::size_t i = 0; i < pids.size() && !pending.empty(); ++i) {
            char path[32];
            std::snprintf(path, sizeof path, "%d/fd", pids[i]);
            const int dirFd = ::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dirFd < 0) continue;  // exited, a kernel thread, or not ours to read
            ScanProcess(pids[i], dirFd, pending);
            ::close(dirFd);
        }
        ::close(procFd);
        return;
    }

    struct Shared {
        std::mutex lock;
        std::unordered_set<std::uint64_t> left;
        std::vector<std::pair<std::uint64_t, Owner>> found;
        std::vector<std::pair<pid_t, int>> directories;  // handles of processes that hold sockets
    } shared;
    shared.left = pending;
    std::atomic<std::size_t> remaining{pending.size()};
    const std::unordered_set<std::uint64_t>& wanted = pending;  // read only while the threads run

    // Each thread takes the next process to scan, so that two large holders
    // go to different threads.
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < pids.size() && remaining.load() > 0; i = next++) {
            char path[32];
            std::snprintf(path, sizeof path, "%d/fd", pids[i]);
            const int dirFd = ::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dirFd < 0) continue;
            DIR* dir = ::fdopendir(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            bool holds = false;
            while (dir != nullptr && remaining.load() > 0) {
                const dirent* entry = ::readdir(dir);
                if (entry == nullptr) break;
                int fd = -1;
                if (!ParseFd(entry->d_name, fd)) continue;
                const std::uint64_t inode = InodeOfDescriptor(dirFd, entry->d_name);
                if (inode == 0 || wanted.count(inode) == 0) continue;
                std::lock_guard<std::mutex> guard(shared.lock);
                if (shared.left.erase(inode) == 0) continue;  // found in another process first
                shared.found.emplace_back(inode, Owner{pids[i], fd});
                --remaining;
                holds = true;
            }
            if (dir != nullptr) ::closedir(dir);
            if (holds) {
                std::lock_guard<std::mutex> guard(shared.lock);
                shared.directories.emplace_back(pids[i], dirFd);
            } else {
                ::close(dirFd);
            }
        }
    };
    std::thread helper(work);
    work();
    helper.join();
    ::close(procFd);

    for (const auto& [inode, owner] : shared.found) {
        pending.erase(inode);
        m_owners[inode] = owner;
    }
    for (const auto& [pid, dirFd] : shared.directories) {
        if (m_directories.size() < MaxKeptDirectories() && m_directories.emplace(pid, dirFd).second) continue;
        ::close(dirFd);
    }
}

void SocketOwnerIndex::Forget(const std::unordered_set<std::uint64_t>& live) {
    std::unordered_set<pid_t> holding;
    for (auto it = m_owners.begin(); it != m_owners.end();) {
        if (live.count(it->first) == 0) {
            it = m_owners.erase(it);
        } else {
            holding.insert(it->second.pid);
            ++it;
        }
    }
    for (auto it = m_ownerless.begin(); it != m_ownerless.end();)
        it = live.count(*it) == 0 ? m_ownerless.erase(it) : std::next(it);
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

void SocketOwnerIndex::Resolve(const std::string& root, std::vector<SocketRow>& rows,
                               const std::unordered_set<std::uint64_t>& live) {
    if (root != m_root) {
        Reset();
        m_root = root;
    }
    // Listing another user's descriptors needs both: reading the directory
    // (CAP_DAC_READ_SEARCH) and the ptrace access check on its links
    // (CAP_SYS_PTRACE).  They are held for this lookup only.
    ScopedCapabilities caps({CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE});

    // Remembered owners are checked first, each with one readlinkat; many
    // checks are shared between two threads.
    std::unordered_set<std::uint64_t> pending;
    m_checks.clear();
    for (SocketRow& row : rows) {
        row.pid = 0;
        if (row.inode == 0 || m_ownerless.count(row.inode) != 0) continue;
        const auto it = m_owners.find(row.inode);
        if (it == m_owners.end()) {
            pending.insert(row.inode);
            continue;
        }
        m_checks.push_back(Check{row.inode, it->second, false});
    }
    auto verify = [this](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) m_checks[i].confirmed = Verify(m_checks[i].owner, m_checks[i].inode);
    };
    if (m_checks.size() >= kParallelWalkMinimum && std::thread::hardware_concurrency() > 1) {
        const std::size_t half = m_checks.size() / 2;
        std::thread helper(verify, half, m_checks.size());
        verify(0, half);
        helper.join();
    } else {
        verify(0, m_checks.size());
    }
    for (const Check& check : m_checks) {
        if (check.confirmed) {
            ++m_stats.verified;
        } else {
            m_owners.erase(check.inode);
            pending.insert(check.inode);
        }
    }
    if (!pending.empty()) {
        // New sockets mostly belong to processes that already hold some.
        // A kept directory of a process that has exited lists nothing; its
        // pid may be in use again, so the walk does not skip it.
        std::unordered_set<pid_t> scanned;
        for (auto it = m_directories.begin(); it != m_directories.end() && !pending.empty();) {
            if (StillThere(it->first, it->second) && ScanProcess(it->first, it->second, pending)) {
                scanned.insert(it->first);
                ++it;
            } else {
                ::close(it->second);
                it = m_directories.erase(it);
            }
        }
        if (!pending.empty()) Walk(pending, scanned);
        m_ownerless.insert(pending.begin(), pending.end());
    }
    for (SocketRow& row : rows) {
        if (row.inode == 0) continue;
        const auto it = m_owners.find(row.inode);
        if (it != m_owners.end()) row.pid = static_cast<DWORD>(it->second.pid);
    }
    Forget(live);
}

}  // namespace provider
