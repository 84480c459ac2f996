#include "OwnerService.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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

OwnerService::OwnerService(std::string procRoot) : m_root(std::move(procRoot)) {}

std::string OwnerService::ReadLink(pid_t pid, const char* name) const {
    char path[PATH_MAX];
    const int length = std::snprintf(path, sizeof path, "%s/%d/%s", m_root.c_str(), pid, name);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path, target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return {};
    return std::string(target, static_cast<std::size_t>(n));
}

PathsReply OwnerService::AnswerPaths(const PathsRequest& request) const {
    PathsReply reply;
    std::unordered_set<std::uint32_t> answered;
    // Reading another user's links passes the ptrace access check only with
    // CAP_SYS_PTRACE.
    provider::ScopedCapabilities caps({CAP_SYS_PTRACE});
    for (std::uint32_t pid : request.pids) {
        bool owner = false;
        for (const auto& owners : m_owners) owner = owner || owners.count(pid) != 0;
        if (!owner || !answered.insert(pid).second) continue;
        OwnerPath p;
        p.pid = pid;
        p.path = ReadLink(static_cast<pid_t>(pid), "exe");
        if (p.path.size() > kMaxPathLength || p.path.empty() || p.path.front() != '/') p.path.clear();
        p.netNamespace = procinfo::NamespaceInodeOfLink(ReadLink(static_cast<pid_t>(pid), "ns/net"));
        p.pidNamespace = procinfo::NamespaceInodeOfLink(ReadLink(static_cast<pid_t>(pid), "ns/pid"));
        reply.paths.push_back(std::move(p));
    }
    return reply;
}

std::string OwnerService::ExecutableName(pid_t pid) const {
    char path[PATH_MAX];
    const int length = std::snprintf(path, sizeof path, "%s/%d/exe", m_root.c_str(), pid);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path, target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return {};
    const std::string_view name = ExecutableBaseName(std::string_view(target, static_cast<std::size_t>(n)));
    return ValidName(name) ? std::string(name) : std::string();
}

static_assert(kTables <= provider::SocketOwnerIndex::kMaxTables);

OwnersReply OwnerService::Answer(const OwnersRequest& request) {
    m_rows.assign(request.inodes.size(), provider::SocketRow{});
    std::unordered_set<std::uint64_t> live;
    live.reserve(request.inodes.size());
    for (std::size_t i = 0; i < request.inodes.size(); ++i) {
        m_rows[i].inode = request.inodes[i];
        if (request.inodes[i] != 0) live.insert(request.inodes[i]);
    }
    m_index.Resolve(m_root, request.table, m_rows, live);

    OwnersReply reply;
    reply.pids.reserve(m_rows.size());
    std::unordered_set<std::uint32_t>& owners = m_owners[request.table % kTables];
    owners.clear();
    for (const provider::SocketRow& row : m_rows) {
        reply.pids.push_back(row.pid);
        if (row.pid != 0) owners.insert(row.pid);
    }
    // Reading another user's executable link passes the ptrace access check
    // only with CAP_SYS_PTRACE.
    provider::ScopedCapabilities caps({CAP_SYS_PTRACE});
    for (std::uint32_t pid : owners) {
        std::string name = ExecutableName(static_cast<pid_t>(pid));
        if (!name.empty()) reply.names.push_back(OwnerName{pid, std::move(name)});
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
