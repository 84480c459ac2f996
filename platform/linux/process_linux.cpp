// Processes, thread tokens and the debug privilege on Linux.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ExecutableName.h"
#include "OwnerClient.h"
#include "ProcRootEnv.h"
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

// An open process: what was read of it when it was opened.  The executable
// link is read once, at the open, so that every later question is about the
// process that was opened even if its id is reused meanwhile.
struct ProcessObject final : KernelObject {
    ProcessObject() : KernelObject(ObjectType::Process) {}
    DWORD pid = 0;
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

const char* ProcRoot() { return ProcRootFromEnvironment(); }

// The debug privilege of the calling thread's token.  Enabling it checks
// that CAP_SYS_PTRACE is permitted; the capability is raised into the
// effective set only when a read of another user's process needs it, and
// dropped when the privilege is disabled.  So it is effective exactly while
// it is used, and a lookup of one's own processes costs no capset.
using CapabilityData = __user_cap_data_struct[_LINUX_CAPABILITY_U32S_3];

// While the privilege is enabled, `caps` holds the thread's capability sets
// as read when it was enabled and as changed since by this code: only the
// thread itself changes them, and nothing else runs on it within a scope.
struct DebugPrivilege {
    bool enabled = false;
    CapabilityData caps{};
};
thread_local DebugPrivilege t_debug;

// Processes whose last read needed the capability: the next read of one of
// them raises it first instead of failing once.  A reused pid at worst
// raises it for a read that did not need it, inside the same scope.
struct RaiseHints {
    static constexpr std::size_t kSize = 32;
    DWORD pids[kSize] = {};
    std::size_t next = 0;
    bool Has(DWORD pid) const { return std::find(std::begin(pids), std::end(pids), pid) != std::end(pids); }
    void Add(DWORD pid) {
        if (Has(pid)) return;
        pids[next] = pid;
        next = (next + 1) % kSize;
    }
};
thread_local RaiseHints t_hints;

bool ReadCapabilities(CapabilityData& data) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool WriteCapabilities(CapabilityData& data) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
}

constexpr std::uint32_t kPtraceBit = 1u << (CAP_SYS_PTRACE % 32);
constexpr unsigned kPtraceWord = CAP_SYS_PTRACE / 32;

bool UnderMachineProcRoot() { return std::string_view(ProcRoot()) == "/proc"; }

// Enables the privilege; `notPermitted` when the thread may not hold it.
// A thread holds it when CAP_SYS_PTRACE is in its permitted set, or when the
// owner helper serves that may read every process: the helper then names
// the processes this thread may not look into.
bool EnableDebugPrivilege(bool& notPermitted) {
    t_debug.enabled = false;
    if (!ReadCapabilities(t_debug.caps)) return false;
    t_debug.enabled = (t_debug.caps[kPtraceWord].permitted & kPtraceBit) != 0 ||
                      (UnderMachineProcRoot() && owners::HelperMayReadEveryProcess());
    if (!t_debug.enabled) notPermitted = true;
    return true;
}

// Disables the privilege and makes sure the capability is not effective.
bool DisableDebugPrivilege() {
    CapabilityData fresh{};
    CapabilityData& caps = t_debug.enabled ? t_debug.caps : fresh;
    const bool known = t_debug.enabled;
    t_debug.enabled = false;
    if (!known && !ReadCapabilities(caps)) return false;
    if ((caps[kPtraceWord].effective & kPtraceBit) == 0) return true;
    caps[kPtraceWord].effective &= ~kPtraceBit;
    return WriteCapabilities(caps);
}

// Raises the capability for a read that needs it, when the privilege is
// enabled; false when it is not, is held already, or cannot be raised.
bool RaiseForDebugPrivilege() {
    if (!t_debug.enabled || (t_debug.caps[kPtraceWord].effective & kPtraceBit) != 0) return false;
    t_debug.caps[kPtraceWord].effective |= kPtraceBit;
    if (WriteCapabilities(t_debug.caps)) return true;
    t_debug.caps[kPtraceWord].effective &= ~kPtraceBit;
    return false;
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
        if (!DisableDebugPrivilege()) {
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
            const bool ok = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0 ? EnableDebugPrivilege(notAssigned)
                                                                       : DisableDebugPrivilege();
            if (!ok) {
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
    const char* root = ProcRoot();
    // Another machine's capture lists its processes in tables.
    if (std::string_view(root) != "/proc") {
        CapturedProcess captured;
        const CaptureLookup found = FindCapturedProcess(root, dwProcessId, captured);
        if (found == CaptureLookup::NotListed) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (found == CaptureLookup::Listed) {
            auto* process = new ProcessObject;
            process->pid = dwProcessId;
            process->hasExecutable = !captured.executable.empty();
            process->executable = std::move(captured.executable);
            SetLastError(NO_ERROR);
            return process;
        }
    }
    // PROC/PID/exe, built without allocating: this runs once per socket line.
    char exe[PATH_MAX];
    const int length = std::snprintf(exe, sizeof exe, "%s/%u/exe", root, dwProcessId);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof exe) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char target[PATH_MAX];
    if (t_debug.enabled && t_hints.Has(dwProcessId)) RaiseForDebugPrivilege();
    ssize_t n = ::readlink(exe, target, sizeof target);
    // A process this thread may not look into without the capability (one
    // of another user, or one whose capabilities exceed the effective set):
    // with the debug privilege enabled, the read is made again with it raised.
    if (n < 0 && (errno == EACCES || errno == EPERM) && RaiseForDebugPrivilege()) {
        n = ::readlink(exe, target, sizeof target);
        if (n >= 0) t_hints.Add(dwProcessId);
    }
    if (n < 0 && (errno == EACCES || errno == EPERM)) {
        // Another user's process: with the debug privilege, the owner helper
        // may have named it in its answer for the socket table just taken.
        std::string named;
        if (t_debug.enabled && UnderMachineProcRoot() && owners::CachedOwnerName(dwProcessId, named)) {
            auto* process = new ProcessObject;
            process->pid = dwProcessId;
            process->hasExecutable = true;
            process->executable = std::move(named);
            SetLastError(NO_ERROR);
            return process;
        }
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const bool hasExecutable = n > 0 && static_cast<std::size_t>(n) < sizeof target;
    if (!hasExecutable) {
        exe[length - 4] = '\0';  // PROC/PID
        if (::access(exe, F_OK) != 0) {
            SetLastError(errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    // A process without an executable link (a kernel thread, a zombie) opens
    // but has no modules.
    auto* process = new ProcessObject;
    process->pid = dwProcessId;
    process->hasExecutable = hasExecutable;
    if (hasExecutable) process->executable.assign(target, static_cast<std::size_t>(n));
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
    const std::string_view name = ExecutableBaseName(process->executable);
    if (name.empty()) return 0;
    const int length = static_cast<int>(name.size());
    // Straight into the caller's buffer when the name fits (a UTF-16 name
    // never has more units than its UTF-8 form has bytes); else cut to fit.
    if (name.size() <= nSize) {
        const int n = MultiByteToWideChar(CP_ACP, 0, name.data(), length, lpBaseName, static_cast<int>(nSize));
        if (n > 0 && static_cast<DWORD>(n) < nSize) lpBaseName[n] = u'\0';
        return static_cast<DWORD>(std::max(n, 0));
    }
    std::u16string wide(name.size(), u'\0');
    wide.resize(static_cast<std::size_t>(
        std::max(MultiByteToWideChar(CP_ACP, 0, name.data(), length, wide.data(), static_cast<int>(wide.size())), 0)));
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
