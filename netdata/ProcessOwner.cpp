#include "ProcessOwner.h"

#include <algorithm>
#include <optional>

#include "WideText.h"

namespace {

constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
constexpr DWORD kNameLength = 2048;

}  // namespace

BOOL CPrivilegeManager::SetTokenPrivilege(HANDLE hToken, BOOL bEnable, LUID luid) {
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Luid = luid;
    tp.Privileges[0].Attributes = bEnable ? SE_PRIVILEGE_ENABLED : 0;
    // Its result is not used: a partial change (ERROR_NOT_ALL_ASSIGNED when
    // the privilege is not held) succeeds as a call but fails here.
    AdjustTokenPrivileges(hToken, FALSE, &tp, sizeof(TOKEN_PRIVILEGES), nullptr, nullptr);
    return GetLastError() == NO_ERROR ? TRUE : FALSE;
}

CDebugPrivilegeScoper::CDebugPrivilegeScoper() {
    m_dwLastError = 0;
    m_hThread = GetCurrentThread();
    if (!OpenThreadToken(m_hThread, kTokenAccess, FALSE, &m_hToken)) {
        m_hToken = nullptr;
        m_dwLastError = GetLastError();
        // A thread without a token of its own takes one that copies the
        // process's, and keeps it for the rest of the process's life.
        if (m_dwLastError != ERROR_NO_TOKEN || !ImpersonateSelf(SecurityImpersonation) ||
            !OpenThreadToken(m_hThread, kTokenAccess, FALSE, &m_hToken)) {
            m_hToken = nullptr;
            return;
        }
    }
    LUID luid{};
    if (LookupPrivilegeValueW(nullptr, u"SeDebugPrivilege", &luid))
        m_bEnabled = SetTokenPrivilege(m_hToken, TRUE, luid);
}

CDebugPrivilegeScoper::~CDebugPrivilegeScoper() {
    if (m_bEnabled && m_hToken != nullptr) {
        LUID luid{};
        m_bEnabled = LookupPrivilegeValueW(nullptr, u"SeDebugPrivilege", &luid)
                         ? SetTokenPrivilege(m_hToken, FALSE, luid)
                         : FALSE;
    }
    if (m_hToken != nullptr) {
        CloseHandle(m_hToken);
        m_hToken = nullptr;
    }
}

std::u16string CProcessExplorer::GetProcessLabel(DWORD dwProcessId) {
    // The fallback text, unless a name replaces it below.
    auto fallback = [dwProcessId] { return FormatW(u"PID %5d : NT Kernel & System", {dwProcessId}); };
    std::u16string result;
    HANDLE process = nullptr;
    DWORD length = 0;
    char16_t name[kNameLength];
    {
        std::optional<CDebugPrivilegeScoper> scope;
        try {
            scope.emplace();
            process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, dwProcessId);
            if (process == nullptr) {
                m_dwLastError = GetLastError();
                return fallback();  // the scope ends on the way out
            }
            HMODULE module = nullptr;
            DWORD needed = 0;
            if (EnumProcessModules(process, &module, sizeof module, &needed))
                length = GetModuleBaseNameW(process, module, name, kNameLength);
        } catch (...) {
            // The lookup finishes with what it has; the scope ends below.
        }
    }
    try {
        if (length != 0) {
            name[kNameLength - 1] = u'\0';
            result =
                FormatW(u"PID %5d : %s", {dwProcessId, std::u16string_view(name, std::min(length, kNameLength - 1))});
        } else {
            result = fallback();
        }
    } catch (...) {
    }
    if (process != nullptr) CloseHandle(process);
    return result;
}
