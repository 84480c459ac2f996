// One host's refreshes through one SSH connection, as the window and
// --watch take them: the first (connecting), then RUNS more, each timed,
// with the bytes of its script and of its answer, what the latest capture
// takes of the memory folder, and the program's peak memory.
//
//   capture_bench [USER@]HOST [RUNS]
// TESSALINE_SSH_COMMAND applies as for the program.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "RemoteMachine.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: capture_bench [USER@]HOST [RUNS]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    remote::RemoteMachine machine(argv[1], false);
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    std::string error;
    auto t0 = Clock::now();
    if (!machine.Refresh(error)) {
        std::fprintf(stderr, "capture_bench: %s\n", error.c_str());
        return 1;
    }
    const double first = ms(Clock::now() - t0);
    std::vector<double> times;
    std::size_t sent = machine.BytesSent(), received = machine.BytesReceived();
    for (int i = 0; i < runs; ++i) {
        t0 = Clock::now();
        if (!machine.Refresh(error)) {
            std::fprintf(stderr, "capture_bench: %s\n", error.c_str());
            return 1;
        }
        times.push_back(ms(Clock::now() - t0));
    }
    sent = (machine.BytesSent() - sent) / static_cast<std::size_t>(runs);
    received = (machine.BytesReceived() - received) / static_cast<std::size_t>(runs);
    std::sort(times.begin(), times.end());
    std::printf("first refresh (connecting): %.0f ms\n", first);
    std::printf("refresh through the open connection: median %.0f ms, max %.0f ms (%d runs)\n", times[times.size() / 2],
                times.back(), runs);
    std::printf("per refresh: script %zu bytes, answer %zu bytes\n", sent, received);
    // The capture as written: files and folders, and the bytes they hold in
    // whole pages.
    std::size_t inodes = 0, bytes = 0;
    std::error_code ec;
    const std::filesystem::path current = std::filesystem::canonical(machine.Root(), ec);
    for (auto it = std::filesystem::recursive_directory_iterator(current, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0) continue;
        ++inodes;
        bytes += static_cast<std::size_t>(info.st_blocks) * 512;
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("latest capture written: %zu files and folders, %zu KiB; peak memory %ld KiB\n", inodes, bytes >> 10,
                usage.ru_maxrss);
    return 0;
}
