#include "SockDiag.h"

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace provider {

namespace {

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

constexpr int kMaxEmptyReads = 1000;  // bounds the loop should the kernel misbehave

}  // namespace

int DecodeSockDiagBuffer(const void* buffer, std::size_t length, unsigned seq,
                         const std::function<void(const inet_diag_msg&)>& row) {
    // Netlink messages are 4-byte aligned within the buffer.
    std::size_t offset = 0;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (offset + sizeof(nlmsghdr) <= length) {
        nlmsghdr header;
        std::memcpy(&header, bytes + offset, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length - offset) return -1;
        if (header.nlmsg_seq == seq) {
            if (header.nlmsg_type == NLMSG_DONE) return 1;
            if (header.nlmsg_type == NLMSG_ERROR) return -1;
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && header.nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                inet_diag_msg msg;
                std::memcpy(&msg, bytes + offset + NLMSG_HDRLEN, sizeof msg);
                row(msg);
            }
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return 0;
}

bool DumpInetSockets(int protocol, const std::function<void(const inet_diag_msg&)>& row) {
    Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (fd.get() < 0) return false;
    // A dump that stops answering ends the snapshot instead of hanging it.
    timeval timeout{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    constexpr unsigned kSeq = 0x7e55a11e;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = kSeq;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = static_cast<unsigned char>(protocol);
    message.request.idiag_states = ~0u;  // every state
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return false;

    std::vector<unsigned char> buffer(64 * 1024);
    int emptyReads = 0;
    for (;;) {
        const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0 && ++emptyReads < kMaxEmptyReads) continue;
            return false;
        }
        const int state = DecodeSockDiagBuffer(buffer.data(), static_cast<std::size_t>(n), kSeq, row);
        if (state != 0) return state > 0;
    }
}

}  // namespace provider
