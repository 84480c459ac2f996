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
    std::uint64_t cookie = 0;  // 0: the library gave none
};

// A TCP table on 127.0.0.1 of these sockets, as the worker would take it; a
// listener's remote end is 0.0.0.0:0.  With the library's facts when any
// socket has a cookie.
TableRows TcpTable(const std::vector<Tcp>& sockets) {
    std::vector<unsigned char> buffer(sizeof(MIB_TCPTABLE_OWNER_PID) + sockets.size() * sizeof(MIB_TCPROW_OWNER_PID));
    auto* table = reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    table->dwNumEntries = static_cast<DWORD>(sockets.size());
    std::vector<SOCKET_ROW_FACTS> facts;
    bool cookies = false;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        MIB_TCPROW_OWNER_PID& row = table->table[i];
        row.dwState = sockets[i].state;
        row.dwLocalAddr = htonl(INADDR_LOOPBACK);
        row.dwRemoteAddr = sockets[i].remotePort != 0 ? htonl(INADDR_LOOPBACK) : 0;
        row.dwLocalPort = htons(static_cast<std::uint16_t>(sockets[i].localPort));
        row.dwRemotePort = htons(static_cast<std::uint16_t>(sockets[i].remotePort));
        row.dwOwningPid = sockets[i].pid;
        facts.push_back({sockets[i].cookie, 0, 0});
        cookies = cookies || sockets[i].cookie != 0;
    }
    TableRows rows = sockets::MakeRows(Table::Tcp, table, table->dwNumEntries, false, cookies ? facts.data() : nullptr);
    rows.valid = true;
    return rows;
}

SOCKET_CLOSE_EVENT ClosedTcp(unsigned localPort, unsigned remotePort, std::uint64_t cookie = 0) {
    SOCKET_CLOSE_EVENT e{};
    e.family = AF_INET;
    e.protocol = IPPROTO_TCP;
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    std::memcpy(e.localAddress, &loopback, 4);
    std::memcpy(e.remoteAddress, &loopback, 4);
    e.localPort = static_cast<std::uint16_t>(localPort);
    e.remotePort = static_cast<std::uint16_t>(remotePort);
    e.cookie = cookie;
    return e;
}

// What the kernel tells of a connection its process aborted (SO_LINGER 0):
// the local address and the remote port are cleared by then.
SOCKET_CLOSE_EVENT AbortedTcp(unsigned localPort, std::uint64_t cookie) {
    SOCKET_CLOSE_EVENT e = ClosedTcp(localPort, 0, cookie);
    std::memset(e.localAddress, 0, sizeof e.localAddress);
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
        return Told(ClosedTcp(localPort, remotePort));
    }
    std::vector<std::string> Told(const SOCKET_CLOSE_EVENT& closed) {
        std::vector<Event> events;
        tracker_.SocketClosed(closed, 1000, events);
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
        // The owner as facts too: this process and its executable's name.
        EXPECT_EQ(events[0].pid, kSelf);
        ASSERT_FALSE(events[0].process.empty());
        EXPECT_EQ(owner_.substr(owner_.size() - events[0].process.size()), events[0].process);
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

// A connection the tables showed, aborted by its client (SO_LINGER 0): the
// kernel tells its close with the local address and the remote port
// cleared, and the server's end, reset, leaves the table long before its
// process lets it go.  Each close is logged once, with the true ends and
// the owner; the server end's later notification is no news.
TEST_F(Tracker, AnAbortedConnectionIsLoggedOnceByItsCookieWithItsTrueEnds) {
    Take({{6000, 0, 2, kSelf, 1}, {6000, 40922, 5, kSelf, 2}, {40922, 6000, 5, kSelf, 3}});
    EXPECT_EQ(Told(AbortedTcp(40922, 3)),
              (std::vector<std::string>{"closed 127.0.0.1:40922 127.0.0.1:6000 " + Owner()}));
    EXPECT_EQ(Take({{6000, 0, 2, kSelf, 1}}),
              (std::vector<std::string>{"closed 127.0.0.1:6000 127.0.0.1:40922 " + Owner()}));
    EXPECT_TRUE(Told(ClosedTcp(6000, 40922, 2)).empty());
    EXPECT_TRUE(Take({{6000, 0, 2, kSelf, 1}}).empty());
    EXPECT_EQ(Told(ClosedTcp(6000, 0, 1)), (std::vector<std::string>{"closed 127.0.0.1:6000 0.0.0.0:0 " + Owner()}));
    EXPECT_TRUE(Take({}).empty());
}

// The owner a close is logged with is the one last found for that socket,
// through TIME_WAIT (no process) and other sockets on the same ends; "closed
// before its owner was found" only for a socket no table found an owner of.
TEST_F(Tracker, ACloseHasTheOwnerFoundForItsSocketElseNone) {
    Take({{80, 0, 2, kSelf, 1}, {40000, 80, 5, kSelf, 2}});
    // In TIME_WAIT, it has no process; the kernel then drops it (a TIME_WAIT
    // socket is told by the cookie it had open).
    EXPECT_EQ(Take({{80, 0, 2, kSelf, 1}, {40000, 80, 11, 0, 2}}),
              (std::vector<std::string>{"TIME_WAIT 127.0.0.1:40000 127.0.0.1:80 " + Owner()}));
    EXPECT_EQ(Told(ClosedTcp(40000, 80, 2)),
              (std::vector<std::string>{"closed 127.0.0.1:40000 127.0.0.1:80 " + Owner()}));
    // A connection first seen in TIME_WAIT never had an owner found; the
    // same ends used again by a socket with an owner are another socket.
    Take({{80, 0, 2, kSelf, 1}, {40001, 80, 11, 0, 3}});
    EXPECT_EQ(Take({{80, 0, 2, kSelf, 1}, {40001, 80, 11, 0, 3}, {40002, 80, 5, kSelf, 4}}),
              (std::vector<std::string>{"opened 127.0.0.1:40002 127.0.0.1:80 " + Owner()}));
    EXPECT_EQ(Told(ClosedTcp(40001, 80, 3)), (std::vector<std::string>{"closed 127.0.0.1:40001 127.0.0.1:80 " +
                                                                       std::string(sockets::kOwnerNotFound)}));
    // A socket no table showed, its ends as the kernel tells them.
    EXPECT_EQ(Told(AbortedTcp(40003, 9)),
              (std::vector<std::string>{"closed 0.0.0.0:40003 127.0.0.1:0 " + std::string(sockets::kOwnerNotFound)}));
    // Neither is news in the next table; the one still open is.
    EXPECT_EQ(Take({{80, 0, 2, kSelf, 1}, {40001, 80, 11, 0, 3}}),
              (std::vector<std::string>{"closed 127.0.0.1:40002 127.0.0.1:80 " + Owner()}));
}

// A connection that closes before any table shows it lingers in TIME_WAIT
// under a cookie of its own (the kernel copies the connection's cookie to
// the lingering socket only if a dump asked for it before): that row is the
// socket told closed, neither opened nor closed again.
TEST_F(Tracker, ATimeWaitRowOfASocketToldClosedIsNoNews) {
    Take({{80, 0, 2, kSelf, 1}});
    EXPECT_EQ(Told(ClosedTcp(40000, 80, 5)), (std::vector<std::string>{"closed 127.0.0.1:40000 127.0.0.1:80 " +
                                                                       std::string(sockets::kOwnerNotFound)}));
    EXPECT_TRUE(Take({{80, 0, 2, kSelf, 1}, {40000, 80, 11, 0, 6}}).empty());
    EXPECT_TRUE(Take({{80, 0, 2, kSelf, 1}, {40000, 80, 11, 0, 6}}).empty());
    EXPECT_TRUE(Take({{80, 0, 2, kSelf, 1}}).empty());
    // Not so a connection in another state on the same ends: a new one.
    Told(ClosedTcp(40001, 80, 7));
    EXPECT_EQ(Take({{80, 0, 2, kSelf, 1}, {40001, 80, 5, kSelf, 8}}),
              (std::vector<std::string>{"opened 127.0.0.1:40001 127.0.0.1:80 " + Owner()}));
}

// Closes heard while a table is taken are found by their cookies in that
// table too, for a socket the table before did not show.
TEST_F(Tracker, ClosesHeardWhileATableIsTakenAreFoundInItByTheirCookies) {
    Take({{80, 0, 2, kSelf, 1}});
    std::vector<Event> events;
    tracker_.TableTaken(TcpTable({{80, 0, 2, kSelf, 1}, {40000, 80, 5, kSelf, 2}}), 1000, events,
                        {AbortedTcp(40000, 2)});
    EXPECT_EQ(Lines(events), (std::vector<std::string>{"closed 127.0.0.1:40000 127.0.0.1:80 " + Owner()}));
    EXPECT_TRUE(Take({{80, 0, 2, kSelf, 1}}).empty());
}

// A listener that leaves the table and listens again on the same socket
// (shutdown, then listen) is logged closed and opened, and its close later
// is news again.
TEST_F(Tracker, ASocketSeenAgainAfterItLeftIsLoggedClosedAgain) {
    Take({{80, 0, 2, kSelf, 1}});
    EXPECT_EQ(Take({}), (std::vector<std::string>{"closed 127.0.0.1:80 0.0.0.0:0 " + Owner()}));
    EXPECT_EQ(Take({{80, 0, 2, kSelf, 1}}), (std::vector<std::string>{"opened 127.0.0.1:80 0.0.0.0:0 " + Owner()}));
    EXPECT_EQ(Told(ClosedTcp(80, 0, 1)), (std::vector<std::string>{"closed 127.0.0.1:80 0.0.0.0:0 " + Owner()}));
}

// Sockets never bound nor connected (a probe, a socket made for an ioctl)
// are closed with both ends unset; no table lists them.  They are not
// logged unless asked for; a socket a table showed is, whatever its ends.
TEST(TrackerNotifications, SocketsNeverBoundAreNotLoggedByDefault) {
    SOCKET_CLOSE_EVENT tcp = ClosedTcp(0, 0, 7);
    std::memset(tcp.localAddress, 0, sizeof tcp.localAddress);
    std::memset(tcp.remoteAddress, 0, sizeof tcp.remoteAddress);
    SOCKET_CLOSE_EVENT udp6 = tcp;
    udp6.family = AF_INET6;
    udp6.protocol = IPPROTO_UDP;
    udp6.cookie = 8;
    SOCKET_CLOSE_EVENT noCookie = tcp;
    noCookie.cookie = 0;
    std::vector<Event> events;
    EventTracker tracker;
    for (const SOCKET_CLOSE_EVENT& e : {tcp, udp6, noCookie}) tracker.SocketClosed(e, 0, events);
    EXPECT_TRUE(events.empty());
    // A bound one is logged.
    SOCKET_CLOSE_EVENT bound = udp6;
    bound.localPort = 5353;
    tracker.SocketClosed(bound, 0, events);
    EXPECT_EQ(Lines(events), (std::vector<std::string>{"closed [::]:5353  " + std::string(sockets::kOwnerNotFound)}));

    EventTracker all(EventTracker::Options{true});
    events.clear();
    for (const SOCKET_CLOSE_EVENT& e : {tcp, udp6}) all.SocketClosed(e, 0, events);
    EXPECT_EQ(Lines(events),
              (std::vector<std::string>{"closed 0.0.0.0:0 0.0.0.0:0 " + std::string(sockets::kOwnerNotFound),
                                        "closed [::]:0  " + std::string(sockets::kOwnerNotFound)}));
}

// The keys of sockets logged as they left a table are bounded: the oldest
// go first, and keys taken or inserted again do not pile up.
TEST(RecentKeys, KeepsAtMostItsCapacityOldestGoingFirst) {
    sockets::RecentKeys keys(3);
    for (const char* k : {"a", "b", "c", "d"}) keys.Insert(k);
    EXPECT_FALSE(keys.Take("a"));
    EXPECT_TRUE(keys.Take("b"));
    EXPECT_FALSE(keys.Take("b"));
    keys.Insert("c");  // again: now the newest
    keys.Insert("e");
    keys.Insert("f");
    EXPECT_FALSE(keys.Take("d"));
    EXPECT_TRUE(keys.Take("c"));
    for (int i = 0; i < 100000; ++i) {
        keys.Insert("x");
        keys.Take("x");
    }
    EXPECT_EQ(keys.Size(), 2u);
    EXPECT_TRUE(keys.Take("e") && keys.Take("f"));
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
