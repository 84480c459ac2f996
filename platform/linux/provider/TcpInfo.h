// The traffic of a TCP socket from the kernel's tcp_info record, which the
// sock_diag dump returns with each socket when asked (INET_DIAG_INFO).  The
// record has grown with the kernel's versions; an older kernel sends a
// shorter one, and a field is known only when the record holds it whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace provider {

struct TcpTraffic {
    std::optional<std::uint64_t> bytesAcked;     // payload bytes sent and acknowledged by the peer
    std::optional<std::uint64_t> bytesReceived;  // payload bytes received
    std::optional<std::uint64_t> bytesSent;      // payload bytes sent, retransmissions included
    std::optional<std::uint32_t> rttMicroseconds;  // smoothed round trip
    std::optional<std::uint32_t> totalRetransmits;
    std::optional<std::uint64_t> bytesRetrans;   // payload bytes sent again

    bool operator==(const TcpTraffic&) const = default;
};

// Decodes a tcp_info record of `length` bytes; never reads past it.  Bytes
// beyond the fields known here (a newer kernel's) are ignored.
TcpTraffic DecodeTcpInfo(const void* record, std::size_t length);

// The traffic of one sock_diag socket message (`size` bytes after the
// netlink header: the inet_diag_msg, then its attributes) from its
// INET_DIAG_INFO attribute; nullopt when the message is too short, has no
// such attribute, or its attributes run past it.
std::optional<TcpTraffic> TcpTrafficOfMessage(const void* payload, std::size_t size);

}  // namespace provider
