// Reading the kernel's text files through one root directory, so that every
// reader can run on fixtures: the root is TESSALINE_PROC_ROOT when set, else
// /proc.
#pragma once

#include <string>

#include "win32.h"

namespace provider {

std::string ProcRoot();

// Reads ROOT/relativePath whole.  On failure returns false and sets `error`
// to a system error code: ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, or
// ERROR_INVALID_DATA for a file larger than `maxBytes` or one that cannot
// be read.
bool ReadProcFile(const std::string& relativePath, std::string& text, DWORD& error, std::size_t maxBytes = 256u << 20);

// The same for a file named by its full path.
bool ReadFileAt(const std::string& path, std::string& text, DWORD& error, std::size_t maxBytes = 256u << 20);

// A small configuration file whole (at most 1 MiB), or empty when it cannot
// be read.
std::string ReadSmallFile(const std::string& path);

}  // namespace provider
