#include "OwnerService.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <unordered_set>

#include "Capabilities.h"
#include "ExecutableName.h"
#include "ProcessDetails.h"

namespace owners {

namespace {

bool Permitted(cap_value_t capability) {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return false;
    cap_flag_value_t value = CAP_CLEAR;
    const bool on = cap_get_flag(caps, capability, CAP_PERMITTED, &value) == 0 && value == CAP_SET;
    cap_free(caps);
    return on;
}

// Waits until `fd` is readable; false when the parent has gone meanwhile
// (checked once a second) or polling fails.
bool WaitReadable(int fd, pid_t parent, bool& orphaned) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, 1000);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
        if (parent != 0 && ::getppid() != parent) {
            orphaned = true;
            return false;
        }
    }
}

// Reads exactly `size` bytes.  `atBoundary` is set when the stream ended
// before the first byte.
bool ReadExactly(int fd, std::uint8_t* data, std::size_t size, pid_t parent, bool& atBoundary, bool& orphaned) {
    std::size_t done = 0;
    atBoundary = false;
    while (done < size) {
        if (!WaitReadable(fd, parent, orphaned)) return false;
        const ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            atBoundary = n == 0 && done == 0;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool MayReadEveryProcess() { return Permitted(CAP_SYS_PTRACE) && Permitted(CAP_DAC_READ_SEARCH); }

namespace {

// The target of link `name` under the directory `dirFd`; empty when it
// cannot be read or is longer than a path.
std::string ReadLinkAt(int dirFd, const char* name) {
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(dirFd, name, target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return {};
    return std::string(target, static_cast<std::size_t>(n));
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    int* out() { return &m_fd; }

private:
    int m_fd;
};

}  // namespace

OwnerService::OwnerService(std::string procRoot, SocketInventory inventory, ProcAccess access,
                           std::chrono::milliseconds budget)
    : m_root(std::move(procRoot)), m_inventory(std::move(inventory)), m_access(std::move(access)), m_budget(budget) {}

OwnerService::Check OwnerService::OpenChecked(int procFd, std::uint32_t pid, const Place& place, int& dirFd) const {
    dirFd = -1;
    char name[48];
    std::snprintf(name, sizeof name, "%u", pid);
    const int dir = ::openat(procFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return Check::Gone;
    struct stat st {};
    if (::fstat(dir, &st) != 0) {
        ::close(dir);
        return Check::Gone;
    }
    if (!MaySee(m_access.mount, m_access.caller, st.st_uid)) {
        ::close(dir);
        return Check::Hidden;
    }
    std::snprintf(name, sizeof name, "fd/%d", place.fd);
    if (provider::SocketInodeOfLink(ReadLinkAt(dir, name)) != place.inode) {
        ::close(dir);
        return Check::Gone;
    }
    dirFd = dir;
    return Check::Holds;
}

PathsReply OwnerService::AnswerPaths(const PathsRequest& request) const {
    PathsReply reply;
    std::unordered_set<std::uint32_t> answered;
    // The descriptor check searches the process's fd directory
    // (CAP_DAC_READ_SEARCH); its links pass the ptrace access check only
    // with CAP_SYS_PTRACE.
    provider::ScopedCapabilities caps({CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE});
    const Descriptor proc(::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (proc.get() < 0) return reply;
    for (std::uint32_t pid : request.pids) {
        const Place* place = nullptr;
        for (const auto& owners : m_owners)
            if (const auto it = owners.find(pid); it != owners.end()) place = &it->second;
        if (place == nullptr || !answered.insert(pid).second) continue;
        Descriptor dir;
        if (OpenChecked(proc.get(), pid, *place, *dir.out()) != Check::Holds) continue;
        OwnerPath p;
        p.pid = pid;
        p.path = ReadLinkAt(dir.get(), "exe");
        if (p.path.size() > kMaxPathLength || p.path.empty() || p.path.front() != '/') p.path.clear();
        p.netNamespace = procinfo::NamespaceInodeOfLink(ReadLinkAt(dir.get(), "ns/net"));
        p.pidNamespace = procinfo::NamespaceInodeOfLink(ReadLinkAt(dir.get(), "ns/pid"));
        reply.paths.push_back(std::move(p));
    }
    return reply;
}

static_assert(kTables <= provider::SocketOwnerIndex::kMaxTables);

OwnersReply OwnerService::Answer(const OwnersRequest& request) {
    OwnersReply reply;
    reply.pids.assign(request.inodes.size(), 0);
    auto& owners = m_owners[request.table % kTables];
    owners.clear();
    const auto deadline = std::chrono::steady_clock::now() + m_budget;
    if (!m_inventory(request.table, deadline, m_tableSockets)) {
        reply.shortfall = Shortfall::TableUnreadable;
        return reply;
    }
    // Only the table's sockets are looked for; every other inode is left
    // at 0, as a socket without an inode is.
    m_rows.assign(request.inodes.size(), provider::SocketRow{});
    std::unordered_set<std::uint64_t> live;
    for (std::size_t i = 0; i < request.inodes.size(); ++i) {
        const std::uint64_t inode = request.inodes[i];
        if (inode == 0 || !std::binary_search(m_tableSockets.begin(), m_tableSockets.end(), inode)) continue;
        m_rows[i].inode = inode;
        live.insert(inode);
    }
    m_index.SetDeadline(deadline);
    m_index.Resolve(m_root, request.table, m_rows, live);
    if (!m_index.LastComplete()) reply.shortfall = Shortfall::SearchCutShort;

    // Each owner is checked once (through its first socket that it still
    // holds) and then named, or refused when the caller may not see it.
    provider::ScopedCapabilities caps({CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE});
    const Descriptor proc(::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (proc.get() < 0) return reply;
    std::unordered_map<std::uint32_t, bool> named;
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        const provider::SocketRow& row = m_rows[i];
        if (row.pid == 0) continue;
        auto verdict = named.find(row.pid);
        if (verdict == named.end()) {
            pid_t pid = 0;
            int fd = -1;
            if (!m_index.PlaceOf(row.inode, pid, fd) || static_cast<std::uint32_t>(pid) != row.pid) continue;
            const Place place{fd, row.inode};
            Descriptor dir;
            const Check check = OpenChecked(proc.get(), row.pid, place, *dir.out());
            // Gone, or no longer holding this socket: a later socket of the
            // same pid may still show it.
            if (check == Check::Gone) continue;
            verdict = named.emplace(row.pid, check == Check::Holds).first;
            if (check == Check::Holds) {
                owners.emplace(row.pid, place);
                const std::string target = ReadLinkAt(dir.get(), "exe");
                const std::string_view name = ExecutableBaseName(target);
                if (ValidName(name)) reply.names.push_back(OwnerName{row.pid, std::string(name)});
            }
        }
        if (verdict->second) reply.pids[i] = row.pid;
    }
    return reply;
}

Stats OwnerService::GetStats() const { return Stats{m_index.GetStats().fullWalks}; }

ServeEnd Serve(int in, int out, OwnerService& service, pid_t parent) {
    Hello hello;
    hello.flags =
        static_cast<std::uint16_t>(kAnswersStats | kAnswersPaths | (MayReadEveryProcess() ? kMayReadEveryProcess : 0));
    if (!WriteAll(out, EncodeHello(hello))) return ServeEnd::Failed;

    std::vector<std::uint8_t> payload;
    for (;;) {
        std::uint8_t bytes[kHeaderSize];
        bool atBoundary = false, orphaned = false;
        if (!ReadExactly(in, bytes, sizeof bytes, parent, atBoundary, orphaned))
            return orphaned ? ServeEnd::Orphaned : atBoundary ? ServeEnd::Closed : ServeEnd::Malformed;
        const std::optional<Header> header = DecodeHeader(std::span<const std::uint8_t, kHeaderSize>(bytes));
        if (header && header->type == MessageType::StatsRequest) {
            if (!WriteAll(out, EncodeStats(service.GetStats()))) return ServeEnd::Failed;
            continue;
        }
        if (header && header->type == MessageType::PathsRequest) {
            payload.resize(header->length);
            if (!ReadExactly(in, payload.data(), payload.size(), parent, atBoundary, orphaned))
                return orphaned ? ServeEnd::Orphaned : ServeEnd::Malformed;
            const std::optional<PathsRequest> paths = DecodePathsRequest(payload);
            if (!paths) return ServeEnd::Malformed;
            if (!WriteAll(out, EncodePathsReply(service.AnswerPaths(*paths)))) return ServeEnd::Failed;
            continue;
        }
        if (!header || header->type != MessageType::OwnersRequest) return ServeEnd::Malformed;
        payload.resize(header->length);
        if (!ReadExactly(in, payload.data(), payload.size(), parent, atBoundary, orphaned))
            return orphaned ? ServeEnd::Orphaned : ServeEnd::Malformed;
        const std::optional<OwnersRequest> request = DecodeOwnersRequest(header->table, payload);
        if (!request) return ServeEnd::Malformed;
        if (!WriteAll(out, EncodeOwnersReply(service.Answer(*request)))) return ServeEnd::Failed;
    }
}

}  // namespace owners
