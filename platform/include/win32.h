// The Win32 surface the program is written against: basic types with their
// Windows widths, module loading, error codes.  On Linux these are declared
// here and implemented under platform/linux/; elsewhere the system headers
// provide them.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
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
inline constexpr DWORD ERROR_NOT_FOUND = 1168;
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

// ------------------------------------------------------------------ text
// On Linux the narrow code page of the system (CP_ACP) is UTF-8.
inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
using LPCCH = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPSTR = char*;
using LPCWCH = const WCHAR*;
// Converts narrow text to UTF-16: with a zero output size, returns the
// number of UTF-16 units needed; otherwise the number written (0 when the
// output is too small).  Bytes that are not valid UTF-8 become U+FFFD, one
// per byte.  A length of -1 converts up to and including the terminating 0.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar);
// The reverse, to UTF-8; unpaired surrogates become U+FFFD.  The last three
// arguments of the original (default character, used-default flag) are not
// needed for UTF-8 and must be null.
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCCH lpDefaultChar, BOOL* lpUsedDefaultChar);
