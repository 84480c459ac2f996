#include "SockDiag.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "NetlinkDump.h"

namespace provider {

namespace {

NetlinkMessageFn SocketRows(const std::function<void(const inet_diag_msg&)>& row) {
    return [&row](const nlmsghdr& header, const unsigned char* payload, std::size_t size) {
        if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || size < sizeof(inet_diag_msg)) return;
        inet_diag_msg msg;
        std::memcpy(&msg, payload, sizeof msg);
        row(msg);
    };
}

NetlinkMessageFn Socket6Rows(const std::function<void(const inet_diag_msg&)>& row) {
    return [&row](const nlmsghdr& header, const unsigned char* payload, std::size_t size) {
        if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || size < sizeof(inet_diag_msg)) return;
        inet_diag_msg msg;
        std::memcpy(&msg, payload, sizeof msg);
        if (msg.idiag_family != AF_INET6) return;
        row(msg);
    };
}

}  // namespace

namespace {

struct TcpInfoRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

// A request for the TCP sockets of `family` in every state, each with its
// tcp_info.
TcpInfoRequest WithInfo(int family) {
    TcpInfoRequest message{};
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.request.sdiag_family = static_cast<unsigned char>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;  // every state
    message.request.idiag_ext = 1u << (INET_DIAG_INFO - 1);
    return message;
}

// The messages of `family`, with their payloads; `delivered` counts them.
NetlinkMessageFn MessagesWithInfo(int family, const SocketMessageFn& row, bool& delivered) {
    return [&row, &delivered, family](const nlmsghdr& header, const unsigned char* payload, std::size_t size) {
        if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || size < sizeof(inet_diag_msg)) return;
        inet_diag_msg msg;
        std::memcpy(&msg, payload, sizeof msg);
        if (msg.idiag_family != family) return;
        delivered = true;
        row(msg, payload, size);
    };
}

}  // namespace

bool DumpTcpSocketsWithInfo(int family, const SocketMessageFn& row) {
    if (family != AF_INET && family != AF_INET6) return false;
    TcpInfoRequest message = WithInfo(family);
    bool delivered = false;
    return NetlinkDump(NETLINK_SOCK_DIAG, &message, sizeof message, MessagesWithInfo(family, row, delivered));
}

bool QueryTcpSocketWithInfo(int family, const inet_diag_sockid& id, const SocketMessageFn& row) {
    if (family != AF_INET && family != AF_INET6) return false;
    TcpInfoRequest message = WithInfo(family);
    message.request.id = id;
    // Any socket with these ends, whatever its cookie.
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    bool found = false;
    NetlinkQuery(NETLINK_SOCK_DIAG, &message, sizeof message, MessagesWithInfo(family, row, found));
    return found;
}

int DecodeSockDiagBuffer(const void* buffer, std::size_t length, unsigned seq,
                         const std::function<void(const inet_diag_msg&)>& row) {
    return DecodeNetlinkBuffer(buffer, length, seq, SocketRows(row));
}

int DecodeSockDiag6Buffer(const void* buffer, std::size_t length, unsigned seq,
                          const std::function<void(const inet_diag_msg&)>& row) {
    return DecodeNetlinkBuffer(buffer, length, seq, Socket6Rows(row));
}

bool DumpInetSocketMessages(int family, int protocol, const SocketMessageFn& row) {
    if (family != AF_INET && family != AF_INET6) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.request.sdiag_family = static_cast<unsigned char>(family);
    message.request.sdiag_protocol = static_cast<unsigned char>(protocol);
    message.request.idiag_states = ~0u;  // every state
    bool delivered = false;
    return NetlinkDump(NETLINK_SOCK_DIAG, &message, sizeof message, MessagesWithInfo(family, row, delivered));
}

std::uint64_t CookieOf(const inet_diag_msg& message) {
    // Two 32-bit halves, the low one first.
    const std::uint64_t cookie = static_cast<std::uint64_t>(message.id.idiag_cookie[0]) |
                                 static_cast<std::uint64_t>(message.id.idiag_cookie[1]) << 32;
    return cookie == ~std::uint64_t{0} ? 0 : cookie;
}

std::optional<bool> V6OnlyOfMessage(const void* payload, std::size_t size) {
    const std::size_t first = NLMSG_ALIGN(sizeof(inet_diag_msg));
    if (payload == nullptr || size < first) return std::nullopt;
    const auto* bytes = static_cast<const unsigned char*>(payload);
    std::size_t offset = first;
    while (size - offset >= sizeof(nlattr)) {
        nlattr attribute;
        std::memcpy(&attribute, bytes + offset, sizeof attribute);
        const std::size_t length = attribute.nla_len;
        if (length < sizeof(nlattr) || length > size - offset) return std::nullopt;
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_SKV6ONLY)
            return length > NLA_HDRLEN ? std::optional<bool>(bytes[offset + NLA_HDRLEN] != 0) : std::nullopt;
        // The last attribute may end unpadded at the end of its message.
        const std::size_t step = NLA_ALIGN(length);
        if (step >= size - offset) break;
        offset += step;
    }
    return std::nullopt;
}

bool DumpInetSockets(int family, int protocol, const std::function<void(const inet_diag_msg&)>& row) {
    if (family == AF_INET) return DumpInetSockets(protocol, row);
    if (family != AF_INET6) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.request.sdiag_family = AF_INET6;
    message.request.sdiag_protocol = static_cast<unsigned char>(protocol);
    message.request.idiag_states = ~0u;  // every state
    return NetlinkDump(NETLINK_SOCK_DIAG, &message, sizeof message, Socket6Rows(row));
}

bool DumpInetSockets(int protocol, const std::function<void(const inet_diag_msg&)>& row) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = static_cast<unsigned char>(protocol);
    message.request.idiag_states = ~0u;  // every state
    return NetlinkDump(NETLINK_SOCK_DIAG, &message, sizeof message, SocketRows(row));
}

}  // namespace provider
