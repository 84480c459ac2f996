// The sock_diag dump: decoding of reply buffers, broken ones included, and a
// live dump that finds a socket this test opens on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "SockDiag.h"

namespace {

constexpr unsigned kSeq = 42;

// Appends one netlink message of `type` carrying `payload` bytes.
void Append(std::vector<unsigned char>& buffer, unsigned short type, unsigned seq, const void* payload,
            std::size_t size) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<unsigned>(NLMSG_LENGTH(size));
    header.nlmsg_type = type;
    header.nlmsg_seq = seq;
    const std::size_t at = buffer.size();
    buffer.resize(at + NLMSG_SPACE(size));
    std::memcpy(buffer.data() + at, &header, sizeof header);
    if (size > 0) std::memcpy(buffer.data() + at + NLMSG_HDRLEN, payload, size);
}

void AppendSocket(std::vector<unsigned char>& buffer, unsigned inode, unsigned seq = kSeq) {
    inet_diag_msg msg{};
    msg.idiag_family = AF_INET;
    msg.idiag_inode = inode;
    Append(buffer, SOCK_DIAG_BY_FAMILY, seq, &msg, sizeof msg);
}

std::vector<unsigned> Decode(const std::vector<unsigned char>& buffer, int& state, std::size_t length) {
    std::vector<unsigned> inodes;
    state = provider::DecodeSockDiagBuffer(buffer.data(), length, kSeq,
                                           [&inodes](const inet_diag_msg& m) { inodes.push_back(m.idiag_inode); });
    return inodes;
}

TEST(SockDiagDecode, RowsThenDone) {
    std::vector<unsigned char> buffer;
    AppendSocket(buffer, 11);
    AppendSocket(buffer, 12);
    AppendSocket(buffer, 99, kSeq + 1);  // another request's answer is not ours
    int state = 0;
    EXPECT_EQ(Decode(buffer, state, buffer.size()), (std::vector<unsigned>{11, 12}));
    EXPECT_EQ(state, 0);

    Append(buffer, NLMSG_DONE, kSeq, nullptr, 0);
    Decode(buffer, state, buffer.size());
    EXPECT_EQ(state, 1);
}

TEST(SockDiagDecode, BrokenBuffersStopWithoutReadingPastTheEnd) {
    std::vector<unsigned char> good;
    AppendSocket(good, 7);

    int state = 0;
    // Cut inside the header, and inside the message: the cut message is
    // never delivered.
    EXPECT_TRUE(Decode(good, state, 10).empty());
    EXPECT_EQ(state, 0);
    EXPECT_TRUE(Decode(good, state, good.size() - 4).empty());
    EXPECT_EQ(state, -1);

    // A length that claims more than the buffer holds, and one below a header.
    for (unsigned bad : {10000u, 3u}) {
        std::vector<unsigned char> buffer = good;
        std::memcpy(buffer.data(), &bad, sizeof bad);
        EXPECT_TRUE(Decode(buffer, state, buffer.size()).empty()) << bad;
        EXPECT_EQ(state, -1) << bad;
    }

    // A socket message too short to hold its record is skipped.
    std::vector<unsigned char> shortMsg;
    const unsigned char tiny[8] = {};
    Append(shortMsg, SOCK_DIAG_BY_FAMILY, kSeq, tiny, sizeof tiny);
    EXPECT_TRUE(Decode(shortMsg, state, shortMsg.size()).empty());

    // An error message ends the dump as a failure.
    std::vector<unsigned char> error;
    const int code = -EPERM;
    Append(error, NLMSG_ERROR, kSeq, &code, sizeof code);
    Decode(error, state, error.size());
    EXPECT_EQ(state, -1);
}

TEST(SockDiagDump, FindsAListenerOnLoopback) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    int found = 0;
    const bool ok = provider::DumpInetSockets(IPPROTO_TCP, [&](const inet_diag_msg& m) {
        if (m.id.idiag_sport == addr.sin_port && m.id.idiag_src[0] == addr.sin_addr.s_addr && m.idiag_state == 10)
            ++found;
    });
    ::close(fd);
    if (!ok) GTEST_SKIP() << "netlink sock_diag is refused here";
    EXPECT_EQ(found, 1);
}

}  // namespace
