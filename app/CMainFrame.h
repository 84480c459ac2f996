// The main window: the ribbon at the top, the document tabs in the middle
// and the thirteen data panes docked around them in four tab groups.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <QPixmap>
#include <QString>
#include <array>
#include <string_view>
#include <vector>

#include "AutoHide.h"

class CSocketFeed;
class CMainFrame;
namespace remote {
class RemoteView;
}
class CNetworkDataView;
class CRibbonBar;
class QActionGroup;
class QMdiArea;
class QMdiSubWindow;
class QTabBar;
class QToolButton;

// The data panes: the ten IPv4 and configuration panes, then three IPv6.
inline constexpr std::size_t kPaneCount = 16;

// One data pane's place in the frame.
struct PaneInfo {
    CNetworkDataView* CMainFrame::*member;
    int kind;
    int captionId;  // string id of the caption
    int controlId;  // the pane's window id: its object name, under which its layout is kept
    Qt::DockWidgetArea area;
    int width;  // initial width in pixels
    const char* diagnosticName;
    // The title its tab shows where the caption does not fit; null where
    // the caption is short enough.
    const char* shortTitle;
};

// One show/hide command and its ribbon check box.
struct ToggleInfo {
    int commandId;
    CNetworkDataView* CMainFrame::*member;
    int panel;  // 0 Enumerators, 1 Sockets, 2 Statistics
    int textId;
};

// The main window's first size on a screen whose available area (without
// panels) is `available`: 1280 x 800, or less so that the window and a
// window manager's frame fit.
QSize FirstWindowSize(const QSize& available);

// Where a restored window goes: its `outer` rectangle (with the frame)
// kept as saved when it lies inside the screen's available area, else made
// small enough to fit and moved inside, as little as it must.
QRect FitPlacement(const QRect& outer, const QRect& available);

// The dock areas whose extent the frame keeps (left and right: a width;
// top and bottom: a height), in the order of their index.
inline constexpr std::array<Qt::DockWidgetArea, 4> kExtentAreas = {
    Qt::LeftDockWidgetArea, Qt::RightDockWidgetArea, Qt::TopDockWidgetArea, Qt::BottomDockWidgetArea};

// The kept extents as the settings hold them: four numbers, 0 where none is
// kept; anything else gives none.
std::array<int, 4> ParsePaneExtents(const QString& text);

// The auto-hidden panes as the settings keep them: "NAME AREA EXTENT"
// items separated by ';'.  Items that do not parse are passed over.
std::vector<CAutoHideManager::EdgePane> ParseEdgePanes(const QString& text);

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Constructs the panes in member order (each takes every snapshot)
    // and reads the saved look.
    CMainFrame();
    ~CMainFrame() override;

    // Creates the window's content; false when a pane cannot be created.
    bool LoadFrame();

    // Commands.
    void OnCommand(int id);
    void OnApplicationLook(unsigned id);
    void OnToggleAutoRefreshAll();
    // Puts every pane back where a first start puts it.
    void OnResetLayout();
    // The places F6 moves the focus between, in order: the active document,
    // then the report trees of the panes in view; and the move itself.
    std::vector<QWidget*> FocusAreas() const;
    void MoveFocusBetweenAreas(bool forward);
    // The area a widget belongs to for Tab: the ribbon, a pane, the
    // document area; null elsewhere.
    QWidget* FocusAreaOf(const QWidget* widget) const;
    // The controls Tab moves among in an area, in order: the ribbon's
    // application button, tabs, tab row buttons and the current page's
    // elements panel by panel; in a pane or a document, top to bottom and
    // left to right.  Only controls in view that take the focus by Tab.
    std::vector<QWidget*> TabOrder(QWidget* area) const;
    void OnWindowsDialog();
    // The extent of the panes docked in `area` as they show now: the width
    // (left, right) or height (top, bottom) of the area; 0 when none is.
    int AreaExtent(Qt::DockWidgetArea area) const;
    // The extent the user gave the area (by its separator, or the first
    // layout): the document area gives way to it, so that panes squeezed by
    // a small window get it back when the window grows.  0: none kept.
    int WantedExtent(Qt::DockWidgetArea area) const;
    // Gives the panes back what a small window took from them, as far as the
    // document area can spare.
    void GiveSpaceBackToPanes();
    // The widths the first layout gives the left and the right panes in the
    // window as it is now, and the widths they want as it grows: the left
    // room for all its tabs (with short titles), the right room for whole
    // lines of the sockets (a TCP line, then a TCPv6 one, which is wider),
    // as far as the document area can give way.
    struct FirstWidths {
        int left = 0, right = 0;
        int wantedLeft = 0, wantedRight = 0;
    };
    FirstWidths FirstLayoutWidths();
    // The width a pane of the socket group needs to show `line` whole: the
    // line as its tree draws it, with the tree's scroll bar and frame.
    int SocketLineWidth(std::u16string_view line) const;
    // The frame's tab bars of tab groups of panes (those in view first),
    // and the pane of a tab.
    std::vector<QTabBar*> PaneTabBars() const;
    CNetworkDataView* PaneOfTab(const QTabBar* bar, int index) const;
    // Selects the next (or the previous) tab of the group that `pane` is in,
    // wrapping round, and puts the focus in its pane.
    void SwitchTab(CNetworkDataView* pane, bool forward);
    // Whether the user can reach the pane: docked (in view or behind a tab),
    // floating, or on an edge strip.  Its box says so.
    bool IsPaneReachable(const CNetworkDataView* pane) const;
    // Shows a hidden pane (and activates it) or hides a shown one.
    void OnTogglePane(CNetworkDataView* pane);
    // The check marks of the ribbon and the look menu, from the state.
    void UpdateCommandUI();
    // "Tessaline 2.1 - " and the title of the document in view; the host
    // shown when it is another, and whether its connection is lost.
    void UpdateTitle();
    // The document whose tab is in view, wherever the focus is; null when
    // none is open.
    QMdiSubWindow* ShownDocument() const;

    // Another host that the window shows (the program's --remote), set
    // before the window is made; null for this machine.
    static void SetRemote(const remote::RemoteView* view);
    static const remote::RemoteView* Remote();
    // Every pane's banner and the title from the remote host's connection:
    // lost, each pane says so (and that it is retried); back, they clear.
    void UpdateRemoteState();

    CRibbonBar* Ribbon() const { return m_wndRibbon; }
    QMdiArea* MdiArea() const { return m_mdiArea; }
    CAutoHideManager* AutoHide() const { return m_autoHide; }
    std::vector<CNetworkDataView*> Panes() const;  // in member order
    CNetworkDataView* PaneOfCommand(int commandId) const;
    QActionGroup* LookActions() const { return m_lookActions; }
    bool AutoRefreshAll() const { return m_bAutoRefreshAll; }
    // Whether the window is being closed (saving its layout on the way).
    bool IsClosing() const { return m_bClosing; }
    // The text of the pane creation failure, when there was one.
    const QString& Diagnostic() const { return m_diagnostic; }

    static const std::array<PaneInfo, kPaneCount>& PaneTable();
    static const std::array<ToggleInfo, kPaneCount>& ToggleTable();

    // Members, in declaration order.
    CRibbonBar* m_wndRibbon = nullptr;
    QToolButton* m_btnApplication = nullptr;
    QPixmap m_imgPanels;
    CNetworkDataView* m_paneNetworks = nullptr;
    CNetworkDataView* m_paneAdapters = nullptr;
    CNetworkDataView* m_paneProtocols = nullptr;
    CNetworkDataView* m_paneInterfaces = nullptr;
    CNetworkDataView* m_paneUdpSockets = nullptr;
    CNetworkDataView* m_paneTcpSockets = nullptr;
    CNetworkDataView* m_paneUdpStats = nullptr;
    CNetworkDataView* m_paneTcpStats = nullptr;
    CNetworkDataView* m_paneIpStats = nullptr;
    CNetworkDataView* m_paneIcmpStats = nullptr;
    CNetworkDataView* m_paneUdp6Sockets = nullptr;
    CNetworkDataView* m_paneTcp6Sockets = nullptr;
    CNetworkDataView* m_paneIp6Stats = nullptr;
    CNetworkDataView* m_paneConnectionLog = nullptr;
    CNetworkDataView* m_paneProcesses = nullptr;
    CNetworkDataView* m_paneListeningPorts = nullptr;
    bool m_bAutoRefreshAll = false;
    // Whether changed socket lines are marked (a setting, on by default),
    // and whether the panes are paused.
    bool m_bHighlightChanges = true;
    // The quick toggles of the socket-like panes' filters.
    bool m_bHideListening = false, m_bHideTimeWait = false, m_bHideLoopback = false;
    // The pane the focus was last in (the ribbon's "View as Table" acts on it).
    QPointer<CNetworkDataView> m_pActivePane;
    // The panes' views (table or tree, columns, sort, filter) wait a moment
    // before they are written, so that a column dragged wider is one write.
    QTimer* m_pViewSaveTimer = nullptr;
    bool m_bPaused = false;
    bool m_bRemoteLost = false;
    CSocketFeed* SocketFeed() const { return m_socketFeed; }
    // Writes the connection log to `path` as CSV, or as JSON when the name
    // ends in ".json"; false (and nothing said) when it cannot be written.
    static bool SaveConnectionLog(const QString& path);
    // The folder "Save Log As" opens in: the user's documents folder, else
    // the home folder.
    static QString LogFolder();

    // Fails the creation of the pane at this step of the window table (for
    // the tests); -1 creates them all.
    static int s_failPaneStep;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;
    // Tab and Shift+Tab move among the controls of the focused area and
    // wrap; F6 moves between areas.
    bool focusNextPrevChild(bool next) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildRibbon();
    // A pane's view as the settings keep it: restored once its content is
    // made, written (all panes together) a moment after one changes.
    void RestorePaneView(CNetworkDataView* pane);
    void SavePaneViews();
    void ApplyQuickToggles();
    // Each tab of a tab group of panes shows its pane's icon.
    void ShowPaneIconsOnTabs();
    // Every tab bar of panes takes short titles where it must, gives the
    // focus to a pane whose tab is clicked, and lets a tab be dragged out.
    void ArrangePaneTabBars();
    void GiveFirstLayoutWidths();
    bool CreateDataPanes();
    void DockPaneGroups();
    void SaveWorkspace();
    // The saved layout: the panes (true when restored), their edges and
    // extents, and the window's placement.  A part that cannot be taken
    // drops all of it for the first layout, said once.
    bool RestoreWorkspace();
    bool RestorePlacement(const QByteArray& geometry);
    // Brings the window (not maximised or full screen) inside the screen it
    // is on, at no less than its least size, moving it as little as it must.
    void KeepOnScreen();
    // The panes (and with `placementToo` the window) back to the first
    // layout, the saved layout forgotten, and the user told why.
    void DropSavedLayout(bool placementToo, const QString& why);
    // Whether the window at its least size fits the screen it is on.
    bool FitsOnScreen() const;
    // The window manager's frame around the window, or room for a common
    // one while it is unknown.
    QMargins FrameMargins() const;
    void PutPanesInFirstLayout();
    void BringFloatingPanesOnScreen();

    void OnToggleHighlightChanges();
    void OnTogglePause();
    void OnSaveLogAs();
    // The look's colours of changed lines, for every pane's tree.
    void ApplyMarkColours();

    CSocketFeed* m_socketFeed = nullptr;
    QMdiArea* m_mdiArea = nullptr;
    QByteArray m_firstLayout;  // the panes as a first start docks them
    CAutoHideManager* m_autoHide = nullptr;
    QActionGroup* m_lookActions = nullptr;
    QString m_diagnostic;
    // The extents the user wants, by kExtentAreas index; and the extents
    // when a separator drag began.
    std::array<int, 4> m_wantedExtent{};
    std::array<int, 4> m_extentAtPress{};
    bool m_bRestored = false;
    bool m_bPlaced = false;  // the window's saved placement was taken
    bool m_bSized = false;
    bool m_bClosing = false;
};
