#include "PlainMainWindow.h"

#include <QAction>
#include <algorithm>
#include <QLabel>
#include <QTimer>
#include <QToolBar>

#include "CNetworkDataView.h"

namespace {

struct PaneEntry {
    int kind;
    const char* caption;
    const char* objectName;
    Qt::DockWidgetArea side;
};

// Counters on the left, sockets on the right.
const PaneEntry kPanes[] = {
    {kKindIpStatistics, "IP", "paneIp", Qt::LeftDockWidgetArea},
    {kKindIcmpStatistics, "ICMP", "paneIcmp", Qt::LeftDockWidgetArea},
    {kKindTcpStatistics, "TCP", "paneTcpStats", Qt::LeftDockWidgetArea},
    {kKindUdpStatistics, "UDP", "paneUdpStats", Qt::LeftDockWidgetArea},
    {kKindNetworkConfiguration, "Networks", "paneNetworks", Qt::LeftDockWidgetArea},
    {kKindAdapterList, "Adapters", "paneAdapters", Qt::LeftDockWidgetArea},
    {kKindInterfaceList, "Interfaces", "paneInterfaces", Qt::LeftDockWidgetArea},
    {kKindProtocolList, "Protocols", "paneProtocols", Qt::LeftDockWidgetArea},
    {kKindTcpConnections, "TCP Connections", "paneTcpConnections", Qt::RightDockWidgetArea},
    {kKindUdpConnections, "UDP Connections", "paneUdpConnections", Qt::RightDockWidgetArea},
};

constexpr int kSocketPaneWidth = 450;

}  // namespace

PlainMainWindow::PlainMainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Tessaline"));
    setDockOptions(QMainWindow::AnimatedDocks | QMainWindow::AllowTabbedDocks);

    QToolBar* bar = addToolBar(tr("View"));
    bar->setObjectName(QStringLiteral("viewBar"));
    QAction* autoRefresh = bar->addAction(tr("Autorefresh All"));
    autoRefresh->setObjectName(QStringLiteral("autorefreshAll"));
    autoRefresh->setCheckable(true);
    autoRefresh->setChecked(false);  // off at every start
    connect(autoRefresh, &QAction::toggled, this, &PlainMainWindow::SetAutoRefreshAll);

    auto* centre = new QLabel(this);
    centre->setMinimumSize(0, 0);
    setCentralWidget(centre);
    centre->hide();

    for (const PaneEntry& entry : kPanes) {
        auto* pane = new CNetworkDataView(entry.kind, this);
        pane->setWindowTitle(QString::fromLatin1(entry.caption));
        pane->setObjectName(QString::fromLatin1(entry.objectName));
        pane->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable |
                          QDockWidget::DockWidgetClosable);
        pane->Create();
        addDockWidget(entry.side, pane);
        m_panes.push_back(pane);
    }
    // Two columns of counter panes, the socket panes beside them.
    splitDockWidget(m_panes[0], m_panes[2], Qt::Horizontal);
    splitDockWidget(m_panes[1], m_panes[3], Qt::Horizontal);
    // The network configuration, adapters, interfaces and protocols behind
    // the IP counters.
    tabifyDockWidget(m_panes[0], m_panes[4]);
    for (std::size_t i = 5; i <= 7; ++i) tabifyDockWidget(m_panes[i - 1], m_panes[i]);
    m_panes[0]->raise();
    resize(1400, 760);
}

void PlainMainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Dock sizes apply once the layout exists, at the first showing.
    if (!m_bSized) {
        m_bSized = true;
        QTimer::singleShot(0, this, [this] {
            const int counters = std::max(200, (width() - kSocketPaneWidth) / 2);
            resizeDocks({m_panes[0], m_panes[2], m_panes[8]}, {counters, counters, kSocketPaneWidth}, Qt::Horizontal);
        });
    }
}

void PlainMainWindow::SetAutoRefreshAll(bool on) {
    for (CNetworkDataView* pane : m_panes) pane->m_bAutoRefresh = on;
}
