// The Processes table's rules without a model: which rows are the same
// socket or process from one refresh to the next, the order rows are
// sorted in (stable, by each column's kind, or as the Processes lines),
// where new rows go among sorted ones, and which values count as changed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProcessRecords.h"
#include "ProcessTable.h"

namespace {

using sockets::Column;
using sockets::kNoLine;
using sockets::Record;
using sockets::RowOrder;
using sockets::Table;
using test_records::MakeSocket;
using test_records::SocketSpec;

TEST(ProcessTable, SocketKeyIsProtocolAndBothEnds) {
    const SocketSpec base{5000, "10.0.0.2", 443};
    struct Case {
        const char* what;
        SocketSpec other;
        bool same;
    };
    const Case cases[] = {
        {"the same ends", base, true},
        {"another state", {5000, "10.0.0.2", 443, -1, Table::Tcp, 11}, true},
        {"other traffic", {5000, "10.0.0.2", 443, 900, Table::Tcp, 5, "127.0.0.1", 77}, true},
        {"UDP on the same ends", {5000, "10.0.0.2", 443, -1, Table::Udp}, false},
        {"another local port", {5001, "10.0.0.2", 443}, false},
        {"another remote port", {5000, "10.0.0.2", 444}, false},
        {"another remote address", {5000, "10.0.0.3", 443}, false},
        {"another local address", {5000, "10.0.0.2", 443, -1, Table::Tcp, 5, "127.0.0.2"}, false},
        {"no remote end", {5000}, false},
        {"the same ends as an IPv4 client of IPv6",
         {5000, "::ffff:10.0.0.2", 443, -1, Table::Tcp6, 5, "::ffff:127.0.0.1"},
         false},
    };
    const std::string key = sockets::SocketKey(*MakeSocket(base));
    for (const Case& c : cases) EXPECT_EQ(sockets::SocketKey(*MakeSocket(c.other)) == key, c.same) << c.what;

    // The owner is not part of a socket's identity; the zone of a
    // link-local address is.
    auto owned = MakeSocket(base, 42, "other");
    EXPECT_EQ(sockets::SocketKey(*owned), key);
    auto zoned = MakeSocket({22, "", 0, -1, Table::Tcp6, 10, "fe80::1"});
    auto otherZone = MakeSocket({22, "", 0, -1, Table::Tcp6, 10, "fe80::1"});
    zoned->local.zone = 2;
    otherZone->local.zone = 3;
    EXPECT_NE(sockets::SocketKey(*zoned), sockets::SocketKey(*otherZone));

    Record a, b;
    a.pid = 7;
    b.pid = 8;
    EXPECT_NE(sockets::ProcessKey(a), sockets::ProcessKey(b));
}

TEST(ProcessTable, MatchKeysPairsRowsByKeyInOrder) {
    struct Case {
        const char* what;
        std::vector<std::string_view> before, next;
        std::vector<std::size_t> from;
    };
    const std::size_t N = kNoLine;
    const Case cases[] = {
        {"nothing before", {}, {"a", "b"}, {N, N}},
        {"everything gone", {"a", "b"}, {}, {}},
        {"kept, moved, new and gone", {"a", "b", "c"}, {"c", "x", "a"}, {2, N, 0}},
        {"equal keys paired in order", {"a", "b", "a"}, {"a", "a", "a"}, {0, 2, N}},
        {"one of two equal keys gone", {"a", "a"}, {"b", "a"}, {N, 0}},
    };
    // Each case again among many other keys, past what is paired without
    // a hash table: the same pairs, the others with themselves.
    std::vector<std::string> others;
    for (int i = 0; i < 40; ++i) others.push_back("other" + std::to_string(i));
    for (const Case& c : cases) {
        EXPECT_EQ(sockets::MatchKeys(c.before, c.next), c.from) << c.what;
        std::vector<std::string_view> before = c.before, next = c.next;
        std::vector<std::size_t> from = c.from;
        for (std::size_t i = 0; i < others.size(); ++i) {
            from.push_back(before.size());
            before.push_back(others[i]);
        }
        next.insert(next.end(), others.begin(), others.end());
        EXPECT_EQ(sockets::MatchKeys(before, next), from) << c.what << ", among many";
    }
}

// The order of named records under each order, and where rows added to a
// sorted list go.
TEST(ProcessTable, SortsStablyByEachColumnsKindOrAsTheProcessLines) {
    struct Named {
        std::string name;
        std::shared_ptr<Record> record;
    };
    const auto process = [](DWORD pid, const std::string& name, double rate, std::size_t sockets) {
        auto r = std::make_shared<Record>();
        r->kind = Record::Kind::Process;
        r->pid = pid;
        r->process = name;
        r->sockets = sockets;
        if (rate >= 0) {
            r->traffic.hasRate = true;
            r->traffic.receiveRate = rate;
        }
        return r;
    };
    // a and c tie on rate; d has no rate measured, e a rate of nothing.
    const std::vector<Named> rows = {
        {"a", process(30, "sshd", 10, 2)},  {"b", process(10, "Nginx", 500, 9)}, {"c", process(20, "nginx", 10, 2)},
        {"d", process(40, "avahi", -1, 1)}, {"e", process(5, "bad", 0, 3)},
    };
    struct Case {
        const char* what;
        RowOrder order;
        const char* expected;
    };
    const Case cases[] = {
        {"the Processes lines: total rate, highest first, then by pid", {}, "bcaed"},
        {"a number ascending", {Column::Pid}, "ebcad"},
        {"a number descending", {Column::Sockets, true}, "beacd"},
        {"text without regard to case, equal ones as they came", {Column::Process}, "debca"},
        {"text descending, equal ones still as they came", {Column::Process, true}, "abced"},
        {"a rate ascending: without one first", {Column::ReceiveRate}, "deacb"},
        {"a rate descending: without one last", {Column::ReceiveRate, true}, "baced"},
        {"a column no process has: all equal, as they came", {Column::LocalPort}, "abcde"},
    };
    std::vector<const Record*> records;
    for (const Named& n : rows) records.push_back(n.record.get());
    for (const Case& c : cases) {
        std::string order;
        for (std::size_t i : sockets::SortedOrder(records, c.order)) order += rows[i].name;
        EXPECT_EQ(order, c.expected) << c.what;
    }

    // Sockets in the default order: by rate, then by protocol and ends.
    const auto s1 = MakeSocket({80, "10.0.0.9", 1}), s2 = MakeSocket({22}), s3 = MakeSocket({22, "", 0, 5});
    const auto s4 = MakeSocket({53, "", 0, -1, Table::Udp});
    std::vector<std::size_t> expected = {2, 1, 0, 3};
    EXPECT_EQ(sockets::SortedOrder({s1.get(), s2.get(), s3.get(), s4.get()}, {}), expected);

    // Rows added go after the kept rows they equal, in their own stable order.
    const RowOrder bySockets{Column::Sockets, true};
    const auto k0 = process(1, "k0", -1, 9), k1 = process(2, "k1", -1, 5), k2 = process(3, "k2", -1, 5);
    const auto n0 = process(4, "n0", -1, 5), n1 = process(5, "n1", -1, 1), n2 = process(6, "n2", -1, 9);
    const auto n3 = process(7, "n3", -1, 5);
    expected = {0, 5, 1, 2, 3, 6, 4};  // k0 n2 k1 k2 n0 n3 n1
    EXPECT_EQ(sockets::MergedOrder({k0.get(), k1.get(), k2.get()}, {n0.get(), n1.get(), n2.get(), n3.get()}, bySockets),
              expected);
    expected = {0, 1};
    EXPECT_EQ(sockets::MergedOrder({}, {k0.get(), k1.get()}, bySockets), expected);
}

TEST(ProcessTable, ValuesChangeWithAnyColumnsValue) {
    const auto base = test_records::MakeProcess(9, "p", {{80, "10.0.0.1", 5, 100}});
    EXPECT_TRUE(sockets::SameValues(*base, Record(*base))) << "a new record of the same values";
    struct Case {
        const char* what;
        void (*change)(Record&);
    };
    const Case cases[] = {
        {"state", [](Record& r) { r.state = 6; }},
        {"closed", [](Record& r) { r.closed = true; }},
        {"send rate", [](Record& r) { r.traffic.sendRate += 1; }},
        {"bytes received", [](Record& r) { r.traffic.received += 1; }},
        {"round trip", [](Record& r) { r.traffic.rttMs = 3; }},
        {"socket count", [](Record& r) { r.sockets += 1; }},
        {"user", [](Record& r) { r.user = "root"; }},
        {"container", [](Record& r) { r.container = "c1"; }},
        {"path", [](Record& r) { r.path = "/usr/bin/p"; }},
        {"why there is no owner", [](Record& r) { r.ownerMissing = "needs privileges"; }},
        {"remote zone", [](Record& r) { r.remote.zone = 4; }},
    };
    for (const Case& c : cases) {
        Record changed(*base);
        c.change(changed);
        EXPECT_FALSE(sockets::SameValues(*base, changed)) << c.what;
    }
}

TEST(ProcessTable, FilterShowsAProcessWithItsPassingSockets) {
    const auto p = test_records::MakeProcess(9, "web", {{80}, {443}, {8080}});
    std::vector<const Record*> children;
    for (const auto& c : p->children) children.push_back(c.get());
    std::vector<bool> shown;
    EXPECT_TRUE(sockets::ShownUnder({}, *p, children, shown));
    EXPECT_EQ(shown, std::vector<bool>({true, true, true})) << "no filter: everything";
    EXPECT_TRUE(sockets::ShownUnder([](const Record& r) { return r.localPort == 443; }, *p, children, shown));
    EXPECT_EQ(shown, std::vector<bool>({false, true, false})) << "only the socket that passes";
    EXPECT_TRUE(sockets::ShownUnder([](const Record& r) { return r.process == "web"; }, *p, children, shown));
    EXPECT_EQ(shown, std::vector<bool>({true, true, true})) << "the process passes: all of its sockets";
    EXPECT_TRUE(sockets::ShownUnder([](const Record& r) { return r.kind == Record::Kind::Process && r.pid == 9; }, *p,
                                    children, shown));
    EXPECT_EQ(shown, std::vector<bool>({true, true, true})) << "its sockets shown though none passes itself";
    EXPECT_FALSE(sockets::ShownUnder([](const Record& r) { return r.localPort == 22; }, *p, children, shown));
    EXPECT_EQ(shown, std::vector<bool>({false, false, false}));
}

}  // namespace
