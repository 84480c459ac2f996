// What the connection log is told: the events between two socket tables and
// the kernel's close notifications, with owners, without repeats.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "SocketMonitor.h"

namespace {

using sockets::Event;
using sockets::EventTracker;
using sockets::Table;
using sockets::TableRows;

struct Tcp {
    unsigned localPort;
    unsigned remotePort;
    DWORD state;
    DWORD pid;
};

// A TCP table on 127.0.0.1 of these sockets, as the worker would take it.
TableRows TcpTable(const std::vector<Tcp>& sockets) {
    std::vector<unsigned char> buffer(sizeof(MIB_TCPTABLE_OWNER_PID) + sockets.size() * sizeof(MIB_TCPROW_OWNER_PID));
    auto* table = reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    table->dwNumEntries = static_cast<DWORD>(sockets.size());
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        MIB_TCPROW_OWNER_PID& row = table->table[i];
        row.dwState = sockets[i].state;
        row.dwLocalAddr = row.dwRemoteAddr = htonl(INADDR_LOOPBACK);
        row.dwLocalPort = htons(static_cast<std::uint16_t>(sockets[i].localPort));
        row.dwRemotePort = htons(static_cast<std::uint16_t>(sockets[i].remotePort));
        row.dwOwningPid = sockets[i].pid;
    }
    TableRows rows = sockets::MakeRows(Table::Tcp, table, table->dwNumEntries);
    rows.valid = true;
    return rows;
}

SOCKET_CLOSE_EVENT ClosedTcp(unsigned localPort, unsigned remotePort) {
    SOCKET_CLOSE_EVENT e{};
    e.family = AF_INET;
    e.protocol = IPPROTO_TCP;
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    std::memcpy(e.localAddress, &loopback, 4);
    std::memcpy(e.remoteAddress, &loopback, 4);
    e.localPort = static_cast<std::uint16_t>(localPort);
    e.remotePort = static_cast<std::uint16_t>(remotePort);
    return e;
}

std::vector<std::string> Lines(const std::vector<Event>& events) {
    std::vector<std::string> lines;
    for (const Event& e : events) lines.push_back(sockets::WhatText(e) + " " + e.local + " " + e.remote + " " + e.owner);
    return lines;
}

const DWORD kSelf = static_cast<DWORD>(getpid());

class Tracker : public ::testing::Test {
protected:
    std::vector<std::string> Take(const std::vector<Tcp>& sockets) {
        std::vector<Event> events;
        tracker_.TableTaken(TcpTable(sockets), 1000, events);
        for (const Event& e : events) EXPECT_EQ(e.protocol, "TCP");
        return Lines(events);
    }
    std::vector<std::string> Close(unsigned localPort, unsigned remotePort) {
        std::vector<Event> events;
        tracker_.SocketClosed(ClosedTcp(localPort, remotePort), 1000, events);
        return Lines(events);
    }
    std::string Owner() { return owner_; }
    void SetUp() override {
        std::vector<Event> events;
        EventTracker probe;
        probe.TableTaken(TcpTable({{1, 2, 5, kSelf}}), 0, events);
        probe.TableTaken(TcpTable({}), 0, events);
        ASSERT_EQ(events.size(), 1u);
        owner_ = events[0].owner;
        ASSERT_NE(owner_.find(std::to_string(kSelf)), std::string::npos);
    }

    EventTracker tracker_;
    std::string owner_;
};

TEST_F(Tracker, TablesAfterTheFirstTellOpenedClosedAndNewStates) {
    // What is open when watching starts is not news.
    EXPECT_TRUE(Take({{80, 0, 2, kSelf}, {40000, 80, 5, kSelf}}).empty());
    EXPECT_EQ(Take({{80, 0, 2, kSelf}, {40000, 80, 8, kSelf}, {40001, 80, 5, kSelf}}),
              (std::vector<std::string>{"CLOSE_WAIT 127.0.0.1:40000 127.0.0.1:80 " + Owner(),
                                        "opened 127.0.0.1:40001 127.0.0.1:80 " + Owner()}));
    // A failed table tells nothing; the next good one is compared with the
    // last good one.
    std::vector<Event> none;
    tracker_.TableTaken(TableRows{}, 1000, none);
    EXPECT_TRUE(none.empty());
    // A connection that loses its process in TIME_WAIT keeps its owner.
    EXPECT_EQ(Take({{80, 0, 2, kSelf}, {40001, 80, 11, 0}}),
              (std::vector<std::string>{"TIME_WAIT 127.0.0.1:40001 127.0.0.1:80 " + Owner(),
                                        "closed 127.0.0.1:40000 127.0.0.1:80 " + Owner()}));
    EXPECT_EQ(Take({{80, 0, 2, kSelf}}),
              (std::vector<std::string>{"closed 127.0.0.1:40001 127.0.0.1:80 " + Owner()}));
}

TEST_F(Tracker, AKernelCloseIsLoggedOnceWithTheOwnerLastSeen) {
    Take({{80, 0, 2, kSelf}, {40000, 80, 5, kSelf}});
    EXPECT_EQ(Close(40000, 80), (std::vector<std::string>{"closed 127.0.0.1:40000 127.0.0.1:80 " + Owner()}));
    // Still listed in TIME_WAIT, then gone: neither is news again.
    EXPECT_TRUE(Take({{80, 0, 2, kSelf}, {40000, 80, 11, 0}}).empty());
    EXPECT_TRUE(Take({{80, 0, 2, kSelf}}).empty());
    // A socket that opened and closed between two tables has no owner known.
    EXPECT_EQ(Close(40002, 80), (std::vector<std::string>{"closed 127.0.0.1:40002 127.0.0.1:80 " +
                                                          std::string(sockets::kOwnerNotFound)}));
    EXPECT_TRUE(Take({{80, 0, 2, kSelf}}).empty());
    // The same endpoints used again later are a new socket.
    EXPECT_EQ(Take({{80, 0, 2, kSelf}, {40002, 80, 5, kSelf}}),
              (std::vector<std::string>{"opened 127.0.0.1:40002 127.0.0.1:80 " + Owner()}));
}

// A socket that closes while a table is being taken may be in that table
// half-closed and without its owner, or not in it yet: either way it is
// logged closed once, never opened, and its TIME_WAIT row later is no news.
TEST_F(Tracker, ClosesHeardWhileATableIsTakenAreLoggedOnceWithThatTablesOwners) {
    Take({{80, 0, 2, kSelf}});
    std::vector<Event> events;
    tracker_.TableTaken(TcpTable({{80, 0, 2, kSelf}, {40000, 80, 5, kSelf}, {40001, 80, 11, 0}}), 1000, events,
                        {ClosedTcp(40000, 80), ClosedTcp(40001, 80), ClosedTcp(40002, 80)});
    EXPECT_EQ(Lines(events),
              (std::vector<std::string>{"closed 127.0.0.1:40000 127.0.0.1:80 " + Owner(),
                                        "closed 127.0.0.1:40001 127.0.0.1:80 " + std::string(sockets::kOwnerNotFound),
                                        "closed 127.0.0.1:40002 127.0.0.1:80 " + std::string(sockets::kOwnerNotFound)}));
    EXPECT_TRUE(Take({{80, 0, 2, kSelf}, {40000, 80, 11, 0}, {40001, 80, 11, 0}, {40002, 80, 11, 0}}).empty());
    EXPECT_TRUE(Take({{80, 0, 2, kSelf}}).empty());
}

TEST(TrackerNotifications, OtherFamiliesAndProtocolsAreNotLogged) {
    EventTracker tracker;
    std::vector<Event> events;
    SOCKET_CLOSE_EVENT e = ClosedTcp(1, 2);
    e.protocol = 132;
    tracker.SocketClosed(e, 0, events);
    e = ClosedTcp(1, 2);
    e.family = AF_UNIX;
    tracker.SocketClosed(e, 0, events);
    EXPECT_TRUE(events.empty());
    // IPv6 and UDP ones are, with UDP's remote end left out.
    e = ClosedTcp(1, 2);
    e.family = AF_INET6;
    std::memset(e.localAddress, 0, 16);
    e.localAddress[15] = 1;
    e.protocol = IPPROTO_UDP;
    tracker.SocketClosed(e, 0, events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].protocol, "UDPv6");
    EXPECT_EQ(events[0].local, "[::1]:1");
    EXPECT_EQ(events[0].remote, "");
}

// The worker's deliveries to a pane: edits onto the pane's lines while the
// pane shows the last delivery; afresh for a pane that does not, and after a
// failed table.  The edits turn the lines shown into those a diff makes.
TEST(PaneDeliveries, EditsOntoTheLastDeliveryElseAfresh) {
    sockets::PaneDeliveries deliveries;
    const auto lines = [](const TableRows& rows) {
        std::vector<sockets::Line> out;
        for (const sockets::Row& r : rows.rows) out.push_back({r.key, r.state, r.text, sockets::Mark::None, sockets::kNoLine});
        return out;
    };
    const TableRows first = TcpTable({{80, 0, 2, 0}, {40000, 80, 5, 0}});
    sockets::RowsDelivery d1 = deliveries.Deliver(first, 0, true);
    ASSERT_TRUE(d1.fresh);
    EXPECT_EQ(d1.rows.rows.size(), 2u);
    std::vector<sockets::Line> shown = lines(d1.rows);

    const TableRows second = TcpTable({{80, 0, 2, 0}, {40001, 80, 5, 0}});
    sockets::RowsDelivery d2 = deliveries.Deliver(second, d1.serial, true);
    ASSERT_FALSE(d2.fresh);
    EXPECT_TRUE(d2.rows.rows.empty());  // the edits carry what the pane needs
    const std::vector<sockets::Line> expected = sockets::NextLines(shown, second.rows);
    sockets::ApplyEdits(shown, d2.edits);
    ASSERT_EQ(shown.size(), d2.lineCount);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i].text, expected[i].text) << i;
        EXPECT_EQ(shown[i].mark, expected[i].mark) << i;
    }

    // A pane showing an older delivery, or none, starts afresh.
    EXPECT_TRUE(deliveries.Deliver(second, d1.serial, true).fresh);
    sockets::RowsDelivery d4 = deliveries.Deliver(second, 0, true);
    EXPECT_TRUE(d4.fresh);
    // Marking off: a closed socket's line goes at once, nothing is marked.
    sockets::RowsDelivery d5 = deliveries.Deliver(first, d4.serial, false);
    ASSERT_FALSE(d5.fresh);
    shown = lines(d4.rows);
    sockets::ApplyEdits(shown, d5.edits);
    EXPECT_EQ(shown.size(), 2u);
    for (const sockets::Line& l : shown) EXPECT_EQ(l.mark, sockets::Mark::None);

    // A failed table is shown afresh (no lines), and so is the next one.
    TableRows failed;
    sockets::RowsDelivery d6 = deliveries.Deliver(failed, d5.serial, true);
    EXPECT_TRUE(d6.fresh);
    EXPECT_FALSE(d6.rows.valid);
    EXPECT_TRUE(deliveries.Deliver(first, d6.serial, true).fresh);
}

}  // namespace
