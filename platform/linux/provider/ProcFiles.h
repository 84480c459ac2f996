// Reading the kernel's text files through one root directory, so that every
// reader can run on fixtures or on another machine's copied files: the proc
// root is TESSALINE_PROC_ROOT when set, else MACHINE/proc when a machine root
// (TESSALINE_MACHINE_ROOT: a directory holding another machine's /proc, /sys
// and /etc) is set, else /proc.  Every file the provider reads, under that root or elsewhere, is
// opened by OpenRegularFile: without blocking, and only when it is a regular
// file, so that a FIFO put where a file belongs never hangs the program.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "win32.h"

namespace provider {

// The directory standing for another machine's root directory
// (TESSALINE_MACHINE_ROOT), or "" when the program reads this machine.
std::string MachineRoot();

// Where /proc is read: TESSALINE_PROC_ROOT when set, else MachineRoot()/proc
// when a machine root is set, else "/proc".
std::string ProcRoot();

// Where /sys is read: MachineRoot()/sys when a machine root is set, else
// TESSALINE_SYS_ROOT when set, else "/sys".
std::string SysRoot();

// Whether the files read are this kernel's own /proc (no machine root, no
// fixture proc root): only then may netlink and sock_diag answer for what
// the files under the root would say.
bool ReadsLocalKernel();

// Whether the links, addresses and routes to show are those of the kernel
// the program runs on: true unless a machine root is set.  A proc root alone
// (TESSALINE_PROC_ROOT, the tests' fixtures of /proc's text files) leaves
// them to the running kernel, as it always has; a machine root stands for
// another machine whole, whose state only its files tell.
bool LinksAreLocal();

// An open file descriptor, closed when the handle goes.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : m_fd(fd) {}
    ~FileHandle();
    FileHandle(FileHandle&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Opens a file to read it.  The open never waits (O_NONBLOCK: a FIFO with no
// writer would otherwise block for good) and never takes a terminal as the
// controlling one (O_NOCTTY); then anything but a regular file (a FIFO, a
// device, a socket, a directory) is refused.  Files under /proc and /sys are
// regular files.  `info` receives the file's status.  On failure the handle
// is empty and `error` is ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, or
// ERROR_INVALID_DATA for what is no regular file.
FileHandle OpenRegularFile(const std::string& path, struct stat& info, DWORD& error);

// Reads ROOT/relativePath whole.  On failure returns false and sets `error`
// to a system error code: ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, or
// ERROR_INVALID_DATA for a file larger than `maxBytes`, one that cannot be
// read, or one that is no regular file.
bool ReadProcFile(const std::string& relativePath, std::string& text, DWORD& error, std::size_t maxBytes = 256u << 20);

// The same for a file named by its full path.
bool ReadFileAt(const std::string& path, std::string& text, DWORD& error, std::size_t maxBytes = 256u << 20);

// A small configuration file whole (at most 1 MiB), or empty when it cannot
// be read.
std::string ReadSmallFile(const std::string& path);

// Calls `line` with each line of a file, without its line feed, reading the
// file in chunks whatever its size; returns as soon as `line` returns false.
// A line longer than `maxLine` bytes is skipped whole, the lines after it
// still read.  False when the file cannot be opened or read to its end.
bool ForEachLineOfFile(const std::string& path, std::size_t maxLine, const std::function<bool(std::string_view)>& line);

}  // namespace provider
