// The IPv4 counters as records for other tools: one row each, a field per
// counter named as the record names it without its type prefix (ICMP's
// with "In" or "Out" before it), every value unsigned as the system counts
// it.  Qt-free.
#pragma once

#include <vector>

#include "Records.h"
#include "iphlpapi.h"

records::Table IpCounterRecords(const MIB_IPSTATS& ip);
records::Table IcmpCounterRecords(const MIB_ICMP& icmp);
records::Table TcpCounterRecords(const MIB_TCPSTATS& tcp);
records::Table UdpCounterRecords(const MIB_UDPSTATS& udp);

// The IPv6 counters: the tables "ip6" (the IPv4 record's fields), "icmp6"
// (InMsgs, InErrors, then In and the label of each message type the
// system counts, the same for Out) and "udp6-stats".
std::vector<records::Table> Ip6CounterRecords(const MIB_IPSTATS& ip6, const MIB_ICMP_EX& icmp6, const MIB_UDPSTATS& udp6);
