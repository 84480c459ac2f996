// The provider library's counter entry points, plain and by family, and its
// unicast address table, loaded as the program loads them: on fixture proc
// roots (exact values, and records left alone when a file is missing or
// damaged), and on the live kernel (interface, address and route counts as
// `ip` sees them, here and in namespaces of the test's own; counters that
// only grow, echo counts that grow by the echoes sent).  Also the provider's
// file readers (a FIFO anywhere a file is read is refused at once) and its
// decoder of address messages.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ChildOutput.h"
#include "InetAddresses.h"
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
    PFN_GetIpStatisticsEx ipEx = nullptr;
    PFN_GetIcmpStatisticsEx icmpEx = nullptr;
    PFN_GetUdpStatisticsEx udpEx = nullptr;
    PFN_GetUnicastIpAddressTable unicast = nullptr;
    PFN_FreeMibTable freeTable = nullptr;
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
        Resolve(p.handle, "GetIpStatisticsEx", p.ipEx, p.error);
        Resolve(p.handle, "GetIcmpStatisticsEx", p.icmpEx, p.error);
        Resolve(p.handle, "GetUdpStatisticsEx", p.udpEx, p.error);
        Resolve(p.handle, "GetUnicastIpAddressTable", p.unicast, p.error);
        Resolve(p.handle, "FreeMibTable", p.freeTable, p.error);
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

// ===================================================== counters by family

template <class Record>
Call<Record> CallOnSentinel(DWORD (*fn)(Record*, ULONG), ULONG family) {
    Call<Record> c{0, Sentinel<Record>(), false};
    c.rc = fn(&c.record, family);
    const Record sentinel = Sentinel<Record>();
    c.untouched = std::memcmp(&c.record, &sentinel, sizeof sentinel) == 0;
    return c;
}

// The record's words but the last `live` (counts the live kernel gives
// whatever the root).
template <class Record>
std::vector<DWORD> WordsBut(const Record& r, std::size_t live) {
    std::vector<DWORD> words = Words(r);
    words.resize(words.size() - live);
    return words;
}

constexpr ULONG kInet = 2;
constexpr ULONG kInet6 = 23;
constexpr DWORD kErrorNotFound = 1168;

// proc-root-good: net/snmp6 with every counter distinct (Ip6InReceives past
// 2^32), IPv6 forwarding on, hop limit 77, fragments kept 45 s, 5 UDP6
// sockets.
const std::vector<DWORD> kGoodIp6Counters = {1, 77,   6001, 6002, 6005, 6010, 6006, 6008, 6009, 6011,
                                             0, 6012, 6013, 45,   6015, 6016, 6017, 6018, 6019, 6020};
const MIB_UDPSTATS kGoodUdp6 = {8001, 8002, 8003, 8004, 5};

struct TypeCount {
    bool out;
    unsigned type;
    DWORD count;
};

MIB_ICMP_EX IcmpEx(std::vector<DWORD> totals, const std::vector<TypeCount>& types) {
    MIB_ICMP_EX r{};
    r.icmpInStats.dwMsgs = totals[0];
    r.icmpInStats.dwErrors = totals[1];
    r.icmpOutStats.dwMsgs = totals[2];
    r.icmpOutStats.dwErrors = totals[3];
    for (const TypeCount& t : types) (t.out ? r.icmpOutStats : r.icmpInStats).rgdwTypeCount[t.type] = t.count;
    return r;
}

// Every named type in and out, and one type without a name each way.
MIB_ICMP_EX GoodIcmp6() {
    std::vector<TypeCount> types = {{false, 200, 7301}, {true, 144, 7302}};
    const unsigned named[] = {1, 2, 3, 4, 128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 143};
    for (DWORD i = 0; i < std::size(named); ++i) {
        types.push_back({false, named[i], 7101 + i});
        types.push_back({true, named[i], 7201 + i});
    }
    return IcmpEx({7001, 7002, 7003, 7004}, types);
}

// IcmpMsg counts types 3 and 8 in, 0 and 3 out; the named counters of the
// Icmp section give the others.
MIB_ICMP_EX GoodIcmp4() {
    return IcmpEx({2001, 2002, 2014, 2015},
                  {{false, 3, 2003}, {false, 11, 2004}, {false, 12, 2005}, {false, 4, 2006},  {false, 5, 2007},
                   {false, 8, 2008}, {false, 0, 2009},  {false, 13, 2010}, {false, 14, 2011}, {false, 17, 2012},
                   {false, 18, 2013}, {true, 3, 2016},  {true, 11, 2017},  {true, 12, 2018},  {true, 4, 2019},
                   {true, 5, 2020},  {true, 8, 2021},   {true, 0, 2022},   {true, 13, 2023},  {true, 14, 2024},
                   {true, 17, 2025}, {true, 18, 2026}});
}

TEST_F(ProviderTest, GoodRootFillsTheRecordsOfEachFamily) {
    UseRoot(Fixture("proc-root-good"));
    const Provider& p = Library();

    // IPv4: what the plain calls give, and the ICMP counts by type.
    const auto ip4 = CallOnSentinel(p.ipEx, kInet);
    const auto ip = CallOnSentinel(p.ip);
    ASSERT_EQ(ip4.rc, NO_ERROR);
    EXPECT_EQ(WordsBut(ip4.record, 3), WordsBut(ip.record, 3));
    const auto udp4 = CallOnSentinel(p.udpEx, kInet);
    ASSERT_EQ(udp4.rc, NO_ERROR);
    EXPECT_EQ(Words(udp4.record), Words(kGoodUdp));
    const auto icmp4 = CallOnSentinel(p.icmpEx, kInet);
    ASSERT_EQ(icmp4.rc, NO_ERROR);
    EXPECT_EQ(Words(icmp4.record), Words(GoodIcmp4()));

    const auto ip6 = CallOnSentinel(p.ipEx, kInet6);
    ASSERT_EQ(ip6.rc, NO_ERROR);
    EXPECT_EQ(WordsBut(ip6.record, 3), kGoodIp6Counters);
    for (const DWORD count : {ip6.record.dwNumIf, ip6.record.dwNumAddr, ip6.record.dwNumRoutes})
        EXPECT_NE(count, 0xABABABABu) << "a count never written";
    const auto udp6 = CallOnSentinel(p.udpEx, kInet6);
    ASSERT_EQ(udp6.rc, NO_ERROR);
    EXPECT_EQ(Words(udp6.record), Words(kGoodUdp6));
    const auto icmp6 = CallOnSentinel(p.icmpEx, kInet6);
    ASSERT_EQ(icmp6.rc, NO_ERROR);
    EXPECT_EQ(Words(icmp6.record), Words(GoodIcmp6()));
}

// A copy of proc-root-good in a temporary directory, for damage git cannot
// hold or that would need a root each.
class CopiedRoot : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        char pattern[] = "/tmp/tessaline-provider-root-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::copy(Fixture("proc-root-good"), root_, std::filesystem::copy_options::recursive);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
        ProviderTest::TearDown();
    }
    std::filesystem::path root_;
};

using Damage = std::function<void(const std::filesystem::path&)>;

Damage Remove(const char* file) {
    return [=](const std::filesystem::path& root) { ASSERT_TRUE(std::filesystem::remove(root / file)) << file; };
}

Damage Write(const char* file, const std::string& text) {
    return [=](const std::filesystem::path& root) {
        std::ofstream(root / file, std::ios::binary | std::ios::trunc) << text;
    };
}

// Keeps the file up to and including the first `through`.
Damage CutAfter(const char* file, const std::string& through) {
    return [=](const std::filesystem::path& root) {
        const std::string text = provider::ReadSmallFile((root / file).string());
        const std::size_t at = text.find(through);
        ASSERT_NE(at, std::string::npos) << through;
        std::ofstream(root / file, std::ios::binary | std::ios::trunc) << text.substr(0, at + through.size());
    };
}

const Damage kIntact = [](const std::filesystem::path&) {};

struct FamilyRule {
    const char* name;
    Damage damage;  // done to the copy of proc-root-good
    ULONG family;
    DWORD ip, icmp, udp;  // what each call returns
};

void PrintTo(const FamilyRule& c, std::ostream* os) { *os << c.name; }

class FamilyRules : public CopiedRoot, public testing::WithParamInterface<FamilyRule> {};

// A call that fails returns its code and leaves every byte of the record as
// it was; one that succeeds returns what it returns on the good root.
TEST_P(FamilyRules, ReturnTheirCodeAndFillOnlyOnSuccess) {
    const FamilyRule& c = GetParam();
    const Provider& p = Library();
    UseRoot(Fixture("proc-root-good"));
    const ULONG goodFamily = c.family == kInet ? kInet : kInet6;
    const auto goodIp = CallOnSentinel(p.ipEx, goodFamily);
    const auto goodIcmp = CallOnSentinel(p.icmpEx, goodFamily);
    const auto goodUdp = CallOnSentinel(p.udpEx, goodFamily);

    c.damage(root_);
    UseRoot(root_.string());
    auto check = [](const auto& call, const auto& good, DWORD rc, std::size_t live, const char* what) {
        EXPECT_EQ(call.rc, rc) << what;
        if (rc == NO_ERROR)
            EXPECT_EQ(WordsBut(call.record, live), WordsBut(good.record, live)) << what;
        else
            EXPECT_TRUE(call.untouched) << what << " wrote into the record of a failed call";
    };
    check(CallOnSentinel(p.ipEx, c.family), goodIp, c.ip, 3, "GetIpStatisticsEx");
    check(CallOnSentinel(p.icmpEx, c.family), goodIcmp, c.icmp, 0, "GetIcmpStatisticsEx");
    check(CallOnSentinel(p.udpEx, c.family), goodUdp, c.udp, 0, "GetUdpStatisticsEx");
}

constexpr DWORD kBad = ERROR_INVALID_PARAMETER;
constexpr DWORD kNoIpv6 = ERROR_NOT_SUPPORTED;
constexpr DWORD kGarbled = ERROR_INVALID_DATA;
constexpr DWORD kMissing = ERROR_FILE_NOT_FOUND;

INSTANTIATE_TEST_SUITE_P(
    Roots, FamilyRules,
    testing::Values(
        FamilyRule{"FamilyUnspec", kIntact, 0, kBad, kBad, kBad},
        FamilyRule{"LinuxNumberOfInet6", kIntact, 10, kBad, kBad, kBad},
        FamilyRule{"FamilyPastInet6", kIntact, 24, kBad, kBad, kBad},
        FamilyRule{"FamilyAllOnes", kIntact, 0xFFFFFFFFu, kBad, kBad, kBad},
        FamilyRule{"NoIpv6", Remove("net/snmp6"), kInet6, kNoIpv6, kNoIpv6, kNoIpv6},
        FamilyRule{"NoIpv6ForIpv4", Remove("net/snmp6"), kInet, NO_ERROR, NO_ERROR, NO_ERROR},
        FamilyRule{"NoIpv4CountersForIpv6", Remove("net/snmp"), kInet6, NO_ERROR, NO_ERROR, NO_ERROR},
        FamilyRule{"NoIpv4CountersForIpv4", Remove("net/snmp"), kInet, kMissing, kMissing, kMissing},
        FamilyRule{"Snmp6NotTheFile", Write("net/snmp6", "<html><body>404</body></html>\n"), kInet6, kGarbled,
                   kGarbled, kGarbled},
        FamilyRule{"Snmp6IsADirectory",
                   [](const std::filesystem::path& root) {
                       std::filesystem::remove(root / "net/snmp6");
                       std::filesystem::create_directory(root / "net/snmp6");
                   },
                   kInet6, kGarbled, kGarbled, kGarbled},
        // Cut after a name: UDP lacks that counter, IP and ICMP are whole.
        FamilyRule{"Snmp6CutInUdp", CutAfter("net/snmp6", "Udp6InErrors"), kInet6, NO_ERROR, NO_ERROR, kGarbled},
        // Cut after a numbered ICMP type that has no name to stand in.
        FamilyRule{"Snmp6CutInIcmpTypes", CutAfter("net/snmp6", "Icmp6InType200"), kInet6, NO_ERROR, kGarbled,
                   kGarbled},
        // The IcmpMsg values gone: the types are unknown, IP is whole.
        FamilyRule{"IcmpMsgCut", CutAfter("net/snmp", "IcmpMsg: InType3 InType8 OutType0 OutType3\n"), kInet,
                   NO_ERROR, kGarbled, kGarbled},
        FamilyRule{"ForwardingMissing", Remove("sys/net/ipv6/conf/all/forwarding"), kInet6, kMissing, NO_ERROR,
                   NO_ERROR},
        FamilyRule{"HopLimitNotANumber", Write("sys/net/ipv6/conf/default/hop_limit", "sixty-four\n"), kInet6,
                   kGarbled, NO_ERROR, NO_ERROR},
        FamilyRule{"FragmentTimeEmpty", Write("sys/net/ipv6/ip6frag_time", ""), kInet6, kGarbled, NO_ERROR,
                   NO_ERROR},
        FamilyRule{"Sockstat6Missing", Remove("net/sockstat6"), kInet6, NO_ERROR, NO_ERROR, kMissing},
        FamilyRule{"Sockstat6WithoutUdp6", Write("net/sockstat6", "TCP6: inuse 3\nRAW6: inuse 1\n"), kInet6,
                   NO_ERROR, NO_ERROR, kGarbled}),
    [](const testing::TestParamInfo<FamilyRule>& p) { return std::string(p.param.name); });

TEST_F(CopiedRoot, ForwardingOffIsTwoAndNullRecordsAreRefused) {
    std::ofstream(root_ / "sys/net/ipv6/conf/all/forwarding", std::ios::trunc) << "0\n";
    UseRoot(root_.string());
    const Provider& p = Library();
    const auto ip6 = CallOnSentinel(p.ipEx, kInet6);
    ASSERT_EQ(ip6.rc, NO_ERROR);
    EXPECT_EQ(ip6.record.dwForwarding, 2u);

    for (const ULONG family : {kInet, kInet6, 0u}) {
        EXPECT_EQ(p.ipEx(nullptr, family), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(p.icmpEx(nullptr, family), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(p.udpEx(nullptr, family), ERROR_INVALID_PARAMETER);
    }
}

// ======================================================= unicast addresses

// A table's rows, copied out, and the table freed.
std::vector<MIB_UNICASTIPADDRESS_ROW> RowsOf(const Provider& p, PMIB_UNICASTIPADDRESS_TABLE table) {
    std::vector<MIB_UNICASTIPADDRESS_ROW> rows;
    if (table == nullptr) return rows;
    rows.assign(table->Table, table->Table + table->NumEntries);
    p.freeTable(table);
    return rows;
}

std::string AddressText(const MIB_UNICASTIPADDRESS_ROW& row) {
    char text[INET6_ADDRSTRLEN] = {};
    if (row.Address.si_family == 23)
        inet_ntop(AF_INET6, row.Address.Ipv6.sin6_addr, text, sizeof text);
    else if (row.Address.si_family == 2)
        inet_ntop(AF_INET, row.Address.Ipv4.sin_addr, text, sizeof text);
    else
        return "family " + std::to_string(row.Address.si_family);
    return text;
}

bool HostHasIpv6() { return std::filesystem::exists("/proc/net/if_inet6"); }

TEST_F(ProviderTest, UnicastTableCallingRules) {
    if (!HostHasIpv6()) GTEST_SKIP() << "this kernel has no IPv6";
    const Provider& p = Library();
    UseRoot(Fixture("proc-root-good"));
    MIB_UNICASTIPADDRESS_TABLE placeholder{};
    PMIB_UNICASTIPADDRESS_TABLE table = &placeholder;

    EXPECT_EQ(p.unicast(0, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(p.unicast(23, nullptr), ERROR_INVALID_PARAMETER);
    for (const USHORT family : std::initializer_list<USHORT>{1, 10, 24, 0xFFFF}) {
        table = &placeholder;
        EXPECT_EQ(p.unicast(family, &table), ERROR_INVALID_PARAMETER) << family;
        EXPECT_EQ(table, &placeholder) << family;
    }
    p.freeTable(nullptr);

    // Each family gives its own rows; both give the two together.  Compared
    // only when two rounds agree, so an address coming or going meanwhile is
    // retried, not reported.
    bool settled = false;
    for (int attempt = 0; attempt < 5 && !settled; ++attempt) {
        std::map<USHORT, std::vector<std::string>> rows;
        for (const USHORT family : std::initializer_list<USHORT>{0, 2, 23}) {
            table = &placeholder;
            ASSERT_EQ(p.unicast(family, &table), NO_ERROR) << family;
            ASSERT_NE(table, &placeholder);
            ASSERT_NE(table, nullptr);
            for (const MIB_UNICASTIPADDRESS_ROW& row : RowsOf(p, table)) {
                if (family != 0) {
                    EXPECT_EQ(row.Address.si_family, family) << AddressText(row);
                }
                rows[family].push_back(AddressText(row));
            }
        }
        std::vector<std::string> both = rows[2];
        both.insert(both.end(), rows[23].begin(), rows[23].end());
        settled = both == rows[0];
    }
    EXPECT_TRUE(settled) << "AF_UNSPEC never gave the IPv4 rows followed by the IPv6 rows";

    // No IPv6 under the root: IPv6 alone is not supported, both give IPv4.
    UseRoot(Fixture("proc-root-missing-snmp"));
    table = &placeholder;
    EXPECT_EQ(p.unicast(23, &table), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(table, nullptr);
    table = &placeholder;
    ASSERT_EQ(p.unicast(0, &table), NO_ERROR);
    for (const MIB_UNICASTIPADDRESS_ROW& row : RowsOf(p, table)) EXPECT_EQ(row.Address.si_family, 2);
}

TEST_F(ProviderTest, LiveTableListsTheIpv6LoopbackOnLo) {
    if (!HostHasIpv6()) GTEST_SKIP() << "this kernel has no IPv6";
    UseLiveProc();
    const Provider& p = Library();
    const unsigned lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    PMIB_UNICASTIPADDRESS_TABLE table = nullptr;
    ASSERT_EQ(p.unicast(23, &table), NO_ERROR);
    const std::vector<MIB_UNICASTIPADDRESS_ROW> rows = RowsOf(p, table);
    const auto loopback = std::find_if(rows.begin(), rows.end(), [](const auto& r) { return AddressText(r) == "::1"; });
    ASSERT_NE(loopback, rows.end()) << "no ::1 among " << rows.size() << " rows";
    EXPECT_EQ(loopback->Address.Ipv6.sin6_family, 23);
    EXPECT_EQ(loopback->InterfaceIndex, lo);
    EXPECT_EQ(loopback->InterfaceLuid, std::uint64_t{lo} << 24);
    EXPECT_EQ(loopback->OnLinkPrefixLength, 128);
    EXPECT_EQ(loopback->ScopeId, 0u);
    EXPECT_EQ(loopback->DadState, IpDadStatePreferred);
    EXPECT_EQ(loopback->PrefixOrigin, IpPrefixOriginWellKnown);
    EXPECT_EQ(loopback->SuffixOrigin, IpSuffixOriginWellKnown);
    EXPECT_EQ(loopback->ValidLifetime, 0xFFFFFFFFu);
    EXPECT_EQ(loopback->PreferredLifetime, 0xFFFFFFFFu);
}

// ------------------------------------------------- address messages

using Bytes = std::vector<unsigned char>;

Bytes Address(const char* text) {
    Bytes out(strchr(text, ':') != nullptr ? 16 : 4);
    EXPECT_EQ(inet_pton(out.size() == 16 ? AF_INET6 : AF_INET, text, out.data()), 1) << text;
    return out;
}

template <class T>
Bytes BytesOf(const T& value) {
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

struct Attribute {
    unsigned short type;
    Bytes data;
};

Bytes Message(unsigned char family, unsigned char prefix, std::uint32_t flags, unsigned index,
              const std::vector<Attribute>& attributes) {
    ifaddrmsg header{};
    header.ifa_family = family;
    header.ifa_prefixlen = prefix;
    header.ifa_flags = static_cast<unsigned char>(flags & 0xff);
    header.ifa_index = index;
    Bytes out = BytesOf(header);
    for (const Attribute& a : attributes) {
        rtattr r{};
        r.rta_len = static_cast<unsigned short>(RTA_LENGTH(a.data.size()));
        r.rta_type = a.type;
        const Bytes head = BytesOf(r);
        out.insert(out.end(), head.begin(), head.end());
        out.insert(out.end(), a.data.begin(), a.data.end());
        out.resize(out.size() + RTA_ALIGN(a.data.size()) - a.data.size(), 0);
    }
    return out;
}

constexpr std::uint32_t kForever = 0xFFFFFFFFu;

// An address as the kernel reports it: IFA_ADDRESS (and IFA_LOCAL for
// IPv4), the 32-bit flags, the lifetimes, and who made it when given.
Bytes Kernel(const char* text, unsigned char prefix, std::uint32_t flags, unsigned index, unsigned char protocol = 0,
             std::uint32_t preferred = kForever, std::uint32_t valid = kForever) {
    const Bytes address = Address(text);
    const unsigned char family = address.size() == 16 ? AF_INET6 : AF_INET;
    std::vector<Attribute> attributes = {{IFA_ADDRESS, address}};
    if (family == AF_INET) attributes.push_back({IFA_LOCAL, address});
    attributes.push_back({IFA_FLAGS, BytesOf(flags)});
    attributes.push_back({IFA_CACHEINFO, BytesOf(ifa_cacheinfo{preferred, valid, 1500, 1600})});
    if (protocol != 0) attributes.push_back({IFA_PROTO, Bytes{protocol}});
    return Message(family, prefix, flags, index, attributes);
}

struct WantRow {
    const char* address;
    unsigned index;
    unsigned prefix;
    NL_PREFIX_ORIGIN prefixOrigin;
    NL_SUFFIX_ORIGIN suffixOrigin;
    NL_DAD_STATE dad;
    std::uint32_t valid = kForever, preferred = kForever;
    bool zone = false;  // link-local: the index is its scope
};

MIB_UNICASTIPADDRESS_ROW RowOf(const WantRow& w) {
    MIB_UNICASTIPADDRESS_ROW row;
    std::memset(&row, 0, sizeof row);
    const Bytes address = Address(w.address);
    if (address.size() == 16) {
        row.Address.Ipv6.sin6_family = 23;
        std::memcpy(row.Address.Ipv6.sin6_addr, address.data(), 16);
        row.Address.Ipv6.sin6_scope_id = w.zone ? w.index : 0;
    } else {
        row.Address.Ipv4.sin_family = 2;
        std::memcpy(row.Address.Ipv4.sin_addr, address.data(), 4);
    }
    row.InterfaceLuid = std::uint64_t{w.index} << 24;
    row.InterfaceIndex = w.index;
    row.PrefixOrigin = w.prefixOrigin;
    row.SuffixOrigin = w.suffixOrigin;
    row.ValidLifetime = w.valid;
    row.PreferredLifetime = w.preferred;
    row.OnLinkPrefixLength = static_cast<UCHAR>(w.prefix);
    row.DadState = w.dad;
    row.ScopeId = w.zone ? w.index : 0;
    return row;
}

struct DecodeCase {
    const char* name;
    Bytes message;
    std::optional<WantRow> row;  // none: the message is refused
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

constexpr std::uint32_t kPermanent = IFA_F_PERMANENT;

std::vector<DecodeCase> DecodeCases() {
    const Bytes v6 = Address("fd00::2");
    const Bytes v4 = Address("10.0.0.1");
    return {
        // IPv6 as the kernel gives it.
        {"Global", Kernel("fd00::2", 64, kPermanent | IFA_F_NODAD, 4),
         WantRow{"fd00::2", 4, 64, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStatePreferred}},
        {"Loopback", Kernel("::1", 128, kPermanent, 1, IFAPROT_KERNEL_LO),
         WantRow{"::1", 1, 128, IpPrefixOriginWellKnown, IpSuffixOriginWellKnown, IpDadStatePreferred}},
        {"LinkLocalEui64", Kernel("fe80::fc00:ff:fe00:1", 64, kPermanent, 4, IFAPROT_KERNEL_LL),
         WantRow{"fe80::fc00:ff:fe00:1", 4, 64, IpPrefixOriginWellKnown, IpSuffixOriginLinkLayerAddress,
                 IpDadStatePreferred, kForever, kForever, true}},
        // Flags past the low eight bits come in IFA_FLAGS only.
        {"LinkLocalStablePrivacy",
         Kernel("fe80::1c4a:9b2e:77d0:3f15", 64, kPermanent | IFA_F_STABLE_PRIVACY, 7, IFAPROT_KERNEL_LL),
         WantRow{"fe80::1c4a:9b2e:77d0:3f15", 7, 64, IpPrefixOriginWellKnown, IpSuffixOriginRandom,
                 IpDadStatePreferred, kForever, kForever, true}},
        {"LinkLocalRandomByTheKernel", Kernel("fe80::5a1:22ff:fe:9", 64, kPermanent, 3, IFAPROT_KERNEL_LL),
         WantRow{"fe80::5a1:22ff:fe:9", 3, 64, IpPrefixOriginWellKnown, IpSuffixOriginRandom, IpDadStatePreferred,
                 kForever, kForever, true}},
        {"LinkLocalByHand", Kernel("fe80::99", 64, kPermanent | IFA_F_NODAD, 5),
         WantRow{"fe80::99", 5, 64, IpPrefixOriginWellKnown, IpSuffixOriginManual, IpDadStatePreferred, kForever,
                 kForever, true}},
        {"Temporary", Kernel("2001:db8:1:0:4c2b:91ff:a3e:7d10", 64, IFA_F_TEMPORARY, 4, 0, 14000, 86000),
         WantRow{"2001:db8:1:0:4c2b:91ff:a3e:7d10", 4, 64, IpPrefixOriginRouterAdvertisement, IpSuffixOriginRandom,
                 IpDadStatePreferred, 86000, 14000}},
        {"SlaacEui64", Kernel("2001:db8:1:0:fc00:ff:fe00:1", 64, IFA_F_MANAGETEMPADDR, 4, IFAPROT_KERNEL_RA, 604790,
                              2591990),
         WantRow{"2001:db8:1:0:fc00:ff:fe00:1", 4, 64, IpPrefixOriginRouterAdvertisement,
                 IpSuffixOriginLinkLayerAddress, IpDadStatePreferred, 2591990, 604790}},
        // Lifetimes and a /64, from a network manager that does SLAAC itself.
        {"SlaacByANetworkManager", Kernel("2001:db8:1:0:8d3c:1e44:b2a0:51", 64, 0, 4, 0, 3600, 7200),
         WantRow{"2001:db8:1:0:8d3c:1e44:b2a0:51", 4, 64, IpPrefixOriginRouterAdvertisement, IpSuffixOriginRandom,
                 IpDadStatePreferred, 7200, 3600}},
        {"Deprecated", Kernel("2001:db8:1:0:fc00:ff:fe00:1", 64, IFA_F_DEPRECATED, 4, IFAPROT_KERNEL_RA, 0, 300),
         WantRow{"2001:db8:1:0:fc00:ff:fe00:1", 4, 64, IpPrefixOriginRouterAdvertisement,
                 IpSuffixOriginLinkLayerAddress, IpDadStateDeprecated, 300, 0}},
        {"Tentative", Kernel("fd00:9::4", 64, kPermanent | IFA_F_TENTATIVE, 6),
         WantRow{"fd00:9::4", 6, 64, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStateTentative}},
        {"Optimistic", Kernel("fd00:9::5", 64, kPermanent | IFA_F_TENTATIVE | IFA_F_OPTIMISTIC, 6),
         WantRow{"fd00:9::5", 6, 64, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStateTentative}},
        {"DadFailed", Kernel("fd00:9::6", 64, kPermanent | IFA_F_TENTATIVE | IFA_F_DADFAILED, 6),
         WantRow{"fd00:9::6", 6, 64, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStateDuplicate}},
        {"DeprecatedAndTentative", Kernel("fd00:9::7", 64, IFA_F_TENTATIVE | IFA_F_DEPRECATED, 6, 0, 0, 60),
         WantRow{"fd00:9::7", 6, 64, IpPrefixOriginRouterAdvertisement, IpSuffixOriginRandom, IpDadStateTentative,
                 60, 0}},
        {"LeasedSlash128", Kernel("2001:db8::1234", 128, 0, 4, 0, 3000, 4500),
         WantRow{"2001:db8::1234", 4, 128, IpPrefixOriginDhcp, IpSuffixOriginDhcp, IpDadStatePreferred, 4500, 3000}},
        // A header that says nothing of flags past eight bits: no IFA_FLAGS.
        {"FlagsInTheHeaderOnly",
         Message(AF_INET6, 64, kPermanent | IFA_F_DEPRECATED, 9, {{IFA_ADDRESS, Address("fd00::9")}}),
         WantRow{"fd00::9", 9, 64, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStateDeprecated}},

        // IPv4.
        {"Ipv4Loopback", Kernel("127.0.0.1", 8, kPermanent, 1),
         WantRow{"127.0.0.1", 1, 8, IpPrefixOriginWellKnown, IpSuffixOriginWellKnown, IpDadStatePreferred}},
        {"Ipv4Manual", Kernel("10.0.0.1", 24, kPermanent, 2),
         WantRow{"10.0.0.1", 2, 24, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStatePreferred}},
        // IPv4's secondary flag is the bit IPv6 calls temporary.
        {"Ipv4Secondary", Kernel("10.0.0.2", 24, kPermanent | IFA_F_SECONDARY, 2),
         WantRow{"10.0.0.2", 2, 24, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStatePreferred}},
        {"Ipv4Leased", Kernel("192.168.1.20", 24, 0, 2, 0, 3600, 3600),
         WantRow{"192.168.1.20", 2, 24, IpPrefixOriginDhcp, IpSuffixOriginDhcp, IpDadStatePreferred, 3600, 3600}},
        {"Ipv4Deprecated", Kernel("192.168.1.21", 24, IFA_F_DEPRECATED, 2, 0, 0, 100),
         WantRow{"192.168.1.21", 2, 24, IpPrefixOriginDhcp, IpSuffixOriginDhcp, IpDadStateDeprecated, 100, 0}},
        // On a point-to-point link IFA_ADDRESS is the peer.
        {"Ipv4PointToPoint",
         Message(AF_INET, 32, kPermanent, 8, {{IFA_ADDRESS, Address("10.1.1.2")}, {IFA_LOCAL, Address("10.1.1.1")}}),
         WantRow{"10.1.1.1", 8, 32, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStatePreferred}},

        // Damaged but readable: what the message holds before the damage.
        {"CacheInfoCutShort",
         Message(AF_INET6, 64, 0, 4, {{IFA_ADDRESS, v6}, {IFA_CACHEINFO, Bytes(8, 0)}}),
         WantRow{"fd00::2", 4, 64, IpPrefixOriginRouterAdvertisement, IpSuffixOriginRandom, IpDadStatePreferred}},
        {"AttributeRunsPastTheEnd",
         [&] {
             Bytes m = Message(AF_INET6, 64, kPermanent, 4, {{IFA_ADDRESS, v6}, {IFA_FLAGS, BytesOf(kPermanent)}});
             m[m.size() - 8] = 0xF0;  // IFA_FLAGS claims 240 bytes
             return m;
         }(),
         WantRow{"fd00::2", 4, 64, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStatePreferred}},

        // Refused.
        {"Empty", Bytes{}, std::nullopt},
        {"HeaderCutShort", Bytes(6, 0), std::nullopt},
        {"OtherFamily", Message(AF_PACKET, 0, 0, 2, {{IFA_ADDRESS, Bytes(6, 1)}}), std::nullopt},
        {"NoInterface", Message(AF_INET6, 64, 0, 0, {{IFA_ADDRESS, v6}}), std::nullopt},
        {"Ipv6PrefixPast128", Message(AF_INET6, 129, 0, 4, {{IFA_ADDRESS, v6}}), std::nullopt},
        {"Ipv4PrefixPast32", Message(AF_INET, 33, 0, 4, {{IFA_LOCAL, v4}}), std::nullopt},
        {"NoAddress", Message(AF_INET6, 64, 0, 4, {{IFA_FLAGS, BytesOf(kPermanent)}}), std::nullopt},
        {"Ipv6AddressOfFourBytes", Message(AF_INET6, 64, 0, 4, {{IFA_ADDRESS, v4}}), std::nullopt},
        {"Ipv4AddressOfSixteenBytes", Message(AF_INET, 24, 0, 4, {{IFA_LOCAL, v6}}), std::nullopt},
        {"AddressRunsPastTheEnd",
         [&] {
             Bytes m = Message(AF_INET6, 64, 0, 4, {{IFA_ADDRESS, v6}});
             m.resize(m.size() - 4);
             return m;
         }(),
         std::nullopt},
    };
}

class AddressMessages : public testing::TestWithParam<DecodeCase> {};

TEST_P(AddressMessages, DecodeToTheirRow) {
    const DecodeCase& c = GetParam();
    // The message alone in a buffer of its size, so that a read past it is
    // caught by the address sanitizer.
    const auto buffer = std::make_unique<unsigned char[]>(std::max<std::size_t>(c.message.size(), 1));
    std::copy(c.message.begin(), c.message.end(), buffer.get());
    const auto decoded = provider::DecodeInetAddressMessage(buffer.get(), c.message.size());
    ASSERT_EQ(decoded.has_value(), c.row.has_value());
    if (!decoded) return;
    auto row = Sentinel<MIB_UNICASTIPADDRESS_ROW>();
    provider::FillUnicastRow(*decoded, row);
    EXPECT_EQ(Words(row), Words(RowOf(*c.row)));
}

// Every length short of the whole message is decoded within its bounds.
TEST_P(AddressMessages, EveryCutOfTheMessageStaysInBounds) {
    const Bytes& message = GetParam().message;
    for (std::size_t n = 0; n < message.size(); ++n) {
        const auto buffer = std::make_unique<unsigned char[]>(std::max<std::size_t>(n, 1));
        std::copy(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(n), buffer.get());
        if (const auto decoded = provider::DecodeInetAddressMessage(buffer.get(), n)) {
            MIB_UNICASTIPADDRESS_ROW row;
            provider::FillUnicastRow(*decoded, row);
            EXPECT_LE(row.OnLinkPrefixLength, 128) << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, AddressMessages, testing::ValuesIn(DecodeCases()),
                         [](const testing::TestParamInfo<DecodeCase>& p) { return std::string(p.param.name); });

// ------------------------------------------ in a network namespace of its own

// A child process that unshares the network namespace runs `body`, which
// returns "" when all is well, what went wrong otherwise, or text starting
// "skip: " when the test cannot run here.  The child is ended by its pid
// after a minute.
void RunInOwnNetworkNamespace(const std::function<std::string()>& body) {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        std::string verdict = unshare(CLONE_NEWNET) == 0 ? body() : "skip: cannot unshare the network namespace";
        verdict.resize(std::min<std::size_t>(verdict.size(), 16000));  // within the pipe's buffer
        (void)!write(pipeFds[1], verdict.data(), verdict.size());
        _exit(verdict.empty() ? 0 : verdict.starts_with("skip: ") ? 77 : 1);
    }
    close(pipeFds[1]);
    const int status = WaitBounded(child, std::chrono::seconds(60));
    std::string message;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) message.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    if (status == 77) GTEST_SKIP() << message;
    EXPECT_EQ(status, 0) << message;
}

// What went wrong in a child, line by line.
class Problems {
public:
    template <class Got, class Want>
    void Equal(const Got& got, const Want& want, const std::string& what) {
        if (!(got == want)) text_ << what << ": " << got << ", not " << want << "\n";
    }
    void True(bool ok, const std::string& what) {
        if (!ok) text_ << what << "\n";
    }
    std::string Text() const { return text_.str(); }

private:
    std::ostringstream text_;
};

bool Run(const std::string& command) {
    return std::system(("timeout 10 " + command + " >/dev/null 2>&1").c_str()) == 0;
}

bool LoopbackUp() {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &request) == 0;
    close(s);
    return ok;
}

std::map<std::string, MIB_UNICASTIPADDRESS_ROW> TableByAddress(const Provider& p, USHORT family, DWORD& rc) {
    std::map<std::string, MIB_UNICASTIPADDRESS_ROW> out;
    PMIB_UNICASTIPADDRESS_TABLE table = nullptr;
    rc = p.unicast(family, &table);
    for (const MIB_UNICASTIPADDRESS_ROW& row : RowsOf(p, table)) out[AddressText(row)] = row;
    return out;
}

std::string AddressTableInNamespace() {
    Problems problems;
    const Provider& p = Library();
    // lo is down in a new namespace: not even a loopback address.
    for (const USHORT family : std::initializer_list<USHORT>{0, 2, 23}) {
        MIB_UNICASTIPADDRESS_TABLE placeholder{};
        PMIB_UNICASTIPADDRESS_TABLE table = &placeholder;
        problems.Equal(p.unicast(family, &table), kErrorNotFound, "no address, family " + std::to_string(family));
        problems.True(table == nullptr, "no address: the table is not null");
    }

    const std::vector<std::string> commands = {
        "ip link set lo up",
        // tsl1 stays down: tsl0 has no carrier, so an address that must pass
        // duplicate detection stays tentative.
        "ip link add tsl0 type veth peer name tsl1",
        "ip link set tsl0 up",
        "ip -6 addr add fd00:9::1/64 dev tsl0 nodad",
        "ip -6 addr add fd00:9::2/64 dev tsl0 nodad valid_lft 600 preferred_lft 0",
        "ip -6 addr add fd00:9::3/128 dev tsl0 nodad valid_lft 900 preferred_lft 800",
        "ip -6 addr add fd00:9::4/64 dev tsl0",
        "ip -6 addr add fe80::99/64 dev tsl0 nodad",
        "ip addr add 10.9.1.1/24 dev tsl0",
        "ip addr add 10.9.1.2/24 dev tsl0 valid_lft 300 preferred_lft 300",
    };
    for (const std::string& command : commands)
        if (!Run(command)) return "skip: cannot run: " + command;
    const unsigned lo = if_nametoindex("lo");
    const unsigned tsl0 = if_nametoindex("tsl0");

    struct Want {
        const char* address;
        unsigned index;
        unsigned prefix;
        NL_PREFIX_ORIGIN prefixOrigin;
        NL_SUFFIX_ORIGIN suffixOrigin;
        NL_DAD_STATE dad;
        std::uint32_t validAtMost, preferredAtMost;  // kForever: exactly
        bool zone;
    };
    const Want wants[] = {
        {"::1", lo, 128, IpPrefixOriginWellKnown, IpSuffixOriginWellKnown, IpDadStatePreferred, kForever, kForever,
         false},
        {"127.0.0.1", lo, 8, IpPrefixOriginWellKnown, IpSuffixOriginWellKnown, IpDadStatePreferred, kForever,
         kForever, false},
        {"fd00:9::1", tsl0, 64, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStatePreferred, kForever, kForever,
         false},
        {"fd00:9::2", tsl0, 64, IpPrefixOriginRouterAdvertisement, IpSuffixOriginRandom, IpDadStateDeprecated, 600, 0,
         false},
        {"fd00:9::3", tsl0, 128, IpPrefixOriginDhcp, IpSuffixOriginDhcp, IpDadStatePreferred, 900, 800, false},
        {"fd00:9::4", tsl0, 64, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStateTentative, kForever, kForever,
         false},
        {"fe80::99", tsl0, 64, IpPrefixOriginWellKnown, IpSuffixOriginManual, IpDadStatePreferred, kForever,
         kForever, true},
        {"10.9.1.1", tsl0, 24, IpPrefixOriginManual, IpSuffixOriginManual, IpDadStatePreferred, kForever, kForever,
         false},
        {"10.9.1.2", tsl0, 24, IpPrefixOriginDhcp, IpSuffixOriginDhcp, IpDadStatePreferred, 300, 300, false},
    };
    DWORD rc = 0;
    const auto rows = TableByAddress(p, 0, rc);
    problems.Equal(rc, NO_ERROR, "GetUnicastIpAddressTable(AF_UNSPEC)");
    const auto lifetime = [&](std::uint32_t got, std::uint32_t atMost, const std::string& what) {
        if (atMost == kForever || atMost == 0)
            problems.Equal(got, atMost, what);
        else
            problems.True(got > 0 && got <= atMost, what + ": " + std::to_string(got));
    };
    for (const Want& w : wants) {
        const auto found = rows.find(w.address);
        if (found == rows.end()) {
            problems.True(false, std::string("no row for ") + w.address);
            continue;
        }
        const MIB_UNICASTIPADDRESS_ROW& r = found->second;
        const std::string what = w.address;
        problems.Equal(r.InterfaceIndex, w.index, what + " index");
        problems.Equal(r.InterfaceLuid, std::uint64_t{w.index} << 24, what + " LUID");
        problems.Equal(unsigned{r.OnLinkPrefixLength}, w.prefix, what + " prefix length");
        problems.Equal(int{r.PrefixOrigin}, int{w.prefixOrigin}, what + " prefix origin");
        problems.Equal(int{r.SuffixOrigin}, int{w.suffixOrigin}, what + " suffix origin");
        problems.Equal(int{r.DadState}, int{w.dad}, what + " DAD state");
        problems.Equal(r.ScopeId, w.zone ? w.index : 0u, what + " scope");
        problems.Equal(unsigned{r.SkipAsSource}, 0u, what + " skip as source");
        lifetime(r.ValidLifetime, w.validAtMost, what + " valid lifetime");
        lifetime(r.PreferredLifetime, w.preferredAtMost, what + " preferred lifetime");
    }

    // As many rows as `ip` lists; as many IPv6 ones as the IPv6 counters
    // count, whose interface and route counts are the kernel's too.
    DWORD lines = 0, lines6 = 0, routes6 = 0;
    problems.True(RunCountingLines("ip -o addr show", lines) && RunCountingLines("ip -6 -o addr show", lines6) &&
                      RunCountingLines("ip -6 -o route show table all", routes6),
                  "ip failed");
    problems.Equal(static_cast<DWORD>(rows.size()), lines, "rows against ip -o addr");
    MIB_IPSTATS ip6{};
    problems.Equal(p.ipEx(&ip6, kInet6), NO_ERROR, "GetIpStatisticsEx(AF_INET6)");
    DWORD interfaces6 = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/net/dev_snmp6")) ++interfaces6;
    problems.Equal(ip6.dwNumIf, interfaces6, "IPv6 interfaces against /proc/net/dev_snmp6");
    problems.Equal(ip6.dwNumAddr, lines6, "IPv6 addresses against ip -6 -o addr");
    problems.Equal(ip6.dwNumRoutes, routes6, "IPv6 routes against ip -6 -o route show table all");
    const auto rows6 = TableByAddress(p, 23, rc);
    problems.Equal(static_cast<DWORD>(rows6.size()), ip6.dwNumAddr, "IPv6 rows against the IPv6 address count");
    return problems.Text();
}

TEST_F(ProviderTest, AddressTableInANamespaceOfItsOwn) {
    if (!HostHasIpv6()) GTEST_SKIP() << "this kernel has no IPv6";
    if (std::system("command -v ip >/dev/null 2>&1") != 0) GTEST_SKIP() << "the ip command is not installed";
    UseLiveProc();
    RunInOwnNetworkNamespace(AddressTableInNamespace);
}

std::uint16_t Checksum(const unsigned char* data, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2 != 0) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
    while (sum >> 16 != 0) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// Sends `count` echo requests to the loopback address of `family` from a raw
// socket, each answered before the next goes: what went wrong, or "".  The
// kernel fills in the checksum of ICMPv6; that of ICMP is ours to give.
std::string PingLoopback(int family, int count) {
    const bool v6 = family == AF_INET6;
    const int s = socket(family, SOCK_RAW | SOCK_CLOEXEC, v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
    if (s < 0) return std::string("skip: no raw socket for ") + (v6 ? "ICMPv6" : "ICMP");
    sockaddr_in6 to6{};
    to6.sin6_family = AF_INET6;
    to6.sin6_addr = in6addr_loopback;
    sockaddr_in to4{};
    to4.sin_family = AF_INET;
    to4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* to = v6 ? reinterpret_cast<const sockaddr*>(&to6) : reinterpret_cast<const sockaddr*>(&to4);
    const socklen_t toSize = v6 ? sizeof to6 : sizeof to4;
    const unsigned char request = v6 ? ICMP6_ECHO_REQUEST : ICMP_ECHO;
    const unsigned char reply = v6 ? ICMP6_ECHO_REPLY : ICMP_ECHOREPLY;
    const auto id = static_cast<std::uint16_t>(getpid());
    std::string why;
    for (int seq = 0; seq < count && why.empty(); ++seq) {
        unsigned char packet[16] = {request, 0, 0, 0, static_cast<unsigned char>(id >> 8),
                                    static_cast<unsigned char>(id), 0, static_cast<unsigned char>(seq)};
        if (!v6) {
            const std::uint16_t sum = Checksum(packet, sizeof packet);
            packet[2] = static_cast<unsigned char>(sum >> 8);
            packet[3] = static_cast<unsigned char>(sum);
        }
        if (sendto(s, packet, sizeof packet, 0, to, toSize) != static_cast<ssize_t>(sizeof packet)) {
            why = "sendto failed";
            break;
        }
        // The socket sees the request go by as well as the reply.
        bool answered = false;
        for (int reads = 0; reads < 16 && !answered; ++reads) {
            pollfd pfd{s, POLLIN, 0};
            if (poll(&pfd, 1, 2000) != 1) break;
            unsigned char in[2048];
            const ssize_t n = recv(s, in, sizeof in, 0);
            if (n <= 0) break;
            std::size_t at = 0;
            if (!v6) at = static_cast<std::size_t>(in[0] & 0x0f) * 4;  // past the IPv4 header
            answered = static_cast<std::size_t>(n) >= at + 8 && in[at] == reply && in[at + 4] == packet[4] &&
                       in[at + 5] == packet[5] && in[at + 7] == packet[7];
        }
        if (!answered) why = "no echo reply to request " + std::to_string(seq);
    }
    close(s);
    return why;
}

// The named counters of /proc/net/snmp6, read independently of the provider.
std::map<std::string, DWORD> ReadLiveSnmp6() {
    std::map<std::string, DWORD> out;
    std::ifstream in("/proc/net/snmp6");
    std::string name;
    unsigned long long value = 0;
    while (in >> name >> value) out[name] = static_cast<DWORD>(value);
    return out;
}

std::string CountersInNamespace() {
    if (!LoopbackUp()) return "skip: cannot bring lo up";
    const Provider& p = Library();
    constexpr DWORD kEchoes = 5;
    constexpr DWORD kDatagrams = 7;

    // Three IPv6 UDP sockets and one IPv4 one, bound on loopback.
    std::vector<int> sockets;
    const auto closeAll = [&sockets] {
        for (const int s : sockets) close(s);
    };
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    for (int i = 0; i < 3; ++i) {
        const int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0 || bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            if (s >= 0) close(s);
            closeAll();
            return "skip: no IPv6 UDP socket on ::1";
        }
        sockets.push_back(s);
    }
    sockets.push_back(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in any4{};
    any4.sin_family = AF_INET;
    any4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sockets.back(), reinterpret_cast<const sockaddr*>(&any4), sizeof any4);

    MIB_ICMP_EX icmp6Before{}, icmp4Before{}, icmp6After{}, icmp4After{};
    MIB_UDPSTATS udp6Before{}, udp6After{};
    Problems problems;
    problems.Equal(p.icmpEx(&icmp6Before, kInet6), NO_ERROR, "GetIcmpStatisticsEx(AF_INET6) before");
    problems.Equal(p.icmpEx(&icmp4Before, kInet), NO_ERROR, "GetIcmpStatisticsEx(AF_INET) before");
    problems.Equal(p.udpEx(&udp6Before, kInet6), NO_ERROR, "GetUdpStatisticsEx(AF_INET6) before");

    for (const int family : {AF_INET6, AF_INET})
        if (const std::string why = PingLoopback(family, static_cast<int>(kEchoes)); !why.empty()) {
            closeAll();
            return why;
        }
    sockaddr_in6 to{};
    socklen_t toSize = sizeof to;
    getsockname(sockets[1], reinterpret_cast<sockaddr*>(&to), &toSize);
    for (DWORD i = 0; i < kDatagrams; ++i) {
        const char byte = 'x';
        char in = 0;
        pollfd pfd{sockets[1], POLLIN, 0};
        problems.True(sendto(sockets[0], &byte, 1, 0, reinterpret_cast<const sockaddr*>(&to), toSize) == 1 &&
                          poll(&pfd, 1, 2000) == 1 && recv(sockets[1], &in, 1, 0) == 1,
                      "a datagram over ::1 went astray");
    }

    problems.Equal(p.icmpEx(&icmp6After, kInet6), NO_ERROR, "GetIcmpStatisticsEx(AF_INET6) after");
    problems.Equal(p.icmpEx(&icmp4After, kInet), NO_ERROR, "GetIcmpStatisticsEx(AF_INET) after");
    problems.Equal(p.udpEx(&udp6After, kInet6), NO_ERROR, "GetUdpStatisticsEx(AF_INET6) after");
    const std::map<std::string, DWORD> file6 = ReadLiveSnmp6();
    closeAll();

    // Nothing else in the namespace sends echoes: each count moves by the
    // echoes sent, requests in and out, replies in and out.
    const auto moved = [&](const MIB_ICMP_EX& before, const MIB_ICMP_EX& after, unsigned requestType,
                           unsigned replyType, const std::string& family) {
        const auto delta = [](const MIBICMPSTATS_EX& b, const MIBICMPSTATS_EX& a, unsigned type) {
            return a.rgdwTypeCount[type] - b.rgdwTypeCount[type];
        };
        problems.Equal(delta(before.icmpInStats, after.icmpInStats, requestType), kEchoes, family + " requests in");
        problems.Equal(delta(before.icmpOutStats, after.icmpOutStats, requestType), kEchoes, family + " requests out");
        problems.Equal(delta(before.icmpInStats, after.icmpInStats, replyType), kEchoes, family + " replies in");
        problems.Equal(delta(before.icmpOutStats, after.icmpOutStats, replyType), kEchoes, family + " replies out");
        problems.True(after.icmpInStats.dwMsgs - before.icmpInStats.dwMsgs >= 2 * kEchoes, family + " messages in");
        problems.True(after.icmpOutStats.dwMsgs - before.icmpOutStats.dwMsgs >= 2 * kEchoes, family + " messages out");
    };
    moved(icmp6Before, icmp6After, 128, 129, "ICMPv6");
    moved(icmp4Before, icmp4After, 8, 0, "ICMP");
    // The namespace is quiet: the file says what the call said.
    problems.Equal(icmp6After.icmpInStats.rgdwTypeCount[128], file6.count("Icmp6InEchos") ? file6.at("Icmp6InEchos") : 0,
                   "Icmp6InEchos of the file");
    problems.Equal(icmp6After.icmpOutStats.dwMsgs, file6.count("Icmp6OutMsgs") ? file6.at("Icmp6OutMsgs") : 0,
                   "Icmp6OutMsgs of the file");

    problems.Equal(udp6After.dwNumAddrs, 3u, "IPv6 UDP sockets");
    problems.Equal(udp6After.dwOutDatagrams - udp6Before.dwOutDatagrams, kDatagrams, "UDPv6 datagrams out");
    problems.Equal(udp6After.dwInDatagrams - udp6Before.dwInDatagrams, kDatagrams, "UDPv6 datagrams in");
    return problems.Text();
}

TEST_F(ProviderTest, EchoAndDatagramCountsGrowInANamespaceOfItsOwn) {
    if (!HostHasIpv6()) GTEST_SKIP() << "this kernel has no IPv6";
    UseLiveProc();
    RunInOwnNetworkNamespace(CountersInNamespace);
}

}  // namespace
