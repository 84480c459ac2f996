// The typed records of socket lines: made from a table's rows, their
// column texts, the order of each column's kind, log events read back from
// their text, and closed lines.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "ConnectionReports.h"
#include "SocketMonitor.h"
#include "SocketRecord.h"

namespace {

using sockets::Column;
using sockets::Record;

DWORD Port(std::uint16_t port) { return htons(port); }
DWORD Address(unsigned a, unsigned b, unsigned c, unsigned d) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    DWORD address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

template <class Table, class Row>
std::vector<unsigned char> TableOf(const std::vector<Row>& rows) {
    std::vector<unsigned char> buffer(sizeof(Table) + rows.size() * sizeof(Row));
    auto* table = reinterpret_cast<Table*>(buffer.data());
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    std::memcpy(table->table, rows.data(), rows.size() * sizeof(Row));
    return buffer;
}

std::vector<std::string> Texts(const Record& r, std::initializer_list<Column> columns) {
    std::vector<std::string> out;
    for (Column c : columns) out.push_back(sockets::ColumnText(r, c));
    return out;
}

TEST(SocketRecord, RowsOfEachFamilyGiveTheirAddressesPortsStateAndWhyNoOwner) {
    const std::vector<MIB_TCPROW_OWNER_PID> tcp = {
        {2, Address(0, 0, 0, 0), Port(80), 0, 0, 0},
        {11, Address(10, 0, 0, 2), Port(40001), Address(192, 168, 1, 20), Port(443), 0},
    };
    auto v4 = TableOf<MIB_TCPTABLE_OWNER_PID>(tcp);
    sockets::TableRows rows = sockets::MakeRows(sockets::Table::Tcp, v4.data(), 2);
    sockets::AttachRecords(rows);
    ASSERT_EQ(rows.rows.size(), 2u);
    const std::initializer_list<Column> columns = {Column::Protocol, Column::LocalAddress, Column::LocalPort,
                                                   Column::RemoteAddress, Column::RemotePort, Column::State,
                                                   Column::Pid, Column::Process};
    EXPECT_EQ(Texts(*rows.rows[0].record, columns),
              (std::vector<std::string>{"TCP", "0.0.0.0", "80", "0.0.0.0", "0", "LISTENING", "", "not found"}));
    // Where the search says it could not look everywhere, that is why.
    auto facts = std::make_shared<sockets::TableFacts>();
    facts->ownersIncomplete = "the owner helper is not installed";
    rows.facts = facts;
    rows.rows[0].record.reset();
    sockets::AttachRecords(rows);
    EXPECT_EQ(sockets::ColumnText(*rows.rows[0].record, Column::Process), "needs privileges");
    EXPECT_EQ(Texts(*rows.rows[1].record, columns),
              (std::vector<std::string>{"TCP", "10.0.0.2", "40001", "192.168.1.20", "443", "TIME_WAIT", "",
                                        "\u2014 (TIME_WAIT)"}));

    MIB_TCP6ROW_OWNER_PID six{};
    const unsigned char linkLocal[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const unsigned char documentation[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x10};
    std::memcpy(six.ucLocalAddr, linkLocal, 16);
    six.dwLocalScopeId = 1;  // the loopback interface's index: always there, named "lo"
    six.dwLocalPort = Port(22);
    std::memcpy(six.ucRemoteAddr, documentation, 16);
    six.dwRemotePort = Port(50000);
    six.dwState = 5;
    auto v6 = TableOf<MIB_TCP6TABLE_OWNER_PID>(std::vector<MIB_TCP6ROW_OWNER_PID>{six});
    rows = sockets::MakeRows(sockets::Table::Tcp6, v6.data(), 1);
    sockets::AttachRecords(rows);
    const Record& r = *rows.rows[0].record;
    EXPECT_EQ(r.local.family, 6);
    EXPECT_EQ(sockets::ColumnText(r, Column::LocalAddress), "fe80::1%lo");
    EXPECT_EQ(sockets::ColumnText(r, Column::RemoteAddress), "2001:db8::10");
    EXPECT_EQ(sockets::ColumnText(r, Column::LocalPort), "22");
    EXPECT_EQ(sockets::ColumnText(r, Column::State), "ESTABLISHED");

    MIB_UDPROW_OWNER_PID udp{Address(127, 0, 0, 53), Port(53), 0};
    auto u = TableOf<MIB_UDPTABLE_OWNER_PID>(std::vector<MIB_UDPROW_OWNER_PID>{udp});
    rows = sockets::MakeRows(sockets::Table::Udp, u.data(), 1);
    sockets::AttachRecords(rows);
    EXPECT_EQ(Texts(*rows.rows[0].record, {Column::Protocol, Column::LocalAddress, Column::RemoteAddress,
                                           Column::RemotePort, Column::State, Column::Sent}),
              (std::vector<std::string>{"UDP", "127.0.0.53", "", "", "", ""}));
}

Record Socket(const char* address, std::uint16_t port) {
    Record r;
    sockets::Event e;
    e.local = address;
    auto parsed = sockets::EventRecord(e);
    r.local = parsed->local;
    r.localPort = port;
    return r;
}

TEST(SocketRecord, NamesAProcessChoseAreMadePrintable) {
    sockets::TableRows rows;
    rows.table = sockets::Table::Udp;
    rows.rows.push_back({std::string("U\x7f\0\0\x01\0\x35", 7), 0, u"line"});
    sockets::Detail detail;
    detail.pid = 42;
    detail.process = "evil\x1b[2J\nname";
    rows.details.push_back(detail);
    sockets::AttachRecords(rows);
    const std::string process = sockets::ColumnText(*rows.rows[0].record, Column::Process);
    EXPECT_EQ(process.find('\x1b'), std::string::npos) << process;
    EXPECT_EQ(process.find('\n'), std::string::npos) << process;
    EXPECT_EQ(sockets::ColumnText(*rows.rows[0].record, Column::LocalAddress), "127.0.0.1");
    EXPECT_EQ(sockets::ColumnText(*rows.rows[0].record, Column::LocalPort), "53");
}

TEST(SocketRecord, ColumnsOrderByTheKindOfTheirValues) {
    // Each pair: `a` comes before `b` by the column, where the texts alone
    // would order them the other way or not at all.
    Record noPid, pid9, pid10, slow, fast, early, late, lower, upper;
    pid9.pid = 9;
    pid10.pid = 10;
    slow.traffic.hasRate = fast.traffic.hasRate = true;
    slow.traffic.sendRate = 900;           // "900 B/s"
    fast.traffic.sendRate = 2.0 * 1024;    // "2.00 KiB/s"
    early.timeMs = 9'000;
    late.timeMs = 10'000;
    lower.process = "apache";
    upper.process = "Bind";
    struct Case {
        Column column;
        Record a, b;
    } cases[] = {
        {Column::LocalAddress, Socket("10.0.0.2:1", 1), Socket("10.0.0.10:1", 1)},
        {Column::LocalAddress, Socket("255.255.255.255:1", 1), Socket("[::]:1", 1)},  // IPv4 before IPv6
        {Column::LocalAddress, Socket("[2001:db8::9]:1", 1), Socket("[2001:db8::a]:1", 1)},
        {Column::LocalPort, Socket("1.1.1.1:1", 9), Socket("1.1.1.1:1", 10)},
        {Column::Pid, noPid, pid9},
        {Column::Pid, pid9, pid10},
        {Column::SendRate, slow, fast},
        {Column::Time, early, late},
        {Column::Process, lower, upper},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sockets::ColumnTitle(c.column));
        EXPECT_LT(sockets::CompareBy(c.a, c.b, c.column), 0);
        EXPECT_GT(sockets::CompareBy(c.b, c.a, c.column), 0);
        EXPECT_EQ(sockets::CompareBy(c.a, c.a, c.column), 0);
    }
}

TEST(SocketRecord, LogEventsAreReadBackFromTheirEndpointTexts) {
    struct Case {
        const char* local;
        int family;
        const char* address;
        std::uint16_t port;
    } cases[] = {
        {"127.0.0.1:5000", 4, "127.0.0.1", 5000},
        {"[::ffff:10.1.2.3]:80", 6, "::ffff:10.1.2.3", 80},
        {"[fe80::1%eth0]:22", 6, "fe80::1%eth0", 22},
        // Anything else is no address, never a crash or a guess.
        {"", 0, "", 0},
        {"127.0.0.1", 0, "", 0},
        {"127.0.0.1:70000", 0, "", 0},
        {"[::1:5000", 0, "", 0},
        {"300.1.1.1:1", 0, "", 0},
        {"[fe80::1%]:1:2", 0, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.local);
        sockets::Event e;
        e.protocol = "TCPv6";
        e.local = c.local;
        e.what = sockets::Event::What::State;
        e.state = "TIME_WAIT";
        const auto r = sockets::EventRecord(e);
        EXPECT_EQ(r->local.family, c.family);
        EXPECT_EQ(sockets::ColumnText(*r, Column::LocalAddress), c.address);
        EXPECT_EQ(r->localPort, c.port);
        EXPECT_EQ(sockets::ColumnText(*r, Column::State), "TIME_WAIT");
        EXPECT_EQ(sockets::ColumnText(*r, Column::Protocol), "TCPv6");
    }
}

TEST(SocketRecord, AClosedSocketsLineReadsClosedInTheDelivery) {
    const std::vector<MIB_TCPROW_OWNER_PID> before = {
        {5, Address(127, 0, 0, 1), Port(5000), Address(127, 0, 0, 1), Port(40000), 0},
        {5, Address(127, 0, 0, 1), Port(5000), Address(127, 0, 0, 1), Port(40001), 0},
    };
    const auto take = [](const std::vector<MIB_TCPROW_OWNER_PID>& rows) {
        auto buffer = TableOf<MIB_TCPTABLE_OWNER_PID>(rows);
        sockets::TableRows t = sockets::MakeRows(sockets::Table::Tcp, buffer.data(), static_cast<DWORD>(rows.size()));
        t.valid = true;
        sockets::AttachRecords(t);
        return t;
    };
    sockets::PaneDeliveries deliveries;
    const sockets::RowsDelivery first = deliveries.Deliver(take(before), 0, true);
    ASSERT_EQ(first.records.size(), 2u);
    const sockets::RowsDelivery second = deliveries.Deliver(take({before[1]}), first.serial, true);
    ASSERT_EQ(second.records.size(), 2u);
    EXPECT_EQ(sockets::ColumnText(*second.records[0], Column::State), "CLOSED");
    EXPECT_EQ(sockets::ColumnText(*second.records[0], Column::RemotePort), "40000");
    EXPECT_EQ(sockets::ColumnText(*second.records[1], Column::State), "ESTABLISHED");
    // The record the line had before is not changed under its other readers.
    EXPECT_EQ(sockets::ColumnText(*first.records[0], Column::State), "ESTABLISHED");
}

}  // namespace
