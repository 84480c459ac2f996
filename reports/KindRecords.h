// The reports as records and metrics for other tools: what a report was
// built from (its snapshots, its socket table and owners, its summary), as
// tables of named fields for JSON and CSV, and as metric families for
// OpenMetrics.  Qt-free.
#pragma once

#include <vector>

#include "OpenMetrics.h"
#include "Records.h"

class CNetworkReport;

// The records of `report` after its build: one table for most kinds; the
// IPv6 counters give "ip6", "icmp6" and "udp6-stats", the adapters
// "adapters" and "addresses".  A failed snapshot gives its tables no rows.
// For the socket kinds build the report with m_bFactsHere (owners'
// paths); for Processes and Listening Ports with m_bKeepSummary.
std::vector<records::Table> RecordsOfReport(const CNetworkReport& report);

// The metric families of records tables:
//   counters     node_netstat_<Proto>_<Field> gauges, named as the node
//                exporter names the kernel's counters; fields the kernel
//                does not count as tessaline_netstat_<Proto>_<Field>
//   interfaces   node_network_* as the node exporter has them
//   sockets      tessaline_sockets{protocol,family,state}
//   processes    tessaline_process_sockets{pid,name,protocol} and the
//                processes' TCP bytes as counters
//   the others   a gauge of 1 per row, tessaline_<kind>_info, its fields
//                as labels
std::vector<metrics::Family> MetricsOfRecords(const std::vector<records::Table>& tables);
