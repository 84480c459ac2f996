// The TCP and UDP socket reports, built into an in-memory tree from socket
// tables scripted in the fake provider.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ConnectionReports.h"
#include "FakeReportFixture.h"
#include "IpHelper.h"
#include "MemoryTree.h"
#include "NetworkReport.h"
#include "WideText.h"

namespace {

std::u16string U16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// An address field: the four bytes in memory order, as the tables hold it.
DWORD Address(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char bytes[4] = {a, b, c, d};
    DWORD field = 0;
    std::memcpy(&field, bytes, sizeof field);
    return field;
}

// A port field: the port in network order in the low 16 bits, and whatever
// the table leaves in the upper ones.
DWORD Port(std::uint16_t port, std::uint16_t upper = 0) { return (DWORD{upper} << 16) | htons(port); }

// "PID %5d : NAME" for this test process, NAME being its executable's file
// name as the system reports it.
std::u16string OwnLabel() {
    std::string pid = std::to_string(getpid());
    if (pid.size() < 5) pid.insert(0, 5 - pid.size(), ' ');
    const std::string name = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    return U16("PID " + pid + " : " + name);
}

// A process id that no process can have: the kernel's largest pid_max.
constexpr DWORD kMissingPid = 4194304;

class SocketReportFixture : public FakeReportFixture {
protected:
    void ScriptTcp(const std::vector<MIB_TCPROW_OWNER_PID>& rows) {
        ASSERT_LE(rows.size(), kFakeMaxSocketRows);
        for (std::size_t i = 0; i < rows.size(); ++i) fake_->tcpRows[i] = rows[i];
        fake_->tcpRowCount = fake_->tcpTable.rows[0] = static_cast<unsigned>(rows.size());
    }
    void ScriptUdp(const std::vector<MIB_UDPROW_OWNER_PID>& rows) {
        ASSERT_LE(rows.size(), kFakeMaxSocketRows);
        for (std::size_t i = 0; i < rows.size(); ++i) fake_->udpRows[i] = rows[i];
        fake_->udpRowCount = fake_->udpTable.rows[0] = static_cast<unsigned>(rows.size());
    }

    std::vector<std::u16string> Texts(const std::vector<HTREEITEM>& items) {
        std::vector<std::u16string> out;
        for (HTREEITEM item : items) out.push_back(tree_.Text(item));
        return out;
    }
    // The lines under the one root.
    std::vector<HTREEITEM> Lines() {
        const std::vector<HTREEITEM> roots = Children(TVI_ROOT);
        return roots.size() == 1 ? Children(roots[0]) : std::vector<HTREEITEM>{};
    }
};

// ------------------------------------------------------------ line texts

using ConnectionLines = SocketReportFixture;

TEST_F(ConnectionLines, TcpLinesShowBothEndsTheStateAndTheOwner) {
    const DWORD loopback = Address(127, 0, 0, 1), any = Address(0, 0, 0, 0);
    const DWORD self = static_cast<DWORD>(getpid());
    const std::u16string own = OwnLabel();
    const struct {
        MIB_TCPROW_OWNER_PID row;  // state, local address and port, remote address and port, pid
        std::u16string line;
    } cases[] = {
        {{2, loopback, Port(80), any, Port(0), 0},
         u"127.000.000.001:80     => 000.000.000.000:0      [      LISTENING: PID     0 : NT Kernel & System ]"},
        {{5, Address(10, 20, 30, 255), Port(65535), Address(192, 168, 1, 2), Port(443), 0},
         u"010.020.030.255:65535  => 192.168.001.002:443    [    ESTABLISHED: PID     0 : NT Kernel & System ]"},
        {{0, loopback, Port(1), loopback, Port(2), 0},
         u"127.000.000.001:1      => 127.000.000.001:2      [      [UNKNOWN]: PID     0 : NT Kernel & System ]"},
        {{13, loopback, Port(1), loopback, Port(2), 0},
         u"127.000.000.001:1      => 127.000.000.001:2      [      [UNKNOWN]: PID     0 : NT Kernel & System ]"},
        // Only the low 16 bits of a port field carry the port.
        {{12, loopback, Port(80, 0xABCD), loopback, Port(8080, 0xFFFF), 0},
         u"127.000.000.001:80     => 127.000.000.001:8080   [     DELETE_TCB: PID     0 : NT Kernel & System ]"},
        // A byte order mistake would show 0x0100 = 256 or 0x5000 = 20480.
        {{1, Address(1, 2, 3, 4), Port(1, 0x0001), Address(255, 255, 255, 255), Port(80, 0x0050), 0},
         u"001.002.003.004:1      => 255.255.255.255:80     [         CLOSED: PID     0 : NT Kernel & System ]"},
        {{11, loopback, Port(40000), loopback, Port(80), kMissingPid},
         u"127.000.000.001:40000  => 127.000.000.001:80     [      TIME_WAIT: PID 4194304 : NT Kernel & System ]"},
        {{5, loopback, Port(80), loopback, Port(40001), self},
         u"127.000.000.001:80     => 127.000.000.001:40001  [    ESTABLISHED: " + own + u" ]"},
    };
    std::vector<MIB_TCPROW_OWNER_PID> rows;
    for (const auto& c : cases) rows.push_back(c.row);
    ScriptTcp(rows);
    Build(kKindTcpConnections);

    const std::vector<HTREEITEM> lines = Lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(tree_.Text(lines[i]), cases[i].line) << "row " << i;
}

TEST_F(ConnectionLines, UdpLinesShowTheLocalEndAndTheOwner) {
    const std::u16string own = OwnLabel();
    const struct {
        MIB_UDPROW_OWNER_PID row;  // local address and port, pid
        std::u16string line;
    } cases[] = {
        {{Address(127, 0, 0, 1), Port(80), 0}, u"IP:: 127.000.000.001:80    [ PID     0 : NT Kernel & System ]"},
        {{Address(0, 0, 0, 0), Port(5353), 0}, u"IP:: 000.000.000.000:5353  [ PID     0 : NT Kernel & System ]"},
        {{Address(10, 1, 200, 255), Port(65535, 0xBEEF), kMissingPid},
         u"IP:: 010.001.200.255:65535 [ PID 4194304 : NT Kernel & System ]"},
        {{Address(1, 2, 3, 4), Port(1, 0x0001), static_cast<DWORD>(getpid())},
         u"IP:: 001.002.003.004:1     [ " + own + u" ]"},
    };
    std::vector<MIB_UDPROW_OWNER_PID> rows;
    for (const auto& c : cases) rows.push_back(c.row);
    ScriptUdp(rows);
    Build(kKindUdpConnections);

    const std::vector<HTREEITEM> lines = Lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(tree_.Text(lines[i]), cases[i].line) << "row " << i;
}

// Detail lines: written for a line when it is opened, then kept current
// under it while its socket moves; written for every line at once when
// asked for eagerly (the command line's --details).
TEST_F(ConnectionLines, DetailLinesFollowTheirSocketAndStayCurrent) {
    const DWORD loopback = Address(127, 0, 0, 1);
    const DWORD self = static_cast<DWORD>(getpid());
    const MIB_TCPROW_OWNER_PID a{5, loopback, Port(80), loopback, Port(40001), self};
    MIB_TCPROW_OWNER_PID b{5, loopback, Port(80), loopback, Port(40002), self};
    const MIB_TCPROW_OWNER_PID before{5, loopback, Port(79), loopback, Port(40000), self};
    const auto start = [&](bool eager) {
        report_ = std::make_unique<CNetworkReport>(kKindTcpConnections);
        report_->m_bFactsHere = !eager;
        report_->m_bDetailLines = eager;
        report_->SetReportTree(&tree_);
        report_->BuildReport();
    };
    const std::string process = "Process: " + std::to_string(self) + " /";

    ScriptTcp({a, b});
    start(false);
    std::vector<HTREEITEM> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    for (HTREEITEM line : lines) {
        EXPECT_TRUE(tree_.IsExpandable(line));
        EXPECT_EQ(tree_.ChildCount(line), 0u) << "nothing is written before a line is opened";
    }
    report_->WriteSocketDetails(lines[1]);
    std::vector<HTREEITEM> details = Children(lines[1]);
    ASSERT_GE(details.size(), 2u);
    EXPECT_EQ(WideToUtf8(tree_.Text(details[0])).rfind(process, 0), 0u) << WideToUtf8(tree_.Text(details[0]));
    // The fake library keeps no connection statistics.
    EXPECT_EQ(tree_.Text(details.back()), u"Traffic: not counted by the system for this connection");

    // A socket opens above, b's owner goes: b keeps its line and its detail
    // lines, rewritten; a, never opened, still has none.
    b.dwOwningPid = kMissingPid;
    ScriptTcp({before, a, b});
    report_->UpdateReport();
    lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(tree_.ChildCount(lines[1]), 0u);
    ASSERT_GE(tree_.ChildCount(lines[2]), 1u);
    EXPECT_EQ(Children(lines[2])[0], details[0]) << "the same items, rewritten";
    EXPECT_EQ(tree_.Text(Children(lines[2])[0]), u"Owner not visible to this user");

    // b closes: its line stays one refresh, marked, with what it said last.
    ScriptTcp({before, a});
    report_->UpdateReport();
    lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(tree_.Mark(lines[2]), LineMark::Closed);
    EXPECT_EQ(tree_.Text(Children(lines[2])[0]), u"Owner not visible to this user");

    // Eager: every line has its details under it from the start.
    ScriptTcp({a, b});
    start(true);
    lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(WideToUtf8(tree_.Text(Children(lines[0])[0])).rfind(process, 0), 0u);
    EXPECT_EQ(tree_.Text(Children(lines[1])[0]), u"Owner not visible to this user");
}

// IPv6 lines: each end "[ADDRESS]:PORT" in the recommended text form, with
// the zone of a link-local address named after its interface, padded to the
// widest end of its column; then the state and the owner as on IPv4 lines.
TEST_F(ConnectionLines, Ipv6LinesWriteBracketedEndsInColumnsThenTheStateAndOwner) {
    const auto address = [](const char* text) {
        MIB_TCP6ROW_OWNER_PID row{};
        EXPECT_EQ(inet_pton(AF_INET6, text, row.ucLocalAddr), 1) << text;
        std::array<UCHAR, 16> bytes{};
        std::memcpy(bytes.data(), row.ucLocalAddr, 16);
        return bytes;
    };
    const auto tcp = [&](const char* local, DWORD localScope, std::uint16_t localPort, const char* remote,
                         DWORD remoteScope, std::uint16_t remotePort, DWORD state, DWORD pid) {
        MIB_TCP6ROW_OWNER_PID row{};
        const auto l = address(local), r = address(remote);
        std::memcpy(row.ucLocalAddr, l.data(), 16);
        std::memcpy(row.ucRemoteAddr, r.data(), 16);
        row.dwLocalScopeId = localScope;
        row.dwRemoteScopeId = remoteScope;
        row.dwLocalPort = Port(localPort, 0xABCD);  // only the low 16 bits are the port
        row.dwRemotePort = Port(remotePort);
        row.dwState = state;
        row.dwOwningPid = pid;
        return row;
    };
    // Interface 2 is eth0; interface 9 has no row.
    fake_->ifRowCount = fake_->interfaces.rows[0] = 1;
    fake_->ifRows[0].dwIndex = 2;
    const std::u16string eth0 = u"eth0";
    std::copy(eth0.begin(), eth0.end(), fake_->ifRows[0].wszName);

    const MIB_TCP6ROW_OWNER_PID rows[] = {
        tcp("::", 0, 22, "::", 0, 0, 2, 0),
        tcp("::ffff:127.0.0.1", 0, 8080, "::ffff:127.0.0.1", 0, 40000, 5, kMissingPid),
        tcp("fe80::1", 2, 546, "fe80::2", 2, 547, 5, 0),
        tcp("fe80::1", 9, 1, "2001:db8::5", 0, 443, 8, static_cast<DWORD>(getpid())),
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) fake_->tcp6Rows[i] = rows[i];
    fake_->tcp6RowCount = fake_->tcp6Table.rows[0] = static_cast<unsigned>(std::size(rows));
    Build(kKindTcp6Connections);
    const std::u16string kernel = u"PID     0 : NT Kernel & System";
    const std::vector<std::u16string> expected = {
        u"[::]:22                 => [::]:0                   [      LISTENING: " + kernel + u" ]",
        u"[::ffff:127.0.0.1]:8080 => [::ffff:127.0.0.1]:40000 [    ESTABLISHED: PID 4194304 : NT Kernel & System ]",
        u"[fe80::1%eth0]:546      => [fe80::2%eth0]:547       [    ESTABLISHED: " + kernel + u" ]",
        u"[fe80::1%9]:1           => [2001:db8::5]:443        [     CLOSE_WAIT: " + OwnLabel() + u" ]",
    };
    EXPECT_EQ(Texts(Lines()), expected);

    MIB_UDP6ROW_OWNER_PID udp[2]{};
    std::memcpy(udp[0].ucLocalAddr, address("::").data(), 16);
    udp[0].dwLocalPort = Port(5353);
    std::memcpy(udp[1].ucLocalAddr, address("fe80::1a:2bff:fe3c:4d5e").data(), 16);
    udp[1].dwLocalScopeId = 2;
    udp[1].dwLocalPort = Port(546);
    udp[1].dwOwningPid = kMissingPid;
    fake_->udp6Rows[0] = udp[0];
    fake_->udp6Rows[1] = udp[1];
    fake_->udp6RowCount = fake_->udp6Table.rows[0] = 2;
    Build(kKindUdp6Connections);
    EXPECT_EQ(Texts(Lines()), (std::vector<std::u16string>{
                                  u"IP:: [::]:5353                          [ " + kernel + u" ]",
                                  u"IP:: [fe80::1a:2bff:fe3c:4d5e%eth0]:546 [ PID 4194304 : NT Kernel & System ]",
                              }));
}

TEST_F(ConnectionLines, EveryStateHasItsNameRightAlignedAndGetTcpStateNameReadsTheCurrentTable) {
    const std::u16string names[] = {u"[UNKNOWN]",   u"CLOSED",    u"LISTENING",  u"SYN_SENT",   u"SYN_RCVD",
                                    u"ESTABLISHED", u"FIN_WAIT1", u"FIN_WAIT2",  u"CLOSE_WAIT", u"CLOSING",
                                    u"LAST_ACK",    u"TIME_WAIT", u"DELETE_TCB", u"[UNKNOWN]"};
    std::vector<MIB_TCPROW_OWNER_PID> rows;
    for (DWORD state = 0; state < std::size(names); ++state)
        rows.push_back({state, Address(127, 0, 0, 1), Port(1000), Address(0, 0, 0, 0), Port(0), 0});
    rows.push_back({0xFFFFFFFFu, Address(127, 0, 0, 1), Port(1000), Address(0, 0, 0, 0), Port(0), 0});
    ScriptTcp(rows);
    Build(kKindTcpConnections);

    const std::vector<HTREEITEM> lines = Lines();
    ASSERT_EQ(lines.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::u16string name = i < std::size(names) ? names[i] : u"[UNKNOWN]";
        SCOPED_TRACE(testing::Message() << "state " << rows[i].dwState);
        const std::u16string field = std::u16string(15 - name.size(), u' ') + name;
        EXPECT_EQ(tree_.Text(lines[i]), u"127.000.000.001:1000   => 000.000.000.000:0      [" + field +
                                            u": PID     0 : NT Kernel & System ]");
        EXPECT_EQ(GetTcpStateName(static_cast<int>(i)), name);
    }
    const int count = static_cast<int>(rows.size());
    for (int row : {-1, INT_MIN, count, count + 1, INT_MAX}) {
        SCOPED_TRACE(row);
        EXPECT_EQ(std::u16string(GetTcpStateName(row)), u"[UNKNOWN]");
    }

    // The name follows the table of the latest snapshot, not the tree.
    ScriptTcp({{11, Address(127, 0, 0, 1), Port(1), Address(0, 0, 0, 0), Port(0), 0}});
    report_->UpdateReport();
    EXPECT_EQ(std::u16string(GetTcpStateName(0)), u"TIME_WAIT");
    EXPECT_EQ(std::u16string(GetTcpStateName(1)), u"[UNKNOWN]");

    // A failed snapshot leaves no table.
    fake_->tcpTable.forcedCode = ERROR_NOT_SUPPORTED;
    report_->UpdateReport();
    EXPECT_EQ(std::u16string(GetTcpStateName(0)), u"[UNKNOWN]");
}

TEST_F(ConnectionLines, PrintedTreeIndentsTheLinesUnderTheRoot) {
    ScriptTcp({{2, Address(127, 0, 0, 1), Port(80), Address(0, 0, 0, 0), Port(0), 0}});
    Build(kKindTcpConnections);
    EXPECT_EQ(
        tree_.Print(),
        "TCP Connections\n"
        "  127.000.000.001:80     => 000.000.000.000:0      [      LISTENING: PID     0 : NT Kernel & System ]\n");
    ScriptUdp({{Address(127, 0, 0, 1), Port(80), 0}});
    Build(kKindUdpConnections);
    EXPECT_EQ(tree_.Print(),
              "UDP Connections\n"
              "  IP:: 127.000.000.001:80    [ PID     0 : NT Kernel & System ]\n");
}

// --------------------------------------------------- both kinds: the tree

struct SocketKind {
    const char* name;
    int kind;
    const char16_t* root;
    HTREEITEM CNetworkReport::*saved;  // where the report keeps its root
    FakeTableScript FakeControl::*table;
    unsigned FakeControl::*claimedRows;  // a row count the table states past its rows
    // Scripts n rows; row i depends on seed + i, so that lines of another
    // seed read differently.  Owner pid 0 needs no process lookup.
    void (*script)(FakeControl&, unsigned n, unsigned seed);
    // The text row i's local address shows when scripted with seed 0.
    std::string (*localText)(unsigned i);
};

// IPv6 rows: 2001:db8::v:1 port 2000 + v to 2001:db8::1:v port 3000 + v.
void Ipv6Of(unsigned v, unsigned last, UCHAR (&bytes)[16]) {
    std::memset(bytes, 0, sizeof bytes);
    bytes[0] = 0x20, bytes[1] = 0x01, bytes[2] = 0x0d, bytes[3] = 0xb8;
    bytes[12] = static_cast<UCHAR>(v >> 8), bytes[13] = static_cast<UCHAR>(v);
    bytes[15] = static_cast<UCHAR>(last);
}

void ScriptTcp6Rows(FakeControl& fake, unsigned n, unsigned seed) {
    for (unsigned i = 0; i < n; ++i) {
        const unsigned v = seed + i;
        MIB_TCP6ROW_OWNER_PID row{};
        Ipv6Of(v, 1, row.ucLocalAddr);
        Ipv6Of(1, v, row.ucRemoteAddr);
        row.dwLocalPort = Port(static_cast<std::uint16_t>(2000 + v));
        row.dwRemotePort = Port(static_cast<std::uint16_t>(3000 + v));
        row.dwState = 1 + v % 12;
        fake.tcp6Rows[i] = row;
    }
    fake.tcp6RowCount = fake.tcp6Table.rows[0] = n;
}

void ScriptUdp6Rows(FakeControl& fake, unsigned n, unsigned seed) {
    for (unsigned i = 0; i < n; ++i) {
        const unsigned v = seed + i;
        MIB_UDP6ROW_OWNER_PID row{};
        Ipv6Of(v, 1, row.ucLocalAddr);
        row.dwLocalPort = Port(static_cast<std::uint16_t>(2000 + v));
        fake.udp6Rows[i] = row;
    }
    fake.udp6RowCount = fake.udp6Table.rows[0] = n;
}

std::string Ipv4LocalText(unsigned i) { return "010.000.00" + std::to_string(i) + ".001:"; }
std::string Ipv6LocalText(unsigned i) {
    return (i == 0 ? std::string("[2001:db8::1]:") : "[2001:db8::" + std::to_string(i) + ":1]:") +
           std::to_string(2000 + i);
}

void ScriptTcpRows(FakeControl& fake, unsigned n, unsigned seed) {
    for (unsigned i = 0; i < n; ++i) {
        const unsigned v = seed + i;
        fake.tcpRows[i] = {1 + v % 12,
                           Address(10, 0, static_cast<unsigned char>(v), 1),
                           Port(static_cast<std::uint16_t>(2000 + v)),
                           Address(192, 168, 1, static_cast<unsigned char>(v)),
                           Port(static_cast<std::uint16_t>(3000 + v)),
                           0};
    }
    fake.tcpRowCount = fake.tcpTable.rows[0] = n;
}

void ScriptUdpRows(FakeControl& fake, unsigned n, unsigned seed) {
    for (unsigned i = 0; i < n; ++i) {
        const unsigned v = seed + i;
        fake.udpRows[i] = {Address(10, 0, static_cast<unsigned char>(v), 1), Port(static_cast<std::uint16_t>(2000 + v)),
                           0};
    }
    fake.udpRowCount = fake.udpTable.rows[0] = n;
}

const SocketKind kSocketKinds[] = {
    {"Tcp", kKindTcpConnections, u"TCP Connections", &CNetworkReport::m_hTcpConnRoot, &FakeControl::tcpTable,
     &FakeControl::tcpClaimedRows, ScriptTcpRows, Ipv4LocalText},
    {"Udp", kKindUdpConnections, u"UDP Connections", &CNetworkReport::m_hUdpConnRoot, &FakeControl::udpTable,
     &FakeControl::udpClaimedRows, ScriptUdpRows, Ipv4LocalText},
    {"Tcp6", kKindTcp6Connections, u"TCPv6 Connections", &CNetworkReport::m_hTcp6ConnRoot, &FakeControl::tcp6Table,
     &FakeControl::tcp6ClaimedRows, ScriptTcp6Rows, Ipv6LocalText},
    {"Udp6", kKindUdp6Connections, u"UDPv6 Connections", &CNetworkReport::m_hUdp6ConnRoot, &FakeControl::udp6Table,
     &FakeControl::udp6ClaimedRows, ScriptUdp6Rows, Ipv6LocalText},
};

void PrintTo(const SocketKind& k, std::ostream* os) { *os << k.name; }

class ConnectionReport : public SocketReportFixture, public ::testing::WithParamInterface<SocketKind> {
protected:
    void Script(unsigned n, unsigned seed = 0) { GetParam().script(*fake_, n, seed); }
    void Build() { SocketReportFixture::Build(GetParam().kind); }
    void Update() { report_->UpdateReport(); }

    // The root alone would be the one top-level item, bold, image 0, and the
    // one the report keeps.
    HTREEITEM ExpectRoot() {
        const std::vector<HTREEITEM> roots = Children(TVI_ROOT);
        EXPECT_EQ(roots.size(), 1u);
        if (roots.size() != 1) return nullptr;
        EXPECT_EQ(tree_.Text(roots[0]), GetParam().root);
        EXPECT_TRUE(tree_.IsBold(roots[0]));
        EXPECT_EQ(tree_.Image(roots[0]), kImageRoot);
        EXPECT_EQ((*report_).*GetParam().saved, roots[0]);
        return roots[0];
    }

    // The lines a fresh build shows for the rows scripted now, taken with a
    // report and tree of their own.
    std::vector<std::u16string> FreshLines() {
        MemoryTree tree;
        CNetworkReport fresh(GetParam().kind);
        fresh.SetReportTree(&tree);
        fresh.BuildReport();
        std::vector<std::u16string> out;
        HTREEITEM root = tree.GetChildItem(TVI_ROOT);
        for (HTREEITEM item = tree.GetChildItem(root); item != nullptr; item = tree.GetNextSiblingItem(item))
            out.push_back(tree.Text(item));
        return out;
    }

    // The lines of the sockets open now: all but the closed ones, which
    // stay one refresh after their socket has gone.
    std::vector<HTREEITEM> OpenLines() {
        std::vector<HTREEITEM> open;
        for (HTREEITEM line : Lines())
            if (tree_.Mark(line) != LineMark::Closed) open.push_back(line);
        return open;
    }
    std::vector<LineMark> Marks(const std::vector<HTREEITEM>& lines) {
        std::vector<LineMark> marks;
        for (HTREEITEM line : lines) marks.push_back(tree_.Mark(line));
        return marks;
    }

    // The lines are plain value lines; those of open sockets have the texts
    // of a fresh build.
    void ExpectLinesOfFreshBuild() {
        const std::vector<HTREEITEM> lines = Lines();
        for (HTREEITEM line : lines) {
            EXPECT_EQ(tree_.Image(line), kImageValue);
            EXPECT_FALSE(tree_.IsBold(line));
            EXPECT_EQ(tree_.ChildCount(line), 0u);
        }
        EXPECT_EQ(Texts(OpenLines()), FreshLines());
        EXPECT_EQ(tree_.ItemCount(), 1 + lines.size());
    }

    // Marks the lines in a way that only these very items carry: a line is
    // never expanded by the report, so an expanded one is one of these.
    void Mark(const std::vector<HTREEITEM>& lines) {
        for (HTREEITEM line : lines) tree_.Expand(line);
    }
};

TEST_P(ConnectionReport, BuildWithoutRowsShowsTheExpandedBoldRootAlone) {
    Build();
    HTREEITEM root = ExpectRoot();
    EXPECT_TRUE(tree_.IsExpanded(root));
    EXPECT_EQ(tree_.ItemCount(), 1u);
    EXPECT_GT((fake_->*GetParam().table).calls, 0u);

    // A failed snapshot counts as no rows.
    Script(3);
    (fake_->*GetParam().table).forcedCode = ERROR_NOT_SUPPORTED;
    Build();
    root = ExpectRoot();
    EXPECT_TRUE(tree_.IsExpanded(root));
    EXPECT_EQ(tree_.ItemCount(), 1u);
}

TEST_P(ConnectionReport, WithoutTheLibraryTheRootStandsAloneAndUpdatesChangeNothing) {
    setenv("TESSALINE_LIBRARY_PATH", FAKE_NONE_DIR, 1);
    Script(3);  // never reached
    Build();
    HTREEITEM root = ExpectRoot();
    EXPECT_TRUE(tree_.IsExpanded(root));
    EXPECT_EQ(tree_.ItemCount(), 1u);
    for (int round = 0; round < 3; ++round) Update();
    EXPECT_EQ(Children(TVI_ROOT), std::vector<HTREEITEM>{root});
    EXPECT_EQ(tree_.ItemCount(), 1u);
    EXPECT_TRUE(tree_.IsExpanded(root));
    EXPECT_EQ((fake_->*GetParam().table).calls, 0u);
    EXPECT_EQ(std::u16string(GetTcpStateName(0)), u"[UNKNOWN]");
}

TEST_P(ConnectionReport, BuildShowsOneValueLinePerRowInRowOrder) {
    Script(5);
    Build();
    HTREEITEM root = ExpectRoot();
    EXPECT_TRUE(tree_.IsExpanded(root));
    const std::vector<HTREEITEM> lines = Lines();
    ASSERT_EQ(lines.size(), 5u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string address = GetParam().localText(static_cast<unsigned>(i));
        EXPECT_NE(tree_.Text(lines[i]).find(U16(address)), std::u16string::npos) << "row " << i;
        EXPECT_FALSE(tree_.IsExpanded(lines[i]));
    }
    ExpectLinesOfFreshBuild();

    // Building again takes a fresh snapshot and replaces the items instead
    // of adding to them.
    Script(2, 9);
    report_->BuildReport();
    EXPECT_TRUE(tree_.IsExpanded(ExpectRoot()));
    EXPECT_EQ(Lines().size(), 2u);
    ExpectLinesOfFreshBuild();
}

// Row v of a script is the same socket whatever the seed: seed 2 after
// seed 0 closes sockets 0 and 1, keeps 2 to 4 and opens 5 and 6.
TEST_P(ConnectionReport, UpdateKeepsTheLinesOfSocketsThatStayAndMarksNewAndClosedOnes) {
    Script(5);
    Build();
    HTREEITEM root = ExpectRoot();
    const std::vector<HTREEITEM> before = Lines();
    ASSERT_EQ(before.size(), 5u);
    EXPECT_EQ(Marks(before), std::vector<LineMark>(5, LineMark::None));
    Mark(before);

    Script(5, 2);
    Update();
    EXPECT_EQ(ExpectRoot(), root);
    const std::vector<HTREEITEM> after = Lines();
    ASSERT_EQ(after.size(), 7u);
    using enum LineMark;
    EXPECT_EQ(Marks(after), (std::vector<LineMark>{Closed, Closed, None, None, None, New, New}));
    // Every socket that stays, and each closed one, keeps its item.
    EXPECT_EQ(std::vector<HTREEITEM>(after.begin(), after.begin() + 5), before);
    for (std::size_t i = 5; i < 7; ++i) EXPECT_FALSE(tree_.IsExpanded(after[i])) << i;
    ExpectLinesOfFreshBuild();

    // The same table again: the closed lines go, the new ones are plain.
    Update();
    const std::vector<HTREEITEM> settled = Lines();
    EXPECT_EQ(settled, std::vector<HTREEITEM>(after.begin() + 2, after.end()));
    EXPECT_EQ(Marks(settled), std::vector<LineMark>(5, None));
    ExpectLinesOfFreshBuild();

    // Every socket closing leaves closed lines one refresh, then the root.
    Script(0);
    Update();
    EXPECT_EQ(Marks(Lines()), std::vector<LineMark>(5, Closed));
    Update();
    EXPECT_EQ(ExpectRoot(), root);
    EXPECT_EQ(tree_.ItemCount(), 1u);
    Script(2, 1);
    Update();
    EXPECT_EQ(Marks(Lines()), std::vector<LineMark>(2, New));
    ExpectLinesOfFreshBuild();
}

// A socket keeps its line when its owner or its state changes: the line is
// rewritten in place, marked changed only for a new state.
TEST_P(ConnectionReport, AChangedSocketIsRewrittenOnItsOwnLine) {
    Script(3);
    Build();
    const std::vector<HTREEITEM> before = Lines();
    const DWORD self = static_cast<DWORD>(getpid());
    bool stateful = true;
    switch (GetParam().kind) {
        case kKindTcpConnections:
            fake_->tcpRows[1].dwState = 12;
            fake_->tcpRows[1].dwOwningPid = self;
            break;
        case kKindTcp6Connections:
            fake_->tcp6Rows[1].dwState = 12;
            fake_->tcp6Rows[1].dwOwningPid = self;
            break;
        case kKindUdpConnections:
            fake_->udpRows[1].dwOwningPid = self;
            stateful = false;
            break;
        default:
            fake_->udp6Rows[1].dwOwningPid = self;
            stateful = false;
            break;
    }
    Update();
    EXPECT_EQ(Lines(), before);
    EXPECT_EQ(Marks(before), (std::vector<LineMark>{LineMark::None, stateful ? LineMark::Changed : LineMark::None,
                                                    LineMark::None}));
    char label[32];
    std::snprintf(label, sizeof label, "PID %5u : ", static_cast<unsigned>(self));
    EXPECT_NE(tree_.Text(before[1]).find(U16(label)), std::u16string::npos) << label;
    if (stateful) {
        EXPECT_NE(tree_.Text(before[1]).find(u"DELETE_TCB"), std::u16string::npos);
    }
    ExpectLinesOfFreshBuild();
}

TEST_P(ConnectionReport, WithMarkingOffLinesOfClosedSocketsGoAtOnceAndNoneIsMarked) {
    Script(5);
    Build();
    report_->m_bMarkChanges = false;
    Script(5, 2);
    Update();
    EXPECT_EQ(Marks(Lines()), std::vector<LineMark>(5, LineMark::None));
    ExpectLinesOfFreshBuild();
}

// A failed snapshot is no data, not every socket closed: the lines go
// unmarked, and those of the next good snapshot come unmarked too.
TEST_P(ConnectionReport, FailedSnapshotOnUpdateCountsAsNoRows) {
    Script(3);
    Build();
    HTREEITEM root = ExpectRoot();
    (fake_->*GetParam().table).forcedCode = ERROR_NOT_SUPPORTED;
    Update();
    EXPECT_EQ(ExpectRoot(), root);
    EXPECT_EQ(tree_.ItemCount(), 1u);

    (fake_->*GetParam().table).forcedCode = NO_ERROR;
    Update();
    EXPECT_EQ(ExpectRoot(), root);
    EXPECT_EQ(Marks(Lines()), std::vector<LineMark>(3, LineMark::None));
    ExpectLinesOfFreshBuild();
}

TEST_P(ConnectionReport, UpdatesLeaveTheUsersExpansionAlone) {
    Script(1);
    Build();
    HTREEITEM root = ExpectRoot();
    tree_.Collapse(root);
    for (unsigned n : {4u, 0u, 2u, 2u}) {
        SCOPED_TRACE(n);
        Script(n, n);
        Update();
        EXPECT_FALSE(tree_.IsExpanded(root));
        EXPECT_EQ(OpenLines().size(), n);
        ExpectLinesOfFreshBuild();
    }

    tree_.Expand(root);
    Script(0);
    Update();
    Script(3);
    Update();
    EXPECT_TRUE(tree_.IsExpanded(root));
    for (HTREEITEM line : Lines()) EXPECT_FALSE(tree_.IsExpanded(line));
}

// Seeds move the window of sockets [seed, seed + n): those in both windows
// stay on their items, those only in the old one are closed lines.
TEST_P(ConnectionReport, ASeriesOfUpdatesAlwaysMatchesAFreshBuild) {
    Build();
    HTREEITEM root = ExpectRoot();
    std::vector<HTREEITEM> previous;
    unsigned previousSeed = 0;
    unsigned seed = 0;
    for (unsigned n : {3u, 3u, 7u, 1u, 0u, 0u, kFakeMaxSocketRows, 5u, kFakeMaxSocketRows, 2u}) {
        SCOPED_TRACE(testing::Message() << n << " rows");
        seed += 2;
        Script(n, seed);
        Update();
        EXPECT_EQ(ExpectRoot(), root);
        const std::vector<HTREEITEM> open = OpenLines();
        ASSERT_EQ(open.size(), n);
        const unsigned low = std::max(seed, previousSeed);
        const unsigned high = std::min<unsigned>(seed + n, previousSeed + static_cast<unsigned>(previous.size()));
        const std::size_t staying = high > low ? high - low : 0;
        for (unsigned v = low; v < high; ++v) EXPECT_EQ(open[v - seed], previous[v - previousSeed]) << v;
        EXPECT_EQ(Lines().size() - open.size(), previous.size() - staying);
        ExpectLinesOfFreshBuild();
        previous = open;
        previousSeed = seed;
    }
}

// A provider that answers success with more rows than fit in the buffer it
// was handed: the report lists the rows that lie in the buffer, never reads
// past it (the sanitizer build sees any read there), and its lines are
// those of a provider that tells the truth.
TEST_P(ConnectionReport, RowCountPastTheBufferListsOnlyTheRowsThatFit) {
    Script(3);
    fake_->*GetParam().claimedRows = 100000;
    Build();
    HTREEITEM root = ExpectRoot();
    const std::vector<std::u16string> overstated = Texts(Lines());
    ASSERT_EQ(overstated.size(), 3u);
    EXPECT_EQ(std::u16string(GetTcpStateName(3)), u"[UNKNOWN]");
    EXPECT_EQ(std::u16string(GetTcpStateName(99999)), u"[UNKNOWN]");
    fake_->*GetParam().claimedRows = 0;
    EXPECT_EQ(overstated, FreshLines());

    // An update into a buffer grown for five rows lists those five.
    Script(5, 2);
    fake_->*GetParam().claimedRows = 100000;
    Update();
    EXPECT_EQ(ExpectRoot(), root);
    const std::vector<std::u16string> updated = Texts(OpenLines());
    ASSERT_EQ(updated.size(), 5u);
    EXPECT_EQ(std::u16string(GetTcpStateName(5)), u"[UNKNOWN]");
    fake_->*GetParam().claimedRows = 0;
    EXPECT_EQ(updated, FreshLines());
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConnectionReport, ::testing::ValuesIn(kSocketKinds),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
