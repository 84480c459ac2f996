// Where the process files are read: TESSALINE_PROC_ROOT (fixtures), else
// the proc folder of the machine root that another host's capture is
// written under (TESSALINE_MACHINE_ROOT), else /proc.  secure_getenv: a
// program given capabilities ignores the variables, so that nobody can
// point its privileged reads elsewhere.  The text lasts until the calling
// thread's next call.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

// Another machine's root (TESSALINE_MACHINE_ROOT), or null for this one.
inline const char* MachineRootFromEnvironment() {
    const char* machine = secure_getenv("TESSALINE_MACHINE_ROOT");
    return machine != nullptr && *machine != '\0' ? machine : nullptr;
}

inline const char* ProcRootFromEnvironment() {
    const char* root = secure_getenv("TESSALINE_PROC_ROOT");
    if (root != nullptr && *root != '\0') return root;
    const char* machine = MachineRootFromEnvironment();
    if (machine == nullptr) return "/proc";
    thread_local std::string composed;
    composed = std::string(machine) + "/proc";
    return composed.c_str();
}

// A proc root written from another machine's capture (remote/Capture.cpp)
// holds that machine's processes as three tables instead of a folder for
// each: every stat line; "PID PATH", the executables; "PID FD INODE", the
// socket descriptors.  A few files for any number of processes, so that a
// host cannot fill the memory folder the capture is written in.
inline constexpr char kCapturedStatTable[] = "processes.stat";
inline constexpr char kCapturedExecutableTable[] = "processes.exe";
inline constexpr char kCapturedDescriptorTable[] = "processes.fd";

// The largest table read: a capture's tables come from an answer of at
// most 256 MiB.
inline constexpr std::size_t kMaxCapturedTableBytes = 256u << 20;

// The table `name` of the capture's proc folder open as `dirFd`, whole (up
// to the bound); false when it is not there or is no regular file (a link,
// a fifo: never followed, never waited on).
inline bool ReadCapturedTable(int dirFd, const char* name, std::string& text) {
    text.clear();
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular) text.reserve(std::min<std::size_t>(static_cast<std::size_t>(info.st_size), kMaxCapturedTableBytes));
    char buffer[65536];
    while (regular && text.size() < kMaxCapturedTableBytes) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, kMaxCapturedTableBytes - text.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return regular;
}

// What a capture tells of one of its processes.
struct CapturedProcess {
    bool hasStart = false;
    std::uint64_t startTicks = 0;  // field 22 of its stat line
    std::string executable;        // empty when not listed
};

enum class CaptureLookup { NoCapture, NotListed, Listed };

// `pid` in the tables of the proc root `procRoot`, which are read once for
// each capture (platform/linux/ProcessDetails.cpp).  NoCapture when the
// root holds no tables (a fixture with a folder for each process): the
// caller then reads the process's folder.
CaptureLookup FindCapturedProcess(const char* procRoot, std::uint32_t pid, CapturedProcess& out);
