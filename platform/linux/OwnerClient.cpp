#include "OwnerClient.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "OwnerProtocol.h"
#include "ProcRootEnv.h"
#include "processinfo.h"

namespace owners {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kHelloLimit = std::chrono::seconds(3);
// A first walk over 100,000 sockets takes about a second; the helper stops
// its search after 5 s and answers with what it found.
constexpr auto kAnswerLimit = std::chrono::seconds(10);
// The pause before a helper is tried again after a failure, doubled for
// each further failure in a row up to the longest.
constexpr auto kFirstRetry = std::chrono::milliseconds(500);
constexpr auto kLongestRetry = std::chrono::seconds(60);

std::string HelperPath() {
    if (const char* named = std::getenv("TESSALINE_OWNERS_HELPER"); named != nullptr && *named != '\0') return named;
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.resize(dir.find_last_of('/'));
    for (const std::string& candidate :
         {dir + "/tessaline-owners", dir + "/../libexec/tessaline/tessaline-owners"})
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    return {};
}

// Waits for `fd` to be readable until `deadline`.
bool WaitReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool ReadExactly(int fd, std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < size) {
        if (!WaitReadable(fd, deadline)) return false;
        const ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        // MSG_NOSIGNAL: a helper that died must not take the program with it.
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

class Client {
public:
    bool Query(unsigned table, const std::vector<std::uint64_t>& inodes, std::vector<std::uint32_t>& pids) {
        if (table >= kTables || inodes.size() > kMaxInodes) return false;
        std::lock_guard<std::mutex> guard(m_lock);
        // Owners are missing when no helper answers only where a helper
        // that could read every process has served before: without one the
        // program's own search finds as much as a helper would.  The gap is
        // set once the query is over, as others read it without the lock.
        if (!Running() && !Start()) {
            m_gaps[table] = m_servedEveryProcess ? OwnerGap::HelperFailed : OwnerGap::None;
            return false;
        }
        std::optional<OwnersReply> reply;
        if (SendAll(m_fd, EncodeOwnersRequest(static_cast<std::uint8_t>(table), inodes)))
            reply = ReadReply(inodes.size());
        if (!reply) {
            m_gaps[table] = m_servedEveryProcess || m_mayReadEveryProcess ? OwnerGap::HelperFailed : OwnerGap::None;
            Fail();
            return false;
        }
        m_failures = 0;
        if (m_mayReadEveryProcess) m_servedEveryProcess = true;
        switch (reply->shortfall) {
            case Shortfall::None: m_gaps[table] = OwnerGap::None; break;
            case Shortfall::SearchCutShort: m_gaps[table] = OwnerGap::SearchCutShort; break;
            case Shortfall::TableUnreadable:
                // The helper named nobody: the caller finds what owners it
                // may see itself, and the helper stays for the next table.
                m_gaps[table] = m_mayReadEveryProcess ? OwnerGap::TableUnreadable : OwnerGap::None;
                return false;
        }
        pids = std::move(reply->pids);
        auto& names = m_names[table];
        names.clear();
        for (OwnerName& n : reply->names) names.emplace(n.pid, std::move(n.name));
        return true;
    }

    bool Name(std::uint32_t pid, std::string& name) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& names : m_names) {
            if (const auto it = names.find(pid); it != names.end()) {
                name = it->second;
                return true;
            }
        }
        return false;
    }

    bool MayReadEveryProcess() {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!Running() && !m_tried) Start();
        return Running() && m_mayReadEveryProcess;
    }

    // Without the lock: a query may hold it for seconds.
    OwnerGap Gap(unsigned table) const { return table < kTables ? m_gaps[table].load() : OwnerGap::None; }

    bool Paths(const std::vector<std::uint32_t>& pids, std::vector<OwnerPath>& paths) {
        if (pids.size() > kMaxPathPids) return false;
        std::lock_guard<std::mutex> guard(m_lock);
        if (!Running() || !m_answersPaths) return false;
        std::optional<PathsReply> reply;
        if (SendAll(m_fd, EncodePathsRequest(pids))) {
            const Clock::time_point deadline = Clock::now() + kHelloLimit;
            std::uint8_t bytes[kHeaderSize];
            if (ReadExactly(m_fd, bytes, sizeof bytes, deadline)) {
                const std::optional<Header> header = DecodeHeader(std::span<const std::uint8_t, kHeaderSize>(bytes));
                if (header && header->type == MessageType::PathsReply &&
                    header->length <= MaxPathsReplyLength(pids.size())) {
                    m_payload.resize(header->length);
                    if (ReadExactly(m_fd, m_payload.data(), m_payload.size(), deadline))
                        reply = DecodePathsReply(m_payload, pids);
                }
            }
        }
        if (!reply) {
            Fail();
            return false;
        }
        paths = std::move(reply->paths);
        return true;
    }

    int Pid() {
        std::lock_guard<std::mutex> guard(m_lock);
        return Running() ? m_pid : -1;
    }

    bool FullWalks(std::uint64_t& walks) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!Running() || !m_answersStats) return false;
        std::optional<Stats> stats;
        if (SendAll(m_fd, EncodeStatsRequest())) {
            std::uint8_t bytes[kHeaderSize + kStatsLength];
            if (ReadExactly(m_fd, bytes, sizeof bytes, Clock::now() + kHelloLimit)) {
                const std::optional<Header> header =
                    DecodeHeader(std::span<const std::uint8_t, kHeaderSize>(bytes, kHeaderSize));
                if (header && header->type == MessageType::StatsReply && header->length == kStatsLength)
                    stats = DecodeStats(std::span<const std::uint8_t>(bytes + kHeaderSize, kStatsLength));
            }
        }
        if (!stats) {
            Fail();
            return false;
        }
        walks = stats->fullWalks;
        return true;
    }

private:
    bool Running() const { return m_pid > 0; }

    bool Start() {
        if (Clock::now() < m_retryAt) return false;
        m_tried = true;
        const std::string path = HelperPath();
        if (path.empty()) {
            Fail();
            return false;
        }
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            Fail();
            return false;
        }
        // The helper's end becomes its standard input and output; every
        // other descriptor of ours is close-on-exec or closed by the helper.
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        posix_spawnattr_init(&attributes);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        char name[] = "tessaline-owners";
        char* argv[] = {name, nullptr};
        char* envp[] = {nullptr};
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(ends[1]);
        if (spawned != 0) {
            ::close(ends[0]);
            Fail();
            return false;
        }
        m_pid = pid;
        m_fd = ends[0];
        std::uint8_t bytes[kHeaderSize + kHelloLength];
        std::optional<Hello> hello;
        if (ReadExactly(m_fd, bytes, sizeof bytes, Clock::now() + kHelloLimit)) {
            const std::optional<Header> header = DecodeHeader(std::span<const std::uint8_t, kHeaderSize>(bytes, kHeaderSize));
            if (header && header->type == MessageType::Hello && header->length == kHelloLength)
                hello = DecodeHello(std::span<const std::uint8_t>(bytes + kHeaderSize, kHelloLength));
        }
        if (!hello || hello->version != kVersion) {
            Fail();
            return false;
        }
        m_mayReadEveryProcess = (hello->flags & kMayReadEveryProcess) != 0;
        m_answersStats = (hello->flags & kAnswersStats) != 0;
        m_answersPaths = (hello->flags & kAnswersPaths) != 0;
        return true;
    }

    std::optional<OwnersReply> ReadReply(std::size_t rows) {
        const Clock::time_point deadline = Clock::now() + kAnswerLimit;
        std::uint8_t bytes[kHeaderSize];
        if (!ReadExactly(m_fd, bytes, sizeof bytes, deadline)) return std::nullopt;
        const std::optional<Header> header = DecodeHeader(std::span<const std::uint8_t, kHeaderSize>(bytes));
        if (!header || header->type != MessageType::OwnersReply || header->length > MaxOwnersReplyLength(rows))
            return std::nullopt;
        m_payload.resize(header->length);
        if (!ReadExactly(m_fd, m_payload.data(), m_payload.size(), deadline)) return std::nullopt;
        return DecodeOwnersReply(m_payload, rows);
    }

    // Ends the helper, and tries the next one only after a pause that grows
    // with each failure in a row.
    void Fail() {
        Stop();
        const int doublings = std::min(m_failures, 16);
        ++m_failures;
        m_retryAt = Clock::now() + std::min<Clock::duration>(kFirstRetry * (1 << doublings), kLongestRetry);
    }

    // Ends the helper by its pid and forgets what it said.
    void Stop() {
        if (m_fd >= 0) ::close(m_fd);
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        m_fd = -1;
        m_pid = -1;
        m_mayReadEveryProcess = false;
        m_answersStats = false;
        m_answersPaths = false;
        for (auto& names : m_names) names.clear();
    }

    std::mutex m_lock;
    pid_t m_pid = -1;
    int m_fd = -1;
    bool m_tried = false;
    int m_failures = 0;  // in a row
    Clock::time_point m_retryAt{};
    // A helper that could read every process has answered in this run.
    bool m_servedEveryProcess = false;
    std::array<std::atomic<OwnerGap>, kTables> m_gaps{};
    bool m_mayReadEveryProcess = false;
    bool m_answersStats = false;
    bool m_answersPaths = false;
    std::vector<std::uint8_t> m_payload;
    std::array<std::unordered_map<std::uint32_t, std::string>, kTables> m_names;
};

// Lives as long as the process: the helper reads the end of its input
// when the program exits, and ends.
Client& TheClient() {
    static Client* client = new Client;
    return *client;
}

}  // namespace

bool QueryOwners(unsigned table, const std::vector<std::uint64_t>& inodes, std::vector<std::uint32_t>& pids) {
    return TheClient().Query(table, inodes, pids);
}

bool CachedOwnerName(std::uint32_t pid, std::string& name) { return TheClient().Name(pid, name); }

bool HelperMayReadEveryProcess() { return TheClient().MayReadEveryProcess(); }

bool QueryOwnerPaths(const std::vector<std::uint32_t>& pids, std::vector<OwnerPath>& paths) {
    return TheClient().Paths(pids, paths);
}

int HelperPid() { return TheClient().Pid(); }

OwnerGap OwnersGap(unsigned table) { return TheClient().Gap(table); }

bool HelperFullWalks(std::uint64_t& walks) { return TheClient().FullWalks(walks); }

}  // namespace owners

std::string OwnersIncompleteReason(unsigned table) {
    // Under another proc root the helper is never asked.
    if (std::string_view(ProcRootFromEnvironment()) != "/proc") return {};
    switch (owners::OwnersGap(table)) {
        case owners::OwnerGap::None: return {};
        case owners::OwnerGap::SearchCutShort:
            return "the owner helper stopped its search at its time limit (a process with very many descriptors, or "
                   "a busy machine)";
        case owners::OwnerGap::TableUnreadable: return "the owner helper could not read the socket table";
        case owners::OwnerGap::HelperFailed:
            return "the owner helper did not answer, so only the processes of this user were searched";
    }
    return {};
}
