// The filter of the socket-like panes and --filter: expressions against a
// fixed set of records (which each keeps), bad expressions (why and where),
// the quick toggles, and a table's rows kept with their details and facts.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ConnectionReports.h"
#include "SocketFilter.h"

namespace {

using sockets::Record;
using sockets::RecordPtr;
using sockets::Table;

sockets::IpAddress V4(const char* text) {
    sockets::IpAddress a;
    a.family = 4;
    inet_pton(AF_INET, text, a.bytes.data());
    return a;
}

sockets::IpAddress V6(const char* text, std::uint32_t zone = 0, const char* zoneName = "") {
    sockets::IpAddress a;
    a.family = 6;
    inet_pton(AF_INET6, text, a.bytes.data());
    a.zone = zone;
    a.zoneName = zoneName;
    return a;
}

std::shared_ptr<Record> Socket(Table table, sockets::IpAddress local, std::uint16_t localPort,
                               sockets::IpAddress remote, std::uint16_t remotePort, std::uint32_t state, DWORD pid,
                               const char* process, const char* user = "", const char* service = "") {
    auto r = std::make_shared<Record>();
    r->table = table;
    r->local = std::move(local);
    r->localPort = localPort;
    r->remote = std::move(remote);
    r->remotePort = remotePort;
    r->state = state;
    r->pid = pid;
    r->process = process;
    r->user = user;
    r->service = service;
    return r;
}

// The records every expression is tried on, by name.
std::map<std::string, RecordPtr> Records() {
    std::map<std::string, RecordPtr> r;
    r["web"] =
        Socket(Table::Tcp, V4("127.0.0.1"), 80, V4("127.0.0.1"), 40000, 5, 100, "nginx", "www-data", "nginx.service");
    r["ssh"] = Socket(Table::Tcp, V4("0.0.0.0"), 22, V4("0.0.0.0"), 0, 2, 1, "sshd", "root", "ssh.service");
    auto wait = Socket(Table::Tcp, V4("10.0.0.5"), 51000, V4("93.184.216.34"), 443, 11, 0, "");
    wait->ownerMissing = "\u2014 (TIME_WAIT)";
    r["wait"] = wait;
    // An IPv4 client of a dual-stack listener.
    r["mapped"] =
        Socket(Table::Tcp6, V6("::ffff:192.168.1.10"), 8080, V6("::ffff:192.168.1.20"), 50000, 5, 200, "java", "1001");
    auto both = Socket(Table::Tcp6, V6("::"), 8080, V6("::"), 0, 2, 200, "java", "1001");
    both->bothFamilies = true;
    r["both"] = both;
    r["dns"] = Socket(Table::Udp, V4("127.0.0.53"), 53, {}, 0, 0, 300, "systemd-resolved", "systemd-resolve");
    r["dhcp"] = Socket(Table::Udp6, V6("fe80::1", 2, "eth0"), 546, {}, 0, 0, 400, "dhclient");
    auto gone = Socket(Table::Tcp, V4("127.0.0.1"), 5000, V4("127.0.0.1"), 6000, 5, 500, "Curl");
    gone->closed = true;
    r["gone"] = gone;
    // A process with its two sockets as children.
    auto java = std::make_shared<Record>();
    java->kind = Record::Kind::Process;
    java->pid = 200;
    java->process = "java";
    java->user = "1001";
    java->sockets = 2;
    java->children = {r["mapped"], r["both"]};
    r["javaproc"] = java;
    // A log event: a connection to the web server opened.
    sockets::Event event;
    event.timeMs = 1700000000123;
    event.what = sockets::Event::What::Opened;
    event.protocol = "TCP";
    event.local = "127.0.0.1:40000";
    event.remote = "127.0.0.1:80";
    event.pid = 600;
    event.process = "wget";
    r["event"] = sockets::EventRecord(event);
    return r;
}

// The names of the records `expression` keeps, in name order.
std::string Kept(const std::string& expression) {
    sockets::FilterError error;
    const auto filter = sockets::ParseFilter(expression, &error);
    if (!filter) return "error: " + error.reason + " at column " + std::to_string(error.column);
    std::string names;
    for (const auto& [name, record] : Records()) {
        if (!filter->Matches(*record)) continue;
        if (!names.empty()) names += ' ';
        names += name;
    }
    return names;
}

TEST(SocketFilter, ExpressionsKeepTheRecordsTheyDescribe) {
    const std::string all = "both dhcp dns event gone javaproc mapped ssh wait web";
    struct Case {
        const char* expression;
        const char* kept;
    };
    const Case cases[] = {
        {"", all.c_str()},
        {"   \t ", all.c_str()},
        // Words: any column's text, without regard to case, in part.
        {"NGINX", "web"},
        {"nginx", "web"},
        {"java", "both javaproc mapped"},
        {"53", "dns"},                           // a port column; no other column holds 53
        {"established", "javaproc mapped web"},  // an opened event has no state
        {"closed", "gone"},                      // a closed line's State reads CLOSED
        {"time_wait", "wait"},                   // State, and the owner's missing reason
        {"udpv6", "dhcp"},
        {"\"www-data\"", "web"},
        {"opened", "event"},
        {"fe80::1", "dhcp"},
        {"fe80::1%eth0", "dhcp"},
        {"\"needs privileges\"", ""},
        // Protocol and family.
        {"proto:tcp", "both event gone javaproc mapped ssh wait web"},
        {"proto:TCP4", "event gone ssh wait web"},
        {"proto:tcpv6", "both javaproc mapped"},
        {"proto:udp", "dhcp dns"},
        {"proto:udp6", "dhcp"},
        {"family:4", "both dns event gone javaproc ssh wait web"},  // the both-families listener is IPv4 too
        {"family:6", "both dhcp javaproc mapped"},
        // Addresses and prefixes; IPv4 ones match IPv4-mapped IPv6 addresses.
        {"addr:127.0.0.1", "event gone web"},
        {"laddr:127.0.0.0/8", "dns event gone web"},
        {"raddr:93.184.216.0/24", "wait"},
        {"addr:192.168.1.0/24", "javaproc mapped"},
        {"laddr:192.168.1.10", "javaproc mapped"},
        {"laddr:::ffff:192.168.1.10", "javaproc mapped"},
        {"laddr:::ffff:0:0/96", "javaproc mapped"},  // an IPv6 prefix: IPv6 addresses only
        {"addr:0.0.0.0/0", "dns event gone javaproc mapped ssh wait web"},
        {"laddr:::/0", "both dhcp javaproc mapped"},
        {"laddr:fe80::/10", "dhcp"},
        {"laddr:[fe80::1%eth0]", "dhcp"},
        {"laddr:fe80::1%2", "dhcp"},
        {"laddr:fe80::1%eth1", ""},
        {"raddr:10.0.0.5", ""},
        // Ports and ranges; UDP has no remote port.
        {"port:80", "event web"},
        {"lport:80", "web"},
        {"rport:80", "event"},
        {"lport:1-1024", "dhcp dns ssh web"},
        {"port:0", "both javaproc ssh"},  // a listener's remote end is 0.0.0.0:0
        {"rport:0", "both javaproc ssh"},
        {"port:65535", ""},
        // States, as the lines and as ss name them.
        {"state:ESTABLISHED", "javaproc mapped web"},
        {"state:estab", "javaproc mapped web"},
        {"state:listen", "both javaproc ssh"},
        {"state:LISTENING", "both javaproc ssh"},
        {"state:time-wait", "wait"},
        {"state:TIME_WAIT", "wait"},
        {"state:timewait", "wait"},
        {"state:closed", "gone"},
        {"state:connected", "javaproc mapped wait web"},
        // Owners.
        {"pid:200", "both javaproc mapped"},
        {"pid:0", "wait"},
        {"pid:100-300", "both dns javaproc mapped web"},
        {"proc:curl", "gone"},
        {"proc:systemd", "dns"},
        {"proc:\"systemd-resolved\"", "dns"},
        {"user:ROOT", "ssh"},
        {"user:systemd", ""},  // a user is the whole name
        {"user:1001", "both javaproc mapped"},
        {"service:ssh", "ssh"},
        // Negation, AND, OR, groups.
        {"-proto:tcp", "dhcp dns"},  // a process by its sockets
        {"proto:tcp -state:listen", "event gone javaproc mapped wait web"},
        {"proc:java -state:listen", "javaproc mapped"},
        {"port:80 or port:53", "dns event web"},
        {"port:80 OR port:53 Or port:22", "dns event ssh web"},
        {"proto:udp (port:53 or port:546)", "dhcp dns"},
        {"-(proto:tcp or proto:udp)", ""},
        {"--proto:udp", "dhcp dns"},
        {"(((port:22)))", "ssh"},
        {"state:listen or proto:udp family:6", "both dhcp javaproc ssh"},  // AND binds tighter than or
        {"java 8080 -state:listen", "javaproc mapped"},
        {"\"or\"", ""},  // a quoted or is a word, not a dangling keyword
    };
    for (const Case& c : cases) EXPECT_EQ(Kept(c.expression), c.kept) << c.expression;
}

TEST(SocketFilter, BadExpressionsSayWhyAndWhere) {
    struct Case {
        std::string expression;
        const char* reason;
        std::size_t column;
    };
    const Case cases[] = {
        {"bogus:1", "unknown field 'bogus'", 1},
        {"port:80 colour:red", "unknown field 'colour'", 9},
        {"port:", "empty value for port", 6},
        {"proc:\"\"", "empty value for proc", 6},
        {"state: listen", "empty value for state", 7},
        {"\"\"", "empty word", 1},
        {"port:http", "bad port or range 'http'", 6},
        {"port:65536", "bad port or range '65536'", 6},
        {"lport:1024-1", "bad port or range '1024-1'", 7},
        {"rport:1-", "bad port or range '1-'", 7},
        {"pid:-3", "bad process id or range '-3'", 5},
        {"pid:99999999999", "bad process id or range", 5},
        {"addr:300.1.1.1", "bad address '300.1.1.1'", 6},
        {"addr:localhost", "bad address 'localhost'", 6},
        {"addr:10.0.0.0/33", "bad prefix length '33' (0 to 32)", 15},
        {"laddr:::1/129", "bad prefix length '129' (0 to 128)", 11},
        {"raddr:10.0.0.0/", "bad prefix length '' (0 to 32)", 16},
        {"addr:fe80::1%", "bad address 'fe80::1%'", 6},
        {"addr:1.2.3.4%eth0", "bad address", 6},
        {"proto:sctp", "unknown protocol 'sctp'", 7},
        {"family:5", "family is 4 or 6, not '5'", 8},
        {"state:open", "unknown state 'open'", 7},
        {"(port:80", "unbalanced parenthesis: '(' is not closed", 1},
        {"port:80)", "unbalanced parenthesis: ')' without '('", 8},
        {"(a or (b c)", "unbalanced parenthesis: '(' is not closed", 1},
        {"a) (b", "unbalanced parenthesis: ')' without '('", 2},
        {"()", "empty parentheses", 1},
        {"a ( ) b", "empty parentheses", 3},
        {"port:80 or", "'or' without a term after it", 9},
        {"or port:80", "'or' without a term before it", 1},
        {"a or or b", "'or' without a term after it", 3},
        {"(a or) b", "'or' without a term after it", 4},
        {"a - b", "'-' with nothing to negate", 3},
        {"a -", "'-' with nothing to negate", 3},
        {"(a -)", "'-' with nothing to negate", 4},
        {"-or a", "'-' with nothing to negate", 1},
        {"proc:\"unterminated", "unterminated quote", 6},
        {"x \"abc", "unterminated quote", 3},
        // Columns count characters, not bytes.
        {"caf\xc3\xa9 bogus:1", "unknown field 'bogus'", 6},
        // A reason quotes no control character.
        {"proto:\x1b[2J", "unknown protocol '?[2J'", 7},
        {std::string("laddr:1.2.3.4\0junk", 18), "bad address '1.2.3.4?junk'", 7},
    };
    for (const Case& c : cases) {
        sockets::FilterError error;
        EXPECT_EQ(sockets::ParseFilter(c.expression, &error), nullptr) << c.expression;
        EXPECT_NE(error.reason.find(c.reason), std::string::npos) << c.expression << ": " << error.reason;
        EXPECT_EQ(error.column, c.column) << c.expression << ": " << error.reason;
        for (char ch : error.reason) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << c.expression;
    }
    // A null error is allowed.
    EXPECT_EQ(sockets::ParseFilter("(", nullptr), nullptr);
}

// Hostile input can neither grow the stack nor the work per row: the
// length, the nesting and the number of terms are bounded, and the bounds
// themselves pass.
TEST(SocketFilter, BoundsOnLengthNestingAndTerms) {
    const auto parse = [](const std::string& text, sockets::FilterError& error) {
        return sockets::ParseFilter(text, &error);
    };
    sockets::FilterError error;
    EXPECT_NE(parse(std::string(sockets::kFilterMaxLength, 'x'), error), nullptr);
    EXPECT_EQ(parse(std::string(sockets::kFilterMaxLength + 1, 'x'), error), nullptr);
    EXPECT_NE(error.reason.find("too long"), std::string::npos);
    EXPECT_EQ(error.column, sockets::kFilterMaxLength + 1);
    // Characters, not bytes: as many two-byte characters pass.
    std::string wide;
    for (std::size_t i = 0; i < sockets::kFilterMaxLength; ++i) wide += "\xc3\xa9";
    EXPECT_NE(parse(wide, error), nullptr);
    // A million open parentheses: refused by length, at once.
    EXPECT_EQ(parse(std::string(1000000, '('), error), nullptr);

    const std::size_t depth = sockets::kFilterMaxDepth;
    EXPECT_NE(parse(std::string(depth - 1, '(') + "a" + std::string(depth - 1, ')'), error), nullptr);
    EXPECT_EQ(parse(std::string(depth, '(') + "a" + std::string(depth, ')'), error), nullptr);
    EXPECT_NE(error.reason.find("nested too deeply"), std::string::npos) << error.reason;
    EXPECT_EQ(parse(std::string(depth + 5, '-') + "a", error), nullptr);
    EXPECT_NE(error.reason.find("nested too deeply"), std::string::npos) << error.reason;

    std::string terms;
    for (std::size_t i = 0; i < sockets::kFilterMaxTerms; ++i) terms += "-w ";
    EXPECT_NE(parse(terms, error), nullptr);
    EXPECT_EQ(parse(terms + "w", error), nullptr);
    EXPECT_NE(error.reason.find("too many terms"), std::string::npos) << error.reason;
    EXPECT_EQ(error.column, 3 * sockets::kFilterMaxTerms + 1);
}

TEST(SocketFilter, WhatAFilterNeedsToBeMatched) {
    const auto needs = [](const char* text) { return sockets::ParseFilter(text, nullptr)->NeedsOwnerDetails(); };
    EXPECT_FALSE(needs("state:established lport:80"));
    EXPECT_FALSE(needs("proc:nginx pid:1-100 addr:10.0.0.0/8"));
    EXPECT_TRUE(needs("user:root"));
    EXPECT_TRUE(needs("port:80 or service:ssh"));
    EXPECT_TRUE(needs("-nginx"));
    const auto empty = sockets::ParseFilter(" ", nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->IsEmpty());
    EXPECT_FALSE(sockets::ParseFilter("a", nullptr)->IsEmpty());
    EXPECT_EQ(sockets::ParseFilter("port:80  ", nullptr)->Text(), "port:80  ");
}

TEST(SocketFilter, QuickTogglesHideListeningTimeWaitAndLoopback) {
    const auto records = Records();
    struct Case {
        sockets::QuickToggles toggles;
        const char* passing;
    };
    const Case cases[] = {
        {{}, "both dhcp dns event gone javaproc mapped ssh wait web"},
        {{true, false, false}, "dhcp dns event gone javaproc mapped wait web"},
        {{false, true, false}, "both dhcp dns event gone javaproc mapped ssh web"},
        {{false, false, true}, "both dhcp javaproc mapped ssh wait"},
        {{true, true, true}, "dhcp javaproc mapped"},
    };
    for (const Case& c : cases) {
        std::string passing;
        for (const auto& [name, record] : records) {
            if (!sockets::PassesQuickToggles(*record, c.toggles)) continue;
            if (!passing.empty()) passing += ' ';
            passing += name;
        }
        EXPECT_EQ(passing, c.passing);
    }
    // A dual-stack socket's IPv4 loopback client is loopback too; a process
    // is hidden when all its sockets are.
    auto mapped = Socket(Table::Tcp6, V6("::ffff:127.0.0.1"), 80, V6("::ffff:127.0.0.1"), 4000, 5, 9, "x");
    EXPECT_FALSE(sockets::PassesQuickToggles(*mapped, {false, false, true}));
    Record process;
    process.kind = Record::Kind::Process;
    process.children = {mapped};
    EXPECT_FALSE(sockets::PassesQuickToggles(process, {false, false, true}));
    EXPECT_TRUE(sockets::PassesQuickToggles(process, {true, true, false}));
}

// A table's rows kept by a filter keep their details and facts row for
// row, and the mask says which stayed.
TEST(SocketFilter, KeptRowsKeepTheirDetailsAndFacts) {
    constexpr DWORD kRows = 4;
    std::vector<unsigned char> buffer(sizeof(MIB_TCPTABLE_OWNER_PID) + kRows * sizeof(MIB_TCPROW_OWNER_PID));
    auto* table = reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    table->dwNumEntries = kRows;
    const DWORD loopback = htonl(INADDR_LOOPBACK);
    const std::uint16_t ports[kRows][2] = {{80, 40000}, {40000, 80}, {443, 50000}, {80, 40001}};
    for (DWORD i = 0; i < kRows; ++i)
        table->table[i] = MIB_TCPROW_OWNER_PID{5, loopback, htons(ports[i][0]), loopback, htons(ports[i][1]), 0};
    sockets::TableRows rows = sockets::MakeRows(Table::Tcp, table, kRows);
    auto facts = std::make_shared<sockets::TableFacts>();
    for (DWORD i = 0; i < kRows; ++i) {
        facts->pids.push_back(i);
        facts->states.push_back(5);
        sockets::Traffic t;
        t.counted = true;
        t.sent = 1000 + i;
        facts->traffic.push_back(t);
    }
    rows.facts = facts;
    const auto shared = rows.facts;  // the facts of another holder stay whole

    std::vector<bool> kept;
    sockets::KeepMatchingRows(rows, *sockets::ParseFilter("lport:80", nullptr), &kept);
    EXPECT_EQ(kept, (std::vector<bool>{true, false, false, true}));
    ASSERT_EQ(rows.rows.size(), 2u);
    ASSERT_EQ(rows.details.size(), 2u);
    EXPECT_EQ(rows.details[0].local, "127.0.0.1:80");
    EXPECT_EQ(rows.details[1].remote, "127.0.0.1:40001");
    ASSERT_EQ(rows.facts->traffic.size(), 2u);
    EXPECT_EQ(rows.facts->traffic[1].sent, 1003u);
    EXPECT_EQ(rows.facts->pids, (std::vector<DWORD>{0, 3}));
    EXPECT_EQ(shared->traffic.size(), kRows);

    // An empty filter keeps every row.
    sockets::TableRows all = sockets::MakeRows(Table::Tcp, table, kRows);
    sockets::KeepMatchingRows(all, *sockets::ParseFilter("", nullptr), &kept);
    EXPECT_EQ(all.rows.size(), kRows);
    EXPECT_EQ(kept, std::vector<bool>(kRows, true));

    // Rows that have their records are tested by them, and keep them.
    sockets::TableRows attached = sockets::MakeRows(Table::Tcp, table, kRows);
    sockets::AttachRecords(attached);
    auto other = std::make_shared<Record>(*attached.rows[2].record);
    other->localPort = 80;  // a record that says otherwise than its row
    attached.rows[2].record = other;
    sockets::KeepMatchingRows(attached, *sockets::ParseFilter("lport:80", nullptr), &kept);
    EXPECT_EQ(kept, (std::vector<bool>{true, false, true, true}));
    ASSERT_EQ(attached.rows.size(), 3u);
    EXPECT_EQ(attached.rows[1].record, other);
}

// A word matches a record when any of its columns' texts holds it: each
// column's whole text, in any case, and a part of it, finds the record; a
// text in no column does not.
TEST(SocketFilter, WordsFindEveryColumnsText) {
    auto records = Records();
    auto traffic = Socket(Table::Tcp6, V6("2001:db8::5"), 443, V6("fe80::9", 3, "wlan0"), 61000, 8, 700, "Relay",
                          "alice", "relay.service");
    traffic->container = "pod-7";
    traffic->traffic = {true, 123456789, 4096, true, 17, 9876, true, 2048.0, 10.5};
    records["traffic"] = traffic;
    auto unknownState = Socket(Table::Tcp, V4("1.2.3.4"), 1, V4("5.6.7.8"), 2, 77, 7, "odd");
    records["unknown"] = unknownState;
    for (const auto& [name, record] : records) {
        for (std::size_t c = 0; c < sockets::kColumnCount; ++c) {
            const std::string text = sockets::ColumnText(*record, static_cast<sockets::Column>(c));
            if (text.empty()) continue;
            std::string upper = text, part = text.substr(text.size() / 3, std::max<std::size_t>(1, text.size() / 2));
            for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            for (const std::string& word : {text, upper, part}) {
                std::string quoted = "\"";
                for (char ch : word) quoted += ch == '"' || ch == '\\' ? std::string("\\") + ch : std::string(1, ch);
                const auto filter = sockets::ParseFilter(quoted + "\"", nullptr);
                ASSERT_NE(filter, nullptr) << word;
                EXPECT_TRUE(filter->Matches(*record)) << name << " column " << c << " '" << word << "'";
            }
        }
        EXPECT_FALSE(sockets::ParseFilter("zz-in-no-column", nullptr)->Matches(*record)) << name;
    }
}

}  // namespace
