// The ICMP, IP, UDP and TCP counter reports: one line per counter of the
// record, "label value", the label padded to 15 characters so that the
// values of the fixed-pitch pane line up in one column.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "IpHelper.h"
#include "NetworkReport.h"
#include "StatisticsRecords.h"
#include "WideText.h"

namespace {

// Field names of the records without their type prefix, in record order.
constexpr std::array<const char*, 13> kIcmpLabels = {
    "Msgs",  "Errors",   "DestUnreachs", "TimeExcds",     "ParmProbs", "SrcQuenchs",  "Redirects",
    "Echos", "EchoReps", "Timestamps",   "TimestampReps", "AddrMasks", "AddrMaskReps"};
constexpr std::array<const char*, 5> kUdpLabels = {"InDatagrams", "NoPorts", "InErrors", "OutDatagrams", "NumAddrs"};
constexpr std::array<const char*, 15> kTcpLabels = {
    "RtoAlgorithm", "RtoMin", "RtoMax",  "MaxConn",     "ActiveOpens", "PassiveOpens", "AttemptFails", "EstabResets",
    "CurrEstab",    "InSegs", "OutSegs", "RetransSegs", "InErrs",      "OutRsts",      "NumConns"};
constexpr std::array<const char*, 23> kIpLabels = {
    "Forwarding",      "DefaultTTL",   "InReceives", "InHdrErrors", "InAddrErrors",    "ForwDatagrams",
    "InUnknownProtos", "InDiscards",   "InDelivers", "OutRequests", "RoutingDiscards", "OutDiscards",
    "OutNoRoutes",     "ReasmTimeout", "ReasmReqds", "ReasmOks",    "ReasmFails",      "FragOks",
    "FragFails",       "FragCreates",  "NumIf",      "NumAddr",     "NumRoutes"};

static_assert(sizeof(MIBICMPSTATS) == kIcmpLabels.size() * sizeof(DWORD));
static_assert(sizeof(MIB_UDPSTATS) == kUdpLabels.size() * sizeof(DWORD));
static_assert(sizeof(MIB_TCPSTATS) == kTcpLabels.size() * sizeof(DWORD));
static_assert(sizeof(MIB_IPSTATS) == kIpLabels.size() * sizeof(DWORD));

// The ICMPv6 message types the system counts, in type order, with their
// labels (at most 15 characters, as the counter lines show them).
struct Icmp6Type {
    unsigned type;
    const char* label;
};
constexpr Icmp6Type kIcmp6Types[] = {
    {1, "DestUnreachs"},     {2, "PktTooBigs"},     {3, "TimeExcds"},     {4, "ParmProblems"},
    {128, "Echos"},          {129, "EchoReplies"},  {130, "MldQueries"},  {131, "MldReports"},
    {132, "MldDones"},       {133, "RouterSolicits"}, {134, "RouterAdverts"}, {135, "NeighSolicits"},
    {136, "NeighAdverts"},   {137, "Redirects"},    {143, "Mldv2Reports"},
};

std::u16string CounterLine(const char* label, DWORD value) {
    return FormatW(u"%-15.15s %-6d", {AnsiToWide(label), value});
}

// The records are runs of 32-bit counters; counter i pairs with label i.
DWORD Counter(const void* record, std::size_t i) {
    DWORD value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + i * sizeof(DWORD), sizeof value);
    return value;
}

}  // namespace

// Appends one line per counter of `record` under `root`.
void CNetworkReport::AppendCounterLines(HTREEITEM root, const void* record, const char* const* labels, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) AppendItem(root, CounterLine(labels[i], Counter(record, i)), kImageValue);
}

// Rewrites the lines under `root` in place; should lines be missing, the
// remaining counters are dropped.
void CNetworkReport::RewriteCounterLines(HTREEITEM root, const void* record, const char* const* labels, std::size_t n) {
    HTREEITEM line = GetChildItem(root);
    for (std::size_t i = 0; i < n && line != nullptr; ++i) {
        SetItemText(line, CounterLine(labels[i], Counter(record, i)));
        line = GetNextSiblingItem(line);
    }
}

void CNetworkReport::BuildIcmpStatistics() {
    DeleteAllItems();
    m_hIcmpInRoot = AppendItem(TVI_ROOT, u"ICMP In Statistics", kImageRoot);
    SetItemBold(m_hIcmpInRoot);
    g_pIcmpStatistics->Refresh();
    const MIB_ICMP& icmp = IcmpStatisticsRecord();
    AppendCounterLines(m_hIcmpInRoot, &icmp.stats.icmpInStats, kIcmpLabels.data(), kIcmpLabels.size());
    Expand(m_hIcmpInRoot);
    m_hIcmpOutRoot = AppendItem(TVI_ROOT, u"ICMP Out Statistics", kImageRoot);
    SetItemBold(m_hIcmpOutRoot);
    AppendCounterLines(m_hIcmpOutRoot, &icmp.stats.icmpOutStats, kIcmpLabels.data(), kIcmpLabels.size());
    Expand(m_hIcmpOutRoot);
}

void CNetworkReport::UpdateIcmpStatistics() {
    g_pIcmpStatistics->Refresh();
    const MIB_ICMP& icmp = IcmpStatisticsRecord();
    RewriteCounterLines(m_hIcmpInRoot, &icmp.stats.icmpInStats, kIcmpLabels.data(), kIcmpLabels.size());
    Expand(m_hIcmpInRoot);
    RewriteCounterLines(m_hIcmpOutRoot, &icmp.stats.icmpOutStats, kIcmpLabels.data(), kIcmpLabels.size());
    Expand(m_hIcmpOutRoot);
}

void CNetworkReport::BuildIpStatistics() {
    DeleteAllItems();
    m_hIpRoot = AppendItem(TVI_ROOT, u"IP Statistics", kImageRoot);
    SetItemBold(m_hIpRoot);
    g_pIpStatistics->Refresh();
    AppendCounterLines(m_hIpRoot, &IpStatisticsRecord(), kIpLabels.data(), kIpLabels.size());
    Expand(m_hIpRoot);
}

void CNetworkReport::UpdateIpStatistics() {
    g_pIpStatistics->Refresh();
    RewriteCounterLines(m_hIpRoot, &IpStatisticsRecord(), kIpLabels.data(), kIpLabels.size());
}

void CNetworkReport::BuildUdpStatistics() {
    DeleteAllItems();
    m_hUdpStatsRoot = AppendItem(TVI_ROOT, u"UDP Statistics", kImageRoot);
    SetItemBold(m_hUdpStatsRoot);
    g_pUdpStatistics->Refresh();
    AppendCounterLines(m_hUdpStatsRoot, &UdpStatisticsRecord(), kUdpLabels.data(), kUdpLabels.size());
    Expand(m_hUdpStatsRoot);
}

void CNetworkReport::UpdateUdpStatistics() {
    g_pUdpStatistics->Refresh();
    RewriteCounterLines(m_hUdpStatsRoot, &UdpStatisticsRecord(), kUdpLabels.data(), kUdpLabels.size());
}

void CNetworkReport::BuildTcpStatistics() {
    DeleteAllItems();
    m_hTcpStatsRoot = AppendItem(TVI_ROOT, u"TCP Statistics", kImageRoot);
    SetItemBold(m_hTcpStatsRoot);
    g_pTcpStatistics->Refresh();
    AppendCounterLines(m_hTcpStatsRoot, &TcpStatisticsRecord(), kTcpLabels.data(), kTcpLabels.size());
    Expand(m_hTcpStatsRoot);
}

void CNetworkReport::UpdateTcpStatistics() {
    g_pTcpStatistics->Refresh();
    RewriteCounterLines(m_hTcpStatsRoot, &TcpStatisticsRecord(), kTcpLabels.data(), kTcpLabels.size());
}

void CNetworkReport::WriteIcmp6Lines(HTREEITEM root, const MIBICMPSTATS_EX& stats, bool rewrite) {
    std::vector<std::u16string> lines = {CounterLine("Msgs", stats.dwMsgs), CounterLine("Errors", stats.dwErrors)};
    for (const Icmp6Type& t : kIcmp6Types) lines.push_back(CounterLine(t.label, stats.rgdwTypeCount[t.type]));
    if (!rewrite) {
        for (const std::u16string& line : lines) AppendItem(root, line, kImageValue);
        return;
    }
    HTREEITEM item = GetChildItem(root);
    for (std::size_t i = 0; i < lines.size() && item != nullptr; ++i) {
        SetItemText(item, lines[i]);
        item = GetNextSiblingItem(item);
    }
}

void CNetworkReport::BuildIp6Statistics() {
    DeleteAllItems();
    g_pIp6Statistics->Refresh();
    // Without IPv6 (or the entry points), the roots stand alone.
    const bool lines = g_pIp6Statistics->m_bValid;
    m_hIp6Root = AppendItem(TVI_ROOT, u"IPv6", kImageRoot);
    SetItemBold(m_hIp6Root);
    if (lines) AppendCounterLines(m_hIp6Root, &Ip6StatisticsRecord(), kIpLabels.data(), kIpLabels.size());
    Expand(m_hIp6Root);
    m_hIcmp6InRoot = AppendItem(TVI_ROOT, u"ICMPv6 In", kImageRoot);
    SetItemBold(m_hIcmp6InRoot);
    if (lines) WriteIcmp6Lines(m_hIcmp6InRoot, Icmp6StatisticsRecord().icmpInStats, false);
    Expand(m_hIcmp6InRoot);
    m_hIcmp6OutRoot = AppendItem(TVI_ROOT, u"ICMPv6 Out", kImageRoot);
    SetItemBold(m_hIcmp6OutRoot);
    if (lines) WriteIcmp6Lines(m_hIcmp6OutRoot, Icmp6StatisticsRecord().icmpOutStats, false);
    Expand(m_hIcmp6OutRoot);
    m_hUdp6StatsRoot = AppendItem(TVI_ROOT, u"UDPv6", kImageRoot);
    SetItemBold(m_hUdp6StatsRoot);
    if (lines) AppendCounterLines(m_hUdp6StatsRoot, &Udp6StatisticsRecord(), kUdpLabels.data(), kUdpLabels.size());
    Expand(m_hUdp6StatsRoot);
}

void CNetworkReport::UpdateIp6Statistics() {
    g_pIp6Statistics->Refresh();
    RewriteCounterLines(m_hIp6Root, &Ip6StatisticsRecord(), kIpLabels.data(), kIpLabels.size());
    WriteIcmp6Lines(m_hIcmp6InRoot, Icmp6StatisticsRecord().icmpInStats, true);
    WriteIcmp6Lines(m_hIcmp6OutRoot, Icmp6StatisticsRecord().icmpOutStats, true);
    RewriteCounterLines(m_hUdp6StatsRoot, &Udp6StatisticsRecord(), kUdpLabels.data(), kUdpLabels.size());
}

// ------------------------------------------------------------- as records

namespace {

void AddCounters(records::Table& table, std::vector<records::Cell>& row, const void* record,
                 const char* const* labels, std::size_t n, const char* prefix) {
    for (std::size_t i = 0; i < n; ++i) {
        DWORD value = 0;
        std::memcpy(&value, static_cast<const unsigned char*>(record) + i * sizeof(DWORD), sizeof value);
        table.columns.push_back(std::string(prefix) + labels[i]);
        row.push_back(records::Cell::Number(value));
    }
}

records::Table CounterTable(const char* kind, const void* record, const char* const* labels, std::size_t n) {
    records::Table table;
    table.kind = kind;
    std::vector<records::Cell> row;
    AddCounters(table, row, record, labels, n, "");
    table.rows.push_back(std::move(row));
    return table;
}

}  // namespace

records::Table IpCounterRecords(const MIB_IPSTATS& ip) {
    return CounterTable("ip", &ip, kIpLabels.data(), kIpLabels.size());
}

records::Table TcpCounterRecords(const MIB_TCPSTATS& tcp) {
    return CounterTable("tcp-stats", &tcp, kTcpLabels.data(), kTcpLabels.size());
}

records::Table UdpCounterRecords(const MIB_UDPSTATS& udp) {
    return CounterTable("udp-stats", &udp, kUdpLabels.data(), kUdpLabels.size());
}

records::Table IcmpCounterRecords(const MIB_ICMP& icmp) {
    records::Table table;
    table.kind = "icmp";
    std::vector<records::Cell> row;
    AddCounters(table, row, &icmp.stats.icmpInStats, kIcmpLabels.data(), kIcmpLabels.size(), "In");
    AddCounters(table, row, &icmp.stats.icmpOutStats, kIcmpLabels.data(), kIcmpLabels.size(), "Out");
    table.rows.push_back(std::move(row));
    return table;
}

std::vector<records::Table> Ip6CounterRecords(const MIB_IPSTATS& ip6, const MIB_ICMP_EX& icmp6, const MIB_UDPSTATS& udp6) {
    std::vector<records::Table> tables;
    tables.push_back(CounterTable("ip6", &ip6, kIpLabels.data(), kIpLabels.size()));
    records::Table icmp;
    icmp.kind = "icmp6";
    std::vector<records::Cell> row;
    for (const auto& [prefix, stats] : {std::pair<std::string, const MIBICMPSTATS_EX*>{"In", &icmp6.icmpInStats},
                                        {"Out", &icmp6.icmpOutStats}}) {
        icmp.columns.push_back(prefix + "Msgs");
        row.push_back(records::Cell::Number(stats->dwMsgs));
        icmp.columns.push_back(prefix + "Errors");
        row.push_back(records::Cell::Number(stats->dwErrors));
        for (const Icmp6Type& t : kIcmp6Types) {
            icmp.columns.push_back(prefix + t.label);
            row.push_back(records::Cell::Number(stats->rgdwTypeCount[t.type]));
        }
    }
    icmp.rows.push_back(std::move(row));
    tables.push_back(std::move(icmp));
    tables.push_back(CounterTable("udp6-stats", &udp6, kUdpLabels.data(), kUdpLabels.size()));
    return tables;
}
