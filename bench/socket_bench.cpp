// What the socket panes cost on a busy machine, against `ss -tanp` on the
// same sockets in the same run.
//
// In a network namespace of its own (run as root), the benchmark opens
// 10,000 established loopback connections (20,001 sockets with the
// listener), then measures, as ratios against `ss -tanp`:
//   - the TCP owner table snapshot, both calls, first in a process;
//   - the same in steady state (second and later snapshots);
//   - a whole update of the TCP pane into an in-memory tree;
//   - `tessaline --print tcp` as a whole process;
// owners come through the owner helper, as in the program (the figures say
// when they did not);
// and counts the snapshot buffers allocated by steady-state refreshes, and
// compares the peak memory of `tessaline --print tcp` with that of ss.  It
// measures again with 50 idle processes holding 1,000 descriptors each, and
// then `tessaline --print tcp6` against `ss -tanp -6` on as many IPv6
// sockets.
// Every process it starts is ended by its pid.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "IpHelper.h"
#include "LoopbackConnections.h"
#include "MemoryTree.h"
#include "NetworkReport.h"
#include "OwnerClient.h"
#include "ProcessOwner.h"
#include "SocketTables.h"
#include "ConnectionReports.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnections = 10000;
constexpr int kIdleProcesses = 50;
constexpr int kIdleDescriptors = 1000;
constexpr int kRuns = 7;

std::string g_self;
std::size_t benchmark_sink = 0;

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs a command with its output discarded; returns its wall time in ms and
// its peak resident size in KiB, or a negative time when it failed.
struct RunResult {
    double ms = -1;
    long maxRssKiB = 0;
    std::string output;
};

RunResult RunCommand(const std::vector<std::string>& command, bool capture = false) {
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2] = {-1, -1};
    if (capture && pipe(out) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (capture) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    RunResult r;
    if (capture) {
        close(out[1]);
        char buf[4096];
        ssize_t n;
        while (rc == 0 && (n = read(out[0], buf, sizeof buf)) > 0) r.output.append(buf, static_cast<std::size_t>(n));
        close(out[0]);
    }
    if (rc != 0) return r;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return r;
    r.ms = Millis(Clock::now() - start);
    r.maxRssKiB = usage.ru_maxrss;
    return r;
}

double MedianRun(const std::vector<std::string>& command, long* maxRss = nullptr) {
    std::vector<double> times;
    long rss = 0;
    for (int i = 0; i < kRuns; ++i) {
        RunResult r = RunCommand(command);
        if (r.ms < 0) return -1;
        times.push_back(r.ms);
        rss = std::max(rss, r.maxRssKiB);
    }
    if (maxRss != nullptr) *maxRss = rss;
    return Median(times);
}

double MedianOf(const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = Clock::now();
        work();
        times.push_back(Millis(Clock::now() - start));
    }
    return Median(times);
}

// An idle process holding `count` descriptors that are not sockets.
pid_t StartIdleProcess(int count) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    close_range(3, ~0U, 0);  // not the benchmark's sockets
    for (int i = 0; i < count; ++i)
        if (open("/dev/null", O_RDONLY) < 0) break;
    alarm(600);  // ends by itself should the benchmark die
    pause();
    _exit(0);
}

struct Figures {
    double ss = 0, first = 0, steady = 0, update = 0, print = 0, dump = 0, labels = 0;
    long ssRss = 0, printRss = 0;
    unsigned long steadyAllocations = 0;
    int helper = -1;  // the owner helper's pid, -1 when owners were found in process
};

Figures Measure(const std::string& tessaline) {
    Figures f;
    f.ss = MedianRun({"ss", "-tanp"}, &f.ssRss);
    // A fresh process for each first snapshot: nothing remembered yet.
    std::vector<double> firsts;
    for (int i = 0; i < kRuns; ++i) {
        RunResult r = RunCommand({g_self, "--first-snapshot"}, true);
        firsts.push_back(std::atof(r.output.c_str()));
    }
    f.first = Median(firsts);

    CNetworkReport report(kKindTcpConnections);
    g_pTcpOwnerTable->Refresh();
    const unsigned long before = iphelper_testing::TableAllocations();
    f.steady = MedianOf([] { g_pTcpOwnerTable->Refresh(); });
    f.steadyAllocations = iphelper_testing::TableAllocations() - before;
    f.helper = owners::HelperPid();

    std::vector<provider::SocketRow> rows;
    f.dump = MedianOf([&rows] {
        DWORD error = 0;
        provider::CollectSockets(IPPROTO_TCP, rows, error);
    });
    const MIB_TCPTABLE_OWNER_PID* table = CurrentTcpOwnerTable();
    f.labels = MedianOf([table] {
        CProcessExplorer explorer;
        for (DWORD i = 0; table != nullptr && i < table->dwNumEntries; ++i)
            benchmark_sink += explorer.GetProcessLabel(table->table[i].dwOwningPid).size();
    });

    MemoryTree tree;
    report.SetReportTree(&tree);
    report.BuildReport();
    f.update = MedianOf([&report] { report.UpdateReport(); });
    if (tree.ChildCount(report.m_hTcpConnRoot) < 2u * kConnections)
        std::fprintf(stderr, "warning: the pane shows %zu lines\n", tree.ChildCount(report.m_hTcpConnRoot));

    f.print = MedianRun({tessaline, "--print", "tcp"}, &f.printRss);
    return f;
}

void Report(const char* title, const Figures& f) {
    std::printf("\n%s\n", title);
    std::printf("  %-44s %9.1f ms\n", "ss -tanp", f.ss);
    if (f.helper > 0)
        std::printf("  owners found by the owner helper (pid %d)\n", f.helper);
    else
        std::printf("  owners found in process: no owner helper answered\n");
    std::printf("  %-44s %9.1f ms   ratio %.2f (at most 0.75)\n", "owner table snapshot, first in the process", f.first,
                f.first / f.ss);
    std::printf("  %-44s %9.1f ms   ratio %.2f (at most 0.35)\n", "owner table snapshot, steady state", f.steady,
                f.steady / f.ss);
    std::printf("  %-44s %9.1f ms   ratio %.2f (at most 1.0)\n", "TCP pane update into a tree", f.update,
                f.update / f.ss);
    std::printf("  %-44s %9.1f ms   ratio %.2f (at most 1.0)\n", "tessaline --print tcp", f.print, f.print / f.ss);
    std::printf("  %-44s %9.1f ms   ratio %.2f\n", "  of which the netlink dump alone", f.dump, f.dump / f.ss);
    std::printf("  %-44s %9.1f ms   ratio %.2f\n", "one process label per row", f.labels, f.labels / f.ss);
    std::printf("  %-44s %9lu\n", "snapshot buffers allocated by steady refreshes", f.steadyAllocations);
    std::printf("  %-44s %6ld KiB against ss's %ld KiB (ratio %.2f)\n", "peak RSS of tessaline --print tcp",
                f.printRss, f.ssRss, static_cast<double>(f.printRss) / static_cast<double>(f.ssRss));
}

// What the byte counts add: the TCP dumps carry each connection's tcp_info
// once the process has asked for a connection's statistics, and the
// statistics of every row are then asked after each table.  Measured last:
// the dumps go on carrying tcp_info for the rest of the process.
void MeasureByteCounts(double ss) {
    const double plain = MedianOf([] { g_pTcpOwnerTable->Refresh(); });
    CSocketTable worker(CSocketTable::Kind::Tcp);
    const double rowsPlain = MedianOf([&worker] { benchmark_sink += sockets::TakeRows(worker).rows.size(); });
    // The first question turns the statistics on.
    const MIB_TCPTABLE_OWNER_PID* table = CurrentTcpOwnerTable();
    TcpConnectionStatistics stats;
    if (table == nullptr || table->dwNumEntries == 0 || !GetConnectionStatistics(table->table[0], stats)) {
        std::printf("\nbyte counts: the provider gives no connection statistics\n");
        return;
    }
    const double withInfo = MedianOf([] { g_pTcpOwnerTable->Refresh(); });
    const double asked = MedianOf([] {
        const MIB_TCPTABLE_OWNER_PID* t = CurrentTcpOwnerTable();
        TcpConnectionStatistics s;
        for (DWORD i = 0; t != nullptr && i < t->dwNumEntries; ++i)
            benchmark_sink += GetConnectionStatistics(t->table[i], s) ? s.bytesReceived : 0;
    });
    const double rowsFacts = MedianOf([&worker] { benchmark_sink += sockets::TakeRows(worker, true).rows.size(); });
    std::printf("\nbyte counts on the TCP owner table at %d sockets (steady state)\n", 2 * kConnections + 1);
    std::printf("  %-44s %9.1f ms\n", "snapshot, dumps without tcp_info", plain);
    std::printf("  %-44s %9.1f ms   +%.1f ms\n", "snapshot, dumps with tcp_info", withInfo, withInfo - plain);
    std::printf("  %-44s %9.1f ms\n", "statistics of every row asked after it", asked);
    std::printf("  %-44s %9.1f ms   (at most +10 ms)\n", "the byte counts in all", withInfo - plain + asked);
    std::printf("  %-44s %9.1f ms   ratio %.2f\n", "worker's table with every fact (owners too)", rowsFacts,
                rowsFacts / ss);
    std::printf("  %-44s %9.1f ms   ratio %.2f\n", "worker's table without facts", rowsPlain, rowsPlain / ss);
}

int FirstSnapshot() {
    BindIpHelper();
    const auto start = Clock::now();
    CTcpOwnerTable table;
    const double ms = Millis(Clock::now() - start);
    std::printf("%f\n", table.m_bValid ? ms : -1.0);
    return table.m_bValid ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    g_self.assign(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (argc > 1 && std::string(argv[1]) == "--first-snapshot") return FirstSnapshot();
    const std::string tessaline = argc > 1 ? argv[1] : g_self.substr(0, g_self.find_last_of('/')) + "/tessaline";

    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()) {
        std::fprintf(stderr, "socket_bench: needs root to make a network namespace of its own\n");
        return 77;
    }
    if (!RaiseDescriptorLimit(kConnections + 2048)) {
        std::fprintf(stderr, "socket_bench: cannot raise the descriptor limit\n");
        return 1;
    }
    const auto setupStart = Clock::now();
    Connections connections = OpenConnections(kConnections);
    if (connections.fds.size() != kConnections + 1u) {
        std::fprintf(stderr, "socket_bench: accepted %zu connections of %d\n", connections.fds.size() - 1,
                     kConnections);
        if (connections.clientHolder > 0) kill(connections.clientHolder, SIGKILL);
        return 1;
    }
    std::printf("%d sockets in a namespace of their own (set up in %.0f ms)\n", 2 * kConnections + 1,
                Millis(Clock::now() - setupStart));

    Report("10,000 established loopback connections", Measure(tessaline));

    std::vector<pid_t> idle;
    for (int i = 0; i < kIdleProcesses; ++i) idle.push_back(StartIdleProcess(kIdleDescriptors));
    usleep(300 * 1000);
    Report("the same, with 50 idle processes holding 1,000 descriptors each", Measure(tessaline));
    for (pid_t pid : idle) kill(pid, SIGKILL);
    for (pid_t pid : idle) waitpid(pid, nullptr, 0);
    {
        CNetworkReport report(kKindTcpConnections);
        MeasureByteCounts(MedianRun({"ss", "-tanp"}));
    }
    kill(connections.clientHolder, SIGKILL);
    waitpid(connections.clientHolder, nullptr, 0);
    for (int fd : connections.fds) close(fd);

    // The same number of sockets over IPv6, against ss listing IPv6 only.
    Connections six = OpenConnections(kConnections, AF_INET6, 8086);
    if (six.fds.size() != kConnections + 1u) {
        std::fprintf(stderr, "socket_bench: accepted %zu IPv6 connections of %d\n", six.fds.size() - 1, kConnections);
        if (six.clientHolder > 0) kill(six.clientHolder, SIGKILL);
        if (six.clientHolder > 0) waitpid(six.clientHolder, nullptr, 0);
        return 1;
    }
    long ssRss = 0, printRss = 0;
    const double ss6 = MedianRun({"ss", "-tanp", "-6"}, &ssRss);
    const double print6 = MedianRun({tessaline, "--print", "tcp6"}, &printRss);
    std::printf("\n10,000 established IPv6 loopback connections (%d sockets)\n", 2 * kConnections + 1);
    std::printf("  %-44s %9.1f ms\n", "ss -tanp -6", ss6);
    std::printf("  %-44s %9.1f ms   ratio %.2f (at most 1.0)\n", "tessaline --print tcp6", print6, print6 / ss6);
    std::printf("  %-44s %6ld KiB against ss's %ld KiB (ratio %.2f)\n", "peak RSS of tessaline --print tcp6", printRss,
                ssRss, static_cast<double>(printRss) / static_cast<double>(ssRss));
    // Both TCP panes in view: how many times the owner helper walks the
    // processes for their refreshes (the IPv4 and IPv6 tables share one
    // walk, and later refreshes only check what it found).
    {
        CNetworkReport tcp(kKindTcpConnections), tcp6(kKindTcp6Connections);
        MemoryTree tree4, tree6;
        tcp.SetReportTree(&tree4);
        tcp6.SetReportTree(&tree6);
        const auto walks = [] {
            std::uint64_t count = 0;
            return owners::HelperFullWalks(count) ? static_cast<long long>(count) : -1LL;
        };
        const long long before = walks();
        tcp.BuildReport();
        tcp6.BuildReport();
        const long long first = walks();
        constexpr int kRefreshes = 5;
        for (int i = 0; i < kRefreshes; ++i) {
            tcp.UpdateReport();
            tcp6.UpdateReport();
        }
        const long long later = walks();
        if (before < 0 || first < 0 || later < 0) std::printf("  the owner helper does not tell its walks\n");
        std::printf("  %-44s %9lld\n", "owner walks, first refresh of both TCP panes", first - before);
        std::printf("  %-44s %9.1f\n", "owner walks per later refresh of both", double(later - first) / kRefreshes);
    }
    kill(six.clientHolder, SIGKILL);
    waitpid(six.clientHolder, nullptr, 0);
    for (int fd : six.fds) close(fd);
    return 0;
}
