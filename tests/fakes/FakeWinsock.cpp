#include "FakeWinsock.h"

#include <algorithm>
#include <cstring>

namespace {
int g_lastError = 0;
int g_started = 0;
}  // namespace

FakeWinsockScript& FakeWinsock() {
    static FakeWinsockScript script;
    return script;
}

int WSAStartup(WORD, LPWSADATA) {
    ++g_started;
    return 0;
}

int WSACleanup() {
    --g_started;
    return 0;
}

int WSAGetLastError() { return g_lastError; }

void WSASetLastError(int error) { g_lastError = error; }

int WSAEnumProtocolsW(LPINT, LPWSAPROTOCOL_INFOW buffer, LPDWORD length) {
    FakeWinsockScript& s = FakeWinsock();
    const std::size_t call = s.calls.size();
    s.calls.push_back({buffer, *length});
    if (s.forcedError != 0) {
        g_lastError = s.forcedError;
        return SOCKET_ERROR;
    }
    const int n = !s.content.empty() ? static_cast<int>(s.content.size())
                                     : s.entries[std::min(call, s.entries.size() - 1)];
    const DWORD needed = static_cast<DWORD>(n) * sizeof(WSAPROTOCOL_INFOW);
    if (needed > 0 && (buffer == nullptr || *length < needed)) {
        *length = needed;
        g_lastError = WSAENOBUFS;
        return SOCKET_ERROR;
    }
    // Writes exactly what the caller said it has room for: a length above the
    // real buffer shows up as an overflow under the address sanitizer.
    if (needed > 0) std::memset(buffer, 0x5a, *length);
    for (int i = 0; i < n; ++i) {
        if (!s.content.empty()) buffer[i] = s.content[static_cast<std::size_t>(i)];
        else buffer[i].iProtocol = i + 1;
    }
    return n;
}
