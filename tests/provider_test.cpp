// The provider library's four counter entry points, loaded as the program
// loads them: on fixture proc roots (exact values, and records left alone
// when a file is missing or damaged), and on the live kernel (interface,
// address and route counts as `ip` sees them, here and in namespaces of the
// test's own; counters that only grow).  Also the provider's file readers:
// a FIFO anywhere a file is read is refused at once.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ChildOutput.h"
#include "ProcFiles.h"
#include "RecordWords.h"
#include "SocketTables.h"
#include "iphlpapi.h"

namespace {

// ------------------------------------------------------------ the library

struct Provider {
    void* handle = nullptr;
    PFN_GetIpStatistics ip = nullptr;
    PFN_GetIcmpStatistics icmp = nullptr;
    PFN_GetTcpStatistics tcp = nullptr;
    PFN_GetUdpStatistics udp = nullptr;
    std::string error;
};

template <class Fn>
bool Resolve(void* handle, const char* name, Fn& fn, std::string& error) {
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        error += std::string(name) + " not exported; ";
        return false;
    }
    static_assert(sizeof fn == sizeof symbol);
    std::memcpy(&fn, &symbol, sizeof fn);
    return true;
}

const Provider& Library() {
    static const Provider provider = [] {
        Provider p;
        p.handle = dlopen(PROVIDER_DIR "/libiphlpapi.so", RTLD_NOW | RTLD_LOCAL);
        if (p.handle == nullptr) {
            const char* why = dlerror();
            p.error = why != nullptr ? why : "dlopen failed";
            return p;
        }
        Resolve(p.handle, "GetIpStatistics", p.ip, p.error);
        Resolve(p.handle, "GetIcmpStatistics", p.icmp, p.error);
        Resolve(p.handle, "GetTcpStatistics", p.tcp, p.error);
        Resolve(p.handle, "GetUdpStatistics", p.udp, p.error);
        return p;
    }();
    return provider;
}


// One call on a record pre-filled with the sentinel pattern.
template <class Record>
struct Call {
    DWORD rc;
    Record record;
    bool untouched;  // byte for byte the sentinel still
};

template <class Record>
Call<Record> CallOnSentinel(DWORD (*fn)(Record*)) {
    Call<Record> c{0, Sentinel<Record>(), false};
    c.rc = fn(&c.record);
    const Record sentinel = Sentinel<Record>();
    c.untouched = std::memcmp(&c.record, &sentinel, sizeof sentinel) == 0;
    return c;
}

// Sets TESSALINE_PROC_ROOT for the test and puts the old value back after.
class ProviderTest : public testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TESSALINE_PROC_ROOT");
        if (old != nullptr) saved_ = old;
        ASSERT_NE(Library().handle, nullptr) << Library().error;
        ASSERT_TRUE(Library().error.empty()) << Library().error;
    }
    void TearDown() override {
        if (saved_)
            setenv("TESSALINE_PROC_ROOT", saved_->c_str(), 1);
        else
            unsetenv("TESSALINE_PROC_ROOT");
    }
    static void UseRoot(const std::string& root) { setenv("TESSALINE_PROC_ROOT", root.c_str(), 1); }
    static void UseLiveProc() { unsetenv("TESSALINE_PROC_ROOT"); }
    static std::string Fixture(const char* root) { return std::string(FIXTURE_DIR) + "/" + root; }

private:
    std::optional<std::string> saved_;
};

// ---------------------------------------------------------- fixture roots

constexpr DWORD kRoutingDiscards = 10;  // index of dwRoutingDiscards
constexpr DWORD kNumIf = 20;            // index of dwNumIf, then dwNumAddr, dwNumRoutes

// proc-root-good/net/snmp: every counter distinct; InReceives and InSegs
// past 2^32; net/tcp has 3 rows, net/udp 2.
const std::vector<DWORD> kGoodIpCounters = {1, 64,   1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010,
                                            0, 1011, 1012, 1013, 1014, 1015, 1016, 1017, 1018, 1019};
const MIB_ICMP kGoodIcmp = {{{2001, 2002, 2003, 2004, 2005, 2006, 2007, 2008, 2009, 2010, 2011, 2012, 2013},
                             {2014, 2015, 2016, 2017, 2018, 2019, 2020, 2021, 2022, 2023, 2024, 2025, 2026}}};
const MIB_TCPSTATS kGoodTcp = {1,    200,  120000, 0xFFFFFFFFu, 3005, 3006, 3007, 3008,
                               3009, 3010, 3011,   3012,        3013, 3014, 3};
const MIB_UDPSTATS kGoodUdp = {4001, 4002, 4003, 4004, 2};

TEST_F(ProviderTest, GoodRootFillsEveryRecord) {
    UseRoot(Fixture("proc-root-good"));
    const Provider& p = Library();

    const auto tcp = CallOnSentinel(p.tcp);
    ASSERT_EQ(tcp.rc, NO_ERROR);
    EXPECT_EQ(Words(tcp.record), Words(kGoodTcp));

    const auto udp = CallOnSentinel(p.udp);
    ASSERT_EQ(udp.rc, NO_ERROR);
    EXPECT_EQ(Words(udp.record), Words(kGoodUdp));

    const auto icmp = CallOnSentinel(p.icmp);
    ASSERT_EQ(icmp.rc, NO_ERROR);
    EXPECT_EQ(Words(icmp.record), Words(kGoodIcmp));

    // The interface, address and route counts come from the live kernel,
    // whatever the root; the live test checks their values.
    const auto ip = CallOnSentinel(p.ip);
    ASSERT_EQ(ip.rc, NO_ERROR);
    std::vector<DWORD> words = Words(ip.record);
    ASSERT_EQ(words.size(), 23u);
    EXPECT_EQ(words[kRoutingDiscards], 0u);
    EXPECT_GE(words[kNumIf], 1u) << "not even the loopback interface";
    for (DWORD i = kNumIf; i < 23; ++i) EXPECT_NE(words[i], 0xABABABABu) << "field " << i << " never written";
    words.resize(kNumIf);
    EXPECT_EQ(words, kGoodIpCounters);
}

struct RootCase {
    const char* name;
    const char* root;         // under FIXTURE_DIR
    bool ip, icmp, tcp, udp;  // which calls succeed
};

void PrintTo(const RootCase& c, std::ostream* os) { *os << c.name; }

class BrokenRoot : public ProviderTest, public testing::WithParamInterface<RootCase> {};

// A call that fails returns nonzero and leaves every byte of the record as
// it was; one that succeeds returns what it returns on the good root, whose
// sections of net/snmp these roots share.
TEST_P(BrokenRoot, FailsWithoutTouchingTheRecord) {
    const RootCase& c = GetParam();
    const Provider& p = Library();

    UseRoot(Fixture("proc-root-good"));
    const auto goodIp = CallOnSentinel(p.ip);
    const auto goodIcmp = CallOnSentinel(p.icmp);
    const auto goodTcp = CallOnSentinel(p.tcp);
    const auto goodUdp = CallOnSentinel(p.udp);

    UseRoot(Fixture(c.root));
    auto check = [](const auto& call, const auto& good, bool ok, const char* what) {
        if (ok) {
            EXPECT_EQ(call.rc, NO_ERROR) << what;
            EXPECT_EQ(Words(call.record), Words(good.record)) << what;
        } else {
            EXPECT_NE(call.rc, NO_ERROR) << what;
            EXPECT_TRUE(call.untouched) << what << " wrote into the record of a failed call";
        }
    };
    check(CallOnSentinel(p.ip), goodIp, c.ip, "GetIpStatistics");
    check(CallOnSentinel(p.icmp), goodIcmp, c.icmp, "GetIcmpStatistics");
    check(CallOnSentinel(p.tcp), goodTcp, c.tcp, "GetTcpStatistics");
    check(CallOnSentinel(p.udp), goodUdp, c.udp, "GetUdpStatistics");
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, BrokenRoot,
    testing::Values(RootCase{"MissingSnmp", "proc-root-missing-snmp", false, false, false, false},
                    RootCase{"NoSuchRoot", "no-such-root", false, false, false, false},
                    RootCase{"GarbledSnmp", "proc-root-garbled-snmp", false, false, false, false},
                    // Cut inside the Tcp values: Ip and Icmp are whole.
                    RootCase{"TruncatedSnmp", "proc-root-truncated-snmp", true, true, false, false},
                    // Each section lacks the last counter its record needs,
                    // so a record filled in place would be all but complete.
                    RootCase{"SectionsShortOfOneCounter", "proc-root-short-sections", false, false, false, false},
                    // net/snmp whole, but no net/tcp or net/udp to count.
                    RootCase{"MissingSocketTables", "proc-root-missing-sockets", true, true, false, false}),
    [](const testing::TestParamInfo<RootCase>& p) { return std::string(p.param.name); });

// Roots that git cannot hold, built in a temporary directory.
class TemporaryRoot : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        char pattern[] = "/tmp/tessaline-provider-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ / "net");
        std::filesystem::copy_file(Fixture("proc-root-good/net/tcp"), root_ / "net/tcp");
        std::filesystem::copy_file(Fixture("proc-root-good/net/udp"), root_ / "net/udp");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::permissions(root_ / "net/snmp", std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root_, ignored);
        ProviderTest::TearDown();
    }
    void ExpectAllFailUntouched() {
        UseRoot(root_.string());
        const Provider& p = Library();
        const auto ip = CallOnSentinel(p.ip);
        const auto icmp = CallOnSentinel(p.icmp);
        const auto tcp = CallOnSentinel(p.tcp);
        const auto udp = CallOnSentinel(p.udp);
        EXPECT_NE(ip.rc, NO_ERROR);
        EXPECT_NE(icmp.rc, NO_ERROR);
        EXPECT_NE(tcp.rc, NO_ERROR);
        EXPECT_NE(udp.rc, NO_ERROR);
        EXPECT_TRUE(ip.untouched && icmp.untouched && tcp.untouched && udp.untouched);
    }
    std::filesystem::path root_;
};

// Opening succeeds, reading fails.
TEST_F(TemporaryRoot, SnmpIsADirectory) {
    std::filesystem::create_directory(root_ / "net/snmp");
    ExpectAllFailUntouched();
}

TEST_F(TemporaryRoot, SnmpIsUnreadable) {
    std::filesystem::copy_file(Fixture("proc-root-good/net/snmp"), root_ / "net/snmp");
    ASSERT_EQ(chmod((root_ / "net/snmp").c_str(), 0), 0);
    if (geteuid() != 0) {
        ExpectAllFailUntouched();
        return;
    }
    // Root reads a file without read permission: the calls are made by a
    // child that has given up root for an unprivileged user.
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    UseRoot(root_.string());
    const Provider& p = Library();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
        const auto ip = CallOnSentinel(p.ip);
        const auto icmp = CallOnSentinel(p.icmp);
        const auto tcp = CallOnSentinel(p.tcp);
        const auto udp = CallOnSentinel(p.udp);
        const bool failed = ip.rc != NO_ERROR && icmp.rc != NO_ERROR && tcp.rc != NO_ERROR && udp.rc != NO_ERROR;
        const bool untouched = ip.untouched && icmp.untouched && tcp.untouched && udp.untouched;
        _exit(failed && untouched ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 2) << "could not drop to an unprivileged user";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a call succeeded or wrote into its record";
}

// A FIFO where a file belongs: a plain open would wait for a writer for
// good.  The calls are made by a child ended after 10 s, so that a read that
// blocks fails the test instead of hanging the run.
template <class Fn>
bool ReturnsWithin10s(Fn fn) {
    const pid_t pid = fork();
    if (pid == 0) _exit(fn() ? 0 : 1);
    return pid > 0 && WaitBounded(pid, std::chrono::seconds(10)) == 0;
}

TEST_F(TemporaryRoot, SnmpIsAFifo) {
    ASSERT_EQ(mkfifo((root_ / "net/snmp").c_str(), 0600), 0);
    EXPECT_TRUE(ReturnsWithin10s([this] {
        ExpectAllFailUntouched();
        return !testing::Test::HasFailure();
    }));
}

TEST_F(TemporaryRoot, SocketTablesAreFifos) {
    for (const char* table : {"net/tcp", "net/udp"}) {
        std::filesystem::remove(root_ / table);
        ASSERT_EQ(mkfifo((root_ / table).c_str(), 0600), 0);
    }
    UseRoot(root_.string());
    EXPECT_TRUE(ReturnsWithin10s([] {
        std::vector<provider::SocketRow> rows;
        DWORD tcpError = NO_ERROR, udpError = NO_ERROR;
        return !provider::CollectSockets(IPPROTO_TCP, rows, tcpError) && tcpError == ERROR_INVALID_DATA &&
               !provider::CollectSockets(IPPROTO_UDP, rows, udpError) && udpError == ERROR_INVALID_DATA;
    }));
}

// ------------------------------------------------------------ reading files

TEST_F(TemporaryRoot, EveryReaderRefusesAFifoAtOnce) {
    const std::string fifo = (root_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    UseRoot(root_.string());
    EXPECT_TRUE(ReturnsWithin10s([&] {
        std::string text = "left over";
        DWORD error = NO_ERROR;
        return !provider::ReadProcFile("fifo", text, error) && error == ERROR_INVALID_DATA && text.empty();
    }));
    EXPECT_TRUE(ReturnsWithin10s([&] {
        std::string text;
        DWORD error = NO_ERROR;
        return !provider::ReadFileAt(fifo, text, error, 64) && error == ERROR_INVALID_DATA;
    }));
    EXPECT_TRUE(ReturnsWithin10s([&] { return provider::ReadSmallFile(fifo).empty(); }));
    EXPECT_TRUE(ReturnsWithin10s(
        [&] { return !provider::ForEachLineOfFile(fifo, 1024, [](std::string_view) { return true; }); }));
    EXPECT_TRUE(ReturnsWithin10s([&] {
        struct stat info {};
        DWORD error = NO_ERROR;
        return !provider::OpenRegularFile(fifo, info, error) && error == ERROR_INVALID_DATA;
    }));

    // A directory is no regular file either; a missing file is missing.
    std::string text;
    DWORD error = NO_ERROR;
    EXPECT_FALSE(provider::ReadFileAt(root_.string(), text, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(provider::ReadProcFile("no-such-file", text, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A regular file is read whole, also through the root.
    EXPECT_TRUE(provider::ReadProcFile("net/tcp", text, error));
    EXPECT_EQ(text, provider::ReadSmallFile(Fixture("proc-root-good/net/tcp")));
    EXPECT_FALSE(text.empty());
}

TEST_F(ProviderTest, LiveProcFilesAreRegularFilesAndRead) {
    UseLiveProc();
    std::string text;
    DWORD error = NO_ERROR;
    for (const char* file : {"net/snmp", "net/tcp", "net/udp", "net/sockstat", "sys/net/ipv4/ip_forward"}) {
        SCOPED_TRACE(file);
        EXPECT_TRUE(provider::ReadProcFile(file, text, error));
        EXPECT_FALSE(text.empty());
    }
}

// The lines of a file, read in chunks: whatever the file's size, lines that
// cross a chunk's end, a last line without its line feed, an overlong line
// skipped whole while the lines after it are read, and a stop on request.
TEST_F(TemporaryRoot, LinesOfAFileWhateverItsSize) {
    const std::string path = (root_ / "lines").string();
    const auto linesOf = [&](const std::string& text, std::size_t maxLine) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        std::vector<std::string> lines;
        EXPECT_TRUE(provider::ForEachLineOfFile(path, maxLine, [&](std::string_view line) {
            lines.emplace_back(line);
            return true;
        }));
        return lines;
    };
    EXPECT_EQ(linesOf("", 16), std::vector<std::string>{});
    EXPECT_EQ(linesOf("one\ntwo\n\nfour", 16), (std::vector<std::string>{"one", "two", "", "four"}));
    EXPECT_EQ(linesOf("a\r\nb\r\n", 16), (std::vector<std::string>{"a\r", "b\r"}));
    EXPECT_EQ(linesOf("short\n" + std::string(17, 'x') + "\nafter\n" + std::string(16, 'y'), 16),
              (std::vector<std::string>{"short", "after", std::string(16, 'y')}));
    EXPECT_EQ(linesOf("short\n" + std::string(17, 'x'), 16), std::vector<std::string>{"short"});

    // Four megabytes of numbered lines of every length up to 200, so that
    // lines cross the ends of the chunks at every offset; a line of 300 kB
    // in the middle, skipped whole.
    std::string text;
    std::vector<std::string> expected;
    for (int i = 0; text.size() < (4u << 20); ++i) {
        if (i == 5000) text += std::string(300000, 'z') + "\n";
        std::string line =
            std::to_string(i) + " " + std::string(static_cast<std::size_t>(i % 200), static_cast<char>('a' + i % 26));
        text += line + "\n";
        expected.push_back(std::move(line));
    }
    EXPECT_EQ(linesOf(text, 64 * 1024), expected);

    // Stopping early.
    int calls = 0;
    EXPECT_TRUE(provider::ForEachLineOfFile(path, 64 * 1024, [&](std::string_view) { return ++calls < 3; }));
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(provider::ForEachLineOfFile((root_ / "missing").string(), 16, [](std::string_view) { return true; }));
}

TEST_F(ProviderTest, NullRecordIsRefused) {
    UseRoot(Fixture("proc-root-good"));
    const Provider& p = Library();
    EXPECT_NE(p.ip(nullptr), NO_ERROR);
    EXPECT_NE(p.icmp(nullptr), NO_ERROR);
    EXPECT_NE(p.tcp(nullptr), NO_ERROR);
    EXPECT_NE(p.udp(nullptr), NO_ERROR);
}

// ------------------------------------------------------------ live kernel

// Runs a command under a time limit; false when it cannot run or fails.
bool RunCountingLines(const std::string& command, DWORD& lines) {
    FILE* out = popen(("timeout 10 " + command + " 2>/dev/null").c_str(), "r");
    if (out == nullptr) return false;
    lines = 0;
    char buffer[4096];
    bool partial = false;
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0) {
        for (std::size_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') ++lines;
            partial = buffer[i] != '\n';
        }
    }
    if (partial) ++lines;
    return pclose(out) == 0;
}

struct IpCounts {
    DWORD links = 0, addresses = 0, routes = 0;
    bool operator==(const IpCounts&) const = default;
};

std::optional<IpCounts> CountWithIp() {
    IpCounts c;
    if (!RunCountingLines("ip -o link show", c.links) || !RunCountingLines("ip -4 -o addr show", c.addresses) ||
        !RunCountingLines("ip -4 -o route show table all", c.routes))
        return std::nullopt;
    return c;
}

TEST_F(ProviderTest, LiveCountsMatchIp) {
    if (std::system("command -v ip >/dev/null 2>&1") != 0) GTEST_SKIP() << "the ip command is not installed";
    UseLiveProc();

    // Compare only when ip gives the same counts before and after the call,
    // so a link coming or going meanwhile is retried, not reported.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto before = CountWithIp();
        ASSERT_TRUE(before) << "ip failed";
        const auto call = CallOnSentinel(Library().ip);
        const auto after = CountWithIp();
        ASSERT_TRUE(after) << "ip failed";
        if (!(*before == *after)) continue;

        ASSERT_EQ(call.rc, NO_ERROR);
        EXPECT_EQ(call.record.dwNumIf, before->links) << "ip -o link";
        EXPECT_EQ(call.record.dwNumAddr, before->addresses) << "ip -4 -o addr";
        EXPECT_EQ(call.record.dwNumRoutes, before->routes) << "ip -4 -o route show table all";
        EXPECT_EQ(call.record.dwRoutingDiscards, 0u);
        return;
    }
    FAIL() << "the interfaces, addresses or routes kept changing";
}

// Routes of shapes the plain namespace lacks, each shape in a network
// namespace of its own: a forked child unshares it, builds the shape with
// `ip`, and compares the call's counts with what `ip` counts there.
struct NamespaceShape {
    const char* name;
    std::vector<const char*> commands;  // after lo is up and a veth pair tsl0/tsl1 exists
};

void PrintTo(const NamespaceShape& c, std::ostream* os) { *os << c.name; }

class NamespaceCounts : public ProviderTest, public testing::WithParamInterface<NamespaceShape> {};

// The child's verdict: 0 equal, 1 different (the message on the pipe), 77
// when the namespace or the shape cannot be built here.
int CompareInNamespace(const NamespaceShape& shape, PFN_GetIpStatistics getIp, int report) {
    if (unshare(CLONE_NEWNET) != 0) return 77;
    std::vector<std::string> commands = {
        "ip link set lo up",   "ip link add tsl0 type veth peer name tsl1", "ip link set tsl0 up",
        "ip link set tsl1 up", "ip addr add 10.9.1.1/24 dev tsl0",          "ip addr add 10.9.2.1/24 dev tsl1"};
    commands.insert(commands.end(), shape.commands.begin(), shape.commands.end());
    for (const std::string& c : commands)
        if (std::system(("timeout 10 " + c + " >/dev/null 2>&1").c_str()) != 0) {
            const std::string why = "cannot run: " + c;
            (void)!write(report, why.data(), why.size());
            return 77;
        }
    const auto want = CountWithIp();
    MIB_IPSTATS got{};
    const DWORD rc = getIp(&got);
    std::ostringstream why;
    if (!want)
        why << "ip failed";
    else if (rc != NO_ERROR)
        why << "GetIpStatistics returned " << rc;
    else if (got.dwNumIf != want->links || got.dwNumAddr != want->addresses || got.dwNumRoutes != want->routes)
        why << "provider " << got.dwNumIf << " interfaces, " << got.dwNumAddr << " addresses, " << got.dwNumRoutes
            << " routes; ip " << want->links << ", " << want->addresses << ", " << want->routes;
    const std::string text = why.str();
    (void)!write(report, text.data(), text.size());
    return text.empty() ? 0 : 1;
}

TEST_P(NamespaceCounts, MatchIp) {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    if (std::system("command -v ip >/dev/null 2>&1") != 0) GTEST_SKIP() << "the ip command is not installed";
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        _exit(CompareInNamespace(GetParam(), Library().ip, pipeFds[1]));
    }
    close(pipeFds[1]);

    // The child's commands are each limited to 10 s; give it a minute in all.
    int status = 0;
    bool exited = false;
    for (int tick = 0; tick < 600 && !exited; ++tick) {
        exited = waitpid(child, &status, WNOHANG) == child;
        if (!exited) usleep(100 * 1000);
    }
    if (!exited) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    std::string message;
    char buffer[512];
    ssize_t n = 0;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) message.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);

    ASSERT_TRUE(exited) << "the namespace child did not finish";
    ASSERT_TRUE(WIFEXITED(status)) << "the namespace child died";
    const int verdict = WEXITSTATUS(status);
    if (verdict == 77) GTEST_SKIP() << "namespace unavailable: " << message;
    EXPECT_EQ(verdict, 0) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, NamespaceCounts,
    testing::Values(
        NamespaceShape{"VethPairOnly", {}},
        // IPv6 addresses and routes are not counted.
        NamespaceShape{"Ipv6AddressesAndRoutes",
                       {"ip -6 addr add fd00:9::1/64 dev tsl0 nodad", "ip -6 route add fd00:50::/64 dev tsl0"}},
        NamespaceShape{"SameDestinationOtherTos",
                       {"ip route add 10.60.0.0/24 dev tsl0 tos 0x10", "ip route add 10.60.0.0/24 dev tsl1"}},
        NamespaceShape{"SameDestinationOtherTableOrMetric",
                       {"ip route add 10.70.0.0/24 dev tsl0", "ip route add 10.70.0.0/24 dev tsl1 table 100",
                        "ip route add 10.70.0.0/24 dev tsl1 metric 5"}},
        NamespaceShape{"UnreachableAndProhibit",
                       {"ip route add unreachable 10.80.0.0/24", "ip route add prohibit 10.81.0.0/24 table 100"}}),
    [](const testing::TestParamInfo<NamespaceShape>& p) { return std::string(p.param.name); });

// Two routes to one destination in one table with one metric, through
// different devices: `ip` lists both, the provider counts one.
INSTANTIATE_TEST_SUITE_P(AppendedRoutes, NamespaceCounts,
                         testing::Values(NamespaceShape{
                             "SameDestinationOtherDevice",
                             {"ip route append 10.50.0.0/24 dev tsl0", "ip route append 10.50.0.0/24 dev tsl1"}}),
                         [](const testing::TestParamInfo<NamespaceShape>& p) { return std::string(p.param.name); });

// /proc/net/snmp read independently of the provider: section -> name -> low
// 32 bits of the value.
using LiveSnmp = std::map<std::string, std::map<std::string, DWORD>>;

LiveSnmp ReadLiveSnmp() {
    LiveSnmp out;
    std::ifstream in("/proc/net/snmp");
    std::string header, values;
    while (std::getline(in, header) && std::getline(in, values)) {
        std::istringstream h(header), v(values);
        std::string hs, vs;
        h >> hs;
        v >> vs;
        if (hs != vs) break;  // out of step: the caller's lookups fail
        std::string name, value;
        while (h >> name && v >> value) {
            const auto bits =
                value.starts_with('-') ? static_cast<unsigned long long>(std::stoll(value)) : std::stoull(value);
            out[hs.substr(0, hs.size() - 1)][name] = static_cast<DWORD>(bits);
        }
    }
    return out;
}

// Sends `count` datagrams to itself over loopback and reads them back, so
// that the IP and UDP counters move by at least `count`.
bool LoopbackTraffic(int count) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool ok = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    for (int i = 0; ok && i < count; ++i) {
        const char byte = 'x';
        ok = sendto(s, &byte, 1, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 1;
        pollfd pfd{s, POLLIN, 0};
        char in = 0;
        ok = ok && poll(&pfd, 1, 1000) == 1 && recv(s, &in, 1, MSG_DONTWAIT) == 1;
    }
    close(s);
    return ok;
}

// What each entry point read must lie between two reads of the file around
// the calls: at or past the first, at or before the second.
TEST_F(ProviderTest, LiveCountersLieBetweenTwoReadsOfTheFile) {
    UseLiveProc();
    const Provider& p = Library();
    constexpr DWORD kDatagrams = 16;

    const LiveSnmp before = ReadLiveSnmp();
    if (!LoopbackTraffic(static_cast<int>(kDatagrams))) GTEST_SKIP() << "no loopback traffic possible";
    const auto ip = CallOnSentinel(p.ip);
    const auto icmp = CallOnSentinel(p.icmp);
    const auto tcp = CallOnSentinel(p.tcp);
    const auto udp = CallOnSentinel(p.udp);
    const LiveSnmp after = ReadLiveSnmp();
    ASSERT_EQ(ip.rc, NO_ERROR);
    ASSERT_EQ(icmp.rc, NO_ERROR);
    ASSERT_EQ(tcp.rc, NO_ERROR);
    ASSERT_EQ(udp.rc, NO_ERROR);

    struct Growing {
        const char* section;
        const char* name;
        DWORD got;
        DWORD atLeast;  // the growth the loopback datagrams cause
    };
    const MIBICMPSTATS& in = icmp.record.stats.icmpInStats;
    const MIBICMPSTATS& out = icmp.record.stats.icmpOutStats;
    const Growing growing[] = {
        {"Ip", "InReceives", ip.record.dwInReceives, kDatagrams},
        {"Ip", "InDelivers", ip.record.dwInDelivers, kDatagrams},
        {"Ip", "OutRequests", ip.record.dwOutRequests, kDatagrams},
        {"Ip", "InHdrErrors", ip.record.dwInHdrErrors, 0},
        {"Ip", "InAddrErrors", ip.record.dwInAddrErrors, 0},
        {"Ip", "ForwDatagrams", ip.record.dwForwDatagrams, 0},
        {"Ip", "InUnknownProtos", ip.record.dwInUnknownProtos, 0},
        {"Ip", "InDiscards", ip.record.dwInDiscards, 0},
        {"Ip", "OutDiscards", ip.record.dwOutDiscards, 0},
        {"Ip", "OutNoRoutes", ip.record.dwOutNoRoutes, 0},
        {"Ip", "ReasmTimeout", ip.record.dwReasmTimeout, 0},
        {"Ip", "ReasmReqds", ip.record.dwReasmReqds, 0},
        {"Ip", "ReasmOKs", ip.record.dwReasmOks, 0},
        {"Ip", "ReasmFails", ip.record.dwReasmFails, 0},
        {"Ip", "FragOKs", ip.record.dwFragOks, 0},
        {"Ip", "FragFails", ip.record.dwFragFails, 0},
        {"Ip", "FragCreates", ip.record.dwFragCreates, 0},
        {"Icmp", "InMsgs", in.dwMsgs, 0},
        {"Icmp", "InDestUnreachs", in.dwDestUnreachs, 0},
        {"Icmp", "InEchos", in.dwEchos, 0},
        {"Icmp", "OutMsgs", out.dwMsgs, 0},
        {"Icmp", "OutDestUnreachs", out.dwDestUnreachs, 0},
        {"Icmp", "OutEchoReps", out.dwEchoReps, 0},
        {"Tcp", "ActiveOpens", tcp.record.dwActiveOpens, 0},
        {"Tcp", "PassiveOpens", tcp.record.dwPassiveOpens, 0},
        {"Tcp", "InSegs", tcp.record.dwInSegs, 0},
        {"Tcp", "OutSegs", tcp.record.dwOutSegs, 0},
        {"Tcp", "RetransSegs", tcp.record.dwRetransSegs, 0},
        {"Tcp", "OutRsts", tcp.record.dwOutRsts, 0},
        {"Udp", "InDatagrams", udp.record.dwInDatagrams, kDatagrams},
        {"Udp", "OutDatagrams", udp.record.dwOutDatagrams, kDatagrams},
        {"Udp", "NoPorts", udp.record.dwNoPorts, 0},
        {"Udp", "InErrors", udp.record.dwInErrors, 0},
    };
    for (const Growing& g : growing) {
        SCOPED_TRACE(std::string(g.section) + " " + g.name);
        ASSERT_TRUE(before.count(g.section) && before.at(g.section).count(g.name));
        ASSERT_TRUE(after.count(g.section) && after.at(g.section).count(g.name));
        const DWORD first = before.at(g.section).at(g.name);
        const DWORD second = after.at(g.section).at(g.name);
        // Differences modulo 2^32, so a counter wrapping meanwhile passes.
        EXPECT_LE(static_cast<DWORD>(g.got - first), static_cast<DWORD>(second - first))
            << "read " << g.got << ", file " << first << " then " << second;
        EXPECT_GE(static_cast<DWORD>(g.got - first), g.atLeast) << "read " << g.got << ", file before " << first;
    }

    // Settings, not counters: the same in the file and in the records.
    struct Setting {
        const char* section;
        const char* name;
        DWORD got;
    };
    const Setting settings[] = {
        {"Ip", "Forwarding", ip.record.dwForwarding},
        {"Ip", "DefaultTTL", ip.record.dwDefaultTTL},
        {"Tcp", "RtoAlgorithm", tcp.record.dwRtoAlgorithm},
        {"Tcp", "RtoMin", tcp.record.dwRtoMin},
        {"Tcp", "RtoMax", tcp.record.dwRtoMax},
        {"Tcp", "MaxConn", tcp.record.dwMaxConn},
    };
    for (const Setting& s : settings) {
        SCOPED_TRACE(std::string(s.section) + " " + s.name);
        ASSERT_TRUE(before.count(s.section) && before.at(s.section).count(s.name));
        EXPECT_EQ(s.got, before.at(s.section).at(s.name));
    }
}

}  // namespace
