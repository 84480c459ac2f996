// Another machine's network state, read over a shell with nothing but the
// POSIX shell and the basic file utilities on its side: the script it runs,
// the parser of its answer, and the machine root the answer is written into
// for the provider's file readers.  Qt-free.
//
// The answer is untrusted.  It is parsed within fixed bounds, every file it
// holds must be one the script asks for (a known path, or a known folder and
// a plain name), and what is written locally is named here: the answer's
// names are checked against those rules and never followed, and nothing in
// it is run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace remote {

// A token of 32 random hexadecimal digits that frames one answer.
std::string NewToken();

// The script for `sh -s` on the remote host.  It prints, framed by `token`,
// the /proc, /sys and configuration files the provider reads, and the
// socket owners it may see (every process's socket descriptors and
// executable, and every process's stat line); with `sudoOwners` it lists
// the owners through `sudo -n` first, falling back to the plain listing.
std::string CaptureScript(std::string_view token, bool sudoOwners);

// The bounds of an answer.
inline constexpr std::size_t kMaxAnswerBytes = 256u << 20;
inline constexpr std::size_t kMaxFileBytes = 64u << 20;
inline constexpr std::size_t kMaxFiles = 100000;
inline constexpr std::size_t kMaxProcesses = 1u << 20;
inline constexpr std::size_t kMaxDescriptors = kMaxFiles * 10;

// What one capture may take of the folder it is written in, which is
// memory (the runtime folder, /dev/shm), where every file holds at least a
// page.  Files and folders: a host's capture is some 40 files and a few
// folders, and 45 more for each network link, so 32768 holds a host of 700
// links.  Bytes, counted in whole pages: the largest answer written whole,
// and a page for each of those files.  A capture beyond either is refused
// before anything is written; the folder holds two captures and the one
// being written, so it never takes more than three times this.
inline constexpr std::size_t kPageBytes = 4096;
inline constexpr std::size_t kMaxCaptureInodes = 32768;
inline constexpr std::size_t kMaxCaptureBytes = kMaxAnswerBytes + kMaxCaptureInodes * kPageBytes;

// The processes of a capture are written as three tables in its proc
// folder, the names its readers look for (platform/linux/ProcRootEnv.h),
// rather than as a folder for each process:
//   processes.stat  every process's stat line, as the kernel writes it
//   processes.exe   "PID PATH", a process's executable
//   processes.fd    "PID FD INODE", a socket descriptor
// each a line, by pid.
inline constexpr const char* kStatTable = "processes.stat";
inline constexpr const char* kExecutableTable = "processes.exe";
inline constexpr const char* kDescriptorTable = "processes.fd";

// A socket descriptor of a process.
struct Descriptor {
    std::uint32_t pid = 0;
    std::uint32_t fd = 0;
    std::uint64_t inode = 0;
    bool operator==(const Descriptor&) const = default;
};

// A process's line of a listing: its executable's path, or its stat line
// (without the line feed).
struct ProcessLine {
    std::uint32_t pid = 0;
    std::string_view text;
    bool operator==(const ProcessLine&) const = default;
};

// A parsed answer.  Its texts are views into the answer, which must stay
// as it is while the capture is used: the answer is held once.
struct Capture {
    // Files by their path relative to the machine's root ("proc/net/tcp").
    std::map<std::string, std::string_view> files;
    // Folders the answer says exist, with nothing read below them
    // ("sys/class/net/wlan0/wireless").
    std::vector<std::string> folders;
    // The processes' socket descriptors, by pid and descriptor.
    std::vector<Descriptor> descriptors;
    // Each process's executable path, and its stat line: by pid, one each.
    std::vector<ProcessLine> executables;
    std::vector<ProcessLine> stats;
    std::size_t bytes = 0;  // the answer's size
};

// Whether `path` is one the script asks for: a known file, or a file of a
// known folder with a plain name ([A-Za-z0-9._@:+-], not "." or "..", at
// most 64 bytes).
bool AllowedPath(std::string_view path);
bool AllowedFolder(std::string_view path);

// Parses an answer framed by `token`.  False with a reason when it is not
// one: no heading, cut before its end, larger than the bounds, or broken
// framing.  Files not asked for (a lease file with a name that is not
// plain) and lines that are merely garbled are left out; the rest is kept,
// as views into `answer`.
bool ParseCapture(std::string_view answer, std::string_view token, Capture& out, std::string& error);
// An answer that would be gone when the call returns cannot be parsed: the
// capture's views would outlive it.
bool ParseCapture(std::string&& answer, std::string_view token, Capture& out, std::string& error) = delete;

// Writes a capture as a machine root below `dir` (which must exist and be
// empty): its files under the names the rules allow, its processes as the
// three tables of its proc folder.  Refused before anything is written when
// it would take more than kMaxCaptureInodes or kMaxCaptureBytes; what a
// write that fails half-way leaves in `dir` is for the caller to remove.
bool WriteMachineRoot(const Capture& capture, const std::string& dir, std::string& error);

// What a capture takes when written: files and folders, and bytes counted
// in whole pages.
struct CaptureSize {
    std::size_t inodes = 0;
    std::size_t bytes = 0;
};
CaptureSize SizeOfMachineRoot(const Capture& capture);

// A machine root that is replaced whole with each capture: DIR/current is a
// link to the latest capture's folder, switched in one rename, so that a
// reader opening a file meets one capture or the next, never a half-written
// one.  The folder before the latest is kept for readers still in it; older
// ones are removed, and so is a capture whose writing fails, at once.
class MachineRoot {
public:
    // Makes a private folder (mode 0700) in `parent`; Path() is empty when
    // it cannot.
    explicit MachineRoot(const std::string& parent);
    ~MachineRoot();
    MachineRoot(const MachineRoot&) = delete;
    MachineRoot& operator=(const MachineRoot&) = delete;

    // DIR/current, the root to read.
    std::string Current() const { return m_dir.empty() ? std::string() : m_dir + "/current"; }
    const std::string& Path() const { return m_dir; }
    // Writes the capture and switches to it.  On failure the folder holds
    // what it held before.
    bool Install(const Capture& capture, std::string& error);
    // Switches to an empty root: every reading fails until the next capture
    // (a connection lost shows no stale state).
    bool InstallEmpty(std::string& error);

private:
    bool Switch(const std::string& name, std::string& error);
    std::string m_dir;
    unsigned m_generation = 0;
    std::string m_current, m_previous;  // the captures' folder names
};

}  // namespace remote
