// The provider's counter entry points.  Each fills a record of its own and
// copies it to the caller only when every part was read, so a failure never
// leaves a half-filled record behind a success code.
#include <cstring>
#include <string>

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
