// A dockable pane that shows one report: a one-button toolbar above the
// report tree.  The panes of the refreshing kinds update their lines every
// 2000 ms while auto-refresh is on and they can be seen, once for each
// press of their refresh button, and once when they come back into sight.
// In a window with a socket worker (CSocketFeed), the socket panes ask it
// for their tables and apply the edits it sends; the pane's thread never
// takes a socket table.  A paused pane keeps what it shows.
#pragma once

#include <QDockWidget>
#include <QFont>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CClassToolBar.h"
#include "CViewTree.h"
#include "NetworkReport.h"
#include "SocketFilter.h"
#include "PaneStatus.h"

class CPaneStatus;
class QLabel;
class QAction;
class CFilterBar;
class CProcessTableModel;
class CSocketTableModel;
class CTableView;

// Command id of the pane's refresh button.
inline constexpr int ID_REFRESH = 144;

class CNetworkDataView : public QDockWidget, public CNetworkReport {
    Q_OBJECT
public:
    // Constructs the pane for a report kind (starting Winsock and taking every
    // snapshot once more); its window content is made by Create.
    explicit CNetworkDataView(int nKind, QWidget* parent = nullptr);
    // The same without taking the snapshots, for panes constructed together
    // with one that has just taken them: every report takes its own snapshot
    // again when it is built.
    CNetworkDataView(int nKind, DeferSnapshot defer, QWidget* parent = nullptr);
    ~CNetworkDataView() override;

    // Creates the tree, the toolbar, the images and the font, starts the
    // timer of a refreshing kind and builds the report.
    bool Create();

    // The refresh command: one update now, if the pane can be seen.
    void OnRefresh();

    CViewTree& Tree() { return *m_wndTree; }
    CClassToolBar& ToolBar() { return *m_wndToolBar; }
    // Shown, with all its parents, and not in a tab that is not selected.
    bool IsOnScreen() const { return isVisible() && m_bOnScreen; }
    bool HasTimer() const { return m_nTimerId != 0; }
    // How many times the update routine has run (for the tests).
    int UpdateCount() const { return m_nUpdates; }

    // Freezes what the pane shows while collection goes on; resuming brings
    // it up to date at once.
    void SetPaused(bool paused);

    // A line above the report that says why what it shows may not be
    // current (another host's connection lost); empty hides it.
    void SetBanner(const QString& text);
    QString Banner() const;
    bool IsPaused() const { return m_bPaused; }
    // Turns the marking of changed socket lines on or off.
    void SetMarkChanges(bool on) { m_bMarkChanges = on; }
    // Socket panes with a worker: true while rows asked for have not come.
    bool AwaitingRows() const { return m_bAwaitingRows; }
    // How long the window's thread took to show the last rows (the diff and
    // the tree's edits), in microseconds.
    qint64 LastRowsMicroseconds() const { return m_lastRowsUs; }

    // The panes of sockets, processes, listening ports and the log show
    // their lines as the report's tree or as a table of the same lines
    // (columns that sort, a row per line); the tree is the first view.
    bool HasTableView() const;
    bool IsTableView() const { return m_bTableView; }
    void SetTableView(bool on);
    CTableView* TableView() const { return m_wndTable; }
    // The table's columns, their order, widths and sort, as bytes (empty
    // before the table was first shown); restored when the table is made.
    QByteArray TableState() const;
    void SetTableState(const QByteArray& state);
    // The filter above the pane (socket-like panes): its text, and the
    // quick toggles of the ribbon.
    CFilterBar* FilterBar() const { return m_wndFilter; }
    QString FilterText() const;
    void SetFilterText(const QString& text);
    void SetQuickToggles(const sockets::QuickToggles& toggles);
    // The lines both views show: those `filter` passes (empty: all).
    void SetRecordFilter(sockets::RecordFilter filter);
    // The text colours of lines marked new, changed and closed, in both views.
    void SetMarkColours(const QColor& added, const QColor& changed, const QColor& closed);
    // The lines that pass the filter, and all lines (socket-like panes).
    std::size_t ShownLines() const { return m_shownLines; }
    std::size_t TotalLines() const;
    // The status line under the lines of the socket-like kinds (the socket
    // tables, the log, the processes and the listening ports); null for the
    // others and before Create.
    CPaneStatus* StatusLine() const { return m_wndStatus; }
    // The rows the status line counts: those in view of all the pane
    // holds, and all of them by state.  The pane adds when it last showed
    // rows and whether it is paused.  It counts what it shows itself after
    // each refresh; a view that shows fewer calls this after it.
    void SetStatusCounts(std::size_t shown, std::size_t total, std::map<std::string, std::size_t> byState);

signals:
    // Rows from the worker have been shown.
    void rowsShown();
    // The table view was turned on or off, or its columns, sort or the
    // filter's text changed: what the settings keep of the pane.
    void viewChanged();

protected:
    void SocketLinesChanged(const std::vector<sockets::Edit>* edits,
                            const std::vector<sockets::RecordPtr>& records) override;
    void LogLinesChanged(bool fresh, std::size_t dropped, const std::vector<sockets::RecordPtr>& added) override;
    void timerEvent(QTimerEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnVisibilityChanged(bool visible);
    // One update: a socket pane with a worker asks it for its table, any
    // other pane runs its update routine.
    void Update();
    // The log pane: appends the events added since, following the end.
    void WriteLog();
    void OnRowsArrived(const std::shared_ptr<const sockets::RowsDelivery>& rows);
    void OnSummaryArrived(const std::shared_ptr<const sockets::Summary>& summary);
    // Asks the worker for this socket pane's table.
    void RequestRows();
    void AdjustLayout();
    // The toolbar's row: its buttons, and the filter beside them.
    int TopRowHeight() const;
    // The table's model and view, made when the table is first shown.
    void MakeTable();
    // The table's rows made again from the lines shown.
    void FillTable();
    // The tree's lines hidden or shown by the filter, and the count shown.
    void FilterTree();
    // The records of the lines, and their items, in order.
    std::vector<HTREEITEM> LineItems();
    QWidget* CurrentView() const;
    // The filter of both views made again from the filter's expression and
    // the quick toggles.
    void ComposeFilter();
    // "N of M" beside the filter.
    void ShowCounts();
    std::map<std::string, std::size_t> CountByState() const;
    void PaintFrame();
    void SetUpImages();
    void SetUpFont();
    // The status line's counts from the lines now shown (and from the
    // processes' sockets, when a summary came), stamped with the time.
    void CountStatus(const sockets::Summary* summary = nullptr);
    void ShowStatus();

    QWidget* m_wndClient = nullptr;
    CClassToolBar* m_wndToolBar = nullptr;
    CViewTree* m_wndTree = nullptr;
    QLabel* m_wndBanner = nullptr;
    CPaneStatus* m_wndStatus = nullptr;
    QFont m_Font;
    int m_nTimerId = 0;
    bool m_bOnScreen = true;  // false while in a tab that is not shown
    bool m_bSeen = false;     // it has been in sight since it was made
    int m_nUpdates = 0;
    bool m_bPaused = false;
    bool m_bAwaitingRows = false;
    bool m_bLogWritePending = false;
    bool m_bUpdateOnResume = false;
    // The worker's delivery whose lines the pane shows (0: none).
    std::uint64_t m_appliedSerial = 0;
    qint64 m_lastRowsUs = 0;

    // The record of each line, in the lines' order: the socket lines', or
    // the log's (oldest first).
    std::vector<sockets::RecordPtr> m_lineRecords;
    std::deque<sockets::RecordPtr> m_logRecords;
    sockets::RecordFilter m_viewFilter;
    std::shared_ptr<const sockets::Filter> m_expression;
    sockets::QuickToggles m_quick;
    std::size_t m_shownLines = 0;
    bool m_bTableView = false;
    CTableView* m_wndTable = nullptr;
    CProcessTableModel* m_processModel = nullptr;
    CSocketTableModel* m_socketModel = nullptr;
    QByteArray m_tableState;  // to restore once the table is made
    CFilterBar* m_wndFilter = nullptr;
    QAction* m_actTable = nullptr;
    QColor m_markColours[3];
    sockets::PaneStatus m_status;  // what the status line says
};
