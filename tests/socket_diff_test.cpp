// The diff of a socket pane between refreshes: lines, marks and edits.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "MemoryTree.h"
#include "SocketDiff.h"

namespace {

using sockets::Line;
using sockets::Mark;
using sockets::Row;

// A row "key" in state `state`; its text names both.
Row R(const std::string& key, std::uint32_t state = 5) {
    const std::string text = key + " " + std::to_string(state);
    return {key, state, std::u16string(text.begin(), text.end())};
}

// What a list of lines shows: "key:mark", the mark one of . N C X.
std::string Shown(const std::vector<Line>& lines) {
    std::string out;
    for (const Line& line : lines) {
        if (!out.empty()) out += ' ';
        out += line.key + ':' + ".NCX"[static_cast<int>(line.mark)];
    }
    return out;
}

// The lines a first refresh shows: every row new.
std::vector<Line> First(const std::vector<Row>& table) { return sockets::NextLines({}, table); }

// One refresh from `before` to `after`: the lines, checked against a fresh
// build (the rows' texts in table order once the closed lines are left
// out) and against the edits applied to the lines shown before.
std::vector<Line> Refresh(const std::vector<Line>& shown, const std::vector<Row>& after) {
    const std::vector<Line> next = sockets::NextLines(shown, after);
    std::vector<std::u16string> open, fresh;
    for (const Line& line : next)
        if (line.mark != Mark::Closed) open.push_back(line.text);
    for (const Row& row : after) fresh.push_back(row.text);
    EXPECT_EQ(open, fresh);
    std::vector<Line> edited = shown;
    sockets::ApplyEdits(edited, sockets::PlanEdits(shown, next));
    EXPECT_EQ(Shown(edited), Shown(next));
    for (std::size_t i = 0; i < edited.size() && i < next.size(); ++i) EXPECT_EQ(edited[i].text, next[i].text) << i;
    return next;
}

TEST(SocketDiff, MarksNewChangedAndClosedLinesWhereTheyStand) {
    struct Case {
        const char* what;
        std::vector<Row> before, after;
        const char* lines;       // after one refresh
        const char* thenLines;   // after a second refresh with the same table
    };
    const Case cases[] = {
        {"nothing changed", {R("a"), R("b")}, {R("a"), R("b")}, "a:. b:.", "a:. b:."},
        {"one inserted in the middle", {R("a"), R("c")}, {R("a"), R("b"), R("c")}, "a:. b:N c:.", "a:. b:. c:."},
        {"first and last removed", {R("a"), R("b"), R("c")}, {R("b")}, "a:X b:. c:X", "b:."},
        {"a state changed", {R("a", 2), R("b", 5)}, {R("a", 5), R("b", 5)}, "a:C b:.", "a:. b:."},
        {"all gone", {R("a"), R("b")}, {}, "a:X b:X", ""},
        {"from nothing", {}, {R("a")}, "a:N", "a:."},
        {"closed among new", {R("a"), R("b"), R("d")}, {R("a"), R("c"), R("d")}, "a:. b:X c:N d:.", "a:. c:. d:."},
        // Equal keys are told apart by their order: one more is new.
        {"equal keys", {R("a"), R("a")}, {R("a"), R("a"), R("a")}, "a:. a:. a:N", "a:. a:. a:."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<Line> shown = Refresh(First(c.before), c.before);  // the first marks are gone
        const std::vector<Line> once = Refresh(shown, c.after);
        EXPECT_EQ(Shown(once), c.lines);
        EXPECT_EQ(Shown(Refresh(once, c.after)), c.thenLines);
    }
}

// Endpoints used again by a new socket: the caller's key holds the owner,
// so a new owner is a new socket; the old one closes in its place.
TEST(SocketDiff, EndpointsReusedByAnotherOwnerAreANewSocket) {
    const std::vector<Line> shown = Refresh(First({R("a|pid1")}), {R("a|pid1")});
    const std::vector<Line> next = Refresh(shown, {R("a|pid2")});
    EXPECT_EQ(Shown(next), "a|pid1:X a|pid2:N");
}

// A busy table: 20,000 rows, 1% of them replaced and 1% changing state per
// refresh.  The lines equal a fresh build every time, and the edits touch
// only what changed.
TEST(SocketDiff, ChurnOfOnePercentEditsOnlyWhatChanged) {
    std::mt19937 random(7);
    std::vector<Row> table;
    int serial = 0;
    for (; serial < 20000; ++serial) table.push_back(R("s" + std::to_string(100000 + serial)));
    std::vector<Line> shown = Refresh(First(table), table);
    for (int round = 0; round < 3; ++round) {
        std::vector<Row> after;
        for (const Row& row : table) {
            const auto roll = random() % 100;
            if (roll == 0) continue;  // closed
            after.push_back(roll == 1 ? R(row.key, row.state + 1) : row);
        }
        for (int i = 0; i < 200; ++i) {
            const std::size_t at = random() % (after.size() + 1);
            after.insert(after.begin() + static_cast<std::ptrdiff_t>(at), R("n" + std::to_string(serial++)));
        }
        const std::vector<Line> next = Refresh(shown, after);
        const std::size_t edits = sockets::PlanEdits(shown, next).size();
        EXPECT_LT(edits, 1500u) << "round " << round;  // about 200 closed, 200 new, 200 changed, last round's marks
        shown = next;
        table = after;
    }
}

// The edits applied to a tree through its insert, delete and rewrite
// operations: the tree shows the lines, and a socket that stays keeps its
// item, so that a selection on it stays on it.
TEST(SocketDiff, EditsOnATreeKeepTheItemsOfSocketsThatStay) {
    MemoryTree tree;
    HTREEITEM root = tree.AppendItem(TVI_ROOT, u"TCP Connections", kImageRoot);
    const auto child = [&](std::size_t n) {
        HTREEITEM item = tree.GetChildItem(root);
        for (std::size_t i = 0; i < n && item != nullptr; ++i) item = tree.GetNextSiblingItem(item);
        return item;
    };
    const auto apply = [&](const std::vector<sockets::Edit>& edits) {
        for (const sockets::Edit& e : edits) {
            switch (e.kind) {
                case sockets::Edit::Kind::Remove: tree.DeleteItem(child(e.position)); break;
                case sockets::Edit::Kind::Insert:
                    ASSERT_NE(tree.InsertItem(root, e.position == 0 ? nullptr : child(e.position - 1), e.line.text,
                                              kImageValue),
                              nullptr);
                    break;
                case sockets::Edit::Kind::Rewrite: tree.SetItemText(child(e.position), e.line.text); break;
            }
        }
    };
    const auto texts = [&] {
        std::vector<std::u16string> out;
        for (HTREEITEM item = tree.GetChildItem(root); item != nullptr; item = tree.GetNextSiblingItem(item))
            out.push_back(tree.Text(item));
        return out;
    };
    std::vector<Line> shown;
    const std::vector<std::vector<Row>> tables = {
        {R("b"), R("d")},
        {R("a"), R("b"), R("c"), R("d", 8), R("e")},
        {R("b"), R("d", 8), R("e")},
        {R("b"), R("d", 8), R("e")},
        {},  // all closed, shown one more refresh
        {},
    };
    std::map<std::string, HTREEITEM> items;
    for (const std::vector<Row>& table : tables) {
        const std::vector<Line> next = sockets::NextLines(shown, table);
        apply(sockets::PlanEdits(shown, next));
        std::vector<std::u16string> expected;
        for (const Line& line : next) expected.push_back(line.text);
        EXPECT_EQ(texts(), expected);
        for (std::size_t i = 0; i < next.size(); ++i) {
            const auto known = items.find(next[i].key);
            if (next[i].from != sockets::kNoLine && known != items.end()) {
                EXPECT_EQ(child(i), known->second) << next[i].key << " keeps its item";
            }
            items[next[i].key] = child(i);
        }
        shown = next;
    }
    EXPECT_EQ(tree.ChildCount(root), 0u);
}

// A closed socket's line says so: a TCP line's state field reads CLOSED in
// its fixed width, so that the columns stay where they were; lines without
// a state field (UDP, UDPv6) and lines of no known form keep their text.
TEST(SocketDiff, AClosedTcpLineReadsClosedInTheStateField) {
    struct Case {
        const char* what;
        std::u16string text, closed;
    };
    const std::u16string tcp = u"127.000.000.001:7070   => 010.000.000.002:443    [    ESTABLISHED: PID  1234 : web ]";
    const Case cases[] = {
        {"TCP", tcp, u"127.000.000.001:7070   => 010.000.000.002:443    [         CLOSED: PID  1234 : web ]"},
        {"TCPv6, brackets in the ends and an owner with ' [' and ': '",
         u"[fe80::1%eth0]:22 => [::1]:40000       [      TIME_WAIT: PID     7 : a [b]: c ]",
         u"[fe80::1%eth0]:22 => [::1]:40000       [         CLOSED: PID     7 : a [b]: c ]"},
        {"a state the table does not know", u"a => b [      [UNKNOWN]: PID     0 : x ]",
         u"a => b [         CLOSED: PID     0 : x ]"},
        {"already closed", u"a => b [         CLOSED: x ]", u"a => b [         CLOSED: x ]"},
        {"UDP", u"IP:: 000.000.000.000:53    [ PID   300 : resolver ]", {}},
        {"UDPv6", u"IP:: [::]:5353 [ PID   301 : mdns ]", {}},
        {"the line ends inside the field", u"a => b [    ESTABLISHED", {}},
        {"no ': ' after the field", u"a => b [    ESTABLISHED; x ]", {}},
        {"a blank inside the field", u"a => b [    ESTAB LISHED: x ]", {}},
        {"a blank field", u"a => b [               : x ]", {}},
        {"no arrow", u"a b [    ESTABLISHED: x ]", {}},
        {"empty", u"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string expected = c.closed.empty() ? c.text : c.closed;
        EXPECT_EQ(sockets::ClosedLineText(c.text), expected);
        EXPECT_EQ(sockets::ClosedLineText(c.text).size(), c.text.size());
    }

    // Only the closed TCP line is rewritten, for its one refresh; a line
    // that stays keeps its text, a UDP line (state 0) too whatever its
    // owner's name says, and a socket back with the same key is new.
    const Row open{"t", 5, tcp};
    const Row other{"u", 5, u"u => v [    ESTABLISHED: y ]"};
    const Row udp{"w", 0, u"IP:: 000.000.000.000:53    [ PID   300 : a => b [    ESTABLISHED: c ]"};
    const std::vector<Line> shown = Refresh(First({open, other, udp}), {open, other, udp});
    const std::vector<Line> closed = Refresh(shown, {other});
    ASSERT_EQ(Shown(closed), "t:X u:. w:X");
    EXPECT_EQ(closed[0].text, cases[0].closed);
    EXPECT_EQ(closed[1].text, other.text);
    EXPECT_EQ(closed[2].text, udp.text);
    EXPECT_EQ(Shown(Refresh(closed, {open, other})), "t:N u:.");
    EXPECT_EQ(sockets::NextLines(closed, {open, other})[0].text, tcp);
}

}  // namespace
