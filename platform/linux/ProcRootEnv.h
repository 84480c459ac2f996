// Where the process files are read: TESSALINE_PROC_ROOT (fixtures), else
// the proc folder of the machine root that another host's capture is
// written under (TESSALINE_MACHINE_ROOT), else /proc.  secure_getenv: a
// program given capabilities ignores the variables, so that nobody can
// point its privileged reads elsewhere.  The text lasts until the calling
// thread's next call.
#pragma once

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
