#include "CTableView.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDataStream>
#include <QGuiApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QIODevice>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <algorithm>

#include "CSocketTableModel.h"

namespace {

// What SaveState writes: a tag, a version, the number of columns, then per
// column (in the model's order) its place in the header, whether it is
// hidden and its width, then the sorted column (-1: none) and the order.
constexpr quint32 kStateTag = 0x54564331;  // "TVC1"
constexpr quint16 kStateVersion = 1;
constexpr int kMostColumns = 1024;
constexpr int kWidestColumn = 10000;
constexpr qsizetype StateSize(int columns) { return 4 + 2 + 2 + qsizetype(columns) * (2 + 1 + 2) + 2 + 1; }

const QString& MarkGlyph(sockets::Mark mark) {
    static const QString glyphs[] = {QString(), QStringLiteral("+"), QStringLiteral("~"), QString(QChar(0x00D7))};
    const auto i = static_cast<std::size_t>(mark);
    return i < std::size(glyphs) ? glyphs[i] : glyphs[0];
}

sockets::Mark MarkOf(const QModelIndex& index) {
    const QVariant value = index.data(CSocketTableModel::MarkRole);
    const int mark = value.isValid() ? value.toInt() : 0;
    return mark >= 0 && mark <= static_cast<int>(sockets::Mark::Closed) ? static_cast<sockets::Mark>(mark)
                                                                        : sockets::Mark::None;
}

}  // namespace

// Draws each cell: its background (and the selection) as the style does,
// then its text on one line, elided at the right where it does not fit, in
// the mark's colour on a marked row that is not selected; and before the
// first column shown the mark itself, in the mark's colour or in the
// selection's text colour on the selection, so that it reads on either.
// The text is drawn as a run of glyphs rather than laid out as a
// paragraph: a table of 20,000 rows repaints a screenful of cells at every
// refresh.
class CTableView::MarkDelegate : public QStyledItemDelegate {
public:
    explicit MarkDelegate(CTableView* view) : QStyledItemDelegate(view), m_view(view) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const sockets::Mark mark = MarkOf(index);
        QStyleOptionViewItem opt(option);
        opt.index = index;
        QStyle* style = m_view->style();
        const bool selected = (opt.state & QStyle::State_Selected) != 0;
        // The row's background is the view's; a cell draws the selection.
        if (selected) style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, m_view);
        const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (opt.state & QStyle::State_Active) ? QPalette::Active
                                                                                 : QPalette::Inactive;
        const QColor textColour = selected ? opt.palette.color(group, QPalette::HighlightedText)
                                  : mark != sockets::Mark::None ? m_view->MarkColour(mark)
                                                                : opt.palette.color(group, QPalette::Text);
        QRect rect = opt.rect;
        if (index.column() == m_view->FirstShownColumn()) {
            const int gutter = std::min(m_view->MarkWidth(), rect.width());
            if (mark != sockets::Mark::None) {
                painter->save();
                painter->setFont(m_view->MarkFont());
                painter->setPen(selected ? textColour : m_view->MarkColour(mark));
                painter->drawText(QRect(rect.left(), rect.top(), gutter, rect.height()), Qt::AlignCenter, MarkGlyph(mark));
                painter->restore();
            }
            rect.setLeft(rect.left() + gutter);
        }
        const QString text = index.data(Qt::DisplayRole).toString();
        if (!text.isEmpty()) {
            const QVariant aligned = index.data(Qt::TextAlignmentRole);
            const bool right = aligned.isValid() && (aligned.toInt() & Qt::AlignRight) != 0;
            const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_view) + 1;
            const QRect textRect = rect.adjusted(margin, 0, -margin, 0);
            const QFontMetrics& metrics = m_view->TextMetrics();
            QString shown = text;
            int width = m_view->TextWidth(shown);
            if (width > textRect.width()) {
                shown = metrics.elidedText(text, Qt::ElideRight, std::max(0, textRect.width()));
                width = metrics.horizontalAdvance(shown);
            }
            const int x = right ? textRect.right() + 1 - width : textRect.left();
            const int y = textRect.top() + (textRect.height() - metrics.height()) / 2 + metrics.ascent();
            // The painter has the view's font, which is the text font:
            // setting a font for each cell would look it up each time.
            const QPen pen = painter->pen();
            const bool ownFont = !(painter->font().styleStrategy() & QFont::PreferNoShaping);
            if (ownFont) {
                painter->save();
                painter->setFont(m_view->TextFont());
            }
            painter->setPen(textColour);
            painter->drawText(QPoint(x, y), shown);
            if (ownFont)
                painter->restore();
            else
                painter->setPen(pen);
        }
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (index.column() == m_view->FirstShownColumn()) size.rwidth() += m_view->MarkWidth();
        return size;
    }

    // A cell shows its whole text as a tooltip when it does not fit.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        if (event == nullptr || event->type() != QEvent::ToolTip || !index.isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        const QString text = index.data(Qt::DisplayRole).toString();
        const int margin = m_view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_view) + 1;
        int room = option.rect.width() - 2 * margin;
        if (index.column() == m_view->FirstShownColumn()) room -= m_view->MarkWidth();
        if (text.isEmpty() || option.fontMetrics.horizontalAdvance(text) <= room) {
            QToolTip::hideText();
            return true;
        }
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }

private:
    CTableView* m_view;
};

CTableView::CTableView(QWidget* parent)
    : QTreeView(parent), m_delegate(new MarkDelegate(this)), m_textMetrics(font()) {
    SetTextFont();
    setItemDelegate(m_delegate);
    setUniformRowHeights(true);
    setRootIsDecorated(false);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    // The view is kept on its rows by the pixel, not by the row.
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setTextElideMode(Qt::ElideRight);
    QHeaderView* head = header();
    head->setSectionsMovable(true);
    head->setSectionsClickable(true);
    head->setStretchLastSection(false);
    head->setSortIndicatorClearable(true);
    // Unsorted at first: the pane's order.
    head->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
    head->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(head, &QHeaderView::customContextMenuRequested, this, &CTableView::ShowHeaderMenu);
}

CTableView::~CTableView() {
    for (const QMetaObject::Connection& c : m_modelConnections) disconnect(c);
}

void CTableView::setModel(QAbstractItemModel* newModel) {
    for (const QMetaObject::Connection& c : m_modelConnections) disconnect(c);
    m_modelConnections.clear();
    m_anchor = QPersistentModelIndex();
    m_anchorNoted = false;
    // Connected before the view's own handlers, which forget the rows'
    // places as the rows change: the top row is noted while they know it.
    if (newModel != nullptr) {
        m_modelConnections.push_back(
            connect(newModel, &QAbstractItemModel::rowsAboutToBeInserted, this, [this] { NoteTopRow(); }));
        m_modelConnections.push_back(connect(newModel, &QAbstractItemModel::rowsAboutToBeRemoved, this,
                                             [this](const QModelIndex& parent, int first, int last) {
                                                 NoteTopRow();
                                                 // A top row that goes passes its place to the row after
                                                 // those that go, else to the one before them.
                                                 if (!m_anchor.isValid() || m_anchor.parent() != parent ||
                                                     m_anchor.row() < first || m_anchor.row() > last)
                                                     return;
                                                 const int rows = model()->rowCount(parent);
                                                 const int row = last + 1 < rows ? last + 1 : first - 1;
                                                 m_anchor = row >= 0 ? model()->index(row, m_anchor.column(), parent)
                                                                     : QModelIndex();
                                             }));
        m_modelConnections.push_back(
            connect(newModel, &QAbstractItemModel::layoutAboutToBeChanged, this, [this] { NoteTopRow(); }));
        m_modelConnections.push_back(connect(newModel, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
            m_anchor = QPersistentModelIndex();
            m_anchorNoted = false;
        }));
    }
    QTreeView::setModel(newModel);
    // A flat list's rows have no branch to open.
    setRootIsDecorated(qobject_cast<CSocketTableModel*>(newModel) == nullptr);
    SizeColumns();
}

void CTableView::SizeColumns() {
    if (model() == nullptr) return;
    const QFontMetrics metrics(font());
    const int margin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1) + 4;
    const int first = FirstShownColumn();
    for (int section = 0; section < header()->count(); ++section) {
        const QString sample = model()->headerData(section, Qt::Horizontal, CSocketTableModel::SampleRole).toString();
        int width = header()->sectionSizeHint(section);
        if (!sample.isEmpty())
            width = std::max(width, metrics.horizontalAdvance(sample) + margin + (section == first ? MarkWidth() : 0));
        header()->resizeSection(section, width);
    }
}

// ------------------------------------------------------------------ marks

void CTableView::SetTextFont() {
    // Latin texts need no shaping; others are shaped as they need.  The
    // view's own font says so, so that the cells are drawn in the font the
    // painter has (a font set anew is looked up anew).
    if (!(font().styleStrategy() & QFont::PreferNoShaping)) {
        QFont plain = font();
        plain.setStyleStrategy(QFont::StyleStrategy(plain.styleStrategy() | QFont::PreferNoShaping));
        setFont(plain);  // comes back here through the font change
        return;
    }
    m_textFont = font();
    m_textMetrics = QFontMetrics(m_textFont);
    m_markFont = m_textFont;
    m_markFont.setBold(true);
    const QFontMetrics bold(m_markFont);
    int widest = 0;
    for (sockets::Mark mark : {sockets::Mark::New, sockets::Mark::Changed, sockets::Mark::Closed})
        widest = std::max(widest, bold.horizontalAdvance(MarkGlyph(mark)));
    m_markWidth = widest + 6;
    m_textWidths.clear();
}

int CTableView::TextWidth(const QString& text) const {
    // A table shows the same texts over and over (addresses, ports,
    // states, process names): their widths are kept, up to a bound.
    constexpr qsizetype kMostWidths = 8192;
    const auto known = m_textWidths.constFind(text);
    if (known != m_textWidths.cend()) return *known;
    if (m_textWidths.size() >= kMostWidths) m_textWidths.clear();
    const int width = m_textMetrics.horizontalAdvance(text);
    m_textWidths.insert(text, width);
    return width;
}

void CTableView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) SetTextFont();
    QTreeView::changeEvent(event);
}

void CTableView::SetMarkColours(const QColor& added, const QColor& changed, const QColor& closed) {
    m_markColours[0] = added;
    m_markColours[1] = changed;
    m_markColours[2] = closed;
    viewport()->update();
}

QColor CTableView::MarkColour(sockets::Mark mark) const {
    const int i = static_cast<int>(mark) - 1;
    return i >= 0 && i < 3 ? m_markColours[i] : palette().color(QPalette::Text);
}

int CTableView::FirstShownColumn() const {
    const QHeaderView* head = header();
    for (int visual = 0; visual < head->count(); ++visual) {
        const int logical = head->logicalIndex(visual);
        if (!head->isSectionHidden(logical)) return logical;
    }
    return -1;
}

// ------------------------------------------------------------ the top row

void CTableView::NoteTopRow() {
    if (m_anchorNoted) return;
    m_anchorNoted = true;
    const QScrollBar* bar = verticalScrollBar();
    m_atEnd = bar->value() >= bar->maximum();
    const QModelIndex top = indexAt(QPoint(0, 0));
    m_anchor = top;
    m_anchorTop = top.isValid() ? visualRect(top).top() : 0;
    // Once the changes under way are done, before the view paints them
    // (a queued call comes before the window's low-priority update).
    QMetaObject::invokeMethod(this, &CTableView::KeepTopRow, Qt::QueuedConnection);
}

void CTableView::KeepTopRow() {
    if (!m_anchorNoted) return;
    m_anchorNoted = false;
    const QPersistentModelIndex anchor = m_anchor;
    m_anchor = QPersistentModelIndex();
    executeDelayedItemsLayout();
    QScrollBar* bar = verticalScrollBar();
    if (m_followsEnd && m_atEnd) {
        bar->setValue(bar->maximum());
        return;
    }
    if (!anchor.isValid()) return;
    const QRect rect = visualRect(anchor);
    if (rect.isValid() && rect.top() != m_anchorTop) bar->setValue(bar->value() + rect.top() - m_anchorTop);
}

// ------------------------------------------------------------ the columns

QByteArray CTableView::SaveState() const {
    const QHeaderView* head = header();
    const int count = std::min(head->count(), kMostColumns);
    QByteArray state;
    QDataStream out(&state, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << kStateTag << kStateVersion << static_cast<quint16>(count);
    for (int logical = 0; logical < count; ++logical) {
        const bool hidden = head->isSectionHidden(logical);
        const int width = hidden ? head->defaultSectionSize() : head->sectionSize(logical);
        out << static_cast<quint16>(head->visualIndex(logical)) << static_cast<quint8>(hidden ? 1 : 0)
            << static_cast<quint16>(std::clamp(width, 0, kWidestColumn));
    }
    const int sorted = head->isSortIndicatorShown() ? head->sortIndicatorSection() : -1;
    out << static_cast<qint16>(sorted >= 0 && sorted < count ? sorted : -1)
        << static_cast<quint8>(head->sortIndicatorOrder() == Qt::DescendingOrder ? 1 : 0);
    return state;
}

bool CTableView::RestoreState(const QByteArray& state) {
    // Settings are read as untrusted: every field is checked before any is
    // applied, and the header's own format is never read.
    QHeaderView* head = header();
    const int count = head->count();
    if (count <= 0 || count > kMostColumns || state.size() != StateSize(count)) return false;
    QDataStream in(state);
    in.setVersion(QDataStream::Qt_6_0);
    quint32 tag = 0;
    quint16 version = 0, columns = 0;
    in >> tag >> version >> columns;
    if (tag != kStateTag || version != kStateVersion || columns != count) return false;
    struct Section {
        int visual;
        bool hidden;
        int width;
    };
    std::vector<Section> sections(static_cast<std::size_t>(count));
    std::vector<int> logicalAt(static_cast<std::size_t>(count), -1);
    int shown = 0;
    for (int logical = 0; logical < count; ++logical) {
        quint16 visual = 0, width = 0;
        quint8 hidden = 0;
        in >> visual >> hidden >> width;
        if (visual >= count || logicalAt[visual] != -1 || hidden > 1 || width > kWidestColumn) return false;
        if (hidden == 0 && width < head->minimumSectionSize()) return false;
        logicalAt[visual] = logical;
        sections[static_cast<std::size_t>(logical)] = {visual, hidden != 0, width};
        shown += hidden == 0 ? 1 : 0;
    }
    qint16 sorted = 0;
    quint8 order = 0;
    in >> sorted >> order;
    if (in.status() != QDataStream::Ok || shown == 0 || sorted < -1 || sorted >= count || order > 1) return false;

    for (int visual = 0; visual < count; ++visual) {
        const int logical = logicalAt[static_cast<std::size_t>(visual)];
        const int from = head->visualIndex(logical);
        if (from != visual) head->moveSection(from, visual);
    }
    for (int logical = 0; logical < count; ++logical) {
        const Section& s = sections[static_cast<std::size_t>(logical)];
        head->setSectionHidden(logical, s.hidden);
        if (!s.hidden) head->resizeSection(logical, s.width);
    }
    // The model sorts as the indicator says.
    head->setSortIndicator(sorted, order == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
    return true;
}

void CTableView::ShowHeaderMenu(const QPoint& pos) {
    if (model() == nullptr) return;
    QHeaderView* head = header();
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    int shown = 0;
    for (int logical = 0; logical < head->count(); ++logical) shown += head->isSectionHidden(logical) ? 0 : 1;
    for (int visual = 0; visual < head->count(); ++visual) {
        const int logical = head->logicalIndex(visual);
        QAction* action = menu->addAction(model()->headerData(logical, Qt::Horizontal).toString());
        action->setCheckable(true);
        action->setChecked(!head->isSectionHidden(logical));
        // The last column shown stays.
        action->setEnabled(head->isSectionHidden(logical) || shown > 1);
        connect(action, &QAction::toggled, this, [this, logical](bool on) {
            header()->setSectionHidden(logical, !on);
            if (on && header()->sectionSize(logical) < header()->minimumSectionSize())
                header()->resizeSection(logical, header()->defaultSectionSize());
        });
    }
    menu->popup(head->viewport()->mapToGlobal(pos));
}

// --------------------------------------------------------------- the rows

sockets::RecordPtr CTableView::RecordAt(const QModelIndex& index) const {
    return index.isValid() ? index.data(CSocketTableModel::RecordRole).value<sockets::RecordPtr>() : nullptr;
}

sockets::Column CTableView::ColumnOf(int section) const {
    const QVariant column = model() != nullptr ? model()->headerData(section, Qt::Horizontal, CSocketTableModel::ColumnRole)
                                               : QVariant();
    const int value = column.isValid() ? column.toInt() : -1;
    return value >= 0 && static_cast<std::size_t>(value) < sockets::kColumnCount ? static_cast<sockets::Column>(value)
                                                                                  : sockets::Column::Protocol;
}

bool CTableView::RemoteEnd(const sockets::Record& record, int section) const {
    const bool hasRemote = record.remote.family != 0;
    switch (ColumnOf(section)) {
        case sockets::Column::RemoteAddress:
        case sockets::Column::RemotePort: return hasRemote;
        case sockets::Column::LocalAddress:
        case sockets::Column::LocalPort: return false;
        default: break;
    }
    constexpr std::uint32_t kListen = 2;
    if (!hasRemote || record.state == kListen) return false;
    return record.remotePort < record.localPort;
}

void CTableView::CopyAddress(const QModelIndex& index) {
    const sockets::RecordPtr record = RecordAt(index);
    if (!record) return;
    const sockets::Column column = ColumnOf(index.column());
    const bool local = column == sockets::Column::LocalAddress || column == sockets::Column::LocalPort ||
                       record->remote.family == 0;
    const std::string text = sockets::AddressText(local ? record->local : record->remote);
    if (!text.empty()) QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

void CTableView::CopyPid(const QModelIndex& index) {
    const sockets::RecordPtr record = RecordAt(index);
    if (record && record->pid != 0) QGuiApplication::clipboard()->setText(QString::number(record->pid));
}

void CTableView::CopyRows() {
    if (model() == nullptr || selectionModel() == nullptr) return;
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    const QHeaderView* head = header();
    for (const QModelIndex& row : rows) {
        QStringList cells;
        for (int visual = 0; visual < head->count(); ++visual) {
            const int logical = head->logicalIndex(visual);
            if (!head->isSectionHidden(logical)) cells << row.siblingAtColumn(logical).data().toString();
        }
        lines << cells.join(QLatin1Char('\t'));
    }
    if (!lines.isEmpty()) QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

void CTableView::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
    const bool mouse = event->reason() == QContextMenuEvent::Mouse;
    const QModelIndex index = mouse ? indexAt(event->pos()) : currentIndex();
    if (!index.isValid()) {
        // Away from the rows: the pane's commands alone.
        if (m_extraActions.empty()) return;
        auto* menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        for (QAction* action : m_extraActions) menu->addAction(action);
        menu->popup(mouse ? event->globalPos() : viewport()->mapToGlobal(QPoint(0, 0)));
        return;
    }
    if (mouse) setCurrentIndex(index);
    const sockets::RecordPtr record = RecordAt(index);
    const QPersistentModelIndex at(index);
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* process = menu->addAction(tr("Show Only This Process"));
    process->setEnabled(record && (record->pid != 0 || !record->process.empty()));
    connect(process, &QAction::triggered, this, [this, record] { emit showOnlyProcess(record); });
    QAction* port = menu->addAction(tr("Show Only This Port"));
    port->setEnabled(record && record->local.family != 0);
    const bool remote = record && RemoteEnd(*record, index.column());
    connect(port, &QAction::triggered, this, [this, record, remote] { emit showOnlyPort(record, remote); });
    menu->addSeparator();
    QAction* address = menu->addAction(tr("Copy Address"));
    address->setEnabled(record && (record->local.family != 0 || record->remote.family != 0));
    connect(address, &QAction::triggered, this, [this, at] { CopyAddress(at); });
    QAction* pid = menu->addAction(tr("Copy PID"));
    pid->setEnabled(record && record->pid != 0);
    connect(pid, &QAction::triggered, this, [this, at] { CopyPid(at); });
    if (!m_extraActions.empty()) menu->addSeparator();
    for (QAction* action : m_extraActions) menu->addAction(action);
    const QPoint where = mouse ? event->globalPos() : viewport()->mapToGlobal(visualRect(index).bottomLeft());
    menu->popup(where);
}

void CTableView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        CopyRows();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        contextMenuEvent(&menu);
        return;
    }
    QTreeView::keyPressEvent(event);
}
