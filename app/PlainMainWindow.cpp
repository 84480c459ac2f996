#include "PlainMainWindow.h"

#include <QAction>
#include <QLabel>
#include <QToolBar>

#include "CNetworkDataView.h"

namespace {

struct PaneEntry {
    int kind;
    const char* caption;
    const char* objectName;
    Qt::DockWidgetArea side;
};

const PaneEntry kPanes[] = {
    {kKindIpStatistics, "IP", "paneIp", Qt::LeftDockWidgetArea},
    {kKindIcmpStatistics, "ICMP", "paneIcmp", Qt::LeftDockWidgetArea},
    {kKindTcpStatistics, "TCP", "paneTcpStats", Qt::RightDockWidgetArea},
    {kKindUdpStatistics, "UDP", "paneUdpStats", Qt::RightDockWidgetArea},
};

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
    resize(1000, 720);
}

void PlainMainWindow::SetAutoRefreshAll(bool on) {
    for (CNetworkDataView* pane : m_panes) pane->m_bAutoRefresh = on;
}
