#include "TcpInfo.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/tcp.h>

#include <cstring>

namespace provider {

namespace {

constexpr std::size_t kAttributeHeader = NLA_ALIGN(sizeof(nlattr));

// The field of `size` bytes at `offset`, when the record holds it whole.
template <class T>
std::optional<T> Field(const unsigned char* record, std::size_t length, std::size_t offset) {
    if (offset > length || length - offset < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

}  // namespace

TcpTraffic DecodeTcpInfo(const void* record, std::size_t length) {
    TcpTraffic traffic;
    if (record == nullptr) return traffic;
    const auto* bytes = static_cast<const unsigned char*>(record);
    // The offsets are the record's published layout, the same on every
    // kernel that has the field.
    traffic.rttMicroseconds = Field<std::uint32_t>(bytes, length, offsetof(tcp_info, tcpi_rtt));
    traffic.totalRetransmits = Field<std::uint32_t>(bytes, length, offsetof(tcp_info, tcpi_total_retrans));
    traffic.bytesAcked = Field<std::uint64_t>(bytes, length, offsetof(tcp_info, tcpi_bytes_acked));
    traffic.bytesReceived = Field<std::uint64_t>(bytes, length, offsetof(tcp_info, tcpi_bytes_received));
    traffic.bytesSent = Field<std::uint64_t>(bytes, length, offsetof(tcp_info, tcpi_bytes_sent));
    traffic.bytesRetrans = Field<std::uint64_t>(bytes, length, offsetof(tcp_info, tcpi_bytes_retrans));
    return traffic;
}

std::optional<TcpTraffic> TcpTrafficOfMessage(const void* payload, std::size_t size) {
    const std::size_t first = NLMSG_ALIGN(sizeof(inet_diag_msg));
    if (payload == nullptr || size < first) return std::nullopt;
    const auto* bytes = static_cast<const unsigned char*>(payload);
    std::size_t offset = first;
    while (size - offset >= sizeof(nlattr)) {
        nlattr attribute;
        std::memcpy(&attribute, bytes + offset, sizeof attribute);
        const std::size_t length = attribute.nla_len;
        if (length < sizeof(nlattr) || length > size - offset) return std::nullopt;
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_INFO)
            return DecodeTcpInfo(bytes + offset + kAttributeHeader, length - kAttributeHeader);
        const std::size_t step = NLA_ALIGN(length);
        if (step >= size - offset) break;
        offset += step;
    }
    return std::nullopt;
}

}  // namespace provider
