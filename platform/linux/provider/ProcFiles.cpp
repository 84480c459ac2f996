#include "ProcFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace provider {

namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

// One read, tried again when a signal interrupts it.
ssize_t ReadSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

}  // namespace

namespace {

// A root named by the environment, or "" when unset or empty.  secure_getenv:
// a program given capabilities ignores the variable.
std::string RootFromEnvironment(const char* name) {
    const char* root = secure_getenv(name);
    return root != nullptr ? root : "";
}

}  // namespace

std::string MachineRoot() { return RootFromEnvironment("TESSALINE_MACHINE_ROOT"); }

std::string ProcRoot() {
    if (std::string root = RootFromEnvironment("TESSALINE_PROC_ROOT"); !root.empty()) return root;
    if (std::string machine = MachineRoot(); !machine.empty()) return machine + "/proc";
    return "/proc";
}

std::string SysRoot() {
    if (std::string machine = MachineRoot(); !machine.empty()) return machine + "/sys";
    if (std::string root = RootFromEnvironment("TESSALINE_SYS_ROOT"); !root.empty()) return root;
    return "/sys";
}

bool ReadsLocalKernel() { return ProcRoot() == "/proc"; }

bool LinksAreLocal() { return MachineRoot().empty(); }

FileHandle::~FileHandle() {
    if (m_fd >= 0) ::close(m_fd);
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

FileHandle OpenRegularFile(const std::string& path, struct stat& info, DWORD& error) {
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file) {
        error = (errno == EACCES || errno == EPERM) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        return file;
    }
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = ERROR_INVALID_DATA;
        return FileHandle();
    }
    return file;
}

bool ReadProcFile(const std::string& relativePath, std::string& text, DWORD& error, std::size_t maxBytes) {
    return ReadFileAt(ProcRoot() + "/" + relativePath, text, error, maxBytes);
}

bool ReadFileAt(const std::string& path, std::string& text, DWORD& error, std::size_t maxBytes) {
    text.clear();
    struct stat info {};
    const FileHandle file = OpenRegularFile(path, info, error);
    if (!file) return false;
    // A file that tells its size gets its room at once; files under /proc
    // report size 0 and grow as read.  Either way, read in chunks until end
    // of file.
    if (info.st_size > 0) text.reserve(std::min(static_cast<std::size_t>(info.st_size), maxBytes) + 1);
    char chunk[16384];
    for (;;) {
        const ssize_t n = ReadSome(file.get(), chunk, sizeof chunk);
        if (n == 0) return true;
        if (n < 0 || text.size() + static_cast<std::size_t>(n) > maxBytes) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    text.clear();
    error = ERROR_INVALID_DATA;
    return false;
}

std::string ReadSmallFile(const std::string& path) {
    std::string text;
    DWORD error = NO_ERROR;
    ReadFileAt(path, text, error, 1u << 20);
    return text;
}

bool ForEachLineOfFile(const std::string& path, std::size_t maxLine,
                       const std::function<bool(std::string_view)>& line) {
    struct stat info {};
    DWORD error = NO_ERROR;
    const FileHandle file = OpenRegularFile(path, info, error);
    if (!file) return false;
    std::string chunk(kChunkBytes, '\0');
    std::string pending;    // the start of a line that goes on in the next chunk
    bool overlong = false;  // the current line has passed maxLine: skipped
    for (;;) {
        const ssize_t n = ReadSome(file.get(), chunk.data(), chunk.size());
        if (n < 0) return false;
        if (n == 0) break;
        std::string_view data(chunk.data(), static_cast<std::size_t>(n));
        for (;;) {
            const std::size_t end = data.find('\n');
            const std::string_view piece = data.substr(0, end);
            if (!overlong && pending.size() + piece.size() > maxLine) {
                overlong = true;
                pending.clear();
            }
            if (end == std::string_view::npos) {
                if (!overlong) pending.append(piece);
                break;
            }
            // A line whole in this chunk is handed over where it lies.
            if (!overlong && !line(pending.empty() ? piece : std::string_view(pending.append(piece)))) return true;
            pending.clear();
            overlong = false;
            data.remove_prefix(end + 1);
        }
    }
    // The last line, without its line feed.
    if (!overlong && !pending.empty()) line(pending);
    return true;
}

}  // namespace provider
