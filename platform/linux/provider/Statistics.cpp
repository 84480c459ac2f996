// The provider's counter entry points.  Each fills a record of its own and
// copies it to the caller only when every part was read, so a failure never
// leaves a half-filled record behind a success code.
#include <cstring>
#include <string>

#include "Ipv6State.h"
#include "NetCounts.h"
#include "ProcFiles.h"
#include "SnmpParser.h"
#include "iphlpapi.h"

#define PROVIDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

bool ReadSnmp(provider::SnmpCounters& snmp, DWORD& error) {
    std::string text;
    if (!provider::ReadProcFile("net/snmp", text, error, 1u << 20)) return false;
    snmp = provider::ParseSnmp(text);
    return true;
}

// `fill` fills the record from the counters and whatever else it reads, and
// returns 0 or the system error code of what it could not read.
template <class Record, class Fill>
DWORD FillFromSnmp(Record* out, Fill fill) {
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    provider::SnmpCounters snmp;
    DWORD error = NO_ERROR;
    if (!ReadSnmp(snmp, error)) return error;
    Record record{};
    error = fill(snmp, record);
    if (error != NO_ERROR) return error;
    std::memcpy(out, &record, sizeof record);
    return NO_ERROR;
}

// The families of the Ex entry points, in the catalog's numbers.
constexpr ULONG kFamilyInet = 2;
constexpr ULONG kFamilyInet6 = 23;

// /proc/net/snmp6 is there whenever the kernel has IPv6 for this namespace;
// without it the IPv6 records are not supported, as the published calls
// answer where the system has no IPv6 stack.
bool ReadSnmp6(provider::Snmp6Counters& snmp6, DWORD& error) {
    std::string text;
    if (!provider::ReadProcFile("net/snmp6", text, error, 1u << 20)) {
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_NOT_SUPPORTED;
        return false;
    }
    snmp6 = provider::ParseSnmp6(text);
    return true;
}

template <class Record, class Fill>
DWORD FillFromSnmp6(Record* out, Fill fill) {
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    provider::Snmp6Counters snmp6;
    DWORD error = NO_ERROR;
    if (!ReadSnmp6(snmp6, error)) return error;
    Record record{};
    error = fill(snmp6, record);
    if (error != NO_ERROR) return error;
    std::memcpy(out, &record, sizeof record);
    return NO_ERROR;
}

template <class Record>
DWORD SnmpOnly(bool (*fillCounters)(const provider::SnmpCounters&, Record&), const provider::SnmpCounters& snmp,
               Record& record) {
    return fillCounters(snmp, record) ? NO_ERROR : ERROR_INVALID_DATA;
}

}  // namespace

PROVIDER_EXPORT DWORD GetIpStatistics(PMIB_IPSTATS pStats) {
    return FillFromSnmp(pStats, [](const provider::SnmpCounters& snmp, MIB_IPSTATS& s) {
        if (!provider::FillIpStatistics(snmp, s)) return ERROR_INVALID_DATA;
        provider::RouteCounts counts;
        if (!provider::CountLinksAddressesRoutes(counts)) return ERROR_NOT_SUPPORTED;
        s.dwNumIf = counts.interfaces;
        s.dwNumAddr = counts.ipv4Addresses;
        s.dwNumRoutes = counts.ipv4Routes;
        s.dwRoutingDiscards = 0;  // not counted by Linux
        return NO_ERROR;
    });
}

PROVIDER_EXPORT DWORD GetIcmpStatistics(PMIB_ICMP pStats) {
    return FillFromSnmp(pStats, [](const provider::SnmpCounters& snmp, MIB_ICMP& s) {
        return SnmpOnly(provider::FillIcmpStatistics, snmp, s);
    });
}

PROVIDER_EXPORT DWORD GetTcpStatistics(PMIB_TCPSTATS pStats) {
    return FillFromSnmp(pStats, [](const provider::SnmpCounters& snmp, MIB_TCPSTATS& s) {
        if (!provider::FillTcpStatistics(snmp, s)) return ERROR_INVALID_DATA;
        DWORD error = NO_ERROR;
        return provider::CountSockets("tcp", s.dwNumConns, error) ? NO_ERROR : error;
    });
}

PROVIDER_EXPORT DWORD GetUdpStatistics(PMIB_UDPSTATS pStats) {
    return FillFromSnmp(pStats, [](const provider::SnmpCounters& snmp, MIB_UDPSTATS& s) {
        if (!provider::FillUdpStatistics(snmp, s)) return ERROR_INVALID_DATA;
        DWORD error = NO_ERROR;
        return provider::CountSockets("udp", s.dwNumAddrs, error) ? NO_ERROR : error;
    });
}

// ------------------------------------------------------------ by family
//
// The IPv6 records hold what /proc/net/snmp6 counts under the same meaning:
//   MIB_IPSTATS  dwInReceives Ip6InReceives, dwInHdrErrors Ip6InHdrErrors,
//     dwInAddrErrors Ip6InAddrErrors, dwForwDatagrams Ip6OutForwDatagrams,
//     dwInUnknownProtos Ip6InUnknownProtos, dwInDiscards Ip6InDiscards,
//     dwInDelivers Ip6InDelivers, dwOutRequests Ip6OutRequests,
//     dwOutDiscards Ip6OutDiscards, dwOutNoRoutes Ip6OutNoRoutes,
//     dwReasmReqds/Oks/Fails Ip6ReasmReqds/OKs/Fails,
//     dwFragOks/Fails/Creates Ip6FragOKs/Fails/Creates;
//     from the sysctl files: dwForwarding conf/all/forwarding (1 or 2),
//     dwDefaultTTL conf/default/hop_limit, dwReasmTimeout ip6frag_time (the
//     seconds fragments may take, which the field means; the kernel's
//     Ip6ReasmTimeout counts reassemblies that ran out of it);
//     from rtnetlink: dwNumIf the links with IPv6, dwNumAddr the IPv6
//     addresses, dwNumRoutes the IPv6 routes of every table.
//   MIB_UDPSTATS dwInDatagrams Udp6InDatagrams, dwNoPorts Udp6NoPorts,
//     dwInErrors Udp6InErrors, dwOutDatagrams Udp6OutDatagrams, dwNumAddrs
//     the IPv6 UDP sockets (UDP6 inuse of /proc/net/sockstat6).
//   MIB_ICMP_EX  dwMsgs Icmp6InMsgs / Icmp6OutMsgs, dwErrors Icmp6InErrors /
//     Icmp6OutErrors, rgdwTypeCount[t] Icmp6InType<t> / Icmp6OutType<t> or
//     the named counter of type t.
// Left 0, since Linux has no counter of that meaning: dwRoutingDiscards
// (routing entries dropped for want of room).  Read by no field:
// Ip6InTooBigErrors, Ip6InNoRoutes, Ip6InTruncatedPkts, Ip6ReasmTimeout, the
// multicast, octet, ECN and Ip6OutTransmits counters, Icmp6InCsumErrors
// (InErrors counts them too), Icmp6OutRateLimitHost, Udp6RcvbufErrors,
// Udp6SndbufErrors, Udp6InCsumErrors, Udp6IgnoredMulti, Udp6MemErrors.

PROVIDER_EXPORT DWORD GetIpStatisticsEx(PMIB_IPSTATS Statistics, ULONG Family) {
    if (Statistics == nullptr) return ERROR_INVALID_PARAMETER;
    if (Family == kFamilyInet) return GetIpStatistics(Statistics);
    if (Family != kFamilyInet6) return ERROR_INVALID_PARAMETER;
    return FillFromSnmp6(Statistics, [](const provider::Snmp6Counters& snmp6, MIB_IPSTATS& s) {
        if (!provider::FillIp6Statistics(snmp6, s)) return ERROR_INVALID_DATA;
        provider::Ipv6Settings settings;
        DWORD error = NO_ERROR;
        if (!provider::ReadIpv6Settings(settings, error)) return error;
        s.dwForwarding = settings.forwarding;
        s.dwDefaultTTL = settings.hopLimit;
        s.dwReasmTimeout = settings.reassemblySeconds;
        provider::Ipv6Counts counts;
        if (!provider::CountIpv6InterfacesAddressesRoutes(counts)) return ERROR_NOT_SUPPORTED;
        s.dwNumIf = counts.interfaces;
        s.dwNumAddr = counts.addresses;
        s.dwNumRoutes = counts.routes;
        s.dwRoutingDiscards = 0;
        return NO_ERROR;
    });
}

PROVIDER_EXPORT DWORD GetUdpStatisticsEx(PMIB_UDPSTATS Statistics, ULONG Family) {
    if (Statistics == nullptr) return ERROR_INVALID_PARAMETER;
    if (Family == kFamilyInet) return GetUdpStatistics(Statistics);
    if (Family != kFamilyInet6) return ERROR_INVALID_PARAMETER;
    return FillFromSnmp6(Statistics, [](const provider::Snmp6Counters& snmp6, MIB_UDPSTATS& s) {
        if (!provider::FillUdp6Statistics(snmp6, s)) return ERROR_INVALID_DATA;
        DWORD error = NO_ERROR;
        return provider::CountIpv6UdpSockets(s.dwNumAddrs, error) ? NO_ERROR : error;
    });
}

PROVIDER_EXPORT DWORD GetIcmpStatisticsEx(PMIB_ICMP_EX Statistics, ULONG Family) {
    if (Statistics == nullptr) return ERROR_INVALID_PARAMETER;
    if (Family == kFamilyInet)
        return FillFromSnmp(Statistics, [](const provider::SnmpCounters& snmp, MIB_ICMP_EX& s) {
            return provider::FillIcmpStatisticsEx(snmp, s) ? NO_ERROR : ERROR_INVALID_DATA;
        });
    if (Family != kFamilyInet6) return ERROR_INVALID_PARAMETER;
    return FillFromSnmp6(Statistics, [](const provider::Snmp6Counters& snmp6, MIB_ICMP_EX& s) {
        return provider::FillIcmp6StatisticsEx(snmp6, s) ? NO_ERROR : ERROR_INVALID_DATA;
    });
}
