#include "CMainFrame.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSaveFile>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>
#include <QTabBar>
#include <QTimer>

#include "RemoteView.h"

namespace {
// The host the window shows, when another (see CMainFrame::SetRemote).
const remote::RemoteView* g_remote = nullptr;
}  // namespace
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "AutoHide.h"
#include "CNetworkDataView.h"
#include "CSocketFeed.h"
#include "ConnectionLog.h"
#include "CRibbonBar.h"
#include "CTessalineApp.h"
#include "CViewTree.h"
#include "Documents.h"
#include "Looks.h"
#include "PaneTabs.h"
#include "Resources.h"
#include "SavedLayout.h"

int CMainFrame::s_failPaneStep = -1;

namespace {

constexpr int kDefaultLook = 216;
constexpr int kFirstLook = 210;
constexpr int kLastLook = 218;
constexpr int kAppButtonSize = 45;
constexpr int kPanelIconIndex = 7;
constexpr int kAboutIconIndex = 0;
constexpr int kExitSmallImage = 15;
constexpr int kLeftWidth = 250;
constexpr int kRightWidth = 450;
// The least width the document area keeps when the panes beside it take
// room for their lines and tabs: its tab, whole.
constexpr int kDocumentLeast = 148;

// Lines as the TCP and the TCPv6 panes write them, of a connection between
// addresses as long as they commonly are, held by a process whose name is
// as long as the label of an unknown owner.  The first layout gives the
// socket group room for them.
constexpr std::u16string_view kTcpLine =
    u"192.168.100.200:65535  => 192.168.100.200:65535  [    ESTABLISHED: PID 65535 : NT Kernel & System ]";
constexpr std::u16string_view kTcp6Line =
    u"[2001:db8:85a3:8d3:1319:8a2e:370:7348]:54321 => [2001:db8:4860:4860::8888]:443 "
    u"[    ESTABLISHED: PID 65535 : NT Kernel & System ]";
// The window's frame (title bar, borders) is the window manager's and
// unknown before the window is shown: room is left for a common one.
constexpr QSize kFrameAllowance(16, 40);

// Panels of the "Data Sources" category, in order.
constexpr int kPanelIds[] = {138, 133, 139};

}  // namespace

const std::array<PaneInfo, kPaneCount>& CMainFrame::PaneTable() {
    // The window table: the order in which the pane windows are created.
    static const std::array<PaneInfo, kPaneCount> table = {{
        {&CMainFrame::m_paneNetworks, 14, 57346, 57348, Qt::LeftDockWidgetArea, kLeftWidth, "Networks View", "Net"},
        {&CMainFrame::m_paneAdapters, 15, 155, 57349, Qt::LeftDockWidgetArea, kLeftWidth, "Adapters View", "Adapt"},
        {&CMainFrame::m_paneInterfaces, 16, 141, 57350, Qt::LeftDockWidgetArea, kLeftWidth, "Interfaces View",
         "Ifaces"},
        {&CMainFrame::m_paneProtocols, 17, 156, 57351, Qt::LeftDockWidgetArea, kLeftWidth, "Protocols View", "Proto"},
        {&CMainFrame::m_paneTcpSockets, 19, 280, 57358, Qt::RightDockWidgetArea, kRightWidth, "TCP Sockets View",
         "TCP"},
        {&CMainFrame::m_paneUdpSockets, 18, 281, 57356, Qt::RightDockWidgetArea, kRightWidth, "TCP Stats View", "UDP"},
        {&CMainFrame::m_paneIcmpStats, 10, 145, 57354, Qt::LeftDockWidgetArea, kLeftWidth, "ICMP Stats View", "ICMP"},
        {&CMainFrame::m_paneIpStats, 11, 57347, 57352, Qt::LeftDockWidgetArea, kLeftWidth, "IP Stats View", "IP"},
        {&CMainFrame::m_paneTcpStats, 13, 142, 57357, Qt::LeftDockWidgetArea, kLeftWidth, "TCP Stats View", "TCP"},
        {&CMainFrame::m_paneUdpStats, 12, 143, 57355, Qt::LeftDockWidgetArea, kLeftWidth, "UDP Stats View", "UDP"},
        // IPv6, beside the IPv4 panes.
        {&CMainFrame::m_paneTcp6Sockets, 21, 291, 57361, Qt::RightDockWidgetArea, kRightWidth, "TCPv6 Sockets View",
         "TCPv6"},
        {&CMainFrame::m_paneUdp6Sockets, 20, 290, 57360, Qt::RightDockWidgetArea, kRightWidth, "UDPv6 Sockets View",
         "UDPv6"},
        {&CMainFrame::m_paneIp6Stats, 22, 292, 57362, Qt::LeftDockWidgetArea, kLeftWidth, "IPv6 Stats View", "IPv6"},
        {&CMainFrame::m_paneConnectionLog, 23, 296, 57363, Qt::RightDockWidgetArea, kRightWidth, "Connection Log View",
         "Log"},
        {&CMainFrame::m_paneProcesses, 24, 298, 57364, Qt::RightDockWidgetArea, kRightWidth, "Processes View", nullptr},
        {&CMainFrame::m_paneListeningPorts, 25, 300, 57365, Qt::RightDockWidgetArea, kRightWidth,
         "Listening Ports View", "Ports"},
    }};
    return table;
}

const std::array<ToggleInfo, kPaneCount>& CMainFrame::ToggleTable() {
    static const std::array<ToggleInfo, kPaneCount> table = {{
        {32781, &CMainFrame::m_paneNetworks, 0, 124},
        {32771, &CMainFrame::m_paneProtocols, 0, 125},
        {32772, &CMainFrame::m_paneAdapters, 0, 126},
        {32773, &CMainFrame::m_paneInterfaces, 0, 127},
        {32778, &CMainFrame::m_paneUdpSockets, 1, 135},
        {32780, &CMainFrame::m_paneTcpSockets, 1, 137},
        {32775, &CMainFrame::m_paneIcmpStats, 2, 131},
        {32774, &CMainFrame::m_paneIpStats, 2, 129},
        {32777, &CMainFrame::m_paneUdpStats, 2, 134},
        {32779, &CMainFrame::m_paneTcpStats, 2, 136},
        {32791, &CMainFrame::m_paneUdp6Sockets, 1, 293},
        {32792, &CMainFrame::m_paneTcp6Sockets, 1, 294},
        {32793, &CMainFrame::m_paneIp6Stats, 2, 295},
        {32794, &CMainFrame::m_paneConnectionLog, 1, 297},
        {32798, &CMainFrame::m_paneProcesses, 1, 299},
        {32799, &CMainFrame::m_paneListeningPorts, 1, 301},
    }};
    return table;
}

CMainFrame::CMainFrame() {
    // The look is read first and its style and palette are taken before any
    // child exists: taken later, every widget made so far would be polished
    // and drawn again.  Loading the frame shows the look in full.
    if (CTessalineApp* app = TheApp()) {
        app->m_nApplicationLook = static_cast<unsigned>(app->GetInt(QStringLiteral("ApplicationLook"), kDefaultLook));
        SetApplicationLook(app->m_nApplicationLook, qobject_cast<QApplication*>(QCoreApplication::instance()),
                           nullptr);
    }

    // The socket tables, the slowest snapshots to take, are taken on a
    // worker, from the first ones on: the window is shown before they come.
    m_socketFeed = new CSocketFeed(this);

    // Members in declaration order: the ribbon, then the panes with their
    // kinds.  A pane made on its own takes every snapshot when it is
    // constructed; here that would take each table once per pane (the
    // socket tables with their owners, on a busy machine, as often), while
    // every report takes its own snapshot when it is built a moment later.
    const DeferSnapshot defer;
    m_wndRibbon = new CRibbonBar(this);
    m_paneNetworks = new CNetworkDataView(14, defer, this);
    m_paneAdapters = new CNetworkDataView(15, defer, this);
    m_paneProtocols = new CNetworkDataView(17, defer, this);
    m_paneInterfaces = new CNetworkDataView(16, defer, this);
    m_paneUdpSockets = new CNetworkDataView(18, defer, this);
    m_paneTcpSockets = new CNetworkDataView(19, defer, this);
    m_paneUdpStats = new CNetworkDataView(12, defer, this);
    m_paneTcpStats = new CNetworkDataView(13, defer, this);
    m_paneIpStats = new CNetworkDataView(11, defer, this);
    m_paneIcmpStats = new CNetworkDataView(10, defer, this);
    m_paneUdp6Sockets = new CNetworkDataView(20, defer, this);
    m_paneTcp6Sockets = new CNetworkDataView(21, defer, this);
    m_paneIp6Stats = new CNetworkDataView(22, defer, this);
    m_paneConnectionLog = new CNetworkDataView(23, defer, this);
    m_paneProcesses = new CNetworkDataView(24, defer, this);
    m_paneListeningPorts = new CNetworkDataView(25, defer, this);
    for (CNetworkDataView* pane : Panes()) pane->hide();  // shown once created and docked
    m_bAutoRefreshAll = false;
    if (CTessalineApp* app = TheApp()) {
        m_bHighlightChanges = app->GetInt(QStringLiteral("HighlightChanges"), 1) != 0;
        m_bHideListening = app->GetInt(QStringLiteral("HideListening"), 0) == 1;
        m_bHideTimeWait = app->GetInt(QStringLiteral("HideTimeWait"), 0) == 1;
        m_bHideLoopback = app->GetInt(QStringLiteral("HideLoopback"), 0) == 1;
    }
    // The ribbon's "View as Table" acts on the pane the focus was last in.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        for (QWidget* w = now; w != nullptr; w = w->parentWidget()) {
            if (auto* pane = qobject_cast<CNetworkDataView*>(w)) {
                if (m_pActivePane != pane) {
                    m_pActivePane = pane;
                    UpdateCommandUI();
                }
                return;
            }
        }
    });
    for (CNetworkDataView* pane : Panes()) pane->SetMarkChanges(m_bHighlightChanges);
}

CMainFrame::~CMainFrame() {
    // The children outlive this part of the frame while they are destroyed:
    // their signals must no longer reach it (panes hidden on the way out
    // report a change of visibility).
    for (CNetworkDataView* pane : Panes()) pane->disconnect(this);
    disconnect(qApp, nullptr, this, nullptr);
    if (m_mdiArea != nullptr) m_mdiArea->disconnect(this);
    m_wndRibbon->disconnect(this);
}

std::vector<CNetworkDataView*> CMainFrame::Panes() const {
    return {m_paneNetworks,   m_paneAdapters,    m_paneProtocols,   m_paneInterfaces, m_paneUdpSockets,
            m_paneTcpSockets, m_paneUdpStats,    m_paneTcpStats,    m_paneIpStats,    m_paneIcmpStats,
            m_paneUdp6Sockets, m_paneTcp6Sockets, m_paneIp6Stats, m_paneConnectionLog, m_paneProcesses,
            m_paneListeningPorts};
}

CNetworkDataView* CMainFrame::PaneOfCommand(int commandId) const {
    for (const ToggleInfo& t : ToggleTable())
        if (t.commandId == commandId) return this->*t.member;
    return nullptr;
}

bool CMainFrame::LoadFrame() {
    setWindowTitle(LoadResString(ids::IDR_MAINFRAME));
    setWindowIcon(LoadResIcon(ids::IDI_DOCUMENT));
    // The main window offers no maximize button.
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);

    if (CTessalineApp* app = TheApp()) OnApplicationLook(app->m_nApplicationLook);

    // The document windows, as tabs.
    m_mdiArea = new QMdiArea(this);
    m_mdiArea->setObjectName(QStringLiteral("mdiArea"));
    ConfigureTabbedArea(m_mdiArea);
    // The document area gives way to the panes beside it down to this
    // width (the toolkit's least would keep it as wide as its content).
    m_mdiArea->setMinimumWidth(kDocumentLeast);
    setCentralWidget(m_mdiArea);
    connect(m_mdiArea, &QMdiArea::subWindowActivated, this, [this] { UpdateTitle(); });
    // The window manager dialog, from the end of the document tabs' menu.
    auto* windows = new QAction(LoadResString(ids::IDS_WINDOWS_MANAGER), m_mdiArea);
    windows->setObjectName(QStringLiteral("windowsManagerAction"));
    windows->setData(ids::ID_WINDOW_MANAGER);
    connect(windows, &QAction::triggered, this, [this] { OnCommand(ids::ID_WINDOW_MANAGER); });

    m_wndRibbon->setProperty("controlId", ids::AFX_IDW_RIBBON_BAR);
    setMenuWidget(m_wndRibbon);
    BuildRibbon();

    // Smart docking: animated drop indicators, docks side by side and in tabs.
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks | QMainWindow::AllowNestedDocks);
    m_autoHide = new CAutoHideManager(this);
    m_autoHide->EnableAutoHidePanes(Qt::AllDockWidgetAreas);
    // A pane taken to its edge or docked back may change no visibility the
    // boxes hear of (its strip may be hidden meanwhile).
    connect(m_autoHide, &CAutoHideManager::AutoHiddenChanged, this, [this] { UpdateCommandUI(); });

    if (!CreateDataPanes()) return false;
    DockPaneGroups();
    m_firstLayout = saveState();

    // Accelerators of the frame.
    for (const Accelerator& a : LoadAccelerators(ids::IDR_MAINFRAME)) {
        auto* shortcut = new QShortcut(a.key, this);
        const int id = a.id;
        connect(shortcut, &QShortcut::activated, this, [this, id] { OnCommand(id); });
        // The frame's table wins over a child's own key for the same command
        // (a document window's menu also claims Ctrl+F4 for closing it).
        connect(shortcut, &QShortcut::activatedAmbiguously, this, [this, id] { OnCommand(id); });
    }
    connect(m_wndRibbon, &CRibbonBar::command, this, &CMainFrame::OnCommand);
    // F6 and Shift+F6 move the focus between the document and the panes in
    // view, as in other programs with panes.
    auto* pause = new QShortcut(QKeySequence(Qt::Key_Pause), this);
    connect(pause, &QShortcut::activated, this, [this] { OnCommand(ids::ID_PAUSE); });
    auto* nextArea = new QShortcut(QKeySequence(Qt::Key_F6), this);
    connect(nextArea, &QShortcut::activated, this, [this] { MoveFocusBetweenAreas(true); });
    auto* previousArea = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F6), this);
    connect(previousArea, &QShortcut::activated, this, [this] { MoveFocusBetweenAreas(false); });
    setAcceptDrops(true);
    const QScreen* screen = QGuiApplication::primaryScreen();
    resize(FirstWindowSize(screen != nullptr ? screen->availableGeometry().size() : QSize()));
    m_bRestored = RestoreWorkspace();
    if (!m_bPlaced && screen != nullptr) {
        // A first start's window is centred on the screen by the program,
        // not left to the window manager: a window manager places it only
        // once it is shown, after the first start's About box has been
        // centred on where the window seemed to be.
        const QMargins frame = FrameMargins();
        QRect outer = geometry().marginsAdded(frame);
        outer.moveCenter(screen->availableGeometry().center());
        move(FitPlacement(outer, screen->availableGeometry()).marginsRemoved(frame).topLeft());
    }
    UpdateCommandUI();
    UpdateTitle();
    if (g_remote != nullptr) {
        // The refresher runs on its own thread; its state is looked at here.
        auto* watch = new QTimer(this);
        connect(watch, &QTimer::timeout, this, [this] { UpdateRemoteState(); });
        watch->start(500);
        UpdateRemoteState();
    }
    return true;
}

QSize FirstWindowSize(const QSize& available) {
    constexpr QSize kPreferred(1280, 800);
    if (!available.isValid() || available.isEmpty()) return kPreferred;
    return kPreferred.boundedTo((available - kFrameAllowance).expandedTo(QSize(1, 1)));
}

QRect FitPlacement(const QRect& outer, const QRect& available) {
    if (!available.isValid() || outer.isEmpty() || available.contains(outer)) return outer;
    QRect placed(outer.topLeft(), outer.size().boundedTo(available.size()));
    placed.moveTo(std::clamp(placed.x(), available.left(), available.right() + 1 - placed.width()),
                  std::clamp(placed.y(), available.top(), available.bottom() + 1 - placed.height()));
    return placed;
}

void CMainFrame::BuildRibbon() {
    m_imgPanels = LoadBitmap(ids::IDB_PANEL_IMAGES);
    const auto panelImage = [this](int index) {
        return index >= 0 && (index + 1) * 16 <= m_imgPanels.width() ? QIcon(m_imgPanels.copy(index * 16, 0, 16, 16))
                                                                     : QIcon();
    };

    m_btnApplication = m_wndRibbon->SetApplicationButton(
        LoadResIcon(ids::IDB_APPLICATION_BUTTON), QStringLiteral("Ulvo"), QStringLiteral("Tessaline"), kAppButtonSize);

    m_wndRibbon->AddMainCategory(LoadResString(260));
    m_wndRibbon->AddMainCategoryButton(ids::ID_APP_EXIT, LoadResString(273),
                                       QIcon(StripImage(ids::IDB_FILE_SMALL, kExitSmallImage, 16)));

    CRibbonCategory* sources = m_wndRibbon->AddCategory(LoadResString(140));
    std::vector<CRibbonPanel*> panels;
    for (int id : kPanelIds) panels.push_back(sources->AddPanel(LoadResString(id), panelImage(kPanelIconIndex)));
    panels.push_back(sources->AddPanel(QStringLiteral("Configuration"), panelImage(kPanelIconIndex)));
    for (const ToggleInfo& t : ToggleTable())
        panels[static_cast<std::size_t>(t.panel)]->AddCheckBox(t.commandId, LoadResString(t.textId));
    // With them, the live panes' marking, pausing, and the log's file.
    panels[3]->AddCheckBox(ids::ID_AUTOREFRESH_ALL, QStringLiteral("Autorefresh All"));
    panels[3]->AddCheckBox(ids::ID_HIGHLIGHT_CHANGES, QStringLiteral("Highlight Changes"));
    QToolButton* pause = panels[3]->AddButton(ids::ID_PAUSE, QStringLiteral("Pause"), QIcon(), QIcon());
    pause->setCheckable(true);
    pause->setToolTip(QStringLiteral("Pause (Pause key): the panes keep what they show while collection goes on"));
    panels[3]->AddButton(ids::ID_RESET_LAYOUT, QStringLiteral("Reset Layout"), QIcon(), QIcon());
    panels[3]->AddButton(ids::ID_SAVE_LOG_AS, QStringLiteral("Save Log As..."), QIcon(), QIcon());
    // The socket-like panes' second view and the filters' quick toggles.
    QToolButton* table = panels[3]->AddButton(ids::ID_VIEW_AS_TABLE, QStringLiteral("View as Table"), QIcon(), QIcon());
    table->setCheckable(true);
    table->setToolTip(QStringLiteral("View as Table (Ctrl+T): the focused pane's lines as a table that sorts"));
    panels[3]->AddCheckBox(ids::ID_HIDE_LISTENING, QStringLiteral("Hide Listening"));
    panels[3]->AddCheckBox(ids::ID_HIDE_TIME_WAIT, QStringLiteral("Hide TIME_WAIT"));
    panels[3]->AddCheckBox(ids::ID_HIDE_LOOPBACK, QStringLiteral("Hide Loopback"));

    // The style button: no command of its own, a click opens the look menu.
    auto* style = new QToolButton;
    style->setObjectName(QStringLiteral("ribbonStyleButton"));
    style->setText(LoadResString(286));
    style->setToolTip(LoadResString(287));
    style->setStatusTip(LoadResString(288));
    style->setWhatsThis(LoadResString(288));
    style->setToolButtonStyle(Qt::ToolButtonTextOnly);
    style->setPopupMode(QToolButton::InstantPopup);
    auto* looks = new QMenu(style);
    looks->setObjectName(QStringLiteral("lookMenu"));
    m_lookActions = new QActionGroup(this);
    m_lookActions->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    for (const MenuItem& item : LoadMenuResource(ids::IDR_THEME_MENU)) {
        QAction* action = looks->addAction(item.text);
        action->setCheckable(true);
        action->setData(item.id);
        m_lookActions->addAction(action);
        const int id = item.id;
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
        m_wndRibbon->RegisterAction(id, action);
    }
    // The menu opens aligned to the button's right edge.
    connect(looks, &QMenu::aboutToShow, looks, [looks, style] {
        QTimer::singleShot(0, looks, [looks, style] {
            const QPoint right = style->mapToGlobal(QPoint(style->width(), style->height()));
            looks->move(right.x() - looks->width(), right.y());
        });
    });
    style->setMenu(looks);
    m_wndRibbon->AddToTabs(style);

    m_wndRibbon->SetQuickAccessCommands({});

    // About: no visible label, key tip "a", image 0 of the panel images.
    auto* about = new QToolButton;
    about->setObjectName(QStringLiteral("ribbonAboutButton"));
    about->setIcon(panelImage(kAboutIconIndex));
    about->setToolButtonStyle(Qt::ToolButtonIconOnly);
    about->setToolTip(QStringLiteral("About"));
    about->setAccessibleName(QStringLiteral("About"));  // it shows no text of its own
    about->setProperty("commandId", ids::ID_APP_ABOUT);
    CRibbonBar::SetKeyTip(about, QStringLiteral("a"));
    connect(about, &QToolButton::clicked, this, [this] { OnCommand(ids::ID_APP_ABOUT); });
    m_wndRibbon->Register(ids::ID_APP_ABOUT, about);
    m_wndRibbon->AddToTabs(about);
}

bool CMainFrame::CreateDataPanes() {
    // The first pane of each tab group is on screen from the start; the
    // others are behind it.  A pane's content (its tree, toolbar and report)
    // is made when the pane first comes on screen: making the six hidden
    // ones at start-up would more than double the time to the first window.
    const std::vector<CNetworkDataView*> front = {m_paneNetworks, m_paneTcpSockets, m_paneIpStats, m_paneTcpStats};
    int step = 0;
    for (const PaneInfo& info : PaneTable()) {
        CNetworkDataView* pane = this->*info.member;
        pane->setWindowTitle(LoadResString(info.captionId));
        pane->setObjectName(QString::number(info.controlId));
        pane->setProperty("controlId", info.controlId);
        pane->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable |
                          QDockWidget::DockWidgetClosable);
        const bool now = std::find(front.begin(), front.end(), pane) != front.end();
        if (step++ == s_failPaneStep || (now && !pane->Create())) {
            m_diagnostic = QStringLiteral("Failed to create [%1]\n").arg(QString::fromLatin1(info.diagnosticName));
            return false;
        }
        if (now) RestorePaneView(pane);
        if (!now) {
            connect(pane, &QDockWidget::visibilityChanged, this, [this, pane](bool visible) {
                if (visible && pane->widget() == nullptr) {
                    pane->Create();
                    RestorePaneView(pane);
                    ApplyMarkColours();
                }
            });
        }
        connect(pane, &CNetworkDataView::viewChanged, this, [this] {
            if (m_pViewSaveTimer == nullptr) {
                m_pViewSaveTimer = new QTimer(this);
                m_pViewSaveTimer->setSingleShot(true);
                m_pViewSaveTimer->setInterval(500);
                connect(m_pViewSaveTimer, &QTimer::timeout, this, &CMainFrame::SavePaneViews);
            }
            m_pViewSaveTimer->start();
            UpdateCommandUI();
        });
        pane->resize(info.width, 250);
    }
    // The same small icon on every pane.
    const QIcon icon = LoadResIcon(ids::IDI_PANE_ICON_HC);
    for (CNetworkDataView* pane : Panes()) pane->setWindowIcon(icon);
    // Ctrl+Tab and Ctrl+PageDown select the next tab of the group the focus
    // is in, Ctrl+Shift+Tab and Ctrl+PageUp the one before, round the group.
    // The keys are the pane's while the focus is in it: in the document they
    // stay the document area's.
    const std::pair<QKeySequence, bool> tabKeys[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_Tab), true},
        {QKeySequence(Qt::CTRL | Qt::Key_PageDown), true},
        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), false},
        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), false},
        {QKeySequence(Qt::CTRL | Qt::Key_PageUp), false},
    };
    for (CNetworkDataView* pane : Panes()) {
        for (const auto& [keys, forward] : tabKeys) {
            auto* shortcut = new QShortcut(keys, pane);
            shortcut->setContext(Qt::WidgetWithChildrenShortcut);
            const bool next = forward;
            connect(shortcut, &QShortcut::activated, this, [this, pane, next] { SwitchTab(pane, next); });
            // Shift+Tab comes as Backtab: both sequences may match it.
            connect(shortcut, &QShortcut::activatedAmbiguously, this, [this, pane, next] { SwitchTab(pane, next); });
        }
    }
    ApplyMarkColours();
    return true;
}

void CMainFrame::DockPaneGroups() {
    const std::vector<std::vector<CNetworkDataView*>> groups = {
        {m_paneNetworks, m_paneAdapters, m_paneInterfaces, m_paneProtocols},
        {m_paneTcpSockets, m_paneUdpSockets, m_paneTcp6Sockets, m_paneUdp6Sockets, m_paneConnectionLog,
         m_paneProcesses, m_paneListeningPorts},
        {m_paneIpStats, m_paneIcmpStats, m_paneIp6Stats},
        {m_paneTcpStats, m_paneUdpStats},
    };
    // The first pane of each group docks at the edge of its alignment, the
    // left ones one above the other; the others become its further tabs.
    for (const auto& group : groups) {
        Qt::DockWidgetArea area = Qt::LeftDockWidgetArea;
        for (const PaneInfo& info : PaneTable())
            if (this->*info.member == group.front()) area = info.area;
        for (CNetworkDataView* pane : group) pane->setAllowedAreas(Qt::AllDockWidgetAreas);
        addDockWidget(area, group.front(), Qt::Vertical);
        group.front()->show();
    }
    for (const auto& group : groups) {
        for (std::size_t i = 1; i < group.size(); ++i) {
            tabifyDockWidget(group.front(), group[i]);
            group[i]->show();
        }
        // The first tab of every group stays the active one.
        group.front()->raise();
        for (CNetworkDataView* pane : group) {
            m_autoHide->AddPane(pane);
            connect(pane, &QDockWidget::visibilityChanged, this, [this] { UpdateCommandUI(); });
        }
    }
}

std::vector<QWidget*> CMainFrame::FocusAreas() const {
    // The document first, then the panes in view from left to right and top
    // to bottom; panes behind other tabs or on edge strips are not in view.
    std::vector<QWidget*> areas;
    QMdiSubWindow* document = ShownDocument();
    if (document != nullptr && document->widget() != nullptr) areas.push_back(document->widget());
    std::vector<CNetworkDataView*> panes;
    for (CNetworkDataView* pane : Panes())
        if (pane->IsOnScreen() && pane->widget() != nullptr) panes.push_back(pane);
    std::sort(panes.begin(), panes.end(), [](const CNetworkDataView* a, const CNetworkDataView* b) {
        const QPoint pa = a->mapToGlobal(QPoint()), pb = b->mapToGlobal(QPoint());
        return pa.x() != pb.x() ? pa.x() < pb.x() : pa.y() < pb.y();
    });
    for (CNetworkDataView* pane : panes) areas.push_back(&pane->Tree());
    return areas;
}

void CMainFrame::MoveFocusBetweenAreas(bool forward) {
    const std::vector<QWidget*> areas = FocusAreas();
    if (areas.empty()) return;
    const QWidget* focus = QApplication::focusWidget();
    std::size_t at = areas.size();  // none holds the focus: start from the document
    for (std::size_t i = 0; i < areas.size(); ++i)
        if (focus != nullptr && (focus == areas[i] || areas[i]->isAncestorOf(focus))) at = i;
    const std::size_t n = areas.size();
    const std::size_t next = at == n ? (forward ? 0 : n - 1) : (forward ? (at + 1) % n : (at + n - 1) % n);
    // A key moved it: the window marks the focused control from now on.
    areas[next]->setFocus(Qt::ShortcutFocusReason);
}

void CMainFrame::ShowPaneIconsOnTabs() {
    // The frame's tab bars of tabbed panes are its direct children (the
    // ribbon's and the documents' are deeper); a tab is its pane's by title.
    for (QTabBar* bar : findChildren<QTabBar*>(Qt::FindDirectChildrenOnly)) {
        for (int i = 0; i < bar->count(); ++i) {
            for (const CNetworkDataView* pane : Panes()) {
                if (pane->windowTitle() != bar->tabText(i)) continue;
                const QIcon icon = pane->windowIcon();
                if (bar->tabIcon(i).cacheKey() != icon.cacheKey()) bar->setTabIcon(i, icon);
                break;
            }
        }
    }
}

std::vector<QTabBar*> CMainFrame::PaneTabBars() const {
    // The frame's tab bars of tabbed panes are its direct children (the
    // ribbon's and the documents' are deeper); the toolkit keeps bars it no
    // longer uses hidden, with their last tabs.
    std::vector<QTabBar*> bars;
    for (QTabBar* bar : findChildren<QTabBar*>(Qt::FindDirectChildrenOnly))
        if (bar->count() > 0) bars.push_back(bar);
    std::stable_partition(bars.begin(), bars.end(), [](const QTabBar* bar) { return bar->isVisible(); });
    return bars;
}

CNetworkDataView* CMainFrame::PaneOfTab(const QTabBar* bar, int index) const {
    // A tab is its pane's by title: the toolkit writes the pane's title
    // into its tab (shown short or not, the text stays whole).
    if (bar == nullptr || index < 0 || index >= bar->count()) return nullptr;
    const QString title = bar->tabText(index);
    for (CNetworkDataView* pane : Panes())
        if (pane->windowTitle() == title) return pane;
    return nullptr;
}

void CMainFrame::ArrangePaneTabBars() {
    for (QTabBar* bar : PaneTabBars()) {
        if (!IsAdoptedPaneTabBar(bar)) {
            AdoptPaneTabBar(this, bar, [this](const QString& title) {
                for (const PaneInfo& info : PaneTable())
                    if (info.shortTitle != nullptr && (this->*info.member)->windowTitle() == title)
                        return QString::fromLatin1(info.shortTitle);
                return QString();
            });
            // A click on a tab takes the focus into its pane, once the
            // click has brought the pane on screen.
            connect(bar, &QTabBar::tabBarClicked, this, [this, bar](int index) {
                QPointer<CNetworkDataView> pane = PaneOfTab(bar, index);
                QTimer::singleShot(0, this, [pane] {
                    if (pane != nullptr && pane->isVisible()) pane->setFocus(Qt::MouseFocusReason);
                });
            });
        }
        FitPaneTabTitles(bar);
    }
}

void CMainFrame::SwitchTab(CNetworkDataView* pane, bool forward) {
    for (QTabBar* bar : PaneTabBars()) {
        if (!bar->isVisible()) continue;
        int at = -1;
        for (int i = 0; i < bar->count() && at < 0; ++i)
            if (PaneOfTab(bar, i) == pane) at = i;
        if (at < 0) continue;
        const int n = bar->count();
        for (int step = 1; step < n; ++step) {
            const int next = (at + (forward ? step : n - step)) % n;
            if (!bar->isTabVisible(next) || !bar->isTabEnabled(next)) continue;
            bar->setCurrentIndex(next);
            // A key moved it: the pane's content takes the focus, marked.
            if (CNetworkDataView* shown = PaneOfTab(bar, next)) shown->setFocus(Qt::TabFocusReason);
            return;
        }
        return;
    }
}

int CMainFrame::SocketLineWidth(std::u16string_view line) const {
    // Measured by a tree like the pane's own (its font and its images'
    // size), which is never shown.
    CNetworkDataView* pane = m_paneTcpSockets;
    if (pane == nullptr || pane->widget() == nullptr) return kRightWidth;
    CViewTree& tree = pane->Tree();
    CViewTree probe;
    probe.setFont(tree.font());
    probe.setIconSize(tree.iconSize());
    HTREEITEM root = probe.AppendItem(TVI_ROOT, u"TCP Connections", 0);
    probe.AppendItem(root, line, 0);
    probe.Expand(root);
    // Beside the lines: the tree's scroll bar (a table of sockets fills
    // more than a screen) and the pane's frame around the tree.
    const int scrollBar = tree.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &tree);
    const int frame = std::clamp(pane->width() - tree.width(), 0, 16);
    return probe.ContentWidth() + scrollBar + frame;
}

CMainFrame::FirstWidths CMainFrame::FirstLayoutWidths() {
    // The tabs as they will show (with their icons), to be measured.
    ShowPaneIconsOnTabs();
    ArrangePaneTabBars();
    FirstWidths widths;
    const int tcp = SocketLineWidth(kTcpLine);
    widths.wantedRight = std::max(tcp, SocketLineWidth(kTcp6Line));
    // The left panes' tabs, all of them in sight, with short titles.
    widths.wantedLeft = kLeftWidth;
    for (QTabBar* bar : PaneTabBars()) {
        CNetworkDataView* pane = PaneOfTab(bar, 0);
        if (pane != nullptr && dockWidgetArea(pane) == Qt::LeftDockWidgetArea && !pane->isFloating())
            widths.wantedLeft = std::max(widths.wantedLeft, ShortTabsExtent(bar));
    }
    // What the window holds beside the document's least and the two
    // separators, given out in turn: the left panes their usual width, the
    // sockets a whole TCP line, the left panes room for their tabs, the
    // sockets a whole TCPv6 line; the document keeps the rest.
    const int separator = style()->pixelMetric(QStyle::PM_DockWidgetSeparatorExtent, nullptr, this);
    const QWidget* central = centralWidget();
    const int least = central != nullptr ? central->minimumWidth() : kDocumentLeast;
    const int room = std::max(0, width() - 2 * separator - least);
    widths.left = std::min(kLeftWidth, room / 2);
    widths.right = std::max(std::min(tcp, room - widths.left), 0);
    widths.left = std::max(widths.left, std::min(widths.wantedLeft, room - widths.right));
    widths.right = std::max(widths.right, std::min(widths.wantedRight, room - widths.left));
    return widths;
}

void CMainFrame::GiveFirstLayoutWidths() {
    const FirstWidths widths = FirstLayoutWidths();
    if (widths.left > 0 && widths.right > 0)
        resizeDocks({m_paneNetworks, m_paneTcpSockets}, {widths.left, widths.right}, Qt::Horizontal);
    // As the window grows, the panes get what they want back before the
    // document grows.
    m_wantedExtent = {widths.wantedLeft, widths.wantedRight, 0, 0};
}

QWidget* CMainFrame::FocusAreaOf(const QWidget* widget) const {
    if (widget == nullptr) return nullptr;
    if (m_wndRibbon->isAncestorOf(widget)) return m_wndRibbon;
    for (CNetworkDataView* pane : Panes())
        if (pane == widget || pane->isAncestorOf(widget)) return pane;
    if (m_mdiArea != nullptr && m_mdiArea->isAncestorOf(widget)) return m_mdiArea;
    return nullptr;
}

std::vector<QWidget*> CMainFrame::TabOrder(QWidget* area) const {
    const auto takes = [](const QWidget* w) {
        return w != nullptr && w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus;
    };
    std::vector<QWidget*> order;
    if (area == m_wndRibbon) {
        std::vector<QWidget*> all = {m_wndRibbon->ApplicationButton(), m_wndRibbon->Tabs()};
        for (QToolButton* button : m_wndRibbon->TabRowButtons()) all.push_back(button);
        const int page = m_wndRibbon->Tabs()->currentIndex();
        const std::vector<CRibbonCategory*> categories = m_wndRibbon->Categories();
        if (!m_wndRibbon->IsCollapsed() && page >= 0 && page < static_cast<int>(categories.size())) {
            for (CRibbonPanel* panel : categories[static_cast<std::size_t>(page)]->Panels()) {
                if (panel->IsCollapsed() && !panel->IsDroppedDown()) {
                    all.push_back(panel->CollapsedButton());
                    continue;
                }
                for (QWidget* element : panel->Elements()) all.push_back(element);
            }
        }
        std::copy_if(all.begin(), all.end(), std::back_inserter(order), takes);
        return order;
    }
    // A document: the current one's controls only.
    QWidget* root = area;
    if (area == m_mdiArea) root = m_mdiArea->currentSubWindow();
    if (root == nullptr) return order;
    for (QWidget* w : root->findChildren<QWidget*>())
        if (takes(w)) order.push_back(w);
    std::stable_sort(order.begin(), order.end(), [root](const QWidget* a, const QWidget* b) {
        const QPoint pa = a->mapTo(root, QPoint()), pb = b->mapTo(root, QPoint());
        return pa.y() != pb.y() ? pa.y() < pb.y() : pa.x() < pb.x();
    });
    return order;
}

bool CMainFrame::focusNextPrevChild(bool next) {
    QWidget* focus = QApplication::focusWidget();
    QWidget* area = FocusAreaOf(focus);
    if (area == nullptr) return QMainWindow::focusNextPrevChild(next);
    const std::vector<QWidget*> order = TabOrder(area);
    if (order.empty()) return true;
    const auto at = std::find_if(order.begin(), order.end(), [focus](const QWidget* w) {
        return w == focus || w->isAncestorOf(focus) || w->focusProxy() == focus;
    });
    const std::size_t n = order.size();
    std::size_t index = 0;
    if (at == order.end())
        index = next ? 0 : n - 1;
    else
        index = (static_cast<std::size_t>(at - order.begin()) + (next ? 1 : n - 1)) % n;
    order[index]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void CMainFrame::OnResetLayout() {
    PutPanesInFirstLayout();
    UpdateCommandUI();
}

void CMainFrame::PutPanesInFirstLayout() {
    // Every pane back where a first start puts it: off the edge strips and
    // out of floating first, so that the first layout's slots take them all.
    if (m_autoHide != nullptr) m_autoHide->RestoreAllBeforeSave();
    for (CNetworkDataView* pane : Panes())
        if (pane->isFloating()) pane->setFloating(false);
    restoreState(m_firstLayout);
    for (CNetworkDataView* pane : Panes()) pane->show();
    for (CNetworkDataView* first : {m_paneNetworks, m_paneIpStats, m_paneTcpStats, m_paneTcpSockets}) first->raise();
    if (QLayout* frameLayout = layout()) frameLayout->activate();
    GiveFirstLayoutWidths();
}

void CMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!m_bSized) {
        m_bSized = true;
        // The panes made as they first show may need more room than the
        // restored placement gave: once the layout has taken them, the
        // window stays on the screen.  A restored layout whose panes need
        // more room than the screen has (saved on a larger one) would leave
        // some of them out of reach: it gives way to the first layout.
        QLayout* frameLayout = layout();
        if (frameLayout != nullptr) frameLayout->activate();
        if (m_bRestored && !FitsOnScreen()) {
            DropSavedLayout(false, QStringLiteral("the saved window layout needs more room than the screen has"));
            if (frameLayout != nullptr) frameLayout->activate();
        }
        KeepOnScreen();
        if (!m_bRestored) {
            // The initial widths apply once the layout exists, as it does
            // now: set before the first drawing, the window is drawn once.
            GiveFirstLayoutWidths();
        } else if (m_wantedExtent == std::array<int, 4>{}) {
            // Settings from before the extents were kept: the restored
            // layout's are the user's.
            for (std::size_t i = 0; i < kExtentAreas.size(); ++i) m_wantedExtent[i] = AreaExtent(kExtentAreas[i]);
        } else {
            GiveSpaceBackToPanes();
        }
    }
}

void CMainFrame::resizeEvent(QResizeEvent* event) {
    // The layout has already fitted the panes to the new size; what the
    // document area holds beyond its minimum goes back to squeezed panes.
    QMainWindow::resizeEvent(event);
    if (m_bSized) GiveSpaceBackToPanes();
}

bool CMainFrame::event(QEvent* event) {
    // A press and release on the frame itself (not on a child) is a drag of
    // the separator between the panes and the document: the areas it
    // resized are as wide as the user wants them.
    const QEvent::Type type = event->type();
    if (type == QEvent::MouseButtonPress) {
        for (std::size_t i = 0; i < kExtentAreas.size(); ++i) m_extentAtPress[i] = AreaExtent(kExtentAreas[i]);
    }
    const bool handled = QMainWindow::event(event);
    if (type == QEvent::LayoutRequest) {
        ShowPaneIconsOnTabs();
        ArrangePaneTabBars();
    }
    if (type == QEvent::LayoutRequest && m_wndRibbon != nullptr) {
        // The window's layout minds the panes and the document but not the
        // width of the ribbon above them: the window is kept wide enough for
        // the ribbon with every panel collapsed, its labels whole.
        const int panes = layout() != nullptr ? layout()->minimumSize().width() : 0;
        const int needed = std::max(m_wndRibbon->minimumSizeHint().width(), panes);
        if (minimumWidth() != needed) setMinimumWidth(needed);
    }
    if (type == QEvent::MouseButtonRelease) {
        for (std::size_t i = 0; i < kExtentAreas.size(); ++i) {
            const int extent = AreaExtent(kExtentAreas[i]);
            if (extent > 0 && extent != m_extentAtPress[i]) m_wantedExtent[i] = extent;
        }
    }
    return handled;
}

namespace {

std::size_t ExtentIndex(Qt::DockWidgetArea area) {
    const auto* at = std::find(kExtentAreas.begin(), kExtentAreas.end(), area);
    return static_cast<std::size_t>(at - kExtentAreas.begin());
}

bool Horizontal(Qt::DockWidgetArea area) { return area == Qt::LeftDockWidgetArea || area == Qt::RightDockWidgetArea; }

}  // namespace

int CMainFrame::AreaExtent(Qt::DockWidgetArea area) const {
    QRect united;
    for (CNetworkDataView* pane : Panes()) {
        if (pane->isFloating() || !pane->IsOnScreen() || dockWidgetArea(pane) != area) continue;
        if (m_autoHide != nullptr && m_autoHide->IsAutoHidden(pane)) continue;
        united |= pane->geometry();
    }
    if (united.isNull()) return 0;
    return Horizontal(area) ? united.width() : united.height();
}

int CMainFrame::WantedExtent(Qt::DockWidgetArea area) const {
    const std::size_t i = ExtentIndex(area);
    return i < m_wantedExtent.size() ? m_wantedExtent[i] : 0;
}

void CMainFrame::GiveSpaceBackToPanes() {
    QWidget* central = centralWidget();
    if (central == nullptr) return;
    // The least the layout gives it: its minimum where one is set, else
    // what it hints.
    QSize least = central->minimumSizeHint();
    if (central->minimumWidth() > 0) least.setWidth(central->minimumWidth());
    if (central->minimumHeight() > 0) least.setHeight(central->minimumHeight());
    int spareWidth = std::max(0, central->width() - least.width());
    int spareHeight = std::max(0, central->height() - least.height());
    for (std::size_t i = 0; i < kExtentAreas.size(); ++i) {
        const Qt::DockWidgetArea area = kExtentAreas[i];
        const int extent = AreaExtent(area);
        const int deficit = m_wantedExtent[i] - extent;
        int& spare = Horizontal(area) ? spareWidth : spareHeight;
        if (extent == 0 || deficit <= 0 || spare <= 0) continue;
        const int given = std::min(deficit, spare);
        spare -= given;
        // The pane nearest the document widens its column, and the area
        // with it.
        CNetworkDataView* inner = nullptr;
        int innerEdge = 0;
        for (CNetworkDataView* pane : Panes()) {
            if (pane->isFloating() || !pane->IsOnScreen() || dockWidgetArea(pane) != area) continue;
            if (m_autoHide != nullptr && m_autoHide->IsAutoHidden(pane)) continue;
            const QRect r = pane->geometry();
            const int edge = area == Qt::LeftDockWidgetArea    ? r.right()
                             : area == Qt::RightDockWidgetArea ? -r.left()
                             : area == Qt::TopDockWidgetArea   ? r.bottom()
                                                               : -r.top();
            if (inner == nullptr || edge > innerEdge) {
                inner = pane;
                innerEdge = edge;
            }
        }
        if (inner == nullptr) continue;
        const Qt::Orientation orientation = Horizontal(area) ? Qt::Horizontal : Qt::Vertical;
        const int size = (Horizontal(area) ? inner->width() : inner->height()) + given;
        resizeDocks({inner}, {size}, orientation);
    }
}

std::array<int, 4> ParsePaneExtents(const QString& text) {
    std::array<int, 4> extents{};
    const QStringList fields = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.size() != static_cast<qsizetype>(extents.size())) return {};
    constexpr int kMostPixels = 1 << 16;  // the settings file is the user's: keep numbers sane
    for (std::size_t i = 0; i < extents.size(); ++i) {
        bool ok = false;
        const int value = fields[static_cast<qsizetype>(i)].toInt(&ok);
        if (!ok || value < 0 || value > kMostPixels) return {};
        extents[i] = value;
    }
    return extents;
}

void CMainFrame::OnCommand(int id) {
    if (id >= kFirstLook && id <= kLastLook) {
        OnApplicationLook(static_cast<unsigned>(id));
        return;
    }
    if (CNetworkDataView* pane = PaneOfCommand(id)) {
        OnTogglePane(pane);
        return;
    }
    CTessalineApp* app = TheApp();
    CDocTemplate* docs = app != nullptr ? app->DocTemplate() : nullptr;
    switch (id) {
        case ids::ID_AUTOREFRESH_ALL: OnToggleAutoRefreshAll(); break;
        case ids::ID_RESET_LAYOUT: OnResetLayout(); break;
        case ids::ID_HIGHLIGHT_CHANGES: OnToggleHighlightChanges(); break;
        case ids::ID_PAUSE: OnTogglePause(); break;
        case ids::ID_SAVE_LOG_AS: OnSaveLogAs(); break;
        case ids::ID_VIEW_AS_TABLE:
            if (m_pActivePane != nullptr) m_pActivePane->SetTableView(!m_pActivePane->IsTableView());
            break;
        case ids::ID_HIDE_LISTENING:
            m_bHideListening = !m_bHideListening;
            ApplyQuickToggles();
            break;
        case ids::ID_HIDE_TIME_WAIT:
            m_bHideTimeWait = !m_bHideTimeWait;
            ApplyQuickToggles();
            break;
        case ids::ID_HIDE_LOOPBACK:
            m_bHideLoopback = !m_bHideLoopback;
            ApplyQuickToggles();
            break;
        case ids::ID_WINDOW_MANAGER: OnWindowsDialog(); break;
        case ids::ID_APP_ABOUT:
            if (app != nullptr) app->OnAbout();
            break;
        case ids::ID_APP_EXIT: close(); break;
        case ids::ID_FILE_NEW:
            if (docs != nullptr) docs->OnFileNew();
            break;
        case ids::ID_FILE_OPEN:
            if (docs != nullptr) docs->OnFileOpen();
            break;
        case ids::ID_FILE_SAVE:
            if (docs != nullptr) docs->OnFileSave();
            break;
        case ids::ID_FILE_SAVE_AS:
            if (docs != nullptr) docs->OnFileSaveAs();
            break;
        case ids::ID_FILE_CLOSE:
            if (docs != nullptr) docs->OnFileClose();
            break;
        default: break;
    }
    UpdateCommandUI();
}

bool CMainFrame::IsPaneReachable(const CNetworkDataView* pane) const {
    // A pane on an edge strip is held shown inside its (hidden) slide-out
    // panel; a docked pane behind another tab is not hidden either.
    return !pane->isHidden();
}

void CMainFrame::OnTogglePane(CNetworkDataView* pane) {
    // Through the edge strips' logic: hiding a pane on an edge docks it back
    // hidden and takes its tab away; showing a hidden pane docks it.
    if (!IsPaneReachable(pane)) {
        pane->show();
        pane->raise();
        pane->setFocus();
    } else {
        pane->hide();
    }
    UpdateCommandUI();
}

void CMainFrame::OnToggleAutoRefreshAll() {
    m_bAutoRefreshAll = !m_bAutoRefreshAll;
    for (CNetworkDataView* pane : Panes()) pane->m_bAutoRefresh = m_bAutoRefreshAll;
    UpdateCommandUI();
}

void CMainFrame::OnApplicationLook(unsigned id) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    CTessalineApp* app = TheApp();
    if (app != nullptr) app->m_nApplicationLook = id;
    SetApplicationLook(id, qobject_cast<QApplication*>(QCoreApplication::instance()), this);
    ApplyMarkColours();
    // Everything is drawn again in the new look.
    for (QWidget* widget : QApplication::allWidgets()) widget->update();
    if (app != nullptr) app->WriteInt(QStringLiteral("ApplicationLook"), static_cast<int>(id));
    QApplication::restoreOverrideCursor();
    UpdateCommandUI();
}

void CMainFrame::UpdateCommandUI() {
    for (const ToggleInfo& t : ToggleTable())
        if (auto* box = qobject_cast<QCheckBox*>(m_wndRibbon->FindElement(t.commandId)))
            box->setChecked(IsPaneReachable(this->*t.member));
    if (auto* box = qobject_cast<QCheckBox*>(m_wndRibbon->FindElement(ids::ID_AUTOREFRESH_ALL)))
        box->setChecked(m_bAutoRefreshAll);
    if (auto* box = qobject_cast<QCheckBox*>(m_wndRibbon->FindElement(ids::ID_HIGHLIGHT_CHANGES)))
        box->setChecked(m_bHighlightChanges);
    const std::pair<int, bool> quick[] = {{ids::ID_HIDE_LISTENING, m_bHideListening},
                                          {ids::ID_HIDE_TIME_WAIT, m_bHideTimeWait},
                                          {ids::ID_HIDE_LOOPBACK, m_bHideLoopback}};
    for (const auto& [id, on] : quick)
        if (auto* box = qobject_cast<QCheckBox*>(m_wndRibbon->FindElement(id))) box->setChecked(on);
    if (auto* button = qobject_cast<QToolButton*>(m_wndRibbon->FindElement(ids::ID_VIEW_AS_TABLE))) {
        const bool can = m_pActivePane != nullptr && m_pActivePane->HasTableView();
        button->setEnabled(can);
        button->setChecked(can && m_pActivePane->IsTableView());
    }
    if (auto* button = qobject_cast<QToolButton*>(m_wndRibbon->FindElement(ids::ID_PAUSE))) {
        button->setChecked(m_bPaused);
        button->setText(m_bPaused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    }
    if (m_lookActions != nullptr) {
        const CTessalineApp* app = TheApp();
        const int look = app != nullptr ? static_cast<int>(app->m_nApplicationLook) : 0;
        for (QAction* action : m_lookActions->actions()) action->setChecked(action->data().toInt() == look);
    }
}

void CMainFrame::SetRemote(const remote::RemoteView* view) { g_remote = view; }
const remote::RemoteView* CMainFrame::Remote() { return g_remote; }

void CMainFrame::UpdateRemoteState() {
    if (g_remote == nullptr) return;
    const bool lost = !g_remote->Connected();
    const QString host = QString::fromStdString(g_remote->Host());
    const QString banner =
        lost ? QStringLiteral("Connection to %1 lost (%2); retrying every 2 seconds.")
                   .arg(host, QString::fromStdString(g_remote->LastError()).left(200))
             : QString();
    for (CNetworkDataView* pane : Panes()) pane->SetBanner(banner);
    if (lost != m_bRemoteLost) {
        m_bRemoteLost = lost;
        UpdateTitle();
    }
}

QMdiSubWindow* CMainFrame::ShownDocument() const {
    if (m_mdiArea == nullptr) return nullptr;
    // The area names a current document only while the window is inactive
    // or a document holds the focus: with the focus on the ribbon or a pane
    // (a click on Pause) it names none, though a document's tab is in view.
    // That one is the document activated last.
    if (QMdiSubWindow* current = m_mdiArea->currentSubWindow()) return current;
    const QList<QMdiSubWindow*> documents = m_mdiArea->subWindowList(QMdiArea::ActivationHistoryOrder);
    return documents.isEmpty() ? nullptr : documents.back();
}

void CMainFrame::UpdateTitle() {
    QString title = LoadResString(ids::IDR_MAINFRAME);
    if (g_remote != nullptr) title += QStringLiteral(" - ") + QString::fromStdString(g_remote->Host());
    const QMdiSubWindow* active = ShownDocument();
    const QString paused = (m_bPaused ? QStringLiteral(" [Paused]") : QString()) +
                           (m_bRemoteLost ? QStringLiteral(" [Connection lost]") : QString());
    setWindowTitle((active != nullptr && !active->windowTitle().isEmpty() ? title + " - " + active->windowTitle()
                                                                          : title) +
                   paused);
}

namespace {

QString PaneKey(const char* what, const CNetworkDataView* pane) {
    return QStringLiteral("%1%2").arg(QLatin1String(what)).arg(pane->m_nKind);
}

}  // namespace

void CMainFrame::RestorePaneView(CNetworkDataView* pane) {
    CTessalineApp* app = TheApp();
    if (app == nullptr || pane == nullptr || !pane->HasTableView() || pane->widget() == nullptr) return;
    // The settings file is the user's: the state's bytes are checked by the
    // table, the filter's text parsed like a typed one (and bounded there).
    const QVariant state = app->GetValue(PaneKey("TableState", pane));
    if (state.typeId() == QMetaType::QByteArray) pane->SetTableState(state.toByteArray());
    const QVariant filter = app->GetValue(PaneKey("Filter", pane));
    if (filter.typeId() == QMetaType::QString) pane->SetFilterText(filter.toString().left(4096));
    pane->SetQuickToggles({m_bHideListening, m_bHideTimeWait, m_bHideLoopback});
    pane->SetTableView(app->GetInt(PaneKey("TableView", pane), 0) == 1);
}

void CMainFrame::SavePaneViews() {
    CTessalineApp* app = TheApp();
    if (app == nullptr) return;
    for (CNetworkDataView* pane : Panes()) {
        if (!pane->HasTableView() || pane->widget() == nullptr) continue;
        app->WriteInt(PaneKey("TableView", pane), pane->IsTableView() ? 1 : 0);
        const QByteArray state = pane->TableState();
        if (!state.isEmpty()) app->WriteValue(PaneKey("TableState", pane), state);
        app->WriteValue(PaneKey("Filter", pane), pane->FilterText());
    }
}

void CMainFrame::ApplyQuickToggles() {
    for (CNetworkDataView* pane : Panes()) pane->SetQuickToggles({m_bHideListening, m_bHideTimeWait, m_bHideLoopback});
    if (CTessalineApp* app = TheApp()) {
        app->WriteInt(QStringLiteral("HideListening"), m_bHideListening ? 1 : 0);
        app->WriteInt(QStringLiteral("HideTimeWait"), m_bHideTimeWait ? 1 : 0);
        app->WriteInt(QStringLiteral("HideLoopback"), m_bHideLoopback ? 1 : 0);
    }
}

void CMainFrame::OnToggleHighlightChanges() {
    m_bHighlightChanges = !m_bHighlightChanges;
    for (CNetworkDataView* pane : Panes()) pane->SetMarkChanges(m_bHighlightChanges);
    if (CTessalineApp* app = TheApp()) app->WriteInt(QStringLiteral("HighlightChanges"), m_bHighlightChanges ? 1 : 0);
    UpdateCommandUI();
}

void CMainFrame::OnTogglePause() {
    m_bPaused = !m_bPaused;
    for (CNetworkDataView* pane : Panes()) pane->SetPaused(m_bPaused);
    UpdateTitle();
    UpdateCommandUI();
}

bool CMainFrame::SaveConnectionLog(const QString& path) {
    const std::deque<sockets::Event>& events = sockets::ProcessConnectionLog().Events();
    const std::string text = path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive) ? sockets::LogJson(events)
                                                                                          : sockets::LogCsv(events);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) return false;
    return file.commit();
}

QString CMainFrame::LogFolder() {
    // The user's documents folder where it exists, else the home folder;
    // never the folder the program happened to be started in.
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir()) return documents;
    return QDir::homePath();
}

void CMainFrame::OnSaveLogAs() {
    QString filter = QStringLiteral("CSV (*.csv)");
    const QString start = QDir(LogFolder()).filePath(QStringLiteral("connection-log.csv"));
    const CTessalineApp* app = TheApp();
    const QString path = app != nullptr && app->m_saveLogPrompt
                             ? app->m_saveLogPrompt(this, start, &filter)
                             : QFileDialog::getSaveFileName(this, QStringLiteral("Save Log As"), start,
                                                            QStringLiteral("CSV (*.csv);;JSON (*.json)"), &filter);
    if (path.isEmpty()) return;
    QString named = path;
    // The type chosen adds its extension to a name without one.
    if (QFileInfo(named).suffix().isEmpty())
        named += filter.startsWith(QStringLiteral("JSON")) ? QStringLiteral(".json") : QStringLiteral(".csv");
    if (!SaveConnectionLog(named))
        QMessageBox::warning(this, QStringLiteral("Save Log As"),
                             QStringLiteral("The log could not be written to %1.").arg(named));
}

void CMainFrame::ApplyMarkColours() {
    const ChangeColours colours = LookChangeColours(CurrentLook());
    for (CNetworkDataView* pane : Panes())
        if (pane->widget() != nullptr) pane->SetMarkColours(colours.added, colours.changed, colours.closed);
}

// The document windows, to activate or close.
void CMainFrame::OnWindowsDialog() {
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("windowsDialog"));
    dialog.setWindowTitle(QStringLiteral("Windows"));
    auto* list = new QListWidget(&dialog);
    list->setObjectName(QStringLiteral("windowsList"));
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    const QList<QMdiSubWindow*> windows = m_mdiArea->subWindowList(QMdiArea::ActivationHistoryOrder);
    for (QMdiSubWindow* window : windows) list->addItem(window->windowTitle());
    if (list->count() > 0) list->setCurrentRow(list->count() - 1);
    auto* activate = new QPushButton(QStringLiteral("&Activate"), &dialog);
    auto* closeWindows = new QPushButton(QStringLiteral("&Close Window(s)"), &dialog);
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {activate, closeWindows, ok}) buttons->addWidget(b);
    buttons->addStretch(1);
    auto* layout = new QHBoxLayout(&dialog);
    layout->addWidget(list, 1);
    layout->addLayout(buttons);
    connect(activate, &QPushButton::clicked, &dialog, [&] {
        const int row = list->currentRow();
        if (row >= 0 && row < windows.size()) m_mdiArea->setActiveSubWindow(windows[row]);
        dialog.accept();
    });
    connect(closeWindows, &QPushButton::clicked, &dialog, [&] {
        for (QListWidgetItem* item : list->selectedItems()) {
            const int row = list->row(item);
            if (row >= 0 && row < windows.size()) windows[row]->close();
        }
        dialog.accept();
    });
    connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    connect(list, &QListWidget::itemDoubleClicked, activate, &QPushButton::click);
    if (CTessalineApp* app = TheApp(); app != nullptr && app->m_runWindowsDialog)
        app->m_runWindowsDialog(dialog);
    else
        dialog.exec();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event) {
    CTessalineApp* app = TheApp();
    if (app != nullptr && app->DocTemplate() != nullptr && app->DocTemplate()->OpenDroppedUrls(event->mimeData()))
        event->acceptProposedAction();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    m_bClosing = true;
    SaveWorkspace();
    QMainWindow::closeEvent(event);
}

void CMainFrame::SaveWorkspace() {
    CTessalineApp* app = TheApp();
    if (app == nullptr) return;
    // Auto-hidden panes are saved where they dock, and listed with their
    // edges, to be taken there again at the next start.
    QStringList edges;
    if (m_autoHide != nullptr) {
        for (const CAutoHideManager::EdgePane& p : m_autoHide->EdgePanes())
            edges << QStringLiteral("%1 %2 %3").arg(p.name).arg(static_cast<int>(p.area)).arg(p.extent);
        m_autoHide->RestoreAllBeforeSave();
    }
    app->WriteValue(QStringLiteral("WindowPlacement"), saveGeometry());
    app->WriteValue(QStringLiteral("DockingManagers"), saveState());
    app->WriteValue(QStringLiteral("AutoHiddenPanes"), edges.join(QLatin1Char(';')));
    // The extents the user gave the areas, not those a small window left.
    QStringList extents;
    for (int extent : m_wantedExtent) extents << QString::number(extent);
    app->WriteValue(QStringLiteral("PaneExtents"), extents.join(QLatin1Char(' ')));
}

std::vector<CAutoHideManager::EdgePane> ParseEdgePanes(const QString& text) {
    std::vector<CAutoHideManager::EdgePane> panes;
    constexpr int kMaxPanes = 64;  // the settings file is the user's: a long list is not ours
    for (const QString& item : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (panes.size() >= kMaxPanes) break;
        const QStringList fields = item.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() != 3) continue;
        bool areaOk = false, extentOk = false;
        const int area = fields[1].toInt(&areaOk);
        const int extent = fields[2].toInt(&extentOk);
        const bool oneEdge = area == Qt::LeftDockWidgetArea || area == Qt::RightDockWidgetArea ||
                             area == Qt::TopDockWidgetArea || area == Qt::BottomDockWidgetArea;
        if (!areaOk || !extentOk || !oneEdge) continue;
        panes.push_back({fields[0], static_cast<Qt::DockWidgetArea>(area), extent});
    }
    return panes;
}

bool CMainFrame::RestoreWorkspace() {
    CTessalineApp* app = TheApp();
    if (app == nullptr) return false;
    const QByteArray geometry = app->GetValue(QStringLiteral("WindowPlacement")).toByteArray();
    const QByteArray state = app->GetValue(QStringLiteral("DockingManagers")).toByteArray();
    // The panes first, while the window is still in its normal state.  A
    // dock layout restored into a hidden window that is to be maximised is
    // kept by the toolkit as a copy, applied once the window has grown to
    // fit it; that copy holds the layout's items as they were, and taking a
    // pane to its edge strip deletes the pane's item: the copy applied later
    // reads freed memory (the crash at start after a maximised window with a
    // pane on an edge).  In the normal state the layout is taken at once,
    // and the panes' extents come back with the window's size (see
    // GiveSpaceBackToPanes).
    if (!state.isEmpty() && (!IsSoundDockState(state) || !restoreState(state))) {
        DropSavedLayout(true, QStringLiteral("the saved window layout cannot be read"));
        return false;
    }
    if (!state.isEmpty()) {
        m_wantedExtent = ParsePaneExtents(app->GetValue(QStringLiteral("PaneExtents")).toString());
        if (m_autoHide != nullptr)
            m_autoHide->RestoreEdgePanes(ParseEdgePanes(app->GetValue(QStringLiteral("AutoHiddenPanes")).toString()));
    }
    if (!geometry.isEmpty() && !RestorePlacement(geometry)) {
        DropSavedLayout(true, QStringLiteral("the saved window layout cannot be read"));
        return false;
    }
    m_bPlaced = !geometry.isEmpty();
    BringFloatingPanesOnScreen();
    return !state.isEmpty();
}

bool CMainFrame::RestorePlacement(const QByteArray& geometry) {
    // Read here rather than by the toolkit, which refuses a placement saved
    // on a screen much wider or narrower than the one it finds.
    const std::optional<SavedPlacement> placement = ParsePlacement(geometry);
    if (!placement) return false;
    // In the normal state inside the screen first, then maximised or full
    // screen from there: the normal placement is where it comes back to.
    if (placement->geometry.isValid()) setGeometry(placement->geometry);
    KeepOnScreen();
    if (placement->fullScreen)
        setWindowState(Qt::WindowFullScreen);
    else if (placement->maximized)
        setWindowState(Qt::WindowMaximized);
    return true;
}

void CMainFrame::KeepOnScreen() {
    if (isMaximized() || isFullScreen()) return;
    // The screen it was saved on may be smaller now, or gone: the window
    // comes back inside the screen under its centre, else the first.
    const QScreen* screen = QGuiApplication::screenAt(geometry().center());
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    // A placement smaller than the window can be (garbled, or saved before
    // the panes needed as much) is fitted at the size the window takes.
    const QMargins frame = FrameMargins();
    QRect inner = geometry();
    inner.setSize(inner.size().expandedTo(minimumSizeHint()).expandedTo(minimumSize()));
    const QRect placed = FitPlacement(inner.marginsAdded(frame), screen->availableGeometry()).marginsRemoved(frame);
    if (placed != geometry()) setGeometry(placed);
}

void CMainFrame::DropSavedLayout(bool placementToo, const QString& why) {
    // Whatever part of it was taken goes: the panes (and, before the window
    // shows, the window) are as a first start makes them, and the settings
    // forget the layout, so that the next start neither tries it nor says so
    // again.
    if (placementToo) {
        if (isMaximized() || isFullScreen()) setWindowState(Qt::WindowNoState);
        const QScreen* screen = QGuiApplication::primaryScreen();
        resize(FirstWindowSize(screen != nullptr ? screen->availableGeometry().size() : QSize()));
        m_bPlaced = false;
    }
    PutPanesInFirstLayout();
    m_bRestored = false;
    CTessalineApp* app = TheApp();
    if (app == nullptr) return;
    for (const char* entry : {"WindowPlacement", "DockingManagers", "AutoHiddenPanes", "PaneExtents"})
        app->WriteValue(QString::fromLatin1(entry), QVariant());
    app->Notify(why + QStringLiteral("; the panes are where a first start puts them"));
}

bool CMainFrame::FitsOnScreen() const {
    const QScreen* screen = this->screen();
    if (screen == nullptr) return true;
    const QSize room =
        isFullScreen() ? screen->geometry().size() : screen->availableGeometry().marginsRemoved(FrameMargins()).size();
    const QSize least = minimumSizeHint().expandedTo(minimumSize());
    return least.width() <= room.width() && least.height() <= room.height();
}

QMargins CMainFrame::FrameMargins() const {
    const QRect inner = geometry();
    const QRect outer = frameGeometry();
    const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                         outer.bottom() - inner.bottom());
    if (!frame.isNull()) return frame;
    // Before the window is first shown its frame is the window manager's
    // and unknown: room is left for a common one.
    const int side = kFrameAllowance.width() / 2;
    return {side, kFrameAllowance.height() - side, side, side};
}

void CMainFrame::BringFloatingPanesOnScreen() {
    // A pane left floating on a larger screen, or on one that is gone, comes
    // back inside the screen under it (else the first), as small as it must.
    for (CNetworkDataView* pane : Panes()) {
        if (!pane->isFloating()) continue;
        QRect place = pane->geometry();
        if (place.width() < pane->minimumSizeHint().width() || place.height() < pane->minimumSizeHint().height())
            place.setSize(place.size().expandedTo(pane->sizeHint()));
        const QScreen* screen = QGuiApplication::screenAt(place.center());
        if (screen == nullptr) screen = QGuiApplication::primaryScreen();
        if (screen == nullptr) continue;
        const QRect placed = FitPlacement(place, screen->availableGeometry());
        if (placed != pane->geometry()) pane->setGeometry(placed);
    }
}
