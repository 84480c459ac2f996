// Processes, threads and their tokens, as the program's owner lookups use
// them.  On Linux (platform/linux/process_linux.cpp):
//  - a process "opens" when /proc/PID exists under the proc root; its first
//    module is its executable, named by the /proc/PID/exe link;
//  - the thread's token stands for the calling thread's capability sets;
//    "SeDebugPrivilege" is CAP_SYS_PTRACE: AdjustTokenPrivileges enables it
//    when it is in the permitted set, or when the owner helper serves with
//    the capabilities to read every process (else leaves
//    ERROR_NOT_ALL_ASSIGNED); OpenProcess raises it into the effective set
//    when, and only when, it needs it to read another user's process, or
//    takes the name the helper gave with the latest socket table; disabling
//    the privilege drops it from the effective set;
//  - a thread has no token of its own until ImpersonateSelf, which changes
//    nothing else.
#pragma once

#include "win32.h"

inline constexpr DWORD ERROR_PARTIAL_COPY = 299;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NO_TOKEN = 1008;
inline constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
inline constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;

inline constexpr DWORD PROCESS_ALL_ACCESS = 0x1FFFFF;
inline constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;

enum SECURITY_IMPERSONATION_LEVEL : int {
    SecurityAnonymous,
    SecurityIdentification,
    SecurityImpersonation,
    SecurityDelegation,
};

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
static_assert(sizeof(TOKEN_PRIVILEGES) == 16);

using PHANDLE = HANDLE*;

// A handle that stands for the calling thread; it needs no closing.
HANDLE GetCurrentThread();
BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf, PHANDLE TokenHandle);
BOOL ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL ImpersonationLevel);
BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, LUID* lpLuid);
BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, TOKEN_PRIVILEGES* NewState,
                           DWORD BufferLength, TOKEN_PRIVILEGES* PreviousState, PDWORD ReturnLength);

// Null with ERROR_INVALID_PARAMETER for a process id that names no process
// (0 included), or ERROR_ACCESS_DENIED when the process may not be read.
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded);
// Copies the module's base name, cut to nSize units; returns the number
// copied (with no terminating zero when cut), 0 on failure.
DWORD GetModuleBaseNameW(HANDLE hProcess, HMODULE hModule, LPWSTR lpBaseName, DWORD nSize);
BOOL CloseHandle(HANDLE hObject);
