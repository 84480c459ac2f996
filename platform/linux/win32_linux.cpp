// Module loading and the thread's last error, on Linux.
#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <string>

#include "win32.h"

namespace {

thread_local DWORD t_lastError = 0;

// "iphlpapi.dll" -> "libiphlpapi.so": the base name, without a ".dll"
// suffix, in lower case.
std::string SharedObjectName(const std::string& dllName) {
    std::string stem = dllName.substr(dllName.find_last_of("/\\") + 1);
    if (stem.size() > 4) {
        std::string suffix = stem.substr(stem.size() - 4);
        for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (suffix == ".dll") stem.resize(stem.size() - 4);
    }
    for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "lib" + stem + ".so";
}

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string exe(path, static_cast<std::size_t>(n));
    return exe.substr(0, exe.find_last_of('/'));
}

void* OpenIn(const std::string& dir, const std::string& file) {
    if (dir.empty()) return nullptr;
    std::string path = dir + "/" + file;
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr || *lpLibFileName == '\0') {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    const std::string file = SharedObjectName(lpLibFileName);
    void* handle = nullptr;
    // The override names the only place to look, so that a test pointing it
    // at an empty directory sees the library as missing.  A program given
    // capabilities ignores it (secure_getenv), so that it cannot be made to
    // load foreign code.
    if (const char* dir = secure_getenv("TESSALINE_LIBRARY_PATH"); dir != nullptr && *dir != '\0') {
        handle = OpenIn(dir, file);
    } else {
        const std::string exeDir = ExecutableDirectory();
        handle = OpenIn(exeDir, file);
        if (handle == nullptr && !exeDir.empty()) handle = OpenIn(exeDir + "/../lib/tessaline", file);
    }
    if (handle == nullptr) t_lastError = ERROR_MOD_NOT_FOUND;
    return handle;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule == nullptr || lpProcName == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    void* symbol = dlsym(hModule, lpProcName);
    if (symbol == nullptr) {
        t_lastError = ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE hModule) { return hModule != nullptr && dlclose(hModule) == 0 ? TRUE : FALSE; }

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
