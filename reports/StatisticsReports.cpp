// The ICMP, IP, UDP and TCP counter reports: one line per counter of the
// record, "label value", the label padded to 15 characters so that the
// values of the fixed-pitch pane line up in one column.
#include <array>
#include <cstring>

#include "IpHelper.h"
#include "NetworkReport.h"
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
