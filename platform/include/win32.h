// The Win32 surface the program is written against: basic types with their
// Windows widths, module loading, error codes.  On Linux these are declared
// here and implemented under platform/linux/; elsewhere the system headers
// provide them.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;  // 32-bit on Windows, unlike Linux's unsigned long
using UINT = std::uint32_t;
using INT = std::int32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;
using WCHAR = char16_t;  // a UTF-16 code unit; wchar_t is 32-bit on Linux
using PVOID = void*;
using PULONG = ULONG*;
using PDWORD = DWORD*;
using LPDWORD = DWORD*;
using LPINT = int*;
using HMODULE = void*;
using HINSTANCE = void*;
using HANDLE = void*;
using FARPROC = void (*)();
using LPCSTR = const char*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// System error codes used by the program and the provider.
inline constexpr DWORD NO_ERROR = 0;
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_NO_DATA = 232;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

// Module loading.  On Linux "NAME.dll" opens libNAME.so (lower-case stem)
// from the directory named by TESSALINE_LIBRARY_PATH when that is set, else
// from the program's library directory (beside the executable, then
// ../lib/tessaline).  Failure returns null, a value below 32.
HMODULE LoadLibraryA(LPCSTR lpLibFileName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL FreeLibrary(HMODULE hModule);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
