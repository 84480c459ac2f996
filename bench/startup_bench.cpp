// How long the program takes to come up: from process start to the main
// window shown with its ribbon and all its panes built, against an empty Qt
// main window started the same way (a fresh process of this benchmark, Qt's
// offscreen platform, the same settings), measured in the same run.  As
// root, it measures again with 10,000 established TCP connections (20,001
// sockets) in a network namespace of its own.  Every process it starts is
// ended by its pid.
//
//   startup_bench            the measurements
//   startup_bench --child app|app-all|empty    one start (used by the measurements)
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QScreen>
#include <QTemporaryDir>
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

// One start in this process: the window shown, then out at once (nothing is
// saved, as both kinds of start end the same way).
int Child(const std::string& mode) {
    static int argc = 1;
    static char name[] = "startup_bench";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    if (mode == "app" || mode == "app-all") {
        CTessalineApp theApp;
        if (!theApp.InitInstance({})) _exit(3);
        if (theApp.MainFrame() == nullptr || !theApp.MainFrame()->isVisible()) _exit(4);
        // The panes behind other tabs make their content when they first
        // come on screen; "app-all" makes it for all of them before the window
        // is drawn.
        if (mode == "app-all") {
            for (CNetworkDataView* pane : theApp.MainFrame()->Panes())
                if (pane->widget() == nullptr && !pane->Create()) _exit(5);
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
    QApplication::processEvents();
    _exit(window.isVisible() ? 0 : 4);
}

double TimeStart(const std::string& self, const std::string& mode) {
    std::vector<std::string> args = {self, "--child", mode};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
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
    std::printf("  window shown, all thirteen panes built       %8.1f ms   ratio %.2f%s\n", f.all, f.all / f.empty,
                note);
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
    std::system(("mkdir -p '" + root + "/config/Ulvo Systems' '" + root + "/data'").c_str());
    std::ofstream(root + "/config/Ulvo Systems/Tessaline.conf") << "[Workspace]\nFirstRun=0\n";
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::printf("Start-up to the main window shown, median of %d starts each\n", kRuns);
    Report("This machine", Measure(self), true);

    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp() ||
        !RaiseDescriptorLimit(kConnections + 200)) {
        std::printf("with 10,000 TCP connections: skipped (needs root for a network namespace)\n");
        return 0;
    }
    Connections c = OpenConnections(kConnections);
    if (c.fds.size() != static_cast<std::size_t>(kConnections) + 1) {
        std::printf("with 10,000 TCP connections: could not open them (%zu)\n", c.fds.size());
    } else {
        Report("With 10,000 TCP connections", Measure(self), false);
    }
    for (int fd : c.fds) close(fd);
    if (c.clientHolder > 0) {
        kill(c.clientHolder, SIGTERM);
        waitpid(c.clientHolder, nullptr, 0);
    }
    return 0;
}
