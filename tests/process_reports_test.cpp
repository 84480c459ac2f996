#include <arpa/inet.h>
// The lines made from all four socket tables (the processes that hold
// sockets, the listening ports), the rates between two tables, and the
// byte and rate texts the detail lines use.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ProcessReports.h"
#include "SocketRecords.h"
#include "StatisticsRecords.h"
#include "Writers.h"
#include "SocketDetails.h"
#include "WideText.h"

namespace {

using sockets::SocketFact;
using sockets::Summary;
using sockets::Table;

SocketFact Fact(Table table, std::uint32_t state, DWORD pid, std::string local, std::uint16_t port, bool any = false,
                sockets::DualStack dualStack = sockets::DualStack::Unknown) {
    SocketFact f;
    f.dualStack = dualStack;
    f.table = table;
    f.state = state;
    f.pid = pid;
    f.owner = pid == 0 ? "PID     0 : NT Kernel & System" : "PID " + std::to_string(pid) + " : p" + std::to_string(pid);
    f.local = std::move(local);
    f.port = port;
    f.anyAddress = any;
    return f;
}

SocketFact WithTraffic(SocketFact f, std::uint64_t sent, std::uint64_t received, double sendRate,
                       double receiveRate) {
    f.traffic.counted = true;
    f.traffic.sent = sent;
    f.traffic.received = received;
    f.traffic.hasRate = true;
    f.traffic.sendRate = sendRate;
    f.traffic.receiveRate = receiveRate;
    return f;
}

std::vector<std::string> Texts(const std::vector<sockets::Row>& rows) {
    std::vector<std::string> out;
    for (const sockets::Row& r : rows) out.push_back(WideToUtf8(r.text));
    return out;
}

TEST(ProcessLines, BusiestFirstWithTheirSocketsAndTraffic) {
    Summary s;
    s.sockets = {
        Fact(Table::Tcp, 2, 10, "0.0.0.0:22", 22, true),
        WithTraffic(Fact(Table::Tcp, 5, 20, "10.0.0.1:5000", 5000), 2048, 1000, 100, 50),
        WithTraffic(Fact(Table::Tcp, 5, 20, "10.0.0.1:5001", 5001), 2048, 24, 100, 0),
        Fact(Table::Udp, 0, 20, "0.0.0.0:53", 53, true),
        WithTraffic(Fact(Table::Tcp6, 5, 30, "[::1]:80", 80), 0, 5 << 20, 0, 1000),
        Fact(Table::Tcp, 11, 0, "10.0.0.1:5002", 5002),  // TIME_WAIT, no process
        Fact(Table::Udp6, 0, 40, "[::]:5353", 5353, true),
    };
    const std::vector<std::string> lines = Texts(sockets::ProcessRows(s));
    ASSERT_EQ(lines.size(), 4u) << "no line for the sockets no process holds";
    // By total rate (30: 1000, 20: 250, then 10 and 40 with none, by pid).
    EXPECT_EQ(lines[0].rfind("PID 30 : p30 | TCPv6 1 (ESTABLISHED 1) | 0 bytes sent, 5242880 bytes (5.00 MiB) received"
                             " | 0 B/s sent, 1000 B/s received",
                             0),
              0u)
        << lines[0];
    EXPECT_EQ(lines[1],
              "PID 20 : p20 | TCP 2 (ESTABLISHED 2), UDP 1 | 4096 bytes (4.00 KiB) sent, 1024 bytes (1.00 KiB) "
              "received | 200 B/s sent, 50 B/s received");
    EXPECT_EQ(lines[2], "PID 10 : p10 | TCP 1 (LISTENING 1)") << "no traffic counted, no traffic told";
    EXPECT_EQ(lines[3], "PID 40 : p40 | UDPv6 1");

    // Labels of any width line up, counted in characters.
    Summary wide;
    wide.sockets = {Fact(Table::Udp, 0, 1, "0.0.0.0:1", 1), Fact(Table::Udp, 0, 2, "0.0.0.0:2", 2)};
    wide.sockets[0].owner = "PID 1 : caf\xC3\xA9";
    wide.sockets[1].owner = "PID 2 : x";
    const std::vector<sockets::Row> rows = sockets::ProcessRows(wide);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text.find(u'|'), rows[1].text.find(u'|'));
}

TEST(ListeningLines, ListenersByPortWithBothFamiliesJoined) {
    Summary s;
    s.sockets = {
        Fact(Table::Tcp, 2, 7, "0.0.0.0:443", 443, true),
        Fact(Table::Tcp6, 2, 7, "[::]:443", 443, true),      // the same process: one line
        Fact(Table::Tcp, 2, 8, "0.0.0.0:80", 80, true),
        Fact(Table::Tcp6, 2, 9, "[::]:80", 80, true),          // another process: two lines
        Fact(Table::Tcp, 5, 8, "10.0.0.1:80", 80),             // a connection: no line
        Fact(Table::Udp, 0, 8, "0.0.0.0:80", 80, true),        // UDP after TCP on its port
        Fact(Table::Tcp, 2, 3, "127.0.0.1:22", 22),
        Fact(Table::Udp6, 0, 4, "[fe80::1%eth0]:546", 546),
    };
    const std::vector<std::string> lines = Texts(sockets::ListeningRows(s));
    const std::vector<std::string> expected = {
        "TCP 127.0.0.1:22        PID 3 : p3",
        "TCP 0.0.0.0:80          PID 8 : p8",
        "TCP [::]:80             PID 9 : p9",
        "UDP 0.0.0.0:80          PID 8 : p8",
        "TCP [::]:443            PID 7 : p7 (IPv4 and IPv6)",
        "UDP [fe80::1%eth0]:546  PID 4 : p4",
    };
    EXPECT_EQ(lines, expected);
}

// An IPv6 socket on every address that takes IPv4 too (IPV6_V6ONLY off) is
// one listener of both families by itself, TCP or UDP; one that takes IPv6
// alone, one on a single address, or one whose choice is not known is not.
// What only the system's default says gives way to an IPv4 socket on the
// same port and protocol, which the kernel would not have bound beside a
// socket that takes IPv4.
TEST(ListeningLines, AnIpv6SocketThatTakesIpv4TooIsOfBothFamilies) {
    using sockets::DualStack;
    Summary s;
    s.sockets = {
        Fact(Table::Tcp6, 2, 5, "[::]:8080", 8080, true, DualStack::Yes),
        Fact(Table::Tcp6, 2, 5, "[::]:8081", 8081, true, DualStack::No),
        Fact(Table::Udp6, 0, 5, "[::]:8082", 8082, true, DualStack::Yes),
        Fact(Table::Tcp6, 2, 5, "[::1]:8083", 8083, false, DualStack::Yes),
        Fact(Table::Tcp6, 2, 5, "[::]:8084", 8084, true, DualStack::Assumed),
        Fact(Table::Tcp6, 2, 5, "[::]:8085", 8085, true, DualStack::Assumed),
        Fact(Table::Tcp, 5, 6, "127.0.0.1:8085", 8085),  // an IPv4 socket on the port
        Fact(Table::Udp6, 0, 5, "[::]:8085", 8085, true, DualStack::Assumed),  // UDP: no IPv4 socket there
        Fact(Table::Tcp6, 2, 5, "[::]:8086", 8086, true),
        Fact(Table::Tcp6, 5, 5, "[::ffff:127.0.0.1]:8080", 8080, false, DualStack::Yes),  // a connection
    };
    const std::vector<std::string> lines = Texts(sockets::ListeningRows(s));
    const std::vector<std::string> expected = {
        "TCP [::]:8080   PID 5 : p5 (IPv4 and IPv6)",
        "TCP [::]:8081   PID 5 : p5",
        "UDP [::]:8082   PID 5 : p5 (IPv4 and IPv6)",
        "TCP [::1]:8083  PID 5 : p5",
        "TCP [::]:8084   PID 5 : p5 (IPv4 and IPv6)",
        "TCP [::]:8085   PID 5 : p5",
        "UDP [::]:8085   PID 5 : p5 (IPv4 and IPv6)",
        "TCP [::]:8086   PID 5 : p5",
    };
    EXPECT_EQ(lines, expected);
}

TEST(Rates, FromTheCountsOfTheTableBefore) {
    const auto table = [](std::vector<std::pair<std::string, std::pair<std::uint64_t, std::uint64_t>>> rows) {
        sockets::TableRows t;
        t.valid = true;
        t.facts = std::make_shared<sockets::TableFacts>();
        for (auto& [key, counts] : rows) {
            t.rows.push_back(sockets::Row{key, 5, u""});
            sockets::Traffic traffic;
            traffic.counted = key != "uncounted";
            traffic.sent = counts.first;
            traffic.received = counts.second;
            t.facts->traffic.push_back(traffic);
        }
        return t;
    };
    sockets::RateKeeper keeper;
    sockets::TableRows first = table({{"a", {1000, 0}}, {"b", {500, 500}}});
    keeper.Apply(first, 10'000);
    EXPECT_FALSE(first.facts->traffic[0].hasRate) << "no table before the first";

    sockets::TableRows second = table({{"a", {4'001'000, 2'000'000}}, {"b", {100, 100}}, {"c", {9, 9}},
                                       {"uncounted", {0, 0}}});
    keeper.Apply(second, 12'000);
    const std::vector<sockets::Traffic>& t = second.facts->traffic;
    EXPECT_TRUE(t[0].hasRate);
    EXPECT_DOUBLE_EQ(t[0].sendRate, 2'000'000.0);
    EXPECT_DOUBLE_EQ(t[0].receiveRate, 1'000'000.0);
    EXPECT_FALSE(t[1].hasRate) << "counts that went down are another connection's";
    EXPECT_FALSE(t[2].hasRate) << "new since the table before";
    EXPECT_FALSE(t[3].hasRate);

    sockets::TableRows failed = table({{"a", {0, 0}}});
    failed.valid = false;
    keeper.Apply(failed, 13'000);
    sockets::TableRows third = table({{"a", {6'001'000, 2'000'000}}});
    keeper.Apply(third, 14'000);
    EXPECT_DOUBLE_EQ(third.facts->traffic[0].sendRate, 1'000'000.0) << "a failed table is no reading";
}

TEST(TrafficTexts, BytesAndRates) {
    const std::pair<std::uint64_t, const char*> bytes[] = {
        {0, "0 bytes"},
        {1023, "1023 bytes"},
        {1024, "1024 bytes (1.00 KiB)"},
        {10239, "10239 bytes (10.0 KiB)"},      // 9.999 KiB: three digits
        {102399, "102399 bytes (100 KiB)"},     // 99.999 KiB
        {1048575, "1048575 bytes (1.00 MiB)"},  // 1023.999 KiB: the next unit
        {20971520, "20971520 bytes (20.0 MiB)"},
        {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615 bytes (16.0 EiB)"},
    };
    for (const auto& [n, text] : bytes) EXPECT_EQ(sockets::ByteCountText(n), text) << n;
    const std::pair<double, const char*> rates[] = {
        {0, "0 B/s"},
        {1023.4, "1023 B/s"},
        {1023.6, "1.00 KiB/s"},
        {2'000'000, "1.91 MiB/s"},
        {1048575, "1.00 MiB/s"},
        {300.0 * 1024 * 1024, "300 MiB/s"},
        {-5, "0 B/s"},
        {std::numeric_limits<double>::infinity(), "0 B/s"},
        {std::nan(""), "0 B/s"},
    };
    for (const auto& [rate, text] : rates) EXPECT_EQ(sockets::RateText(rate), text) << rate;
}

// The detail lines of a socket: the owner's, or why there is none, then
// the traffic's.
TEST(DetailLines, OwnersReasonsAndTraffic) {
    auto owners = std::make_shared<sockets::OwnerDetails>();
    ProcessDetails known;
    known.pid = 7;
    known.path = "/usr/bin/x";
    known.commandLine = "x --a\nb\tc";  // a break and a tab inside an argument
    known.hasUid = true;
    known.uid = 33;
    known.user = "www-data";
    known.container = "docker 0123456789ab";
    owners->emplace(7, known);
    ProcessDetails elsewhere = known;
    elsewhere.pid = 8;
    elsewhere.netNamespace = OwnNetworkNamespace() + 1;
    owners->emplace(8, elsewhere);

    sockets::TableFacts facts;
    facts.table = Table::Tcp;
    facts.owners = owners;
    const auto add = [&](DWORD pid, std::uint32_t state, sockets::Traffic traffic) {
        facts.pids.push_back(pid);
        facts.states.push_back(state);
        facts.traffic.push_back(traffic);
    };
    sockets::Traffic counted;
    counted.counted = true;
    counted.sent = 10;
    counted.hasPath = true;
    sockets::Traffic slow = counted;
    slow.rttMs = 12;
    slow.retransmits = 3;
    slow.hasRate = true;
    slow.sendRate = 2048;
    add(7, 5, slow);              // 0: an owner, a measured connection
    add(0, 11, counted);          // 1: TIME_WAIT, no process
    add(0, 2, counted);           // 2: a listener whose owner cannot be seen
    add(8, 5, counted);           // 3: an owner in another network namespace
    add(9, 5, sockets::Traffic{}); // 4: an owner gone before it was read, nothing counted

    const auto lines = [&](std::size_t i) {
        std::vector<std::string> out;
        for (const std::u16string& l : sockets::DetailLines(facts, i)) out.push_back(WideToUtf8(l));
        return out;
    };
    EXPECT_EQ(lines(0), (std::vector<std::string>{"Process: 7 /usr/bin/x", "Command line: x --a\u23CE" "b\uFFFD" "c",
                                                  "User: www-data (33)", "Container: docker 0123456789ab",
                                                  "Bytes sent: 10 bytes", "Bytes received: 0 bytes",
                                                  "Rate: 2.00 KiB/s sent, 0 B/s received", "Round trip: 12 ms",
                                                  "Retransmits: 3"}));
    EXPECT_EQ(lines(1)[0], "Socket closed before its owner was found");
    EXPECT_EQ(lines(1)[3], "Rate: measured from the next refresh");
    EXPECT_EQ(lines(1)[4], "Round trip: < 1 ms");
    EXPECT_EQ(lines(2)[0], "Owner not visible to this user");
    EXPECT_EQ(lines(2)[4], "Round trip: not measured");
    if (OwnNetworkNamespace() != 0) {
        EXPECT_EQ(lines(3)[0], "Owner in another network namespace");
        EXPECT_EQ(lines(3)[1], "Process: 8 /usr/bin/x");
    }
    EXPECT_EQ(lines(4), (std::vector<std::string>{"Owner not visible to this user",
                                                  "Traffic: not counted by the system for this connection"}));
    EXPECT_TRUE(sockets::DetailLines(facts, 5).empty()) << "a row past the facts";
    // UDP: the owner's lines, then one line saying its traffic is not
    // counted.
    facts.table = Table::Udp6;
    EXPECT_EQ(lines(0), (std::vector<std::string>{"Process: 7 /usr/bin/x", "Command line: x --a\u23CE" "b\uFFFD" "c",
                                                  "User: www-data (33)", "Container: docker 0123456789ab",
                                                  "Traffic: not counted for UDP"}));
}


// Whatever a process put in its command line, service or container name, no
// control character (C0, DEL, C1) or line separator reaches a line.
TEST(DetailLines, NoControlCharacterReachesALine) {
    std::string hostile;
    for (int c = 0; c < 0x20; ++c) hostile += static_cast<char>(c);
    hostile += '\x7F';
    for (int c = 0x80; c < 0xA0; ++c) {  // C1 controls, as UTF-8
        hostile += '\xC2';
        hostile += static_cast<char>(c);
    }
    hostile += "\xE2\x80\xA8\xE2\x80\xA9\xC2\x1B[31m\xE2\x82\n\xFF";  // separators, broken sequences
    ProcessDetails owner;
    owner.pid = 6;
    owner.path = "/tmp/a\nb";
    owner.commandLine = "evil " + hostile + " end";
    owner.hasUid = true;
    owner.user = "u\r\n";
    owner.service = "s\x1B]0;title\x07";
    owner.container = "c\t" + hostile;
    auto owners = std::make_shared<sockets::OwnerDetails>();
    owners->emplace(6, owner);
    sockets::TableFacts facts;
    facts.table = Table::Udp;
    facts.pids = {6};
    facts.states = {0};
    facts.owners = owners;
    const std::vector<std::u16string> lines = sockets::DetailLines(facts, 0);
    ASSERT_EQ(lines.size(), 6u) << "one line per field, and one for UDP's traffic";
    for (const std::u16string& line : lines)
        for (char16_t c : line)
            EXPECT_FALSE(c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029)
                << "U+" << std::hex << static_cast<unsigned>(c) << " in " << WideToUtf8(line);
    EXPECT_EQ(WideToUtf8(lines[1]).rfind("Command line: evil ", 0), 0u);
}


// The socket tables as records: the open-sockets fields, addresses as text
// (an IPv6 zone as its scope id), the kernel's state names, the owner's path.
TEST(SocketRecords, FieldsOfEachFamilyAndProtocol) {
    sockets::OwnerDetails owners;
    ProcessDetails sshd;
    sshd.pid = 612;
    sshd.path = "/usr/sbin/sshd";
    owners.emplace(612, sshd);

    struct {
        DWORD count;
        MIB_TCPROW_OWNER_PID rows[2];
    } tcp{2, {{2, htonl(0x7F000001), htons(22), 0, 0, 612}, {5, htonl(0x0A000001), htons(40000), htonl(0x0A000002), htons(443), 7}}};
    const records::Table t = sockets::SocketRecords(Table::Tcp, &tcp, 2, owners);
    EXPECT_EQ(t.kind, "tcp");
    EXPECT_EQ(t.columns, (std::vector<std::string>{"pid", "family", "protocol", "local_address", "local_port",
                                                   "remote_address", "remote_port", "state", "path"}));
    ASSERT_EQ(t.rows.size(), 2u);
    const auto texts = [](const std::vector<records::Cell>& row) {
        std::vector<std::string> out;
        for (const records::Cell& c : row) out.push_back(c.number ? "#" + std::to_string(c.value) : c.text);
        return out;
    };
    EXPECT_EQ(texts(t.rows[0]), (std::vector<std::string>{"#612", "#2", "#6", "127.0.0.1", "#22", "0.0.0.0", "#0",
                                                           "LISTEN", "/usr/sbin/sshd"}));
    EXPECT_EQ(texts(t.rows[1]), (std::vector<std::string>{"#7", "#2", "#6", "10.0.0.1", "#40000", "10.0.0.2",
                                                           "#443", "ESTABLISHED", ""}));

    struct {
        DWORD count;
        MIB_UDP6ROW_OWNER_PID rows[1];
    } udp6{1, {}};
    inet_pton(AF_INET6, "fe80::1", udp6.rows[0].ucLocalAddr);
    udp6.rows[0].dwLocalScopeId = 3;
    udp6.rows[0].dwLocalPort = htons(546);
    const records::Table u = sockets::SocketRecords(Table::Udp6, &udp6, 1, owners);
    ASSERT_EQ(u.rows.size(), 1u);
    EXPECT_EQ(texts(u.rows[0]),
              (std::vector<std::string>{"#0", "#10", "#17", "fe80::1%3", "#546", "::", "#0", "", ""}));
    EXPECT_TRUE(sockets::SocketRecords(Table::Tcp6, nullptr, 5, owners).rows.empty());
    // Written as JSON, each socket is one object with numbers as numbers.
    EXPECT_NE(records::ToJson("h", 0, {t}).find("{\"pid\":612,\"family\":2,\"protocol\":6,\"local_address\":"
                                                "\"127.0.0.1\",\"local_port\":22,"),
              std::string::npos);
}


// The counters as records: one row, the record's field names, unsigned
// values (a dynamic MaxConn is 4294967295, not -1).
TEST(CounterRecords, FieldNamesAndUnsignedValues) {
    MIB_TCPSTATS tcp{};
    tcp.dwMaxConn = static_cast<DWORD>(-1);
    tcp.dwActiveOpens = 17;
    const records::Table t = TcpCounterRecords(tcp);
    EXPECT_EQ(t.kind, "tcp-stats");
    ASSERT_EQ(t.columns.size(), 15u);
    ASSERT_EQ(t.rows.size(), 1u);
    EXPECT_EQ(t.columns[3], "MaxConn");
    EXPECT_EQ(t.rows[0][3].value, 4294967295u);
    EXPECT_EQ(t.columns[4], "ActiveOpens");
    EXPECT_EQ(t.rows[0][4].value, 17u);

    MIB_ICMP icmp{};
    icmp.stats.icmpInStats.dwMsgs = 5;
    icmp.stats.icmpOutStats.dwAddrMaskReps = 9;
    const records::Table i = IcmpCounterRecords(icmp);
    ASSERT_EQ(i.columns.size(), 26u);
    EXPECT_EQ(i.columns.front(), "InMsgs");
    EXPECT_EQ(i.rows[0].front().value, 5u);
    EXPECT_EQ(i.columns.back(), "OutAddrMaskReps");
    EXPECT_EQ(i.rows[0].back().value, 9u);

    MIB_IPSTATS ip{};
    ip.dwNumRoutes = 3;
    EXPECT_EQ(IpCounterRecords(ip).columns.back(), "NumRoutes");
    EXPECT_EQ(IpCounterRecords(ip).rows[0].back().value, 3u);
    EXPECT_EQ(UdpCounterRecords(MIB_UDPSTATS{}).columns.front(), "InDatagrams");
}

}  // namespace
