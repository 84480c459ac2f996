// Reading what a child process writes, for tests that run programs.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

// Waits for `pid` at most `limit`, then ends it; its exit status, or 128 +
// the signal that ended it, or -1 when it cannot be waited for.
inline int WaitBounded(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (done < 0) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads the child's standard output and error from the read ends of their
// pipes until both close, for `limit` at most (then the child is ended by
// its pid), closes them and waits for the child.  Returns as WaitBounded.
inline int CollectOutput(pid_t pid, int outFd, int errFd, std::string& out, std::string& err,
                         std::chrono::seconds limit) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
            }
        }
    }
    for (pollfd& f : fds)
        if (f.fd >= 0) close(f.fd);
    if (open > 0) kill(pid, SIGKILL);
    return WaitBounded(pid, limit);
}
