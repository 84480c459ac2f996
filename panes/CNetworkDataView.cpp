#include "CNetworkDataView.h"

#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QPainter>
#include <QStyle>
#include <QPixmap>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>
#include <QTimerEvent>
#include <algorithm>
#include <iterator>
#include <vector>

#include "CPaneStatus.h"
#include "CSocketFeed.h"
#include "ConnectionLog.h"
#include "SocketMonitor.h"

namespace {

constexpr int kTimerPeriodMs = 2000;
constexpr int kImageWidth = 16;
constexpr int kImageCount = 7;

// The bitmaps, drawn by res/bitmaps/make_bitmaps.py and compiled in as XPM
// arrays (reading them loads no image format plugin): the tree's image strip
// and the refresh button, both with pure red as the transparent colour.
#include "bitmaps/172_refresh_button.xpm"
#include "bitmaps/178_tree_images.xpm"

QPixmap LoadMasked(const char* const* xpm) {
    QPixmap pixmap(xpm);
    if (pixmap.isNull()) return pixmap;
    pixmap.setMask(pixmap.createMaskFromColor(QColor(255, 0, 0), Qt::MaskInColor));
    return pixmap;
}

// The tree's images, cut from the strip once for every pane.
const std::vector<QIcon>& TreeImages() {
    static const std::vector<QIcon> images = [] {
        std::vector<QIcon> cut;
        const QPixmap strip = LoadMasked(tree_images);
        if (strip.isNull()) return cut;  // a missing bitmap leaves the tree without images
        for (int i = 0; i < kImageCount; ++i)
            cut.emplace_back(strip.copy(i * kImageWidth, 0, kImageWidth, strip.height()));
        return cut;
    }();
    return images;
}

}  // namespace

CNetworkDataView::CNetworkDataView(int nKind, QWidget* parent) : QDockWidget(parent), CNetworkReport(nKind) {
    // A docked pane in a tab that is not selected stays "visible" to Qt but
    // is moved out of sight; the dock reports each change of what the user
    // can see, tab switches included.
    connect(this, &QDockWidget::visibilityChanged, this, &CNetworkDataView::OnVisibilityChanged);
}

CNetworkDataView::CNetworkDataView(int nKind, DeferSnapshot defer, QWidget* parent)
    : QDockWidget(parent), CNetworkReport(nKind, defer) {
    connect(this, &QDockWidget::visibilityChanged, this, &CNetworkDataView::OnVisibilityChanged);
}

void CNetworkDataView::OnVisibilityChanged(bool visible) {
    // A pane of a refreshing kind that comes back into sight (shown again,
    // or its tab selected again) brings its lines up to date at once rather
    // than showing those of when it was last seen until the next tick.
    const bool back = visible && !m_bOnScreen && m_bSeen;
    m_bOnScreen = visible;
    if (visible) m_bSeen = true;
    if (back && m_bAutoCapable && m_wndTree != nullptr && !m_bPaused) Update();
}

CNetworkDataView::~CNetworkDataView() {
    // The tree is destroyed with the window; no report may write to it after.
    SetReportTree(nullptr);
}

bool CNetworkDataView::Create() {
    m_wndClient = new QWidget(this);
    m_wndClient->setContextMenuPolicy(Qt::NoContextMenu);  // the client area has no context menu
    m_wndClient->installEventFilter(this);

    m_wndTree = new CViewTree(m_wndClient);
    m_wndTree->setObjectName(QStringLiteral("reportTree"));
    SetReportTree(m_wndTree);
    // A socket line opened for the first time gets its detail lines then.
    connect(m_wndTree, &CViewTree::childrenWanted, this,
            [this](quintptr line) { WriteSocketDetails(reinterpret_cast<HTREEITEM>(line)); });

    m_wndToolBar = new CClassToolBar(m_wndClient);
    m_wndBanner = new QLabel(m_wndClient);
    m_wndBanner->setObjectName(QStringLiteral("paneBanner"));
    m_wndBanner->setWordWrap(false);
    m_wndBanner->setTextFormat(Qt::PlainText);
    m_wndBanner->setContentsMargins(4, 2, 4, 2);
    m_wndBanner->setAutoFillBackground(true);
    m_wndBanner->setBackgroundRole(QPalette::ToolTipBase);
    m_wndBanner->setForegroundRole(QPalette::ToolTipText);
    m_wndBanner->hide();
    if (SocketTableOfKind(m_nKind) || m_nKind == kKindConnectionLog || m_nKind == kKindProcesses ||
        m_nKind == kKindListeningPorts)
        m_wndStatus = new CPaneStatus(m_wndClient);
    if (m_bAutoCapable) {
        static const QIcon picture(LoadMasked(refresh_button));
        QAction* refresh = m_wndToolBar->addAction(picture, tr("Refresh"));
        refresh->setData(ID_REFRESH);
        refresh->setToolTip(tr("Refresh"));
        connect(refresh, &QAction::triggered, this, [this] { OnRefresh(); });
    }

    SetUpImages();
    SetUpFont();
    setFocusProxy(m_wndTree);
    // Docked at any edge, or slid out from one, a pane shows four lines of
    // its report besides the tree's scroll bar, and no less than 80 pixels
    // of it, not its caption alone: the dock layout gives a pane no less
    // than its content's minimum.
    constexpr int kMinimumLines = 4;
    constexpr int kMinimumReport = 80;
    const int report = std::max(kMinimumLines * m_wndTree->RowHeight() +
                                    m_wndTree->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_wndTree),
                                kMinimumReport);
    const int status = m_wndStatus != nullptr ? m_wndStatus->sizeHint().height() : 0;
    m_wndClient->setMinimumHeight(m_wndToolBar->CalcFixedHeight() + 2 + report + status);

    // The client becomes the pane's content once its children exist: a pane
    // already on screen resizes it at once.
    setWidget(m_wndClient);
    if (m_bAutoCapable) m_nTimerId = startTimer(kTimerPeriodMs);
    AdjustLayout();
    // A socket pane in a window with a socket worker shows its root at once
    // and its lines when the worker has taken the table.
    CSocketFeed* feed = CSocketFeed::Current();
    const std::optional<sockets::Table> table = SocketTableOfKind(m_nKind);
    const bool summary = m_nKind == kKindProcesses || m_nKind == kKindListeningPorts;
    if (feed != nullptr && (table || summary)) {
        m_bRowsFromWorker = true;
        if (table)
            connect(feed, &CSocketFeed::rowsArrived, this, &CNetworkDataView::OnRowsArrived);
        else
            connect(feed, &CSocketFeed::summaryArrived, this, &CNetworkDataView::OnSummaryArrived);
        BuildReport();
        m_appliedSerial = 0;
        RequestRows();
    } else {
        BuildReport();
    }
    if (m_nKind == kKindConnectionLog) m_wndTree->ScrollToEndAfterChanges();
    if (!m_bRowsFromWorker) CountStatus();
    if (feed != nullptr && m_nKind == kKindConnectionLog) {
        // The log pane writes the events as they come (while not paused);
        // writing appends only the new ones.
        // Events come in bursts (a thousand closes a second on a busy
        // server): the lines are written at most five times a second.
        connect(feed, &CSocketFeed::eventsAdded, this, [this] {
            if (m_bLogWritePending) return;
            m_bLogWritePending = true;
            QTimer::singleShot(200, this, [this] {
                m_bLogWritePending = false;
                if (!m_bPaused && IsOnScreen()) WriteLog();
            });
        });
    }
    return true;
}

void CNetworkDataView::SetUpImages() {
    const std::vector<QIcon>& images = TreeImages();
    if (images.empty()) return;
    m_wndTree->setIconSize(images.front().availableSizes().value(0, QSize(kImageWidth, 15)));
    m_wndTree->SetImageList(images);
}

void CNetworkDataView::SetUpFont() {
    // "Courier New", else an installed face with its metrics (the ones the
    // font configuration maps it to, named directly: matching a missing
    // family costs a search of the database), else whatever the family
    // resolves to if fixed-pitch, else the system's fixed-pitch font.
    // Chosen once per process, as every pane shows the same font.
    static const QFont chosen = [] {
        QFont font;
        const QStringList installed = QFontDatabase::families();
        const char* const families[] = {"Courier New", "Liberation Mono", "Cousine"};
        const auto found = std::find_if(std::begin(families), std::end(families),
                                        [&installed](const char* f) { return installed.contains(QLatin1String(f)); });
        if (found != std::end(families)) {
            font = QFont(QString::fromLatin1(*found), 9);
            font.setStyleHint(QFont::Monospace);
        } else {
            font = QFont(QStringLiteral("Courier New"), 9);
            font.setStyleHint(QFont::Monospace);
            if (!QFontInfo(font).fixedPitch()) {
                font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
                font.setPointSize(9);
            }
        }
        // Report lines are Latin text in a fixed pitch: nothing to shape,
        // and drawn unhinted like the window's other texts.
        font.setStyleStrategy(QFont::PreferNoShaping);
        font.setHintingPreference(QFont::PreferNoHinting);
        return font;
    }();
    m_Font = chosen;
    m_wndTree->setFont(m_Font);
}

void CNetworkDataView::AdjustLayout() {
    if (m_wndClient == nullptr) return;
    const QRect rc = m_wndClient->rect();
    const int cyTlb = m_wndToolBar->CalcFixedHeight();
    m_wndToolBar->setGeometry(rc.left(), rc.top(), rc.width(), cyTlb);
    const int cyBanner = m_wndBanner != nullptr && !m_wndBanner->isHidden() ? m_wndBanner->sizeHint().height() : 0;
    if (cyBanner > 0) m_wndBanner->setGeometry(rc.left(), rc.top() + cyTlb, rc.width(), cyBanner);
    const int top = cyTlb + cyBanner;
    const int cyStatus = m_wndStatus != nullptr ? m_wndStatus->sizeHint().height() : 0;
    if (cyStatus > 0) m_wndStatus->setGeometry(rc.left(), rc.bottom() + 1 - cyStatus, rc.width(), cyStatus);
    m_wndTree->setGeometry(rc.left() + 1, rc.top() + top + 1, rc.width() - 2, rc.height() - top - cyStatus - 2);
}

void CNetworkDataView::SetBanner(const QString& text) {
    if (m_wndBanner == nullptr || (m_wndBanner->text() == text && m_wndBanner->isHidden() == text.isEmpty())) return;
    m_wndBanner->setText(text);
    m_wndBanner->setToolTip(text);
    m_wndBanner->setAccessibleName(text);
    m_wndBanner->setHidden(text.isEmpty());
    AdjustLayout();
}

QString CNetworkDataView::Banner() const {
    return m_wndBanner != nullptr && !m_wndBanner->isHidden() ? m_wndBanner->text() : QString();
}

void CNetworkDataView::PaintFrame() {
    // A one-pixel frame in the shadow colour fills the inset around the tree.
    QPainter painter(m_wndClient);
    painter.setPen(m_wndClient->palette().color(QPalette::Dark));
    const QRect tree = m_wndTree->geometry().adjusted(-1, -1, 1, 1);
    painter.drawRect(tree.adjusted(0, 0, -1, -1));
}

bool CNetworkDataView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_wndClient) {
        if (event->type() == QEvent::Resize)
            AdjustLayout();
        else if (event->type() == QEvent::Paint)
            PaintFrame();
    }
    return QDockWidget::eventFilter(watched, event);
}

void CNetworkDataView::timerEvent(QTimerEvent* event) {
    QDockWidget::timerEvent(event);
    if (!m_bAutoCapable) return;
    if (!m_bRefreshRequested && !m_bAutoRefresh) return;
    m_bRefreshRequested = false;
    // A pane that cannot be seen (closed, in a tab not shown, or inside a
    // hidden window) is not updated; a request made meanwhile is dropped.
    if (!IsOnScreen()) return;
    // Paused, a socket pane's table is still taken, for the log; what the
    // pane shows stays.
    CSocketFeed* feed = CSocketFeed::Current();
    if (m_bPaused) {
        m_bUpdateOnResume = true;
        if (m_bRowsFromWorker && feed != nullptr) {
            const std::optional<sockets::Table> table = SocketTableOfKind(m_nKind);
            feed->Request(table ? sockets::TableBit(*table) : sockets::kAllTables);
        }
        return;
    }
    Update();
}

void CNetworkDataView::Update() {
    ++m_nUpdates;
    CSocketFeed* feed = CSocketFeed::Current();
    if (m_bRowsFromWorker && feed != nullptr) {
        RequestRows();
        return;
    }
    // The log pane takes every socket table on its ticks, so that the log
    // sees the sockets' changes even when no socket pane refreshes.
    if (m_nKind == kKindConnectionLog) {
        if (feed != nullptr) feed->Request(sockets::kAllTables);
        WriteLog();
        return;
    }
    UpdateReport();
    CountStatus();
}

void CNetworkDataView::WriteLog() {
    // Newest last: a view at the end stays at the end.
    const bool atEnd = m_wndTree->ShowsEnd();
    UpdateReport();
    if (atEnd) m_wndTree->ScrollToEndAfterChanges();
    CountStatus();
}

void CNetworkDataView::RequestRows() {
    CSocketFeed* feed = CSocketFeed::Current();
    const std::optional<sockets::Table> table = SocketTableOfKind(m_nKind);
    if (feed == nullptr) return;
    if (table) {
        m_bAwaitingRows = true;
        feed->RequestRows(*table, m_appliedSerial, m_bMarkChanges);
    } else if (m_nKind == kKindProcesses || m_nKind == kKindListeningPorts) {
        m_bAwaitingRows = true;
        feed->RequestSummary();
    }
}

void CNetworkDataView::OnSummaryArrived(const std::shared_ptr<const sockets::Summary>& summary) {
    // Both panes of the four tables ask for them; each shows the tables
    // that come while it waits for them.
    if (!m_bAwaitingRows || m_bPaused || summary == nullptr) return;
    m_bAwaitingRows = false;
    QElapsedTimer timer;
    timer.start();
    ShowSummary(*summary);
    CountStatus(summary.get());
    m_lastRowsUs = timer.nsecsElapsed() / 1000;
    emit rowsShown();
}

void CNetworkDataView::OnRowsArrived(const std::shared_ptr<const sockets::RowsDelivery>& rows) {
    if (!m_bAwaitingRows || m_bPaused || rows == nullptr || SocketTableOfKind(m_nKind) != rows->table) return;
    m_bAwaitingRows = false;
    if (!rows->fresh && rows->base != m_appliedSerial) {
        // Edits made on lines this pane does not show: ask afresh.
        m_appliedSerial = 0;
        RequestRows();
        return;
    }
    QElapsedTimer timer;
    timer.start();
    ShowSocketDelivery(*rows);
    CountStatus();
    m_appliedSerial = rows->serial;
    m_lastRowsUs = timer.nsecsElapsed() / 1000;
    emit rowsShown();
}

void CNetworkDataView::SetPaused(bool paused) {
    if (m_bPaused == paused) return;
    m_bPaused = paused;
    m_status.paused = paused;
    ShowStatus();
    // Resuming brings a pane that refreshes up to date in one step.
    const bool update = m_bAutoRefresh || m_bUpdateOnResume || m_bAwaitingRows;
    if (!paused) m_bUpdateOnResume = false;
    if (!paused && m_bAutoCapable && m_wndTree != nullptr && IsOnScreen() && update) Update();
}

void CNetworkDataView::OnRefresh() {
    m_bRefreshRequested = true;
    QTimerEvent tick(0);
    QCoreApplication::sendEvent(this, &tick);
}

void CNetworkDataView::CountStatus(const sockets::Summary* summary) {
    if (m_wndStatus == nullptr) return;
    HTREEITEM root = m_nKind == kKindConnectionLog    ? m_hLogRoot
                     : m_nKind == kKindProcesses      ? m_hProcessesRoot
                     : m_nKind == kKindListeningPorts ? m_hListeningRoot
                                                      : SocketRoot();
    StatusLineCounts counts = CountStatusLines(*m_wndTree, root, m_nKind == kKindListeningPorts);
    if (m_nKind == kKindConnectionLog) {
        // The log's lines by what happened, from the events they show.
        counts.byState.clear();
        for (const sockets::Event& event : sockets::ProcessConnectionLog().Events())
            ++counts.byState[sockets::WhatText(event)];
    } else if (m_nKind == kKindProcesses) {
        // The processes' lines by the states of the TCP sockets they hold.
        counts.byState.clear();
        if (summary != nullptr)
            for (const sockets::SocketFact& socket : summary->sockets)
                if (socket.state != 0) ++counts.byState[sockets::StateText(socket.state)];
    }
    m_status.refreshedMs = QDateTime::currentMSecsSinceEpoch();
    SetStatusCounts(counts.lines, counts.lines, std::move(counts.byState));
}

void CNetworkDataView::SetStatusCounts(std::size_t shown, std::size_t total,
                                       std::map<std::string, std::size_t> byState) {
    m_status.shown = shown;
    m_status.total = total;
    m_status.byState = std::move(byState);
    ShowStatus();
}

void CNetworkDataView::ShowStatus() {
    if (m_wndStatus != nullptr) m_wndStatus->SetStatus(m_status);
}
