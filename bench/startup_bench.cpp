// How long the program takes to come up: from process start to the main
// window shown with its ribbon and all its panes built, against an empty Qt
// main window started the same way (a fresh process of this benchmark, Qt's
// offscreen platform, the same settings), measured in the same run.  As
// root, it measures again with 10,000 established TCP connections (20,001
// sockets) in a network namespace of its own.  Every process it starts is
// ended by its pid.
//
// It also measures how long the TCP socket pane takes to show its lines
// (its first rowsShown: the worker's table arrived and the lines were
// written), from the start of the process and from the window shown,
// against `ss -tanp` at the same size.
//
// Under a real X server: when Xvfb is installed, it starts one on a free
// display (1366x768x24) and times the same starts with Qt's xcb platform,
// from the start of the process to the main window exposed (mapped and
// told to draw), against an empty Qt main window started the same way,
// with no sockets and with the 10,000 connections; Xvfb is ended by its pid.
//
//   startup_bench            the measurements
//   startup_bench --child MODE    one start (used by the measurements):
//     app, app-all, empty        offscreen, as before
//     +lines                     ...and wait for the TCP pane's lines
//     +exposed                   ...and wait for the window to be exposed
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "CMainFrame.h"
#include "LoopbackConnections.h"
#include "CNetworkDataView.h"
#include "CTessalineApp.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 9;
constexpr int kConnections = 10000;

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// Runs the event loop until `done` holds, at most `limitMs` (a timer wakes
// the loop so that the limit is kept); false when it did not come.
template <typename Done>
bool WaitFor(Done done, int limitMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer wake;
    wake.start(20);
    while (!done()) {
        if (elapsed.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool Exposed(const QWidget& window) {
    return window.windowHandle() != nullptr && window.windowHandle()->isExposed();
}

// One start in this process: the window shown, then out at once (nothing is
// saved, as both kinds of start end the same way).  With "+exposed" it
// first waits for the window to be exposed; with "+lines" for the TCP
// pane's first lines, and prints how long after the window was shown they
// were complete, in ms.
int Child(const std::string& mode) {
    static int argc = 1;
    static char name[] = "startup_bench";
    static char* argv[] = {name, nullptr};
    const bool waitExposed = mode.find("+exposed") != std::string::npos;
    const bool waitLines = mode.find("+lines") != std::string::npos;
    const std::string base = mode.substr(0, mode.find('+'));
    QApplication app(argc, argv);
    if (base == "app" || base == "app-all") {
        CTessalineApp theApp;
        if (!theApp.InitInstance({})) _exit(3);
        if (theApp.MainFrame() == nullptr || !theApp.MainFrame()->isVisible()) _exit(4);
        QElapsedTimer sinceShown;
        sinceShown.start();
        // The panes behind other tabs make their content when they first
        // come on screen; "app-all" makes it for all of them before the window
        // is drawn.
        if (base == "app-all") {
            for (CNetworkDataView* pane : theApp.MainFrame()->Panes())
                if (pane->widget() == nullptr && !pane->Create()) _exit(5);
        }
        if (waitExposed && !WaitFor([&] { return Exposed(*theApp.MainFrame()); }, 20000)) _exit(6);
        if (waitLines) {
            CNetworkDataView* tcp = nullptr;
            for (CNetworkDataView* pane : theApp.MainFrame()->Panes())
                if (pane->m_nKind == kKindTcpConnections) tcp = pane;
            if (tcp == nullptr || tcp->widget() == nullptr) _exit(7);
            // A pane that has its rows already showed them while the window
            // was being made.
            if (!WaitFor([tcp] { return !tcp->AwaitingRows(); }, 60000)) _exit(8);
            const double ms = static_cast<double>(sinceShown.nsecsElapsed()) / 1e6;
            QApplication::processEvents();
            std::printf("%f\n", ms);
            std::fflush(stdout);
            _exit(0);
        }
        QApplication::processEvents();
        _exit(0);
    }
    // The same size as the program's main window when it first opens, so
    // that both draw as many pixels.
    QMainWindow window;
    window.setCentralWidget(new QLabel(QStringLiteral("empty")));
    const QScreen* screen = QGuiApplication::primaryScreen();
    window.resize(FirstWindowSize(screen != nullptr ? screen->availableGeometry().size() : QSize()));
    window.show();
    if (waitExposed && !WaitFor([&] { return Exposed(window); }, 20000)) _exit(6);
    QApplication::processEvents();
    _exit(window.isVisible() ? 0 : 4);
}

// The wall time of one start, from the spawn to the exit; < 0 when it
// failed.  With `out`, what the start printed.
double TimeStart(const std::string& self, const std::string& mode, std::string* out = nullptr) {
    std::vector<std::string> args = {self, "--child", mode};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (out != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out != nullptr) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (out != nullptr) {
        close(pipeFds[1]);
        char buf[256];
        ssize_t n;
        while (rc == 0 && (n = read(pipeFds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<std::size_t>(n));
        close(pipeFds[0]);
    }
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return Millis(Clock::now() - start);
}

// The wall time of one `ss -tanp`, its output discarded; < 0 when it failed.
double TimeSs() {
    char ss[] = "ss", opts[] = "-tanp";
    char* argv[] = {ss, opts, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "ss", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return Millis(Clock::now() - start);
}

struct Figures {
    double shown, all, empty;
};

// Starts of the three kinds, interleaved so that all see the same machine.
Figures Measure(const std::string& self) {
    std::vector<double> shown, all, empty;
    TimeStart(self, "app-all");  // warms the file cache for all
    TimeStart(self, "empty");
    for (int i = 0; i < kRuns; ++i) {
        shown.push_back(TimeStart(self, "app"));
        all.push_back(TimeStart(self, "app-all"));
        empty.push_back(TimeStart(self, "empty"));
    }
    return {Median(shown), Median(all), Median(empty)};
}

// The target applies to the machine as it is; with 10,000 connections the
// figures are reported, the socket pane then holding 20,001 lines.
void Report(const char* what, const Figures& f, bool target) {
    if (f.shown < 0 || f.all < 0 || f.empty < 0) {
        std::printf("%s: failed to start\n", what);
        return;
    }
    const char* note = target ? " (target <= 2.0)" : "";
    std::printf("%s (empty Qt main window: %.1f ms)\n", what, f.empty);
    std::printf("  window shown, the four panes on screen built %8.1f ms   ratio %.2f%s\n", f.shown,
                f.shown / f.empty, note);
    std::printf("  window shown, all fourteen panes built       %8.1f ms   ratio %.2f%s\n", f.all, f.all / f.empty,
                note);
}

// The TCP pane's lines: starts that wait for them, interleaved with runs
// of ss -tanp.  `suffix` is added to the start's mode ("+exposed" under X).
struct Lines {
    double fromStart = -1, fromShown = -1, ss = -1;
};

Lines MeasureLines(const std::string& self, const std::string& suffix = "") {
    std::vector<double> fromStart, fromShown, ss;
    TimeSs();
    for (int i = 0; i < kRuns; ++i) {
        std::string out;
        const double whole = TimeStart(self, "app+lines" + suffix, &out);
        if (whole < 0 || out.empty()) return {};
        fromStart.push_back(whole);
        fromShown.push_back(std::atof(out.c_str()));
        const double s = TimeSs();
        if (s < 0) return {};
        ss.push_back(s);
    }
    return {Median(fromStart), Median(fromShown), Median(ss)};
}

void ReportLines(const Lines& l) {
    if (l.fromStart < 0 || l.ss < 0) {
        std::printf("  TCP pane's lines complete: failed to measure\n");
        return;
    }
    std::printf("  TCP pane's lines complete (first rows shown), ss -tanp %.1f ms:\n", l.ss);
    std::printf("    counted from the window shown              %8.1f ms   ratio to ss -tanp %.2f (target <= 1.0)\n",
                l.fromShown, l.fromShown / l.ss);
    std::printf("    counted from the start of the process      %8.1f ms   ratio to ss -tanp %.2f\n", l.fromStart,
                l.fromStart / l.ss);
}

// The X server for the xcb figures: Xvfb on the first free display from
// :93, ended by its pid.
struct XServer {
    pid_t pid = -1;
    std::string display;

    bool Start() {
        for (int n = 93; n < 100; ++n) {
            char lock[64], socketPath[64], name[16];
            std::snprintf(lock, sizeof lock, "/tmp/.X%d-lock", n);
            std::snprintf(socketPath, sizeof socketPath, "/tmp/.X11-unix/X%d", n);
            std::snprintf(name, sizeof name, ":%d", n);
            struct stat st {};
            if (stat(lock, &st) == 0 || stat(socketPath, &st) == 0) continue;
            display = name;
            std::vector<std::string> args = {"Xvfb", display, "-screen", "0", "1366x768x24", "-nolisten", "tcp"};
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
            const int rc = posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
            posix_spawn_file_actions_destroy(&actions);
            if (rc != 0) {
                pid = -1;
                return false;
            }
            // Ready when its socket is there (at most 10 s).
            for (int i = 0; i < 1000; ++i) {
                if (stat(socketPath, &st) == 0) return true;
                if (waitpid(pid, nullptr, WNOHANG) == pid) break;
                usleep(10 * 1000);
            }
            Stop();
        }
        return false;
    }
    void Stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

bool HaveXvfb() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t at = 0;
    while (at <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/Xvfb";
        if (access(candidate.c_str(), X_OK) == 0) return true;
        at = end + 1;
    }
    return false;
}

// Under X: the window exposed, for the program and for the empty window.
struct XFigures {
    double app = -1, empty = -1;
};

XFigures MeasureExposed(const std::string& self) {
    std::vector<double> app, empty;
    TimeStart(self, "app+exposed");
    TimeStart(self, "empty+exposed");
    for (int i = 0; i < kRuns; ++i) {
        app.push_back(TimeStart(self, "app+exposed"));
        empty.push_back(TimeStart(self, "empty+exposed"));
    }
    if (std::any_of(app.begin(), app.end(), [](double v) { return v < 0; }) ||
        std::any_of(empty.begin(), empty.end(), [](double v) { return v < 0; }))
        return {};
    return {Median(app), Median(empty)};
}

void ReportExposed(const char* what, const XFigures& f) {
    if (f.app < 0 || f.empty < 0) {
        std::printf("%s: failed to start under X\n", what);
        return;
    }
    std::printf("%s, xcb (empty Qt main window exposed: %.1f ms)\n", what, f.empty);
    std::printf("  start to the main window exposed             %8.1f ms   ratio %.2f (target <= 2.0)\n", f.app,
                f.app / f.empty);
}

// Switches the children to the X server and back.
void UseX(const XServer& x) {
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("DISPLAY", x.display.c_str(), 1);
}
void UseOffscreen() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    unsetenv("DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--child") return Child(argv[2]);

    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return 1;
    const std::string self(exe, static_cast<std::size_t>(n));

    // Settings of the benchmark's own, past the first run (no About box).
    QTemporaryDir dir;
    if (!dir.isValid()) return 1;
    const std::string root = dir.path().toStdString();
    std::system(("mkdir -p '" + root + "/config/Ulvo Systems' '" + root + "/data' '" + root + "/runtime'").c_str());
    chmod((root + "/runtime").c_str(), 0700);
    std::ofstream(root + "/config/Ulvo Systems/Tessaline.conf") << "[Workspace]\nFirstRun=0\n";
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::printf("Start-up to the main window shown, median of %d starts each\n", kRuns);
    Report("This machine", Measure(self), true);
    ReportLines(MeasureLines(self));

    // The X server, when there is one to start.
    XServer x;
    const bool haveX = HaveXvfb() && x.Start();
    if (!haveX)
        std::printf("xcb figures: skipped (%s)\n", HaveXvfb() ? "Xvfb did not start" : "Xvfb is not installed");
    if (haveX) {
        std::printf("\nUnder Xvfb on %s (1366x768x24), Qt's xcb platform, median of %d starts each\n",
                    x.display.c_str(), kRuns);
        UseX(x);
        ReportExposed("This machine", MeasureExposed(self));
        ReportLines(MeasureLines(self, "+exposed"));
        UseOffscreen();
    }

    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp() ||
        !RaiseDescriptorLimit(kConnections + 200)) {
        std::printf("with 10,000 TCP connections: skipped (needs root for a network namespace)\n");
        x.Stop();
        return 0;
    }
    Connections c = OpenConnections(kConnections);
    if (c.fds.size() != static_cast<std::size_t>(kConnections) + 1) {
        std::printf("with 10,000 TCP connections: could not open them (%zu)\n", c.fds.size());
    } else {
        std::printf("\n");
        Report("With 10,000 TCP connections", Measure(self), false);
        ReportLines(MeasureLines(self));
        if (haveX) {
            // The X server's socket is a file: reached from this namespace.
            UseX(x);
            ReportExposed("With 10,000 TCP connections", MeasureExposed(self));
            ReportLines(MeasureLines(self, "+exposed"));
            UseOffscreen();
        }
    }
    for (int fd : c.fds) close(fd);
    if (c.clientHolder > 0) {
        kill(c.clientHolder, SIGTERM);
        waitpid(c.clientHolder, nullptr, 0);
    }
    x.Stop();
    return 0;
}
