// Winsock's start-up count, last error and protocol catalog, on Linux.
//
// The catalog lists the transport protocols that this machine can open
// sockets for: each candidate below whose kernel module is loaded is probed
// with socket(2), and only the ones the kernel accepts are reported.  A
// protocol that needs a capability we lack (raw IP) or a permission we do
// not have (ICMP echo sockets outside ping_group_range) is absent.  The values of each entry are the
// ones users of this catalog know for the protocol.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ProcRootEnv.h"
#include "winsock.h"

namespace {

std::atomic<int> g_startupCount{0};
thread_local int t_wsaLastError = 0;

// How a candidate's largest message is known.
enum class MessageSize {
    Stream,      // 0: a byte stream has no messages
    Fixed,       // the size in the table
    SendBuffer,  // the send buffer of a fresh socket, less `size` bytes of overhead
};

struct CatalogCandidate {
    int linuxFamily;
    int linuxType;
    int linuxProtocol;
    // Names under which the kernel lists the protocol in /proc/net/protocols
    // once its module is loaded; a protocol listed under none is not probed,
    // so that probing never makes the kernel load a module.
    std::array<std::string_view, 2> registeredAs;
    int family;  // the catalog's numbering
    int socketType;
    int protocol;
    int protocolMaxOffset;
    std::u16string_view name;
    DWORD serviceFlags;
    DWORD providerFlags;
    MessageSize sizeRule;
    DWORD messageSize;
    int byteOrder;
    int minSockAddr, maxSockAddr;
    const GUID* provider;
};

// One provider GUID per address family's provider, fixed for every run and
// every machine.
constexpr GUID kInetProvider = {0x6d1a4e21, 0x3c57, 0x4b9e, {0x9a, 0x41, 0x57, 0x0e, 0x2b, 0x86, 0x11, 0xc4}};
constexpr GUID kInet6Provider = {0x6d1a4e22, 0x3c57, 0x4b9e, {0x9a, 0x41, 0x57, 0x0e, 0x2b, 0x86, 0x11, 0xc4}};
constexpr GUID kUnixProvider = {0x6d1a4e23, 0x3c57, 0x4b9e, {0x9a, 0x41, 0x57, 0x0e, 0x2b, 0x86, 0x11, 0xc4}};
constexpr GUID kIpxProvider = {0x6d1a4e24, 0x3c57, 0x4b9e, {0x9a, 0x41, 0x57, 0x0e, 0x2b, 0x86, 0x11, 0xc4}};
constexpr GUID kAppleTalkProvider = {0x6d1a4e25, 0x3c57, 0x4b9e, {0x9a, 0x41, 0x57, 0x0e, 0x2b, 0x86, 0x11, 0xc4}};
constexpr GUID kBluetoothProvider = {0x6d1a4e26, 0x3c57, 0x4b9e, {0x9a, 0x41, 0x57, 0x0e, 0x2b, 0x86, 0x11, 0xc4}};

constexpr DWORD kTcpFlags =
    XP1_GUARANTEED_DELIVERY | XP1_GUARANTEED_ORDER | XP1_GRACEFUL_CLOSE | XP1_EXPEDITED_DATA | XP1_IFS_HANDLES;
constexpr DWORD kUdpFlags =
    XP1_CONNECTIONLESS | XP1_MESSAGE_ORIENTED | XP1_SUPPORT_BROADCAST | XP1_SUPPORT_MULTIPOINT | XP1_IFS_HANDLES;
// IPv6 has no broadcast.
constexpr DWORD kUdp6Flags = kUdpFlags & ~XP1_SUPPORT_BROADCAST;
// ICMP echo sockets: datagrams to one peer at a time.
constexpr DWORD kPingFlags = XP1_CONNECTIONLESS | XP1_MESSAGE_ORIENTED | XP1_IFS_HANDLES;
// Reliable, ordered messages over a connection (SCTP, Unix and Bluetooth
// sequenced packets).
constexpr DWORD kSeqPacketFlags =
    XP1_GUARANTEED_DELIVERY | XP1_GUARANTEED_ORDER | XP1_MESSAGE_ORIENTED | XP1_GRACEFUL_CLOSE | XP1_IFS_HANDLES;
// A reliable byte stream without urgent data (Unix streams, RFCOMM).
constexpr DWORD kPlainStreamFlags = XP1_GUARANTEED_DELIVERY | XP1_GUARANTEED_ORDER | XP1_GRACEFUL_CLOSE | XP1_IFS_HANDLES;
// Unix datagrams are never lost or reordered: a full receiver blocks the
// sender.
constexpr DWORD kUnixDatagramFlags =
    XP1_CONNECTIONLESS | XP1_GUARANTEED_DELIVERY | XP1_GUARANTEED_ORDER | XP1_MESSAGE_ORIENTED | XP1_IFS_HANDLES;
constexpr DWORD kLinkDatagramFlags = XP1_CONNECTIONLESS | XP1_MESSAGE_ORIENTED | XP1_SUPPORT_BROADCAST | XP1_IFS_HANDLES;

// Largest payloads: 65535 less the IPv4 header (the IPv6 header is not
// counted in its payload length) and the 8-byte UDP or ICMP header.
constexpr DWORD kUdp4MessageSize = 65507;
constexpr DWORD kUdp6MessageSize = 65527;
constexpr DWORD kRaw4MessageSize = 65515;
constexpr DWORD kRaw6MessageSize = 65535;
// A Unix datagram must fit the sender's buffer with 32 bytes to spare.
constexpr DWORD kUnixOverhead = 32;

// Unix and Bluetooth data keep the byte order of the host and the radio.
constexpr int kHostOrder = std::endian::native == std::endian::little ? LITTLEENDIAN : BIGENDIAN;

// Linux numbers of the families without a constant in every libc.
constexpr int kLinuxIpx = 4;
constexpr int kLinuxAppleTalk = 5;
constexpr int kLinuxBluetooth = 31;
constexpr int kRfcomm = 3;
constexpr int kIpProtoMptcp = 262;
constexpr int kIpProtoUdpLite = 136;
constexpr int kIpProtoSctp = 132;
// The catalog's protocol numbers of IPX and of Bluetooth's L2CAP.
constexpr int kCatalogIpx = 1000;
constexpr int kCatalogL2cap = 0x100;

using enum MessageSize;
constexpr DWORD kMatches = PFL_MATCHES_PROTOCOL_ZERO;

// In catalog order: IPv4, IPv6, Unix, IPX, AppleTalk, Bluetooth.
const CatalogCandidate kCandidates[] = {
    {AF_INET, SOCK_STREAM, IPPROTO_TCP, {"TCP"}, WS_AF_INET, WS_SOCK_STREAM, 6, 0, u"TCP/IP", kTcpFlags, kMatches,
     Stream, 0, BIGENDIAN, 16, 16, &kInetProvider},
    {AF_INET, SOCK_DGRAM, IPPROTO_UDP, {"UDP"}, WS_AF_INET, WS_SOCK_DGRAM, 17, 0, u"UDP/IP", kUdpFlags, kMatches, Fixed,
     kUdp4MessageSize, BIGENDIAN, 16, 16, &kInetProvider},
    // A raw socket names its IP protocol when it opens, anywhere from 0 to
    // 255; the kernel refuses 0 itself, so protocol 0 does not select it.
    {AF_INET, SOCK_RAW, IPPROTO_RAW, {"RAW"}, WS_AF_INET, WS_SOCK_RAW, 0, 255, u"RAW/IP", kUdpFlags, 0, Fixed,
     kRaw4MessageSize, BIGENDIAN, 16, 16, &kInetProvider},
    {AF_INET, SOCK_DGRAM, IPPROTO_ICMP, {"PING"}, WS_AF_INET, WS_SOCK_DGRAM, 1, 0, u"ICMP/IP", kPingFlags, 0, Fixed,
     kUdp4MessageSize, BIGENDIAN, 16, 16, &kInetProvider},
    {AF_INET, SOCK_DGRAM, kIpProtoUdpLite, {"UDP-Lite"}, WS_AF_INET, WS_SOCK_DGRAM, kIpProtoUdpLite, 0, u"UDP-Lite/IP",
     kUdpFlags, 0, Fixed, kUdp4MessageSize, BIGENDIAN, 16, 16, &kInetProvider},
    {AF_INET, SOCK_STREAM, kIpProtoSctp, {"SCTP"}, WS_AF_INET, WS_SOCK_STREAM, kIpProtoSctp, 0, u"SCTP/IP",
     kSeqPacketFlags, 0, Stream, 0, BIGENDIAN, 16, 16, &kInetProvider},
    {AF_INET, SOCK_SEQPACKET, kIpProtoSctp, {"SCTP"}, WS_AF_INET, WS_SOCK_SEQPACKET, kIpProtoSctp, 0,
     u"SCTP/IP sequenced packet", kSeqPacketFlags, kMatches, SendBuffer, 0, BIGENDIAN, 16, 16, &kInetProvider},
    {AF_INET, SOCK_STREAM, kIpProtoMptcp, {"MPTCP"}, WS_AF_INET, WS_SOCK_STREAM, kIpProtoMptcp, 0, u"MPTCP/IP",
     kTcpFlags, 0, Stream, 0, BIGENDIAN, 16, 16, &kInetProvider},

    {AF_INET6, SOCK_STREAM, IPPROTO_TCP, {"TCPv6"}, WS_AF_INET6, WS_SOCK_STREAM, 6, 0, u"TCP/IPv6", kTcpFlags, kMatches,
     Stream, 0, BIGENDIAN, 28, 28, &kInet6Provider},
    {AF_INET6, SOCK_DGRAM, IPPROTO_UDP, {"UDPv6"}, WS_AF_INET6, WS_SOCK_DGRAM, 17, 0, u"UDP/IPv6", kUdp6Flags, kMatches,
     Fixed, kUdp6MessageSize, BIGENDIAN, 28, 28, &kInet6Provider},
    {AF_INET6, SOCK_RAW, IPPROTO_RAW, {"RAWv6"}, WS_AF_INET6, WS_SOCK_RAW, 0, 255, u"RAW/IPv6", kUdp6Flags, 0, Fixed,
     kRaw6MessageSize, BIGENDIAN, 28, 28, &kInet6Provider},
    {AF_INET6, SOCK_DGRAM, IPPROTO_ICMPV6, {"PINGv6"}, WS_AF_INET6, WS_SOCK_DGRAM, 58, 0, u"ICMP/IPv6", kPingFlags, 0,
     Fixed, kUdp6MessageSize, BIGENDIAN, 28, 28, &kInet6Provider},
    {AF_INET6, SOCK_DGRAM, kIpProtoUdpLite, {"UDPLITEv6"}, WS_AF_INET6, WS_SOCK_DGRAM, kIpProtoUdpLite, 0,
     u"UDP-Lite/IPv6", kUdp6Flags, 0, Fixed, kUdp6MessageSize, BIGENDIAN, 28, 28, &kInet6Provider},
    {AF_INET6, SOCK_STREAM, kIpProtoSctp, {"SCTPv6"}, WS_AF_INET6, WS_SOCK_STREAM, kIpProtoSctp, 0, u"SCTP/IPv6",
     kSeqPacketFlags, 0, Stream, 0, BIGENDIAN, 28, 28, &kInet6Provider},
    {AF_INET6, SOCK_SEQPACKET, kIpProtoSctp, {"SCTPv6"}, WS_AF_INET6, WS_SOCK_SEQPACKET, kIpProtoSctp, 0,
     u"SCTP/IPv6 sequenced packet", kSeqPacketFlags, kMatches, SendBuffer, 0, BIGENDIAN, 28, 28, &kInet6Provider},
    {AF_INET6, SOCK_STREAM, kIpProtoMptcp, {"MPTCPv6"}, WS_AF_INET6, WS_SOCK_STREAM, kIpProtoMptcp, 0, u"MPTCP/IPv6",
     kTcpFlags, 0, Stream, 0, BIGENDIAN, 28, 28, &kInet6Provider},

    // Kernels before 5.15 list every Unix socket as "UNIX".
    {AF_UNIX, SOCK_STREAM, 0, {"UNIX-STREAM", "UNIX"}, WS_AF_UNIX, WS_SOCK_STREAM, 0, 0, u"Unix stream",
     kPlainStreamFlags, kMatches, Stream, 0, kHostOrder, 2, 110, &kUnixProvider},
    {AF_UNIX, SOCK_DGRAM, 0, {"UNIX"}, WS_AF_UNIX, WS_SOCK_DGRAM, 0, 0, u"Unix datagram", kUnixDatagramFlags, kMatches,
     SendBuffer, kUnixOverhead, kHostOrder, 2, 110, &kUnixProvider},
    {AF_UNIX, SOCK_SEQPACKET, 0, {"UNIX"}, WS_AF_UNIX, WS_SOCK_SEQPACKET, 0, 0, u"Unix sequenced packet",
     kSeqPacketFlags, kMatches, SendBuffer, kUnixOverhead, kHostOrder, 2, 110, &kUnixProvider},

    {kLinuxIpx, SOCK_DGRAM, 0, {"IPX"}, WS_AF_IPX, WS_SOCK_DGRAM, kCatalogIpx, 0, u"IPX", kLinkDatagramFlags, kMatches,
     Fixed, 546, BIGENDIAN, 16, 16, &kIpxProvider},
    {kLinuxAppleTalk, SOCK_DGRAM, 0, {"DDP"}, WS_AF_APPLETALK, WS_SOCK_DGRAM, 0, 0, u"AppleTalk DDP",
     kLinkDatagramFlags, kMatches, Fixed, 586, BIGENDIAN, 16, 16, &kAppleTalkProvider},

    {kLinuxBluetooth, SOCK_STREAM, kRfcomm, {"RFCOMM"}, WS_AF_BTH, WS_SOCK_STREAM, kRfcomm, 0, u"Bluetooth RFCOMM",
     kPlainStreamFlags, 0, Stream, 0, kHostOrder, 10, 10, &kBluetoothProvider},
    {kLinuxBluetooth, SOCK_SEQPACKET, 0, {"L2CAP"}, WS_AF_BTH, WS_SOCK_SEQPACKET, kCatalogL2cap, 0, u"Bluetooth L2CAP",
     kSeqPacketFlags, kMatches, Fixed, 65535, kHostOrder, 14, 14, &kBluetoothProvider},
};

// The protocol names in the first column of /proc/net/protocols, or nothing
// when it cannot be read.  Opened as the provider opens its files: without
// waiting, and read only when it is a regular file, so that anything else
// found there (a FIFO would block a plain open for good) counts as unread.
// Another machine, read from the copy of its files below this root (set by
// the program for --remote); empty for this machine.
std::string MachineRoot() {
    const char* root = MachineRootFromEnvironment();
    return root != nullptr ? root : "";
}

// A small file's text (at most 256 KiB), or nothing when it cannot be read.
std::optional<std::string> ReadSmallText(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (int reads = 0; reads < 64; ++reads) {  // the file is a few kilobytes
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

std::optional<std::vector<std::string>> RegisteredProtocols() {
    const auto text = ReadSmallText(MachineRoot() + "/proc/net/protocols");
    if (!text) return std::nullopt;
    return RegisteredProtocolNames(*text);
}

// Another machine's sockets cannot be opened from here: a protocol its
// kernel registers is listed, and a message size that follows the send
// buffer is taken from its default send buffer.
bool RegisteredThere(const CatalogCandidate& c, DWORD& messageSize) {
    messageSize = c.sizeRule == Stream ? 0 : c.messageSize;
    if (c.sizeRule == SendBuffer) {
        messageSize = 0;
        const auto text = ReadSmallText(MachineRoot() + "/proc/sys/net/core/wmem_default");
        unsigned long buffer = 0;
        if (text && std::sscanf(text->c_str(), "%lu", &buffer) == 1 && buffer > c.messageSize && buffer < 1ul << 31)
            messageSize = static_cast<DWORD>(buffer) - c.messageSize;
    }
    return true;
}

bool Registered(const CatalogCandidate& c, const std::optional<std::vector<std::string>>& registered) {
    // Without the list, only what every Linux kernel has built in is probed.
    if (!registered)
        return c.linuxFamily == AF_UNIX || (c.linuxFamily == AF_INET &&
                                            (c.linuxProtocol == IPPROTO_TCP || c.linuxProtocol == IPPROTO_UDP));
    for (std::string_view name : c.registeredAs)
        if (!name.empty() && std::find(registered->begin(), registered->end(), name) != registered->end()) return true;
    return false;
}

// Opens the candidate's socket: the kernel accepts it, and we may use it.
// The largest message is read off the open socket where it depends on it.
bool KernelOpens(const CatalogCandidate& c, DWORD& messageSize) {
    const int fd = ::socket(c.linuxFamily, c.linuxType | SOCK_CLOEXEC, c.linuxProtocol);
    if (fd < 0) return false;
    messageSize = c.sizeRule == Stream ? 0 : c.messageSize;
    if (c.sizeRule == SendBuffer) {
        int buffer = 0;
        socklen_t length = sizeof buffer;
        if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, &length) == 0 && buffer > static_cast<int>(c.messageSize))
            messageSize = static_cast<DWORD>(buffer) - c.messageSize;
        else
            messageSize = 0;
    }
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

WSAPROTOCOL_INFOW MakeEntry(const CatalogCandidate& c, DWORD catalogId, DWORD messageSize) {
    WSAPROTOCOL_INFOW e;
    std::memset(&e, 0, sizeof e);
    e.dwServiceFlags1 = c.serviceFlags;
    e.dwProviderFlags = c.providerFlags;
    e.ProviderId = *c.provider;
    e.dwCatalogEntryId = catalogId;
    e.ProtocolChain.ChainLen = 1;  // a base protocol, not a layered one
    e.iVersion = 2;
    e.iAddressFamily = c.family;
    e.iMaxSockAddr = c.maxSockAddr;
    e.iMinSockAddr = c.minSockAddr;
    e.iSocketType = c.socketType;
    e.iProtocol = c.protocol;
    e.iProtocolMaxOffset = c.protocolMaxOffset;
    e.iNetworkByteOrder = c.byteOrder;
    e.iSecurityScheme = SECURITY_PROTOCOL_NONE;
    e.dwMessageSize = messageSize;
    const std::size_t n = std::min<std::size_t>(c.name.size(), WSAPROTOCOL_LEN);
    std::memcpy(e.szProtocol, c.name.data(), n * sizeof(WCHAR));
    return e;
}

}  // namespace

std::vector<std::string> RegisteredProtocolNames(std::string_view text) {
    std::vector<std::string> names;
    bool header = true;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (header) {  // "protocol  size sockets ..."
            header = false;
            continue;
        }
        const std::size_t word = line.find_first_of(" \t");
        line = line.substr(0, word);
        if (!line.empty() && names.size() < 256) names.emplace_back(line);
    }
    return names;
}

namespace {

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
    const auto registered = RegisteredProtocols();
    const bool remote = !MachineRoot().empty();
    DWORD catalogId = 1001;
    for (const CatalogCandidate& c : kCandidates) {
        const DWORD id = catalogId++;
        DWORD messageSize = 0;
        if (Wanted(lpiProtocols, c.protocol) && Registered(c, registered) &&
            (remote ? RegisteredThere(c, messageSize) : KernelOpens(c, messageSize)))
            entries.push_back(MakeEntry(c, id, messageSize));
    }
    const DWORD needed = static_cast<DWORD>(entries.size() * sizeof(WSAPROTOCOL_INFOW));
    if (needed > 0 && (lpProtocolBuffer == nullptr || *lpdwBufferLength < needed)) {
        *lpdwBufferLength = needed;
        return Fail(WSAENOBUFS);
    }
    if (needed > 0) std::memcpy(lpProtocolBuffer, entries.data(), needed);
    return static_cast<int>(entries.size());
}
