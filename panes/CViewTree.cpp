#include "CViewTree.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QEvent>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <QStyle>
#include <QStyleOption>
#include <QTimerEvent>
#include <QToolTip>
#include <QtMath>
#include <algorithm>

#include "LineMarks.h"

namespace {

// Room left of the image, between image and text, and right of the text.
constexpr int kMargin = 3;
constexpr int kGap = 4;
constexpr int kMarkHalf = 5;  // half the size of an expand mark: the lines stop short of it
constexpr int kMarkColumnPad = 3;  // room either side of a line mark's glyph

QString ToQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The font of the line marks: the lines' font, bold and a quarter larger,
// so that a glyph as small as "~" reads at a glance.
QFont MarkFont(const QFont& lines) {
    QFont font = lines;
    font.setBold(true);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 1.25);
    else if (font.pixelSize() > 0)
        font.setPixelSize((font.pixelSize() * 5 + 3) / 4);
    return font;
}

}  // namespace

CViewTree::CViewTree(QWidget* parent) : QWidget(parent) {
    InstallViewTreeAccessibility();
    // The pane draws the frame around its tree; the lines lie on the base
    // colour.
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    setFocusPolicy(Qt::StrongFocus);
    setContextMenuPolicy(Qt::DefaultContextMenu);
}

void CViewTree::SetImageList(std::vector<QIcon> images) {
    m_images = std::move(images);
    update();
}

void CViewTree::setIconSize(const QSize& size) {
    m_iconSize = size;
    m_rowHeight = -1;
    Changed(true);
}

// ------------------------------------------------------- report operations

void CViewTree::DeleteAllItems() {
    m_items.DeleteAllItems();
    m_current = nullptr;
    m_anchor = nullptr;
    Changed(true);
}

void CViewTree::DeleteItem(HTREEITEM item) {
    if (item == nullptr) return;
    if (item == TVI_ROOT) {
        DeleteAllItems();
        return;
    }
    NoteTopLine();
    // The widest line known stays known unless this one may have been it.
    if (m_width >= 0 && (m_items.GetChildItem(item) != nullptr || ShownLineWidth(item) >= m_width)) m_width = -1;
    // The selection and the top line pass to a neighbour of the line that
    // goes: the next one, else the one before, else its parent.
    const auto neighbour = [this, item](HTREEITEM of) -> HTREEITEM {
        for (HTREEITEM up = of; up != nullptr; up = m_items.Parent(up)) {
            if (up != item) continue;
            if (HTREEITEM next = m_items.GetNextSiblingItem(item)) return next;
            HTREEITEM previous = nullptr;
            HTREEITEM parent = m_items.Parent(item);
            for (HTREEITEM c = m_items.GetChildItem(parent != nullptr ? parent : TVI_ROOT); c != nullptr && c != item;
                 c = m_items.GetNextSiblingItem(c))
                previous = c;
            return previous != nullptr ? previous : parent;
        }
        return of;
    };
    m_current = neighbour(m_current);
    m_anchor = neighbour(m_anchor);
    m_items.DeleteItem(item);
    Changed(true, false);
}

void CViewTree::NoteTopLine() {
    // The line shown at the top, when the lines are about to move under it.
    if (m_anchor == nullptr && m_rowsValid && !m_rows.empty()) {
        const std::size_t top = std::min(m_rows.size() - 1, static_cast<std::size_t>(std::max(0, Top() / RowHeight())));
        m_anchor = m_rows[top].item;
        m_anchorOffset = Top() - static_cast<int>(top) * RowHeight();
    }
}

int CViewTree::ShownLineWidth(HTREEITEM item) const {
    int depth = 0;
    if (m_items.IsHidden(item)) return -1;
    for (HTREEITEM up = m_items.Parent(item); up != nullptr; up = m_items.Parent(up), ++depth)
        if (!m_items.IsExpanded(up) || m_items.IsHidden(up)) return -1;
    return MarkColumnWidth() + (depth + 1) * kIndentation + kMargin + m_iconSize.width() + kGap +
           TextWidth(m_items.Text(item), m_items.IsBold(item)) + kMargin;
}

void CViewTree::Widened(HTREEITEM item) {
    if (m_width >= 0) m_width = std::max(m_width, ShownLineWidth(item));
}

HTREEITEM CViewTree::AppendItem(HTREEITEM parent, std::u16string_view text, int image) {
    HTREEITEM item = m_items.AppendItem(parent, text, image);
    if (item == nullptr) return nullptr;
    Changed(true, false);
    Widened(item);
    return item;
}

HTREEITEM CViewTree::InsertItem(HTREEITEM parent, HTREEITEM after, std::u16string_view text, int image) {
    NoteTopLine();
    HTREEITEM item = m_items.InsertItem(parent, after, text, image);
    if (item == nullptr) return nullptr;
    Changed(true, false);
    Widened(item);
    return item;
}

void CViewTree::SetItemBold(HTREEITEM item) {
    if (item == nullptr || item == TVI_ROOT || m_items.IsBold(item)) return;
    m_items.SetItemBold(item);
    Changed(false);
}

void CViewTree::SetItemText(HTREEITEM item, std::u16string_view text) {
    if (item == nullptr || item == TVI_ROOT || m_items.Text(item) == text) return;
    if (m_width >= 0 && ShownLineWidth(item) >= m_width) m_width = -1;
    m_items.SetItemText(item, text);
    Changed(false, false);
    Widened(item);
}

HTREEITEM CViewTree::GetChildItem(HTREEITEM item) { return m_items.GetChildItem(item); }

HTREEITEM CViewTree::GetNextSiblingItem(HTREEITEM item) { return m_items.GetNextSiblingItem(item); }

void CViewTree::Expand(HTREEITEM item) { SetExpanded(item, true); }

void CViewTree::SetItemExpandable(HTREEITEM item, bool expandable) {
    if (item == nullptr || item == TVI_ROOT || m_items.IsExpandable(item) == expandable) return;
    m_items.SetItemExpandable(item, expandable);
    update();
}

void CViewTree::SetItemMark(HTREEITEM item, LineMark mark) {
    if (item == nullptr || item == TVI_ROOT || m_items.Mark(item) == mark) return;
    m_items.SetItemMark(item, mark);
    Changed(false, false);
}

void CViewTree::SetHidden(const std::vector<HTREEITEM>& items, const std::vector<bool>& hidden) {
    bool changed = false;
    for (std::size_t i = 0; i < items.size() && i < hidden.size(); ++i) {
        if (items[i] == nullptr || m_items.IsHidden(items[i]) == hidden[i]) continue;
        m_items.SetHidden(items[i], hidden[i]);
        changed = true;
    }
    if (!changed) return;
    NoteTopLine();
    Changed(true);
}

void CViewTree::SetMarkColours(const QColor& added, const QColor& changed, const QColor& closed) {
    m_markColours[0] = added;
    m_markColours[1] = changed;
    m_markColours[2] = closed;
    update();
}

// ------------------------------------------------------------ the user's

HTREEITEM CViewTree::Child(HTREEITEM item, std::size_t n) const {
    auto& items = const_cast<MemoryTree&>(m_items);
    HTREEITEM child = items.GetChildItem(item);
    for (; child != nullptr && n > 0; --n) child = items.GetNextSiblingItem(child);
    return child;
}

void CViewTree::SetExpanded(HTREEITEM item, bool expanded) {
    if (item == nullptr || item == TVI_ROOT || m_items.IsExpanded(item) == expanded) return;
    if (expanded) {
        // An item whose children are written on demand gets them now.
        if (m_items.GetChildItem(item) == nullptr && m_items.IsExpandable(item)) {
            emit childrenWanted(reinterpret_cast<quintptr>(item));
            if (m_items.GetChildItem(item) == nullptr) return;
        }
        m_items.Expand(item);
    } else {
        m_items.Collapse(item);
        // A selected line inside the closed item gives its place to the item.
        for (HTREEITEM up = m_current != nullptr ? m_items.Parent(m_current) : nullptr; up != nullptr;
             up = m_items.Parent(up)) {
            if (up == item) {
                m_current = item;
                break;
            }
        }
    }
    Changed(true);
}

void CViewTree::SetCurrentItem(HTREEITEM item) {
    if (item == TVI_ROOT) item = nullptr;
    m_current = item;
    const int row = RowOf(item);
    if (row >= 0) EnsureVisible(row);
    update();
}

QRect CViewTree::ItemRect(HTREEITEM item) {
    const int row = RowOf(item);
    if (row < 0) return {};
    const Row& r = Rows()[static_cast<std::size_t>(row)];
    const int x = Origin() + (r.depth + 1) * kIndentation;
    const int width = kMargin + m_iconSize.width() + kGap + TextWidth(m_items.Text(item), m_items.IsBold(item)) + kMargin;
    return QRect(x, row * RowHeight() - Top(), width, RowHeight());
}

// --------------------------------------------------------------- commands

void CViewTree::CopySelection() {
    if (m_current == nullptr) return;
    QGuiApplication::clipboard()->setText(QString::fromStdString(m_items.Print(m_current)));
}

void CViewTree::CopyAll() { QGuiApplication::clipboard()->setText(QString::fromStdString(m_items.Print())); }

void CViewTree::ExpandAll() { SetAllExpanded(true); }

void CViewTree::AddMenuAction(QAction* action) {
    m_extraActions.push_back(action);
    if (m_pMenu != nullptr) {
        if (m_extraActions.size() == 1) m_pMenu->addSeparator();
        m_pMenu->addAction(action);
    }
}

void CViewTree::CollapseAll() { SetAllExpanded(false); }

void CViewTree::SetAllExpanded(bool expanded) {
    // Every item once, without recursion.
    std::vector<HTREEITEM> pending;
    if (HTREEITEM first = m_items.GetChildItem(TVI_ROOT)) pending.push_back(first);
    while (!pending.empty()) {
        const HTREEITEM item = pending.back();
        pending.pop_back();
        if (HTREEITEM next = m_items.GetNextSiblingItem(item)) pending.push_back(next);
        if (expanded && m_items.GetChildItem(item) == nullptr && m_items.IsExpandable(item)) emit childrenWanted(reinterpret_cast<quintptr>(item));
        if (HTREEITEM child = m_items.GetChildItem(item)) {
            if (expanded)
                m_items.Expand(item);
            else
                m_items.Collapse(item);
            pending.push_back(child);
        }
    }
    // With every item closed the selection goes up to its top-level line.
    if (!expanded && m_current != nullptr) {
        while (HTREEITEM parent = m_items.Parent(m_current)) m_current = parent;
    }
    Changed(true);
    if (m_current != nullptr) SetCurrentItem(m_current);
}

void CViewTree::ShowContextMenu(const QPoint& globalPos) {
    if (m_pMenu == nullptr) {
        m_pMenu = new QMenu(this);
        m_pCopy = m_pMenu->addAction(tr("Copy"), this, &CViewTree::CopySelection);
        m_pCopy->setShortcut(QKeySequence::Copy);
        m_pCopy->setShortcutContext(Qt::WidgetShortcut);  // the tree's own key press copies
        m_pCopy->setShortcutVisibleInContextMenu(true);
        m_pMenu->addAction(tr("Copy All"), this, &CViewTree::CopyAll);
        m_pMenu->addSeparator();
        m_pMenu->addAction(tr("Expand All"), this, &CViewTree::ExpandAll);
        m_pMenu->addAction(tr("Collapse All"), this, &CViewTree::CollapseAll);
        if (!m_extraActions.empty()) m_pMenu->addSeparator();
        for (QAction* action : m_extraActions) m_pMenu->addAction(action);
    }
    m_pCopy->setEnabled(m_current != nullptr);
    m_pMenu->popup(globalPos);
}

// Under the selected line's text when it is in view, else at the top left
// of the lines.
QPoint CViewTree::KeyboardMenuPos() {
    const QRect area = Area();
    const QRect line = ItemRect(m_current);
    if (!line.isEmpty() && area.intersects(line)) {
        const QPoint at(line.left() + kMargin + m_iconSize.width() + kGap, line.bottom());
        return QPoint(std::clamp(at.x(), area.left(), area.right()), std::clamp(at.y(), area.top(), area.bottom()));
    }
    return area.topLeft();
}

void CViewTree::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
    // The windowing system may follow the Menu key, already handled, with a
    // context menu event of its own.
    if (m_pMenu != nullptr && m_pMenu->isVisible()) return;
    const QPoint at = event->reason() == QContextMenuEvent::Mouse ? event->pos() : KeyboardMenuPos();
    ShowContextMenu(mapToGlobal(at));
}

// A line whose text does not fit in the visible width, measured in the
// tree's font, shows its whole text while the pointer rests on it.
void CViewTree::ShowLineTip(QHelpEvent* event) {
    const QRect area = Area();
    const QPoint at = event->pos();
    const int row = area.contains(at) ? RowAt(at.y()) : -1;
    if (row >= 0) {
        const Row r = Rows()[static_cast<std::size_t>(row)];
        const std::u16string& text = m_items.Text(r.item);
        const int left = Origin() + (r.depth + 1) * kIndentation + kMargin + m_iconSize.width() + kGap;
        const int right = left + TextWidth(text, m_items.IsBold(r.item));
        // Cut off at either edge: the left one is the mark column's.
        if (!text.empty() && (left < area.left() + MarkColumnWidth() || right > area.right() + 1)) {
            const QRect line(area.left(), row * RowHeight() - Top(), area.width(), RowHeight());
            QToolTip::showText(event->globalPos(), ToQString(text), this, line);
            return;
        }
    }
    QToolTip::hideText();
    event->ignore();
}

bool CViewTree::event(QEvent* event) {
    switch (event->type()) {
        case QEvent::ShortcutOverride:
            // Ctrl+C copies from the tree even where the window has a
            // shortcut on the same keys.
            if (static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
                event->accept();
                return true;
            }
            break;
        case QEvent::ToolTip: ShowLineTip(static_cast<QHelpEvent*>(event)); return true;
        default: break;
    }
    return QWidget::event(event);
}

// ------------------------------------------------------------------ lines

const std::vector<CViewTree::Row>& CViewTree::Rows() {
    if (m_rowsValid) return m_rows;
    m_rows.clear();
    m_rowIndex.clear();
    // Depth-first, without recursion: the next sibling waits under the
    // first child.
    std::vector<Row> pending;
    if (HTREEITEM first = m_items.GetChildItem(TVI_ROOT)) pending.push_back({first, 0});
    while (!pending.empty()) {
        const Row row = pending.back();
        pending.pop_back();
        if (HTREEITEM next = m_items.GetNextSiblingItem(row.item)) pending.push_back({next, row.depth});
        if (m_items.IsHidden(row.item)) continue;
        m_rows.push_back(row);
        if (m_items.IsExpanded(row.item)) {
            if (HTREEITEM child = m_items.GetChildItem(row.item)) pending.push_back({child, row.depth + 1});
        }
    }
    m_rowsValid = true;
    return m_rows;
}

// Looked up in an index of the shown lines, made on the first question
// after they change: assistive tools ask it of every line they look at.
int CViewTree::RowOf(HTREEITEM item) {
    if (item == nullptr) return -1;
    const std::vector<Row>& rows = Rows();
    if (m_rowIndex.empty() && !rows.empty()) {
        m_rowIndex.reserve(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) m_rowIndex.emplace(rows[i].item, static_cast<int>(i));
    }
    const auto it = m_rowIndex.find(item);
    return it == m_rowIndex.end() ? -1 : it->second;
}

int CViewTree::RowAt(int y) {
    if (y < 0) return -1;
    const int row = (y + Top()) / RowHeight();
    return row < static_cast<int>(Rows().size()) ? row : -1;
}

int CViewTree::RowHeight() const {
    if (m_rowHeight < 0) {
        QFont bold = font();
        bold.setBold(true);
        const int text = std::max(QFontMetrics(font()).height(), QFontMetrics(bold).height());
        m_rowHeight = std::max(text, m_iconSize.height()) + 2;
    }
    return m_rowHeight;
}

void CViewTree::Changed(bool lines, bool width) {
    if (lines) m_rowsValid = false;
    if (width) m_width = -1;
    update();
    // The scroll bars follow once the report has finished its changes (a
    // timer of this object's own, stopped with it).
    if (m_nScrollBarTimer == 0) m_nScrollBarTimer = startTimer(0);
}

void CViewTree::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_nScrollBarTimer) return QWidget::timerEvent(event);
    FollowChanges();
}

bool CViewTree::ShowsEnd() const {
    return m_pVertical == nullptr || m_pVertical->isHidden() || m_pVertical->value() >= m_pVertical->maximum();
}

void CViewTree::ScrollToEndAfterChanges() {
    m_scrollToEnd = true;
    if (m_nScrollBarTimer == 0) m_nScrollBarTimer = startTimer(0);
}

void CViewTree::FollowChanges() {
    if (m_nScrollBarTimer != 0) killTimer(m_nScrollBarTimer);
    m_nScrollBarTimer = 0;
    UpdateScrollBars();
    if (m_scrollToEnd) {
        m_scrollToEnd = false;
        m_anchor = nullptr;
        if (m_pVertical != nullptr) m_pVertical->setValue(m_pVertical->maximum());
        return;
    }
    // The line that was at the top stays there: lines inserted or removed
    // above it move the view with them.
    if (m_anchor != nullptr) {
        // Found by a walk of the lines: an index of 20,000 would cost more.
        const std::vector<Row>& rows = Rows();
        const auto at = std::find_if(rows.begin(), rows.end(), [this](const Row& r) { return r.item == m_anchor; });
        const int row = at != rows.end() ? static_cast<int>(at - rows.begin()) : -1;
        if (row >= 0 && m_pVertical != nullptr) m_pVertical->setValue(row * RowHeight() + m_anchorOffset);
        m_anchor = nullptr;
    }
}

// In a fixed-pitch font a line of Latin-1 text is its length times one
// advance, so every shown line is measured without laying its text out;
// other lines (a process name in another script, say) are measured.
int CViewTree::TextWidth(const std::u16string& text, bool bold) const {
    if (m_fixedPitch < 0) {
        auto* self = const_cast<CViewTree*>(this);
        QFont boldFont = font();
        boldFont.setBold(true);
        self->m_fixedPitch = QFontInfo(font()).fixedPitch() ? 1 : 0;
        self->m_advance = QFontMetricsF(font()).horizontalAdvance(QLatin1Char('0'));
        self->m_boldAdvance = QFontMetricsF(boldFont).horizontalAdvance(QLatin1Char('0'));
    }
    const bool plain = m_fixedPitch == 1 && std::all_of(text.begin(), text.end(), [](char16_t c) {
                           return c >= 0x20 && c <= 0xFF && c != 0x7F && !(c >= 0x80 && c < 0xA0);
                       });
    // Advances are fractional: a line's width is rounded up once, not each
    // character's.
    if (plain) return qCeil(static_cast<qreal>(text.size()) * (bold ? m_boldAdvance : m_advance));
    QFont f = font();
    f.setBold(bold);
    return qCeil(QFontMetricsF(f).horizontalAdvance(ToQString(text)));
}

int CViewTree::ContentWidth() {
    if (m_width >= 0) return m_width;
    int widest = 0;
    for (const Row& row : Rows()) {
        const int width = MarkColumnWidth() + (row.depth + 1) * kIndentation + kMargin + m_iconSize.width() + kGap +
                          TextWidth(m_items.Text(row.item), m_items.IsBold(row.item)) + kMargin;
        widest = std::max(widest, width);
    }
    m_width = widest;
    return m_width;
}

int CViewTree::MarkColumnWidth() const {
    if (m_markWidth < 0) {
        const QFontMetricsF metrics(MarkFont(font()));
        qreal widest = 0;
        for (const LineMark mark : {LineMark::New, LineMark::Changed, LineMark::Closed})
            widest = std::max(widest, metrics.horizontalAdvance(ToQString(LineMarkGlyph(mark))));
        m_markWidth = qCeil(widest) + 2 * kMarkColumnPad;
    }
    return m_markWidth;
}

int CViewTree::Top() const { return m_pVertical != nullptr ? m_pVertical->value() : 0; }
int CViewTree::Left() const { return m_pHorizontal != nullptr ? m_pHorizontal->value() : 0; }

QRect CViewTree::Area() const {
    QRect area = rect();
    if (m_pVertical != nullptr && !m_pVertical->isHidden()) area.setRight(m_pVertical->x() - 1);
    if (m_pHorizontal != nullptr && !m_pHorizontal->isHidden()) area.setBottom(m_pHorizontal->y() - 1);
    return area;
}

// The scroll bars are made when the lines first outgrow the tree, and
// hidden while they fit: most trees never need one or both.
void CViewTree::UpdateScrollBars() {
    const int extent = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    const int height = static_cast<int>(Rows().size()) * RowHeight();
    const int width = ContentWidth();
    bool vertical = height > this->height();
    const bool horizontal = width > this->width() - (vertical ? extent : 0);
    vertical = vertical || (horizontal && height > this->height() - extent);
    const QSize area(this->width() - (vertical ? extent : 0), this->height() - (horizontal ? extent : 0));

    const auto place = [this](QScrollBar*& bar, Qt::Orientation orientation, bool needed, const QRect& geometry,
                              int range, int page) {
        if (!needed) {
            if (bar != nullptr) {
                bar->setRange(0, 0);
                bar->hide();
            }
            return;
        }
        if (bar == nullptr) {
            bar = new QScrollBar(orientation, this);
            connect(bar, &QScrollBar::valueChanged, this, [this] { update(); });
        }
        bar->setGeometry(geometry);
        bar->setSingleStep(RowHeight());
        bar->setPageStep(page);
        bar->setRange(0, range);
        bar->show();
    };
    place(m_pVertical, Qt::Vertical, vertical, QRect(area.width(), 0, extent, area.height()),
          std::max(0, height - area.height()), area.height());
    place(m_pHorizontal, Qt::Horizontal, horizontal, QRect(0, area.height(), area.width(), extent),
          std::max(0, width - area.width()), area.width());
}

void CViewTree::EnsureVisible(int row) {
    UpdateScrollBars();
    if (m_pVertical == nullptr) return;
    const int top = row * RowHeight();
    const int bottom = top + RowHeight();
    if (top < m_pVertical->value())
        m_pVertical->setValue(top);
    else if (bottom > m_pVertical->value() + Area().height())
        m_pVertical->setValue(bottom - Area().height());
}

// ----------------------------------------------------------------- events

void CViewTree::paintEvent(QPaintEvent*) {
    if (m_nScrollBarTimer != 0) FollowChanges();
    QPainter painter(this);
    const std::vector<Row>& rows = Rows();
    if (rows.empty()) return;
    const int rowHeight = RowHeight();
    const int top = Top();
    const int origin = Origin();
    const QRect area = Area();
    // The lines scroll across under the mark column, which stays put.
    const int markWidth = MarkColumnWidth();
    const QRect lineArea = area.adjusted(std::min(markWidth, area.width()), 0, 0, 0);
    const QRect markArea(area.left(), area.top(), lineArea.left() - area.left(), area.height());
    painter.setClipRect(lineArea);
    const std::size_t first = static_cast<std::size_t>(std::max(0, top / rowHeight));
    const std::size_t last =
        std::min(rows.size() - 1, static_cast<std::size_t>((top + area.height()) / rowHeight));
    QFont bold = font();
    bold.setBold(true);
    const QFontMetrics normalMetrics(font());
    const QFontMetrics boldMetrics(bold);
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;

    // Dotted lines join each line to its parent and its siblings, also at
    // the top level; the expand marks sit on them.
    QPen linePen(palette().color(QPalette::Text), 1, Qt::DotLine);
    linePen.setCosmetic(true);
    QColor lineColour = palette().color(QPalette::Text);
    lineColour.setAlphaF(0.5f);
    linePen.setColor(lineColour);
    const HTREEITEM firstTop = rows.front().item;
    const auto drawLines = [&](const Row& row, int y) {
        const int mid = y + rowHeight / 2;
        const int centre = origin + row.depth * kIndentation + kIndentation / 2;
        const int mark = m_items.HasChildren(row.item) ? kMarkHalf : 0;
        painter.setPen(linePen);
        const bool above = m_items.Parent(row.item) != nullptr || row.item != firstTop;
        const bool below = m_items.GetNextSiblingItem(row.item) != nullptr;
        if (above) painter.drawLine(centre, y, centre, mid - mark);
        if (below) painter.drawLine(centre, mid + mark, centre, y + rowHeight - 1);
        painter.drawLine(centre + mark, mid, origin + (row.depth + 1) * kIndentation + kMargin - 1, mid);
        // The lines of the ancestors that have siblings further down pass by.
        int depth = row.depth - 1;
        for (HTREEITEM up = m_items.Parent(row.item); up != nullptr && depth >= 0; up = m_items.Parent(up), --depth) {
            if (m_items.GetNextSiblingItem(up) == nullptr) continue;
            const int x = origin + depth * kIndentation + kIndentation / 2;
            painter.drawLine(x, y, x, y + rowHeight - 1);
        }
    };

    QStyleOption branch;
    branch.initFrom(this);
    for (std::size_t i = first; i <= last && i < rows.size(); ++i) {
        const Row& row = rows[i];
        const int y = static_cast<int>(i) * rowHeight - top;
        int x = origin + row.depth * kIndentation;
        HTREEITEM item = row.item;
        drawLines(row, y);
        if (m_items.HasChildren(item)) {
            branch.rect = QRect(x, y, kIndentation, rowHeight);
            branch.state = QStyle::State_Item | QStyle::State_Children;
            if (isEnabled()) branch.state |= QStyle::State_Enabled;
            if (m_items.IsExpanded(item)) branch.state |= QStyle::State_Open;
            if (m_items.GetNextSiblingItem(item) != nullptr) branch.state |= QStyle::State_Sibling;
            style()->drawPrimitive(QStyle::PE_IndicatorBranch, &branch, &painter, this);
        }
        x += kIndentation;

        const std::u16string& text = m_items.Text(item);
        const bool isBold = m_items.IsBold(item);
        const bool selected = item == m_current;
        const int textWidth = TextWidth(text, isBold);
        if (selected) {
            painter.fillRect(QRect(x, y, kMargin + m_iconSize.width() + kGap + textWidth + kMargin, rowHeight),
                             palette().brush(group, QPalette::Highlight));
        }
        const int image = m_items.Image(item);
        if (image >= 0 && static_cast<std::size_t>(image) < m_images.size()) {
            m_images[static_cast<std::size_t>(image)].paint(
                &painter, QRect(x + kMargin, y + (rowHeight - m_iconSize.height()) / 2, m_iconSize.width(),
                                m_iconSize.height()));
        }
        const QFontMetrics& metrics = isBold ? boldMetrics : normalMetrics;
        painter.setFont(isBold ? bold : font());
        // A selected line keeps the selection's text colour: the highlight
        // behind it already sets it apart, and its mark shows in the mark
        // column.
        const LineMark mark = m_items.Mark(item);
        painter.setPen(selected ? palette().color(group, QPalette::HighlightedText)
                       : mark != LineMark::None ? m_markColours[static_cast<int>(mark) - 1]
                                                : palette().color(group, QPalette::Text));
        painter.drawText(QPoint(x + kMargin + m_iconSize.width() + kGap,
                                y + (rowHeight - metrics.height()) / 2 + metrics.ascent()),
                         ToQString(text));
        // The focus is marked on the current line, or on the first when
        // none is current, so that a keyboard user sees where keys go.
        if (hasFocus() && (selected || (m_current == nullptr && i == 0))) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            // Drawn however the focus came, not only by the keyboard.
            focus.state |= QStyle::State_KeyboardFocusChange | QStyle::State_HasFocus;
            focus.rect = QRect(x, y, kMargin + m_iconSize.width() + kGap + textWidth + kMargin, rowHeight);
            focus.backgroundColor = palette().color(group, selected ? QPalette::Highlight : QPalette::Base);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
        }
    }

    // The marks, each at its line's height on the base colour, selected or
    // not: the glyph in the mark's colour reads on the base in every look,
    // and tells the mark apart where the colour does not.
    if (markArea.isEmpty()) return;
    painter.setClipRect(markArea);
    const QFont markFont = MarkFont(font());
    const QFontMetrics markMetrics(markFont);
    painter.setFont(markFont);
    for (std::size_t i = first; i <= last && i < rows.size(); ++i) {
        const LineMark mark = m_items.Mark(rows[i].item);
        const QString glyph = ToQString(LineMarkGlyph(mark));
        if (glyph.isEmpty()) continue;
        const int y = static_cast<int>(i) * rowHeight - top;
        painter.setPen(m_markColours[static_cast<int>(mark) - 1]);
        painter.drawText(QPoint(area.left() + (markWidth - markMetrics.horizontalAdvance(glyph)) / 2,
                                y + (rowHeight - markMetrics.height()) / 2 + markMetrics.ascent()),
                         glyph);
    }
}

void CViewTree::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    UpdateScrollBars();
}

void CViewTree::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    UpdateScrollBars();
}

void CViewTree::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        m_fixedPitch = -1;
        m_rowHeight = -1;
        m_markWidth = -1;
        Changed(true);
    }
    QWidget::changeEvent(event);
}

void CViewTree::mousePressEvent(QMouseEvent* event) {
    const int row = RowAt(event->position().toPoint().y());
    // The right button selects the line its context menu is for.
    if (row >= 0 && event->button() == Qt::RightButton) {
        SetCurrentItem(Rows()[static_cast<std::size_t>(row)].item);
        return;
    }
    if (row < 0 || event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    const Row r = Rows()[static_cast<std::size_t>(row)];
    const int button = Origin() + r.depth * kIndentation;
    const int x = event->position().toPoint().x();
    // A button scrolled under the mark column is out of reach there.
    if (x >= std::max(button, MarkColumnWidth()) && x < button + kIndentation && m_items.HasChildren(r.item))
        SetExpanded(r.item, !m_items.IsExpanded(r.item));
    else
        SetCurrentItem(r.item);
}

void CViewTree::wheelEvent(QWheelEvent* event) {
    // Three lines a notch; sideways, or with Alt, the lines move across.
    const QPoint delta = event->angleDelta();
    const bool across = delta.x() != 0 || (event->modifiers() & Qt::AltModifier);
    QScrollBar* bar = across ? m_pHorizontal : m_pVertical;
    const int notches = (across && delta.x() == 0 ? delta.y() : across ? delta.x() : delta.y()) / 120;
    if (bar == nullptr || bar->isHidden() || notches == 0) return QWidget::wheelEvent(event);
    bar->setValue(bar->value() - notches * 3 * RowHeight());
    event->accept();
}

void CViewTree::mouseDoubleClickEvent(QMouseEvent* event) {
    const int row = RowAt(event->position().toPoint().y());
    if (row < 0 || event->button() != Qt::LeftButton) return QWidget::mouseDoubleClickEvent(event);
    const HTREEITEM item = Rows()[static_cast<std::size_t>(row)].item;
    SetCurrentItem(item);
    if (m_items.HasChildren(item)) SetExpanded(item, !m_items.IsExpanded(item));
}

void CViewTree::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Menu || (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier)) {
        ShowContextMenu(mapToGlobal(KeyboardMenuPos()));
        event->accept();
        return;
    }
    const std::vector<Row>& rows = Rows();
    if (rows.empty()) return QWidget::keyPressEvent(event);
    const int count = static_cast<int>(rows.size());
    const int current = RowOf(m_current);
    const int page = std::max(1, Area().height() / RowHeight() - 1);
    const auto moveTo = [this, &rows, count](int row) {
        SetCurrentItem(rows[static_cast<std::size_t>(std::clamp(row, 0, count - 1))].item);
    };
    const bool hasChildren = m_current != nullptr && m_items.HasChildren(m_current);
    switch (event->key()) {
        case Qt::Key_Down: moveTo(current < 0 ? 0 : current + 1); break;
        case Qt::Key_Up: moveTo(current < 0 ? 0 : current - 1); break;
        case Qt::Key_PageDown: moveTo(current < 0 ? 0 : current + page); break;
        case Qt::Key_PageUp: moveTo(current < 0 ? 0 : current - page); break;
        case Qt::Key_Home: moveTo(0); break;
        case Qt::Key_End: moveTo(count - 1); break;
        case Qt::Key_Left:
            if (hasChildren && m_items.IsExpanded(m_current))
                SetExpanded(m_current, false);
            else if (m_current != nullptr && m_items.Parent(m_current) != nullptr)
                SetCurrentItem(m_items.Parent(m_current));
            break;
        case Qt::Key_Right:
            if (hasChildren && !m_items.IsExpanded(m_current))
                SetExpanded(m_current, true);
            else if (hasChildren && m_items.GetChildItem(m_current) != nullptr)
                SetCurrentItem(m_items.GetChildItem(m_current));
            break;
        case Qt::Key_Plus:
            if (hasChildren) SetExpanded(m_current, true);
            break;
        case Qt::Key_Minus:
            if (hasChildren) SetExpanded(m_current, false);
            break;
        default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}
