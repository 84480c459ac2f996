// How long the window's thread is busy with one refresh of the TCP pane on a
// machine whose connections come and go, against `ss -tanp` on the same
// sockets in the same run.
//
// In a network namespace of its own (run as root), two holder processes keep
// 2,500 and then 10,000 established loopback connections (5,001 and 20,001
// sockets with the listener).  Between two ticks they close 1% of them (both
// ends, with a reset, so that no TIME_WAIT lines pile up and the count stays
// the same) and open as many new ones.  Each tick is the pane's refresh
// command: the socket worker takes the table and compares it with the
// lines it last handed the pane, the edits arrive on the window's thread
// through the event loop, and the pane applies them to its tree.
//
// What a tick counts, on the window's thread, measured from the moment the
// rows arrive (the first slot on the feed's rowsArrived, connected before
// the pane's) to the moment the event loop has nothing left to do:
//   - the pane's slot: the worker's edits applied to the tree
//     (ShowSocketDelivery), then rowsShown;
//   - everything the event loop then runs before it goes idle: the tree's
//     follow-up timer (scroll bars, keeping the top line in place), the
//     window's update request with the tree's paint into the backing store,
//     and the log events the worker posts after the rows.
// "Idle" is a pass of QCoreApplication::processEvents() that delivers no
// event at all (every delivery is seen in QApplication::notify).  The time
// the worker spends taking the table is not counted; it is printed
// separately (from the refresh command to the rows' arrival).  Every
// delivery is also timed by kind, which tells where a tick goes.
//
// The pane is a floating dock, 450 by 520 pixels (the TCP pane's width in
// the main window), on Qt's offscreen platform.  Every process it starts is
// ended by its pid.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CNetworkDataView.h"
#include "ChurnHolders.h"
#include "CSocketFeed.h"
#include "LoopbackConnections.h"
#include "SocketDiff.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTicks = 15;
constexpr int kWarmUpTicks = 2;
constexpr int kSsRuns = 7;
constexpr int kSizes[] = {2500, 10000};
constexpr std::uint16_t kPort = 8080;
constexpr int kRowsWaitMs = 30000;

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Max(const std::vector<double>& v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }

// ------------------------------------------------------------- the holder
//
// Processes of their own hold both ends of every connection (ChurnHolders.h),
// so that the window's process holds none and the churn costs it nothing.

using churn::Holders;
using churn::Op;

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

// ------------------------------------------------ the window's thread, timed
//
// Every event delivered on the window's thread passes through notify: the
// outermost deliveries are added up (the thread's busy time) and counted
// (to tell when the loop is idle), and some are timed by kind.

struct Accounts {
    double busyMs = 0;
    long outerEvents = 0;
    Clock::time_point lastEnd{};
    double feedCallsMs = 0;     // queued calls to the feed: rows, log events
    double treeTimerMs = 0;     // the tree's follow-up after a change
    double treePaintMs = 0;     // the tree's paint events
    int treePaints = 0;
    double windowUpdateMs = 0;  // the top-level window's update requests (all its painting)
};

class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    Accounts accounts;
    const QObject* feed = nullptr;
    const QObject* tree = nullptr;
    const QObject* window = nullptr;

    bool notify(QObject* receiver, QEvent* event) override {
        const QEvent::Type type = event->type();
        const auto start = Clock::now();
        ++m_depth;
        const bool result = QApplication::notify(receiver, event);
        --m_depth;
        const auto end = Clock::now();
        const double ms = Millis(end - start);
        if (m_depth == 0) {
            accounts.busyMs += ms;
            ++accounts.outerEvents;
            accounts.lastEnd = end;
        }
        if (receiver == feed && type == QEvent::MetaCall) accounts.feedCallsMs += ms;
        if (receiver == tree && type == QEvent::Timer) accounts.treeTimerMs += ms;
        if (receiver == tree && type == QEvent::Paint) {
            accounts.treePaintMs += ms;
            ++accounts.treePaints;
        }
        if (receiver == window && type == QEvent::UpdateRequest) accounts.windowUpdateMs += ms;
        return result;
    }

private:
    int m_depth = 0;
};

// Runs the event loop until a pass delivers nothing (at most 200 passes).
void ProcessUntilIdle(TimedApplication& app) {
    for (int pass = 0; pass < 200; ++pass) {
        const long before = app.accounts.outerEvents;
        QCoreApplication::processEvents();
        if (app.accounts.outerEvents == before) return;
    }
}

struct Tick {
    double uiMs = 0;       // rows' arrival to idle
    double busyMs = 0;     // the deliveries alone in that time
    double workerMs = 0;   // refresh command to the rows' arrival
    double showMs = 0;     // the pane's own figure: ShowSocketDelivery
    std::size_t edits = 0;  // edits the worker sent
    double followMs = 0;   // the tree's follow-up timer
    double paintMs = 0;    // the tree's paints
    double windowMs = 0;   // the window's update requests
    double paintAloneMs = 0;  // one repaint of the tree afterwards, nothing pending
    int paints = 0;
    bool forcedPaint = false;
    std::size_t rows = 0;
};

class Bench {
public:
    Bench(TimedApplication& app, CSocketFeed& feed, CNetworkDataView& pane) : m_app(app), m_pane(pane) {
        // Connected before the pane connects its own slot, so it runs first
        // and marks the rows' arrival; it only keeps the rows.
        QObject::connect(&feed, &CSocketFeed::rowsArrived, &feed,
                         [this](const std::shared_ptr<const sockets::RowsDelivery>& rows) {
                             if (rows == nullptr || rows->table != sockets::Table::Tcp) return;
                             m_arrival = Clock::now();
                             m_rows = rows;
                         });
    }

    void Connect() {
        QObject::connect(&m_pane, &CNetworkDataView::rowsShown, &m_pane, [this] { ++m_shown; });
    }

    // One refresh of the pane, timed; false when its rows did not come.
    bool RunTick(Tick& tick) {
        ProcessUntilIdle(m_app);  // nothing of before in the figures
        const int shownBefore = m_shown;
        m_rows.reset();
        bool late = false;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, [&late] { late = true; });
        deadline.start(kRowsWaitMs);
        const auto request = Clock::now();
        m_pane.OnRefresh();
        while (m_shown == shownBefore && !late) {
            // The accounts start with the delivery that brings the rows.
            if (m_rows == nullptr) m_app.accounts = Accounts{};
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        deadline.stop();
        if (m_shown == shownBefore || m_rows == nullptr) return false;
        ProcessUntilIdle(m_app);
        // The offscreen window paints on its update request; should it not
        // have, one paint is forced and counted.
        if (m_app.accounts.treePaints == 0) {
            tick.forcedPaint = true;
            const auto start = Clock::now();
            m_pane.Tree().repaint();
            m_app.accounts.lastEnd = Clock::now();
            m_app.accounts.busyMs += Millis(m_app.accounts.lastEnd - start);
        }
        const Accounts a = m_app.accounts;
        tick.uiMs = Millis(a.lastEnd - m_arrival);
        tick.busyMs = a.busyMs;
        tick.workerMs = Millis(m_arrival - request);
        tick.showMs = static_cast<double>(m_pane.LastRowsMicroseconds()) / 1000.0;
        tick.followMs = a.treeTimerMs;
        tick.paintMs = a.treePaintMs;
        tick.paints = a.treePaints;
        tick.windowMs = a.windowUpdateMs;
        tick.rows = m_rows->lineCount;
        tick.edits = m_rows->edits.size();

        // Untimed for the tick: one more paint of the tree with nothing
        // pending.
        const auto paintStart = Clock::now();
        m_pane.Tree().repaint();
        tick.paintAloneMs = Millis(Clock::now() - paintStart);
        ProcessUntilIdle(m_app);
        return true;
    }

private:
    TimedApplication& m_app;
    CNetworkDataView& m_pane;
    Clock::time_point m_arrival{};
    std::shared_ptr<const sockets::RowsDelivery> m_rows;
    int m_shown = 0;
};

template <typename Field>
std::vector<double> Column(const std::vector<Tick>& ticks, Field field) {
    std::vector<double> v;
    for (const Tick& t : ticks) v.push_back(t.*field);
    return v;
}

void Report(int sockets, const std::vector<Tick>& ticks, double ss) {
    const std::vector<double> ui = Column(ticks, &Tick::uiMs);
    const double median = Median(ui);
    std::printf("\nui tick at %d sockets: median %.2f ms, max %.2f ms (target <= 8 ms median)\n", sockets, median,
                Max(ui));
    if (ss > 0)
        std::printf("  ss -tanp at the same size: %.1f ms; ui tick median / ss -tanp = %.3f\n", ss, median / ss);
    else
        std::printf("  ss -tanp could not run\n");
    const std::vector<double> worker = Column(ticks, &Tick::workerMs);
    std::printf("  worker per table (refresh command to the rows' arrival, not on the window's thread): "
                "median %.1f ms, max %.1f ms\n",
                Median(worker), Max(worker));
    if (ss > 0) std::printf("    worker median / ss -tanp = %.2f\n", Median(worker) / ss);
    // The follow-up (scroll bars, the list of shown rows, the widest line,
    // the top line kept in place) runs in the tree's first paint when the
    // window's update request comes before its timer: its share is what the
    // paints took beyond as many paints with nothing pending.
    std::vector<double> followInPaint;
    for (const Tick& t : ticks) {
        followInPaint.push_back(std::max(0.0, t.paintMs - t.paints * t.paintAloneMs));
    }
    std::printf("  where a tick goes (medians over the ticks, ms):\n");
    std::printf("    window's thread busy (deliveries only)          %7.2f\n", Median(Column(ticks, &Tick::busyMs)));
    std::printf("    the worker's edits applied (ShowSocketDelivery) %7.2f\n", Median(Column(ticks, &Tick::showMs)));
    std::printf("    the tree's follow-up timer, when before a paint %7.2f\n", Median(Column(ticks, &Tick::followMs)));
    std::printf("    window's update requests (all painting)         %7.2f\n", Median(Column(ticks, &Tick::windowMs)));
    std::printf("      of which the tree's paint events              %7.2f\n", Median(Column(ticks, &Tick::paintMs)));
    std::printf("        the follow-up run inside them (estimate)    %7.2f\n", Median(followInPaint));
    std::printf("    one tree repaint with nothing pending           %7.2f\n", Median(Column(ticks, &Tick::paintAloneMs)));
    int forced = 0, paints = 0;
    for (const Tick& t : ticks) {
        forced += t.forcedPaint ? 1 : 0;
        paints += t.paints;
    }
    std::printf("  rows per table %zu; tree paints in the ticks %d%s\n", ticks.empty() ? 0 : ticks.back().rows, paints,
                forced > 0 ? " (some paints forced: the loop did not paint)" : "");
    std::printf("  every tick (ui ms):");
    for (double v : ui) std::printf(" %.2f", v);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()) {
        std::fprintf(stderr, "live_bench: needs root to make a network namespace of its own\n");
        return 77;
    }
    // Each holder keeps both ends of half the largest set.
    if (!RaiseDescriptorLimit(static_cast<rlim_t>(kSizes[1]) + 1024)) {
        std::fprintf(stderr, "live_bench: cannot raise the descriptor limit\n");
        return 1;
    }
    Holders holder;
    if (!holder.Start(kPort)) {  // before any thread
        holder.End();
        std::fprintf(stderr, "live_bench: cannot start the holder\n");
        return 1;
    }

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int status = 0;
    {
        TimedApplication app(argc, argv);
        CSocketFeed feed;
        CNetworkDataView pane(kKindTcpConnections, DeferSnapshot{});
        Bench bench(app, feed, pane);
        if (!pane.Create()) {
            std::fprintf(stderr, "live_bench: the pane cannot be made\n");
            holder.End();
            return 1;
        }
        bench.Connect();
        pane.resize(450, 520);
        pane.show();
        app.feed = &feed;
        app.tree = &pane.Tree();
        app.window = &pane;
        // The first rows, asked for when the pane was made.
        for (int i = 0; i < kRowsWaitMs / 10 && pane.AwaitingRows(); ++i) {
            QCoreApplication::processEvents();
            usleep(10 * 1000);
        }
        ProcessUntilIdle(app);
        if (pane.windowHandle() == nullptr || !pane.windowHandle()->isExposed())
            std::printf("note: the pane's window is not exposed\n");

        std::printf("TCP pane refresh with 1%% of the connections replaced between ticks, %d ticks after %d "
                    "untimed, offscreen platform\n",
                    kTicks, kWarmUpTicks);
        for (int connections : kSizes) {
            const int sockets = 2 * connections + 1;
            const auto setup = Clock::now();
            if (holder.Send(Op::Open, connections) != connections) {
                std::fprintf(stderr, "live_bench: could not open %d connections\n", connections);
                status = 1;
                break;
            }
            std::printf("\n%d connections open (%d sockets, set up in %.0f ms)\n", connections, sockets,
                        Millis(Clock::now() - setup));
            const int churn = connections / 100;
            std::vector<Tick> ticks;
            bool failed = false;
            // Two refreshes bring the pane to the new set (the closed lines
            // of the set before go on the second), then the warm-up ticks.
            for (int i = 0; i < 2 + kWarmUpTicks + kTicks && !failed; ++i) {
                if (i >= 2 && holder.Send(Op::Churn, churn) != connections) {
                    std::fprintf(stderr, "live_bench: the churn failed\n");
                    failed = true;
                    break;
                }
                // The kernel's close notifications reach the log between
                // ticks, as they would in the window.
                usleep(20 * 1000);
                ProcessUntilIdle(app);
                Tick tick;
                if (!bench.RunTick(tick)) {
                    std::fprintf(stderr, "live_bench: the rows did not come\n");
                    failed = true;
                    break;
                }
                if (i >= 2 + kWarmUpTicks) ticks.push_back(tick);
            }
            if (failed) {
                status = 1;
                break;
            }
            std::vector<double> ss;
            for (int i = 0; i < kSsRuns; ++i) ss.push_back(RunQuietly({"ss", "-tanp"}));
            const bool ssFailed = std::any_of(ss.begin(), ss.end(), [](double v) { return v < 0; });
            Report(sockets, ticks, ssFailed ? -1 : Median(ss));
            std::printf("  the pane shows %zu lines\n", pane.Tree().ChildCount(pane.SocketRoot()));
        }
    }
    holder.End();
    return status;
}
