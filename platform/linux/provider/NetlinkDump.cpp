#include "NetlinkDump.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
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
std::atomic<unsigned> g_sequence{0x7e55a000};

}  // namespace

int DecodeNetlinkBuffer(const void* buffer, std::size_t length, unsigned seq, const NetlinkMessageFn& message) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t offset = 0;
    // Messages are 4-byte aligned within the buffer; a header is copied out
    // rather than read in place.
    while (offset + sizeof(nlmsghdr) <= length) {
        nlmsghdr header;
        std::memcpy(&header, bytes + offset, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length - offset) return -1;
        if (header.nlmsg_seq == seq) {
            if (header.nlmsg_type == NLMSG_DONE) return 1;
            if (header.nlmsg_type == NLMSG_ERROR) return -1;
            const std::size_t payload = header.nlmsg_len >= NLMSG_HDRLEN ? header.nlmsg_len - NLMSG_HDRLEN : 0;
            message(header, bytes + offset + NLMSG_HDRLEN, payload);
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return 0;
}

namespace {

// Sends `request` with `flags` and hands over the messages of the answer:
// of a dump, every buffer until NLMSG_DONE; of a single request, the one
// buffer the kernel answers with.
bool Exchange(int protocol, void* request, std::size_t size, unsigned short flags, const NetlinkMessageFn& message,
              bool& delivered) {
    delivered = false;
    if (size < sizeof(nlmsghdr)) return false;
    Fd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
    if (fd.get() < 0) return false;
    // A dump that stops answering ends the snapshot instead of hanging it.
    timeval timeout{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    const unsigned seq = ++g_sequence;
    nlmsghdr header;
    std::memcpy(&header, request, sizeof header);
    header.nlmsg_len = static_cast<unsigned>(size);
    header.nlmsg_flags = flags;
    header.nlmsg_seq = seq;
    std::memcpy(request, &header, sizeof header);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), request, size, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) return false;

    const NetlinkMessageFn counted = [&](const nlmsghdr& h, const unsigned char* payload, std::size_t length) {
        delivered = true;
        message(h, payload, length);
    };
    std::vector<unsigned char> buffer(64 * 1024);
    int emptyReads = 0;
    for (;;) {
        const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0 && ++emptyReads < kMaxEmptyReads) continue;
            return false;
        }
        const int state = DecodeNetlinkBuffer(buffer.data(), static_cast<std::size_t>(n), seq, counted);
        if ((flags & NLM_F_DUMP) == 0) return state >= 0;
        if (state != 0) return state > 0;
    }
}

}  // namespace

bool NetlinkDump(int protocol, void* request, std::size_t size, const NetlinkMessageFn& message) {
    bool delivered = false;
    return Exchange(protocol, request, size, NLM_F_REQUEST | NLM_F_DUMP, message, delivered);
}

bool NetlinkQuery(int protocol, void* request, std::size_t size, const NetlinkMessageFn& message) {
    bool delivered = false;
    return Exchange(protocol, request, size, NLM_F_REQUEST, message, delivered) && delivered;
}

}  // namespace provider
