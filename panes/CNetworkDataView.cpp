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

#include <QHeaderView>

#include "CFilterBar.h"
#include "CProcessTableModel.h"
#include "CSocketTableModel.h"
#include "CTableView.h"
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
    if (HasTableView()) {
        // The filter above both views, Ctrl+F to it; "View as Table"
        // (Ctrl+T) in both views' menus.
        m_wndFilter = new CFilterBar(m_wndClient);
        connect(m_wndFilter, &CFilterBar::filterChanged, this, [this](std::shared_ptr<const sockets::Filter> f) {
            m_expression = std::move(f);
            ComposeFilter();
            emit viewChanged();
        });
        auto* find = new QAction(tr("Filter"), this);
        find->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
        find->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(find, &QAction::triggered, m_wndFilter, &CFilterBar::FocusField);
        addAction(find);
        m_actTable = new QAction(tr("View as Table"), this);
        m_actTable->setCheckable(true);
        m_actTable->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
        m_actTable->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        m_actTable->setShortcutVisibleInContextMenu(true);
        connect(m_actTable, &QAction::triggered, this, [this](bool on) { SetTableView(on); });
        addAction(m_actTable);
        m_wndTree->AddMenuAction(m_actTable);
    }
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
    m_wndClient->setMinimumHeight(TopRowHeight() + 2 + report + status);

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
    // The filter takes the toolbar's row beside its buttons: a pane keeps
    // its lines' height.
    const int cyTlb = TopRowHeight();
    const int cxTlb = m_wndFilter != nullptr ? std::min(rc.width(), m_wndToolBar->sizeHint().width()) : rc.width();
    m_wndToolBar->setGeometry(rc.left(), rc.top(), cxTlb, cyTlb);
    if (m_wndFilter != nullptr) m_wndFilter->setGeometry(rc.left() + cxTlb, rc.top(), rc.width() - cxTlb, cyTlb);
    const int cyBanner = m_wndBanner != nullptr && !m_wndBanner->isHidden() ? m_wndBanner->sizeHint().height() : 0;
    if (cyBanner > 0) m_wndBanner->setGeometry(rc.left(), rc.top() + cyTlb, rc.width(), cyBanner);
    const int top = cyTlb + cyBanner;
    const int cyStatus = m_wndStatus != nullptr ? m_wndStatus->sizeHint().height() : 0;
    if (cyStatus > 0) m_wndStatus->setGeometry(rc.left(), rc.bottom() + 1 - cyStatus, rc.width(), cyStatus);
    const QRect view(rc.left() + 1, rc.top() + top + 1, rc.width() - 2, rc.height() - top - cyStatus - 2);
    m_wndTree->setGeometry(view);
    if (m_wndTable != nullptr) m_wndTable->setGeometry(view);
}

int CNetworkDataView::TopRowHeight() const {
    const int cyTlb = m_wndToolBar->CalcFixedHeight();
    return m_wndFilter != nullptr ? std::max(cyTlb, m_wndFilter->sizeHint().height()) : cyTlb;
}

QWidget* CNetworkDataView::CurrentView() const {
    return m_bTableView && m_wndTable != nullptr ? static_cast<QWidget*>(m_wndTable) : m_wndTree;
}

bool CNetworkDataView::HasTableView() const {
    return SocketTableOfKind(m_nKind).has_value() || m_nKind == kKindProcesses || m_nKind == kKindListeningPorts ||
           m_nKind == kKindConnectionLog;
}

void CNetworkDataView::SetTableView(bool on) {
    if (!HasTableView() || m_wndTree == nullptr || on == m_bTableView) return;
    const bool hadFocus = CurrentView()->hasFocus();
    m_bTableView = on;
    if (on) {
        // The table follows the lines only while it is shown: made again
        // from them now.
        MakeTable();
        FillTable();
    } else {
        FilterTree();
    }
    m_wndTable->setVisible(on);
    m_wndTree->setVisible(!on);
    setFocusProxy(CurrentView());
    if (m_actTable != nullptr) m_actTable->setChecked(on);
    AdjustLayout();
    ShowCounts();
    if (hadFocus) CurrentView()->setFocus();
    emit viewChanged();
}

void CNetworkDataView::MakeTable() {
    if (m_wndTable != nullptr) return;
    m_wndTable = new CTableView(m_wndClient);
    m_wndTable->setObjectName(QStringLiteral("reportTable"));
    m_wndTable->hide();
    if (m_nKind == kKindProcesses) {
        m_processModel = new CProcessTableModel(m_wndTable);
        m_wndTable->setModel(m_processModel);
    } else {
        const bool log = m_nKind == kKindConnectionLog;
        m_socketModel = new CSocketTableModel(log ? CSocketTableModel::LogColumns() : CSocketTableModel::SocketColumns(),
                                              m_wndTable);
        m_wndTable->setModel(m_socketModel);
        m_wndTable->SetFollowsEnd(log);
        // A filter over many rows is applied in slices; its count follows.
        connect(m_socketModel, &CSocketTableModel::filterApplied, this, [this] {
            m_shownLines = m_socketModel->Table().Shown();
            ShowCounts();
        });
    }
    if (m_markColours[0].isValid()) m_wndTable->SetMarkColours(m_markColours[0], m_markColours[1], m_markColours[2]);
    if (!m_tableState.isEmpty()) m_wndTable->RestoreState(m_tableState);
    if (m_actTable != nullptr) m_wndTable->AddMenuAction(m_actTable);
    // "Show Only This Process" and "Show Only This Port" write the filter.
    connect(m_wndTable, &CTableView::showOnlyProcess, this, [this](const sockets::RecordPtr& r) {
        if (r) SetFilterText(r->pid != 0 ? QStringLiteral("pid:%1").arg(r->pid)
                                         : QStringLiteral("proc:\"%1\"").arg(QString::fromStdString(r->process)));
    });
    connect(m_wndTable, &CTableView::showOnlyPort, this, [this](const sockets::RecordPtr& r, bool remote) {
        if (r) SetFilterText(remote ? QStringLiteral("rport:%1").arg(r->remotePort)
                                    : QStringLiteral("lport:%1").arg(r->localPort));
    });
    // Sorting and the columns are kept in the settings.
    connect(m_wndTable->header(), &QHeaderView::sortIndicatorChanged, this, [this] { emit viewChanged(); });
    connect(m_wndTable->header(), &QHeaderView::sectionMoved, this, [this] { emit viewChanged(); });
    connect(m_wndTable->header(), &QHeaderView::sectionResized, this, [this] { emit viewChanged(); });
    AdjustLayout();
}

QByteArray CNetworkDataView::TableState() const {
    return m_wndTable != nullptr ? m_wndTable->SaveState() : m_tableState;
}

void CNetworkDataView::SetTableState(const QByteArray& state) {
    m_tableState = state;
    if (m_wndTable != nullptr) m_wndTable->RestoreState(state);
}

void CNetworkDataView::FillTable() {
    if (m_processModel != nullptr) {
        // Processes that have let their last socket go are left out.
        std::vector<sockets::RecordPtr> open;
        open.reserve(m_lineRecords.size());
        for (const sockets::RecordPtr& r : m_lineRecords)
            if (r && !r->closed) open.push_back(r);
        m_processModel->Update(open);
        m_processModel->SetFilter(m_viewFilter);
        m_shownLines = static_cast<std::size_t>(m_processModel->Shown());
    } else if (m_socketModel != nullptr) {
        m_socketModel->SetFilter(m_viewFilter);
        if (m_nKind == kKindConnectionLog)
            m_socketModel->Reset(std::vector<sockets::RecordPtr>(m_logRecords.begin(), m_logRecords.end()));
        else
            m_socketModel->Reset(m_lineRecords);
        m_shownLines = m_socketModel->Table().Shown();
    }
}

std::size_t CNetworkDataView::TotalLines() const {
    if (m_processModel != nullptr && m_bTableView) return static_cast<std::size_t>(m_processModel->Total());
    return m_nKind == kKindConnectionLog ? m_logRecords.size() : m_lineRecords.size();
}

std::vector<HTREEITEM> CNetworkDataView::LineItems() {
    if (m_nKind != kKindConnectionLog) return SocketItems();
    std::vector<HTREEITEM> items;
    items.reserve(m_logRecords.size());
    if (m_hLogRoot != nullptr)
        for (HTREEITEM line = m_wndTree->GetChildItem(m_hLogRoot); line != nullptr;
             line = m_wndTree->GetNextSiblingItem(line))
            items.push_back(line);
    return items;
}

void CNetworkDataView::FilterTree() {
    if (m_wndTree == nullptr || !HasTableView()) return;
    const std::vector<HTREEITEM> items = LineItems();
    std::vector<bool> hidden(items.size(), false);
    std::size_t shown = items.size();
    if (m_viewFilter) {
        const auto record = [this](std::size_t i) -> const sockets::Record* {
            if (m_nKind == kKindConnectionLog) return i < m_logRecords.size() ? m_logRecords[i].get() : nullptr;
            return i < m_lineRecords.size() ? m_lineRecords[i].get() : nullptr;
        };
        for (std::size_t i = 0; i < items.size(); ++i) {
            const sockets::Record* r = record(i);
            hidden[i] = r != nullptr && !m_viewFilter(*r);
            shown -= hidden[i] ? 1 : 0;
        }
    }
    m_wndTree->SetHidden(items, hidden);
    m_shownLines = shown;
}

void CNetworkDataView::SetRecordFilter(sockets::RecordFilter filter) {
    m_viewFilter = std::move(filter);
    if (m_bTableView) {
        if (m_processModel != nullptr) {
            m_processModel->SetFilter(m_viewFilter);
            m_shownLines = static_cast<std::size_t>(m_processModel->Shown());
        } else if (m_socketModel != nullptr) {
            m_socketModel->SetFilter(m_viewFilter);
            m_shownLines = m_socketModel->Table().Shown();
        }
    } else {
        FilterTree();
    }
    ShowCounts();
}

QString CNetworkDataView::FilterText() const { return m_wndFilter != nullptr ? m_wndFilter->Text() : QString(); }

void CNetworkDataView::SetFilterText(const QString& text) {
    if (m_wndFilter != nullptr) m_wndFilter->SetText(text);
}

void CNetworkDataView::SetQuickToggles(const sockets::QuickToggles& toggles) {
    m_quick = toggles;
    if (HasTableView()) ComposeFilter();
}

void CNetworkDataView::ComposeFilter() {
    const bool quick = m_quick.hideListening || m_quick.hideTimeWait || m_quick.hideLoopback;
    const bool expression = m_expression && !m_expression->IsEmpty();
    if (!quick && !expression) {
        SetRecordFilter({});
        return;
    }
    SetRecordFilter([filter = m_expression, toggles = m_quick, expression](const sockets::Record& r) {
        return sockets::PassesQuickToggles(r, toggles) && (!expression || filter->Matches(r));
    });
}

void CNetworkDataView::ShowCounts() {
    if (m_wndFilter != nullptr) m_wndFilter->SetCounts(m_shownLines, TotalLines());
    if (m_wndStatus != nullptr) SetStatusCounts(m_shownLines, TotalLines(), CountByState());
}

void CNetworkDataView::SetMarkColours(const QColor& added, const QColor& changed, const QColor& closed) {
    m_markColours[0] = added;
    m_markColours[1] = changed;
    m_markColours[2] = closed;
    if (m_wndTree != nullptr) m_wndTree->SetMarkColours(added, changed, closed);
    if (m_wndTable != nullptr) m_wndTable->SetMarkColours(added, changed, closed);
}

void CNetworkDataView::SocketLinesChanged(const std::vector<sockets::Edit>* edits,
                                          const std::vector<sockets::RecordPtr>& records) {
    m_lineRecords = records;
    if (m_bTableView && m_socketModel != nullptr) {
        if (edits != nullptr)
            m_socketModel->Apply(*edits, records.size(), records);
        else
            m_socketModel->Reset(records);
        m_shownLines = m_socketModel->Table().Shown();
    } else if (m_bTableView) {
        FillTable();
    } else if (m_viewFilter) {
        FilterTree();
    } else {
        m_shownLines = m_lineRecords.size();
    }
    ShowCounts();
}

void CNetworkDataView::LogLinesChanged(bool fresh, std::size_t dropped, const std::vector<sockets::RecordPtr>& added) {
    if (fresh) m_logRecords.clear();
    for (std::size_t i = 0; i < dropped && !m_logRecords.empty(); ++i) m_logRecords.pop_front();
    m_logRecords.insert(m_logRecords.end(), added.begin(), added.end());
    if (m_bTableView && m_socketModel != nullptr) {
        if (fresh) m_socketModel->Reset({});
        m_socketModel->AppendAndDrop(fresh ? 0 : dropped, added);
        m_shownLines = m_socketModel->Table().Shown();
    } else if (m_viewFilter) {
        FilterTree();
    } else {
        m_shownLines = m_logRecords.size();
    }
    ShowCounts();
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

void CNetworkDataView::CountStatus(const sockets::Summary* /*summary*/) {
    // After a refresh: the lines were shown now.
    m_status.refreshedMs = QDateTime::currentMSecsSinceEpoch();
    ShowCounts();
}

std::map<std::string, std::size_t> CNetworkDataView::CountByState() const {
    // From the records of the lines the filter shows: a socket's by its
    // state (a closed line's "CLOSED"), a listening port's by its protocol,
    // a log event's by what happened, a process's by its sockets' states.
    // Counted by number, named once: this runs on every refresh.
    constexpr std::size_t kStates = 13;  // 1 CLOSED ... 12 DELETE_TCB; 0 none
    std::size_t states[kStates] = {};
    std::size_t protocols[4] = {};
    std::map<std::string, std::size_t> by;
    const auto state = [&states](const sockets::Record& r) {
        const std::uint32_t s = r.closed ? 1u : r.state;
        if (s < kStates && (r.table == sockets::Table::Tcp || r.table == sockets::Table::Tcp6 || r.closed))
            ++states[s];
    };
    const auto count = [&](const sockets::Record& r) {
        if (m_viewFilter && !m_viewFilter(r)) return;
        if (m_nKind == kKindListeningPorts) {
            ++protocols[static_cast<std::size_t>(r.table) % 4];
        } else if (m_nKind == kKindConnectionLog) {
            ++by[r.event];
        } else if (r.kind == sockets::Record::Kind::Process) {
            for (const sockets::RecordPtr& socket : r.children)
                if (socket) state(*socket);
        } else {
            state(r);
        }
    };
    if (m_nKind == kKindConnectionLog) {
        for (const sockets::RecordPtr& r : m_logRecords)
            if (r) count(*r);
    } else {
        for (const sockets::RecordPtr& r : m_lineRecords)
            if (r) count(*r);
    }
    for (std::uint32_t s = 1; s < kStates; ++s)
        if (states[s] != 0) by[sockets::StateText(s)] += states[s];
    for (std::size_t t = 0; t < 4; ++t)
        if (protocols[t] != 0) by[t == 0 || t == 2 ? "TCP" : "UDP"] += protocols[t];
    return by;
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
