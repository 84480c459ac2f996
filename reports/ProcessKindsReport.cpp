// The routines of the Processes and Listening Ports panes: the four socket
// tables taken together, shown through the same diff as the socket panes.
#include "NetworkReport.h"
#include "ProcessReports.h"
#include "SocketDetails.h"
#include "SocketFilter.h"

sockets::Summary CNetworkReport::TakeSummaryHere() {
    // The traffic and owners are for the process totals only, and for a
    // filter on owners' details.
    const bool facts = m_nKind == kKindProcesses || (m_filter && m_filter->NeedsOwnerDetails());
    sockets::TableRows tables[4] = {TakeTableHere(sockets::Table::Tcp, facts), TakeTableHere(sockets::Table::Udp, facts),
                                    TakeTableHere(sockets::Table::Tcp6, facts),
                                    TakeTableHere(sockets::Table::Udp6, facts)};
    sockets::Summary summary;
    const std::int64_t now = sockets::SteadyMs();
    for (unsigned t = 0; t < 4; ++t) {
        m_summaryRates[t].Apply(tables[t], now);
        // The filter tests the lines' records, made from the sockets'.
        if (m_filter) sockets::AttachRecords(tables[t]);
        sockets::AddToSummary(summary, tables[t]);
    }
    return summary;
}

void CNetworkReport::ShowSummary(const sockets::Summary& summary) {
    sockets::TableRows rows;
    // A table that failed for want of IPv6 is no data, not a failure.
    rows.valid = true;
    for (unsigned t = 0; t < 4; ++t) rows.valid = rows.valid && (summary.valid[t] || summary.noIpv6[t]);
    rows.rows = m_nKind == kKindProcesses ? sockets::ProcessRows(summary) : sockets::ListeningRows(summary);
    if (m_filter && !m_bRowsFromWorker) sockets::KeepMatchingRows(rows.rows, *m_filter, &m_filterKept);
    if (m_bKeepSummary) m_lastSummary = summary;
    ShowSocketRows(rows);
}

void CNetworkReport::BuildProcesses() {
    BuildSocketRoot(m_hProcessesRoot, u"Processes");
    if (!m_bRowsFromWorker) ShowSummary(TakeSummaryHere());
}
void CNetworkReport::UpdateProcesses() { ShowSummary(TakeSummaryHere()); }

void CNetworkReport::BuildListeningPorts() {
    BuildSocketRoot(m_hListeningRoot, u"Listening Ports");
    if (!m_bRowsFromWorker) ShowSummary(TakeSummaryHere());
}
void CNetworkReport::UpdateListeningPorts() { ShowSummary(TakeSummaryHere()); }
