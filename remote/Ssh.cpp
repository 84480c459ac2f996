#include "Ssh.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace remote {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxErrorBytes = 64 * 1024;

// A child with pipes to the ends asked for (-1 for the others).
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Starts `argv` with its standard input, output and error on pipes when
// asked, else on /dev/null, in a process group of its own, or in `group`.
// `third`, when not -1, is its descriptor 3.
bool Spawn(const std::vector<std::string>& argv, bool in, bool out, bool err, Child& child, std::string& error,
           int third = -1, pid_t group = 0) {
    int pin[2] = {-1, -1}, pout[2] = {-1, -1}, perr[2] = {-1, -1};
    const auto fail = [&](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        for (int* p : {pin, pout, perr}) {
            CloseFd(p[0]);
            CloseFd(p[1]);
        }
        return false;
    };
    if ((in && ::pipe2(pin, O_CLOEXEC) != 0) || (out && ::pipe2(pout, O_CLOEXEC) != 0) ||
        (err && ::pipe2(perr, O_CLOEXEC) != 0))
        return fail("cannot make a pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in) posix_spawn_file_actions_adddup2(&actions, pin[0], 0);
    else posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out) posix_spawn_file_actions_adddup2(&actions, pout[1], 1);
    else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (err) posix_spawn_file_actions_adddup2(&actions, perr[1], 2);
    else posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (third >= 0) posix_spawn_file_actions_adddup2(&actions, third, 3);
    // The child gets a signal mask and dispositions of its own.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    // A process group of its own, ended whole: TESSALINE_SSH_COMMAND runs
    // ssh under a shell, which may not hand its process over to ssh.
    posix_spawnattr_setpgroup(&attributes, group);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = ::posix_spawnp(&child.pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        errno = rc;
        return fail(("cannot start " + argv[0]).c_str());
    }
    CloseFd(pin[0]);
    CloseFd(pout[1]);
    CloseFd(perr[1]);
    child.in = pin[1];
    child.out = pout[0];
    child.err = perr[0];
    for (int fd : {child.in, child.out, child.err})
        if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

// Ends a child and its process group: SIGTERM, then SIGKILL after a
// moment; reaps it.  Its exit status, or -1.  A child that has exited is
// reaped, and what it left in its group (ssh under a shell) ended too.
int EndChild(pid_t pid) {
    if (pid <= 0) return -1;
    int status = 0;
    bool reaped = ::waitpid(pid, &status, WNOHANG) == pid;
    ::kill(-pid, SIGTERM);
    for (int i = 0; i < 40 && !reaped; ++i) {
        reaped = ::waitpid(pid, &status, WNOHANG) == pid;
        if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (!reaped) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    // What the group left behind comes to this process (a subreaper, see
    // BecomeSubreaper) once its parent is gone: reaped here, a second at most.
    for (int i = 0; i < 40 && !(::kill(-pid, 0) != 0 && errno == ESRCH); ++i) {
        while (::waitpid(-pid, nullptr, WNOHANG) > 0) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return status;
}

// The last line ssh wrote on its standard error, without the line feed.
std::string LastLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    const std::size_t eol = t.rfind('\n');
    return eol == std::string::npos ? t : t.substr(eol + 1);
}

void DrainInto(int fd, std::string& into, std::size_t max) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return;
        if (into.size() < max) into.append(chunk, std::min(static_cast<std::size_t>(n), max - into.size()));
    }
}

// The master's watcher, a shell in the master's process group: it waits on
// a pipe whose other end this process alone holds (close-on-exec, so no
// command started from here has it), and reads its end when this process
// ends, however it ends, even by SIGKILL.  It then ends the group: the
// master, the shell TESSALINE_SSH_COMMAND runs it under and what ssh
// started (a proxy command), SIGTERM first, SIGKILL a second later.  As a
// member it keeps the group's id from being given to another group
// meanwhile.  (A parent-death signal would reach ssh's shell only, not ssh
// below it, and comes when the thread that started the master ends, which
// may be a refresh thread, not the program.)
constexpr const char* kWatcherScript = "trap '' TERM INT HUP; read -r _ <&3; kill -s TERM 0; sleep 1; kill -s KILL 0";

}  // namespace

void BecomeSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

bool ValidDestination(const std::string& destination) {
    if (destination.empty() || destination[0] == '-' || destination.size() > 1024) return false;
    for (unsigned char c : destination)
        if (c <= ' ' || c == 0x7F) return false;
    return true;
}

SshSession::SshSession(std::string destination, std::string controlDir)
    : m_destination(std::move(destination)), m_socket(controlDir + "/ssh-control") {}

SshSession::~SshSession() { Stop(); }

std::vector<std::string> SshSession::Command(const std::vector<std::string>& options) const {
    std::vector<std::string> argv;
    const char* replacement = std::getenv("TESSALINE_SSH_COMMAND");
    if (replacement != nullptr && *replacement != '\0') {
        argv = {"/bin/sh", "-c", std::string(replacement) + " \"$@\"", "tessaline-ssh"};
    } else {
        argv = {"ssh"};
    }
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
}

bool SshSession::Start(int timeoutMs, std::string& error) {
    Stop();
    ::unlink(m_socket.c_str());
    int life[2] = {-1, -1};
    if (::pipe2(life, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    Child child;
    const std::vector<std::string> argv =
        Command({"-M", "-S", m_socket, "-o", "ControlPersist=no", "-o", "BatchMode=yes", "-o", "ConnectTimeout=10",
                 "-o", "Compression=yes",
                 "-o", "ServerAliveInterval=5", "-o", "ServerAliveCountMax=2", "-N", "-T", "--", m_destination});
    if (!Spawn(argv, false, false, true, child, error)) {
        CloseFd(life[0]);
        CloseFd(life[1]);
        return false;
    }
    m_master = child.pid;
    m_masterErr = child.err;
    m_life = life[1];
    Child watcher;
    const bool watched = Spawn({"/bin/sh", "-c", kWatcherScript, "tessaline-ssh-watch"}, false, false, false, watcher,
                               error, life[0], m_master);
    CloseFd(life[0]);
    if (!watched) {
        Stop();
        return false;
    }
    m_watcher = watcher.pid;
    std::string words;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline && !m_cancel) {
        struct stat info {};
        if (::stat(m_socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) return true;
        pollfd p{m_masterErr, POLLIN, 0};
        ::poll(&p, 1, 25);
        DrainInto(m_masterErr, words, kMaxErrorBytes);
        int status = 0;
        if (::waitpid(m_master, &status, WNOHANG) == m_master) {
            m_master = -1;
            EndWatcher();
            DrainInto(m_masterErr, words, kMaxErrorBytes);
            CloseFd(m_masterErr);
            error = LastLine(words);
            if (error.empty()) error = "ssh ended without connecting";
            return false;
        }
    }
    error = "no connection to " + m_destination + " within " + std::to_string(timeoutMs / 1000) + " s";
    Stop();
    return false;
}

bool SshSession::MasterAlive() {
    if (m_master <= 0) return false;
    int status = 0;
    if (::waitpid(m_master, &status, WNOHANG) == m_master) {
        m_master = -1;
        EndWatcher();
        CloseFd(m_masterErr);
        return false;
    }
    // Its words are read so that a pipe never fills and stops it.
    std::string ignored;
    DrainInto(m_masterErr, ignored, 0);
    return true;
}

void SshSession::EndWatcher() {
    if (m_watcher > 0) {
        ::kill(m_watcher, SIGKILL);
        while (::waitpid(m_watcher, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    m_watcher = -1;
    CloseFd(m_life);
}

void SshSession::Stop() {
    // The watcher first: it outlasts a SIGTERM to the group.
    EndWatcher();
    if (m_master > 0) EndChild(m_master);
    m_master = -1;
    CloseFd(m_masterErr);
    ::unlink(m_socket.c_str());
}

bool SshSession::Run(const std::string& command, const std::string& input, std::size_t maxBytes, int timeoutMs,
                     std::string& output, std::string& error) {
    output.clear();
    // The whole answer lands in one buffer, room made for the largest at
    // once: growing it would hold two copies while it moves.  Pages that are
    // not written take no memory.  Where the system will not promise that
    // much, it grows as it must.
    try {
        output.reserve(maxBytes);
    } catch (const std::exception&) {
    }
    Child child;
    const std::vector<std::string> argv = Command({"-S", m_socket, "-o", "ControlMaster=no", "-o", "BatchMode=yes",
                                                   "-o", "ConnectTimeout=10", "-T", "--", m_destination, command});
    if (!Spawn(argv, true, true, true, child, error)) return false;
    std::string words;
    std::size_t written = 0;
    bool tooLarge = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char chunk[65536];
    while ((child.out >= 0 || child.err >= 0) && !m_cancel) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd fds[3];
        nfds_t n = 0;
        if (child.in >= 0) fds[n++] = {child.in, POLLOUT, 0};
        if (child.out >= 0) fds[n++] = {child.out, POLLIN, 0};
        if (child.err >= 0) fds[n++] = {child.err, POLLIN, 0};
        if (::poll(fds, n, static_cast<int>(std::min<long long>(left, 100))) < 0 && errno != EINTR) break;
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == child.in) {
                const ssize_t w = ::write(child.in, input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) CloseFd(child.in);
            } else if (fds[i].fd == child.out) {
                const ssize_t r = ::read(child.out, chunk, sizeof chunk);
                if (r > 0) {
                    if (output.size() + static_cast<std::size_t>(r) > maxBytes) {
                        tooLarge = true;
                        CloseFd(child.out);
                        CloseFd(child.err);
                        break;
                    }
                    output.append(chunk, static_cast<std::size_t>(r));
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    CloseFd(child.out);
                }
            } else if (fds[i].fd == child.err) {
                const ssize_t r = ::read(child.err, chunk, sizeof chunk);
                if (r > 0) {
                    if (words.size() < kMaxErrorBytes)
                        words.append(chunk, std::min(static_cast<std::size_t>(r), kMaxErrorBytes - words.size()));
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    CloseFd(child.err);
                }
            }
        }
        if (input.empty()) CloseFd(child.in);
    }
    const bool timedOut = child.out >= 0 || child.err >= 0;
    CloseFd(child.in);
    CloseFd(child.out);
    CloseFd(child.err);
    const int status = EndChild(child.pid);
    m_sent += written;
    m_received += output.size();
    if (m_cancel) {
        error = "stopped";
        return false;
    }
    if (tooLarge) {
        error = "the answer is larger than " + std::to_string(maxBytes >> 20) + " MiB";
        return false;
    }
    if (timedOut) {
        error = "no answer from " + m_destination + " within " + std::to_string(timeoutMs / 1000) + " s";
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = LastLine(words);
        if (error.empty())
            error = WIFEXITED(status) ? "ssh exited with status " + std::to_string(WEXITSTATUS(status))
                                      : "ssh ended by a signal";
        return false;
    }
    return true;
}

}  // namespace remote
