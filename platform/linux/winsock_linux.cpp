// Winsock's start-up count, last error and protocol catalog, on Linux.
//
// The catalog lists the transport protocols that this machine can open
// sockets for: each candidate below is probed with socket(2), and only the
// ones the kernel accepts are reported.  The values of each entry are the
// ones users of this catalog know for the protocol.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>
#include <vector>

#include "winsock.h"

namespace {

std::atomic<int> g_startupCount{0};
thread_local int t_wsaLastError = 0;

struct CatalogCandidate {
    int linuxFamily;
    int linuxType;
    int linuxProtocol;
    int family;  // the catalog's numbering
    int socketType;
    int protocol;
    std::u16string_view name;
    DWORD serviceFlags;
    DWORD providerFlags;
    DWORD messageSize;
    int sockAddrLength;
    GUID provider;
};

// One provider GUID per address family's provider, fixed for every run and
// every machine.
constexpr GUID kInetProvider = {0x6d1a4e21, 0x3c57, 0x4b9e, {0x9a, 0x41, 0x57, 0x0e, 0x2b, 0x86, 0x11, 0xc4}};
constexpr GUID kInet6Provider = {0x6d1a4e22, 0x3c57, 0x4b9e, {0x9a, 0x41, 0x57, 0x0e, 0x2b, 0x86, 0x11, 0xc4}};

constexpr DWORD kTcpFlags =
    XP1_GUARANTEED_DELIVERY | XP1_GUARANTEED_ORDER | XP1_GRACEFUL_CLOSE | XP1_EXPEDITED_DATA | XP1_IFS_HANDLES;
constexpr DWORD kUdpFlags =
    XP1_CONNECTIONLESS | XP1_MESSAGE_ORIENTED | XP1_SUPPORT_BROADCAST | XP1_SUPPORT_MULTIPOINT | XP1_IFS_HANDLES;
// IPv6 has no broadcast.
constexpr DWORD kUdp6Flags = kUdpFlags & ~XP1_SUPPORT_BROADCAST;

// Largest UDP payload: 65535 less the IP header (20 bytes over IPv4; the
// IPv6 header is not counted in its payload length) and the 8-byte UDP header.
constexpr DWORD kUdp4MessageSize = 65507;
constexpr DWORD kUdp6MessageSize = 65527;

const CatalogCandidate kCandidates[] = {
    {AF_INET, SOCK_STREAM, 6, WS_AF_INET, WS_SOCK_STREAM, 6, u"TCP/IP", kTcpFlags, PFL_MATCHES_PROTOCOL_ZERO, 0, 16,
     kInetProvider},
    {AF_INET, SOCK_DGRAM, 17, WS_AF_INET, WS_SOCK_DGRAM, 17, u"UDP/IP", kUdpFlags, PFL_MATCHES_PROTOCOL_ZERO,
     kUdp4MessageSize, 16, kInetProvider},
    {AF_INET6, SOCK_STREAM, 6, WS_AF_INET6, WS_SOCK_STREAM, 6, u"TCP/IPv6", kTcpFlags, PFL_MATCHES_PROTOCOL_ZERO, 0, 28,
     kInet6Provider},
    {AF_INET6, SOCK_DGRAM, 17, WS_AF_INET6, WS_SOCK_DGRAM, 17, u"UDP/IPv6", kUdp6Flags, PFL_MATCHES_PROTOCOL_ZERO,
     kUdp6MessageSize, 28, kInet6Provider},
};

bool KernelOpens(const CatalogCandidate& c) {
    int fd = ::socket(c.linuxFamily, c.linuxType | SOCK_CLOEXEC, c.linuxProtocol);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool Wanted(const int* filter, int protocol) {
    if (filter == nullptr) return true;
    // The filter is a zero-terminated list of protocol numbers.
    for (int i = 0; filter[i] != 0; ++i)
        if (filter[i] == protocol) return true;
    return false;
}

WSAPROTOCOL_INFOW MakeEntry(const CatalogCandidate& c, DWORD catalogId) {
    WSAPROTOCOL_INFOW e;
    std::memset(&e, 0, sizeof e);
    e.dwServiceFlags1 = c.serviceFlags;
    e.dwProviderFlags = c.providerFlags;
    e.ProviderId = c.provider;
    e.dwCatalogEntryId = catalogId;
    e.ProtocolChain.ChainLen = 1;  // a base protocol, not a layered one
    e.iVersion = 2;
    e.iAddressFamily = c.family;
    e.iMaxSockAddr = c.sockAddrLength;
    e.iMinSockAddr = c.sockAddrLength;
    e.iSocketType = c.socketType;
    e.iProtocol = c.protocol;
    e.iNetworkByteOrder = BIGENDIAN;
    e.iSecurityScheme = SECURITY_PROTOCOL_NONE;
    e.dwMessageSize = c.messageSize;
    const std::size_t n = std::min<std::size_t>(c.name.size(), WSAPROTOCOL_LEN);
    std::memcpy(e.szProtocol, c.name.data(), n * sizeof(WCHAR));
    return e;
}

int Fail(int error) {
    t_wsaLastError = error;
    return SOCKET_ERROR;
}

}  // namespace

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    const int major = wVersionRequested & 0xff;
    const int minor = wVersionRequested >> 8;
    if (major < 1) return WSAVERNOTSUPPORTED;
    if (lpWSAData == nullptr) return WSAEFAULT;
    std::memset(lpWSAData, 0, sizeof *lpWSAData);
    // Versions above 2.2 are answered with 2.2, as the library does.
    lpWSAData->wVersion = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : wVersionRequested;
    lpWSAData->wHighVersion = MAKEWORD(2, 2);
    std::strcpy(lpWSAData->szDescription, "WinSock 2.0");
    std::strcpy(lpWSAData->szSystemStatus, "Running");
    ++g_startupCount;
    return 0;
}

int WSACleanup() {
    int count = g_startupCount.load();
    while (count > 0 && !g_startupCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0) return Fail(WSANOTINITIALISED);
    return 0;
}

int WSAGetLastError() { return t_wsaLastError; }

void WSASetLastError(int iError) { t_wsaLastError = iError; }

int WSAEnumProtocolsW(LPINT lpiProtocols, LPWSAPROTOCOL_INFOW lpProtocolBuffer, LPDWORD lpdwBufferLength) {
    if (g_startupCount.load() <= 0) return Fail(WSANOTINITIALISED);
    if (lpdwBufferLength == nullptr) return Fail(WSAEFAULT);

    std::vector<WSAPROTOCOL_INFOW> entries;
    DWORD catalogId = 1001;
    for (const CatalogCandidate& c : kCandidates) {
        const DWORD id = catalogId++;
        if (Wanted(lpiProtocols, c.protocol) && KernelOpens(c)) entries.push_back(MakeEntry(c, id));
    }
    const DWORD needed = static_cast<DWORD>(entries.size() * sizeof(WSAPROTOCOL_INFOW));
    if (needed > 0 && (lpProtocolBuffer == nullptr || *lpdwBufferLength < needed)) {
        *lpdwBufferLength = needed;
        return Fail(WSAENOBUFS);
    }
    if (needed > 0) std::memcpy(lpProtocolBuffer, entries.data(), needed);
    return static_cast<int>(entries.size());
}
