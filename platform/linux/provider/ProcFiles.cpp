#include "ProcFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace provider {

std::string ProcRoot() {
    // secure_getenv: a program given capabilities ignores the variable.
    const char* root = secure_getenv("TESSALINE_PROC_ROOT");
    return root != nullptr && *root != '\0' ? root : "/proc";
}

bool ReadProcFile(const std::string& relativePath, std::string& text, DWORD& error, std::size_t maxBytes) {
    return ReadFileAt(ProcRoot() + "/" + relativePath, text, error, maxBytes);
}

bool ReadFileAt(const std::string& path, std::string& text, DWORD& error, std::size_t maxBytes) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = (errno == EACCES || errno == EPERM) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        return false;
    }
    // A file that tells its size gets its room at once; files under /proc
    // report size 0 and grow as read.  Either way, read in chunks until end
    // of file.
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0)
        text.reserve(std::min(static_cast<std::size_t>(info.st_size), maxBytes) + 1);
    char chunk[16384];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (text.size() + static_cast<std::size_t>(n) > maxBytes) {
            ok = false;
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok) {
        text.clear();
        error = ERROR_INVALID_DATA;
    }
    return ok;
}

std::string ReadSmallFile(const std::string& path) {
    std::string text;
    DWORD error = NO_ERROR;
    ReadFileAt(path, text, error, 1u << 20);
    return text;
}

}  // namespace provider
