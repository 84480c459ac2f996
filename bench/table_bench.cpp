// The table view of the TCP pane at 20,001 sockets, against the tree view
// of the same pane fed the same tables and against `ss -tanp` on the same
// sockets, in the same run:
//   - a refresh while 1% of the connections are replaced between ticks:
//     how long the window's thread is busy from the moment the worker's
//     delivery is handed to the view until the event loop has nothing left
//     to do (the edits applied to the rows, the model's signals, the view's
//     own handling: its layout, keeping its top row, its paint);
//   - sorting by every column, ascending and descending (the header's
//     sort, the model's reorder, the view's layout and paint);
//   - a filter change: the longest single stretch the window's thread is
//     busy, from the keystroke's call to the rows shown and painted, for a
//     port match, for a word looked for in every column's text (every row
//     evaluated to the end), and for the filter turned off;
//   - the memory the table view takes beside the tree view.
//
// In a network namespace of its own (run as root), two holder processes
// keep 10,000 established loopback connections (20,001 sockets with the
// listener) and replace 1% of them between ticks (ChurnHolders.h).  The
// worker's part (taking the table, the owners, the records and the diff)
// is done on this thread between the timed steps, as the socket worker
// does it on its own; its time is not counted.  The tree pane is a
// floating dock of 450 by 520 pixels as in the main window; the table
// views are 1,280 by 520 pixels, one in the pane's order scrolled to the
// middle with a row selected, one sorted by local port descending, one
// filtered to local port 8080.  Offscreen platform.  Every process it
// starts is ended by its pid.
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QHeaderView>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <cstdio>
#include <string>
#include <vector>

#include "CNetworkDataView.h"
#include "CSocketTableModel.h"
#include "CTableView.h"
#include "ChurnHolders.h"
#include "ConnectionReports.h"
#include "LoopbackConnections.h"
#include "SocketDetails.h"
#include "SocketMonitor.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnections = 10000;
constexpr int kTicks = 15;
constexpr int kWarmUpTicks = 2;
constexpr int kSsRuns = 7;
constexpr std::uint16_t kPort = 8080;

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Max(const std::vector<double>& v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }

// The wall time of one run of a command, its output discarded; < 0 when it
// cannot run or fails.
double RunQuietly(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return Millis(Clock::now() - start);
}

std::size_t HeapInUse() { return mallinfo2().uordblks; }

// Every event delivered on the window's thread passes through notify: the
// outermost deliveries are added up (the thread's busy time), the longest
// is kept, and they are counted (to tell when the loop is idle).
struct Accounts {
    double busyMs = 0;
    double cpuMs = 0;  // the thread's processor time in those deliveries
    double longestMs = 0;
    long outerEvents = 0;
    int filterSlices = 0;  // timer events of the model under test
    std::map<std::string, double> byKind;  // outer deliveries by receiver's class and event type
};

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    Accounts accounts;
    const QObject* model = nullptr;
    bool byKind = false;

    bool notify(QObject* receiver, QEvent* event) override {
        const QEvent::Type type = event->type();
        const auto start = Clock::now();
        const double cpuStart = m_depth == 0 ? ThreadCpuMs() : 0;
        const std::string kind = m_depth == 0 && byKind ? std::string(receiver->metaObject()->className()) + " " +
                                                              std::to_string(static_cast<int>(type))
                                                        : std::string();
        ++m_depth;
        const bool result = QApplication::notify(receiver, event);
        --m_depth;
        if (m_depth == 0) {
            const double ms = Millis(Clock::now() - start);
            accounts.busyMs += ms;
            accounts.cpuMs += ThreadCpuMs() - cpuStart;
            accounts.longestMs = std::max(accounts.longestMs, ms);
            ++accounts.outerEvents;
            if (byKind) accounts.byKind[kind] += ms;
        }
        if (receiver == model && type == QEvent::Timer) ++accounts.filterSlices;
        return result;
    }

private:
    int m_depth = 0;
};

// Runs the event loop until a pass delivers nothing (at most 2,000 passes).
void ProcessUntilIdle(TimedApplication& app) {
    for (int pass = 0; pass < 2000; ++pass) {
        const long before = app.accounts.outerEvents;
        QCoreApplication::processEvents();
        if (app.accounts.outerEvents == before) return;
    }
}

// The window's thread on one step: `step` called directly (as a slot on
// the rows' arrival is), then everything the event loop runs until idle.
// `direct`, when given, gets the step's own part.
template <class Step>
double TimeStep(TimedApplication& app, Step step, double* direct = nullptr, double* cpu = nullptr) {
    ProcessUntilIdle(app);
    app.accounts = Accounts{};
    const auto start = Clock::now();
    const double cpuStart = ThreadCpuMs();
    step();
    const double own = Millis(Clock::now() - start);
    const double ownCpu = ThreadCpuMs() - cpuStart;
    ProcessUntilIdle(app);
    if (direct != nullptr) *direct = own;
    if (cpu != nullptr) *cpu = ownCpu + app.accounts.cpuMs;
    return own + app.accounts.busyMs;
}

// One repaint with nothing pending, the median of a few.
double RepaintAlone(QWidget& widget) {
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        widget.repaint();
        times.push_back(Millis(Clock::now() - start));
    }
    return Median(times);
}

// The worker's part of a refresh, done here between the timed steps.
struct Worker {
    CSocketTable table{CSocketTable::Kind::Tcp};
    sockets::RateKeeper rates;
    sockets::PaneDeliveries deliveries;
    std::uint64_t base = 0;

    sockets::TableRows Take() {
        sockets::TableRows rows = sockets::TakeRows(table, true);
        rates.Apply(rows, sockets::SteadyMs());
        sockets::AttachRecords(rows);
        return rows;
    }
    sockets::RowsDelivery Deliver() {
        sockets::RowsDelivery delivery = deliveries.Deliver(Take(), base, true);
        base = delivery.serial;
        return delivery;
    }
};

struct TableUnderTest {
    const char* what;
    CSocketTableModel model{CSocketTableModel::SocketColumns()};
    CTableView view;
    std::vector<double> ticks;
    std::vector<double> applied;  // the rows' own part: the edits and the model's signals
    std::vector<double> cpu;      // the window's thread's processor time
};

void PrintTicks(const char* what, const std::vector<double>& ticks, double tree, double ss) {
    const double median = Median(ticks);
    std::printf("  %-44s median %6.2f ms, max %6.2f ms", what, median, Max(ticks));
    if (tree > 0) std::printf("; / tree %.2f", median / tree);
    if (ss > 0) std::printf("; / ss -tanp %.3f", median / ss);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()) {
        std::fprintf(stderr, "table_bench: needs root to make a network namespace of its own\n");
        return 77;
    }
    if (!RaiseDescriptorLimit(static_cast<rlim_t>(kConnections) + 1024)) {
        std::fprintf(stderr, "table_bench: cannot raise the descriptor limit\n");
        return 1;
    }
    churn::Holders holders;
    if (!holders.Start(kPort)) {  // before any thread
        holders.End();
        std::fprintf(stderr, "table_bench: cannot start the holders\n");
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int status = 0;
    {
        TimedApplication app(argc, argv);
        // The tree pane: its rows come from the deliveries below, as from
        // the socket worker.
        CNetworkDataView pane(kKindTcpConnections, DeferSnapshot{});
        pane.m_bRowsFromWorker = true;
        if (!pane.Create()) {
            std::fprintf(stderr, "table_bench: the pane cannot be made\n");
            holders.End();
            return 1;
        }
        pane.SetPaused(true);  // no refresh of its own
        pane.resize(450, 520);
        pane.show();
        TableUnderTest tables[3];
        tables[0].what = "table, the pane's order";
        tables[1].what = "table, by local port descending";
        tables[2].what = "table, local port 8080 only";
        for (TableUnderTest& t : tables) {
            t.view.setModel(&t.model);
            t.view.resize(1280, 520);
            t.view.show();
        }
        tables[1].view.sortByColumn(tables[1].model.SectionOf(sockets::Column::LocalPort), Qt::DescendingOrder);
        tables[2].model.SetFilter([](const sockets::Record& r) { return r.localPort == kPort; });
        ProcessUntilIdle(app);

        if (holders.Send(churn::Op::Open, kConnections) != kConnections) {
            std::fprintf(stderr, "table_bench: could not open %d connections\n", kConnections);
            holders.End();
            return 1;
        }
        Worker worker;
        std::vector<double> treeTicks, treeCpuMs, treeAppliedMs, workerMs;
        std::map<std::string, double> treeKinds, tableKinds;
        std::size_t rows = 0, edits = 0;
        std::printf("TCP pane, %d connections (%d sockets), 1%% replaced between ticks, %d ticks after %d untimed, "
                    "offscreen platform\n",
                    kConnections, 2 * kConnections + 1, kTicks, kWarmUpTicks);
        for (int i = 0; i < 2 + kWarmUpTicks + kTicks; ++i) {
            if (i >= 2 && holders.Send(churn::Op::Churn, kConnections / 100) != kConnections) {
                std::fprintf(stderr, "table_bench: the churn failed\n");
                status = 1;
                break;
            }
            usleep(20 * 1000);
            const auto take = Clock::now();
            const sockets::RowsDelivery delivery = worker.Deliver();
            const double workerTime = Millis(Clock::now() - take);
            const bool last = i == 2 + kWarmUpTicks + kTicks - 1;
            double treeApplied = 0, treeCpu = 0;
            app.byKind = last;
            const double tree = TimeStep(app, [&] { pane.ShowSocketDelivery(delivery); }, &treeApplied, &treeCpu);
            if (last) treeKinds = app.accounts.byKind;
            std::vector<double> each, eachApplied, eachCpu;
            for (TableUnderTest& t : tables) {
                double applied = 0, cpu = 0;
                each.push_back(TimeStep(app, [&] { t.model.ShowDelivery(delivery); }, &applied, &cpu));
                eachApplied.push_back(applied);
                eachCpu.push_back(cpu);
                if (last && &t == &tables[0]) tableKinds = app.accounts.byKind;
            }
            app.byKind = false;
            if (i == 0) {
                // A row selected and the view scrolled to the middle.
                CTableView& view = tables[0].view;
                view.scrollTo(tables[0].model.index(10000, 0), QAbstractItemView::PositionAtTop);
                view.setCurrentIndex(tables[0].model.index(10005, 0));
                ProcessUntilIdle(app);
            }
            if (i < 2 + kWarmUpTicks) continue;
            treeTicks.push_back(tree);
            treeCpuMs.push_back(treeCpu);
            treeAppliedMs.push_back(treeApplied);
            workerMs.push_back(workerTime);
            for (std::size_t t = 0; t < 3; ++t) {
                tables[t].ticks.push_back(each[t]);
                tables[t].applied.push_back(eachApplied[t]);
                tables[t].cpu.push_back(eachCpu[t]);
            }
            rows = delivery.lineCount;
            edits = delivery.edits.size();
        }
        if (status != 0) {
            holders.End();
            return status;
        }
        std::vector<double> ss;
        for (int i = 0; i < kSsRuns; ++i) ss.push_back(RunQuietly({"ss", "-tanp"}));
        const bool ssFailed = std::any_of(ss.begin(), ss.end(), [](double v) { return v < 0; });
        const double ssMs = ssFailed ? -1 : Median(ss);

        std::printf("\nrefresh, window's thread (target <= 8 ms median), %zu rows, %zu edits in the last tick:\n", rows,
                    edits);
        const double treeMedian = Median(treeTicks);
        PrintTicks("tree view (the pane)", treeTicks, -1, ssMs);
        for (const TableUnderTest& t : tables) PrintTicks(t.what, t.ticks, treeMedian, ssMs);
        if (ssMs > 0)
            std::printf("  ss -tanp at the same size: %.1f ms\n", ssMs);
        else
            std::printf("  ss -tanp could not run\n");
        std::printf("  where a tick goes (medians, ms): the edits applied and the signals / the event loop after "
                    "them / one repaint with nothing pending:\n");
        std::printf("    %-42s %6.2f / %6.2f / %6.2f\n", "tree view (the pane)", Median(treeAppliedMs),
                    treeMedian - Median(treeAppliedMs), RepaintAlone(pane.Tree()));
        for (TableUnderTest& t : tables)
            std::printf("    %-42s %6.2f / %6.2f / %6.2f\n", t.what, Median(t.applied), Median(t.ticks) - Median(t.applied),
                        RepaintAlone(*t.view.viewport()));
        std::printf("  processor time of the window's thread (medians, ms; the figures above are wall time on a "
                    "machine that may be busy):\n    %-42s %6.2f\n", "tree view (the pane)", Median(treeCpuMs));
        for (const TableUnderTest& t : tables)
            std::printf("    %-42s %6.2f; / tree %.2f\n", t.what, Median(t.cpu), Median(t.cpu) / Median(treeCpuMs));
        const auto printKinds = [](const char* what, const std::map<std::string, double>& kinds) {
            std::vector<std::pair<double, std::string>> sorted;
            for (const auto& [kind, ms] : kinds) sorted.push_back({ms, kind});
            std::sort(sorted.rbegin(), sorted.rend());
            std::printf("    %s:", what);
            for (std::size_t k = 0; k < sorted.size() && k < 4; ++k)
                std::printf(" %s %.2f;", sorted[k].second.c_str(), sorted[k].first);
            std::printf("\n");
        };
        std::printf("  the last tick's event loop by receiver and event type (ms):\n");
        printKinds("tree", treeKinds);
        printKinds("table", tableKinds);
        std::printf("  the worker's part (not on the window's thread): median %.1f ms\n", Median(workerMs));
        std::printf("  rows shown: %d, %d, %d; the selected row still on its socket: %s\n", tables[0].model.rowCount(),
                    tables[1].model.rowCount(), tables[2].model.rowCount(),
                    tables[0].view.currentIndex().isValid() ? "yes" : "no (it closed)");

        // Sorting by every column, both ways, on the table in the pane's
        // order.
        std::printf("\nsorting at %d rows, window's thread (target <= 100 ms each):\n", tables[0].model.rowCount());
        TableUnderTest& plain = tables[0];
        std::vector<double> sorts;
        for (int section = 0; section < plain.model.columnCount(); ++section) {
            const double up = TimeStep(app, [&] { plain.view.sortByColumn(section, Qt::AscendingOrder); });
            const double down = TimeStep(app, [&] { plain.view.sortByColumn(section, Qt::DescendingOrder); });
            std::printf("  %-14s ascending %6.1f ms, descending %6.1f ms\n",
                        plain.model.headerData(section, Qt::Horizontal).toString().toUtf8().constData(), up, down);
            sorts.push_back(up);
            sorts.push_back(down);
        }
        const double unsort = TimeStep(app, [&] { plain.view.sortByColumn(-1, Qt::AscendingOrder); });
        std::printf("  back to the pane's order %.1f ms; the slowest sort %.1f ms; ss -tanp %.1f ms\n", unsort,
                    Max(sorts), ssMs);

        // A filter change, as a keystroke in the filter field: the call
        // from an event, its slices, the reorder, the view's layout and
        // paint.
        std::printf("\nfilter change at %d rows: the longest single stretch the window's thread is busy "
                    "(target <= 16 ms):\n",
                    plain.model.rowCount());
        app.model = &plain.model;
        struct Filter {
            const char* what;
            sockets::RecordFilter filter;
        };
        const std::vector<sockets::Column> columns = CSocketTableModel::SocketColumns();
        const Filter filters[] = {
            {"local port 8080", [](const sockets::Record& r) { return r.localPort == kPort; }},
            {"off again", nullptr},
            {"a word in any column's text (no row has it)",
             [&columns](const sockets::Record& r) {
                 for (sockets::Column c : columns)
                     if (sockets::ColumnText(r, c).find("zq") != std::string::npos) return true;
                 return false;
             }},
            {"off again", nullptr},
        };
        for (const Filter& f : filters) {
            ProcessUntilIdle(app);
            app.accounts = Accounts{};
            const auto start = Clock::now();
            QTimer::singleShot(0, &plain.model, [&] { plain.model.SetFilter(f.filter); });
            for (int pass = 0; pass < 100000 && (app.accounts.outerEvents == 0 || plain.model.FilterPending()); ++pass)
                QCoreApplication::processEvents();
            ProcessUntilIdle(app);
            std::printf("  %-46s longest %5.2f ms, %3d slices after the first, %6.1f ms in all, %d rows shown\n",
                        f.what, app.accounts.longestMs, app.accounts.filterSlices, Millis(Clock::now() - start),
                        plain.model.rowCount());
        }
        app.model = nullptr;

        // Memory: the tree's items and the table's rows for one table, both
        // shown and painted; the records (made on the worker, shared with
        // the worker's lines) and the tree's texts counted apart.
        ProcessUntilIdle(app);
        std::size_t recordBytes = 0;
        sockets::TableRows fresh;
        {
            sockets::TableRows taken = worker.Take();
            for (sockets::Row& row : taken.rows) row.record.reset();
            const std::size_t before = HeapInUse();
            sockets::AttachRecords(taken);
            recordBytes = HeapInUse() - before;
            fresh = std::move(taken);
        }
        std::size_t textBytes = 0;
        for (const sockets::Row& row : fresh.rows) textBytes += (row.text.capacity() + 1) * sizeof(char16_t);
        const std::size_t m0 = HeapInUse();
        auto* tree = new CViewTree;
        tree->setFont(pane.Tree().font());
        {
            HTREEITEM root = tree->AppendItem(TVI_ROOT, u"TCP Connections", kImageRoot);
            std::vector<HTREEITEM> items;  // as the pane keeps them
            items.reserve(fresh.rows.size());
            for (const sockets::Row& row : fresh.rows) items.push_back(tree->AppendItem(root, row.text, kImageValue));
            tree->resize(450, 520);
            tree->show();
            ProcessUntilIdle(app);
            tree->repaint();
            const std::size_t m1 = HeapInUse();
            std::vector<sockets::RecordPtr> records;
            records.reserve(fresh.rows.size());
            for (const sockets::Row& row : fresh.rows) records.push_back(row.record);
            auto* model = new CSocketTableModel(CSocketTableModel::SocketColumns());
            auto* view = new CTableView;
            view->setModel(model);
            model->Reset(std::move(records));
            view->resize(1280, 520);
            view->show();
            ProcessUntilIdle(app);
            view->viewport()->repaint();
            const std::size_t m2 = HeapInUse();
            const double treeBytes = static_cast<double>(m1 - m0) + static_cast<double>(items.capacity() * sizeof(HTREEITEM));
            const double tableBytes = static_cast<double>(m2 - m1);
            std::printf("\nmemory at %zu rows (heap in use, shown and painted; target table <= 1.5x tree):\n",
                        fresh.rows.size());
            std::printf("  tree view: %.2f MiB (its items and texts); table view: %.2f MiB (its rows, order and "
                        "view); table / tree = %.2f\n",
                        treeBytes / 1048576.0, tableBytes / 1048576.0, tableBytes / treeBytes);
            std::printf("  the records the table shares with the worker's lines: %.2f MiB (the texts the tree copies "
                        "from them: %.2f MiB); table with the records / tree = %.2f\n",
                        static_cast<double>(recordBytes) / 1048576.0, static_cast<double>(textBytes) / 1048576.0,
                        (tableBytes + static_cast<double>(recordBytes)) / treeBytes);
            delete view;
            delete model;
        }
        delete tree;
    }
    holders.End();
    return status;
}
