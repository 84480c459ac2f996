// TCP traffic from the kernel's tcp_info record, as kernels of several
// generations send it (the record grew: a field is read only when the
// record holds it whole), and from the sock_diag message around it.
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/tcp.h>

#include <cstring>
#include <vector>

#include "TcpInfo.h"

namespace {

using provider::TcpTraffic;

// A full record with every field this reader knows set.
tcp_info FullRecord() {
    tcp_info info{};
    info.tcpi_rtt = 1500;
    info.tcpi_total_retrans = 7;
    info.tcpi_bytes_acked = 0x1'0000'0001ull;  // past 32 bits
    info.tcpi_bytes_received = 123456789;
    info.tcpi_bytes_sent = 0x1'0000'0009ull;
    info.tcpi_bytes_retrans = 4096;
    return info;
}

TEST(TcpInfo, EachGenerationGivesTheFieldsItsRecordHolds) {
    const tcp_info info = FullRecord();
    struct Case {
        const char* generation;
        std::size_t length;
        TcpTraffic expected;
    };
    const std::size_t acked = offsetof(tcp_info, tcpi_bytes_acked);
    const std::size_t sent = offsetof(tcp_info, tcpi_bytes_sent);
    const Case cases[] = {
        {"nothing", 0, {}},
        {"cut before the round trip", offsetof(tcp_info, tcpi_rtt) + 3, {}},
        {"the first record (to tcpi_total_retrans)", offsetof(tcp_info, tcpi_pacing_rate),
         {std::nullopt, std::nullopt, std::nullopt, 1500u, 7u, std::nullopt}},
        {"bytes acked cut in half", acked + 4, {std::nullopt, std::nullopt, std::nullopt, 1500u, 7u, std::nullopt}},
        {"with the byte counts in (to tcpi_segs_in)", offsetof(tcp_info, tcpi_notsent_bytes),
         {0x1'0000'0001ull, 123456789ull, std::nullopt, 1500u, 7u, std::nullopt}},
        {"bytes sent cut in half", sent + 7, {0x1'0000'0001ull, 123456789ull, std::nullopt, 1500u, 7u, std::nullopt}},
        {"bytes sent whole, bytes sent again cut", sent + 8 + 7,
         {0x1'0000'0001ull, 123456789ull, 0x1'0000'0009ull, 1500u, 7u, std::nullopt}},
        {"with bytes sent (to tcpi_reord_seen)", offsetof(tcp_info, tcpi_rcv_ooopack),
         {0x1'0000'0001ull, 123456789ull, 0x1'0000'0009ull, 1500u, 7u, 4096u}},
        {"this kernel's whole record", sizeof(tcp_info),
         {0x1'0000'0001ull, 123456789ull, 0x1'0000'0009ull, 1500u, 7u, 4096u}},
    };
    for (const Case& c : cases) {
        // Exactly as long as the kernel sent it, so that the sanitizer build
        // sees any read past it.
        std::vector<unsigned char> record(reinterpret_cast<const unsigned char*>(&info),
                                          reinterpret_cast<const unsigned char*>(&info) + c.length);
        EXPECT_EQ(provider::DecodeTcpInfo(record.data(), record.size()), c.expected) << c.generation;
    }
    // A newer kernel's longer record: what follows is not read.
    std::vector<unsigned char> longer(sizeof(tcp_info) + 64, 0xEE);
    std::memcpy(longer.data(), &info, sizeof info);
    EXPECT_EQ(provider::DecodeTcpInfo(longer.data(), longer.size()).bytesReceived, 123456789ull);
    EXPECT_EQ(provider::DecodeTcpInfo(nullptr, 100), TcpTraffic{});
}

// A sock_diag socket message: the inet_diag_msg, then attributes.
std::vector<unsigned char> Message(const std::vector<std::pair<unsigned short, std::vector<unsigned char>>>& attributes) {
    std::vector<unsigned char> out(NLMSG_ALIGN(sizeof(inet_diag_msg)), 0);
    for (const auto& [type, value] : attributes) {
        nlattr header{static_cast<unsigned short>(NLA_HDRLEN + value.size()), type};
        const std::size_t at = out.size();
        out.resize(at + NLA_ALIGN(NLA_HDRLEN + value.size()), 0);
        std::memcpy(out.data() + at, &header, sizeof header);
        std::memcpy(out.data() + at + NLA_HDRLEN, value.data(), value.size());
    }
    return out;
}

TEST(TcpInfo, FoundAmongTheMessagesAttributesWithTheirLengthsChecked) {
    const tcp_info info = FullRecord();
    const std::vector<unsigned char> record(reinterpret_cast<const unsigned char*>(&info),
                                            reinterpret_cast<const unsigned char*>(&info) + sizeof info);
    // After other attributes, one of an odd length.
    std::vector<unsigned char> message = Message({{INET_DIAG_SHUTDOWN, {3}}, {INET_DIAG_MARK, {1, 2, 3, 4, 5}},
                                                  {INET_DIAG_INFO, record}});
    std::optional<TcpTraffic> traffic = provider::TcpTrafficOfMessage(message.data(), message.size());
    ASSERT_TRUE(traffic.has_value());
    EXPECT_EQ(traffic->bytesReceived, 123456789ull);

    // No INET_DIAG_INFO, a message shorter than its record, an attribute
    // that says it runs past the message, and one of length zero.
    message = Message({{INET_DIAG_SHUTDOWN, {3}}});
    EXPECT_FALSE(provider::TcpTrafficOfMessage(message.data(), message.size()).has_value());
    EXPECT_FALSE(provider::TcpTrafficOfMessage(message.data(), sizeof(inet_diag_msg) - 1).has_value());
    message = Message({{INET_DIAG_INFO, record}});
    EXPECT_FALSE(provider::TcpTrafficOfMessage(message.data(), message.size() - 8).has_value());
    message = Message({{INET_DIAG_SHUTDOWN, {3}}});
    nlattr zero{0, INET_DIAG_INFO};
    std::memcpy(message.data() + NLMSG_ALIGN(sizeof(inet_diag_msg)), &zero, sizeof zero);
    EXPECT_FALSE(provider::TcpTrafficOfMessage(message.data(), message.size()).has_value());
    // A short record inside a whole message: the fields it holds.
    message = Message({{INET_DIAG_INFO, std::vector<unsigned char>(record.begin(), record.begin() + 104)}});
    traffic = provider::TcpTrafficOfMessage(message.data(), message.size());
    ASSERT_TRUE(traffic.has_value());
    EXPECT_EQ(traffic->rttMicroseconds, 1500u);
    EXPECT_FALSE(traffic->bytesAcked.has_value());
}

}  // namespace
