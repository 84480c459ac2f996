// What a refresh of the counter panes costs, in-process and as a whole
// `tessaline --print`, against `nstat` and `netstat -s` run in the same
// process for the same counters.  Prints ratios (ours / theirs).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "IpHelper.h"
#include "MemoryTree.h"
#include "NetworkReport.h"

extern char** environ;

namespace {

// Runs a command with its output discarded; false when it cannot run or fails.
bool RunQuietly(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Mean wall time of `runs` runs of a command, in microseconds; < 0 when it
// cannot run.
double MeanMicros(const std::vector<std::string>& command, int runs) {
    if (!RunQuietly(command)) return -1;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) RunQuietly(command);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::micro>(elapsed).count() / runs;
}

void BM_UpdateFourCounterPanes(benchmark::State& state) {
    MemoryTree trees[4];
    std::vector<std::unique_ptr<CNetworkReport>> reports;
    for (int kind = kKindIcmpStatistics; kind <= kKindTcpStatistics; ++kind) {
        reports.push_back(std::make_unique<CNetworkReport>(kind));
        reports.back()->SetReportTree(&trees[kind - kKindIcmpStatistics]);
        reports.back()->BuildReport();
    }
    for (auto _ : state)
        for (auto& report : reports) report->UpdateReport();
}
BENCHMARK(BM_UpdateFourCounterPanes)->Unit(benchmark::kMicrosecond);

void BM_IpStatisticsSnapshot(benchmark::State& state) {
    CNetworkReport report(kKindIpStatistics);
    for (auto _ : state) benchmark::DoNotOptimize(g_pIpStatistics->Refresh());
}
BENCHMARK(BM_IpStatisticsSnapshot)->Unit(benchmark::kMicrosecond);

void CompareWholeProcesses() {
    constexpr int kRuns = 40;
    const double ours = MeanMicros({TESSALINE_BIN, "--print", "all"}, kRuns);
    std::printf("\nWhole process, mean of %d runs:\n", kRuns);
    std::printf("  tessaline --print all   %9.0f us\n", ours);
    const std::vector<std::vector<std::string>> theirs = {{"nstat", "-asz"}, {"netstat", "-s"}};
    for (const auto& command : theirs) {
        const double t = MeanMicros(command, kRuns);
        std::string name = command[0] + " " + command[1];
        if (t < 0) {
            std::printf("  %-22s  not installed\n", name.c_str());
            continue;
        }
        std::printf("  %-22s  %9.0f us   ratio tessaline/%s = %.2f\n", name.c_str(), t, command[0].c_str(), ours / t);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    CompareWholeProcesses();
    return 0;
}
