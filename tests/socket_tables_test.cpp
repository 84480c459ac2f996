// The provider's socket tables: the /proc/net/tcp and /proc/net/udp parser
// on captured and damaged text, the kernel-to-MIB state map, the row order,
// the owner index on proc roots built at run time, and the two table entry
// points loaded as the program loads them, on a fixture root and on the live
// kernel (sockets of this test on 127.0.0.1, and of a child of another user).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "OwnerClient.h"
#include "TempDir.h"
#include "ProcFiles.h"
#include "SocketOwners.h"
#include "SocketTables.h"
#include "iphlpapi.h"

namespace fs = std::filesystem;
using provider::Socket6Row;
using provider::SocketRow;

namespace {

// ------------------------------------------------------------ helpers

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string Fixture(const std::string& name) {
    const std::string text = ReadText(std::string(FIXTURE_DIR) + "/net/" + name);
    EXPECT_FALSE(text.empty()) << "fixture net/" << name << " is missing";
    return text;
}

// The four bytes of a network-order address as they lie in memory.
std::string Dotted(DWORD networkOrder) {
    unsigned char b[4];
    std::memcpy(b, &networkOrder, sizeof b);
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

std::string Describe(const SocketRow& r) {
    return std::to_string(r.state) + " " + Dotted(r.localAddr) + ":" + std::to_string(r.localPort) + " " +
           Dotted(r.remoteAddr) + ":" + std::to_string(r.remotePort) + " inode " + std::to_string(r.inode) + " pid " +
           std::to_string(r.pid);
}

std::vector<std::string> Describe(const std::vector<SocketRow>& rows) {
    std::vector<std::string> out;
    for (const SocketRow& r : rows) out.push_back(Describe(r));
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Join(const std::vector<std::string>& lines, const std::string& eol, bool finalEol) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (i + 1 < lines.size() || finalEol) out += eol;
    }
    return out;
}

// Sets TESSALINE_PROC_ROOT (or unsets it for the live /proc) for one scope.
class ProcRootScope {
public:
    explicit ProcRootScope(const std::optional<std::string>& root) {
        if (const char* old = std::getenv("TESSALINE_PROC_ROOT")) m_saved = old;
        Use(root);
    }
    ~ProcRootScope() {
        if (m_saved)
            setenv("TESSALINE_PROC_ROOT", m_saved->c_str(), 1);
        else
            unsetenv("TESSALINE_PROC_ROOT");
    }
    static void Use(const std::optional<std::string>& root) {
        if (root)
            setenv("TESSALINE_PROC_ROOT", root->c_str(), 1);
        else
            unsetenv("TESSALINE_PROC_ROOT");
    }

private:
    std::optional<std::string> m_saved;
};

// ROOT/PID/fd/FD -> target, a symlink that need not resolve ("socket:[5678]"
// dangles, as it would outside /proc; readlink still reads it).
void Link(const std::string& root, int pid, int fd, const std::string& target) {
    const fs::path dir = fs::path(root) / std::to_string(pid) / "fd";
    fs::create_directories(dir);
    const fs::path link = dir / std::to_string(fd);
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link);
}

void Unlink(const std::string& root, int pid, int fd) {
    fs::remove(fs::path(root) / std::to_string(pid) / "fd" / std::to_string(fd));
}

std::string SocketLink(std::uint64_t inode) { return "socket:[" + std::to_string(inode) + "]"; }

// An IPv6 endpoint as text: "[::1]:22", "[fe80::1%3]:22".
std::string Endpoint6(const std::uint8_t* address, DWORD scope, const std::string& port) {
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, address, text, sizeof text) == nullptr) return "?";
    std::string out = "[" + std::string(text);
    if (scope != 0) out += "%" + std::to_string(scope);
    return out + "]:" + port;
}

std::string Describe(const Socket6Row& r) {
    return std::to_string(r.state) + " " + Endpoint6(r.localAddr.data(), r.localScope, std::to_string(r.localPort)) +
           " " + Endpoint6(r.remoteAddr.data(), r.remoteScope, std::to_string(r.remotePort)) + " inode " +
           std::to_string(r.inode) +
           " pid " + std::to_string(r.pid);
}

std::vector<std::string> Describe(const std::vector<Socket6Row>& rows) {
    std::vector<std::string> out;
    for (const Socket6Row& r : rows) out.push_back(Describe(r));
    return out;
}

// ------------------------------------------------------ the /proc parser

// The captured text of this machine, with the sockets opened while it was
// taken: a listener on 127.0.0.1:40001, an established pair, a connection
// the client closed first (TIME_WAIT, no inode), one half closed by the
// client (FIN_WAIT2 / CLOSE_WAIT); UDP 127.0.0.1:40002 and 40003, the second
// connected to the first.
const std::vector<std::string> kKernelTcpRows = {
    "2 0.0.0.0:2024 0.0.0.0:0 inode 319 pid 0",
    "2 127.0.0.1:40001 0.0.0.0:0 inode 764795 pid 0",
    "5 127.0.0.1:48988 127.0.0.1:40001 inode 764796 pid 0",
    "11 127.0.0.1:49000 127.0.0.1:40001 inode 0 pid 0",
    "7 127.0.0.1:49010 127.0.0.1:40001 inode 764800 pid 0",
    "8 127.0.0.1:40001 127.0.0.1:49010 inode 764801 pid 0",
    "5 127.0.0.1:40001 127.0.0.1:48988 inode 764797 pid 0",
};

TEST(ProcTableParse, KernelTcpCaptureGivesEveryRowExactly) {
    int bad = -1;
    const std::vector<SocketRow> rows = provider::ParseProcSocketTable(Fixture("tcp-kernel-6.18.txt"), true, bad);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(Describe(rows), kKernelTcpRows);
    // 127.0.0.1 lies in memory as 7F 00 00 01, whatever the host's byte order.
    ASSERT_GE(rows.size(), 2u);
    unsigned char bytes[4];
    std::memcpy(bytes, &rows[1].localAddr, sizeof bytes);
    EXPECT_EQ(bytes[0], 0x7F);
    EXPECT_EQ(bytes[1], 0x00);
    EXPECT_EQ(bytes[2], 0x00);
    EXPECT_EQ(bytes[3], 0x01);
    EXPECT_EQ(rows[1].localAddr, htonl(INADDR_LOOPBACK));
}

TEST(ProcTableParse, KernelUdpCaptureHasNoTcpState) {
    int bad = -1;
    const std::vector<SocketRow> rows = provider::ParseProcSocketTable(Fixture("udp-kernel-6.18.txt"), false, bad);
    EXPECT_EQ(bad, 0);
    // The kernel prints 07 and 01 in the st column of UDP; they are no TCP state.
    EXPECT_EQ(Describe(rows), (std::vector<std::string>{
                                  "0 127.0.0.1:40002 0.0.0.0:0 inode 764802 pid 0",
                                  "0 127.0.0.1:40003 127.0.0.1:40002 inode 764803 pid 0",
                              }));
}

// Damaged content: a bad line of each kind between good ones, blank and
// whitespace-only lines, and a last line cut short without a newline.
TEST(ProcTableParse, DamagedFileKeepsGoodLinesAndCountsBadOnes) {
    int bad = -1;
    const std::vector<SocketRow> rows = provider::ParseProcSocketTable(Fixture("tcp-broken.txt"), true, bad);
    EXPECT_EQ(Describe(rows), (std::vector<std::string>{
                                  "2 127.0.0.1:40001 0.0.0.0:0 inode 1001 pid 0",
                                  "5 10.0.0.2:22 192.168.0.1:50000 inode 1002 pid 0",
                                  "8 127.0.0.1:40001 127.0.0.1:49010 inode 1003 pid 0",
                                  "2 192.168.0.1:53 0.0.0.0:0 inode 1004 pid 0",
                              }));
    // Bad hex, cut after the state, IPv6-wide endpoints, 7-digit address,
    // 5-digit port, state "0Z", inode "90a8", slot without colon, truncated
    // last line.
    EXPECT_EQ(bad, 9);
}

struct ParseCase {
    const char* name;
    std::string text;
    std::vector<std::string> rows;
    int bad;
};

void ExpectParses(const std::vector<ParseCase>& cases) {
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        int bad = -1;
        const std::vector<SocketRow> rows = provider::ParseProcSocketTable(c.text, true, bad);
        EXPECT_EQ(Describe(rows), c.rows);
        EXPECT_EQ(bad, c.bad);
    }
}

// The captured TCP text with its last line cut after `at` characters and no
// final newline.
std::string CutLastLine(const std::vector<std::string>& lines, std::size_t at) {
    std::vector<std::string> l(lines.begin(), lines.end() - 1);
    l.push_back(lines.back().substr(0, at));
    return Join(l, "\n", false);
}

// The captured TCP text reframed: without its header or with it between the
// rows, line endings, a missing final newline, the last line cut short.
TEST(ProcTableParse, FramingAndTruncationOfCapturedText) {
    const std::vector<std::string> lines = Lines(Fixture("tcp-kernel-6.18.txt"));
    ASSERT_EQ(lines.size(), 8u);
    const std::string& last = lines.back();
    ASSERT_NE(last.find(" 764797 "), std::string::npos);
    const std::vector<std::string> firstSix(kKernelTcpRows.begin(), kKernelTcpRows.end() - 1);
    const std::vector<std::string> withoutHeader(lines.begin() + 1, lines.end());
    std::vector<std::string> headerBetween = withoutHeader;
    headerBetween.insert(headerBetween.begin() + 3, lines[0]);
    ExpectParses({
        // The header is known by its "sl" column, not by coming first: a
        // capture without it keeps its first row.
        {"no header line", Join(withoutHeader, "\n", true), kKernelTcpRows, 0},
        {"no header line, CRLF, no final line ending", Join(withoutHeader, "\r\n", false), kKernelTcpRows, 0},
        {"blank lines, then no header line", "\n \t\n" + Join(withoutHeader, "\n", true), kKernelTcpRows, 0},
        {"header between rows", Join(headerBetween, "\n", true), kKernelTcpRows, 0},
        {"CRLF line endings", Join(lines, "\r\n", true), kKernelTcpRows, 0},
        {"no final newline", Join(lines, "\n", false), kKernelTcpRows, 0},
        {"CRLF, no final line ending", Join(lines, "\r\n", false), kKernelTcpRows, 0},
        {"header only", lines[0] + "\n", {}, 0},
        {"header only, CR, no newline", lines[0] + "\r", {}, 0},
        {"empty", "", {}, 0},
        {"blank lines only", "\n\n  \r\n\t\n", {}, 0},
        {"last line cut inside the local address", CutLastLine(lines, last.find("0100007F:9C41") + 10), firstSix, 1},
        {"last line cut after the remote address", CutLastLine(lines, last.find("0100007F:BF5C") + 13), firstSix, 1},
        {"last line cut before the inode", CutLastLine(lines, last.find(" 764797 ") + 1), firstSix, 1},
    });
}

// Lines that still hold enough fields once damaged: their inode column holds
// something else, and a row with a wrong inode is attributed to whichever
// process holds a socket of that number.
TEST(ProcTableParse, DamagedLineIsNotReadWithAWrongInode) {
    const std::vector<std::string> lines = Lines(Fixture("tcp-kernel-6.18.txt"));
    ASSERT_EQ(lines.size(), 8u);
    ASSERT_NE(lines.back().find(" 764797 "), std::string::npos);
    const std::vector<std::string> firstSix(kKernelTcpRows.begin(), kKernelTcpRows.end() - 1);
    std::vector<std::string> noTxRx = lines;
    const std::size_t txrx = noTxRx[2].find(" 00000000:00000000");
    ASSERT_NE(txrx, std::string::npos);
    noTxRx[2].erase(txrx, std::strlen(" 00000000:00000000"));
    std::vector<std::string> withoutListener = kKernelTcpRows;
    withoutListener.erase(withoutListener.begin() + 1);
    ExpectParses({
        // "7647" of "764797".
        {"last line cut inside the inode", CutLastLine(lines, lines.back().find(" 764797 ") + 5), firstSix, 1},
        // Every later field shifts left by one: the reference count lands in
        // the inode column.
        {"tx_queue:rx_queue missing from a middle line", Join(noTxRx, "\n", true), withoutListener, 1},
    });
}

// ------------------------------------------------- the /proc IPv6 parser

// Captured on this kernel (little-endian) in a network namespace: a
// dual-stack listener on [::]:40011 that accepted an IPv4 client (the
// v4-mapped row), a V6ONLY listener on [::1]:40010 with a connection, a
// listener on the link-local fe80::1 of a veth with a connection, a
// listener on [::1]:40016 whose connection the client closed first
// (TIME_WAIT, no inode); UDP on [::1]:40013, on fe80::1, and a dual-stack
// socket connected to an IPv4 peer.  The text names no interface, so every
// scope id is 0.
const std::vector<std::string> kKernelTcp6Rows = {
    "2 [::]:40011 [::]:0 inode 2346349 pid 0",
    "2 [fe80::1]:40012 [::]:0 inode 2346354 pid 0",
    "2 [::1]:40010 [::]:0 inode 2346348 pid 0",
    "2 [::1]:40016 [::]:0 inode 2346361 pid 0",
    "5 [fe80::1]:47780 [fe80::1]:40012 inode 2346355 pid 0",
    "5 [::1]:54752 [::1]:40010 inode 2346352 pid 0",
    "5 [fe80::1]:40012 [fe80::1]:47780 inode 2346356 pid 0",
    "5 [::ffff:127.0.0.1]:40011 [::ffff:127.0.0.1]:37618 inode 2346351 pid 0",
    "5 [::1]:40010 [::1]:54752 inode 2346353 pid 0",
    "11 [::1]:40210 [::1]:40016 inode 0 pid 0",
};
const std::vector<std::string> kKernelUdp6Rows = {
    "0 [::1]:40013 [::]:0 inode 2346357 pid 0",
    "0 [fe80::1]:40014 [::]:0 inode 2346359 pid 0",
    "0 [::ffff:127.0.0.1]:40015 [::ffff:127.0.0.1]:40013 inode 2346360 pid 0",
};

TEST(ProcTable6Parse, CapturedAndDamagedText) {
    const std::string tcp6 = Fixture("tcp6-kernel-6.18.txt");
    const std::vector<std::string> lines = Lines(tcp6);
    ASSERT_EQ(lines.size(), 11u);
    const std::size_t remote = lines.back().find(" 00000000000000000000000001000000:9C50");
    ASSERT_NE(remote, std::string::npos);
    const std::vector<std::string> firstNine(kKernelTcp6Rows.begin(), kKernelTcp6Rows.end() - 1);
    std::vector<std::string> mixedCase = lines;
    for (char& c : mixedCase[8]) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Case {
        const char* name;
        std::string text;
        bool tcp;
        std::vector<std::string> rows;
        int bad;
    };
    const Case cases[] = {
        {"captured TCP", tcp6, true, kKernelTcp6Rows, 0},
        {"captured UDP: its st column is no TCP state", Fixture("udp6-kernel-6.18.txt"), false, kKernelUdp6Rows, 0},
        {"captured TCP, CRLF, no final line ending", Join(lines, "\r\n", false), true, kKernelTcp6Rows, 0},
        {"captured TCP, a line in lower case", Join(mixedCase, "\n", true), true, kKernelTcp6Rows, 0},
        {"last line cut inside the remote address", CutLastLine(lines, remote + 20), true, firstNine, 1},
        {"last line cut after the state", CutLastLine(lines, remote + 42), true, firstNine, 1},
        // Bad hex, cut after the state, IPv4-wide endpoints, 31- and
        // 33-digit addresses, 5-digit port, state "0Z", inode "20a9", slot
        // without colon, truncated last line; blank lines between.
        {"damaged lines between good ones", Fixture("tcp6-broken.txt"), true,
         {
             "2 [::1]:40010 [::]:0 inode 2001 pid 0",
             "5 [::ffff:127.0.0.1]:40011 [::ffff:127.0.0.1]:37618 inode 2002 pid 0",
             "5 [fe80::1]:40012 [fe80::1]:47780 inode 2003 pid 0",
             "11 [::1]:40210 [::1]:40016 inode 0 pid 0",
         },
         10},
        {"an IPv4 capture", Fixture("tcp-kernel-6.18.txt"), true, {}, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int bad = -1;
        EXPECT_EQ(Describe(provider::ParseProcSocket6Table(c.text, c.tcp, bad)), c.rows);
        EXPECT_EQ(bad, c.bad);
    }
    // Neither parser takes the other family's lines.
    int bad = -1;
    EXPECT_TRUE(provider::ParseProcSocketTable(tcp6, true, bad).empty());
    EXPECT_EQ(bad, 10);
}

// Mutated captures of both families through both parsers, each from an
// exact-size heap copy, so that the sanitizer build catches a read past the
// text; a line gives a row or counts as bad, never more.
TEST(ProcTable6Parse, MutatedCapturesNeverReadOutsideTheirText) {
    const std::string seeds[] = {Fixture("tcp-kernel-6.18.txt"), Fixture("udp-kernel-6.18.txt"),
                                 Fixture("tcp6-kernel-6.18.txt"), Fixture("udp6-kernel-6.18.txt")};
    const char alphabet[] = "0123456789ABCDEFabcdefG:: \t\r\n-+";
    std::mt19937 random(61812);
    std::size_t rows = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text = seeds[i % 4];
        for (int e = 1 + static_cast<int>(random() % 4); e > 0 && !text.empty(); --e) {
            const std::size_t at = random() % text.size();
            switch (random() % 4) {
                case 0: text[at] = alphabet[random() % (sizeof alphabet - 1)]; break;
                case 1: text.resize(at); break;
                case 2: text.insert(at, 1, alphabet[random() % (sizeof alphabet - 1)]); break;
                case 3: text.erase(at, 1 + random() % 40); break;
            }
        }
        const std::vector<char> exact(text.begin(), text.end());
        const std::string_view view(exact.data(), exact.size());
        const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        int bad = 0;
        const std::size_t v4 = provider::ParseProcSocketTable(view, i % 2 == 0, bad).size();
        ASSERT_LE(v4 + static_cast<std::size_t>(bad), lines) << text;
        const std::size_t v6 = provider::ParseProcSocket6Table(view, i % 2 == 0, bad).size();
        ASSERT_LE(v6 + static_cast<std::size_t>(bad), lines) << text;
        rows += v4 + v6;
    }
    EXPECT_GT(rows, 0u);
}

// ---------------------------------------------------- the kernel's counts

TEST(Sockstat, SocketCountsForSizingTheTables) {
    const std::string sockstat =
        "sockets: used 18\nTCP: inuse 1 orphan 0 tw 3 alloc 11 mem 256\nUDP: inuse 2 mem 0\nUDPLITE: inuse 0\n";
    const std::string sockstat6 = "TCP6: inuse 9\nUDP6: inuse 4\nUDPLITE6: inuse 0\nRAW6: inuse 0\n";
    struct Case {
        const char* name;
        std::string text6;  // unused for IPv4
        std::string text;
        int protocol;
        bool ipv6;
        std::optional<std::size_t> count;
    };
    const Case cases[] = {
        {"TCP: allocated and TIME_WAIT", "", sockstat, IPPROTO_TCP, false, 14},
        {"UDP: in use", "", sockstat, IPPROTO_UDP, false, 2},
        {"TCP6: in use here, TIME_WAIT of both families there", sockstat6, sockstat, IPPROTO_TCP, true, 12},
        {"UDP6: in use", sockstat6, sockstat, IPPROTO_UDP, true, 4},
        {"UDP6 needs nothing of the IPv4 file", sockstat6, "", IPPROTO_UDP, true, 4},
        {"TCP6 without the TIME_WAIT count", sockstat6, "TCP: inuse 1\n", IPPROTO_TCP, true, std::nullopt},
        {"no IPv6 counters", "", sockstat, IPPROTO_TCP, true, std::nullopt},
        {"UDP6 line missing", "TCP6: inuse 9\n", sockstat, IPPROTO_UDP, true, std::nullopt},
        {"UDPLITE6 is not UDP6", "UDPLITE6: inuse 5\n", sockstat, IPPROTO_UDP, true, std::nullopt},
        {"a count that is no number", "TCP6: inuse 9x\n", sockstat, IPPROTO_TCP, true, std::nullopt},
        {"a line cut after its name", "TCP6: inuse", sockstat, IPPROTO_TCP, true, std::nullopt},
        {"TCP line without its counts", "", "TCP:\n", IPPROTO_TCP, false, std::nullopt},
        {"TCP6 is not TCP", "", sockstat6, IPPROTO_TCP, false, std::nullopt},
    };
    for (const Case& c : cases) {
        std::size_t count = 777;
        const bool ok = c.ipv6 ? provider::ParseSockstat6(c.text6, c.text, c.protocol, count)
                               : provider::ParseSockstat(c.text, c.protocol, count);
        EXPECT_EQ(ok, c.count.has_value()) << c.name;
        if (ok && c.count) {
            EXPECT_EQ(count, *c.count) << c.name;
        }
    }
}

// ------------------------------------------------------------ the state map

TEST(SocketStateMap, EveryKernelStateAndTheValuesAroundThem) {
    // kernel value -> MIB value (1 CLOSED, 2 LISTEN, 3 SYN_SENT, 4 SYN_RCVD,
    // 5 ESTAB, 6 FIN_WAIT1, 7 FIN_WAIT2, 8 CLOSE_WAIT, 9 CLOSING, 10 LAST_ACK,
    // 11 TIME_WAIT; 0 for what the kernel does not define).
    const std::vector<std::pair<unsigned, DWORD>> table = {
        {0, 0},  {1, 5},  {2, 3},  {3, 4},  {4, 6},  {5, 7},   {6, 11},  {7, 1},       {8, 8},           {9, 10},
        {10, 2}, {11, 9}, {12, 4}, {13, 0}, {14, 0}, {255, 0}, {256, 0}, {0x10001, 0}, {0xFFFFFFFFu, 0},
    };
    for (const auto& [kernel, mib] : table) EXPECT_EQ(provider::MibTcpState(kernel), mib) << "kernel state " << kernel;
}

// ------------------------------------------------------------ the row order

SocketRow Row(const char* local, WORD localPort, const char* remote, WORD remotePort, std::uint64_t tag) {
    SocketRow r;
    r.localAddr = inet_addr(local);
    r.localPort = localPort;
    r.remoteAddr = inet_addr(remote);
    r.remotePort = remotePort;
    r.inode = tag;
    r.pid = static_cast<DWORD>(tag * 10);
    r.state = static_cast<DWORD>(tag % 12);
    return r;
}

TEST(SocketRowSort, NumericAddressesThenPortsInHostOrder) {
    // Each pair of neighbours differs in one key only, and for each key the
    // network-order words (or ports) compare the other way round.
    const std::vector<SocketRow> sorted = {
        Row("10.0.0.2", 80, "1.0.0.2", 1, 1),     Row("127.0.0.1", 255, "1.0.0.2", 255, 2),
        Row("127.0.0.1", 255, "1.0.0.2", 256, 3), Row("127.0.0.1", 255, "2.0.0.1", 1, 4),
        Row("127.0.0.1", 256, "1.0.0.2", 1, 5),   Row("127.0.0.2", 1, "0.0.0.0", 0, 6),
        Row("192.168.0.1", 1, "0.0.0.0", 0, 7),   Row("255.255.255.255", 65535, "255.255.255.255", 65535, 8),
    };
    std::vector<std::vector<SocketRow>> inputs = {sorted, {sorted.rbegin(), sorted.rend()}};
    std::mt19937 random(20240611);
    for (int i = 0; i < 8; ++i) {
        std::vector<SocketRow> shuffled = sorted;
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        inputs.push_back(shuffled);
    }
    for (std::vector<SocketRow>& rows : inputs) {
        provider::SortRows(rows);
        EXPECT_EQ(Describe(rows), Describe(sorted));
    }
}

Socket6Row Row6(const char* local, DWORD localScope, WORD localPort, const char* remote, DWORD remoteScope,
               WORD remotePort, std::uint64_t tag) {
    Socket6Row r;
    inet_pton(AF_INET6, local, r.localAddr.data());
    r.localScope = localScope;
    r.localPort = localPort;
    inet_pton(AF_INET6, remote, r.remoteAddr.data());
    r.remoteScope = remoteScope;
    r.remotePort = remotePort;
    r.inode = tag;
    r.pid = static_cast<DWORD>(tag * 10);
    r.state = static_cast<DWORD>(tag % 12);
    return r;
}

TEST(SocketRowSort, Ipv6AddressBytesThenScopeThenPort) {
    // Each pair of neighbours differs in one key only; ::100 and ::1:0
    // compare the other way as numbers of their host-order words, and ports
    // 255 and 256 (79 and 256) as network-order words.
    const std::vector<Socket6Row> sorted = {
        Row6("::", 0, 65535, "::", 0, 0, 1),
        Row6("::100", 0, 1, "::", 0, 0, 2),
        Row6("::1:0", 0, 1, "::", 0, 0, 3),
        Row6("fe80::1", 2, 65535, "fe80::1", 2, 1, 4),
        Row6("fe80::1", 3, 255, "::1", 0, 65535, 5),
        Row6("fe80::1", 3, 256, "::", 0, 0, 6),
        Row6("fe80::1", 3, 256, "fe80::1", 2, 65535, 7),
        Row6("fe80::1", 3, 256, "fe80::2", 1, 80, 8),
        Row6("fe80::1", 3, 256, "fe80::2", 2, 79, 9),
        Row6("fe80::1", 3, 256, "fe80::2", 2, 256, 10),
        Row6("ff02::1", 0, 1, "::", 0, 0, 11),
    };
    std::vector<std::vector<Socket6Row>> inputs = {sorted, {sorted.rbegin(), sorted.rend()}};
    std::mt19937 random(20261210);
    for (int i = 0; i < 8; ++i) {
        std::vector<Socket6Row> shuffled = sorted;
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        inputs.push_back(shuffled);
    }
    for (std::vector<Socket6Row>& rows : inputs) {
        provider::SortRows(rows);
        EXPECT_EQ(Describe(rows), Describe(sorted));
    }
}

// ------------------------------------------------------- link text of an fd

TEST(SocketInodeOfLink, OnlyASocketLinkWithADecimalInode) {
    const std::string overlong = "socket:[" + std::string(40, '9') + "]";
    const std::vector<std::pair<std::string, std::uint64_t>> table = {
        {"socket:[5678]", 5678},
        {"socket:[1]", 1},
        {"socket:[18446744073709551615]", 18446744073709551615ull},
        {"socket:[18446744073709551616]", 0},
        {overlong, 0},
        {"socket:[]", 0},
        {"socket:[12a]", 0},
        {"socket:[0x12]", 0},
        {"socket:[-5]", 0},
        {"socket:[+5]", 0},
        {"socket:[ 5]", 0},
        {"socket:[5678", 0},
        {"socket:[5678]x", 0},
        {"socket:5678", 0},
        {"Socket:[5678]", 0},
        {" socket:[5678]", 0},
        {"pipe:[5]", 0},
        {"anon_inode:[eventfd]", 0},
        {"/dev/null", 0},
        {"", 0},
    };
    for (const auto& [link, inode] : table) EXPECT_EQ(provider::SocketInodeOfLink(link), inode) << '"' << link << '"';
}

// ----------------------------------------------------------- the owner index

// A proc root of processes with descriptors, built in a temporary directory:
//   1234: 0 -> /dev/null, 1 -> pipe:[42], 2 -> anon_inode:[eventfd], 3 -> socket:[5678]
//   2000: 5 -> socket:[7000], 6 -> socket:[7001], 7 -> socket:[5678 (malformed)
//   3000: 0 -> /dev/null (no socket)
//   4000: no fd directory;  self -> 1234, net/: entries that are no process
class SocketOwnerIndexTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().string().empty());
        Link(root(), 1234, 0, "/dev/null");
        Link(root(), 1234, 1, "pipe:[42]");
        Link(root(), 1234, 2, "anon_inode:[eventfd]");
        Link(root(), 1234, 3, SocketLink(5678));
        Link(root(), 2000, 5, SocketLink(7000));
        Link(root(), 2000, 6, SocketLink(7001));
        Link(root(), 2000, 7, "socket:[5678");
        Link(root(), 3000, 0, "/dev/null");
        fs::create_directories(fs::path(root()) / "4000");
        fs::create_directories(fs::path(root()) / "net");
        fs::create_symlink("1234", fs::path(root()) / "self");
    }

    std::string root() const { return m_dir.Path().string(); }

    // Rows for the inodes, with a stale pid that Resolve must overwrite;
    // `live` is the same set unless given.
    std::vector<DWORD> Resolve(const std::vector<std::uint64_t>& inodes,
                               std::optional<std::unordered_set<std::uint64_t>> live = std::nullopt) {
        return ResolveIn(provider::kTcpTable, inodes, std::move(live));
    }
    std::vector<DWORD> ResolveIn(unsigned table, const std::vector<std::uint64_t>& inodes,
                                 std::optional<std::unordered_set<std::uint64_t>> live = std::nullopt) {
        std::vector<SocketRow> rows;
        for (std::uint64_t inode : inodes) {
            SocketRow r;
            r.inode = inode;
            r.pid = 77;
            rows.push_back(r);
        }
        if (!live) live.emplace(inodes.begin(), inodes.end());
        live->erase(0);
        m_index.Resolve(provider::ProcRoot(), table, rows, *live);
        std::vector<DWORD> pids;
        for (const SocketRow& r : rows) pids.push_back(r.pid);
        return pids;
    }

    unsigned long Walks() const { return m_index.GetStats().fullWalks; }
    unsigned long Verified() const { return m_index.GetStats().verified; }
    unsigned long Kept() const { return m_index.GetStats().keptDirectories; }

    TempDir m_dir{"tessaline-sockets-"};
    ProcRootScope m_scope{m_dir.Path().string()};
    provider::SocketOwnerIndex m_index;
};

using Pids = std::vector<DWORD>;
using Inodes = std::unordered_set<std::uint64_t>;

TEST_F(SocketOwnerIndexTest, FindsOwnersInOneWalkThenVerifiesWithoutWalking) {
    EXPECT_EQ(Resolve({5678, 7000, 0, 7001, 9999}), (Pids{1234, 2000, 0, 2000, 0}));
    EXPECT_EQ(Walks(), 1u);
    EXPECT_EQ(Kept(), 2u);

    const unsigned long verified = Verified();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Resolve({5678, 7000, 0, 7001, 9999}), (Pids{1234, 2000, 0, 2000, 0}));
    EXPECT_EQ(Walks(), 1u);
    EXPECT_EQ(Verified(), verified + 9);
    EXPECT_EQ(Kept(), 2u);
}

TEST_F(SocketOwnerIndexTest, SocketThatMovesIsFoundAgain) {
    ASSERT_EQ(Resolve({5678, 7000}), (Pids{1234, 2000}));
    const unsigned long walks = Walks();

    // To another descriptor of the same process: that process is looked
    // through first, no walk.
    Unlink(root(), 1234, 3);
    Link(root(), 1234, 9, SocketLink(5678));
    EXPECT_EQ(Resolve({5678, 7000}), (Pids{1234, 2000}));
    EXPECT_EQ(Walks(), walks);

    // To a process that held no socket: one walk.
    Unlink(root(), 1234, 9);
    Link(root(), 3000, 4, SocketLink(5678));
    EXPECT_EQ(Resolve({5678, 7000}), (Pids{3000, 2000}));
    EXPECT_EQ(Walks(), walks + 1);

    // And back, next to a socket of a known holder.
    Unlink(root(), 3000, 4);
    Link(root(), 2000, 8, SocketLink(5678));
    EXPECT_EQ(Resolve({5678, 7000}), (Pids{2000, 2000}));
    EXPECT_EQ(Resolve({5678, 7000}), (Pids{2000, 2000}));
}

TEST_F(SocketOwnerIndexTest, ReusedPidNeverMatchesTheOldSocket) {
    ASSERT_EQ(Resolve({5678, 7000}), (Pids{1234, 2000}));

    // Process 1234 exits and a new process gets its pid; its descriptor 3 is
    // another socket.
    fs::remove_all(fs::path(root()) / "1234");
    Link(root(), 1234, 3, SocketLink(8888));

    EXPECT_EQ(Resolve({5678, 7000}, Inodes{5678, 7000, 8888}), (Pids{0, 2000}));
    EXPECT_EQ(Resolve({5678, 8888, 7000}), (Pids{0, 1234, 2000}));
}

TEST_F(SocketOwnerIndexTest, NewProcessOnAReusedPidIsLookedThroughInTheSameResolve) {
    ASSERT_EQ(Resolve({5678}), (Pids{1234}));
    fs::remove_all(fs::path(root()) / "1234");
    Link(root(), 1234, 3, SocketLink(8888));
    // The kept handle of the old 1234 opens but lists nothing (a removed
    // directory); the walk must still look through the new 1234, or 8888 is
    // remembered as ownerless for as long as it stays open.
    EXPECT_EQ(Resolve({5678, 8888}), (Pids{0, 1234}));
    EXPECT_EQ(Resolve({8888}), (Pids{1234}));
}

TEST_F(SocketOwnerIndexTest, UnheldSocketCostsOneWalkUntilItCloses) {
    EXPECT_EQ(Resolve({9999}), (Pids{0}));
    EXPECT_EQ(Walks(), 1u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Resolve({9999}), (Pids{0}));
    EXPECT_EQ(Walks(), 1u);

    // Still open but not among this call's rows: still remembered.
    EXPECT_EQ(Resolve({}, Inodes{9999}), Pids{});
    EXPECT_EQ(Resolve({9999}), (Pids{0}));
    EXPECT_EQ(Walks(), 1u);

    // Closed, then an inode of that number opens again: looked for anew.
    EXPECT_EQ(Resolve({}), Pids{});
    Link(root(), 3000, 6, SocketLink(9999));
    EXPECT_EQ(Resolve({9999}), (Pids{3000}));
    EXPECT_EQ(Walks(), 2u);
}

TEST_F(SocketOwnerIndexTest, RowsWithoutInodeNeverWalk) {
    EXPECT_EQ(Resolve({}), Pids{});
    EXPECT_EQ(Resolve({0, 0, 0}), (Pids{0, 0, 0}));
    EXPECT_EQ(Walks(), 0u);
    EXPECT_EQ(Kept(), 0u);
}

TEST_F(SocketOwnerIndexTest, ClosedSocketsAreForgotten) {
    ASSERT_EQ(Resolve({5678, 7000, 7001}), (Pids{1234, 2000, 2000}));
    EXPECT_EQ(Kept(), 2u);

    EXPECT_EQ(Resolve({7000, 7001}), (Pids{2000, 2000}));
    EXPECT_EQ(Kept(), 1u);
    EXPECT_EQ(Resolve({7001}), (Pids{2000}));
    EXPECT_EQ(Kept(), 1u);
    EXPECT_EQ(Resolve({}), Pids{});
    EXPECT_EQ(Kept(), 0u);

    // Nothing is remembered of 5678: it is looked for again, by a walk.
    const unsigned long walks = Walks();
    EXPECT_EQ(Resolve({5678}), (Pids{1234}));
    EXPECT_EQ(Walks(), walks + 1);
}

TEST_F(SocketOwnerIndexTest, AnotherProcRootDropsWhatWasRemembered) {
    ASSERT_EQ(Resolve({5678}), (Pids{1234}));
    TempDir other("tessaline-sockets-");
    ASSERT_FALSE(other.Path().string().empty());
    Link(other.Path().string(), 2222, 1, SocketLink(5678));
    ProcRootScope::Use(other.Path().string());
    EXPECT_EQ(Resolve({5678}), (Pids{2222}));
    EXPECT_EQ(Kept(), 1u);
}

// The four tables of a refresh through one index.  Besides the sockets
// above: 1234 fd 4 -> socket:[6001] (UDP), 2000 fd 8 -> socket:[6002]
// (TCP6), 3000 fd 5 -> socket:[6003] (UDP6).
class SharedOwnerIndexTest : public SocketOwnerIndexTest {
protected:
    void SetUp() override {
        SocketOwnerIndexTest::SetUp();
        Link(root(), 1234, 4, SocketLink(6001));
        Link(root(), 2000, 8, SocketLink(6002));
        Link(root(), 3000, 5, SocketLink(6003));
    }
    // One refresh: the four tables in a row.
    void Refresh() {
        EXPECT_EQ(ResolveIn(provider::kTcpTable, {5678, 7000, 7001}), (Pids{1234, 2000, 2000}));
        EXPECT_EQ(ResolveIn(provider::kUdpTable, {6001}), (Pids{1234}));
        EXPECT_EQ(ResolveIn(provider::kTcp6Table, {6002}), (Pids{2000}));
        EXPECT_EQ(ResolveIn(provider::kUdp6Table, {6003}), (Pids{3000}));
    }
};

TEST_F(SharedOwnerIndexTest, OneWalkServesEveryTableOfARefresh) {
    Refresh();
    EXPECT_EQ(Walks(), 1u);
    // The tables after the first found their sockets remembered and checked
    // them; 3000, which held no TCP socket, is kept from then on.
    EXPECT_EQ(Verified(), 3u);
    EXPECT_EQ(Kept(), 3u);
    Refresh();
    Refresh();
    EXPECT_EQ(Walks(), 1u);
    EXPECT_EQ(Verified(), 3u + 2 * 6);
}

TEST_F(SharedOwnerIndexTest, ATableForgetsOnlyItsOwnClosedSockets) {
    Refresh();
    // UDP6 closes its socket: 3000 holds nothing any table lists, so its
    // handle goes; UDP resolving with its own rows leaves the other tables'
    // sockets remembered, so each is checked, not looked for again.
    EXPECT_EQ(ResolveIn(provider::kUdp6Table, {}), Pids{});
    EXPECT_EQ(Kept(), 2u);
    EXPECT_EQ(ResolveIn(provider::kUdpTable, {6001}), (Pids{1234}));
    const unsigned long verified = Verified();
    EXPECT_EQ(ResolveIn(provider::kTcpTable, {5678, 7000, 7001}), (Pids{1234, 2000, 2000}));
    EXPECT_EQ(ResolveIn(provider::kTcp6Table, {6002}), (Pids{2000}));
    EXPECT_EQ(Verified(), verified + 4);
    EXPECT_EQ(Walks(), 1u);
    // The closed socket is looked for anew when its number comes back.
    EXPECT_EQ(ResolveIn(provider::kUdp6Table, {6003}), (Pids{3000}));
    EXPECT_EQ(Walks(), 2u);
}

// A socket of a later table that the round's walk did not meet: held by a
// process that appeared after the walk (4000), or by none in sight (9999).
// Neither costs a second walk in the round; the next round's walk places
// the first and settles the second as ownerless for as long as it is open.
TEST_F(SharedOwnerIndexTest, SocketUnplacedAfterTheRoundsWalkWaitsForTheNextRound) {
    const std::vector<std::uint64_t> udp = {6001, 6100, 9999};
    auto refresh = [&](const Pids& udpOwners) {
        EXPECT_EQ(ResolveIn(provider::kTcpTable, {5678, 7000, 7001}), (Pids{1234, 2000, 2000}));
        if (!fs::exists(fs::path(root()) / "4000" / "fd" / "3")) Link(root(), 4000, 3, SocketLink(6100));
        EXPECT_EQ(ResolveIn(provider::kUdpTable, udp), udpOwners);
        EXPECT_EQ(ResolveIn(provider::kTcp6Table, {6002}), (Pids{2000}));
    };
    refresh({1234, 0, 0});
    EXPECT_EQ(Walks(), 1u);
    refresh({1234, 4000, 0});
    EXPECT_EQ(Walks(), 2u);
    refresh({1234, 4000, 0});
    refresh({1234, 4000, 0});
    EXPECT_EQ(Walks(), 2u);
}

// A walk records every socket it meets for the tables that follow; what no
// table claims is kept through the next round only.
TEST_F(SharedOwnerIndexTest, WhatAWalkMetForNoTableIsDroppedAfterTheNextRound) {
    EXPECT_EQ(ResolveIn(provider::kTcpTable, {5678}), (Pids{1234}));
    EXPECT_EQ(ResolveIn(provider::kTcpTable, {5678}), (Pids{1234}));
    EXPECT_EQ(ResolveIn(provider::kTcp6Table, {6002}), (Pids{2000}));
    EXPECT_EQ(Walks(), 1u);

    EXPECT_EQ(ResolveIn(provider::kTcpTable, {5678}), (Pids{1234}));
    EXPECT_EQ(ResolveIn(provider::kTcpTable, {5678}), (Pids{1234}));
    EXPECT_EQ(ResolveIn(provider::kUdp6Table, {6003}), (Pids{3000}));
    EXPECT_EQ(Walks(), 2u);
}

// ------------------------------------------------------- the entry points

struct Library {
    void* handle = nullptr;
    PFN_GetExtendedTcpTable tcp = nullptr;
    PFN_GetExtendedUdpTable udp = nullptr;
    std::string error;
};

const Library& Provider() {
    static const Library library = [] {
        Library l;
        l.handle = dlopen(PROVIDER_DIR "/libiphlpapi.so", RTLD_NOW | RTLD_LOCAL);
        if (l.handle == nullptr) {
            const char* why = dlerror();
            l.error = why != nullptr ? why : "dlopen failed";
            return l;
        }
        void* tcp = dlsym(l.handle, "GetExtendedTcpTable");
        void* udp = dlsym(l.handle, "GetExtendedUdpTable");
        if (tcp == nullptr || udp == nullptr) l.error = "GetExtendedTcpTable or GetExtendedUdpTable not exported";
        std::memcpy(&l.tcp, &tcp, sizeof tcp);
        std::memcpy(&l.udp, &udp, sizeof udp);
        return l;
    }();
    return library;
}

constexpr ULONG kAfInet = 2;
constexpr std::size_t kTcpRowBytes = 24;
constexpr std::size_t kUdpRowBytes = 12;

DWORD WordAt(const std::vector<unsigned char>& buffer, std::size_t offset) {
    DWORD w = 0;
    std::memcpy(&w, buffer.data() + offset, sizeof w);
    return w;
}

// A port word: the port in network order in its first two bytes, zeros after.
std::string Port(DWORD word) {
    unsigned char b[4];
    std::memcpy(b, &word, sizeof b);
    std::string text = std::to_string(b[0] << 8 | b[1]);
    if (b[2] != 0 || b[3] != 0) text += "(high bytes set)";
    return text;
}

// The published records, read word by word at their offsets: TCP rows are
// state, local address, local port, remote address, remote port, pid; UDP
// rows local address, local port, pid.
std::vector<std::string> TcpRows(const std::vector<unsigned char>& buffer) {
    std::vector<std::string> rows;
    const DWORD count = WordAt(buffer, 0);
    if (4 + std::size_t{count} * kTcpRowBytes > buffer.size()) return {"count " + std::to_string(count) + " overruns"};
    for (DWORD i = 0; i < count; ++i) {
        const std::size_t at = 4 + i * kTcpRowBytes;
        rows.push_back(std::to_string(WordAt(buffer, at)) + " " + Dotted(WordAt(buffer, at + 4)) + ":" +
                       Port(WordAt(buffer, at + 8)) + " " + Dotted(WordAt(buffer, at + 12)) + ":" +
                       Port(WordAt(buffer, at + 16)) + " pid " + std::to_string(WordAt(buffer, at + 20)));
    }
    return rows;
}

std::vector<std::string> UdpRows(const std::vector<unsigned char>& buffer) {
    std::vector<std::string> rows;
    const DWORD count = WordAt(buffer, 0);
    if (4 + std::size_t{count} * kUdpRowBytes > buffer.size()) return {"count " + std::to_string(count) + " overruns"};
    for (DWORD i = 0; i < count; ++i) {
        const std::size_t at = 4 + i * kUdpRowBytes;
        rows.push_back(Dotted(WordAt(buffer, at)) + ":" + Port(WordAt(buffer, at + 4)) + " pid " +
                       std::to_string(WordAt(buffer, at + 8)));
    }
    return rows;
}

constexpr ULONG kAfInet6 = 23;
constexpr std::size_t kTcp6RowBytes = 56;
constexpr std::size_t kUdp6RowBytes = 28;

// The IPv6 records: TCP rows are local address (16 bytes), local scope,
// local port, remote address, remote scope, remote port, state, pid; UDP
// rows local address, local scope, local port, pid.
std::vector<std::string> Tcp6Rows(const std::vector<unsigned char>& buffer) {
    std::vector<std::string> rows;
    const DWORD count = WordAt(buffer, 0);
    if (4 + std::size_t{count} * kTcp6RowBytes > buffer.size()) return {"count " + std::to_string(count) + " overruns"};
    for (DWORD i = 0; i < count; ++i) {
        const std::size_t at = 4 + i * kTcp6RowBytes;
        auto endpoint = [&](std::size_t offset) {
            return Endpoint6(buffer.data() + at + offset, WordAt(buffer, at + offset + 16),
                             Port(WordAt(buffer, at + offset + 20)));
        };
        rows.push_back(std::to_string(WordAt(buffer, at + 48)) + " " + endpoint(0) + " " + endpoint(24) + " pid " +
                       std::to_string(WordAt(buffer, at + 52)));
    }
    return rows;
}

std::vector<std::string> Udp6Rows(const std::vector<unsigned char>& buffer) {
    std::vector<std::string> rows;
    const DWORD count = WordAt(buffer, 0);
    if (4 + std::size_t{count} * kUdp6RowBytes > buffer.size()) return {"count " + std::to_string(count) + " overruns"};
    for (DWORD i = 0; i < count; ++i) {
        const std::size_t at = 4 + i * kUdp6RowBytes;
        rows.push_back(Endpoint6(buffer.data() + at, WordAt(buffer, at + 16), Port(WordAt(buffer, at + 20))) +
                       " pid " + std::to_string(WordAt(buffer, at + 24)));
    }
    return rows;
}

// Asks for the size, then for the table, as callers do; bounded retries for
// sockets that open in between.
template <class Fn, class Class>
DWORD FetchTable(Fn fn, Class tableClass, BOOL order, std::vector<unsigned char>& buffer, ULONG af = kAfInet) {
    DWORD rc = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        DWORD size = 0;
        rc = fn(nullptr, &size, order, af, tableClass, 0);
        if (rc != ERROR_INSUFFICIENT_BUFFER) return rc;
        buffer.assign(size, 0xAB);
        rc = fn(buffer.data(), &size, order, af, tableClass, 0);
        if (rc != ERROR_INSUFFICIENT_BUFFER) return rc;
    }
    return rc;
}

class ExtendedTablesFixtureRoot : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Provider().error.empty()) << Provider().error;
        ASSERT_FALSE(m_dir.Path().string().empty());
        const fs::path net = fs::path(root()) / "net";
        fs::create_directories(net);
        std::ofstream(net / "tcp", std::ios::binary) << Fixture("tcp-kernel-6.18.txt");
        std::ofstream(net / "udp", std::ios::binary) << Fixture("udp-kernel-6.18.txt");
        Link(root(), 4321, 0, "/dev/null");
        Link(root(), 4321, 7, SocketLink(764795));
        Link(root(), 4321, 8, SocketLink(764797));
        Link(root(), 555, 3, SocketLink(764796));
        Link(root(), 555, 4, SocketLink(764802));
        Link(root(), 555, 5, "pipe:[1]");
        Link(root(), 555, 9, SocketLink(764800));
        std::ofstream(net / "tcp6", std::ios::binary) << Fixture("tcp6-kernel-6.18.txt");
        std::ofstream(net / "udp6", std::ios::binary) << Fixture("udp6-kernel-6.18.txt");
        Link(root(), 4321, 10, SocketLink(2346349));
        Link(root(), 4321, 11, SocketLink(2346351));
        Link(root(), 555, 12, SocketLink(2346348));
        Link(root(), 555, 13, SocketLink(2346353));
        Link(root(), 555, 14, SocketLink(2346357));
        Link(root(), 777, 3, SocketLink(2346355));
        Link(root(), 777, 4, SocketLink(2346356));
        Link(root(), 777, 5, SocketLink(2346352));
    }

    std::string root() const { return m_dir.Path().string(); }

    TempDir m_dir{"tessaline-sockets-"};
    ProcRootScope m_scope{m_dir.Path().string()};
};

constexpr std::size_t kFixtureTcpRows = 7;
constexpr std::size_t kFixtureUdpRows = 2;

TEST_F(ExtendedTablesFixtureRoot, TcpSizeThenSortedRowsWithOwners) {
    const auto tcp = Provider().tcp;
    DWORD size = 0;
    EXPECT_EQ(tcp(nullptr, &size, TRUE, kAfInet, TCP_TABLE_OWNER_PID_ALL, 0), ERROR_INSUFFICIENT_BUFFER);
    // Room for the rows there are, and for at least one that opens before
    // the second call.
    EXPECT_GE(size, 4 + (kFixtureTcpRows + 1) * kTcpRowBytes);

    // One byte short: refused, the buffer left alone, the size given again.
    std::vector<unsigned char> small(4 + kFixtureTcpRows * kTcpRowBytes - 1, 0xAB);
    size = static_cast<DWORD>(small.size());
    EXPECT_EQ(tcp(small.data(), &size, TRUE, kAfInet, TCP_TABLE_OWNER_PID_ALL, 0), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GE(size, 4 + (kFixtureTcpRows + 1) * kTcpRowBytes);
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](unsigned char b) { return b == 0xAB; }));

    // Exactly the rows' size is enough.
    std::vector<unsigned char> buffer(4 + kFixtureTcpRows * kTcpRowBytes, 0xAB);
    size = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(tcp(buffer.data(), &size, TRUE, kAfInet, TCP_TABLE_OWNER_PID_ALL, 0), NO_ERROR);
    EXPECT_EQ(WordAt(buffer, 0), kFixtureTcpRows);
    EXPECT_EQ(TcpRows(buffer), (std::vector<std::string>{
                                   "2 0.0.0.0:2024 0.0.0.0:0 pid 0",
                                   "2 127.0.0.1:40001 0.0.0.0:0 pid 4321",
                                   "5 127.0.0.1:40001 127.0.0.1:48988 pid 4321",
                                   "8 127.0.0.1:40001 127.0.0.1:49010 pid 0",
                                   "5 127.0.0.1:48988 127.0.0.1:40001 pid 555",
                                   "11 127.0.0.1:49000 127.0.0.1:40001 pid 0",
                                   "7 127.0.0.1:49010 127.0.0.1:40001 pid 555",
                               }));
}

TEST_F(ExtendedTablesFixtureRoot, TcpUnorderedKeepsTheKernelsOrder) {
    std::vector<unsigned char> buffer;
    ASSERT_EQ(FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, FALSE, buffer), NO_ERROR);
    EXPECT_EQ(TcpRows(buffer), (std::vector<std::string>{
                                   "2 0.0.0.0:2024 0.0.0.0:0 pid 0",
                                   "2 127.0.0.1:40001 0.0.0.0:0 pid 4321",
                                   "5 127.0.0.1:48988 127.0.0.1:40001 pid 555",
                                   "11 127.0.0.1:49000 127.0.0.1:40001 pid 0",
                                   "7 127.0.0.1:49010 127.0.0.1:40001 pid 555",
                                   "8 127.0.0.1:40001 127.0.0.1:49010 pid 0",
                                   "5 127.0.0.1:40001 127.0.0.1:48988 pid 4321",
                               }));
}

TEST_F(ExtendedTablesFixtureRoot, UdpSizeThenRowsWithOwners) {
    const auto udp = Provider().udp;
    DWORD size = 0;
    EXPECT_EQ(udp(nullptr, &size, TRUE, kAfInet, UDP_TABLE_OWNER_PID, 0), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GE(size, 4 + (kFixtureUdpRows + 1) * kUdpRowBytes);
    std::vector<unsigned char> small(4 + kFixtureUdpRows * kUdpRowBytes - 1, 0xAB);
    size = static_cast<DWORD>(small.size());
    EXPECT_EQ(udp(small.data(), &size, TRUE, kAfInet, UDP_TABLE_OWNER_PID, 0), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](unsigned char b) { return b == 0xAB; }));

    std::vector<unsigned char> buffer(4 + kFixtureUdpRows * kUdpRowBytes, 0xAB);
    size = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(udp(buffer.data(), &size, TRUE, kAfInet, UDP_TABLE_OWNER_PID, 0), NO_ERROR);
    EXPECT_EQ(UdpRows(buffer), (std::vector<std::string>{"127.0.0.1:40002 pid 555", "127.0.0.1:40003 pid 0"}));
}

// Requests the provider does not serve fail outright: never success, and
// never "buffer too small", which would send a caller round its size loop.
TEST_F(ExtendedTablesFixtureRoot, UnsupportedRequestsFail) {
    const auto tcp = Provider().tcp;
    const auto udp = Provider().udp;
    std::vector<unsigned char> buffer(64 * 1024, 0xAB);
    auto refused = [](DWORD rc) { return rc != NO_ERROR && rc != ERROR_INSUFFICIENT_BUFFER; };

    for (ULONG family : {kAfInet, kAfInet6}) {
        for (int c : {0, 1, 2, 6, 7, 8, 9, -1}) {
            for (bool withBuffer : {false, true}) {
                DWORD size = withBuffer ? static_cast<DWORD>(buffer.size()) : 0;
                EXPECT_PRED1(refused, tcp(withBuffer ? buffer.data() : nullptr, &size, TRUE, family,
                                          static_cast<TCP_TABLE_CLASS>(c), 0))
                    << "TCP class " << c << " af " << family;
            }
        }
        for (int c : {0, 2, 3, -1}) {
            for (bool withBuffer : {false, true}) {
                DWORD size = withBuffer ? static_cast<DWORD>(buffer.size()) : 0;
                EXPECT_PRED1(refused, udp(withBuffer ? buffer.data() : nullptr, &size, TRUE, family,
                                          static_cast<UDP_TABLE_CLASS>(c), 0))
                    << "UDP class " << c << " af " << family;
            }
        }
    }
    for (ULONG af : {0u, 1u, 10u, 24u}) {
        DWORD size = static_cast<DWORD>(buffer.size());
        EXPECT_PRED1(refused, tcp(buffer.data(), &size, TRUE, af, TCP_TABLE_OWNER_PID_ALL, 0)) << "af " << af;
        size = static_cast<DWORD>(buffer.size());
        EXPECT_PRED1(refused, udp(buffer.data(), &size, TRUE, af, UDP_TABLE_OWNER_PID, 0)) << "af " << af;
    }
    EXPECT_PRED1(refused, tcp(buffer.data(), nullptr, TRUE, kAfInet, TCP_TABLE_OWNER_PID_ALL, 0));
    EXPECT_PRED1(refused, tcp(nullptr, nullptr, TRUE, kAfInet, TCP_TABLE_OWNER_PID_ALL, 0));
    EXPECT_PRED1(refused, udp(buffer.data(), nullptr, TRUE, kAfInet, UDP_TABLE_OWNER_PID, 0));
    EXPECT_PRED1(refused, udp(nullptr, nullptr, TRUE, kAfInet, UDP_TABLE_OWNER_PID, 0));
    EXPECT_PRED1(refused, tcp(buffer.data(), nullptr, TRUE, kAfInet6, TCP_TABLE_OWNER_PID_ALL, 0));
    EXPECT_PRED1(refused, udp(nullptr, nullptr, TRUE, kAfInet6, UDP_TABLE_OWNER_PID, 0));
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](unsigned char b) { return b == 0xAB; }));
}

constexpr std::size_t kFixtureTcp6Rows = 10;
constexpr std::size_t kFixtureUdp6Rows = 3;

// The IPv6 tables keep the calling rules of the IPv4 ones: a size with room
// to spare for no buffer or one too small, which is then left alone, and
// the rows in order of address bytes, scope and port when asked, else as
// the kernel lists them.
TEST_F(ExtendedTablesFixtureRoot, Ipv6TablesSizeThenRowsWithOwners) {
    const std::vector<std::string> tcp6Sorted = {
        "2 [::]:40011 [::]:0 pid 4321",
        "2 [::1]:40010 [::]:0 pid 555",
        "5 [::1]:40010 [::1]:54752 pid 555",
        "2 [::1]:40016 [::]:0 pid 0",
        "11 [::1]:40210 [::1]:40016 pid 0",
        "5 [::1]:54752 [::1]:40010 pid 777",
        "5 [::ffff:127.0.0.1]:40011 [::ffff:127.0.0.1]:37618 pid 4321",
        "2 [fe80::1]:40012 [::]:0 pid 0",
        "5 [fe80::1]:40012 [fe80::1]:47780 pid 777",
        "5 [fe80::1]:47780 [fe80::1]:40012 pid 777",
    };
    const std::vector<std::string> tcp6Kernel = {
        "2 [::]:40011 [::]:0 pid 4321",
        "2 [fe80::1]:40012 [::]:0 pid 0",
        "2 [::1]:40010 [::]:0 pid 555",
        "2 [::1]:40016 [::]:0 pid 0",
        "5 [fe80::1]:47780 [fe80::1]:40012 pid 777",
        "5 [::1]:54752 [::1]:40010 pid 777",
        "5 [fe80::1]:40012 [fe80::1]:47780 pid 777",
        "5 [::ffff:127.0.0.1]:40011 [::ffff:127.0.0.1]:37618 pid 4321",
        "5 [::1]:40010 [::1]:54752 pid 555",
        "11 [::1]:40210 [::1]:40016 pid 0",
    };
    const std::vector<std::string> udp6Sorted = {
        "[::1]:40013 pid 555",
        "[::ffff:127.0.0.1]:40015 pid 0",
        "[fe80::1]:40014 pid 0",
    };
    struct Case {
        const char* what;
        std::function<DWORD(PVOID, PDWORD, BOOL)> call;
        std::size_t rows, rowBytes;
        std::function<std::vector<std::string>(const std::vector<unsigned char>&)> read;
        std::vector<std::string> sorted, unsorted;
    };
    const auto tcp = Provider().tcp;
    const auto udp = Provider().udp;
    const Case cases[] = {
        {"TCP6", [tcp](PVOID b, PDWORD s, BOOL o) { return tcp(b, s, o, kAfInet6, TCP_TABLE_OWNER_PID_ALL, 0); },
         kFixtureTcp6Rows, kTcp6RowBytes, Tcp6Rows, tcp6Sorted, tcp6Kernel},
        {"UDP6", [udp](PVOID b, PDWORD s, BOOL o) { return udp(b, s, o, kAfInet6, UDP_TABLE_OWNER_PID, 0); },
         kFixtureUdp6Rows, kUdp6RowBytes, Udp6Rows, udp6Sorted,
         {"[::1]:40013 pid 555", "[fe80::1]:40014 pid 0", "[::ffff:127.0.0.1]:40015 pid 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t exact = 4 + c.rows * c.rowBytes;
        DWORD size = 0;
        EXPECT_EQ(c.call(nullptr, &size, TRUE), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_GE(size, exact + c.rowBytes);
        std::vector<unsigned char> small(exact - 1, 0xAB);
        size = static_cast<DWORD>(small.size());
        EXPECT_EQ(c.call(small.data(), &size, TRUE), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_GE(size, exact + c.rowBytes);
        EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](unsigned char b) { return b == 0xAB; }));

        std::vector<unsigned char> buffer(exact, 0xAB);
        size = static_cast<DWORD>(buffer.size());
        ASSERT_EQ(c.call(buffer.data(), &size, TRUE), NO_ERROR);
        EXPECT_EQ(WordAt(buffer, 0), c.rows);
        EXPECT_EQ(c.read(buffer), c.sorted);
        ASSERT_EQ(c.call(buffer.data(), &size, FALSE), NO_ERROR);
        EXPECT_EQ(c.read(buffer), c.unsorted);
    }
}

// The listener and connection classes, of either family: the rows of the
// whole table in LISTEN, and all the others.
TEST_F(ExtendedTablesFixtureRoot, ListenerAndConnectionClassesSplitTheTable) {
    const auto tcp = Provider().tcp;
    for (ULONG af : {kAfInet, kAfInet6}) {
        SCOPED_TRACE(af);
        const auto read = af == kAfInet ? TcpRows : Tcp6Rows;
        std::vector<unsigned char> buffer;
        ASSERT_EQ(FetchTable(tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer, af), NO_ERROR);
        std::vector<std::string> listening, others;
        for (const std::string& row : read(buffer)) (row.rfind("2 ", 0) == 0 ? listening : others).push_back(row);
        ASSERT_FALSE(listening.empty());
        ASSERT_FALSE(others.empty());
        ASSERT_EQ(FetchTable(tcp, TCP_TABLE_OWNER_PID_LISTENER, TRUE, buffer, af), NO_ERROR);
        EXPECT_EQ(read(buffer), listening);
        ASSERT_EQ(FetchTable(tcp, TCP_TABLE_OWNER_PID_CONNECTIONS, TRUE, buffer, af), NO_ERROR);
        EXPECT_EQ(read(buffer), others);
        // Exactly the listeners' size is enough.
        std::vector<unsigned char> exact(4 + listening.size() * (af == kAfInet ? kTcpRowBytes : kTcp6RowBytes));
        DWORD size = static_cast<DWORD>(exact.size());
        EXPECT_EQ(tcp(exact.data(), &size, TRUE, af, TCP_TABLE_OWNER_PID_LISTENER, 0), NO_ERROR);
    }
}

// A kernel without IPv6 has no tcp6 or udp6 file: the IPv6 tables are not
// supported there, whatever the buffer, and the IPv4 tables are unaffected.
TEST_F(ExtendedTablesFixtureRoot, WithoutIpv6TheIpv6TablesAreNotSupported) {
    fs::remove(fs::path(root()) / "net" / "tcp6");
    fs::remove(fs::path(root()) / "net" / "udp6");
    const auto tcp = Provider().tcp;
    const auto udp = Provider().udp;
    std::vector<unsigned char> buffer(64 * 1024, 0xAB);
    for (bool withBuffer : {false, true}) {
        DWORD size = withBuffer ? static_cast<DWORD>(buffer.size()) : 0;
        EXPECT_EQ(tcp(withBuffer ? buffer.data() : nullptr, &size, TRUE, kAfInet6, TCP_TABLE_OWNER_PID_ALL, 0),
                  ERROR_NOT_SUPPORTED);
        size = withBuffer ? static_cast<DWORD>(buffer.size()) : 0;
        EXPECT_EQ(udp(withBuffer ? buffer.data() : nullptr, &size, TRUE, kAfInet6, UDP_TABLE_OWNER_PID, 0),
                  ERROR_NOT_SUPPORTED);
    }
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](unsigned char b) { return b == 0xAB; }));
    ASSERT_EQ(FetchTable(tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer), NO_ERROR);
    EXPECT_EQ(TcpRows(buffer).size(), kFixtureTcpRows);
    ASSERT_EQ(FetchTable(udp, UDP_TABLE_OWNER_PID, TRUE, buffer), NO_ERROR);
    EXPECT_EQ(UdpRows(buffer).size(), kFixtureUdpRows);
}

TEST_F(ExtendedTablesFixtureRoot, MissingKernelTableFails) {
    fs::remove(fs::path(root()) / "net" / "tcp");
    std::vector<unsigned char> buffer;
    const DWORD rc = FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer);
    EXPECT_NE(rc, NO_ERROR);
    EXPECT_NE(rc, ERROR_INSUFFICIENT_BUFFER);
}

// The provider's own entry point for the facts of a table's rows.
PFN_GetSocketRowFacts RowFacts() {
    void* f = Provider().handle != nullptr ? dlsym(Provider().handle, "GetSocketRowFacts") : nullptr;
    PFN_GetSocketRowFacts fn = nullptr;
    std::memcpy(&fn, &f, sizeof f);
    return fn;
}

// The facts of the rows of a table read from files: no cookies, and for
// every IPv6 socket the system's default of whether it takes IPv4 too
// (ROOT/sys/net/ipv6/bindv6only), marked as the default's; nothing when the
// default cannot be read.  They are those of the table the calling thread
// was given last, of exactly its rows, and only for that thread.
TEST_F(ExtendedTablesFixtureRoot, RowFactsOfATableReadFromFiles) {
    const PFN_GetSocketRowFacts facts = RowFacts();
    ASSERT_NE(facts, nullptr) << "GetSocketRowFacts is not exported";
    const auto tcp = Provider().tcp;
    const auto udp = Provider().udp;
    const fs::path bindv6only = fs::path(root()) / "sys" / "net" / "ipv6" / "bindv6only";
    fs::create_directories(bindv6only.parent_path());
    const auto factsOf = [&](ULONG af, ULONG protocol, DWORD rows) {
        std::vector<SOCKET_ROW_FACTS> out(rows, SOCKET_ROW_FACTS{~0ull, ~0u, ~0u});
        EXPECT_EQ(facts(af, protocol, out.data(), rows), NO_ERROR);
        return out;
    };
    struct Case {
        const char* text;  // null: no such file
        DWORD flags;
    };
    const Case cases[] = {
        {"0\n", SOCKET_ROW_DUAL_STACK | SOCKET_ROW_FAMILIES_BY_DEFAULT},
        {"1\n", SOCKET_ROW_V6ONLY | SOCKET_ROW_FAMILIES_BY_DEFAULT},
        {"1", SOCKET_ROW_V6ONLY | SOCKET_ROW_FAMILIES_BY_DEFAULT},
        {"2\n", 0},
        {"", 0},
        {"0 1\n", 0},
        {nullptr, 0},
    };
    std::vector<unsigned char> buffer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(none)");
        if (c.text != nullptr)
            std::ofstream(bindv6only, std::ios::binary) << c.text;
        else
            fs::remove(bindv6only);
        ASSERT_EQ(FetchTable(tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer, kAfInet6), NO_ERROR);
        for (const SOCKET_ROW_FACTS& f : factsOf(kAfInet6, IPPROTO_TCP, WordAt(buffer, 0)))
            EXPECT_EQ(std::make_tuple(f.cookie, f.flags, f.reserved), std::make_tuple(0ull, c.flags, 0u));
        ASSERT_EQ(FetchTable(udp, UDP_TABLE_OWNER_PID, TRUE, buffer, kAfInet6), NO_ERROR);
        for (const SOCKET_ROW_FACTS& f : factsOf(kAfInet6, IPPROTO_UDP, WordAt(buffer, 0))) EXPECT_EQ(f.flags, c.flags);
    }
    ASSERT_EQ(FetchTable(tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer), NO_ERROR);
    const DWORD rows = WordAt(buffer, 0);
    ASSERT_EQ(rows, kFixtureTcpRows);
    for (const SOCKET_ROW_FACTS& f : factsOf(kAfInet, IPPROTO_TCP, rows)) EXPECT_EQ(f.flags, 0u) << "IPv4";

    std::vector<SOCKET_ROW_FACTS> out(rows + 1);
    EXPECT_EQ(facts(kAfInet, IPPROTO_TCP, out.data(), rows + 1), ERROR_NOT_FOUND) << "another number of rows";
    EXPECT_EQ(facts(kAfInet, IPPROTO_TCP, nullptr, rows), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(facts(3, IPPROTO_TCP, out.data(), rows), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(facts(kAfInet, 132, out.data(), rows), ERROR_INVALID_PARAMETER);
    DWORD elsewhere = NO_ERROR;
    std::thread([&] { elsewhere = facts(kAfInet, IPPROTO_TCP, out.data(), rows); }).join();
    EXPECT_EQ(elsewhere, ERROR_NOT_FOUND) << "another thread was given no table";
    EXPECT_EQ(facts(kAfInet, IPPROTO_TCP, out.data(), rows), NO_ERROR);
    DWORD size = 0;
    ASSERT_EQ(tcp(nullptr, &size, TRUE, kAfInet, TCP_TABLE_OWNER_PID_ALL, 0), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(facts(kAfInet, IPPROTO_TCP, out.data(), rows), ERROR_NOT_FOUND) << "a call that gave no table";
}

// ------------------------------------------------------ on the live kernel

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

sockaddr_in Loopback(WORD port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

WORD LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

int BoundSocket(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in a = Loopback(0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Effective(cap_value_t c) {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return false;
    cap_flag_value_t v = CAP_CLEAR;
    cap_get_flag(caps, c, CAP_EFFECTIVE, &v);
    cap_free(caps);
    return v == CAP_SET;
}

bool Permitted(cap_value_t c) {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return false;
    cap_flag_value_t v = CAP_CLEAR;
    cap_get_flag(caps, c, CAP_PERMITTED, &v);
    cap_free(caps);
    return v == CAP_SET;
}

bool SetEffective(std::initializer_list<cap_value_t> list, cap_flag_value_t value) {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return false;
    std::vector<cap_value_t> v(list);
    const bool ok =
        cap_set_flag(caps, CAP_EFFECTIVE, static_cast<int>(v.size()), v.data(), value) == 0 && cap_set_proc(caps) == 0;
    cap_free(caps);
    return ok;
}

// Whether a live TCP table is in ascending order of local address, local
// port, remote address, remote port, addresses compared as numbers.
bool TcpTableSorted(const std::vector<unsigned char>& buffer) {
    const DWORD count = WordAt(buffer, 0);
    auto key = [&](DWORD i) {
        const std::size_t at = 4 + i * kTcpRowBytes;
        return std::make_tuple(ntohl(WordAt(buffer, at + 4)), ntohs(static_cast<uint16_t>(WordAt(buffer, at + 8))),
                               ntohl(WordAt(buffer, at + 12)), ntohs(static_cast<uint16_t>(WordAt(buffer, at + 16))));
    };
    for (DWORD i = 1; i < count; ++i)
        if (key(i) < key(i - 1)) return false;
    return true;
}

class ExtendedTablesLive : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Provider().error.empty()) << Provider().error; }
    ProcRootScope m_scope{std::nullopt};
};

TEST_F(ExtendedTablesLive, OwnSocketsOnLoopbackAppearWithThisPid) {
    Fd listener(BoundSocket(SOCK_STREAM));
    ASSERT_GE(listener.get(), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    const WORD listenPort = LocalPort(listener.get());
    Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = Loopback(listenPort);
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    Fd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(server.get(), 0);
    const WORD clientPort = LocalPort(client.get());
    Fd datagram(BoundSocket(SOCK_DGRAM));
    ASSERT_GE(datagram.get(), 0);
    const WORD udpPort = LocalPort(datagram.get());
    const std::string pid = std::to_string(getpid());
    const std::string lo = "127.0.0.1:";
    const bool ptraceBefore = Effective(CAP_SYS_PTRACE);
    const bool searchBefore = Effective(CAP_DAC_READ_SEARCH);

    std::vector<unsigned char> buffer;
    ASSERT_EQ(FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer), NO_ERROR);
    const std::vector<std::string> tcp = TcpRows(buffer);
    auto has = [](const std::vector<std::string>& rows, const std::string& row) {
        return std::count(rows.begin(), rows.end(), row) == 1;
    };
    const std::string port = std::to_string(listenPort);
    const std::string peer = std::to_string(clientPort);
    EXPECT_PRED2(has, tcp, "2 " + lo + port + " 0.0.0.0:0 pid " + pid);
    EXPECT_PRED2(has, tcp, "5 " + lo + peer + " " + lo + port + " pid " + pid);
    EXPECT_PRED2(has, tcp, "5 " + lo + port + " " + lo + peer + " pid " + pid);
    EXPECT_TRUE(TcpTableSorted(buffer));

    ASSERT_EQ(FetchTable(Provider().udp, UDP_TABLE_OWNER_PID, TRUE, buffer), NO_ERROR);
    EXPECT_PRED2(has, UdpRows(buffer), lo + std::to_string(udpPort) + " pid " + pid);

    // Nothing is left raised that the caller did not hold.
    EXPECT_FALSE(Effective(CAP_SYS_PTRACE) && !ptraceBefore);
    EXPECT_FALSE(Effective(CAP_DAC_READ_SEARCH) && !searchBefore);
}

// A socket of a process of another user is attributed while the caller holds
// the capabilities in its permitted set only: through the owner helper, which
// never changes the caller's capabilities, or, without a helper, by the
// provider itself, which raises them for the call and drops them after it.
class OtherUsersSocket : public ExtendedTablesLive, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(ThroughTheHelperOrInProcess, OtherUsersSocket, ::testing::Bool());

TEST_P(OtherUsersSocket, FoundWithoutTheCallerKeepingACapabilityRaised) {
    // The helper is chosen once a process: without one, this must be the
    // first table the process takes (as it is under CTest, which runs each
    // test in a process of its own).
    if (!GetParam()) {
        if (owners::HelperPid() > 0) GTEST_SKIP() << "an owner helper serves this process already";
        ::setenv("TESSALINE_OWNERS_HELPER", "/nonexistent/tessaline-owners", 1);
    }
    if (!Permitted(CAP_SYS_PTRACE) || !Permitted(CAP_DAC_READ_SEARCH) || !Permitted(CAP_SETUID) ||
        !Permitted(CAP_SETGID))
        GTEST_SKIP() << "needs CAP_SYS_PTRACE, CAP_DAC_READ_SEARCH, CAP_SETUID and CAP_SETGID";
    int ready[2], hold[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(hold[1]);
        const int fd = BoundSocket(SOCK_STREAM);
        WORD port = 0;
        if (fd >= 0 && ::listen(fd, 1) == 0 && setresgid(65534, 65534, 65534) == 0 &&
            setresuid(65534, 65534, 65534) == 0 && prctl(PR_SET_DUMPABLE, 1) == 0)
            port = LocalPort(fd);
        if (::write(ready[1], &port, sizeof port) != sizeof port) _exit(1);
        char c;
        while (::read(hold[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    struct Reap {
        pid_t pid;
        int fd;
        ~Reap() {
            ::close(fd);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reap{child, hold[1]};

    WORD port = 0;
    pollfd p{ready[0], POLLIN, 0};
    const bool answered = ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &port, sizeof port) == sizeof port;
    ::close(ready[0]);
    ASSERT_TRUE(answered);
    ASSERT_NE(port, 0) << "the child could not listen as user 65534";

    // Only what the capabilities grant: without them the child's descriptors
    // are out of reach.
    ASSERT_TRUE(SetEffective({CAP_SYS_PTRACE, CAP_DAC_READ_SEARCH, CAP_DAC_OVERRIDE}, CAP_CLEAR));
    const std::string link = "/proc/" + std::to_string(child) + "/fd/0";
    char target[64];
    ASSERT_LT(::readlink(link.c_str(), target, sizeof target), 0) << "the child's descriptors are readable anyway";

    std::vector<unsigned char> buffer;
    const DWORD rc = FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer);
    const bool ptrace = Effective(CAP_SYS_PTRACE);
    const bool search = Effective(CAP_DAC_READ_SEARCH);
    SetEffective({CAP_DAC_OVERRIDE}, CAP_SET);
    ASSERT_EQ(rc, NO_ERROR);
    const std::vector<std::string> tcp = TcpRows(buffer);
    EXPECT_EQ(std::count(tcp.begin(), tcp.end(),
                         "2 127.0.0.1:" + std::to_string(port) + " 0.0.0.0:0 pid " + std::to_string(child)),
              1);
    EXPECT_FALSE(ptrace);
    EXPECT_FALSE(search);
    EXPECT_TRUE(Permitted(CAP_SYS_PTRACE));
    EXPECT_TRUE(Permitted(CAP_DAC_READ_SEARCH));
}

// ------------------------------------------------- IPv6 on the live kernel

// Whether a live IPv6 TCP table is in ascending order of local address
// bytes, local scope, local port, remote address, remote scope, remote port.
bool Tcp6TableSorted(const std::vector<unsigned char>& buffer) {
    const DWORD count = WordAt(buffer, 0);
    auto key = [&](DWORD i) {
        const std::size_t at = 4 + i * kTcp6RowBytes;
        std::array<unsigned char, 16> local{}, remote{};
        std::memcpy(local.data(), buffer.data() + at, 16);
        std::memcpy(remote.data(), buffer.data() + at + 24, 16);
        return std::make_tuple(local, WordAt(buffer, at + 16), ntohs(static_cast<uint16_t>(WordAt(buffer, at + 20))),
                               remote, WordAt(buffer, at + 40), ntohs(static_cast<uint16_t>(WordAt(buffer, at + 44))));
    };
    for (DWORD i = 1; i < count; ++i)
        if (key(i) < key(i - 1)) return false;
    return true;
}

sockaddr_in6 Address6(const char* text, WORD port, std::uint32_t scope = 0) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &a.sin6_addr);
    a.sin6_port = htons(port);
    a.sin6_scope_id = scope;
    return a;
}

WORD LocalPort6(int fd) {
    sockaddr_in6 a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin6_port);
}

// An IPv6 socket bound to `address`, V6ONLY as asked; -1 on failure.
int Bound6(int type, const sockaddr_in6& address, bool v6only) {
    const int fd = ::socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int only = v6only ? 1 : 0;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint64_t InodeOf(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// A connected pair through `listener`: the client's and the accepted
// server's descriptors, or -1s.
std::pair<int, int> Connect(int listener, int family, const sockaddr* to, socklen_t length) {
    const int client = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0) return {-1, -1};
    if (::connect(client, to, length) != 0) {
        ::close(client);
        return {-1, -1};
    }
    return {client, ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)};
}

// Sockets of all four tables on loopback, none on a wildcard address: a
// TCP listener with a connection and a UDP socket on 127.0.0.1, the same on
// ::1 (V6ONLY).
struct LoopbackSockets {
    Fd tcp, tcpClient, tcpServer, udp, tcp6, tcp6Client, tcp6Server, udp6;
    std::string why;  // empty when every socket is open

    LoopbackSockets() {
        tcp = Fd(BoundSocket(SOCK_STREAM));
        udp = Fd(BoundSocket(SOCK_DGRAM));
        if (tcp.get() < 0 || udp.get() < 0 || ::listen(tcp.get(), 4) != 0) {
            why = "no IPv4 socket on loopback";
            return;
        }
        const sockaddr_in to = Loopback(LocalPort(tcp.get()));
        auto [client, server] = Connect(tcp.get(), AF_INET, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        tcpClient = Fd(client);
        tcpServer = Fd(server);
        tcp6 = Fd(Bound6(SOCK_STREAM, Address6("::1", 0), true));
        udp6 = Fd(Bound6(SOCK_DGRAM, Address6("::1", 0), true));
        if (tcp6.get() < 0 || udp6.get() < 0 || ::listen(tcp6.get(), 4) != 0) {
            why = "no IPv6 socket on ::1";
            return;
        }
        const sockaddr_in6 to6 = Address6("::1", LocalPort6(tcp6.get()));
        auto [client6, server6] = Connect(tcp6.get(), AF_INET6, reinterpret_cast<const sockaddr*>(&to6), sizeof to6);
        tcp6Client = Fd(client6);
        tcp6Server = Fd(server6);
        if (tcpServer.get() < 0 || tcp6Server.get() < 0) why = "no connection on loopback";
    }

    // The inodes of each table's sockets, by table id.
    std::vector<std::uint64_t> Inodes(unsigned table) const {
        switch (table) {
            case provider::kTcpTable: return {InodeOf(tcp.get()), InodeOf(tcpClient.get()), InodeOf(tcpServer.get())};
            case provider::kUdpTable: return {InodeOf(udp.get())};
            case provider::kTcp6Table:
                return {InodeOf(tcp6.get()), InodeOf(tcp6Client.get()), InodeOf(tcp6Server.get())};
            default: return {InodeOf(udp6.get())};
        }
    }
};

// In process: the four tables of the live kernel through one index, in a
// row, take one walk over every process, and each finds this process's
// sockets.
TEST(SharedOwnerIndexLive, FourTablesOfARefreshTakeOneWalk) {
    ProcRootScope scope{std::nullopt};
    const LoopbackSockets sockets;
    if (!sockets.why.empty()) GTEST_SKIP() << sockets.why;
    provider::SocketOwnerIndex index;
    std::vector<SocketRow> rows;
    std::vector<Socket6Row> rows6;
    for (int round = 0; round < 2; ++round) {
        for (unsigned table : {provider::kTcpTable, provider::kUdpTable, provider::kTcp6Table, provider::kUdp6Table}) {
            SCOPED_TRACE(table);
            const int protocol = table == provider::kTcpTable || table == provider::kTcp6Table ? IPPROTO_TCP : IPPROTO_UDP;
            DWORD error = NO_ERROR;
            std::unordered_set<std::uint64_t> live;
            std::vector<std::pair<std::uint64_t, DWORD>> owners;
            auto resolve = [&](auto& tableRows) {
                for (const auto& r : tableRows)
                    if (r.inode != 0) live.insert(r.inode);
                index.Resolve("/proc", table, tableRows, live);
                for (const auto& r : tableRows) owners.emplace_back(r.inode, r.pid);
            };
            if (table == provider::kTcpTable || table == provider::kUdpTable) {
                ASSERT_TRUE(provider::CollectSockets(protocol, rows, error)) << error;
                resolve(rows);
            } else {
                ASSERT_TRUE(provider::CollectSockets6(protocol, rows6, error)) << error;
                resolve(rows6);
            }
            for (std::uint64_t inode : sockets.Inodes(table)) {
                const auto it = std::find_if(owners.begin(), owners.end(), [inode](const auto& o) { return o.first == inode; });
                ASSERT_NE(it, owners.end()) << "socket " << inode << " is not in the table";
                EXPECT_EQ(it->second, static_cast<DWORD>(getpid())) << "socket " << inode;
            }
        }
        // The first table walked; the others found their owners recorded.
        if (round == 0) {
            EXPECT_EQ(index.GetStats().fullWalks, 1u);
        }
    }
}

// Through the entry points and the owner helper, as the program takes a
// refresh: the helper walks once for the four tables.
TEST_F(ExtendedTablesLive, FourTablesOfARefreshTakeOneWalkOfTheOwnerHelper) {
    const LoopbackSockets sockets;
    if (!sockets.why.empty()) GTEST_SKIP() << sockets.why;
    // A helper that served this process before may place the new sockets
    // among the processes it knows, without a walk.
    std::uint64_t before = 0;
    const bool fresh = !owners::HelperFullWalks(before);
    const std::string pid = " pid " + std::to_string(getpid());
    auto has = [](const std::vector<std::string>& rows, const std::string& row) {
        return std::count(rows.begin(), rows.end(), row) == 1;
    };
    const std::string lo = "127.0.0.1:", lo6 = "[::1]:";
    const std::string tcpPort = std::to_string(LocalPort(sockets.tcp.get()));
    const std::string tcpPeer = std::to_string(LocalPort(sockets.tcpClient.get()));
    const std::string tcp6Port = std::to_string(LocalPort6(sockets.tcp6.get()));
    const std::string tcp6Peer = std::to_string(LocalPort6(sockets.tcp6Client.get()));

    std::vector<unsigned char> buffer;
    ASSERT_EQ(FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer), NO_ERROR);
    EXPECT_PRED2(has, TcpRows(buffer), "5 " + lo + tcpPeer + " " + lo + tcpPort + pid);
    ASSERT_EQ(FetchTable(Provider().udp, UDP_TABLE_OWNER_PID, TRUE, buffer), NO_ERROR);
    EXPECT_PRED2(has, UdpRows(buffer), lo + std::to_string(LocalPort(sockets.udp.get())) + pid);
    ASSERT_EQ(FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer, kAfInet6), NO_ERROR);
    const std::vector<std::string> tcp6 = Tcp6Rows(buffer);
    EXPECT_PRED2(has, tcp6, "2 " + lo6 + tcp6Port + " [::]:0" + pid);
    EXPECT_PRED2(has, tcp6, "5 " + lo6 + tcp6Peer + " " + lo6 + tcp6Port + pid);
    EXPECT_PRED2(has, tcp6, "5 " + lo6 + tcp6Port + " " + lo6 + tcp6Peer + pid);
    EXPECT_TRUE(Tcp6TableSorted(buffer));
    ASSERT_EQ(FetchTable(Provider().udp, UDP_TABLE_OWNER_PID, TRUE, buffer, kAfInet6), NO_ERROR);
    EXPECT_PRED2(has, Udp6Rows(buffer), lo6 + std::to_string(LocalPort6(sockets.udp6.get())) + pid);

    std::uint64_t after = 0;
    if (!owners::HelperFullWalks(after)) GTEST_SKIP() << "no owner helper serves this process";
    if (fresh) {
        EXPECT_EQ(after, 1u);
    } else {
        EXPECT_LE(after - before, 1u);
    }
}

// Runs `body` in a child process in a network namespace of its own, with
// lo up and the link-local fe80::1 on it, and returns the lines it wrote
// (the first "skip: ..." when the namespace cannot be made).  The child is
// ended by its pid whatever happens.
std::vector<std::string> InOwnNetworkNamespace(const std::function<std::vector<std::string>()>& body) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return {"skip: no pipe"};
    const pid_t child = fork();
    if (child < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return {"skip: no fork"};
    }
    if (child == 0) {
        ::close(out[0]);
        std::vector<std::string> lines;
        // `ip` runs as a child of this one, waited for a bounded time.
        auto ip = [](std::vector<std::string> args) {
            std::vector<char*> argv;
            args.insert(args.begin(), "ip");
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            pid_t pid = -1;
            if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0) return false;
            int status = -1;
            for (int i = 0; i < 200; ++i) {
                if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
                usleep(25000);
            }
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return false;
        };
        if (unshare(CLONE_NEWNET) != 0)
            lines = {"skip: cannot make a network namespace here"};
        else if (!ip({"link", "set", "lo", "up"}) || !ip({"addr", "add", "fe80::1/64", "dev", "lo", "nodad"}))
            lines = {"skip: ip cannot set up the namespace's loopback"};
        else
            lines = body();
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(out[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    ::close(out[1]);
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char chunk[4096];
        const ssize_t n = ::read(out[0], chunk, sizeof chunk);
        if (n <= 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return Lines(text);
}

// In a namespace of the test's own: a V6ONLY listener on ::1 with a
// connection, a dual-stack listener on [::] (V6ONLY off) that accepted an
// IPv4 client, a listener on the link-local fe80::1%lo with a connection,
// and UDP on ::1 and fe80::1%lo.  Every row is there with this child's pid,
// the link-local ones with lo's index as their scope, the IPv4 client only
// in the IPv4 table; through the owner helper or in process.
class Ipv6SocketsLive : public ExtendedTablesLive, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(ThroughTheHelperOrInProcess, Ipv6SocketsLive, ::testing::Bool());

TEST_P(Ipv6SocketsLive, RowsOfEveryKindWithTheirOwners) {
    if (owners::HelperPid() > 0) GTEST_SKIP() << "an owner helper serves this process already";
    const bool throughHelper = GetParam();
    const std::vector<std::string> said = InOwnNetworkNamespace([throughHelper]() -> std::vector<std::string> {
        if (!throughHelper) ::setenv("TESSALINE_OWNERS_HELPER", "/nonexistent/tessaline-owners", 1);
        const std::uint32_t lo = if_nametoindex("lo");
        Fd only(Bound6(SOCK_STREAM, Address6("::1", 0), true));
        Fd dual(Bound6(SOCK_STREAM, Address6("::", 0), false));
        Fd linkLocal(Bound6(SOCK_STREAM, Address6("fe80::1", 0, lo), true));
        Fd udp(Bound6(SOCK_DGRAM, Address6("::1", 0), true));
        Fd udpLinkLocal(Bound6(SOCK_DGRAM, Address6("fe80::1", 0, lo), true));
        if (only.get() < 0 || dual.get() < 0 || linkLocal.get() < 0 || udp.get() < 0 || udpLinkLocal.get() < 0 ||
            ::listen(only.get(), 4) != 0 || ::listen(dual.get(), 4) != 0 || ::listen(linkLocal.get(), 4) != 0)
            return {"skip: no IPv6 sockets in the namespace"};
        const sockaddr_in6 toOnly = Address6("::1", LocalPort6(only.get()));
        const sockaddr_in toDual = Loopback(LocalPort6(dual.get()));
        const sockaddr_in6 toLinkLocal = Address6("fe80::1", LocalPort6(linkLocal.get()), lo);
        auto [c1, s1] = Connect(only.get(), AF_INET6, reinterpret_cast<const sockaddr*>(&toOnly), sizeof toOnly);
        auto [c2, s2] = Connect(dual.get(), AF_INET, reinterpret_cast<const sockaddr*>(&toDual), sizeof toDual);
        auto [c3, s3] = Connect(linkLocal.get(), AF_INET6, reinterpret_cast<const sockaddr*>(&toLinkLocal),
                                sizeof toLinkLocal);
        const Fd held[] = {Fd(c1), Fd(s1), Fd(c2), Fd(s2), Fd(c3), Fd(s3)};
        for (const Fd& fd : held)
            if (fd.get() < 0) return {"fail: a connection was refused"};

        // The rows expected, then the tables taken.
        const std::string pid = " pid " + std::to_string(getpid());
        const std::string any = " [::]:0";
        const std::string ll = "[fe80::1%" + std::to_string(lo) + "]:";
        auto port = [](int fd) { return std::to_string(LocalPort6(fd)); };
        const std::string mapped = "[::ffff:127.0.0.1]:";
        std::vector<std::string> lines = {
            "expect tcp6 2 [::1]:" + port(only.get()) + any + pid,
            "expect tcp6 5 [::1]:" + port(c1) + " [::1]:" + port(s1) + pid,
            "expect tcp6 5 [::1]:" + port(s1) + " [::1]:" + port(c1) + pid,
            "expect tcp6 2 [::]:" + port(dual.get()) + any + pid,
            "expect tcp6 5 " + mapped + port(s2) + " " + mapped + std::to_string(LocalPort(c2)) + pid,
            "expect tcp6 2 " + ll + port(linkLocal.get()) + any + pid,
            "expect tcp6 5 " + ll + port(c3) + " " + ll + port(s3) + pid,
            "expect tcp6 5 " + ll + port(s3) + " " + ll + port(c3) + pid,
            "expect udp6 [::1]:" + port(udp.get()) + pid,
            "expect udp6 " + ll + port(udpLinkLocal.get()) + pid,
            "expect tcp 5 127.0.0.1:" + std::to_string(LocalPort(c2)) + " 127.0.0.1:" + port(s2) + pid,
        };
        std::vector<unsigned char> buffer;
        auto take = [&](const char* name, DWORD rc, std::vector<std::string> rows) {
            lines.push_back(std::string("rc ") + name + " " + std::to_string(rc));
            for (const std::string& row : rows) lines.push_back(std::string("got ") + name + " " + row);
        };
        DWORD rc = FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer, kAfInet6);
        take("tcp6", rc, Tcp6Rows(buffer));
        lines.push_back(std::string("sorted ") + (Tcp6TableSorted(buffer) ? "yes" : "no"));
        rc = FetchTable(Provider().udp, UDP_TABLE_OWNER_PID, TRUE, buffer, kAfInet6);
        take("udp6", rc, Udp6Rows(buffer));
        rc = FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer);
        take("tcp", rc, TcpRows(buffer));
        lines.push_back(std::string("helper ") + (owners::HelperPid() > 0 ? "yes" : "no"));
        // The helper this child started ends with it, by its pid.
        if (const int helper = owners::HelperPid(); helper > 0) {
            ::kill(helper, SIGKILL);
            ::waitpid(helper, nullptr, 0);
        }
        return lines;
    });
    ASSERT_FALSE(said.empty()) << "the child said nothing";
    if (said.front().rfind("skip: ", 0) == 0) GTEST_SKIP() << said.front();
    std::map<std::string, std::vector<std::string>> expected, got;
    std::map<std::string, std::string> other;
    for (const std::string& line : said) {
        std::istringstream in(line);
        std::string word, table;
        in >> word >> table;
        std::string rest;
        std::getline(in, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        if (word == "expect") expected[table].push_back(rest);
        else if (word == "got") got[table].push_back(rest);
        else other[word + " " + table] = rest;
    }
    for (const char* table : {"tcp6", "udp6", "tcp"}) {
        SCOPED_TRACE(table);
        EXPECT_EQ(other[std::string("rc ") + table], "0");
        // The namespace holds these sockets and no others.
        std::sort(expected[table].begin(), expected[table].end());
        std::sort(got[table].begin(), got[table].end());
        EXPECT_EQ(got[table], expected[table]);
    }
    EXPECT_EQ(other.count("sorted yes"), 1u);
    EXPECT_EQ(other.count(throughHelper ? "helper yes" : "helper no"), 1u);
}

// In a namespace of the test's own: each row's cookie is its socket's own
// (SO_COOKIE), the one the kernel's notification of its close carries, and
// each IPv6 socket says whether it takes IPv4 too (a TCP listener and a UDP
// socket on [::] with V6ONLY off, the same with V6ONLY on); an IPv4 socket
// says nothing of families.
TEST_F(ExtendedTablesLive, RowFactsCarryEachSocketsCookieAndFamilies) {
    if (owners::HelperPid() > 0) GTEST_SKIP() << "an owner helper serves this process already";
    const std::vector<std::string> said = InOwnNetworkNamespace([]() -> std::vector<std::string> {
        ::setenv("TESSALINE_OWNERS_HELPER", "/nonexistent/tessaline-owners", 1);
        const PFN_GetSocketRowFacts facts = RowFacts();
        if (facts == nullptr) return {"fail: GetSocketRowFacts is not exported"};
        Fd dual(Bound6(SOCK_STREAM, Address6("::", 0), false));
        Fd only(Bound6(SOCK_STREAM, Address6("::", 0), true));
        Fd udpDual(Bound6(SOCK_DGRAM, Address6("::", 0), false));
        Fd udpOnly(Bound6(SOCK_DGRAM, Address6("::", 0), true));
        Fd v4(BoundSocket(SOCK_STREAM));
        if (dual.get() < 0 || only.get() < 0 || udpDual.get() < 0 || udpOnly.get() < 0 || v4.get() < 0 ||
            ::listen(dual.get(), 4) != 0 || ::listen(only.get(), 4) != 0 || ::listen(v4.get(), 4) != 0)
            return {"skip: no IPv6 sockets in the namespace"};
        std::vector<std::string> lines;
        // What each socket is, by its table and port.
        std::map<std::string, std::uint64_t> cookies;
        const auto want = [&](const char* table, WORD port, int fd, DWORD flags) {
            std::uint64_t cookie = 0;
            socklen_t size = sizeof cookie;
            if (::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &size) != 0 || cookie == 0)
                lines.push_back("skip: this kernel gives no socket cookies (SO_COOKIE)");
            const std::string key = std::string(table) + " " + std::to_string(port);
            cookies[key] = cookie;
            lines.push_back("want " + key + " flags " + std::to_string(flags));
        };
        want("tcp6", LocalPort6(dual.get()), dual.get(), SOCKET_ROW_DUAL_STACK);
        want("tcp6", LocalPort6(only.get()), only.get(), SOCKET_ROW_V6ONLY);
        want("udp6", LocalPort6(udpDual.get()), udpDual.get(), SOCKET_ROW_DUAL_STACK);
        want("udp6", LocalPort6(udpOnly.get()), udpOnly.get(), SOCKET_ROW_V6ONLY);
        want("tcp", LocalPort(v4.get()), v4.get(), 0);
        // The rows of each table with their facts: local port at offset 20 of
        // an IPv6 row, 8 of an IPv4 TCP row.
        const auto take = [&](const char* table, std::size_t rowBytes, std::size_t portAt, DWORD rc,
                              const std::vector<unsigned char>& buffer, ULONG af, ULONG protocol) {
            if (rc != NO_ERROR) {
                lines.push_back(std::string("fail: the table ") + table);
                return;
            }
            const DWORD rows = WordAt(buffer, 0);
            std::vector<SOCKET_ROW_FACTS> got(rows);
            if (facts(af, protocol, got.data(), rows) != NO_ERROR) {
                lines.push_back(std::string("fail: no facts for ") + table);
                return;
            }
            for (DWORD i = 0; i < rows; ++i) {
                const std::string key = std::string(table) + " " + Port(WordAt(buffer, 4 + i * rowBytes + portAt));
                const auto cookie = cookies.find(key);
                const bool same = cookie != cookies.end() && cookie->second == got[i].cookie;
                lines.push_back("got " + key + " flags " + std::to_string(got[i].flags) +
                                (same ? "" : " (its cookie differs)"));
            }
        };
        std::vector<unsigned char> buffer;
        DWORD rc = FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer, kAfInet6);
        take("tcp6", kTcp6RowBytes, 20, rc, buffer, kAfInet6, IPPROTO_TCP);
        rc = FetchTable(Provider().udp, UDP_TABLE_OWNER_PID, TRUE, buffer, kAfInet6);
        take("udp6", kUdp6RowBytes, 20, rc, buffer, kAfInet6, IPPROTO_UDP);
        rc = FetchTable(Provider().tcp, TCP_TABLE_OWNER_PID_ALL, TRUE, buffer);
        take("tcp", kTcpRowBytes, 8, rc, buffer, kAfInet, IPPROTO_TCP);
        return lines;
    });
    ASSERT_FALSE(said.empty()) << "the child said nothing";
    std::vector<std::string> wanted, got;
    for (const std::string& line : said) {
        if (line.rfind("skip: ", 0) == 0) GTEST_SKIP() << line;
        if (line.rfind("want ", 0) == 0)
            wanted.push_back(line.substr(5));
        else if (line.rfind("got ", 0) == 0)
            got.push_back(line.substr(4));
        else
            ADD_FAILURE() << line;
    }
    // The namespace holds these sockets and no others.
    std::sort(wanted.begin(), wanted.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, wanted);
}

}  // namespace

namespace {

// Enough sockets that the walk and the checks are shared between threads:
// every socket is placed, a shared one once, and a move is followed.
TEST_F(SocketOwnerIndexTest, ManySocketsAcrossProcessesArePlacedByTheSharedWalk) {
    constexpr int kPerProcess = 700;
    const std::vector<pid_t> holders = {5001, 5002, 5003};
    std::vector<std::uint64_t> inodes;
    std::vector<DWORD> expected;
    for (pid_t pid : holders) {
        for (int fd = 0; fd < kPerProcess; ++fd) {
            const std::uint64_t inode =
                100000 + static_cast<std::uint64_t>(pid) * 1000 + static_cast<std::uint64_t>(fd);
            Link(root(), pid, fd, SocketLink(inode));
            inodes.push_back(inode);
            expected.push_back(static_cast<DWORD>(pid));
        }
    }
    // A socket inherited by a child: both hold it, the row names one of them.
    Link(root(), 5004, 3, SocketLink(inodes.front()));

    std::vector<DWORD> pids = Resolve(inodes);
    EXPECT_EQ(Walks(), 1u);
    EXPECT_TRUE(pids.front() == 5001u || pids.front() == 5004u);
    pids.front() = 5001;
    EXPECT_EQ(pids, expected);

    // Every remembered owner is checked again; one that moved is found.
    Unlink(root(), 5002, 10);
    Link(root(), 5003, kPerProcess + 1, SocketLink(100000 + 5002u * 1000 + 10));
    expected[kPerProcess + 10] = 5003;
    const unsigned long verified = Verified();
    pids = Resolve(inodes);
    pids.front() = 5001;
    EXPECT_EQ(pids, expected);
    EXPECT_GE(Verified(), verified + inodes.size() - 2);
}

}  // namespace
