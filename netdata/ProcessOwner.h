// The owner text of a process id: "PID %5d : NAME" with the file name of
// its executable, or "PID %5d : NT Kernel & System" when the process cannot
// be opened or read.  Each lookup asks the system again; nothing is cached.
#pragma once

#include <string>

#include "processes.h"

class CPrivilegeManager {
public:
    CPrivilegeManager() = default;
    virtual ~CPrivilegeManager() = default;

    // Switches one privilege of the token on or off; true only when the
    // change was made in full.
    BOOL SetTokenPrivilege(HANDLE hToken, BOOL bEnable, LUID luid);

    DWORD m_dwLastError = 0;
    HANDLE m_hThread = nullptr;
};

// Holds "SeDebugPrivilege" enabled on the calling thread's token for its
// lifetime, so that processes of other users can be read too.
class CDebugPrivilegeScoper : CPrivilegeManager {
public:
    CDebugPrivilegeScoper();
    ~CDebugPrivilegeScoper() override;
    CDebugPrivilegeScoper(const CDebugPrivilegeScoper&) = delete;
    CDebugPrivilegeScoper& operator=(const CDebugPrivilegeScoper&) = delete;

    using CPrivilegeManager::m_dwLastError;
    HANDLE m_hToken = nullptr;
    BOOL m_bEnabled = FALSE;
};

class CProcessExplorer {
public:
    CProcessExplorer() = default;
    virtual ~CProcessExplorer() = default;

    std::u16string GetProcessLabel(DWORD dwProcessId);

    DWORD m_dwLastError = 0;
};
