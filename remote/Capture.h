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

struct Capture {
    // Files by their path relative to the machine's root ("proc/net/tcp").
    std::map<std::string, std::string> files;
    // Folders the answer says exist, with nothing read below them
    // ("sys/class/net/wlan0/wireless").
    std::vector<std::string> folders;
    // The socket descriptors of each process: descriptor and socket inode.
    std::map<std::uint32_t, std::vector<std::pair<std::uint32_t, std::uint64_t>>> sockets;
    // Each process's executable path, and its stat line.
    std::map<std::uint32_t, std::string> executables;
    std::map<std::uint32_t, std::string> stats;
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
// plain) and lines that are merely garbled are left out; the rest is kept.
bool ParseCapture(std::string_view answer, std::string_view token, Capture& out, std::string& error);

// Writes a capture as a machine root below `dir` (which must exist and be
// empty): its files under the names the rules allow, each process's socket
// descriptors as links to "socket:[INODE]" made here, its executable path
// as the text of a regular file PID/exe, its stat line as PID/stat.
bool WriteMachineRoot(const Capture& capture, const std::string& dir, std::string& error);

// A machine root that is replaced whole with each capture: DIR/current is a
// link to the latest capture's folder, switched in one rename, so that a
// reader opening a file meets one capture or the next, never a half-written
// one.  The folder before the latest is kept for readers still in it; older
// ones are removed.
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
    // Writes the capture and switches to it.
    bool Install(const Capture& capture, std::string& error);
    // Switches to an empty root: every reading fails until the next capture
    // (a connection lost shows no stale state).
    bool InstallEmpty(std::string& error);

private:
    bool Switch(const std::string& name, std::string& error);
    std::string m_dir;
    unsigned m_generation = 0;
};

}  // namespace remote
