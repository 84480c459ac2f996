// The report tree of a data pane: a tree control that the reports write
// through the eight report tree operations.
#pragma once

#include <QIcon>
#include <QTreeWidget>
#include <vector>

#include "ReportTree.h"

class CViewTree : public QTreeWidget, public ReportTree {
    Q_OBJECT
public:
    explicit CViewTree(QWidget* parent = nullptr);

    // The item images, by index of the pane's image strip.
    void SetImageList(std::vector<QIcon> images);

    void DeleteAllItems() override;
    void DeleteItem(HTREEITEM item) override;
    HTREEITEM AppendItem(HTREEITEM parent, std::u16string_view text, int image) override;
    void SetItemBold(HTREEITEM item) override;
    void SetItemText(HTREEITEM item, std::u16string_view text) override;
    HTREEITEM GetChildItem(HTREEITEM item) override;
    HTREEITEM GetNextSiblingItem(HTREEITEM item) override;
    void Expand(HTREEITEM item) override;

    static QTreeWidgetItem* ItemOf(HTREEITEM item) { return reinterpret_cast<QTreeWidgetItem*>(item); }
    static HTREEITEM HandleOf(QTreeWidgetItem* item) { return reinterpret_cast<HTREEITEM>(item); }

    // The width the column needs for every line shown (children of collapsed
    // items excluded), indentation and image included.
    int sizeHintForColumn(int column) const override;

protected:
    void changeEvent(QEvent* event) override;

private:
    int WidthOfShownLines() const;
    void ForgetWidth() { m_nWidthHint = -1; }
    QTreeWidgetItem* ParentOf(HTREEITEM parent);
    void ForgetSiblingWalk();

    std::vector<QIcon> m_images;
    // Updates walk a parent's children in order; remembering the position of
    // the last item handed out keeps each step constant-time.
    QTreeWidgetItem* m_pWalkItem = nullptr;
    int m_nWalkIndex = -1;
    // The column width last worked out, -1 when the lines have changed since.
    mutable int m_nWidthHint = -1;
    mutable int m_nFixedPitch = -1;  // whether the font is fixed-pitch; -1 not yet known
};
