// The protocol counters of /proc/net/snmp.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "iphlpapi.h"

namespace provider {

// Counters by section ("Ip", "Icmp", "Tcp", "Udp", ...) and by header name.
struct SnmpCounters {
    std::map<std::string, std::map<std::string, std::int64_t>, std::less<>> sections;
    int badLines = 0;  // lines skipped: unpaired, mismatched or not numeric

    // The counter's value as the low 32 bits (so -1 becomes 0xFFFFFFFF),
    // or false when the section or the name is absent.
    bool Get(std::string_view section, std::string_view name, DWORD& value) const;
};

// Parses the file's text.  Each section is a pair of lines with the same
// "Name:" prefix, the first holding the header names, the second the values;
// values are matched to names by position within the pair, never by a fixed
// column, so the columns newer kernels add shift nothing.  A pair whose counts
// differ or whose values are not all integers is skipped and counted in
// badLines.  Example (kernel 6.x):
//   Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors InCsumErrors IgnoredMulti MemErrors
//   Udp: 26 0 0 27 0 0 0 0 0
SnmpCounters ParseSnmp(std::string_view text);

// Fill the counters the kernel keeps; each is false when a counter the
// record needs is missing.  Fields the kernel does not count are left alone.
bool FillIpStatistics(const SnmpCounters& snmp, MIB_IPSTATS& stats);
bool FillIcmpStatistics(const SnmpCounters& snmp, MIB_ICMP& stats);
bool FillTcpStatistics(const SnmpCounters& snmp, MIB_TCPSTATS& stats);
bool FillUdpStatistics(const SnmpCounters& snmp, MIB_UDPSTATS& stats);

}  // namespace provider
