// What `tessaline --watch tcp` costs in CPU while connections come and go,
// against the same run with none (its own table refresh every 2 s alone).
//
// In a network namespace of its own (run as root), the benchmark starts
// `tessaline --watch tcp`, lets it settle for a second, then for 20 s a
// process of its own opens and closes 500 loopback connections a second
// (1,000 sockets: each connection is a connecting and an accepted socket,
// closed as soon as it is made).  The watch is then stopped with SIGTERM
// and its CPU time (all its threads, user and system) is read from wait4;
// it is given as a share of one core over the watch's whole life.  The
// same run without churn gives the refresh's own cost.  Closes are made two
// ways: with a reset (no TIME_WAIT, the table stays the same size) and
// with the usual FIN exchange (the connecting side stays in TIME_WAIT for
// a minute, so the table grows by 10,000 lines over the run); the FIN run
// is last, as its TIME_WAIT sockets outlive it.  The lines the watch
// printed are counted.  Every process it starts is ended by its pid.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LoopbackConnections.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSeconds = 20;
constexpr int kConnectionsPerSecond = 500;
constexpr std::uint16_t kPort = 8080;
constexpr int kSettleMs = 1000;
constexpr int kAfterMs = 500;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

enum class Churn { None, Reset, Fin };

// Opens and closes connections at the rate for the run's length, in a
// process of its own; its exit status is 0 when every connection was made.
// Writes how many it made to `report`.
[[noreturn]] void RunChurn(Churn kind, int report) {
    alarm(kSeconds + 30);  // ends by itself should the benchmark die
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(kPort);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 128) != 0)
        _exit(1);
    long made = 0;
    bool failed = false;
    const long total = static_cast<long>(kSeconds) * kConnectionsPerSecond;
    const auto start = Clock::now();
    while (made < total && !failed && Seconds(Clock::now() - start) < kSeconds + 5) {
        const long due = std::min(total, static_cast<long>(Seconds(Clock::now() - start) * kConnectionsPerSecond));
        for (; made < due; ++made) {
            const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (client < 0 || connect(client, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
                if (client >= 0) close(client);
                failed = true;
                break;
            }
            const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (server < 0) {
                close(client);
                failed = true;
                break;
            }
            if (kind == Churn::Reset) {
                const linger abort{1, 0};
                setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
            close(client);
            close(server);
        }
        usleep(1000);
    }
    close(listener);
    [[maybe_unused]] const ssize_t written = write(report, &made, sizeof made);
    _exit(failed ? 2 : 0);
}

struct Run {
    bool ok = false;
    double cpuSeconds = 0;
    double wallSeconds = 0;
    long lines = 0;
    long connections = 0;
    std::string errors;
};

Run Watch(const std::string& tessaline, Churn kind) {
    Run run;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return run;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> args = {tessaline, "--watch", "tcp"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, tessaline.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        return run;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);

    // Reads what the watch printed until `until`, or until both pipes close.
    bool outOpen = true, errOpen = true;
    const auto drain = [&](Clock::time_point until) {
        char buf[65536];
        while ((outOpen || errOpen) && Clock::now() < until) {
            pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (poll(fds, 2, static_cast<int>(std::clamp<long long>(left, 0, 1000))) <= 0) continue;
            if (outOpen && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
                const ssize_t n = read(out[0], buf, sizeof buf);
                if (n > 0)
                    run.lines += std::count(buf, buf + n, '\n');
                else if (n == 0)
                    outOpen = false;
            }
            if (errOpen && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
                const ssize_t n = read(err[0], buf, sizeof buf);
                if (n > 0)
                    run.errors.append(buf, static_cast<std::size_t>(n));
                else if (n == 0)
                    errOpen = false;
            }
        }
    };

    drain(Clock::now() + std::chrono::milliseconds(kSettleMs));
    pid_t churn = -1;
    int report[2] = {-1, -1};
    if (kind != Churn::None && pipe2(report, O_CLOEXEC) == 0) {
        churn = fork();
        if (churn == 0) {
            close(out[0]);
            close(err[0]);
            close(report[0]);
            RunChurn(kind, report[1]);
        }
        close(report[1]);
    }
    drain(Clock::now() + std::chrono::seconds(kSeconds));
    bool churnOk = kind == Churn::None;
    if (churn > 0) {
        // The churn ends by itself; given 10 s more, then killed.
        const auto limit = Clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (waitpid(churn, &status, WNOHANG) != churn) {
            if (Clock::now() > limit) {
                kill(churn, SIGKILL);
                waitpid(churn, &status, 0);
                break;
            }
            drain(Clock::now() + std::chrono::milliseconds(20));
        }
        churnOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        long made = 0;
        if (read(report[0], &made, sizeof made) == static_cast<ssize_t>(sizeof made)) run.connections = made;
        close(report[0]);
    }
    drain(Clock::now() + std::chrono::milliseconds(kAfterMs));
    kill(pid, SIGTERM);
    drain(Clock::now() + std::chrono::seconds(10));
    int status = 0;
    rusage usage{};
    if (outOpen || errOpen) kill(pid, SIGKILL);  // it did not stop within 10 s
    wait4(pid, &status, 0, &usage);
    run.wallSeconds = Seconds(Clock::now() - start);
    close(out[0]);
    close(err[0]);
    const auto cpu = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    run.cpuSeconds = cpu(usage.ru_utime) + cpu(usage.ru_stime);
    run.ok = churnOk && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

double Percent(const Run& r) { return r.wallSeconds > 0 ? 100.0 * r.cpuSeconds / r.wallSeconds : -1; }

void Describe(const char* what, const Run& r) {
    std::printf("  %-28s CPU %.3f s over %.1f s = %.3f %% of a core; %ld lines printed", what, r.cpuSeconds,
                r.wallSeconds, Percent(r), r.lines);
    if (r.connections > 0) std::printf(" (%ld connections made, %ld sockets closed)", r.connections, 2 * r.connections);
    std::printf("%s\n", r.ok ? "" : "  [the run failed]");
    if (!r.errors.empty()) std::printf("    its errors: %s", r.errors.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string tessaline = argc > 1 ? argv[1] : TESSALINE_BIN;
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()) {
        std::fprintf(stderr, "watch_bench: needs root to make a network namespace of its own\n");
        return 77;
    }
    std::printf("tessaline --watch tcp for %d s, in a namespace of its own; churn: %d connections a second "
                "(%d sockets a second opened and closed)\n",
                kSeconds, kConnectionsPerSecond, 2 * kConnectionsPerSecond);
    std::fflush(stdout);
    const Run idle = Watch(tessaline, Churn::None);
    Describe("no churn:", idle);
    std::fflush(stdout);
    const Run reset = Watch(tessaline, Churn::Reset);
    Describe("churn, closed with a reset:", reset);
    std::fflush(stdout);
    const Run fin = Watch(tessaline, Churn::Fin);
    Describe("churn, closed with FIN:", fin);
    std::fflush(stdout);
    // FIN closes leave a TIME_WAIT row per connection for 60 s: the table the
    // refresh takes every 2 s grows to 10,000 rows during that run.  The same
    // watch right after it, with no churn, refreshes a table of that size
    // (its rows expiring as it runs): the refresh's own cost there.
    const Run left = Watch(tessaline, Churn::None);
    Describe("no churn, FIN's rows left:", left);
    std::printf("\n");
    const struct {
        const char* label;
        const Run& run;
        const Run& base;
    } results[] = {{"resets; refresh: the idle run", reset, idle},
                   {"FIN closes; refresh: the run after it, on its TIME_WAIT rows", fin, left}};
    for (const auto& r : results) {
        std::printf("watch CPU with churn %.3f %% of a core, refresh alone %.3f %%, beyond the refresh %.3f %% "
                    "(target < 1 %%)  [churn closed with %s]\n",
                    Percent(r.run), Percent(r.base), Percent(r.run) - Percent(r.base), r.label);
    }
    return idle.ok && reset.ok && fin.ok && left.ok ? 0 : 1;
}
