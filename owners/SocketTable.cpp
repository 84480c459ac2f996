#include "SocketTable.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace owners {

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

std::atomic<std::uint32_t> g_sequence{0x0e5a1000};

class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

bool TableProtocol(unsigned table, int& family, int& protocol) {
    switch (table) {
        case 0: family = AF_INET, protocol = IPPROTO_TCP; return true;
        case 1: family = AF_INET, protocol = IPPROTO_UDP; return true;
        case 2: family = AF_INET6, protocol = IPPROTO_TCP; return true;
        case 3: family = AF_INET6, protocol = IPPROTO_UDP; return true;
        default: return false;
    }
}

int DecodeTableBuffer(const std::uint8_t* data, std::size_t length, std::uint32_t seq, int family,
                      std::vector<std::uint64_t>& inodes) {
    std::size_t offset = 0;
    // Headers and records are copied out, never read in place: the buffer
    // promises no alignment.
    while (offset + sizeof(nlmsghdr) <= length) {
        nlmsghdr header;
        std::memcpy(&header, data + offset, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length - offset) return -1;
        if (header.nlmsg_seq == seq) {
            if (header.nlmsg_type == NLMSG_DONE) return 1;
            if (header.nlmsg_type == NLMSG_ERROR) return -1;
            const std::size_t payload = header.nlmsg_len - std::min<std::size_t>(header.nlmsg_len, NLMSG_HDRLEN);
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && payload >= sizeof(inet_diag_msg)) {
                inet_diag_msg msg;
                std::memcpy(&msg, data + offset + NLMSG_HDRLEN, sizeof msg);
                if (msg.idiag_family == family && msg.idiag_inode != 0) {
                    if (inodes.size() >= kMaxTableSockets) return -1;
                    inodes.push_back(msg.idiag_inode);
                }
            }
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return 0;
}

bool ReadTableSockets(unsigned table, std::chrono::steady_clock::time_point deadline,
                      std::vector<std::uint64_t>& inodes) {
    inodes.clear();
    int family = 0, protocol = 0;
    if (!TableProtocol(table, family, protocol)) return false;
    const Socket socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (socket.get() < 0) return false;

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    const std::uint32_t seq = ++g_sequence;
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = seq;
    message.request.sdiag_family = static_cast<std::uint8_t>(family);
    message.request.sdiag_protocol = static_cast<std::uint8_t>(protocol);
    message.request.idiag_states = ~0u;  // every state
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.get(), &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof message))
        return false;

    std::vector<std::uint8_t> buffer(kBufferSize);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{socket.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC: the length of the whole message, so that one larger
        // than the buffer shows.
        const ssize_t n = ::recvfrom(socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0 || static_cast<std::size_t>(n) > buffer.size()) return false;
        if (fromLength < sizeof from || from.nl_family != AF_NETLINK || from.nl_pid != 0) continue;
        const int state = DecodeTableBuffer(buffer.data(), static_cast<std::size_t>(n), seq, family, inodes);
        if (state < 0) return false;
        if (state > 0) break;
    }
    std::sort(inodes.begin(), inodes.end());
    inodes.erase(std::unique(inodes.begin(), inodes.end()), inodes.end());
    return true;
}

}  // namespace owners
