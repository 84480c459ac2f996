// The Winsock calls and records the program uses, with their published
// 64-bit layouts.  On Linux they are implemented in platform/linux/.
#pragma once

#include <cstddef>

#include "win32.h"

inline constexpr int SOCKET_ERROR = -1;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;

// Address family numbers of the catalog (they differ from Linux's own for
// AF_INET6 and others).
inline constexpr int WS_AF_UNIX = 1;
inline constexpr int WS_AF_INET = 2;
inline constexpr int WS_AF_IPX = 6;
inline constexpr int WS_AF_APPLETALK = 16;
inline constexpr int WS_AF_INET6 = 23;
inline constexpr int WS_AF_BTH = 32;

inline constexpr int WS_SOCK_STREAM = 1;
inline constexpr int WS_SOCK_DGRAM = 2;
inline constexpr int WS_SOCK_RAW = 3;
inline constexpr int WS_SOCK_SEQPACKET = 5;

// Service flags (dwServiceFlags1).
inline constexpr DWORD XP1_CONNECTIONLESS = 0x00000001;
inline constexpr DWORD XP1_GUARANTEED_DELIVERY = 0x00000002;
inline constexpr DWORD XP1_GUARANTEED_ORDER = 0x00000004;
inline constexpr DWORD XP1_MESSAGE_ORIENTED = 0x00000008;
inline constexpr DWORD XP1_PSEUDO_STREAM = 0x00000010;
inline constexpr DWORD XP1_GRACEFUL_CLOSE = 0x00000020;
inline constexpr DWORD XP1_EXPEDITED_DATA = 0x00000040;
inline constexpr DWORD XP1_CONNECT_DATA = 0x00000080;
inline constexpr DWORD XP1_DISCONNECT_DATA = 0x00000100;
inline constexpr DWORD XP1_SUPPORT_BROADCAST = 0x00000200;
inline constexpr DWORD XP1_SUPPORT_MULTIPOINT = 0x00000400;
inline constexpr DWORD XP1_IFS_HANDLES = 0x00020000;
inline constexpr DWORD XP1_PARTIAL_MESSAGE = 0x00040000;

// Provider flags (dwProviderFlags).
inline constexpr DWORD PFL_MULTIPLE_PROTO_ENTRIES = 0x1;
inline constexpr DWORD PFL_RECOMMENDED_PROTO_ENTRY = 0x2;
inline constexpr DWORD PFL_HIDDEN = 0x4;
inline constexpr DWORD PFL_MATCHES_PROTOCOL_ZERO = 0x8;

inline constexpr int WSADESCRIPTION_LEN = 256;
inline constexpr int WSASYS_STATUS_LEN = 128;
inline constexpr int WSAPROTOCOL_LEN = 255;
inline constexpr int MAX_PROTOCOL_CHAIN = 7;
inline constexpr int BIGENDIAN = 0;
inline constexpr int LITTLEENDIAN = 1;
inline constexpr int SECURITY_PROTOCOL_NONE = 0;

// Field order of the 64-bit platform.
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
};
using LPWSADATA = WSADATA*;
static_assert(sizeof(WSADATA) == 408);

struct WSAPROTOCOLCHAIN {
    int ChainLen;
    DWORD ChainEntries[MAX_PROTOCOL_CHAIN];
};

struct WSAPROTOCOL_INFOW {
    DWORD dwServiceFlags1;
    DWORD dwServiceFlags2;
    DWORD dwServiceFlags3;
    DWORD dwServiceFlags4;
    DWORD dwProviderFlags;
    GUID ProviderId;
    DWORD dwCatalogEntryId;
    WSAPROTOCOLCHAIN ProtocolChain;
    int iVersion;
    int iAddressFamily;
    int iMaxSockAddr;
    int iMinSockAddr;
    int iSocketType;
    int iProtocol;
    int iProtocolMaxOffset;
    int iNetworkByteOrder;
    int iSecurityScheme;
    DWORD dwMessageSize;
    DWORD dwProviderReserved;
    WCHAR szProtocol[WSAPROTOCOL_LEN + 1];
};
using LPWSAPROTOCOL_INFOW = WSAPROTOCOL_INFOW*;
static_assert(offsetof(WSAPROTOCOL_INFOW, ProviderId) == 20);
static_assert(offsetof(WSAPROTOCOL_INFOW, ProtocolChain) == 40);
static_assert(offsetof(WSAPROTOCOL_INFOW, iAddressFamily) == 76);
static_assert(offsetof(WSAPROTOCOL_INFOW, dwMessageSize) == 108);
static_assert(offsetof(WSAPROTOCOL_INFOW, szProtocol) == 116);
static_assert(sizeof(WSAPROTOCOL_INFOW) == 628);

inline constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int iError);
// lpiProtocols null asks for every protocol.  The buffer length is in bytes,
// passed in and out: too small (or a null buffer) fails with WSAENOBUFS and
// stores the needed length.
int WSAEnumProtocolsW(LPINT lpiProtocols, LPWSAPROTOCOL_INFOW lpProtocolBuffer, LPDWORD lpdwBufferLength);

#ifdef __linux__
#include <string>
#include <string_view>
#include <vector>
// The protocol names of /proc/net/protocols (its first column, below the
// header line): the protocols whose modules the kernel has loaded.
std::vector<std::string> RegisteredProtocolNames(std::string_view text);
#endif
