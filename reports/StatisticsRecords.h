// The IPv4 counters as records for other tools: one row each, a field per
// counter named as the record names it without its type prefix (ICMP's
// with "In" or "Out" before it), every value unsigned as the system counts
// it.  Qt-free.
#pragma once

#include "Records.h"
#include "iphlpapi.h"

records::Table IpCounterRecords(const MIB_IPSTATS& ip);
records::Table IcmpCounterRecords(const MIB_ICMP& icmp);
records::Table TcpCounterRecords(const MIB_TCPSTATS& tcp);
records::Table UdpCounterRecords(const MIB_UDPSTATS& udp);
