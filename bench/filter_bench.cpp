// What --filter costs on a busy machine, against ss filtering the same
// sockets in the same run.
//
// In a network namespace of its own (run as root), the benchmark opens
// 10,000 established loopback connections to port 80 (20,001 sockets with
// the listener), then measures, as ratios against ss:
//   - `tessaline --print tcp --filter 'state:established lport:80'` against
//     `ss -tanp state established 'sport = :80'` (at most 1.0), each run in
//     turn, and checks that both list the same 10,000 sockets;
//   - the same without a filter, `tessaline --print tcp` against `ss -tanp`;
// and, in process, the filter itself over the 20,001 records of the table:
// what making the records costs, and one pass of a few expressions (typed
// terms, and words that hit at once or are never found, which make every
// column's text), as a window's keystroke would.
// Every process it starts is ended by its pid.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ConnectionReports.h"
#include "IpHelper.h"
#include "LoopbackConnections.h"
#include "SocketFilter.h"
#include "SocketTables.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnections = 10000;
constexpr std::uint16_t kPort = 80;
constexpr int kRuns = 9;

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs a command to its end, its standard error discarded; its wall time in
// ms (negative when it failed) and, when asked, its output.
double Run(const std::vector<std::string>& command, std::string* output = nullptr) {
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2] = {-1, -1};
    if (output != nullptr && pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr) {
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
    if (output != nullptr) {
        close(out[1]);
        char buffer[65536];
        ssize_t n;
        while (rc == 0 && (n = read(out[0], buffer, sizeof buffer)) > 0)
            output->append(buffer, static_cast<std::size_t>(n));
        close(out[0]);
    }
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return Millis(Clock::now() - start);
}

std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Both commands run in turn, kRuns times each: their median times.
struct Pair {
    double ss = -1, tessaline = -1;
};
Pair RunInTurn(const std::vector<std::string>& ss, const std::vector<std::string>& tessaline) {
    std::vector<double> a, b;
    for (int i = 0; i < kRuns; ++i) {
        const double x = Run(ss), y = Run(tessaline);
        if (x < 0 || y < 0) return {};
        a.push_back(x);
        b.push_back(y);
    }
    return {Median(a), Median(b)};
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

std::string Joined(const std::vector<std::string>& command) {
    std::string text;
    for (const std::string& a : command) {
        if (!text.empty()) text += ' ';
        text += a.find(' ') != std::string::npos ? "'" + a + "'" : a;
    }
    return text;
}

std::size_t g_sink = 0;

}  // namespace

int main(int argc, char** argv) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string tessaline = argc > 1 ? argv[1] : path.substr(0, path.find_last_of('/')) + "/tessaline";

    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()) {
        std::fprintf(stderr, "filter_bench: needs root to make a network namespace of its own\n");
        return 77;
    }
    if (!RaiseDescriptorLimit(kConnections + 2048)) {
        std::fprintf(stderr, "filter_bench: cannot raise the descriptor limit\n");
        return 1;
    }
    Connections connections = OpenConnections(kConnections, AF_INET, kPort);
    const auto end = [&connections] {
        if (connections.clientHolder > 0) {
            kill(connections.clientHolder, SIGKILL);
            waitpid(connections.clientHolder, nullptr, 0);
        }
        for (int fd : connections.fds) close(fd);
    };
    if (connections.fds.size() != kConnections + 1u) {
        std::fprintf(stderr, "filter_bench: accepted %zu connections of %d\n",
                     connections.fds.empty() ? 0 : connections.fds.size() - 1, kConnections);
        end();
        return 1;
    }
    std::printf("%d sockets in a namespace of their own, %d of them established with local port %u\n",
                2 * kConnections + 1, kConnections, kPort);

    const std::vector<std::string> ssFiltered = {"ss", "-tanp", "state", "established", "sport = :80"};
    const std::vector<std::string> printFiltered = {tessaline, "--print", "tcp", "--filter",
                                                    "state:established lport:80"};
    // Both list the same sockets: ss a heading and one line each,
    // tessaline its root line and one line each.
    std::string ssOut, printOut;
    Run(ssFiltered, &ssOut);
    Run(printFiltered, &printOut);
    const std::size_t ssLines = LineCount(ssOut) - (ssOut.empty() ? 0 : 1);
    const std::size_t printLines = LineCount(printOut) - (printOut.empty() ? 0 : 1);
    std::printf("  sockets listed: ss %zu, tessaline %zu (expected %d)\n", ssLines, printLines, kConnections);
    int status = ssLines == kConnections && printLines == kConnections ? 0 : 1;

    const Pair filtered = RunInTurn(ssFiltered, printFiltered);
    const Pair plain = RunInTurn({"ss", "-tanp"}, {tessaline, "--print", "tcp"});
    if (filtered.ss < 0 || plain.ss < 0) {
        std::fprintf(stderr, "filter_bench: a command failed\n");
        end();
        return 1;
    }
    std::printf("\nwhole processes, median of %d runs each, in turn\n", kRuns);
    std::printf("  %-62s %8.1f ms\n", Joined(ssFiltered).c_str(), filtered.ss);
    std::printf("  %-62s %8.1f ms   ratio %.2f (at most 1.0)\n", Joined(printFiltered).c_str(), filtered.tessaline,
                filtered.tessaline / filtered.ss);
    std::printf("  %-62s %8.1f ms\n", "ss -tanp", plain.ss);
    std::printf("  %-62s %8.1f ms   ratio %.2f\n", Joined({tessaline, "--print", "tcp"}).c_str(), plain.tessaline,
                plain.tessaline / plain.ss);

    // The filter in process, over the table's records.
    BindIpHelper();
    CSocketTable table(CSocketTable::Kind::Tcp);
    sockets::TableRows rows = sockets::TakeRows(table);
    const double records = MedianOf([&rows] {
        sockets::AttachRecords(rows);
        g_sink += rows.rows.size();
    });
    std::vector<sockets::RecordPtr> all;
    for (const sockets::Row& row : rows.rows) all.push_back(row.record);
    std::printf("\nthe filter over the %zu records of the TCP table, one pass each (median of %d)\n", all.size(),
                kRuns);
    std::printf("  %-44s %8.2f ms\n", "making the records (AttachRecords)", records);
    for (const char* expression :
         {"state:established lport:80", "-state:listen proc:filter_bench", "port:80 or port:8080", "127.0.0.1",
          "filter_bench", "nothing-holds-this", "-\"nothing-holds-this\" 80"}) {
        const auto filter = sockets::ParseFilter(expression, nullptr);
        std::size_t kept = 0;
        const double ms = MedianOf([&] {
            kept = 0;
            for (const sockets::RecordPtr& r : all) kept += r && filter->Matches(*r);
        });
        std::printf("  %-44s %8.2f ms   %zu kept\n", expression, ms, kept);
    }
    end();
    return status;
}
