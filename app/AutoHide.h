// Auto-hide for the main window's dock widgets.
//
// Every managed pane gets a title bar of its own: the caption, then a pin
// ("Auto Hide"), a float and a close button.  Pressing the pin takes the pane
// out of the dock layout and leaves a tab for it on a strip along the window
// edge it was docked at; the text of tabs on the left and right strips runs
// vertically.  Hovering a tab (briefly) or clicking it slides the pane out
// from that edge over the panes and the central area; it slides back when
// the mouse leaves a pane opened by hovering, when a pane opened by a click
// (or given the focus) loses the focus to another widget of the window, when
// the window is clicked elsewhere, when its tab is clicked again, or on Esc.
// Pressing the pin of a slid-out pane docks it back exactly where it was:
// same area, same splitter slot, same tab group at the same tab index.
//
// Decisions:
// - Tabified panes are auto-hidden one by one: the pin acts on its own pane,
//   and each hidden pane has a tab of its own.
// - A floating pane cannot be auto-hidden: its pin is disabled.
// - Closing or hiding an auto-hidden pane docks it back, hidden, and removes
//   its tab; show() then brings it back docked.  show() and raise() on an
//   auto-hidden pane that is not closed slides it out.
// - The strips are tool bars in the window's tool bar areas, shown only while
//   they hold a tab, so an empty strip takes no space.
// - Across runs: RestoreAllBeforeSave docks every pane back, so that the
//   window's saveState() records their slots; the frame keeps EdgePanes()
//   beside that state, and after restoring it puts them back on their edges
//   with RestoreEdgePanes, in the order they were pinned, each as deep as
//   it slid out.
// - The float button of an auto-hidden pane docks it back, then floats it.
// - The float button, or a double-click on the caption, floats a docked pane
//   down and to the right of where it was docked (up and to the left where
//   the screen ends), so that the group it left shows; on a floating pane
//   they dock it back as the tab in view of its group.
// - Panes are found by themselves: every QDockWidget of the window, also
//   those added later; AddPane adds one explicitly.  A pane that already has
//   a title bar widget of another kind keeps it (and so has no pin).  The
//   title bar is horizontal: vertical title bars are not drawn.
// - A pane is put back in place through QMainWindow::restoreDockWidget, which
//   finds its slot by object name; a pane without one (or when that slot is
//   gone) goes back into its tab group, else at the end of its area.
// - Sliding takes 150 ms; it is immediate on the offscreen platform or with
//   TESSALINE_NO_ANIMATION set, and FinishAnimations() completes a running
//   slide at once.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QString>
#include <array>
#include <unordered_map>
#include <vector>

class QAction;
class QDockWidget;
class QMainWindow;
class QPropertyAnimation;
class QRect;
class QWidget;
class CAutoHideBar;
class CAutoHidePanel;
class CAutoHideTab;
class CPaneTitleBar;

class CAutoHideManager : public QObject {
    Q_OBJECT
public:
    // The manager belongs to the frame and is destroyed with it.
    explicit CAutoHideManager(QMainWindow* frame);
    ~CAutoHideManager() override;

    // Allows auto-hiding of the panes docked in these areas (the pins show
    // as soon as any area is allowed); panes auto-hidden from an area no
    // longer allowed are docked back.
    void EnableAutoHidePanes(Qt::DockWidgetAreas areas);
    Qt::DockWidgetAreas AutoHideAreas() const { return m_areas; }
    // Manages a pane of the frame (done by itself for the frame's panes).
    void AddPane(QDockWidget* pane);

    bool IsAutoHidden(QDockWidget* pane) const;
    // Collapses a docked pane to its edge tab, or docks an auto-hidden pane
    // back; a pane that cannot be auto-hidden (floating, hidden, in an area
    // not allowed, not managed) is left as it is.
    void SetAutoHidden(QDockWidget* pane, bool autoHidden);
    // Slides an auto-hidden pane out over the window and gives it the focus;
    // it stays out until the focus goes elsewhere.
    void SlideOut(QDockWidget* pane);
    void SlideIn(QDockWidget* pane);
    // Floats a docked (or auto-hidden) pane beside its place, or docks a
    // floating one back in view; a pane that cannot float is left alone.
    void ToggleFloating(QDockWidget* pane);
    bool IsSlidOut(QDockWidget* pane) const;
    // The pane's tab on its edge strip, or null if it is not auto-hidden.
    QWidget* EdgeTab(QDockWidget* pane) const;
    // Docks every auto-hidden pane back (for saving the layout).
    void RestoreAllBeforeSave();

    // The auto-hidden panes, in the order they were pinned: each pane's
    // object name, its edge and how deep it slides out.
    struct EdgePane {
        QString name;
        Qt::DockWidgetArea area;
        int extent;
    };
    std::vector<EdgePane> EdgePanes() const;
    // Auto-hides the named panes again, each docked where the record says
    // and as deep as it says (within bounds); records of panes that are not
    // managed, not docked in that area, hidden or floating are passed over.
    void RestoreEdgePanes(const std::vector<EdgePane>& panes);

    void SetAnimationDuration(int milliseconds) { m_nDuration = milliseconds; }
    int AnimationDuration() const { return m_nDuration; }
    // Completes a running slide at once.
    void FinishAnimations();

signals:
    void AutoHiddenChanged(QDockWidget* pane, bool autoHidden);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct PaneState {
        QPointer<QDockWidget> pane;
        QPointer<CPaneTitleBar> titleBar;
        bool autoHidden = false;
        Qt::DockWidgetArea area = Qt::NoDockWidgetArea;
        QList<QPointer<QDockWidget>> tabGroup;  // the other panes of its tab group
        int extent = 0;                         // the slid-out pane's depth from its edge
        bool wasShown = false;                  // the selected tab of its group when it was pinned
        quint64 pinOrder = 0;
        QPointer<CAutoHidePanel> panel;
        QPointer<CAutoHideTab> tab;
        QPointer<QAction> tabAction;
    };

    PaneState* Find(const QObject* pane);
    const PaneState* Find(const QObject* pane) const;
    bool CanAutoHide(QDockWidget* pane) const;
    void Collapse(PaneState& state);
    void DockBack(PaneState& state, bool show, bool raise);
    void DockBackIfClosed(QDockWidget* pane);
    void Forget(PaneState& state);
    void ReleaseEdge(PaneState& state);
    void SelectTab(QDockWidget* pane);
    void AddTab(PaneState& state);
    void RemoveTab(PaneState& state);
    CAutoHideBar* Bar(Qt::DockWidgetArea area);
    void UpdateTitleBar(const PaneState& state);
    void UpdateCaption(const PaneState& state);

    void Open(QDockWidget* pane, bool sticky, bool focus);
    void FocusPane(const PaneState& state);
    void Close(bool animate);
    void OnTabClicked(QDockWidget* pane);
    void OnTabHovered(QDockWidget* pane, bool entered);
    void OnPanelHovered(bool entered);
    void OnLeaveTimeout();
    void OnFocusChanged(QWidget* now);
    void OnPaneDestroyed(QObject* pane);
    void OnGripDragged(QDockWidget* pane, int extent);
    bool WatchApplication(QObject* watched, QEvent* event);
    void Animate(CAutoHidePanel* panel, const QRect& to, bool closing);
    void OnAnimationDone();
    void Reposition();
    void Adopt(QObject* child);

    QRect DockRegion() const;
    QRect PanelRect(const PaneState& state, bool open) const;

    QPointer<QMainWindow> m_pFrame;
    // For comparisons only: the frame's events still come while it is being
    // destroyed, when it is no longer a QMainWindow.
    const QObject* m_pFrameObject;
    Qt::DockWidgetAreas m_areas;
    std::unordered_map<const QObject*, PaneState> m_panes;  // stable addresses: states are held across calls
    std::array<QPointer<CAutoHideBar>, 4> m_bars;
    // Keys of managed panes, cleared when they are destroyed (and compared
    // only: a pane being destroyed is no longer a QDockWidget).
    const QObject* m_pOpen = nullptr;  // the pane slid out, if any
    bool m_bSticky = false;            // opened by a click, or holding the focus
    const QObject* m_pHovered = nullptr;
    QPointer<QWidget> m_pFocusBefore;  // where the focus goes back when the pane slides in
    QTimer m_hoverTimer;
    QTimer m_leaveTimer;
    QObject* m_pAppHook = nullptr;  // watches the application's mouse presses while a pane is out
    QPropertyAnimation* m_pAnimation = nullptr;
    QPointer<CAutoHidePanel> m_pAnimated;
    bool m_bAnimationCloses = false;
    int m_nDuration = 150;
    int m_nBusy = 0;  // while the manager itself moves panes around
    quint64 m_nPins = 0;
};
