// The provider's per-connection TCP statistics: the data a connection
// carried (TcpConnectionEstatsData) and its path (TcpConnectionEstatsPath),
// from the tcp_info the kernel keeps for every TCP socket.  The kernel
// always counts them: collection is always on, and nothing needs enabling.
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "ConnectionStats.h"
#include "ProcFiles.h"
#include "SockDiag.h"
#include "SocketTables.h"
#include "TcpInfo.h"
#include "iphlpapi.h"

#define PROVIDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using provider::ConnectionKey;
using provider::TcpTraffic;
using provider::TrafficLookup;

// Statistics kept with a table are answered for this long; an older or
// missing keep is replaced by a dump of the family taken for the question.
// A connection the kept table lacks (one opened since) is asked for alone.
constexpr std::chrono::milliseconds kFreshFor{1000};

// A record the caller asks for: present with its exact size, or absent
// with size 0; version 0 only.
bool RecordArgumentOk(const UCHAR* record, ULONG version, ULONG size, std::size_t expected) {
    if (record == nullptr) return size == 0;
    return version == 0 && size == expected;
}

// The connection asked alone: one it opened after the latest table.
bool AskAlone(const ConnectionKey& key, TcpTraffic& traffic) {
    inet_diag_sockid id{};
    const std::size_t bytes = key.family == 4 ? 4 : 16;
    std::memcpy(id.idiag_src, key.local.data(), bytes);
    std::memcpy(id.idiag_dst, key.remote.data(), bytes);
    id.idiag_sport = htons(key.localPort);
    id.idiag_dport = htons(key.remotePort);
    id.idiag_if = key.localScope != 0 ? key.localScope : key.remoteScope;
    bool found = false;
    provider::QueryTcpSocketWithInfo(key.family == 4 ? AF_INET : AF_INET6, id,
                                     [&](const inet_diag_msg&, const unsigned char* payload, std::size_t size) {
                                         if (std::optional<TcpTraffic> t = provider::TcpTrafficOfMessage(payload, size)) {
                                             traffic = *t;
                                             found = true;
                                         }
                                     });
    return found;
}

TrafficLookup Lookup(const ConnectionKey& key, TcpTraffic& traffic) {
    provider::WantTcpTraffic();
    TrafficLookup found = provider::FindTcpTraffic(key, kFreshFor, traffic);
    if (found == TrafficLookup::NotFound) return AskAlone(key, traffic) ? TrafficLookup::Found : found;
    if (found != TrafficLookup::NotTaken) return found;
    // No table of the family was taken lately: take one now, which keeps
    // the statistics of all its connections for the questions that follow.
    DWORD error = NO_ERROR;
    if (key.family == 4) {
        std::vector<provider::SocketRow> rows;
        provider::CollectSockets(IPPROTO_TCP, rows, error);
    } else {
        std::vector<provider::Socket6Row> rows;
        provider::CollectSockets6(IPPROTO_TCP, rows, error);
    }
    found = provider::FindTcpTraffic(key, kFreshFor, traffic);
    if (found == TrafficLookup::Found) return found;
    // No table could be taken with the statistics (or it lacks the
    // connection): the connection alone.
    return AskAlone(key, traffic) ? TrafficLookup::Found : TrafficLookup::NotFound;
}

ULONG Answer(const ConnectionKey& key, TCP_ESTATS_TYPE type, UCHAR* rw, ULONG rwVersion, ULONG rwSize, UCHAR* ros,
             ULONG rosVersion, ULONG rosSize, UCHAR* rod, ULONG rodVersion, ULONG rodSize) {
    std::size_t rwExpected = 0, rodExpected = 0;
    switch (type) {
        case TcpConnectionEstatsData:
            rwExpected = sizeof(TCP_ESTATS_DATA_RW_v0);
            rodExpected = sizeof(TCP_ESTATS_DATA_ROD_v0);
            break;
        case TcpConnectionEstatsPath:
            rwExpected = sizeof(TCP_ESTATS_PATH_RW_v0);
            rodExpected = sizeof(TCP_ESTATS_PATH_ROD_v0);
            break;
        default: return ERROR_NOT_SUPPORTED;
    }
    // These two kinds have no static record.
    if (!RecordArgumentOk(rw, rwVersion, rwSize, rwExpected) || !RecordArgumentOk(rod, rodVersion, rodSize, rodExpected) ||
        ros != nullptr || rosSize != 0 || rosVersion != 0)
        return ERROR_INVALID_PARAMETER;
    // Statistics come from the kernel alone: a fixture proc root has none.
    if (provider::ProcRoot() != "/proc") return ERROR_NOT_SUPPORTED;

    TcpTraffic traffic;
    if (Lookup(key, traffic) != TrafficLookup::Found) return ERROR_NOT_FOUND;
    if (type == TcpConnectionEstatsData) {
        // A kernel older than the byte counts has no data statistics.
        if (rod != nullptr && (!traffic.bytesAcked || !traffic.bytesReceived)) return ERROR_NOT_SUPPORTED;
        if (rw != nullptr) rw[0] = 1;
        if (rod != nullptr) {
            TCP_ESTATS_DATA_ROD_v0 data{};
            data.ThruBytesAcked = *traffic.bytesAcked;
            data.ThruBytesReceived = *traffic.bytesReceived;
            data.DataBytesOut = traffic.bytesSent.value_or(*traffic.bytesAcked);
            data.DataBytesIn = *traffic.bytesReceived;
            std::memcpy(rod, &data, sizeof data);
        }
    } else {
        if (rw != nullptr) rw[0] = 1;
        if (rod != nullptr) {
            TCP_ESTATS_PATH_ROD_v0 path{};
            path.PktsRetrans = traffic.totalRetransmits.value_or(0);
            path.BytesRetrans = static_cast<ULONG>(std::min<std::uint64_t>(traffic.bytesRetrans.value_or(0), 0xFFFFFFFFu));
            // Milliseconds, rounded; the kernel keeps microseconds.
            path.SmoothedRtt = (traffic.rttMicroseconds.value_or(0) + 500) / 1000;
            std::memcpy(rod, &path, sizeof path);
        }
    }
    return NO_ERROR;
}

}  // namespace

PROVIDER_EXPORT ULONG GetPerTcpConnectionEStats(MIB_TCPROW* Row, TCP_ESTATS_TYPE EstatsType, UCHAR* Rw,
                                                ULONG RwVersion, ULONG RwSize, UCHAR* Ros, ULONG RosVersion,
                                                ULONG RosSize, UCHAR* Rod, ULONG RodVersion, ULONG RodSize) {
    if (Row == nullptr) return ERROR_INVALID_PARAMETER;
    ConnectionKey key;
    key.family = 4;
    std::memcpy(key.local.data(), &Row->dwLocalAddr, 4);
    std::memcpy(key.remote.data(), &Row->dwRemoteAddr, 4);
    key.localPort = ntohs(static_cast<std::uint16_t>(Row->dwLocalPort));
    key.remotePort = ntohs(static_cast<std::uint16_t>(Row->dwRemotePort));
    return Answer(key, EstatsType, Rw, RwVersion, RwSize, Ros, RosVersion, RosSize, Rod, RodVersion, RodSize);
}

PROVIDER_EXPORT ULONG GetPerTcp6ConnectionEStats(MIB_TCP6ROW* Row, TCP_ESTATS_TYPE EstatsType, UCHAR* Rw,
                                                 ULONG RwVersion, ULONG RwSize, UCHAR* Ros, ULONG RosVersion,
                                                 ULONG RosSize, UCHAR* Rod, ULONG RodVersion, ULONG RodSize) {
    if (Row == nullptr) return ERROR_INVALID_PARAMETER;
    ConnectionKey key;
    key.family = 6;
    std::memcpy(key.local.data(), Row->LocalAddr, 16);
    std::memcpy(key.remote.data(), Row->RemoteAddr, 16);
    key.localPort = ntohs(static_cast<std::uint16_t>(Row->dwLocalPort));
    key.remotePort = ntohs(static_cast<std::uint16_t>(Row->dwRemotePort));
    key.localScope = Row->dwLocalScopeId;
    key.remoteScope = Row->dwRemoteScopeId;
    return Answer(key, EstatsType, Rw, RwVersion, RwSize, Ros, RosVersion, RosSize, Rod, RodVersion, RodSize);
}
