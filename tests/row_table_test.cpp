// The table view's rows: a series of refreshes through the diff's edits
// against a fresh filter and sort of the same lines, every change told in
// shown positions (replayed on a plain list), the order of each column's
// kind, the filter in slices, and the log's rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "RowTable.h"

namespace {

using sockets::Column;
using sockets::Line;
using sockets::Mark;
using sockets::Record;
using sockets::RecordPtr;
using sockets::Row;
using sockets::RowTable;

// A socket as the generator knows it: its identity is its local port.
struct Socket {
    std::uint16_t port = 0;
    std::uint32_t state = 5;
    std::uint8_t host = 1;  // the remote address 10.0.0.host
    std::string process = "p";
    std::uint64_t sent = 0;
    double rate = 0;
};

RecordPtr RecordOf(const Socket& s) {
    auto r = std::make_shared<Record>();
    r->table = sockets::Table::Tcp;
    r->local.family = 4;
    r->local.bytes = {127, 0, 0, 1};
    r->localPort = s.port;
    r->remote.family = 4;
    r->remote.bytes = {10, 0, 0, s.host};
    r->remotePort = 443;
    r->state = s.state;
    r->pid = 100u + s.host;
    r->process = s.process;
    r->traffic.counted = r->traffic.hasRate = true;
    r->traffic.sent = s.sent;
    r->traffic.sendRate = s.rate;
    return r;
}

Row RowOf(const Socket& s) {
    const std::string key = std::to_string(s.port);
    return {key, s.state, std::u16string(key.begin(), key.end()), RecordOf(s)};
}

// What the worker hands a pane: the lines after `table`, with their edits
// against `shown` and each line's record.
struct Refresh {
    std::vector<Line> lines;
    std::vector<sockets::Edit> edits;
    std::vector<RecordPtr> records;
};

Refresh Next(const std::vector<Line>& shown, const std::vector<Socket>& table) {
    std::vector<Row> rows;
    for (const Socket& s : table) rows.push_back(RowOf(s));
    Refresh r;
    r.lines = sockets::NextLines(shown, rows);
    sockets::MarkClosedRecords(r.lines);
    r.edits = sockets::PlanEdits(shown, r.lines);
    r.records = sockets::LineRecords(r.lines);
    return r;
}

std::uint16_t Identity(const RecordPtr& record) { return record ? record->localPort : 0; }

// Replays every change told on a plain list of the rows' identities, and
// checks at each step that the table reads as the list does: the table's
// state is the old one before each Begin and the new one after each End.
class Replay : public sockets::RowTableListener {
public:
    explicit Replay(const RowTable& table) : m_table(table) { Sync(); }

    std::vector<std::uint16_t> rows;
    std::set<std::uint16_t> told;  // told changed or inserted since Clear
    int selected = -1;              // a row followed as a selection is
    int notices = 0;

    void Sync() {
        rows.clear();
        for (std::size_t p = 0; p < m_table.Shown(); ++p) rows.push_back(Identity(m_table.RecordAt(p)));
    }
    void ExpectSame(const char* when) {
        ASSERT_EQ(rows.size(), m_table.Shown()) << when;
        for (std::size_t p = 0; p < rows.size(); ++p) ASSERT_EQ(rows[p], Identity(m_table.RecordAt(p))) << when << " row " << p;
    }

    void BeginReset() override { ExpectSame("before a reset"); }
    void EndReset() override {
        Sync();
        selected = -1;
        ++notices;
    }
    void BeginInsert(std::size_t first, std::size_t last) override {
        ExpectSame("before an insertion");
        ASSERT_LE(first, last);
        ASSERT_LE(first, rows.size());
        m_first = first;
        m_last = last;
    }
    void EndInsert() override {
        ASSERT_EQ(m_table.Shown(), rows.size() + (m_last - m_first + 1));
        for (std::size_t p = m_first; p <= m_last; ++p) {
            rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(p), Identity(m_table.RecordAt(p)));
            told.insert(rows[p]);
        }
        if (selected >= static_cast<int>(m_first)) selected += static_cast<int>(m_last - m_first + 1);
        ExpectSame("after an insertion");
        ++notices;
    }
    void BeginRemove(std::size_t first, std::size_t last) override {
        ExpectSame("before a removal");
        ASSERT_LE(first, last);
        ASSERT_LT(last, rows.size());
        m_first = first;
        m_last = last;
    }
    void EndRemove() override {
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(m_first), rows.begin() + static_cast<std::ptrdiff_t>(m_last + 1));
        if (selected > static_cast<int>(m_last))
            selected -= static_cast<int>(m_last - m_first + 1);
        else if (selected >= static_cast<int>(m_first))
            selected = -1;
        ExpectSame("after a removal");
        ++notices;
    }
    void Changed(std::size_t first, std::size_t last) override {
        ExpectSame("on a change");
        ASSERT_LE(first, last);
        ASSERT_LT(last, rows.size());
        for (std::size_t p = first; p <= last; ++p) told.insert(rows[p]);
        ++notices;
    }
    void BeginReorder() override { ExpectSame("before a reorder"); }
    void EndReorder(const std::vector<std::uint32_t>& newOfOld) override {
        ASSERT_EQ(newOfOld.size(), rows.size());
        std::vector<int> moved(m_table.Shown(), -1);
        for (std::size_t p = 0; p < newOfOld.size(); ++p) {
            if (newOfOld[p] == sockets::kRowGone) continue;
            ASSERT_LT(newOfOld[p], moved.size());
            ASSERT_EQ(moved[newOfOld[p]], -1) << "two rows moved to one place";
            moved[newOfOld[p]] = rows[p];
        }
        std::vector<std::uint16_t> now;
        for (std::size_t p = 0; p < moved.size(); ++p) {
            const std::uint16_t identity = Identity(m_table.RecordAt(p));
            if (moved[p] >= 0) {
                ASSERT_EQ(moved[p], identity) << "the row moved to " << p;
            } else {
                told.insert(identity);  // shown for the first time
            }
            now.push_back(identity);
        }
        if (selected >= 0)
            selected = newOfOld[static_cast<std::size_t>(selected)] == sockets::kRowGone
                           ? -1
                           : static_cast<int>(newOfOld[static_cast<std::size_t>(selected)]);
        rows = std::move(now);
        ++notices;
    }

private:
    const RowTable& m_table;
    std::size_t m_first = 0, m_last = 0;
};

// The rows a fresh filter and a stable sort of `lines` show.
std::vector<std::size_t> Expected(const std::vector<Line>& lines, const sockets::RecordFilter& filter,
                                  std::optional<Column> column, bool ascending) {
    std::vector<std::size_t> view;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (!filter || (lines[i].record && filter(*lines[i].record))) view.push_back(i);
    if (column)
        std::stable_sort(view.begin(), view.end(), [&](std::size_t a, std::size_t b) {
            const int c = sockets::CompareBy(*lines[a].record, *lines[b].record, *column);
            return ascending ? c < 0 : c > 0;
        });
    return view;
}

void ExpectShows(const RowTable& table, const std::vector<Line>& lines, const std::vector<std::size_t>& view) {
    ASSERT_EQ(table.Total(), lines.size());
    ASSERT_EQ(table.Shown(), view.size());
    for (std::size_t p = 0; p < view.size(); ++p) {
        ASSERT_EQ(table.RecordAt(p).get(), lines[view[p]].record.get()) << "row " << p;
        ASSERT_EQ(table.MarkAt(p), lines[view[p]].mark) << "row " << p;
        ASSERT_EQ(table.LineAt(p), view[p]);
    }
}

// Tables that change between refreshes as a busy machine's do: sockets
// close and open, change state, owner and traffic.  Seen through each sort
// and filter, every refresh shows what a fresh filter and sort of the lines
// shows; the changes told replay to the same rows; every row whose value or
// mark changed is told so; and a row followed as a selection stays on its
// socket while the socket is there.  A storm (most sockets replaced at
// once) is told as one reorder, to the same effect.
TEST(RowTable, RefreshesShowWhatAFreshSortShowsAndTellEveryChange) {
    const sockets::RecordFilter evenPorts = [](const Record& r) { return r.localPort % 2 == 0; };
    const sockets::RecordFilter established = [](const Record& r) { return r.state == 5 && !r.closed; };
    struct Case {
        const char* what;
        std::optional<Column> column;
        bool ascending;
        sockets::RecordFilter filter;
        std::uint16_t sockets = 300;
        unsigned closing = 4;  // in a hundred, per refresh
        int opening = 12;
    };
    const Case cases[] = {
        {"the pane's order", std::nullopt, true, nullptr},
        {"by state, descending", Column::State, false, nullptr},
        {"by remote address", Column::RemoteAddress, true, evenPorts},
        {"by send rate", Column::SendRate, true, nullptr},
        {"by sent bytes, descending, established only", Column::Sent, false, established},
        {"by process", Column::Process, true, nullptr},
        {"a storm, in the pane's order", std::nullopt, true, nullptr, 5000, 60, 3000},
        {"a storm, by remote address", Column::RemoteAddress, false, evenPorts, 5000, 60, 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::mt19937 random(11);
        std::vector<Socket> table;
        std::uint16_t port = 1;
        for (; port <= c.sockets; ++port) table.push_back({port, 5, static_cast<std::uint8_t>(port % 7), "p" + std::to_string(port % 5)});
        RowTable rows;
        rows.SetSort(c.column, c.ascending);
        rows.SetFilter(c.filter);
        ASSERT_TRUE(rows.ContinueFilter(std::chrono::seconds(10)));
        Refresh first = Next({}, table);
        rows.Reset(first.records);
        for (Line& line : first.lines) line.mark = Mark::None;  // a fresh table is unmarked
        ASSERT_NO_FATAL_FAILURE(ExpectShows(rows, first.lines, Expected(first.lines, c.filter, c.column, c.ascending)));
        Replay replay(rows);
        rows.SetListener(&replay);
        std::vector<Line> shown = first.lines;
        // Followed: a socket that stays throughout.
        const std::uint16_t kept = 150;
        const int rounds = c.sockets > 1000 ? 4 : 25;
        for (std::size_t p = 0; p < rows.Shown(); ++p)
            if (Identity(rows.RecordAt(p)) == kept) replay.selected = static_cast<int>(p);

        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            std::vector<Socket> after;
            for (Socket s : table) {
                const auto roll = random() % 100;
                if (roll < c.closing && s.port != kept) continue;  // closed
                if (roll < 8) s.state = s.state == 5 ? 8 : 5;
                if (roll < 20) {
                    s.sent += random() % 5000;
                    s.rate = static_cast<double>(random() % 100);
                }
                if (roll == 99) s.process = "Q" + std::to_string(random() % 3);
                if (s.port == kept) s.rate = static_cast<double>(random() % 100);  // it moves when sorted by rate
                after.push_back(s);
            }
            for (int i = 0; i < c.opening; ++i) {
                const std::size_t at = random() % (after.size() + 1);
                after.insert(after.begin() + static_cast<std::ptrdiff_t>(at),
                             {port++, 5, static_cast<std::uint8_t>(random() % 7), "n", random() % 1000, 1.5});
            }
            const Refresh next = Next(shown, after);
            const std::vector<RecordPtr> before = [&] {
                std::vector<RecordPtr> v;
                for (std::size_t p = 0; p < rows.Shown(); ++p) v.push_back(rows.RecordAt(p));
                return v;
            }();
            std::vector<Mark> marksBefore;
            for (std::size_t p = 0; p < rows.Shown(); ++p) marksBefore.push_back(rows.MarkAt(p));
            replay.told.clear();
            rows.Apply(next.edits, next.lines.size(), next.records);
            ASSERT_NO_FATAL_FAILURE(replay.ExpectSame("after the refresh"));
            ASSERT_NO_FATAL_FAILURE(ExpectShows(rows, next.lines, Expected(next.lines, c.filter, c.column, c.ascending)));
            // Every row shown before and now whose value or mark changed was
            // told changed.
            std::map<std::uint16_t, std::size_t> now;
            for (std::size_t q = 0; q < rows.Shown(); ++q) now[Identity(rows.RecordAt(q))] = q;
            for (std::size_t p = 0; p < before.size(); ++p) {
                const auto found = now.find(Identity(before[p]));
                if (found == now.end()) continue;
                const std::size_t q = found->second;
                const bool changed = !sockets::SameRecord(*rows.RecordAt(q), *before[p]) || rows.MarkAt(q) != marksBefore[p];
                EXPECT_TRUE(!changed || replay.told.count(Identity(before[p])) != 0) << "port " << Identity(before[p]);
            }
            // The followed row is where its socket is; a row the filter
            // leaves out is no longer followed (nor selected) until it is
            // shown again.
            int at = -1;
            for (std::size_t p = 0; p < rows.Shown(); ++p)
                if (Identity(rows.RecordAt(p)) == kept) at = static_cast<int>(p);
            if (!c.filter) {
                EXPECT_GE(at, 0);
            }
            if (replay.selected >= 0 || !c.filter) {
                EXPECT_EQ(replay.selected, at);
            } else {
                replay.selected = at;
            }
            shown = next.lines;
            table = after;
        }
        rows.SetListener(nullptr);
    }
}

sockets::IpAddress V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    sockets::IpAddress address;
    address.family = 4;
    address.bytes = {a, b, c, d};
    return address;
}

sockets::IpAddress V6(const char* text) {
    sockets::IpAddress address;
    address.family = 6;
    inet_pton(AF_INET6, text, address.bytes.data());
    return address;
}

// The order of each column's kind: addresses by their bytes (IPv4 before
// IPv6), numbers as numbers, times as times, text without regard to case,
// missing values first; descending reverses the order but not the pane's
// order of rows that tie.
TEST(RowTable, SortsEachColumnByItsKind) {
    // Rows named by their place in the pane's order (their local port).
    std::vector<Record> records(6);
    for (std::uint16_t i = 0; i < records.size(); ++i) {
        records[i].localPort = i;
        records[i].local = V4(127, 0, 0, 1);
    }
    struct Case {
        const char* what;
        Column column;
        void (*set)(Record&, std::size_t);
        const char* ascending;   // the rows' ports in order
        const char* descending;
    };
    // Each case sets one value per row (row i gets the i-th value).
    static const sockets::IpAddress remotes[6] = {V4(10, 0, 0, 2), V4(9, 0, 0, 1), V6("::1"), V4(10, 0, 0, 2),
                                                  V6("2001:db8::1"), {}};
    const Case cases[] = {
        {"addresses by their bytes, IPv4 first, none first", Column::RemoteAddress,
         [](Record& r, std::size_t i) { r.remote = remotes[i]; }, "5 1 0 3 2 4", "4 2 0 3 1 5"},
        {"ports as numbers", Column::RemotePort,
         [](Record& r, std::size_t i) {
             static const std::uint16_t ports[] = {9, 100, 10, 9, 65535, 0};
             r.remote = V4(10, 0, 0, 1);
             r.remotePort = ports[i];
         },
         "5 0 3 2 1 4", "4 1 2 0 3 5"},
        {"bytes as numbers", Column::Sent,
         [](Record& r, std::size_t i) {
             static const std::uint64_t sent[] = {2048, 512, 1 << 20, 512, 3, 0};
             r.traffic.counted = i != 5;
             r.traffic.sent = sent[i];
         },
         "5 4 1 3 0 2", "2 0 1 3 4 5"},
        {"rates as numbers", Column::ReceiveRate,
         [](Record& r, std::size_t i) {
             static const double rates[] = {10.5, 2.25, 1e9, 0, 10.5, 0};
             r.traffic.hasRate = i != 5;
             r.traffic.receiveRate = rates[i];
         },
         "5 3 1 0 4 2", "2 0 4 1 3 5"},
        {"times as times", Column::Time,
         [](Record& r, std::size_t i) {
             static const std::int64_t times[] = {1700000000123, 1700000000009, 1699999999999, 1700000000123,
                                                  1800000000000, 1600000000000};
             r.kind = Record::Kind::Event;
             r.timeMs = times[i];
         },
         "5 2 1 0 3 4", "4 0 3 1 2 5"},
        {"text without regard to case, empty first", Column::Process,
         [](Record& r, std::size_t i) {
             static const char* names[] = {"beta", "Alpha", "gamma", "ALPHA", "Beta2", ""};
             r.pid = i == 5 ? 0 : 7;
             r.process = names[i];
             r.ownerMissing = "";
         },
         "5 1 3 0 4 2", "2 4 0 1 3 5"},
        {"process ids as numbers", Column::Pid,
         [](Record& r, std::size_t i) {
             static const DWORD pids[] = {80, 9, 1000, 0, 9, 70000};
             r.pid = pids[i];
         },
         "3 1 4 0 2 5", "5 2 0 1 4 3"},
        {"states by their text", Column::State,
         [](Record& r, std::size_t i) {
             static const std::uint32_t states[] = {5, 2, 11, 5, 2, 0};
             r.state = states[i];
             r.closed = i == 3;
         },
         "5 3 0 1 4 2", "2 1 4 0 3 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<RecordPtr> pointers;
        for (std::size_t i = 0; i < records.size(); ++i) {
            Record r = records[i];
            c.set(r, i);
            pointers.push_back(std::make_shared<const Record>(r));
        }
        RowTable table;
        table.Reset(pointers);
        const auto order = [&table] {
            std::string out;
            for (std::size_t p = 0; p < table.Shown(); ++p)
                out += (out.empty() ? "" : " ") + std::to_string(table.RecordAt(p)->localPort);
            return out;
        };
        EXPECT_EQ(order(), "0 1 2 3 4 5");
        table.SetSort(c.column, true);
        EXPECT_EQ(order(), c.ascending);
        table.SetSort(c.column, false);
        EXPECT_EQ(order(), c.descending);
        table.SetSort(std::nullopt);
        EXPECT_EQ(order(), "0 1 2 3 4 5");
    }
}

// A filter is evaluated in slices: the rows shown stay those of the filter
// in effect until every row has its verdict, a slice evaluates a bounded
// number of rows however short its time, a refresh in between keeps the
// verdicts of the rows it leaves alone, and turning the filter off shows
// every row again, with its mark.
TEST(RowTable, FiltersInSlicesAndOffAgain) {
    std::vector<Socket> sockets;
    for (std::uint16_t port = 1; port <= 1000; ++port) sockets.push_back({port, port % 10 == 0 ? 2u : 5u});
    Refresh first = Next({}, sockets);
    RowTable table;
    table.Reset(first.records);
    // One more refresh: a socket closes (a mark and a changed record).
    std::vector<Socket> after(sockets.begin() + 1, sockets.end());
    const Refresh second = Next(first.lines, after);
    table.Apply(second.edits, second.lines.size(), second.records);
    ASSERT_EQ(table.Shown(), 1000u);
    ASSERT_EQ(table.MarkAt(0), Mark::Closed);
    Replay replay(table);
    table.SetListener(&replay);

    int calls = 0;
    const sockets::RecordFilter listening = [&calls](const Record& r) {
        ++calls;
        return r.state == 2;
    };
    table.SetFilter(listening);
    EXPECT_TRUE(table.FilterPending());
    int slices = 0;
    int mostCalls = 0;
    // The rows a refresh changes halfway are evaluated again, the others not.
    bool refreshed = false;
    while (!table.ContinueFilter(std::chrono::nanoseconds(0))) {
        ++slices;
        mostCalls = std::max(mostCalls, calls);
        calls = 0;
        EXPECT_EQ(table.Shown(), table.Total()) << "the filter before stays in effect while the new one is evaluated";
        ASSERT_LT(slices, 1000);
        if (slices == 20 && !refreshed) {
            refreshed = true;
            std::vector<Socket> changed = after;
            changed[900].state = 2;  // port 902 starts listening
            const Refresh third = Next(second.lines, changed);
            table.Apply(third.edits, third.lines.size(), third.records);
            EXPECT_TRUE(table.FilterPending());
        }
    }
    EXPECT_GT(slices, 10);
    EXPECT_LE(mostCalls, 16) << "a slice of no time evaluates a bounded number of rows";
    EXPECT_FALSE(table.FilterPending());
    // Ports 10, 20, ... 1000 and 902.
    ASSERT_EQ(table.Shown(), 101u);
    EXPECT_EQ(table.RecordAt(0)->localPort, 10);
    EXPECT_EQ(table.RecordAt(90)->localPort, 902);
    EXPECT_EQ(table.Total(), 999u);  // the closed line went with the third refresh
    ASSERT_NO_FATAL_FAILURE(replay.ExpectSame("after the filter"));
    const std::vector<RowTable::StateCount> counts = table.StateCounts();
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0].state, "LISTENING");
    EXPECT_EQ(counts[0].count, 101u);
    const std::vector<RowTable::StateCount> all = table.StateCounts(false);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].state, "ESTABLISHED");
    EXPECT_EQ(all[0].count, 898u);

    // Off: every row again, the mark of a row that changed kept.
    table.SetFilter(nullptr);
    EXPECT_TRUE(table.ContinueFilter(std::chrono::milliseconds(100)));
    ASSERT_EQ(table.Shown(), 999u);
    EXPECT_EQ(table.RecordAt(900)->localPort, 902);
    EXPECT_EQ(table.MarkAt(900), Mark::Changed);
    ASSERT_NO_FATAL_FAILURE(replay.ExpectSame("with the filter off"));
    table.SetListener(nullptr);
}

// The log: the oldest events dropped at the front, new ones appended,
// shown newest first when sorted so; edits that do not fit the lines
// (a hostile or mistaken delivery) place what they can and tell it.
TEST(RowTable, TheLogAndEditsThatDoNotFit) {
    const auto event = [](std::uint16_t n) {
        auto r = std::make_shared<Record>();
        r->kind = Record::Kind::Event;
        r->timeMs = 1000 + n;
        r->localPort = n;
        r->event = n % 3 == 0 ? "closed" : "opened";
        return RecordPtr(r);
    };
    RowTable table;
    Replay replay(table);
    table.SetListener(&replay);
    table.SetSort(Column::Time, false);
    table.SetFilter([](const Record& r) { return r.event == "opened"; });
    ASSERT_TRUE(table.ContinueFilter(std::chrono::seconds(1)));
    std::uint16_t next = 1;
    for (int round = 0; round < 30; ++round) {
        std::vector<RecordPtr> added;
        for (int i = 0; i < 7; ++i) added.push_back(event(next++));
        table.AppendAndDrop(table.Total() + added.size() > 50 ? table.Total() + added.size() - 50 : 0, added);
        ASSERT_NO_FATAL_FAILURE(replay.ExpectSame("after appending"));
    }
    ASSERT_EQ(table.Total(), 50u);
    // Events 161 ... 210, the opened ones, newest first.
    EXPECT_EQ(table.RecordAt(0)->localPort, 209);
    EXPECT_EQ(table.RecordAt(table.Shown() - 1)->localPort, 161);
    for (std::size_t p = 1; p < table.Shown(); ++p) EXPECT_GT(table.RecordAt(p - 1)->timeMs, table.RecordAt(p)->timeMs);

    // Edits from no diff of these lines: out of range, out of order, a
    // removal among the insertions, more lines than there are.
    using Kind = sockets::Edit::Kind;
    const auto line = [](RecordPtr record, Mark mark = Mark::None) {
        Line l;
        l.record = std::move(record);
        l.mark = mark;
        return l;
    };
    const std::vector<sockets::Edit> garbage = {
        {Kind::Remove, 3, {}},     {Kind::Remove, 900, {}},
        {Kind::Remove, 49, {}},    {Kind::Insert, 0, line(event(5000))},
        {Kind::Rewrite, 7, line(nullptr, Mark::Changed)},
        {Kind::Remove, 8, {}},     {Kind::Insert, 2, line(event(5001))},
        {Kind::Insert, 60, line(event(5002))},
        {Kind::Rewrite, 9, {}},
    };
    table.Apply(garbage, std::size_t(1) << 60, {});  // a count no memory holds
    ASSERT_NO_FATAL_FAILURE(replay.ExpectSame("after edits that do not fit"));
    EXPECT_EQ(table.Total(), 49u);  // 50 - 2 removed + 1 inserted: the lines that could be placed
    table.Apply({}, 3, {event(1)});  // records of other lines: the lines keep theirs
    ASSERT_NO_FATAL_FAILURE(replay.ExpectSame("after records of other lines"));
    EXPECT_EQ(table.Total(), 3u);
    // Lines without a record: first in the order, left out by a filter.
    table.Reset({nullptr, event(4), nullptr, event(2)});
    ASSERT_EQ(table.Shown(), 2u);
    EXPECT_EQ(table.RecordAt(0)->localPort, 4);
    table.SetFilter(nullptr);
    ASSERT_TRUE(table.ContinueFilter(std::chrono::seconds(1)));
    table.SetSort(Column::Time, true);
    ASSERT_EQ(table.Shown(), 4u);
    EXPECT_EQ(table.RecordAt(0), nullptr);
    EXPECT_EQ(table.RecordAt(1), nullptr);
    EXPECT_EQ(table.RecordAt(2)->localPort, 2);
    table.SetListener(nullptr);
}

}  // namespace
