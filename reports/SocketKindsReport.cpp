// The routines of the socket panes (TCP, UDP, TCPv6, UDPv6): a root line,
// then one line per socket, kept up to date through the diff of each new
// table against the lines shown, with detail lines under the lines opened.
#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "ConnectionReports.h"
#include "IpHelper.h"
#include "NetworkReport.h"
#include "SocketDetails.h"
#include "SocketFilter.h"
#include "SocketRecord.h"

void CNetworkReport::ShowSocketRows(const sockets::TableRows& table) {
    HTREEITEM root = SocketRoot();
    if (root == nullptr) return;
    if (!m_bSocketRowsShown || !table.valid) {
        ShowSocketRowsAfresh(table);
        return;
    }
    m_bSocketSnapshotFailed = false;
    std::vector<sockets::Line> next = sockets::NextLines(m_socketLines, table.rows);
    if (!m_bMarkChanges) {
        // Unmarked, a closed socket's line goes at once.
        std::erase_if(next, [](const sockets::Line& l) { return l.mark == sockets::Mark::Closed; });
        for (sockets::Line& l : next) l.mark = sockets::Mark::None;
    }
    sockets::MarkClosedRecords(next);
    const std::vector<sockets::Edit> edits = sockets::PlanEdits(m_socketLines, next);
    ApplySocketEdits(edits, next.size());
    m_socketLines = std::move(next);
    if (table.facts) ShowSocketFacts(table.facts, sockets::LineRows(m_socketLines));
    SocketLinesChanged(&edits, sockets::LineRecords(m_socketLines));
}

void CNetworkReport::ShowSocketRowsAfresh(const sockets::TableRows& table) {
    // The first rows since the build, or since a failed snapshot: every
    // line plain, none new.  A failed snapshot is no data rather than every
    // socket closed: its lines go unmarked.
    HTREEITEM root = SocketRoot();
    if (root == nullptr) return;
    m_bSocketSnapshotFailed = !table.valid && !table.noIpv6;
    m_bSocketRowsShown = table.valid;
    m_socketLines.clear();
    m_socketItems.clear();
    for (HTREEITEM line = GetChildItem(root); line != nullptr;) {
        HTREEITEM next = GetNextSiblingItem(line);
        DeleteItem(line);
        line = next;
    }
    m_socketItems.reserve(table.rows.size());
    // Lines compared here later keep the rows; lines the worker compares
    // are its own.
    const bool here = LinesComparedHere();
    if (here) m_socketLines.reserve(table.rows.size());
    for (const sockets::Row& row : table.rows) {
        m_socketItems.push_back(AppendItem(root, row.text, kImageValue));
        if (here)
            m_socketLines.push_back({row.key, row.state, row.text, sockets::Mark::None, sockets::kNoLine});
    }
    std::vector<std::uint32_t> lineRows(m_socketItems.size());
    for (std::size_t i = 0; i < lineRows.size(); ++i) lineRows[i] = static_cast<std::uint32_t>(i);
    ShowSocketFacts(table.facts, std::move(lineRows));
    std::vector<sockets::RecordPtr> records;
    records.reserve(table.rows.size());
    for (const sockets::Row& row : table.rows) records.push_back(row.record);
    SocketLinesChanged(nullptr, records);
}

void CNetworkReport::ShowSocketDelivery(const sockets::RowsDelivery& delivery) {
    if (delivery.fresh) {
        ShowSocketRowsAfresh(delivery.rows);
        return;
    }
    m_bSocketSnapshotFailed = false;
    ApplySocketEdits(delivery.edits, delivery.lineCount);
    if (delivery.rows.facts) ShowSocketFacts(delivery.rows.facts, delivery.lineRows);
    SocketLinesChanged(&delivery.edits, delivery.records);
}

void CNetworkReport::ShowSocketFacts(std::shared_ptr<const sockets::TableFacts> facts,
                                     std::vector<std::uint32_t> lineRows) {
    m_socketFacts = std::move(facts);
    m_lineRows = std::move(lineRows);
    if (m_lineRows.size() != m_socketItems.size()) m_lineRows.assign(m_socketItems.size(), sockets::kNoRow);
    if (!m_socketFacts) return;
    for (std::size_t i = 0; i < m_socketItems.size(); ++i) {
        const HTREEITEM line = m_socketItems[i];
        const std::uint32_t row = m_lineRows[i];
        // A closed socket's line keeps what it said last.
        if (row == sockets::kNoRow) continue;
        if (m_bDetailLines) {
            WriteDetailLines(line, row);
        } else {
            SetItemExpandable(line, true);
            // Lines opened before follow their socket.
            if (GetChildItem(line) != nullptr) WriteDetailLines(line, row);
        }
    }
}

void CNetworkReport::WriteDetailLines(HTREEITEM line, std::uint32_t row) {
    const std::vector<std::u16string> texts = sockets::DetailLines(*m_socketFacts, row);
    std::size_t n = 0;
    HTREEITEM child = GetChildItem(line);
    for (; child != nullptr && n < texts.size(); ++n) {
        SetItemText(child, texts[n]);
        child = GetNextSiblingItem(child);
    }
    while (child != nullptr) {
        HTREEITEM next = GetNextSiblingItem(child);
        DeleteItem(child);
        child = next;
    }
    for (; n < texts.size(); ++n) AppendItem(line, texts[n], kImageValue);
}

void CNetworkReport::WriteSocketDetails(HTREEITEM line) {
    if (!m_socketFacts || line == nullptr) return;
    const auto at = std::find(m_socketItems.begin(), m_socketItems.end(), line);
    if (at == m_socketItems.end()) return;
    const std::size_t i = static_cast<std::size_t>(at - m_socketItems.begin());
    if (i < m_lineRows.size() && m_lineRows[i] != sockets::kNoRow) WriteDetailLines(line, m_lineRows[i]);
}

void CNetworkReport::ApplySocketEdits(const std::vector<sockets::Edit>& edits, std::size_t lineCount) {
    HTREEITEM root = SocketRoot();
    if (root == nullptr) return;
    // The removals come first, from the last line up; then the insertions
    // and rewrites from the first line down, each at its final position.
    std::size_t e = 0;
    std::vector<bool> removed(m_socketItems.size(), false);
    for (; e < edits.size() && edits[e].kind == sockets::Edit::Kind::Remove; ++e) {
        const std::size_t at = edits[e].position;
        if (at >= m_socketItems.size() || removed[at]) continue;
        removed[at] = true;
        DeleteItem(m_socketItems[at]);
    }
    std::vector<HTREEITEM> kept;
    kept.reserve(m_socketItems.size());
    for (std::size_t i = 0; i < m_socketItems.size(); ++i)
        if (!removed[i]) kept.push_back(m_socketItems[i]);
    std::vector<HTREEITEM> items;
    items.reserve(lineCount);
    std::size_t k = 0;
    for (std::size_t position = 0; position < lineCount; ++position) {
        const sockets::Edit* edit = e < edits.size() && edits[e].position == position ? &edits[e] : nullptr;
        if (edit != nullptr) ++e;
        HTREEITEM item = nullptr;
        if (edit != nullptr && edit->kind == sockets::Edit::Kind::Insert) {
            item = InsertItem(root, items.empty() ? nullptr : items.back(), edit->line.text, kImageValue);
        } else if (k < kept.size()) {
            item = kept[k++];
        } else {
            break;  // edits that do not fit the lines shown: nothing more to place
        }
        if (edit != nullptr) {
            SetItemText(item, edit->line.text);
            SetItemMark(item, static_cast<LineMark>(edit->line.mark));
        }
        items.push_back(item);
    }
    // Lines the edits did not place (never, for edits planned on these
    // lines) go rather than stay unknown.
    for (; k < kept.size(); ++k) DeleteItem(kept[k]);
    m_socketItems = std::move(items);
}

HTREEITEM CNetworkReport::SocketRoot() const {
    switch (m_nKind) {
        case kKindTcpConnections: return m_hTcpConnRoot;
        case kKindUdpConnections: return m_hUdpConnRoot;
        case kKindTcp6Connections: return m_hTcp6ConnRoot;
        case kKindUdp6Connections: return m_hUdp6ConnRoot;
        case kKindProcesses: return m_hProcessesRoot;
        case kKindListeningPorts: return m_hListeningRoot;
        default: return nullptr;
    }
}

std::optional<sockets::Table> SocketTableOfKind(int kind) {
    switch (kind) {
        case kKindTcpConnections: return sockets::Table::Tcp;
        case kKindUdpConnections: return sockets::Table::Udp;
        case kKindTcp6Connections: return sockets::Table::Tcp6;
        case kKindUdp6Connections: return sockets::Table::Udp6;
        default: return std::nullopt;
    }
}

void CNetworkReport::BuildSocketRoot(HTREEITEM& root, std::u16string_view title) {
    DeleteAllItems();
    m_socketLines.clear();
    m_socketItems.clear();
    m_bSocketRowsShown = false;
    m_bSocketSnapshotFailed = false;
    root = AppendItem(TVI_ROOT, title, kImageRoot);
    SetItemBold(root);
    Expand(root);
}

namespace {

// One of the process-wide socket table snapshots taken again, as rows.
template <class Snapshot, class Table, class Rows>
sockets::TableRows TakeRowsWith(Snapshot& snapshot, sockets::Table kind, Table table, Rows rows, bool facts) {
    snapshot.Refresh();
    sockets::TableRows out =
        sockets::MakeRows(kind, table(), snapshot.m_bValid ? rows() : 0, facts, CurrentSocketRowFacts(kind));
    out.valid = snapshot.m_bValid;
    if constexpr (requires { snapshot.m_bNoIpv6; }) out.noIpv6 = snapshot.m_bNoIpv6;
    return out;
}

}  // namespace

sockets::TableRows CNetworkReport::TakeTableHere(sockets::Table table, bool facts) {
    // The process-wide snapshot objects, as the other reports take theirs.
    switch (table) {
        case sockets::Table::Tcp:
            return TakeRowsWith(*g_pTcpOwnerTable, table, CurrentTcpOwnerTable, CurrentTcpOwnerRows, facts);
        case sockets::Table::Udp:
            return TakeRowsWith(*g_pUdpOwnerTable, table, CurrentUdpOwnerTable, CurrentUdpOwnerRows, facts);
        case sockets::Table::Tcp6:
            return TakeRowsWith(*g_pTcp6OwnerTable, table, CurrentTcp6OwnerTable, CurrentTcp6OwnerRows, facts);
        case sockets::Table::Udp6:
            break;
    }
    return TakeRowsWith(*g_pUdp6OwnerTable, sockets::Table::Udp6, CurrentUdp6OwnerTable, CurrentUdp6OwnerRows, facts);
}

sockets::TableRows CNetworkReport::TakeSocketRowsHere() {
    // A filter on owners' details needs the facts that hold them.
    const bool ownersFiltered = m_filter && m_filter->NeedsOwnerDetails();
    sockets::TableRows rows = TakeTableHere(SocketTableOfKind(m_nKind).value_or(sockets::Table::Udp6),
                                            m_bDetailLines || m_bFactsHere || ownersFiltered);
    m_rates.Apply(rows, sockets::SteadyMs());
    if (m_filter) sockets::KeepMatchingRows(rows, *m_filter, &m_filterKept);
    return rows;
}

void CNetworkReport::BuildTcpConnections() {
    BuildSocketRoot(m_hTcpConnRoot, u"TCP Connections");
    if (!m_bRowsFromWorker) ShowSocketRows(TakeSocketRowsHere());
}
void CNetworkReport::UpdateTcpConnections() { ShowSocketRows(TakeSocketRowsHere()); }

void CNetworkReport::BuildUdpConnections() {
    BuildSocketRoot(m_hUdpConnRoot, u"UDP Connections");
    if (!m_bRowsFromWorker) ShowSocketRows(TakeSocketRowsHere());
}
void CNetworkReport::UpdateUdpConnections() { ShowSocketRows(TakeSocketRowsHere()); }

void CNetworkReport::BuildTcp6Connections() {
    BuildSocketRoot(m_hTcp6ConnRoot, u"TCPv6 Connections");
    if (!m_bRowsFromWorker) ShowSocketRows(TakeSocketRowsHere());
}
void CNetworkReport::UpdateTcp6Connections() { ShowSocketRows(TakeSocketRowsHere()); }

void CNetworkReport::BuildUdp6Connections() {
    BuildSocketRoot(m_hUdp6ConnRoot, u"UDPv6 Connections");
    if (!m_bRowsFromWorker) ShowSocketRows(TakeSocketRowsHere());
}
void CNetworkReport::UpdateUdp6Connections() { ShowSocketRows(TakeSocketRowsHere()); }
