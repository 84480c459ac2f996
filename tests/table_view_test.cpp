// The table view under Qt's offscreen platform: the model checked by Qt's
// model tester through refreshes, sorts, filters and the log; the selection
// and the rows in view staying on their sockets; the columns' state saved
// and restored, and hostile bytes refused; the mark on a selected row; the
// row menu.
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QImage>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>
#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "CSocketTableModel.h"
#include "ConnectionLog.h"
#include "CTableView.h"
#include "QtAppTest.h"
#include "SocketDiff.h"

namespace {

using sockets::Column;
using sockets::Line;
using sockets::Mark;
using sockets::Record;
using sockets::RecordPtr;

// A socket of the generated tables: known by its local port.
struct Socket {
    std::uint16_t port = 0;
    std::uint32_t state = 5;
    double rate = 0;
    DWORD pid = 0;
};

RecordPtr RecordOf(const Socket& s) {
    auto r = std::make_shared<Record>();
    r->local.family = r->remote.family = 4;
    r->local.bytes = {127, 0, 0, 1};
    r->remote.bytes = {10, 1, 2, 3};
    r->localPort = s.port;
    r->remotePort = 443;
    r->state = s.state;
    r->pid = s.pid;
    r->process = s.pid != 0 ? "proc" : "";
    r->traffic.hasRate = true;
    r->traffic.sendRate = s.rate;
    return r;
}

// The worker's side of a pane: the lines handed last, and each refresh's
// edits against them.
struct Worker {
    std::vector<Line> lines;

    std::vector<RecordPtr> First(const std::vector<Socket>& table) {
        lines.clear();
        for (const Socket& s : table) {
            Line line;
            line.key = std::to_string(s.port);
            line.state = s.state;
            line.record = RecordOf(s);
            lines.push_back(line);
        }
        return sockets::LineRecords(lines);
    }
    void Refresh(CSocketTableModel& model, const std::vector<Socket>& table) {
        std::vector<sockets::Row> rows;
        for (const Socket& s : table) rows.push_back({std::to_string(s.port), s.state, u"", RecordOf(s)});
        std::vector<Line> next = sockets::NextLines(lines, rows);
        sockets::MarkClosedRecords(next);
        model.Apply(sockets::PlanEdits(lines, next), next.size(), sockets::LineRecords(next));
        lines = std::move(next);
    }
};

std::uint16_t PortAt(const QModelIndex& index) {
    const RecordPtr record = index.data(CSocketTableModel::RecordRole).value<RecordPtr>();
    return record ? record->localPort : 0;
}

class TableViewTest : public QtAppTest {
protected:
    // Fails the test on any complaint of Qt's model tester.
    static void OnMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (type != QtDebugMsg && context.category != nullptr && std::string(context.category) == "qt.modeltest")
            s_complaints.push_back(text.toStdString());
    }
    void SetUp() override {
        s_complaints.clear();
        m_previous = qInstallMessageHandler(&OnMessage);
    }
    void TearDown() override { qInstallMessageHandler(m_previous); }

    static void ProcessUntilFiltered(CSocketTableModel& model) {
        for (int i = 0; i < 10000 && model.FilterPending(); ++i) QApplication::processEvents();
        QApplication::processEvents();
    }

    static inline std::vector<std::string> s_complaints;
    QtMessageHandler m_previous = nullptr;
};

// Qt's model tester watches the model, with a view on it, through fresh
// tables, refreshes (sockets opening, closing, changing state and rate),
// sorts by changing values, filters applied in slices, and a connection
// log as it fills and drops its oldest events.  A refresh never resets the
// model.
TEST_F(TableViewTest, TheModelTesterFindsNothingAndRefreshesNeverReset) {
    CSocketTableModel model(CSocketTableModel::SocketColumns());
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    CTableView view;
    view.setModel(&model);
    view.resize(700, 300);
    view.show();
    QSignalSpy resets(&model, &QAbstractItemModel::modelAboutToBeReset);
    std::mt19937 random(3);
    std::vector<Socket> table;
    std::uint16_t port = 1;
    for (; port <= 400; ++port) table.push_back({port, 5, 0, 100u + port % 9});
    Worker worker;
    model.Reset(worker.First(table));
    ASSERT_EQ(resets.count(), 1);
    for (int round = 0; round < 30; ++round) {
        std::vector<Socket> after;
        for (Socket s : table) {
            const auto roll = random() % 100;
            if (roll < 3) continue;
            if (roll < 6) s.state = s.state == 5 ? 8 : 5;
            if (roll < 30) s.rate = static_cast<double>(random() % 1000);
            after.push_back(s);
        }
        for (int i = 0; i < 12; ++i) {
            const std::size_t at = random() % (after.size() + 1);
            after.insert(after.begin() + static_cast<std::ptrdiff_t>(at), {port++, 5, 1, 7});
        }
        worker.Refresh(model, after);
        table = after;
        if (round == 5) view.sortByColumn(model.SectionOf(Column::SendRate), Qt::DescendingOrder);
        if (round == 10) view.sortByColumn(model.SectionOf(Column::State), Qt::AscendingOrder);
        if (round == 15) {
            model.SetFilter([](const Record& r) { return r.localPort % 3 != 0; });
            ProcessUntilFiltered(model);
        }
        if (round == 20) view.sortByColumn(-1, Qt::AscendingOrder);
        if (round == 25) {
            model.SetFilter(nullptr);
            ProcessUntilFiltered(model);
        }
        QApplication::processEvents();
        ASSERT_EQ(static_cast<std::size_t>(model.rowCount()), model.Table().Shown());
    }
    EXPECT_EQ(resets.count(), 1) << "refreshes change rows in place";
    model.Reset({});
    EXPECT_EQ(model.rowCount(), 0);

    // The log: its oldest events dropped as it fills, new ones added,
    // shown newest first.
    CSocketTableModel log(CSocketTableModel::LogColumns());
    QAbstractItemModelTester logTester(&log, QAbstractItemModelTester::FailureReportingMode::Warning);
    ASSERT_EQ(log.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Time"));
    ASSERT_EQ(log.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Event"));
    log.sort(log.SectionOf(Column::Time), Qt::DescendingOrder);
    sockets::ConnectionLog events;
    std::int64_t time = 1700000000000;
    const auto add = [&](int n) {
        for (int i = 0; i < n; ++i) {
            sockets::Event event;
            event.timeMs = ++time;
            event.protocol = "TCP";
            event.local = "127.0.0.1:" + std::to_string(1000 + time % 50000);
            event.remote = "10.0.0.1:443";
            events.Add(event);
        }
    };
    add(sockets::ConnectionLog::kCapacity - 20);
    log.ShowLog(events);
    EXPECT_EQ(static_cast<std::size_t>(log.rowCount()), sockets::ConnectionLog::kCapacity - 20);
    for (int round = 0; round < 3; ++round) {
        add(35);
        log.ShowLog(events);
        ASSERT_EQ(static_cast<std::size_t>(log.rowCount()), events.Events().size());
        EXPECT_EQ(log.Table().RecordAt(0)->timeMs, time) << "the newest first";
        EXPECT_EQ(log.Table().RecordAt(log.Table().Total() - 1)->timeMs, events.Events().front().timeMs);
    }
    EXPECT_EQ(log.index(0, 0).data().toString().toStdString(), sockets::ColumnText(*log.Table().RecordAt(0), Column::Time));
    EXPECT_EQ(log.index(0, log.SectionOf(Column::LocalPort)).data().toString().toStdString(),
              std::to_string(1000 + time % 50000));
    events.Clear();
    add(2);
    log.ShowLog(events);
    EXPECT_EQ(log.rowCount(), 2);
    for (const std::string& complaint : s_complaints) ADD_FAILURE() << complaint;
}

// The selected socket and the socket at the top of the view stay as rows
// are inserted and removed above them, as they move in a sort by a value
// that changes, and as the user sorts by another column.
TEST_F(TableViewTest, SelectionAndTopRowStayOnTheirSockets) {
    CSocketTableModel model(CSocketTableModel::SocketColumns());
    CTableView view;
    view.setModel(&model);
    view.resize(700, 300);
    view.show();
    std::vector<Socket> table;
    for (std::uint16_t port = 1000; port < 1600; ++port) table.push_back({port, 5, static_cast<double>(port % 50), 1});
    Worker worker;
    model.Reset(worker.First(table));
    QApplication::processEvents();
    const QModelIndex top = model.index(200, 0);
    view.scrollTo(top, QAbstractItemView::PositionAtTop);
    view.setCurrentIndex(model.index(205, 2));
    QApplication::processEvents();
    const std::uint16_t topPort = PortAt(view.indexAt(QPoint(0, 0)));
    const std::uint16_t selectedPort = PortAt(view.currentIndex());
    ASSERT_EQ(topPort, 1200);
    ASSERT_EQ(selectedPort, 1205);
    const auto expectStayed = [&](const char* what) {
        SCOPED_TRACE(what);
        QApplication::processEvents();
        EXPECT_EQ(PortAt(view.indexAt(QPoint(0, 0))), topPort);
        EXPECT_EQ(PortAt(view.currentIndex()), selectedPort);
        const QModelIndexList selected = view.selectionModel()->selectedRows();
        ASSERT_EQ(selected.size(), 1);
        EXPECT_EQ(PortAt(selected[0]), selectedPort);
        EXPECT_EQ(view.visualRect(view.indexAt(QPoint(0, 0))).top(), 0) << "the top row is not cut";
    };

    // New sockets above, one between the top and the selection; the first
    // rows close (and go on the next refresh).
    std::vector<Socket> after(table.begin() + 30, table.end());
    for (std::uint16_t port = 100; port < 160; ++port) after.insert(after.begin(), {port, 5, 0, 1});
    after.push_back({1202, 5, 0, 1});
    std::sort(after.begin(), after.end(), [](const Socket& a, const Socket& b) { return a.port < b.port; });
    after.erase(std::unique(after.begin(), after.end(), [](const Socket& a, const Socket& b) { return a.port == b.port; }),
                after.end());
    worker.Refresh(model, after);
    expectStayed("inserted and closed above");
    worker.Refresh(model, after);
    expectStayed("the closed rows gone");

    // Sorted by a rate that changes: the rows move, the two sockets with
    // them.
    view.sortByColumn(model.SectionOf(Column::SendRate), Qt::AscendingOrder);
    expectStayed("sorted by rate");
    for (int round = 0; round < 3; ++round) {
        for (Socket& s : after) s.rate = static_cast<double>((s.port * 7 + round * 13) % 97);
        worker.Refresh(model, after);
        expectStayed("the rates changed");
    }
    view.sortByColumn(model.SectionOf(Column::LocalPort), Qt::DescendingOrder);
    expectStayed("sorted by port, descending");
}

// The columns' order, widths, shown state and sort come back from their
// saved state; anything SaveState did not make changes nothing.  The
// header's menu hides and shows columns.
TEST_F(TableViewTest, ColumnStateComesBackAndHostileBytesChangeNothing) {
    CSocketTableModel model(CSocketTableModel::SocketColumns());
    std::vector<Socket> table;
    for (std::uint16_t port = 1; port <= 50; ++port) table.push_back({port, port % 2 == 0 ? 5u : 2u, 0, 1});
    Worker worker;
    model.Reset(worker.First(table));
    CTableView view;
    view.setModel(&model);
    view.show();
    QHeaderView* head = view.header();
    head->moveSection(head->visualIndex(5), 0);
    head->setSectionHidden(8, true);
    head->resizeSection(1, 177);
    view.sortByColumn(6, Qt::DescendingOrder);
    const QByteArray state = view.SaveState();

    const auto describe = [](CTableView& v) {
        std::string out;
        const QHeaderView* h = v.header();
        for (int i = 0; i < h->count(); ++i)
            out += std::to_string(h->visualIndex(i)) + (h->isSectionHidden(i) ? "h" : ":" + std::to_string(h->sectionSize(i))) + " ";
        return out + "sort " + std::to_string(h->sortIndicatorSection()) + (h->sortIndicatorOrder() == Qt::AscendingOrder ? "a" : "d");
    };
    CSocketTableModel otherModel(CSocketTableModel::SocketColumns());
    otherModel.Reset(worker.First(table));
    CTableView other;
    other.setModel(&otherModel);
    other.show();
    ASSERT_TRUE(other.RestoreState(state));
    EXPECT_EQ(describe(other), describe(view));
    EXPECT_EQ(otherModel.Table().SortColumn(), Column::Pid);
    EXPECT_FALSE(otherModel.Table().SortAscending());
    EXPECT_EQ(otherModel.index(0, 0).data().toString(), QStringLiteral("TCP"));

    // Bytes from elsewhere: nothing changes.
    const std::string before = describe(other);
    const auto damaged = [&state](qsizetype at, char value) {
        QByteArray bytes = state;
        bytes[at] = value;
        return bytes;
    };
    const int lastColumn = 8 + 16 * 5;  // the record of the 17th column
    std::vector<QByteArray> hostile = {
        QByteArray(),
        state.left(state.size() - 1),
        state + QByteArray(1, '\0'),
        damaged(0, 'X'),                 // another tag
        damaged(5, 2),                   // another version
        damaged(7, 16),                  // 16 columns
        damaged(lastColumn + 1, 0),      // two columns in one place
        damaged(lastColumn + 1, 99),     // a place past the end
        damaged(lastColumn + 2, 7),      // neither hidden nor shown
        damaged(lastColumn + 3, char(0xFF)),  // 65,280 pixels wide
        damaged(state.size() - 3, 0x7F),      // sorted by a column past the end
        damaged(state.size() - 1, 2),    // neither ascending nor descending
    };
    {
        // Every column hidden.
        QByteArray allHidden = state;
        for (int i = 0; i < 17; ++i) allHidden[8 + i * 5 + 2] = 1;
        hostile.push_back(allHidden);
        // A column shown 0 pixels wide.
        QByteArray narrow = state;
        narrow[8 + 3] = 0;
        narrow[8 + 4] = 0;
        hostile.push_back(narrow);
    }
    std::mt19937 random(5);
    for (int i = 0; i < 200; ++i) {
        QByteArray noise(static_cast<qsizetype>(i % 3 == 0 ? state.size() : random() % 200), '\0');
        for (char& c : noise) c = static_cast<char>(random());
        if (i % 2 == 0 && noise.size() >= 8) noise.replace(0, 8, state.left(8));  // a tag and count that fit
        hostile.push_back(noise);
    }
    for (std::size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_FALSE(other.RestoreState(hostile[i])) << "bytes " << i;
        EXPECT_EQ(describe(other), before) << "bytes " << i;
    }

    // The header's menu shows and hides columns; the last one shown stays.
    QHeaderView* otherHead = other.header();
    for (int i = 1; i < otherHead->count(); ++i) otherHead->setSectionHidden(i, true);
    const auto menuAction = [&](const char* title) -> QAction* {
        emit otherHead->customContextMenuRequested(QPoint(5, 5));
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) return nullptr;
        for (QAction* a : menu->actions())
            if (a->text() == QLatin1String(title)) return a;
        return nullptr;
    };
    QAction* protocol = menuAction("Protocol");
    ASSERT_NE(protocol, nullptr);
    EXPECT_TRUE(protocol->isChecked());
    EXPECT_FALSE(protocol->isEnabled()) << "the last column shown";
    QApplication::activePopupWidget()->close();
    QAction* pid = menuAction("PID");
    ASSERT_NE(pid, nullptr);
    EXPECT_FALSE(pid->isChecked());
    pid->trigger();
    QApplication::activePopupWidget()->close();
    EXPECT_FALSE(otherHead->isSectionHidden(model.SectionOf(Column::Pid)));
    EXPECT_GE(otherHead->sectionSize(model.SectionOf(Column::Pid)), otherHead->minimumSectionSize());
    QAction* again = menuAction("Protocol");
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->isEnabled());
    again->trigger();
    QApplication::activePopupWidget()->close();
    EXPECT_TRUE(otherHead->isSectionHidden(0));
    EXPECT_EQ(other.FirstShownColumn(), model.SectionOf(Column::Pid));
}

// The mark before a row's first column shows on the selection as it does
// off it: a marked row's place for the mark differs from an unmarked row's
// in the same state, selected or not.
TEST_F(TableViewTest, TheMarkShowsOnTheSelectedRow) {
    CSocketTableModel model(CSocketTableModel::SocketColumns());
    std::vector<Socket> table = {{1, 5, 0, 1}, {2, 5, 0, 1}, {3, 5, 0, 1}, {4, 5, 0, 1}};
    Worker worker;
    model.Reset(worker.First(table), {Mark::Changed, Mark::None, Mark::Closed, Mark::None});
    CTableView view;
    view.setModel(&model);
    view.resize(500, 200);
    view.show();
    QApplication::processEvents();
    // What the view shows in the mark's place of a row, its edges (where
    // the neighbours and the selection's outline show) left out.
    const auto mark = [&view](int row) {
        const QImage image = view.viewport()->grab().toImage();
        const QRect cell = view.visualRect(view.model()->index(row, view.FirstShownColumn()));
        return image.copy(cell.left() + 2, cell.top() + 2, view.MarkWidth() - 4, cell.height() - 4);
    };
    // The row current and selected; none selected with the last current.
    const auto select = [&](int row) {
        view.setCurrentIndex(model.index(row < 0 ? 3 : row, 0));
        if (row < 0) view.clearSelection();
        QApplication::processEvents();
    };
    select(-1);
    const QImage marked = mark(0), plain = mark(1);
    EXPECT_NE(marked, plain) << "the mark off the selection";
    EXPECT_EQ(mark(1), plain) << "the same row the same twice";
    select(0);
    const QImage markedSelected = mark(0);
    select(1);
    EXPECT_NE(markedSelected, mark(1)) << "the mark on the selection";
    EXPECT_NE(markedSelected, marked) << "the selection shows";
    // The mark follows the first column shown.
    view.header()->setSectionHidden(0, true);
    select(-1);
    EXPECT_NE(mark(2), mark(1)) << "the mark before another column";
    EXPECT_EQ(model.index(2, 0).data(CSocketTableModel::MarkRole).toInt(), static_cast<int>(Mark::Closed));
    EXPECT_EQ(model.index(2, 5).data().toString(), QStringLiteral("ESTABLISHED"));
}

// The row menu: each command on the row it was opened on, disabled where
// the row has no value for it.
TEST_F(TableViewTest, TheRowMenuCopiesAndNarrows) {
    CSocketTableModel model(CSocketTableModel::SocketColumns());
    std::vector<Socket> table = {{40000, 5, 0, 321}, {8080, 2, 0, 0}};
    Worker worker;
    model.Reset(worker.First(table));
    CTableView view;
    view.setModel(&model);
    view.resize(700, 200);
    view.show();
    QApplication::processEvents();
    sockets::RecordPtr process, portOf;
    bool remoteEnd = false;
    QObject::connect(&view, &CTableView::showOnlyProcess, [&](const sockets::RecordPtr& r) { process = r; });
    QObject::connect(&view, &CTableView::showOnlyPort, [&](const sockets::RecordPtr& r, bool remote) {
        portOf = r;
        remoteEnd = remote;
    });
    const auto openMenu = [&view](int row, int column) -> QMenu* {
        const QRect cell = view.visualRect(view.model()->index(row, column));
        QContextMenuEvent event(QContextMenuEvent::Mouse, cell.center(), view.viewport()->mapToGlobal(cell.center()));
        QApplication::sendEvent(view.viewport(), &event);
        return qobject_cast<QMenu*>(QApplication::activePopupWidget());
    };
    const auto action = [](QMenu* menu, const char* text) -> QAction* {
        for (QAction* a : menu->actions())
            if (a->text() == QLatin1String(text)) return a;
        return nullptr;
    };
    struct Case {
        int row, column;
        const char* command;
        bool enabled;
        const char* clipboard;  // after the command; null: not a copy
        int remote = -1;        // Show Only This Port: which end (1 remote)
    };
    const int remoteAddress = model.SectionOf(Column::RemoteAddress);
    const int localPort = model.SectionOf(Column::LocalPort);
    const Case cases[] = {
        {0, 0, "Copy PID", true, "321"},
        {0, 0, "Copy Address", true, "10.1.2.3"},
        {0, localPort, "Copy Address", true, "127.0.0.1"},
        {1, 0, "Copy PID", false, nullptr},
        {1, 0, "Show Only This Process", false, nullptr},
        {0, 0, "Show Only This Process", true, nullptr},
        {0, remoteAddress, "Show Only This Port", true, nullptr, 1},
        {0, localPort, "Show Only This Port", true, nullptr, 0},
        // Elsewhere, the end with the lower port: 443 is the service's side
        // of a connection from port 40000; a listening socket's own port.
        {0, 0, "Show Only This Port", true, nullptr, 1},
        {1, model.SectionOf(Column::State), "Show Only This Port", true, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " on row " + std::to_string(c.row));
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        QMenu* menu = openMenu(c.row, c.column);
        ASSERT_NE(menu, nullptr);
        QAction* a = action(menu, c.command);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->isEnabled(), c.enabled);
        EXPECT_EQ(PortAt(view.currentIndex()), table[static_cast<std::size_t>(c.row)].port) << "the row is selected";
        if (c.enabled) {
            a->trigger();
        }
        menu->close();
        QApplication::processEvents();
        if (c.clipboard != nullptr) {
            EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), c.clipboard);
        }
        if (c.remote >= 0) {
            ASSERT_NE(portOf, nullptr);
            EXPECT_EQ(portOf->localPort, table[static_cast<std::size_t>(c.row)].port);
            EXPECT_EQ(remoteEnd, c.remote == 1);
            portOf = nullptr;
        }
    }
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->pid, 321u);
}

}  // namespace
