// Display texts of the platform's interface codes: interface types,
// operational states and the fifteen counters of an interface row.  Pure
// lookups; a code outside a table reads "[UNKNOWN]".
#pragma once

#include "win32.h"

const WCHAR* GetInterfaceTypeName(DWORD type);
const WCHAR* GetOperStatusName(DWORD status);
// The label of the counter at `index` in the run of fifteen 32-bit fields of
// an interface row, from dwAdminStatus (0) to dwOutQLen (14).
const WCHAR* GetInterfaceCounterName(DWORD index);
