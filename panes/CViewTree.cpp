#include "CViewTree.h"

#include <QHeaderView>

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
    // The column's width comes from the rows in view: laying out the text
    // of every line of a 10,000-socket report would cost more than the
    // report itself, and one report's lines share their layout.
    header()->setResizeContentsPrecision(0);
    header()->setStretchLastSection(false);
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
    clear();
}

void CViewTree::DeleteItem(HTREEITEM item) {
    if (item == nullptr) return;
    if (item == TVI_ROOT) {
        DeleteAllItems();
        return;
    }
    ForgetSiblingWalk();
    delete ItemOf(item);
}

HTREEITEM CViewTree::AppendItem(HTREEITEM parent, std::u16string_view text, int image) {
    QTreeWidgetItem* p = parent != nullptr ? ParentOf(parent) : nullptr;
    if (p == nullptr) return nullptr;
    auto* item = new QTreeWidgetItem;
    item->setText(0, ToQString(text));
    if (image >= 0 && static_cast<std::size_t>(image) < m_images.size()) item->setIcon(0, m_images[image]);
    p->addChild(item);
    return HandleOf(item);
}

void CViewTree::SetItemBold(HTREEITEM item) {
    if (item == nullptr || item == TVI_ROOT) return;
    QFont f = ItemOf(item)->font(0);
    f.setBold(true);
    ItemOf(item)->setFont(0, f);
}

void CViewTree::SetItemText(HTREEITEM item, std::u16string_view text) {
    if (item == nullptr || item == TVI_ROOT) return;
    const QString s = ToQString(text);
    if (ItemOf(item)->text(0) != s) ItemOf(item)->setText(0, s);
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
    if (item != nullptr && item != TVI_ROOT) ItemOf(item)->setExpanded(true);
}
