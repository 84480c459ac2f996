// One pane's report without its window: the report kind, the refresh flags,
// the saved root items and the build and update routines of every kind.
// CNetworkDataView is this class plus a window; the command line and the
// tests use it with an in-memory tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "ConnectionReports.h"
#include "ProcessReports.h"
#include "SocketDetails.h"
#include "SocketMonitor.h"
#include "SocketRecord.h"
#include "IpHelper.h"
#include "ReportTree.h"
#include "win32.h"

namespace sockets {
class Filter;
}

// Report kinds.
enum ReportKind : int {
    kKindIcmpStatistics = 10,
    kKindIpStatistics = 11,
    kKindUdpStatistics = 12,
    kKindTcpStatistics = 13,
    kKindNetworkConfiguration = 14,
    kKindAdapterList = 15,
    kKindInterfaceList = 16,
    kKindProtocolList = 17,
    kKindUdpConnections = 18,
    kKindTcpConnections = 19,
    // IPv6, beside the IPv4 kinds.
    kKindUdp6Connections = 20,
    kKindTcp6Connections = 21,
    kKindIp6Statistics = 22,
    // The socket events this process has seen.
    kKindConnectionLog = 23,
    // From all four socket tables: the processes that hold sockets, and
    // the listening ports.
    kKindProcesses = 24,
    kKindListeningPorts = 25,
};

// The socket table a pane of `kind` shows; nullopt for the other kinds.
std::optional<sockets::Table> SocketTableOfKind(int kind);

// The address family name of entry `nIndex` of the process-wide protocol
// catalog; "[UNKNOWN]" for an index outside the catalog or a family without a
// name.
const char* GetAddressFamilyName(int nIndex);

class CNetworkReport {
public:
    // Starts Winsock and takes every snapshot once more, replacing the
    // process-wide snapshot objects and protocol catalog.
    explicit CNetworkReport(int nKind);
    // For printing one report: the snapshot objects are made without their
    // snapshots, which the build then takes once.
    CNetworkReport(int nKind, DeferSnapshot);
    virtual ~CNetworkReport();  // stops Winsock once
    CNetworkReport(const CNetworkReport&) = delete;
    CNetworkReport& operator=(const CNetworkReport&) = delete;

    // Kinds that have an update routine.
    static bool IsAutoCapable(int nKind);

    // The tree that the routines write; set before the first build.
    void SetReportTree(ReportTree* pTree) { m_pTree = pTree; }
    ReportTree* GetReportTree() const { return m_pTree; }

    // The build dispatch: the build routine of m_nKind.
    virtual void BuildReport();
    // The update routine of m_nKind; nothing for a kind without one.
    void UpdateReport();
    // After a build or an update: true when the snapshot the report was
    // made from failed (no library, no entry point, or an error returned), so
    // that its zeros or empty lists come from no data rather than from an
    // idle machine.  An adapter list the library reports as empty is no
    // failure.
    bool SnapshotFailed() const;

    // Statistics reports.
    void BuildIcmpStatistics();
    void BuildIpStatistics();
    void BuildUdpStatistics();
    void BuildTcpStatistics();
    void UpdateIcmpStatistics();
    void UpdateIpStatistics();
    void UpdateUdpStatistics();
    void UpdateTcpStatistics();

    // Network configuration report; also the report of every kind without
    // one of its own.
    void BuildNetworkConfiguration();

    // Interface and adapter reports, built once.
    void BuildInterfaceList();
    void BuildAdapterList();

    // Protocol list report, built once.
    void BuildProtocolList();

    // Socket reports.
    void BuildTcpConnections();
    void UpdateTcpConnections();
    void BuildUdpConnections();
    void UpdateUdpConnections();
    void BuildTcp6Connections();
    void UpdateTcp6Connections();
    void BuildUdp6Connections();
    void UpdateUdp6Connections();

    // Shows a socket table under the socket report's root: the first rows
    // after a build as they come, later ones through the diff against the
    // lines shown, which inserts, removes and rewrites only the lines that
    // changed and marks them new, changed or closed (closed lines stay one
    // refresh).  Nothing for a kind without a socket root.
    void ShowSocketRows(const sockets::TableRows& table);
    // Shows a table from the socket worker: its rows afresh, or the edits
    // the worker made against the lines of the delivery shown before.
    void ShowSocketDelivery(const sockets::RowsDelivery& delivery);
    HTREEITEM SocketRoot() const;
    // Whether a line's change is marked (and a closed socket's line kept one
    // refresh); on unless the user turns it off.
    bool m_bMarkChanges = true;
    // The window's panes take their socket rows on a worker: the build then
    // writes the root alone and the rows come through ShowSocketRows.
    bool m_bRowsFromWorker = false;
    // Detail lines under the socket lines (the owner's process, user,
    // service, and the connection's traffic).  Eager: every line gets them
    // with each table (the command line's --details).  Otherwise a line
    // gets them when it is opened (WriteSocketDetails), and keeps them up
    // to date while they are there.  The reports taken here gather the
    // facts for them when either is on.
    bool m_bDetailLines = false;
    bool m_bFactsHere = false;
    // Writes the detail lines of socket line `line` (one the user opens).
    void WriteSocketDetails(HTREEITEM line);

    // The connection log: one line per event of the process's log, newest
    // last; an update appends the events added since and drops the lines
    // of those the log has let go.
    void BuildConnectionLog();
    void UpdateConnectionLog();
    HTREEITEM m_hLogRoot = nullptr;

    // The processes that hold sockets and the listening ports, from the
    // four socket tables taken together: here (the command line), or by the
    // socket worker (the window's panes, through ShowSummary).
    void BuildProcesses();
    void UpdateProcesses();
    void BuildListeningPorts();
    void UpdateListeningPorts();
    void ShowSummary(const sockets::Summary& summary);
    // For the records of other tools: the facts of the socket table shown
    // last (null when none were gathered), and, with m_bKeepSummary, the
    // summary the Processes or Listening Ports lines were made from last.
    const sockets::TableFacts* ShownSocketFacts() const { return m_socketFacts.get(); }
    const sockets::Summary& LastSummary() const { return m_lastSummary; }
    bool m_bKeepSummary = false;
    // The command line's --filter (null: none): the rows taken here (socket
    // tables, processes, listening ports, log events) that do not match it
    // are dropped before they are shown, so that the lines are the same,
    // fewer of them.  The window's panes filter their views themselves.
    std::shared_ptr<const sockets::Filter> m_filter;
    // Which rows of the socket table or the summary taken last the filter
    // kept, in their order before it (empty without a filter), for the
    // records of other tools.
    const std::vector<bool>& FilterKept() const { return m_filterKept; }
    HTREEITEM m_hProcessesRoot = nullptr;
    HTREEITEM m_hListeningRoot = nullptr;

    // IPv6 counters: IPv6, ICMPv6 in and out by message type, UDPv6.
    void BuildIp6Statistics();
    void UpdateIp6Statistics();

    const int m_nKind;
    bool m_bAutoRefresh = false;
    bool m_bRefreshRequested = false;
    const bool m_bAutoCapable;

    HTREEITEM m_hIcmpInRoot = nullptr;
    HTREEITEM m_hIcmpOutRoot = nullptr;
    HTREEITEM m_hIpRoot = nullptr;
    HTREEITEM m_hUdpStatsRoot = nullptr;
    HTREEITEM m_hTcpStatsRoot = nullptr;
    HTREEITEM m_hUdpConnRoot = nullptr;
    HTREEITEM m_hTcpConnRoot = nullptr;
    HTREEITEM m_hUdp6ConnRoot = nullptr;
    HTREEITEM m_hTcp6ConnRoot = nullptr;
    HTREEITEM m_hIp6Root = nullptr;
    HTREEITEM m_hIcmp6InRoot = nullptr;
    HTREEITEM m_hIcmp6OutRoot = nullptr;
    HTREEITEM m_hUdp6StatsRoot = nullptr;

protected:
    // Other views of the same lines (the window's table) follow the tree
    // through these, called once the tree shows the change.  The socket-like
    // panes: `edits` as applied to the lines shown (null: the lines were
    // shown afresh, none marked), and the record of each line now.
    virtual void SocketLinesChanged(const std::vector<sockets::Edit>* /*edits*/,
                                    const std::vector<sockets::RecordPtr>& /*records*/) {}
    // The log: its `dropped` oldest lines went, `added` came at the end;
    // `fresh`: every line before went (the report was built again).
    virtual void LogLinesChanged(bool /*fresh*/, std::size_t /*dropped*/,
                                 const std::vector<sockets::RecordPtr>& /*added*/) {}

    // The items of the socket lines shown, in order (those of the records
    // SocketLinesChanged tells); the log's are the children of m_hLogRoot.
    const std::vector<HTREEITEM>& SocketItems() const { return m_socketItems; }

    // The report tree operations, on the pane's tree.
    void DeleteAllItems() { m_pTree->DeleteAllItems(); }
    void DeleteItem(HTREEITEM item) { m_pTree->DeleteItem(item); }
    HTREEITEM AppendItem(HTREEITEM parent, std::u16string_view text, int image) {
        return m_pTree->AppendItem(parent, text, image);
    }
    void SetItemBold(HTREEITEM item) { m_pTree->SetItemBold(item); }
    void SetItemText(HTREEITEM item, std::u16string_view text) { m_pTree->SetItemText(item, text); }
    HTREEITEM GetChildItem(HTREEITEM item) { return m_pTree->GetChildItem(item); }
    HTREEITEM GetNextSiblingItem(HTREEITEM item) { return m_pTree->GetNextSiblingItem(item); }
    void Expand(HTREEITEM item) { m_pTree->Expand(item); }
    HTREEITEM InsertItem(HTREEITEM parent, HTREEITEM after, std::u16string_view text, int image) {
        return m_pTree->InsertItem(parent, after, text, image);
    }
    void SetItemMark(HTREEITEM item, LineMark mark) { m_pTree->SetItemMark(item, mark); }
    void SetItemExpandable(HTREEITEM item, bool expandable) { m_pTree->SetItemExpandable(item, expandable); }

private:
    void AppendCounterLines(HTREEITEM root, const void* record, const char* const* labels, std::size_t n);
    // The ICMPv6 lines of one direction: messages, errors, then one line per
    // message type the system counts.
    void WriteIcmp6Lines(HTREEITEM root, const MIBICMPSTATS_EX& stats, bool rewrite);
    // The "IPv6 Addresses" group of the adapter of interface index `index`,
    // when it has any.
    void AppendIpv6Addresses(HTREEITEM adapter, DWORD index);
    void RewriteCounterLines(HTREEITEM root, const void* record, const char* const* labels, std::size_t n);
    void BuildSocketRoot(HTREEITEM& root, std::u16string_view title);
    void ShowSocketRowsAfresh(const sockets::TableRows& table);
    // Applies edits planned on the lines shown; `lineCount` lines remain.
    void ApplySocketEdits(const std::vector<sockets::Edit>& edits, std::size_t lineCount);
    // After the lines changed: the facts of the table shown, which row each
    // line shows (kNoRow: a closed socket's), and the detail lines kept in
    // step with them.
    void ShowSocketFacts(std::shared_ptr<const sockets::TableFacts> facts, std::vector<std::uint32_t> lineRows);
    void WriteDetailLines(HTREEITEM line, std::uint32_t row);
    // One socket table taken through the process-wide snapshots, with its
    // facts when asked.
    sockets::TableRows TakeTableHere(sockets::Table table, bool facts);
    sockets::TableRows TakeSocketRowsHere();
    sockets::Summary TakeSummaryHere();
    // Whether the lines shown are compared with the next rows here (else
    // the worker compares them).
    bool LinesComparedHere() const { return !m_bRowsFromWorker || !SocketTableOfKind(m_nKind); }

    // The socket lines shown, as the diff knows them, and their items.
    std::vector<sockets::Line> m_socketLines;
    std::vector<HTREEITEM> m_socketItems;
    std::shared_ptr<const sockets::TableFacts> m_socketFacts;
    std::vector<std::uint32_t> m_lineRows;
    sockets::RateKeeper m_rates;
    sockets::RateKeeper m_summaryRates[4];
    sockets::Summary m_lastSummary;
    bool m_bSocketRowsShown = false;
    bool m_bSocketSnapshotFailed = false;
    std::vector<bool> m_filterKept;
    // The log's events shown: how many the log had added when it was last
    // written, and how many lines there are.
    std::uint64_t m_logShown = 0;
    std::size_t m_logLines = 0;
    bool m_logFresh = false;  // built again since the lines were last told

    ReportTree* m_pTree = nullptr;
};
