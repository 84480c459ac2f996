#include "CViewTree.h"

#include <QEvent>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QtMath>
#include <QHeaderView>
#include <QStyledItemDelegate>
#include <algorithm>
#include <utility>
#include <vector>

namespace {
QString ToQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace

CViewTree::CViewTree(QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(1);
    setHeaderHidden(true);
    setRootIsDecorated(true);  // buttons and lines at the root
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setContextMenuPolicy(Qt::NoContextMenu);
    header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // Where the font is not fixed-pitch, the column's width comes from the
    // rows in view: laying out the text of every line of a 10,000-socket
    // report would cost more than the report itself.
    header()->setResizeContentsPrecision(0);
    header()->setStretchLastSection(false);
    // The pane draws the frame around its tree.
    setFrameShape(QFrame::NoFrame);
    connect(this, &QTreeWidget::itemExpanded, this, [this] { ForgetWidth(); });
    connect(this, &QTreeWidget::itemCollapsed, this, [this] { ForgetWidth(); });
}

int CViewTree::sizeHintForColumn(int column) const {
    if (m_nFixedPitch < 0) m_nFixedPitch = QFontInfo(font()).fixedPitch() ? 1 : 0;
    if (column != 0 || m_nFixedPitch == 0) return QTreeWidget::sizeHintForColumn(column);
    if (m_nWidthHint < 0) m_nWidthHint = WidthOfShownLines();
    return m_nWidthHint;
}

// In a fixed-pitch font a line of Latin-1 text is its length times one
// advance, so every shown line is measured without laying its text out;
// other lines (a process name in another script, say) are measured.  What
// the delegate adds around the text (image, margins) is the same for every
// line and is taken from the first.
int CViewTree::WidthOfShownLines() const {
    QTreeWidgetItem* root = invisibleRootItem();
    if (root->childCount() == 0) return 0;
    QFont bold = font();
    bold.setBold(true);
    // Advances are fractional: a line's width is rounded up once, not each
    // character's.
    const QFontMetricsF normalMetrics(font());
    const QFontMetricsF boldMetrics(bold);
    const qreal normalAdvance = normalMetrics.horizontalAdvance(QLatin1Char('0'));
    const qreal boldAdvance = boldMetrics.horizontalAdvance(QLatin1Char('0'));
    const auto textWidth = [&](const QTreeWidgetItem* item) {
        const QString text = item->text(0);
        const bool isBold = item->font(0).bold();
        for (const QChar c : text) {
            if (c.unicode() > 0xFF || !c.isPrint())
                return qCeil((isBold ? boldMetrics : normalMetrics).horizontalAdvance(text));
        }
        return qCeil(static_cast<qreal>(text.size()) * (isBold ? boldAdvance : normalAdvance));
    };

    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QTreeWidgetItem* first = root->child(0);
    const int around = itemDelegate()->sizeHint(option, indexFromItem(first)).width() - textWidth(first);
    const int step = indentation();
    const int rootIndent = rootIsDecorated() ? step : 0;

    int widest = 0;
    // Depth-first over the shown lines, without recursion.
    std::vector<std::pair<const QTreeWidgetItem*, int>> pending;  // item, next child
    pending.emplace_back(root, 0);
    while (!pending.empty()) {
        auto& [parent, next] = pending.back();
        if (next >= parent->childCount()) {
            pending.pop_back();
            continue;
        }
        const QTreeWidgetItem* item = parent->child(next++);
        const int depth = static_cast<int>(pending.size()) - 1;
        widest = std::max(widest, rootIndent + depth * step + around + textWidth(item));
        if (item->childCount() > 0 && item->isExpanded()) pending.emplace_back(item, 0);
    }
    return widest;
}

void CViewTree::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        ForgetWidth();
        m_nFixedPitch = -1;
    }
    QTreeWidget::changeEvent(event);
}

void CViewTree::SetImageList(std::vector<QIcon> images) { m_images = std::move(images); }

void CViewTree::ForgetSiblingWalk() {
    m_pWalkItem = nullptr;
    m_nWalkIndex = -1;
}

QTreeWidgetItem* CViewTree::ParentOf(HTREEITEM parent) {
    return parent == TVI_ROOT ? invisibleRootItem() : ItemOf(parent);
}

void CViewTree::DeleteAllItems() {
    ForgetSiblingWalk();
    ForgetWidth();
    clear();
}

void CViewTree::DeleteItem(HTREEITEM item) {
    if (item == nullptr) return;
    if (item == TVI_ROOT) {
        DeleteAllItems();
        return;
    }
    ForgetSiblingWalk();
    ForgetWidth();
    delete ItemOf(item);
}

HTREEITEM CViewTree::AppendItem(HTREEITEM parent, std::u16string_view text, int image) {
    QTreeWidgetItem* p = parent != nullptr ? ParentOf(parent) : nullptr;
    if (p == nullptr) return nullptr;
    ForgetWidth();
    auto* item = new QTreeWidgetItem;
    item->setText(0, ToQString(text));
    if (image >= 0 && static_cast<std::size_t>(image) < m_images.size()) item->setIcon(0, m_images[image]);
    p->addChild(item);
    return HandleOf(item);
}

void CViewTree::SetItemBold(HTREEITEM item) {
    if (item == nullptr || item == TVI_ROOT) return;
    ForgetWidth();
    QFont f = ItemOf(item)->font(0);
    f.setBold(true);
    ItemOf(item)->setFont(0, f);
}

void CViewTree::SetItemText(HTREEITEM item, std::u16string_view text) {
    if (item == nullptr || item == TVI_ROOT) return;
    const QString s = ToQString(text);
    if (ItemOf(item)->text(0) == s) return;
    ForgetWidth();
    ItemOf(item)->setText(0, s);
}

HTREEITEM CViewTree::GetChildItem(HTREEITEM item) {
    QTreeWidgetItem* p = item != nullptr ? ParentOf(item) : nullptr;
    if (p == nullptr || p->childCount() == 0) return nullptr;
    m_pWalkItem = p->child(0);
    m_nWalkIndex = 0;
    return HandleOf(m_pWalkItem);
}

HTREEITEM CViewTree::GetNextSiblingItem(HTREEITEM item) {
    if (item == nullptr || item == TVI_ROOT) return nullptr;
    QTreeWidgetItem* node = ItemOf(item);
    QTreeWidgetItem* parent = node->parent() != nullptr ? node->parent() : invisibleRootItem();
    int index = -1;
    if (node == m_pWalkItem && m_nWalkIndex >= 0 && m_nWalkIndex < parent->childCount() &&
        parent->child(m_nWalkIndex) == node)
        index = m_nWalkIndex;
    else
        index = parent->indexOfChild(node);
    if (index < 0 || index + 1 >= parent->childCount()) {
        ForgetSiblingWalk();
        return nullptr;
    }
    m_pWalkItem = parent->child(index + 1);
    m_nWalkIndex = index + 1;
    return HandleOf(m_pWalkItem);
}

void CViewTree::Expand(HTREEITEM item) {
    if (item == nullptr || item == TVI_ROOT) return;
    ForgetWidth();
    ItemOf(item)->setExpanded(true);
}
