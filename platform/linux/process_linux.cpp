// Processes, thread tokens and the debug privilege on Linux.
#include <fcntl.h>
#include <sys/capability.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "processes.h"

namespace {

// The locally unique identifier of "SeDebugPrivilege".
constexpr DWORD kDebugPrivilegeLuid = 20;
constexpr std::uintptr_t kCurrentThread = static_cast<std::uintptr_t>(-2);

// Whether the calling thread has a token of its own (after ImpersonateSelf).
thread_local bool t_hasToken = false;

enum class ObjectType : std::uint32_t { Process = 0x50524f43, Token = 0x544f4b4e };

struct KernelObject {
    explicit KernelObject(ObjectType t) : type(t) {}
    virtual ~KernelObject() = default;
    ObjectType type;
};

struct ProcessObject final : KernelObject {
    ProcessObject() : KernelObject(ObjectType::Process) {}
    ~ProcessObject() override {
        if (dirFd >= 0) ::close(dirFd);
    }
    int dirFd = -1;
    bool hasExecutable = false;
    std::string executable;  // the target of /proc/PID/exe
};

struct TokenObject final : KernelObject {
    TokenObject() : KernelObject(ObjectType::Token) {}
};

template <class T>
T* As(HANDLE handle, ObjectType type) {
    if (handle == nullptr || reinterpret_cast<std::uintptr_t>(handle) == kCurrentThread) return nullptr;
    auto* object = static_cast<KernelObject*>(handle);
    return object->type == type ? static_cast<T*>(object) : nullptr;
}

std::string ProcRoot() {
    // secure_getenv: a program given capabilities ignores the variable, so
    // that nobody can point its privileged reads elsewhere.
    const char* root = secure_getenv("TESSALINE_PROC_ROOT");
    return root != nullptr && *root != '\0' ? root : "/proc";
}

// Raises or drops one capability in the calling thread's effective set.
// `notPermitted` is set when raising a capability the thread may not hold.
bool SetEffective(cap_value_t capability, bool on, bool& notPermitted) {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return false;
    cap_flag_value_t permitted = CAP_CLEAR, effective = CAP_CLEAR;
    bool ok = cap_get_flag(caps, capability, CAP_PERMITTED, &permitted) == 0 &&
              cap_get_flag(caps, capability, CAP_EFFECTIVE, &effective) == 0;
    if (ok && on && permitted != CAP_SET) {
        notPermitted = true;
    } else if (ok && (effective == CAP_SET) != on) {
        ok = cap_set_flag(caps, CAP_EFFECTIVE, 1, &capability, on ? CAP_SET : CAP_CLEAR) == 0 &&
             cap_set_proc(caps) == 0;
    }
    cap_free(caps);
    return ok;
}

// The executable's file name: the last component of the link's target,
// without the " (deleted)" the kernel appends once the file is gone.
std::string_view BaseName(std::string_view path) {
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted)
        path.remove_suffix(kDeleted.size());
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(kCurrentThread); }

BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD, BOOL, PHANDLE TokenHandle) {
    if (reinterpret_cast<std::uintptr_t>(ThreadHandle) != kCurrentThread || TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!t_hasToken) {
        SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    *TokenHandle = new TokenObject;
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL) {
    // The thread's capability sets are its own already: taking a token of
    // its own changes nothing else.
    t_hasToken = true;
    return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, LUID* lpLuid) {
    if (lpSystemName != nullptr || lpName == nullptr || lpLuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (std::u16string_view(lpName) != u"SeDebugPrivilege") {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    *lpLuid = LUID{kDebugPrivilegeLuid, 0};
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, TOKEN_PRIVILEGES* NewState, DWORD,
                           TOKEN_PRIVILEGES* PreviousState, PDWORD ReturnLength) {
    if (As<TokenObject>(TokenHandle, ObjectType::Token) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (PreviousState != nullptr || ReturnLength != nullptr || (!DisableAllPrivileges && NewState == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool notAssigned = false;
    if (DisableAllPrivileges) {
        if (!SetEffective(CAP_SYS_PTRACE, false, notAssigned)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    } else {
        for (DWORD i = 0; i < NewState->PrivilegeCount && i < 1; ++i) {
            const LUID_AND_ATTRIBUTES& p = NewState->Privileges[i];
            if (p.Luid.LowPart != kDebugPrivilegeLuid || p.Luid.HighPart != 0) {
                notAssigned = true;
                continue;
            }
            if (!SetEffective(CAP_SYS_PTRACE, (p.Attributes & SE_PRIVILEGE_ENABLED) != 0, notAssigned)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
        }
    }
    SetLastError(notAssigned ? ERROR_NOT_ALL_ASSIGNED : NO_ERROR);
    return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD dwProcessId) {
    if (dwProcessId == 0 || dwProcessId > INT_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string path = ProcRoot() + "/" + std::to_string(dwProcessId);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* process = new ProcessObject;
    process->dirFd = fd;
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(fd, "exe", target, sizeof target);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof target) {
        process->hasExecutable = true;
        process->executable.assign(target, static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EACCES || errno == EPERM)) {
        // Another user's process, without the right to look into it.
        delete process;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // A process without an executable link (a kernel thread, a zombie) opens
    // but has no modules.
    SetLastError(NO_ERROR);
    return process;
}

BOOL EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded) {
    ProcessObject* process = As<ProcessObject>(hProcess, ObjectType::Process);
    if (process == nullptr || lpcbNeeded == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!process->hasExecutable) {
        SetLastError(ERROR_PARTIAL_COPY);
        return FALSE;
    }
    // The executable is the one module; its handle is the process's own.
    if (lphModule != nullptr && cb >= sizeof(HMODULE)) *lphModule = process;
    *lpcbNeeded = sizeof(HMODULE);
    return TRUE;
}

DWORD GetModuleBaseNameW(HANDLE hProcess, HMODULE hModule, LPWSTR lpBaseName, DWORD nSize) {
    ProcessObject* process = As<ProcessObject>(hProcess, ObjectType::Process);
    if (process == nullptr || hModule != process || !process->hasExecutable) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (lpBaseName == nullptr || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string_view name = BaseName(process->executable);
    if (name.empty()) return 0;
    const int length = static_cast<int>(name.size());
    std::u16string wide(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, name.data(), length, nullptr, 0)),
                        u'\0');
    MultiByteToWideChar(CP_ACP, 0, name.data(), length, wide.data(), static_cast<int>(wide.size()));
    const DWORD copied = static_cast<DWORD>(std::min<std::size_t>(wide.size(), nSize));
    wide.copy(lpBaseName, copied);
    if (copied < nSize) lpBaseName[copied] = u'\0';
    return copied;
}

BOOL CloseHandle(HANDLE hObject) {
    if (reinterpret_cast<std::uintptr_t>(hObject) == kCurrentThread) return TRUE;
    if (hObject == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete static_cast<KernelObject*>(hObject);
    return TRUE;
}
