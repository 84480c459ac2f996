// The protocol counters of /proc/net/snmp (IPv4) and /proc/net/snmp6 (IPv6).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "iphlpapi.h"

namespace provider {

// Counters by section ("Ip", "Icmp", "Tcp", "Udp", ...) and by header name.
struct SnmpCounters {
    std::map<std::string, std::map<std::string, std::int64_t>, std::less<>> sections;
    int badLines = 0;  // lines skipped: unpaired, mismatched or not numeric
    // Sections one of whose lines was skipped: what they hold may be short
    // of counters the file had.
    std::set<std::string, std::less<>> damagedSections;

    // The counter's value as the low 32 bits (so -1 becomes 0xFFFFFFFF),
    // or false when the section or the name is absent.
    bool Get(std::string_view section, std::string_view name, DWORD& value) const;
};

// Parses the file's text.  Each section is a pair of lines with the same
// "Name:" prefix, the first holding the header names, the second the values;
// values are matched to names by position within the pair, never by a fixed
// column, so the columns newer kernels add shift nothing.  A pair whose counts
// differ or whose values are not all integers is skipped, counted in
// badLines, and its section named in damagedSections.  A section given in
// several pairs gathers the names of all of them, a name keeping the first
// value it was given: the kernel writes the nonzero IcmpMsg counts sixteen
// to a pair.  Example (kernel 6.x):
//   Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors InCsumErrors IgnoredMulti MemErrors
//   Udp: 26 0 0 27 0 0 0 0 0
SnmpCounters ParseSnmp(std::string_view text);

// Fill the counters the kernel keeps; each is false when a counter the
// record needs is missing.  Fields the kernel does not count are left alone.
bool FillIpStatistics(const SnmpCounters& snmp, MIB_IPSTATS& stats);
bool FillIcmpStatistics(const SnmpCounters& snmp, MIB_ICMP& stats);
bool FillTcpStatistics(const SnmpCounters& snmp, MIB_TCPSTATS& stats);
bool FillUdpStatistics(const SnmpCounters& snmp, MIB_UDPSTATS& stats);

// The IPv4 ICMP counts by message type: the totals from the Icmp section,
// rgdwTypeCount[t] from IcmpMsg's InType<t> and OutType<t>, else from the
// Icmp section's named counter of that type (kernels before IcmpMsg had only
// those).  The kernel writes no IcmpMsg count that is zero, nor the section
// when all are, so a type found nowhere counts 0.  False when a total is
// missing or an IcmpMsg pair was skipped.
bool FillIcmpStatisticsEx(const SnmpCounters& snmp, MIB_ICMP_EX& stats);

// ------------------------------------------------------------------ IPv6

// The counters of /proc/net/snmp6: one "Name value" pair a line, matched by
// name, never by position.
//   Ip6InReceives                   	2
//   Icmp6OutType135                 	5
struct Snmp6Counters {
    std::map<std::string, std::uint64_t, std::less<>> values;
    // Names of lines that were there but could not be read (no value, more
    // than one, a value that is no unsigned 64-bit decimal).
    std::set<std::string, std::less<>> damaged;
    int badLines = 0;  // lines skipped, and names given again (the first value stays)

    enum class Lookup { Present, Absent, Damaged };
    // The low 32 bits of the counter when Present.  Damaged when the only
    // line of that name could not be read.
    Lookup Find(std::string_view name, DWORD& value) const;
};

Snmp6Counters ParseSnmp6(std::string_view text);

// The counters of the IPv6 records.  Fields with no counter in the file
// (forwarding, hop limit, reassembly time, routing discards and the counts
// of interfaces, addresses, routes and sockets) are left alone.  False when
// a counter every kernel writes is missing.
bool FillIp6Statistics(const Snmp6Counters& snmp6, MIB_IPSTATS& stats);
bool FillUdp6Statistics(const Snmp6Counters& snmp6, MIB_UDPSTATS& stats);
// rgdwTypeCount[t] from Icmp6InType<t> and Icmp6OutType<t>, else from the
// named counter of that type (Icmp6InEchos is type 128): older kernels write
// only the named ones, newer ones the numbered ones only when nonzero.
// False when a total is missing, or a type's count was damaged and nothing
// else gives it.  Icmp6OutErrors, which older kernels do not write, counts 0
// when missing.
bool FillIcmp6StatisticsEx(const Snmp6Counters& snmp6, MIB_ICMP_EX& stats);

}  // namespace provider
