// The owner helper: its messages, its answers on a fixture proc root, its
// loop on a connection, and the built helper run as a user would run it,
// with hostile input.
#include <arpa/inet.h>
#include <elf.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/capability.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "ChildOutput.h"
#include "OwnerProtocol.h"
#include "OwnerService.h"
#include "ProcAccess.h"
#include "ProcStatus.h"
#include "Sandbox.h"
#include "SocketTable.h"
#include "TempDir.h"

namespace fs = std::filesystem;
using namespace owners;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr auto kTimeLimit = std::chrono::seconds(20);

std::span<const std::uint8_t, kHeaderSize> HeaderOf(const Bytes& frame) {
    return std::span<const std::uint8_t, kHeaderSize>(frame.data(), kHeaderSize);
}
std::span<const std::uint8_t> PayloadOf(const Bytes& frame) {
    return std::span<const std::uint8_t>(frame.data() + kHeaderSize, frame.size() - kHeaderSize);
}

template <class T>
void Append(Bytes& bytes, T value) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    bytes.insert(bytes.end(), p, p + sizeof value);
}

Bytes Frame(std::uint8_t type, std::uint8_t table, std::uint32_t length, const Bytes& payload = {}) {
    Bytes f = {type, table, 0, 0};
    Append(f, length);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// A reply payload written by hand: the shortfall, pids, then (pid, length,
// name) records.
struct NameRecord {
    std::uint32_t pid;
    std::string name;
    int length = -1;  // the length byte, when it lies
};
Bytes ReplyPayload(const std::vector<std::uint32_t>& pids, const std::vector<NameRecord>& names,
                   std::uint32_t shortfall = 0) {
    Bytes p;
    Append(p, shortfall);
    Append(p, static_cast<std::uint32_t>(pids.size()));
    for (std::uint32_t pid : pids) Append(p, pid);
    Append(p, static_cast<std::uint32_t>(names.size()));
    for (const NameRecord& n : names) {
        Append(p, n.pid);
        Append(p, static_cast<std::uint8_t>(n.length >= 0 ? n.length : static_cast<int>(n.name.size())));
        p.insert(p.end(), n.name.begin(), n.name.end());
    }
    return p;
}

void Link(const fs::path& root, int pid, const std::string& name, const std::string& target) {
    const fs::path dir = root / std::to_string(pid) / (name == "exe" ? "" : "fd");
    fs::create_directories(dir);
    fs::create_symlink(target, dir / name);
}

std::string SocketLink(std::uint64_t inode) { return "socket:[" + std::to_string(inode) + "]"; }

// The socket inode of a descriptor of this process.
std::uint64_t InodeOf(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// A socket bound to a free port of the loopback address of `family`,
// listening when it is a stream; -1 when that cannot be made.
int LoopbackSocket(int family, int type) {
    const int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        length = sizeof *in6;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || (type == SOCK_STREAM && listen(fd, 4) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The service drops the capabilities it raises from the calling thread's
// effective set, also those this test process held effective before:
// they are given back when the object goes, for the tests that follow in
// the same process.
class CapabilitiesKept {
public:
    CapabilitiesKept() : m_caps(cap_get_proc()) {}
    ~CapabilitiesKept() {
        if (m_caps == nullptr) return;
        cap_set_proc(m_caps);
        cap_free(m_caps);
    }
    CapabilitiesKept(const CapabilitiesKept&) = delete;
    CapabilitiesKept& operator=(const CapabilitiesKept&) = delete;

private:
    cap_t m_caps;
};

// Sends all of `bytes` on a socket, then shuts its sending side down.
void SendThenShutdown(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
}

// In a forked child: becomes the built helper (or the copy at `path`) with
// `io` as its standard input and output and an empty environment, as the
// program starts it.
[[noreturn]] void ExecHelper(int io, const char* path = OWNER_HELPER) {
    dup2(io, 0);
    dup2(io, 1);
    char* argv[] = {const_cast<char*>(path), nullptr};
    char* envp[] = {nullptr};
    execve(path, argv, envp);
    _exit(127);
}

// ---------------------------------------------------------------------------
// Messages

TEST(OwnerProtocol, HeadersOutsideTheRulesDecodeToNothing) {
    struct Case {
        const char* what;
        Bytes header;
        bool valid;
    };
    Bytes reserved = Frame(2, 0, 4);
    reserved[3] = 1;
    const Case cases[] = {
        {"request", Frame(2, 0, 4), true},
        {"request for the last table", Frame(2, kTables - 1, 4), true},
        {"largest request", Frame(2, 0, static_cast<std::uint32_t>(OwnersRequestLength(kMaxInodes))), true},
        {"hello", Frame(1, 0, kHelloLength), true},
        {"type 0", Frame(0, 0, 4), false},
        {"stats request", Frame(4, 0, 0), true},
        {"stats request with a payload", Frame(4, 0, 1), false},
        {"stats reply", Frame(5, 0, kStatsLength), true},
        {"stats reply too long", Frame(5, 0, kStatsLength + 1), false},
        {"paths request", Frame(6, 0, 8), true},
        {"paths request one pid too long", Frame(6, 0, static_cast<std::uint32_t>(PathsRequestLength(kMaxPathPids) + 1)),
         false},
        {"paths reply", Frame(7, 0, 4), true},
        {"type 8", Frame(8, 0, 4), false},
        {"type 255", Frame(255, 0, 4), false},
        {"table out of range", Frame(2, kTables, 4), false},
        {"reserved byte set", reserved, false},
        {"request one inode too long", Frame(2, 0, static_cast<std::uint32_t>(OwnersRequestLength(kMaxInodes) + 1)), false},
        {"hello too long", Frame(1, 0, kHelloLength + 1), false},
        {"length 4 GiB", Frame(2, 0, 0xFFFFFFFFu), false},
    };
    for (const Case& c : cases) EXPECT_EQ(DecodeHeader(HeaderOf(c.header)).has_value(), c.valid) << c.what;
}

// Paths: the request's pids; a reply may name only pids asked for, once,
// with paths that are absolute, without NUL and not too long.
TEST(OwnerProtocol, PathsRoundTripAndRepliesKeepToTheRules) {
    const std::uint32_t asked[] = {10, 20};
    const Bytes request = EncodePathsRequest(asked);
    const auto decoded = DecodePathsRequest(PayloadOf(request));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->pids, (std::vector<std::uint32_t>{10, 20}));
    EXPECT_FALSE(DecodePathsRequest(PayloadOf(EncodePathsRequest(std::vector<std::uint32_t>{0}))))
        << "pid 0 is no process";
    Bytes shortRequest = request;
    shortRequest.pop_back();
    EXPECT_FALSE(DecodePathsRequest(PayloadOf(shortRequest)));

    const auto reply = [](std::vector<OwnerPath> paths) { return EncodePathsReply(PathsReply{std::move(paths)}); };
    const auto good = DecodePathsReply(PayloadOf(reply({{20, 1, 2, "/usr/bin/x"}, {10, 0, 0, ""}})), asked);
    ASSERT_TRUE(good);
    ASSERT_EQ(good->paths.size(), 2u);
    EXPECT_EQ(good->paths[0].path, "/usr/bin/x");
    EXPECT_EQ(good->paths[0].netNamespace, 1u);
    EXPECT_EQ(good->paths[0].pidNamespace, 2u);
    // A path that breaks the rules is sent empty.
    const auto relative = DecodePathsReply(PayloadOf(reply({{10, 0, 0, "usr/bin/x"}})), asked);
    ASSERT_TRUE(relative);
    EXPECT_EQ(relative->paths[0].path, "");
    EXPECT_FALSE(DecodePathsReply(PayloadOf(reply({{30, 0, 0, "/x"}})), asked)) << "a pid not asked for";
    EXPECT_FALSE(DecodePathsReply(PayloadOf(reply({{10, 0, 0, "/x"}, {10, 0, 0, "/y"}})), asked)) << "twice";
    // Hand-made: a NUL in the path, a length past the payload.
    Bytes nul = reply({{10, 0, 0, "/ab"}});
    nul[nul.size() - 2] = 0;
    EXPECT_FALSE(DecodePathsReply(PayloadOf(nul), asked));
    Bytes cut = reply({{10, 0, 0, "/ab"}});
    cut.pop_back();
    EXPECT_FALSE(DecodePathsReply(PayloadOf(cut), asked));
}

TEST(OwnerProtocol, RequestsRoundTripAndCountsMustMatchTheLength) {
    OwnersRequest request;
    request.table = 3;
    request.inodes = {1, 0, 0xFFFFFFFFFFFFFFFFull, 5678};
    const Bytes frame = EncodeOwnersRequest(request);
    const auto header = DecodeHeader(HeaderOf(frame));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, MessageType::OwnersRequest);
    EXPECT_EQ(header->length, frame.size() - kHeaderSize);
    const auto decoded = DecodeOwnersRequest(header->table, PayloadOf(frame));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->table, 3);
    EXPECT_EQ(decoded->inodes, request.inodes);

    struct Case {
        const char* what;
        std::uint32_t count;
        std::size_t inodes;
    };
    const Case bad[] = {
        {"count over the inodes", 3, 2},
        {"count under the inodes", 1, 2},
        {"count past the bound", kMaxInodes + 1, 0},
        {"count 2^32-1 with nothing after it", 0xFFFFFFFFu, 0},
    };
    for (const Case& c : bad) {
        Bytes payload;
        Append(payload, c.count);
        for (std::size_t i = 0; i < c.inodes; ++i) Append(payload, std::uint64_t{i + 1});
        EXPECT_FALSE(DecodeOwnersRequest(0, payload)) << c.what;
    }
    EXPECT_FALSE(DecodeOwnersRequest(0, Bytes{1, 0})) << "count cut short";
    EXPECT_FALSE(DecodeOwnersRequest(kTables, PayloadOf(frame))) << "table out of range";
    EXPECT_TRUE(DecodeOwnersRequest(0, Bytes{0, 0, 0, 0})) << "an empty table is a request";
}

TEST(OwnerProtocol, RepliesNameOnlyTheirOwnersWithPlainFileNames) {
    OwnersReply reply;
    reply.pids = {0, 1234, 1234, 77};
    reply.names = {{1234, "sshd"}, {77, "d\xc3\xa9mon"}, {77, "a/b"}, {0, "kernel"}, {78, ""}};
    const Bytes frame = EncodeOwnersReply(reply);
    const auto decoded = DecodeOwnersReply(PayloadOf(frame), 4);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->pids, reply.pids);
    ASSERT_EQ(decoded->names.size(), 2u) << "names that break the rules are not sent";
    EXPECT_EQ(decoded->names[0].name, "sshd");
    EXPECT_EQ(decoded->names[1].name, "d\xc3\xa9mon");
    EXPECT_FALSE(DecodeOwnersReply(PayloadOf(frame), 3)) << "a reply for another number of rows";

    const std::string longest(kMaxNameLength, 'x');
    struct Case {
        const char* what;
        Bytes payload;
        bool valid;
    };
    Bytes trailing = ReplyPayload({5}, {});
    trailing.push_back(0);
    const Case cases[] = {
        {"no names", ReplyPayload({5, 0}, {}), true},
        {"longest name", ReplyPayload({5, 0}, {{5, longest}}), true},
        {"name of a pid not in the reply", ReplyPayload({5, 0}, {{6, "x"}}), false},
        {"name of pid 0", ReplyPayload({5, 0}, {{0, "x"}}), false},
        {"two names for one pid", ReplyPayload({5, 0}, {{5, "x"}, {5, "y"}}), false},
        {"empty name", ReplyPayload({5, 0}, {{5, ""}}), false},
        {"name with a slash", ReplyPayload({5, 0}, {{5, "../x"}}), false},
        {"name with a NUL", ReplyPayload({5, 0}, {{5, std::string("a\0b", 3)}}), false},
        {"name length past the end", ReplyPayload({5, 0}, {{5, "abc", 200}}), false},
        {"more names than rows", ReplyPayload({5, 0}, {{5, "a"}, {0, "b"}, {0, "c"}}), false},
        {"bytes after the last name", trailing, false},
        {"pids cut short", Bytes{0, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0}, false},
        {"search cut short", ReplyPayload({5, 0}, {{5, "x"}}, 1), true},
        {"socket table unreadable", ReplyPayload({5, 0}, {}, 2), true},
        {"a shortfall not known", ReplyPayload({5, 0}, {}, 3), false},
        {"shortfall cut short", Bytes{0, 0}, false},
    };
    for (const Case& c : cases) {
        const std::size_t rows = c.payload.size() >= 8 ? c.payload[4] : 0;
        EXPECT_EQ(DecodeOwnersReply(c.payload, rows).has_value(), c.valid) << c.what;
    }
    reply.shortfall = Shortfall::SearchCutShort;
    const auto cut = DecodeOwnersReply(PayloadOf(EncodeOwnersReply(reply)), 4);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->shortfall, Shortfall::SearchCutShort);
}

TEST(OwnerProtocol, HelloCarriesTheMagicAndVersion) {
    const Bytes frame = EncodeHello(Hello{kVersion, kMayReadEveryProcess});
    ASSERT_EQ(frame.size(), kHeaderSize + kHelloLength);
    const auto hello = DecodeHello(PayloadOf(frame));
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->version, kVersion);
    EXPECT_EQ(hello->flags, kMayReadEveryProcess);
    Bytes wrongMagic(PayloadOf(frame).begin(), PayloadOf(frame).end());
    wrongMagic[0] ^= 1;
    EXPECT_FALSE(DecodeHello(wrongMagic));
    EXPECT_FALSE(DecodeHello(std::span<const std::uint8_t>(PayloadOf(frame).data(), kHelloLength - 1)));
}

TEST(OwnerProtocol, StatsCarryTheCountOfWalks) {
    EXPECT_EQ(EncodeStatsRequest(), Frame(4, 0, 0));
    const Bytes frame = EncodeStats(Stats{0x0102030405060708ull});
    ASSERT_EQ(frame.size(), kHeaderSize + kStatsLength);
    const auto header = DecodeHeader(HeaderOf(frame));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, MessageType::StatsReply);
    const auto stats = DecodeStats(PayloadOf(frame));
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->fullWalks, 0x0102030405060708ull);
    Bytes longer(PayloadOf(frame).begin(), PayloadOf(frame).end());
    longer.push_back(0);
    EXPECT_FALSE(DecodeStats(longer));
    EXPECT_FALSE(DecodeStats(std::span<const std::uint8_t>(PayloadOf(frame).data(), kStatsLength - 1)));
}

// Mutated frames of every type through every decoder: the sanitizer build
// catches any read outside the bytes given.
TEST(OwnerProtocol, MutatedFramesNeverReadOutsideTheirBytes) {
    OwnersRequest request;
    request.inodes = {1, 2, 3, 4};
    OwnersReply reply;
    reply.pids = {9, 0, 9, 12};
    reply.names = {{9, "nine"}, {12, "twelve"}};
    const Bytes seeds[] = {EncodeOwnersRequest(request), EncodeOwnersReply(reply), EncodeHello(Hello{}),
                           EncodeStats(Stats{77})};
    std::mt19937 random(20261210);
    int decoded = 0;
    for (int i = 0; i < 60000; ++i) {
        Bytes frame = seeds[i % 4];
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            switch (random() % 4) {
                case 0: frame[random() % frame.size()] = static_cast<std::uint8_t>(random()); break;
                case 1: frame.resize(kHeaderSize + random() % (frame.size() - kHeaderSize + 1)); break;
                case 2: frame.push_back(static_cast<std::uint8_t>(random())); break;
                case 3: frame[kHeaderSize + random() % std::min<std::size_t>(4, frame.size() - kHeaderSize)] = 0xFF; break;
            }
            if (frame.size() <= kHeaderSize) frame.resize(kHeaderSize + 1, 0);
        }
        // Payloads go to the decoders as exact-size heap blocks, so that a
        // read one byte past the end is caught.
        const Bytes payload(PayloadOf(frame).begin(), PayloadOf(frame).end());
        if (DecodeHeader(HeaderOf(frame))) ++decoded;
        if (DecodeOwnersRequest(frame[1] % kTables, payload)) ++decoded;
        if (DecodeOwnersReply(payload, 4)) ++decoded;
        if (DecodeHello(payload)) ++decoded;
        if (DecodeStats(payload)) ++decoded;
    }
    EXPECT_GT(decoded, 0);
}

// ---------------------------------------------------------------------------
// The service on a fixture proc root:
//   1234: exe -> /usr/sbin/sshd, fd 3 -> socket:[5678], fd 4 -> pipe:[42]
//   2000: exe -> /opt/app/daemon (deleted), fd 5 -> socket:[7000], fd 6 -> socket:[7001]
//   3000: exe -> /usr/bin/cat, fd 0 -> /etc/passwd (holds no socket)
//   4000: no exe link, fd 1 -> socket:[8000]
class OwnerServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        Link(Root(), 1234, "exe", "/usr/sbin/sshd");
        Link(Root(), 1234, "3", SocketLink(5678));
        Link(Root(), 1234, "4", "pipe:[42]");
        Link(Root(), 2000, "exe", "/opt/app/daemon (deleted)");
        Link(Root(), 2000, "5", SocketLink(7000));
        Link(Root(), 2000, "6", SocketLink(7001));
        Link(Root(), 3000, "exe", "/usr/bin/cat");
        Link(Root(), 3000, "0", "/etc/passwd");
        Link(Root(), 4000, "1", SocketLink(8000));
    }
    const fs::path& Root() const { return m_dir.Path(); }

    // The fixture's sockets, in every table.
    static SocketInventory FixtureSockets(std::vector<std::uint64_t> sockets = {5678, 7000, 7001, 8000}) {
        return [sockets](unsigned table, std::chrono::steady_clock::time_point, std::vector<std::uint64_t>& inodes) {
            inodes = sockets;
            return table < 4;
        };
    }

    CapabilitiesKept m_caps;
    TempDir m_dir{"tessaline-owners-"};
};

TEST_F(OwnerServiceTest, AnswersPidsInOrderAndNamesOnlyTheOwnersFound) {
    OwnerService service(Root(), FixtureSockets());
    const OwnersReply reply = service.Answer(OwnersRequest{0, {7000, 5678, 0, 42, 7001, 8000, 9999}});
    EXPECT_EQ(reply.pids, (std::vector<std::uint32_t>{2000, 1234, 0, 0, 2000, 4000, 0}))
        << "a pipe's inode and an unknown inode have no owner";
    std::map<std::uint32_t, std::string> names;
    for (const OwnerName& n : reply.names) names[n.pid] = n.name;
    EXPECT_EQ(names, (std::map<std::uint32_t, std::string>{{1234, "sshd"}, {2000, "daemon"}}))
        << "a process without an exe link has no name; 3000 owns no socket of the request and stays unnamed";

    // A request for another table forgets nothing of this one's.
    EXPECT_EQ(service.Answer(OwnersRequest{1, {8000}}).pids, (std::vector<std::uint32_t>{4000}));
    EXPECT_EQ(service.Answer(OwnersRequest{0, {5678}}).pids, (std::vector<std::uint32_t>{1234}));
    EXPECT_EQ(service.GetStats().fullWalks, 1u);

    // Paths only for the owners of the latest answer of each table: 1234
    // (table 0) and 4000 (table 1), not 2000, whose sockets table 0 no
    // longer asked for, nor 3000, which owns none.
    const PathsReply paths = service.AnswerPaths(PathsRequest{{1234, 2000, 3000, 4000, 1234}});
    std::map<std::uint32_t, std::string> told;
    for (const OwnerPath& p : paths.paths) told[p.pid] = p.path;
    EXPECT_EQ(told, (std::map<std::uint32_t, std::string>{{1234, "/usr/sbin/sshd"}, {4000, ""}}));
}

// The tables of a refresh, TCP, UDP, TCP6 and UDP6, one request each: the
// walk made for the first serves the others, whose sockets it met.
TEST_F(OwnerServiceTest, OneWalkAnswersTheFourTablesOfARefresh) {
    OwnerService service(Root(), FixtureSockets());
    for (int refresh = 0; refresh < 3; ++refresh) {
        EXPECT_EQ(service.Answer(OwnersRequest{0, {5678}}).pids, (std::vector<std::uint32_t>{1234}));
        EXPECT_EQ(service.Answer(OwnersRequest{1, {7000}}).pids, (std::vector<std::uint32_t>{2000}));
        EXPECT_EQ(service.Answer(OwnersRequest{2, {7001, 0}}).pids, (std::vector<std::uint32_t>{2000, 0}));
        const OwnersReply udp6 = service.Answer(OwnersRequest{3, {8000}});
        EXPECT_EQ(udp6.pids, (std::vector<std::uint32_t>{4000}));
        EXPECT_TRUE(udp6.names.empty()) << "4000 has no exe link";
        EXPECT_EQ(service.GetStats().fullWalks, 1u) << "refresh " << refresh;
    }
}

// Serve on one end of a socket pair, the test on the other, with the
// service's end closed when the test is done writing.
struct Served {
    ServeEnd end = ServeEnd::Failed;
    Bytes output;
};
Served ServeInput(OwnerService& service, const Bytes& input) {
    int ends[2];
    Served served;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return served;
    std::thread writer(SendThenShutdown, ends[1], std::cref(input));
    std::thread reader([&] {
        std::uint8_t buf[4096];
        for (ssize_t n; (n = read(ends[1], buf, sizeof buf)) > 0;) served.output.insert(served.output.end(), buf, buf + n);
    });
    served.end = Serve(ends[0], ends[0], service, 0);
    shutdown(ends[0], SHUT_RDWR);
    writer.join();
    reader.join();
    close(ends[0]);
    close(ends[1]);
    return served;
}

TEST_F(OwnerServiceTest, ServesRequestsInOrderAndEndsOnTheFirstBrokenFrame) {
    OwnerService service(Root(), FixtureSockets());
    const Bytes first = EncodeOwnersRequest(OwnersRequest{0, {5678}});
    const Bytes second = EncodeOwnersRequest(OwnersRequest{1, {7000, 0}});
    Bytes twoRequests = first;
    twoRequests.insert(twoRequests.end(), second.begin(), second.end());

    const Served ok = ServeInput(service, twoRequests);
    EXPECT_EQ(ok.end, ServeEnd::Closed);
    ASSERT_GE(ok.output.size(), kHeaderSize + kHelloLength);
    EXPECT_TRUE(DecodeHello(std::span<const std::uint8_t>(ok.output.data() + kHeaderSize, kHelloLength)));
    // Two replies follow the hello, for one row and two.
    std::size_t offset = kHeaderSize + kHelloLength;
    for (std::size_t rows : {1u, 2u}) {
        ASSERT_GE(ok.output.size(), offset + kHeaderSize);
        const auto header = DecodeHeader(std::span<const std::uint8_t, kHeaderSize>(ok.output.data() + offset, kHeaderSize));
        ASSERT_TRUE(header);
        ASSERT_GE(ok.output.size(), offset + kHeaderSize + header->length);
        const auto reply = DecodeOwnersReply(
            std::span<const std::uint8_t>(ok.output.data() + offset + kHeaderSize, header->length), rows);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->pids.front(), rows == 1 ? 1234u : 2000u);
        offset += kHeaderSize + header->length;
    }
    EXPECT_EQ(offset, ok.output.size());

    // Each broken input ends the loop as malformed after the hello and the
    // replies to the whole frames before it.
    Bytes cutPayload = first;
    cutPayload.pop_back();
    Bytes lyingCount = first;
    lyingCount[kHeaderSize] = 2;
    Bytes afterGood = first;
    afterGood.push_back(7);
    struct Case {
        const char* what;
        Bytes input;
        std::size_t replies;
    };
    const Case cases[] = {
        {"header cut short", Bytes{2, 0, 0}, 0},
        {"payload cut short", cutPayload, 0},
        {"count that lies about the length", lyingCount, 0},
        {"a reply sent as a request", EncodeOwnersReply(OwnersReply{}), 0},
        {"a hello sent as a request", EncodeHello(Hello{}), 0},
        {"a stats reply sent as a request", EncodeStats(Stats{}), 0},
        {"a stats request with a payload", Frame(4, 0, 1, {0}), 0},
        {"length over the bound", Frame(2, 0, 0xFFFFFFF0u), 0},
        {"a stray byte after a whole request", afterGood, 1},
    };
    for (const Case& c : cases) {
        const Served broken = ServeInput(service, c.input);
        EXPECT_EQ(broken.end, ServeEnd::Malformed) << c.what;
        std::size_t replies = 0;
        for (std::size_t at = kHeaderSize + kHelloLength; at + kHeaderSize <= broken.output.size(); ++replies) {
            std::uint32_t length = 0;
            std::memcpy(&length, broken.output.data() + at + 4, 4);
            at += kHeaderSize + length;
        }
        EXPECT_EQ(replies, c.replies) << c.what;
    }
    EXPECT_EQ(ServeInput(service, {}).end, ServeEnd::Closed) << "no request at all";
}

// The hello offers the count of walks and the paths; Stats and Paths
// requests between Owners requests are answered in their turn, the paths
// for the owners found so far alone.
TEST_F(OwnerServiceTest, StatsAndPathsRequestsAreAnsweredInTurn) {
    OwnerService service(Root(), FixtureSockets());
    Bytes input;
    const std::uint32_t asked[] = {1234, 2000};
    for (const Bytes& frame : {EncodeOwnersRequest(OwnersRequest{0, {5678}}), EncodeStatsRequest(),
                               EncodePathsRequest(asked), EncodeOwnersRequest(OwnersRequest{2, {7001}}),
                               EncodeStatsRequest()})
        input.insert(input.end(), frame.begin(), frame.end());
    const Served served = ServeInput(service, input);
    EXPECT_EQ(served.end, ServeEnd::Closed);
    ASSERT_GE(served.output.size(), kHeaderSize + kHelloLength);
    const auto hello = DecodeHello(std::span<const std::uint8_t>(served.output.data() + kHeaderSize, kHelloLength));
    ASSERT_TRUE(hello);
    EXPECT_NE(hello->flags & kAnswersStats, 0);
    EXPECT_NE(hello->flags & kAnswersPaths, 0);
    std::vector<std::string> frames;
    for (std::size_t at = kHeaderSize + kHelloLength; at + kHeaderSize <= served.output.size();) {
        const auto header = DecodeHeader(std::span<const std::uint8_t, kHeaderSize>(served.output.data() + at, kHeaderSize));
        ASSERT_TRUE(header);
        ASSERT_LE(at + kHeaderSize + header->length, served.output.size());
        const std::span<const std::uint8_t> payload(served.output.data() + at + kHeaderSize, header->length);
        if (header->type == MessageType::StatsReply) {
            const auto stats = DecodeStats(payload);
            frames.push_back(stats ? "walks " + std::to_string(stats->fullWalks) : "bad stats");
        } else if (header->type == MessageType::PathsReply) {
            const auto paths = DecodePathsReply(payload, asked);
            std::string told = paths ? "paths" : "bad paths";
            if (paths)
                for (const OwnerPath& p : paths->paths) told += " " + std::to_string(p.pid) + " " + p.path;
            frames.push_back(told);
        } else {
            const auto reply = DecodeOwnersReply(payload, 1);
            frames.push_back(reply ? "pid " + std::to_string(reply->pids[0]) : "bad reply");
        }
        at += kHeaderSize + header->length;
    }
    EXPECT_EQ(frames, (std::vector<std::string>{"pid 1234", "walks 1", "paths 1234 /usr/sbin/sshd", "pid 2000",
                                                "walks 1"}));
}

// Random byte streams and mutated requests through the loop: it ends every
// time, and never with anything but a clean close or a malformed frame.
TEST_F(OwnerServiceTest, ShortFuzzOfTheLoopAlwaysEnds) {
    OwnerService service(Root(), FixtureSockets());
    std::mt19937 random(42);
    const Bytes seed = EncodeOwnersRequest(OwnersRequest{2, {5678, 7000, 1}});
    for (int i = 0; i < 1500; ++i) {
        Bytes input = seed;
        if (i % 2 == 0) {
            for (int e = 0; e < 3; ++e) input[random() % input.size()] = static_cast<std::uint8_t>(random());
        } else {
            input.resize(random() % 40);
            for (std::uint8_t& b : input) b = static_cast<std::uint8_t>(random());
        }
        const ServeEnd end = ServeInput(service, input).end;
        ASSERT_TRUE(end == ServeEnd::Closed || end == ServeEnd::Malformed) << "input " << i;
    }
}

// Only sockets the request's table holds in the caller's namespace get an
// owner: here table 0 holds 5678 alone, so 7000 (held by 2000, but of
// another namespace or table) and the pipe's inode are answered without
// one, and 2000 is not named.  A table that cannot be read names nobody,
// and the reply says so.
TEST_F(OwnerServiceTest, AnswersOnlyForTheSocketsOfTheRequestsTable) {
    OwnerService service(Root(),
                         [](unsigned table, std::chrono::steady_clock::time_point, std::vector<std::uint64_t>& inodes) {
                             if (table == 0) inodes = {5678};
                             if (table == 1) inodes = {7000, 7001};
                             return table < 2;
                         });
    const OwnersReply tcp = service.Answer(OwnersRequest{0, {5678, 7000, 42}});
    EXPECT_EQ(tcp.pids, (std::vector<std::uint32_t>{1234, 0, 0}));
    ASSERT_EQ(tcp.names.size(), 1u);
    EXPECT_EQ(tcp.names[0].pid, 1234u);
    EXPECT_EQ(tcp.shortfall, Shortfall::None);
    EXPECT_EQ(service.Answer(OwnersRequest{1, {7001, 5678}}).pids, (std::vector<std::uint32_t>{2000, 0}));
    const OwnersReply unreadable = service.Answer(OwnersRequest{2, {7001, 5678}});
    EXPECT_EQ(unreadable.pids, (std::vector<std::uint32_t>{0, 0}));
    EXPECT_TRUE(unreadable.names.empty());
    EXPECT_EQ(unreadable.shortfall, Shortfall::TableUnreadable);
}

// Paths are told only while the process still holds a socket it was found
// with: once 1234's descriptor names another socket (the socket closed, or
// the pid went to another process), 1234 is answered with nothing.
TEST_F(OwnerServiceTest, PathsOnlyWhileTheProcessStillHoldsItsSocket) {
    OwnerService service(Root(), FixtureSockets());
    EXPECT_EQ(service.Answer(OwnersRequest{0, {5678, 7000}}).pids, (std::vector<std::uint32_t>{1234, 2000}));
    fs::remove(Root() / "1234" / "fd" / "3");
    fs::create_symlink(SocketLink(9999), Root() / "1234" / "fd" / "3");
    const PathsReply paths = service.AnswerPaths(PathsRequest{{1234, 2000}});
    ASSERT_EQ(paths.paths.size(), 1u);
    EXPECT_EQ(paths.paths[0].pid, 2000u);
    EXPECT_EQ(paths.paths[0].path, "/opt/app/daemon (deleted)");
}

// Under hidepid, another user's process is named only for a caller in the
// mount's gid= group or with privilege of its own; the caller's own always.
// The fixture's processes: 1234 the caller's (uid 1000), 2000 another
// user's, 4000 root's.
TEST_F(OwnerServiceTest, NamesOnlyTheProcessesTheCallerMaySee) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the fixture's processes their users";
    ASSERT_EQ(chown((Root() / "1234").c_str(), 1000, 1000), 0);
    ASSERT_EQ(chown((Root() / "2000").c_str(), 2000, 2000), 0);
    struct Case {
        const char* what;
        ProcMount mount;
        Caller caller;
        std::vector<std::uint32_t> pids;
    };
    const Caller user{1000, {1000, 24}, false};
    const Case cases[] = {
        {"hidepid off", {0, false, 0}, user, {1234, 2000, 4000}},
        {"noaccess", {1, false, 0}, user, {1234, 0, 0}},
        {"invisible", {2, false, 0}, user, {1234, 0, 0}},
        {"ptraceable", {4, false, 0}, user, {1234, 0, 0}},
        {"invisible, gid= a group of the caller", {2, true, 24}, user, {1234, 2000, 4000}},
        {"invisible, gid= another group", {2, true, 25}, user, {1234, 0, 0}},
        {"invisible, a caller that may read every process", {2, false, 0}, {1000, {1000}, true}, {1234, 2000, 4000}},
    };
    for (const Case& c : cases) {
        OwnerService service(Root(), FixtureSockets(), ProcAccess{c.mount, c.caller});
        const OwnersReply reply = service.Answer(OwnersRequest{0, {5678, 7000, 8000}});
        EXPECT_EQ(reply.pids, c.pids) << c.what;
        std::vector<std::uint32_t> named, told;
        for (const OwnerName& n : reply.names) named.push_back(n.pid);
        for (const OwnerPath& p : service.AnswerPaths(PathsRequest{{1234, 2000, 4000}}).paths) told.push_back(p.pid);
        std::vector<std::uint32_t> shown;
        for (std::uint32_t pid : c.pids)
            if (pid != 0) shown.push_back(pid);
        EXPECT_EQ(told, shown) << c.what;
        shown.erase(std::remove(shown.begin(), shown.end(), 4000u), shown.end());  // no exe link
        std::sort(named.begin(), named.end());
        EXPECT_EQ(named, shown) << c.what;
    }
}

// The options of the proc mount the helper uses, from mountinfo lines: by
// its device, of type proc, the super options after the separator.
TEST(ProcMountOptions, ReadFromTheLineOfTheProcsDevice) {
    const std::string other = "25 1 0:5 / /dev rw - devtmpfs udev rw,hidepid=invisible\n";
    const std::string plain = "30 25 0:22 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n";
    struct Case {
        const char* what;
        std::string text;
        std::optional<unsigned> hidePid;  // nothing: no line found
        std::optional<gid_t> gid;
    };
    const Case cases[] = {
        {"hidepid off", plain, 0, std::nullopt},
        {"invisible with gid", "30 25 0:22 / /proc rw shared:12 - proc proc rw,hidepid=invisible,gid=4242\n", 2, 4242},
        {"the number form", "30 25 0:22 / /proc rw - proc proc rw,gid=7,hidepid=2\n", 2, 7},
        {"noaccess", "30 25 0:22 / /proc rw - proc proc rw,hidepid=1\n", 1, std::nullopt},
        {"ptraceable", "30 25 0:22 / /proc rw - proc proc rw,hidepid=ptraceable\n", 4, std::nullopt},
        {"a value not known hides", "30 25 0:22 / /proc rw - proc proc rw,hidepid=sometimes\n", 2, std::nullopt},
        {"a gid that does not parse", "30 25 0:22 / /proc rw - proc proc rw,hidepid=2,gid=x\n", 2, std::nullopt},
        {"the last line of the device", plain + "31 25 0:22 / /proc rw - proc proc rw,hidepid=2\n", 2, std::nullopt},
        {"another device only", other, std::nullopt, std::nullopt},
        {"the device, not of type proc", "30 25 0:22 / /proc rw - tmpfs tmpfs rw\n", std::nullopt, std::nullopt},
        {"no separator", "30 25 0:22 / /proc rw proc proc rw,hidepid=0\n", std::nullopt, std::nullopt},
        {"cut after the type", "30 25 0:22 / /proc rw - proc\n", std::nullopt, std::nullopt},
        {"a device of another minor", "30 25 0:220 / /proc rw - proc proc rw\n", std::nullopt, std::nullopt},
        {"empty", "", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<ProcMount> mount = ProcMountOf(c.text, 0, 22);
        ASSERT_EQ(mount.has_value(), c.hidePid.has_value()) << c.what;
        if (!mount) continue;
        EXPECT_EQ(mount->hidePid, *c.hidePid) << c.what;
        EXPECT_EQ(mount->hasGid, c.gid.has_value()) << c.what;
        if (c.gid) {
            EXPECT_EQ(mount->gid, *c.gid) << c.what;
        }
    }
}

// A sock_diag buffer as the kernel would send it: messages of (type,
// sequence number, family, inode), or a raw length to lie with.
Bytes DiagBuffer(const std::vector<std::tuple<std::uint16_t, std::uint32_t, std::uint8_t, std::uint32_t>>& messages) {
    Bytes out;
    for (const auto& [type, seq, family, inode] : messages) {
        nlmsghdr header{};
        header.nlmsg_type = type;
        header.nlmsg_seq = seq;
        inet_diag_msg msg{};
        msg.idiag_family = family;
        msg.idiag_inode = inode;
        const bool record = type == SOCK_DIAG_BY_FAMILY;
        header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + (record ? sizeof msg : 4));
        const std::size_t at = out.size();
        out.resize(at + NLMSG_ALIGN(header.nlmsg_len), 0);
        std::memcpy(out.data() + at, &header, sizeof header);
        if (record) std::memcpy(out.data() + at + NLMSG_HDRLEN, &msg, sizeof msg);
    }
    return out;
}

// The socket table's decoder takes only its own dump's sockets of its
// family, and stops on anything that breaks the format.
TEST(SocketTableDecoder, TakesTheInodesOfItsDumpAndRefusesBrokenBuffers) {
    constexpr std::uint32_t seq = 77;
    std::vector<std::uint64_t> inodes;
    const Bytes good = DiagBuffer({{SOCK_DIAG_BY_FAMILY, seq, AF_INET, 10},
                                   {SOCK_DIAG_BY_FAMILY, seq + 1, AF_INET, 11},  // another dump's
                                   {SOCK_DIAG_BY_FAMILY, seq, AF_INET6, 12},     // another family
                                   {SOCK_DIAG_BY_FAMILY, seq, AF_INET, 0},       // TIME_WAIT
                                   {SOCK_DIAG_BY_FAMILY, seq, AF_INET, 13}});
    EXPECT_EQ(DecodeTableBuffer(good.data(), good.size(), seq, AF_INET, inodes), 0);
    EXPECT_EQ(inodes, (std::vector<std::uint64_t>{10, 13}));
    const Bytes done = DiagBuffer({{SOCK_DIAG_BY_FAMILY, seq, AF_INET, 14}, {NLMSG_DONE, seq, 0, 0}});
    EXPECT_EQ(DecodeTableBuffer(done.data(), done.size(), seq, AF_INET, inodes), 1);
    EXPECT_EQ(inodes.back(), 14u);

    Bytes tooLong = good;
    const std::uint32_t past = static_cast<std::uint32_t>(good.size() + 1);
    std::memcpy(tooLong.data(), &past, sizeof past);
    Bytes tooShort = good;
    const std::uint32_t shortLength = 8;
    std::memcpy(tooShort.data(), &shortLength, sizeof shortLength);
    Bytes shortRecord = DiagBuffer({{SOCK_DIAG_BY_FAMILY, seq, AF_INET, 15}});
    const std::uint32_t headerOnly = NLMSG_HDRLEN + 8;
    std::memcpy(shortRecord.data(), &headerOnly, sizeof headerOnly);
    shortRecord.resize(headerOnly);
    struct Case {
        const char* what;
        Bytes buffer;
        int state;
        std::size_t taken;
    };
    const Case cases[] = {
        {"an error message", DiagBuffer({{NLMSG_ERROR, seq, 0, 0}}), -1, 0},
        {"another dump's error and end", DiagBuffer({{NLMSG_ERROR, seq + 1, 0, 0}, {NLMSG_DONE, seq + 1, 0, 0}}), 0, 0},
        {"a length past the buffer", tooLong, -1, 0},
        {"a length shorter than a header", tooShort, -1, 0},
        {"a record shorter than its type", shortRecord, 0, 0},
        {"half a header", Bytes(10, 0), 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint64_t> taken;
        EXPECT_EQ(DecodeTableBuffer(c.buffer.data(), c.buffer.size(), seq, AF_INET, taken), c.state) << c.what;
        EXPECT_EQ(taken.size(), c.taken) << c.what;
    }
    // Mutated buffers as exact-size heap blocks: the sanitizer build
    // catches any read past them.
    std::mt19937 random(9);
    for (int i = 0; i < 20000; ++i) {
        Bytes buffer = good;
        for (int e = 0; e < 3; ++e) buffer[random() % buffer.size()] = static_cast<std::uint8_t>(random());
        buffer.resize(random() % (buffer.size() + 1));
        const Bytes exact(buffer.begin(), buffer.end());
        std::vector<std::uint64_t> taken;
        DecodeTableBuffer(exact.data(), exact.size(), seq, AF_INET, taken);
    }
}

// The live table of this namespace, read as the helper reads it: a
// listener of this process is in the TCP table and not in the UDP one.
TEST(SocketTableLive, HoldsTheSocketsOfThisNamespace) {
    const int listener = LoopbackSocket(AF_INET, SOCK_STREAM);
    ASSERT_GE(listener, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::vector<std::uint64_t> tcp, udp, none;
    ASSERT_TRUE(ReadTableSockets(0, deadline, tcp));
    ASSERT_TRUE(ReadTableSockets(1, deadline, udp));
    EXPECT_FALSE(ReadTableSockets(4, deadline, none)) << "table 4 names no socket table";
    EXPECT_TRUE(std::binary_search(tcp.begin(), tcp.end(), InodeOf(listener)));
    EXPECT_FALSE(std::binary_search(udp.begin(), udp.end(), InodeOf(listener)));
    EXPECT_TRUE(std::is_sorted(tcp.begin(), tcp.end()));
    close(listener);
}

// A process with very many descriptors holds the socket asked for at its
// last one: a search with a budget too short to get there stops, answers
// what it found and says it is incomplete; asked again with time enough it
// finds the owner (the socket was not taken for ownerless).
TEST(OwnerServiceLive, ASearchPastItsBudgetAnswersWhatItFoundAndSaysSo) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 20000);
    if (limit.rlim_cur < 16000 || setrlimit(RLIMIT_NOFILE, &limit) != 0)
        GTEST_SKIP() << "cannot hold 16,000 descriptors";
    const int many = LoopbackSocket(AF_INET, SOCK_DGRAM);
    ASSERT_GE(many, 0);
    std::vector<int> copies;
    for (int i = 0; i < 15000; ++i) {
        const int copy = fcntl(many, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) break;
        copies.push_back(copy);
    }
    const int last = LoopbackSocket(AF_INET, SOCK_DGRAM);
    const CapabilitiesKept caps;
    // The table as the helper takes it, with time enough whatever the
    // service's budget.
    const SocketInventory table = [](unsigned t, std::chrono::steady_clock::time_point,
                                     std::vector<std::uint64_t>& inodes) {
        return ReadTableSockets(t, std::chrono::steady_clock::now() + std::chrono::seconds(5), inodes);
    };
    const OwnersRequest request{1, {InodeOf(last)}};
    OwnerService hurried("/proc", table, {}, std::chrono::milliseconds(1));
    const OwnersReply cut = hurried.Answer(request);
    OwnerService patient("/proc", table);
    const OwnersReply whole = patient.Answer(request);
    // The owner index under both: a socket its stopped walk did not reach
    // is looked for again at the next request for its table.
    provider::SocketOwnerIndex index;
    std::vector<provider::SocketRow> rows(1);
    rows[0].inode = InodeOf(last);
    const std::unordered_set<std::uint64_t> live = {rows[0].inode};
    index.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
    index.Resolve("/proc", 1, rows, live);
    const std::uint32_t stoppedPid = rows[0].pid;
    const bool stoppedComplete = index.LastComplete();
    index.SetDeadline(std::chrono::steady_clock::time_point::max());
    index.Resolve("/proc", 1, rows, live);
    for (int fd : copies) close(fd);
    close(many);
    close(last);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_EQ(copies.size(), 15000u);
    EXPECT_EQ(cut.shortfall, Shortfall::SearchCutShort);
    EXPECT_EQ(cut.pids, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(whole.shortfall, Shortfall::None);
    EXPECT_EQ(whole.pids, (std::vector<std::uint32_t>{static_cast<std::uint32_t>(getpid())}));
    EXPECT_EQ(stoppedPid, 0u);
    EXPECT_FALSE(stoppedComplete);
    EXPECT_EQ(rows[0].pid, static_cast<std::uint32_t>(getpid())) << "taken for ownerless after a stopped walk";
    EXPECT_TRUE(index.LastComplete());
}

// ---------------------------------------------------------------------------
// The built helper, started as a user would start it

struct HelperRun {
    int status = -1;
    Bytes out;
    std::string err;
};

// Runs the helper (or the copy at `path`) with `input` on its standard input
// (a socket, as the program gives it) and an empty environment.  The
// forked child runs `inChild` first, and exits with 126 when it fails.
HelperRun RunHelper(const Bytes& input, const char* path = OWNER_HELPER, const std::function<bool()>& inChild = {}) {
    HelperRun r;
    int io[2], err[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, io) != 0) return r;
    if (pipe2(err, O_CLOEXEC) != 0) return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        if (inChild && !inChild()) _exit(126);
        ExecHelper(io[1], path);
    }
    close(io[1]);
    close(err[1]);
    if (pid < 0) return r;
    std::thread writer(SendThenShutdown, io[0], std::cref(input));
    std::string out;
    r.status = CollectOutput(pid, dup(io[0]), err[0], out, r.err, kTimeLimit);
    writer.join();
    close(io[0]);
    r.out.assign(out.begin(), out.end());
    return r;
}

// The Owners reply that follows the hello of a run, for `rows` rows.
std::optional<OwnersReply> FirstReply(const HelperRun& r, std::size_t rows) {
    const std::size_t at = kHeaderSize + kHelloLength;
    if (r.out.size() < at + kHeaderSize) return std::nullopt;
    std::uint32_t length = 0;
    std::memcpy(&length, r.out.data() + at + 4, sizeof length);
    if (r.out.size() < at + kHeaderSize + length) return std::nullopt;
    return DecodeOwnersReply(std::span<const std::uint8_t>(r.out.data() + at + kHeaderSize, length), rows);
}

std::string StatusField(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::stringstream text;
    text << in.rdbuf();
    return ::StatusField(text.str(), field);
}

TEST(OwnerHelperProgram, AnswersOwnersOfSocketsAndNothingElse) {
    const int sock = LoopbackSocket(AF_INET, SOCK_STREAM);
    int pipeEnds[2], unixEnds[2];
    ASSERT_GE(sock, 0);
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, unixEnds), 0);
    const int file = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    // The inodes of a TCP socket, a pipe, a file and a Unix socket this
    // process holds: only the TCP socket has an owner to tell.
    const HelperRun r = RunHelper(EncodeOwnersRequest(
        OwnersRequest{0, {InodeOf(sock), InodeOf(pipeEnds[0]), InodeOf(file), InodeOf(unixEnds[0])}}));
    for (int fd : {sock, pipeEnds[0], pipeEnds[1], unixEnds[0], unixEnds[1], file}) close(fd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::optional<OwnersReply> decoded = FirstReply(r, 4);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->pids, (std::vector<std::uint32_t>{static_cast<std::uint32_t>(getpid()), 0, 0, 0}));
    EXPECT_EQ(decoded->shortfall, Shortfall::None);
    ASSERT_EQ(decoded->names.size(), 1u);
    EXPECT_EQ(decoded->names[0].name, fs::read_symlink("/proc/self/exe").filename().string());
}

// The four tables of a refresh, for sockets of this process on loopback,
// then the count of walks: one.
TEST(OwnerHelperProgram, WalksOnceForTheFourTables) {
    const int tcp = LoopbackSocket(AF_INET, SOCK_STREAM);
    const int udp = LoopbackSocket(AF_INET, SOCK_DGRAM);
    const int tcp6 = LoopbackSocket(AF_INET6, SOCK_STREAM);
    const int udp6 = LoopbackSocket(AF_INET6, SOCK_DGRAM);
    const std::vector<int> fds = {tcp, udp, tcp6, udp6};
    if (std::count(fds.begin(), fds.end(), -1) != 0) {
        for (int fd : fds)
            if (fd >= 0) close(fd);
        GTEST_SKIP() << "no socket of every kind here";
    }
    Bytes input;
    for (std::size_t table = 0; table < fds.size(); ++table) {
        const Bytes frame = EncodeOwnersRequest(OwnersRequest{static_cast<std::uint8_t>(table), {InodeOf(fds[table])}});
        input.insert(input.end(), frame.begin(), frame.end());
    }
    const Bytes stats = EncodeStatsRequest();
    input.insert(input.end(), stats.begin(), stats.end());
    const HelperRun r = RunHelper(input);
    for (int fd : fds) close(fd);
    EXPECT_EQ(r.status, 0) << "status " << r.status << " (159: killed by its allow-list)\n" << r.err;
    std::size_t at = kHeaderSize + kHelloLength;
    for (std::size_t table = 0; table < fds.size(); ++table) {
        ASSERT_LE(at + kHeaderSize, r.out.size()) << "reply " << table << " missing";
        std::uint32_t length = 0;
        std::memcpy(&length, r.out.data() + at + 4, sizeof length);
        ASSERT_LE(at + kHeaderSize + length, r.out.size());
        const auto reply = DecodeOwnersReply(std::span<const std::uint8_t>(r.out.data() + at + kHeaderSize, length), 1);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->pids, (std::vector<std::uint32_t>{static_cast<std::uint32_t>(getpid())})) << "table " << table;
        at += kHeaderSize + length;
    }
    ASSERT_EQ(r.out.size(), at + kHeaderSize + kStatsLength);
    const auto walks = DecodeStats(std::span<const std::uint8_t>(r.out.data() + at + kHeaderSize, kStatsLength));
    ASSERT_TRUE(walks);
    EXPECT_EQ(walks->fullWalks, 1u);
}

// Over a thousand sockets to place: the helper shares the walk, and then
// the checks of what it remembers, with a second thread, under its
// allow-list.
TEST(OwnerHelperProgram, PlacesManySocketsWithItsSecondThread) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
    if (limit.rlim_cur < 2400 || setrlimit(RLIMIT_NOFILE, &limit) != 0) GTEST_SKIP() << "cannot hold 2,400 descriptors";
    std::vector<int> fds;
    OwnersRequest request{1, {}};
    for (int i = 0; i < 2200; ++i) {
        const int fd = LoopbackSocket(AF_INET, SOCK_DGRAM);
        if (fd < 0) break;
        fds.push_back(fd);
        request.inodes.push_back(InodeOf(fd));
    }
    Bytes twice = EncodeOwnersRequest(request);
    const Bytes again = twice;
    twice.insert(twice.end(), again.begin(), again.end());
    const HelperRun r = RunHelper(twice);
    for (int fd : fds) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_EQ(request.inodes.size(), 2200u);
    EXPECT_EQ(r.status, 0) << "status " << r.status << " (159: killed by its allow-list)\n" << r.err;
    std::size_t at = kHeaderSize + kHelloLength;
    for (int reply = 0; reply < 2; ++reply) {
        ASSERT_LE(at + kHeaderSize, r.out.size()) << "reply " << reply << " missing";
        std::uint32_t length = 0;
        std::memcpy(&length, r.out.data() + at + 4, sizeof length);
        ASSERT_LE(at + kHeaderSize + length, r.out.size());
        const auto decoded =
            DecodeOwnersReply(std::span<const std::uint8_t>(r.out.data() + at + kHeaderSize, length), 2200);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(std::count(decoded->pids.begin(), decoded->pids.end(), static_cast<std::uint32_t>(getpid())), 2200)
            << "reply " << reply;
        at += kHeaderSize + length;
    }
}

TEST(OwnerHelperProgram, HostileInputEndsItWithAnErrorAndNoAnswer) {
    struct Case {
        const char* what;
        Bytes input;
    };
    const std::string path = "/etc/shadow";
    const Case cases[] = {
        {"a path where a request belongs", Bytes(path.begin(), path.end())},
        {"a request that claims 16 MiB and sends 4 bytes", Frame(2, 0, static_cast<std::uint32_t>(OwnersRequestLength(kMaxInodes)), {0, 0, 0, 0})},
        {"a length past the bound", Frame(2, 0, 0x7FFFFFFFu)},
        {"a table out of range", Frame(2, 200, 4, {0, 0, 0, 0})},
    };
    for (const Case& c : cases) {
        const HelperRun r = RunHelper(c.input);
        EXPECT_EQ(r.status, 2) << c.what << "\n" << r.err;
        EXPECT_EQ(r.err, "tessaline-owners: malformed request\n") << c.what;
        EXPECT_EQ(r.out.size(), kHeaderSize + kHelloLength) << c.what << ": something besides the hello was sent";
    }
    const HelperRun closed = RunHelper({});
    EXPECT_EQ(closed.status, 0) << "input closed before any request: " << closed.err;
}

TEST(OwnerHelperProgram, RunsWithoutNewPrivilegesUnderItsAllowListAndWithNoCapabilityEffective) {
    int io[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, io), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        ExecHelper(io[1]);
    }
    close(io[1]);
    ASSERT_GT(pid, 0);
    // The hello comes once the helper has locked itself down.
    std::uint8_t hello[kHeaderSize + kHelloLength];
    std::size_t got = 0;
    pollfd p{io[0], POLLIN, 0};
    while (got < sizeof hello && poll(&p, 1, 10000) > 0) {
        const ssize_t n = read(io[0], hello + got, sizeof hello - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    const std::string noNewPrivs = StatusField(pid, "NoNewPrivs");
    const std::string seccomp = StatusField(pid, "Seccomp");
    const std::string effective = StatusField(pid, "CapEff");
    const std::string permitted = StatusField(pid, "CapPrm");
    const std::string bounding = StatusField(pid, "CapBnd");
    close(io[0]);
    EXPECT_EQ(WaitBounded(pid, kTimeLimit), 0);
    ASSERT_EQ(got, sizeof hello);
    EXPECT_EQ(noNewPrivs, "1");
    EXPECT_EQ(effective, "0000000000000000");
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(seccomp, "2") << "no seccomp filter";
#endif
    // CAP_DAC_READ_SEARCH is 2, CAP_SYS_PTRACE 19.
    const std::string both = "0000000000080004";
    if (geteuid() == 0) {
        EXPECT_EQ(permitted, both) << "root's helper keeps the two capabilities only";
        EXPECT_EQ(bounding, both) << "root's helper narrows its bounding set";
    } else {
        EXPECT_EQ(permitted, "0000000000000000");
    }
}

// The helper loads no shared object from anywhere, least of all from a path
// derived from its own location: no search path is recorded in it, and
// outside the sanitizer build it has no interpreter and needs no library.
TEST(OwnerHelperProgram, RecordsNoLibrarySearchPathAndNeedsNoLibrary) {
    std::ifstream in(OWNER_HELPER, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(image.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr elf{};
    std::memcpy(&elf, image.data(), sizeof elf);
    ASSERT_EQ(std::memcmp(elf.e_ident, ELFMAG, SELFMAG), 0);
    ASSERT_EQ(elf.e_ident[EI_CLASS], ELFCLASS64);
    [[maybe_unused]] bool interpreter = false;
    std::vector<Elf64_Sxword> tags;
    for (unsigned i = 0; i < elf.e_phnum; ++i) {
        Elf64_Phdr ph{};
        const std::size_t at = elf.e_phoff + std::size_t{i} * elf.e_phentsize;
        ASSERT_LE(at + sizeof ph, image.size());
        std::memcpy(&ph, image.data() + at, sizeof ph);
        if (ph.p_type == PT_INTERP) interpreter = true;
        if (ph.p_type != PT_DYNAMIC) continue;
        for (std::size_t d = ph.p_offset; d + sizeof(Elf64_Dyn) <= ph.p_offset + ph.p_filesz && d + sizeof(Elf64_Dyn) <= image.size();
             d += sizeof(Elf64_Dyn)) {
            Elf64_Dyn dyn{};
            std::memcpy(&dyn, image.data() + d, sizeof dyn);
            if (dyn.d_tag == DT_NULL) break;
            tags.push_back(dyn.d_tag);
        }
    }
    auto count = [&tags](Elf64_Sxword tag) { return std::count(tags.begin(), tags.end(), tag); };
    EXPECT_EQ(count(DT_RPATH), 0);
    EXPECT_EQ(count(DT_RUNPATH), 0);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_FALSE(interpreter) << "linked dynamically";
    EXPECT_EQ(count(DT_NEEDED), 0);
#endif
}

// Started by a process that then goes, the helper ends too, even while
// someone else still holds its input open.
TEST(OwnerHelperProgram, EndsWhenTheProcessThatStartedItGoes) {
    int io[2], report[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, io), 0);
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    const pid_t starter = fork();
    if (starter == 0) {
        const pid_t helper = fork();
        if (helper == 0) {
            ExecHelper(io[1]);
        }
        [[maybe_unused]] const ssize_t n = write(report[1], &helper, sizeof helper);
        // Leaves once the helper has said hello, so that it knew its parent.
        std::uint8_t hello[kHeaderSize + kHelloLength];
        std::size_t got = 0;
        pollfd p{io[0], POLLIN, 0};
        while (got < sizeof hello && poll(&p, 1, 10000) > 0) {
            const ssize_t r = recv(io[0], hello + got, sizeof hello - got, 0);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        _exit(got == sizeof hello ? 0 : 1);
    }
    close(io[1]);
    close(report[1]);
    ASSERT_GT(starter, 0);
    pid_t helper = -1;
    ASSERT_EQ(read(report[0], &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
    close(report[0]);
    ASSERT_EQ(WaitBounded(starter, kTimeLimit), 0) << "no hello";
    // This process still holds the helper's input open: only the parent
    // check can end it.  Its end of the socket closing shows it has gone.
    pollfd p{io[0], POLLIN, 0};
    char byte = 0;
    const bool ended = poll(&p, 1, 5000) == 1 && recv(io[0], &byte, 1, 0) == 0;
    if (!ended) kill(helper, SIGKILL);
    close(io[0]);
    EXPECT_TRUE(ended) << "the helper outlived the process that started it";
}

// A helper that is missing, ends at once, answers nonsense or never answers
// costs the program at most a few seconds once, and the owners it can see
// itself are still named.
TEST(OwnerHelperFailures, ProgramFallsBackToItsOwnLookups) {
    TempDir dir("tessaline-owners-");
    ASSERT_FALSE(dir.Path().empty());
    const fs::path hangs = dir.Path() / "hangs";
    {
        std::ofstream script(hangs);
        script << "#!/bin/sh\nexec /bin/sleep 600\n";
    }
    chmod(hangs.c_str(), 0755);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    char local[32];
    std::snprintf(local, sizeof local, "127.000.000.001:%-6d", ntohs(address.sin_port));
    char owner[64];
    std::snprintf(owner, sizeof owner, "PID %5d : %s ]", getpid(),
                  fs::read_symlink("/proc/self/exe").filename().c_str());

    struct Case {
        const char* what;
        std::string helper;
    };
    const Case cases[] = {
        {"missing", (dir.Path() / "missing").string()},
        {"ends at once", "/bin/true"},
        {"echoes the request back", "/bin/cat"},
        {"never says hello", hangs.string()},
    };
    for (const Case& c : cases) {
        int out[2], err[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
        const std::string helperVariable = "TESSALINE_OWNERS_HELPER=" + c.helper;
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            std::vector<std::string> env = {helperVariable, "LC_ALL=C.UTF-8"};
            for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
                if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
            std::vector<char*> envp;
            for (std::string& e : env) envp.push_back(e.data());
            envp.push_back(nullptr);
            char* argv[] = {const_cast<char*>(TESSALINE_BIN), const_cast<char*>("--print"), const_cast<char*>("tcp"),
                            nullptr};
            execve(TESSALINE_BIN, argv, envp.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        std::string text, errors;
        const int status = CollectOutput(pid, out[0], err[0], text, errors, kTimeLimit);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(status, 0) << c.what << "\n" << errors;
        EXPECT_LT(took, std::chrono::seconds(8)) << c.what;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line) && line.find(local) == std::string::npos) {
        }
        EXPECT_NE(line.find(owner), std::string::npos) << c.what << ": " << line << "\n" << errors;
    }
    close(listener);
}

// A process of this test's own that holds what `make` opens (run in the
// child, returns a descriptor or -1) after `setUp` (also in the child;
// false: the child ends), reports its inode and pid, and is ended by its
// pid when the object goes.
class SocketHolder {
public:
    SocketHolder(const std::function<bool()>& setUp, const std::function<int()>& make) {
        int report[2];
        if (pipe2(report, O_CLOEXEC) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            close(report[0]);
            const int fd = setUp() ? make() : -1;
            const std::uint64_t inode = fd >= 0 ? InodeOf(fd) : 0;
            [[maybe_unused]] const ssize_t n = write(report[1], &inode, sizeof inode);
            for (;;) pause();
        }
        close(report[1]);
        pollfd p{report[0], POLLIN, 0};
        if (m_pid > 0 && poll(&p, 1, 10000) == 1) {
            [[maybe_unused]] const ssize_t n = read(report[0], &m_inode, sizeof m_inode);
        }
        close(report[0]);
    }
    ~SocketHolder() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    SocketHolder(const SocketHolder&) = delete;
    SocketHolder& operator=(const SocketHolder&) = delete;

    pid_t Pid() const { return m_pid; }
    std::uint64_t Inode() const { return m_inode; }  // 0: nothing held

private:
    pid_t m_pid = -1;
    std::uint64_t m_inode = 0;
};

// A root listener in a network namespace of its own: the helper started in
// this namespace names no owner for it, the helper started in its
// namespace does.
TEST(OwnerHelperProgram, NamesNoOwnerOfASocketInAnotherNetworkNamespace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
    const SocketHolder holder(
        [] { return unshare(CLONE_NEWNET) == 0; },
        [] {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in any{};
            any.sin_family = AF_INET;
            return fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 && listen(fd, 1) == 0 ? fd
                                                                                                                 : -1;
        });
    ASSERT_NE(holder.Inode(), 0u) << "no listener in a namespace of its own";
    const Bytes request = EncodeOwnersRequest(OwnersRequest{0, {holder.Inode()}});
    const HelperRun here = RunHelper(request);
    const std::string ns = "/proc/" + std::to_string(holder.Pid()) + "/ns/net";
    const int nsFd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(nsFd, 0) << ns << ": " << std::strerror(errno);
    const HelperRun there = RunHelper(request, OWNER_HELPER, [nsFd] { return setns(nsFd, CLONE_NEWNET) == 0; });
    close(nsFd);
    EXPECT_EQ(here.status, 0) << here.err;
    const auto fromHere = FirstReply(here, 1);
    ASSERT_TRUE(fromHere);
    EXPECT_EQ(fromHere->pids, (std::vector<std::uint32_t>{0})) << "named the owner of another namespace's socket";
    EXPECT_TRUE(fromHere->names.empty());
    EXPECT_EQ(there.status, 0) << there.err;
    const auto fromThere = FirstReply(there, 1);
    ASSERT_TRUE(fromThere);
    EXPECT_EQ(fromThere->pids, (std::vector<std::uint32_t>{static_cast<std::uint32_t>(holder.Pid())}));
}

// Reads one whole frame within 10 s; its header and payload, or nothing.
std::optional<std::pair<Header, Bytes>> ReadFrame(int fd) {
    Bytes bytes;
    auto readUpTo = [&](std::size_t size) {
        while (bytes.size() < size) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1) return false;
            std::uint8_t buf[4096];
            const ssize_t n = read(fd, buf, std::min(sizeof buf, size - bytes.size()));
            if (n <= 0) return false;
            bytes.insert(bytes.end(), buf, buf + n);
        }
        return true;
    };
    if (!readUpTo(kHeaderSize)) return std::nullopt;
    const std::optional<Header> header = DecodeHeader(HeaderOf(bytes));
    if (!header || !readUpTo(kHeaderSize + header->length)) return std::nullopt;
    return std::make_pair(*header, Bytes(bytes.begin() + kHeaderSize, bytes.end()));
}

// Paths are told for a socket's owner while it holds the socket, and not
// once the socket has closed (as for a pid that another process has taken
// over): the helper checks again before it reads.
TEST(OwnerHelperProgram, PathsForAProcessWhoseSocketClosedAnswerNothing) {
    int io[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, io), 0);
    const pid_t pid = fork();
    if (pid == 0) ExecHelper(io[1]);
    close(io[1]);
    ASSERT_GT(pid, 0);
    const int udp = LoopbackSocket(AF_INET, SOCK_DGRAM);
    const std::uint32_t self[] = {static_cast<std::uint32_t>(getpid())};
    auto send = [&](const Bytes& frame) {
        return write(io[0], frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
    };
    auto paths = [&]() -> std::optional<PathsReply> {
        if (!send(EncodePathsRequest(self))) return std::nullopt;
        const auto frame = ReadFrame(io[0]);
        if (!frame || frame->first.type != MessageType::PathsReply) return std::nullopt;
        return DecodePathsReply(frame->second, self);
    };
    const auto hello = ReadFrame(io[0]);
    std::optional<OwnersReply> owners;
    if (udp >= 0 && hello && send(EncodeOwnersRequest(OwnersRequest{1, {InodeOf(udp)}}))) {
        const auto frame = ReadFrame(io[0]);
        if (frame && frame->first.type == MessageType::OwnersReply) owners = DecodeOwnersReply(frame->second, 1);
    }
    const std::optional<PathsReply> held = paths();
    close(udp);
    const std::optional<PathsReply> closed = paths();
    close(io[0]);
    EXPECT_EQ(WaitBounded(pid, kTimeLimit), 0);
    ASSERT_GE(udp, 0);
    ASSERT_TRUE(owners);
    EXPECT_EQ(owners->pids, (std::vector<std::uint32_t>{self[0]}));
    ASSERT_TRUE(held);
    ASSERT_EQ(held->paths.size(), 1u);
    EXPECT_EQ(held->paths[0].path, fs::read_symlink("/proc/self/exe").string());
    ASSERT_TRUE(closed);
    EXPECT_TRUE(closed->paths.empty()) << "told the paths of a process that no longer holds the socket";
}

// The helper given its capabilities and started by uid 65533 in a mount
// namespace of the test's own, with a proc mounted there as each case
// says, is asked for the owner of a socket of uid 65534 (nobody): it names
// it only where that proc would show the process to the caller.
TEST(OwnerHelperProgram, HonoursTheHidepidOfItsProc) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a proc and start processes of other users";
    constexpr uid_t kNobody = 65534, kCaller = 65533;
    constexpr gid_t kExempt = 4242;
    // A copy of the helper with its capabilities, in the build tree (the
    // temporary directory may be mounted nosuid), which uid 65533 may run.
    TempDir dir("hidepid-", fs::path(OWNER_HELPER).parent_path().parent_path());
    ASSERT_FALSE(dir.Path().empty());
    chmod(dir.Path().c_str(), 0755);
    struct statvfs fsInfo {};
    if (statvfs(dir.Path().c_str(), &fsInfo) == 0 && (fsInfo.f_flag & ST_NOSUID) != 0)
        GTEST_SKIP() << "the build tree is mounted nosuid, where file capabilities do not apply";
    for (fs::path p = dir.Path(); p != p.root_path(); p = p.parent_path()) {
        struct stat st {};
        if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            GTEST_SKIP() << p << " cannot be searched by other users";
    }
    const fs::path helper = dir.Path() / "tessaline-owners";
    fs::copy_file(OWNER_HELPER, helper);
    chmod(helper.c_str(), 0755);
    const std::string grant = "setcap cap_sys_ptrace,cap_dac_read_search+p '" + helper.string() + "' 2>&1";
    if (std::system(grant.c_str()) != 0) GTEST_SKIP() << "setcap failed";

    const SocketHolder holder(
        [] {
            return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
                   setresuid(kNobody, kNobody, kNobody) == 0;
        },
        [] { return LoopbackSocket(AF_INET, SOCK_DGRAM); });
    ASSERT_NE(holder.Inode(), 0u);
    const Bytes request = EncodeOwnersRequest(OwnersRequest{1, {holder.Inode()}});

    struct Case {
        const char* what;
        const char* options;  // of the proc mounted for the helper; null: the machine's
        std::vector<gid_t> groups;
        bool named;
    };
    const Case cases[] = {
        {"the machine's proc", nullptr, {}, true},
        {"hidepid=invisible", "hidepid=invisible", {}, false},
        {"hidepid=noaccess", "hidepid=noaccess", {}, false},
        {"hidepid=invisible with the caller in its gid=", "hidepid=invisible,gid=4242", {kExempt}, true},
        {"hidepid=invisible with the caller outside its gid=", "hidepid=invisible,gid=4242", {}, false},
    };
    for (const Case& c : cases) {
        const HelperRun r = RunHelper(request, helper.c_str(), [&c] {
            if (c.options != nullptr &&
                (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, c.options) != 0))
                return false;
            return setgroups(c.groups.size(), c.groups.data()) == 0 && setresgid(kCaller, kCaller, kCaller) == 0 &&
                   setresuid(kCaller, kCaller, kCaller) == 0;
        });
#if defined(__SANITIZE_ADDRESS__)
        if (r.status != 0 && r.status != 126)
            GTEST_SKIP() << "the sanitizer runtime does not run a program with file capabilities: " << r.err;
#endif
        ASSERT_EQ(r.status, 0) << c.what << " (126: the case could not be set up)\n" << r.err;
        ASSERT_GE(r.out.size(), kHeaderSize + kHelloLength);
        const auto hello = DecodeHello(std::span<const std::uint8_t>(r.out.data() + kHeaderSize, kHelloLength));
        ASSERT_TRUE(hello);
        ASSERT_NE(hello->flags & kMayReadEveryProcess, 0) << "the copy was not given its capabilities";
        const auto reply = FirstReply(r, 1);
        ASSERT_TRUE(reply) << c.what;
        EXPECT_EQ(reply->pids[0], c.named ? static_cast<std::uint32_t>(holder.Pid()) : 0u) << c.what;
    }
}

// The allow-list opens directories for reading and nothing else, and
// makes no socket but the sock_diag one: each call below in a child that
// has locked itself down as the helper does, which either lives or is
// killed (159: SIGSYS).
TEST(OwnerHelperSandbox, OpensDirectoriesOnlyAndNoSocketButTheTables) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer build runs the helper without its allow-list";
#endif
    struct Case {
        const char* what;
        std::function<long()> call;
        bool allowed;
    };
    const Case cases[] = {
        {"a directory, for reading",
         [] { return syscall(SYS_openat, AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }, true},
        {"a file, for reading", [] { return syscall(SYS_openat, AT_FDCWD, "/etc/passwd", O_RDONLY | O_CLOEXEC); },
         false},
        {"a directory without O_DIRECTORY", [] { return syscall(SYS_openat, AT_FDCWD, "/proc", O_RDONLY); }, false},
        {"a directory, for writing", [] { return syscall(SYS_openat, AT_FDCWD, "/tmp", O_WRONLY | O_DIRECTORY); },
         false},
        {"a new file beside a directory",
         [] { return syscall(SYS_openat, AT_FDCWD, "/tmp/x", O_RDONLY | O_DIRECTORY | O_CREAT, 0600); }, false},
        {"a temporary file", [] { return syscall(SYS_openat, AT_FDCWD, "/tmp", O_TMPFILE | O_RDWR, 0600); }, false},
        {"the sock_diag socket",
         [] { return syscall(SYS_socket, AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG); }, true},
        {"a routing socket", [] { return syscall(SYS_socket, AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE); },
         false},
        {"an IP socket", [] { return syscall(SYS_socket, AF_INET, SOCK_STREAM, 0); }, false},
        {"the processors it may use",
         [] {
             cpu_set_t set;
             return syscall(SYS_sched_getaffinity, 0, sizeof set, &set);
         },
         true},
    };
    for (const Case& c : cases) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            if (!LockDown().empty()) _exit(3);
            c.call();
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        EXPECT_EQ(WaitBounded(pid, kTimeLimit), c.allowed ? 0 : 128 + SIGSYS) << c.what;
    }
}

}  // namespace
