// The report tree of a data pane: a tree control that the reports write
// through the eight report tree operations.  The lines are held in a
// MemoryTree and drawn straight onto the widget, with scroll bars made when
// the lines outgrow it: one line per row in a fixed-pitch font, each with
// an image and, for items with children, a button that opens and closes
// them.  A narrow column at the left edge, which stays put when the lines
// scroll across, shows the glyph of each line changed at the last refresh
// (LineMarks.h) in the mark's colour.  The user selects a line with the
// mouse or the keys, and opens and closes items by their button, a double
// click or the arrow, plus and minus keys.  Ctrl+C and the context menu
// (right button, Menu key, Shift+F10) copy lines as text and open or close
// every item; a line cut off at the edge shows its whole text as a tooltip.
#pragma once

#include <QColor>
#include <QIcon>
#include <QWidget>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "MemoryTree.h"

class QAction;
class QHelpEvent;
class QMenu;
class QScrollBar;
#include "ReportTree.h"

// Makes assistive tools see a report tree's shown lines as its items (done
// once, by the first tree).
void InstallViewTreeAccessibility();

class CViewTree : public QWidget, public ReportTree {
    Q_OBJECT
public:
    explicit CViewTree(QWidget* parent = nullptr);

    // The item images, by index of the pane's image strip, and their size.
    void SetImageList(std::vector<QIcon> images);
    void setIconSize(const QSize& size);
    QSize iconSize() const { return m_iconSize; }

    void DeleteAllItems() override;
    void DeleteItem(HTREEITEM item) override;
    HTREEITEM AppendItem(HTREEITEM parent, std::u16string_view text, int image) override;
    HTREEITEM InsertItem(HTREEITEM parent, HTREEITEM after, std::u16string_view text, int image) override;
    void SetItemBold(HTREEITEM item) override;
    void SetItemText(HTREEITEM item, std::u16string_view text) override;
    HTREEITEM GetChildItem(HTREEITEM item) override;
    HTREEITEM GetNextSiblingItem(HTREEITEM item) override;
    void Expand(HTREEITEM item) override;
    void SetItemMark(HTREEITEM item, LineMark mark) override;
    void SetItemExpandable(HTREEITEM item, bool expandable) override;
    bool IsExpandable(HTREEITEM item) const { return m_items.IsExpandable(item); }
    // The colours of lines marked new, changed and closed (the look's): of
    // their text and of their glyph in the mark column.
    void SetMarkColours(const QColor& added, const QColor& changed, const QColor& closed);
    // Whether the view shows the last line (or everything); a log that
    // grows at the end keeps following it from there.
    bool ShowsEnd() const;
    // Scrolls to the last line once the changes under way are done.
    void ScrollToEndAfterChanges();
    LineMark Mark(HTREEITEM item) const { return m_items.Mark(item); }
    // Hides the lines a filter leaves out (`hidden[i]` for `items[i]`) and
    // shows the others, in one change of the shown lines.
    void SetHidden(const std::vector<HTREEITEM>& items, const std::vector<bool>& hidden);
    bool IsHidden(HTREEITEM item) const { return m_items.IsHidden(item); }

    // What the user sees and does.
    HTREEITEM Child(HTREEITEM item, std::size_t n) const;  // the nth child, or null
    std::size_t ChildCount(HTREEITEM item) const { return m_items.ChildCount(item); }
    const std::u16string& Text(HTREEITEM item) const { return m_items.Text(item); }
    bool IsBold(HTREEITEM item) const { return m_items.IsBold(item); }
    int Image(HTREEITEM item) const { return m_items.Image(item); }
    bool IsExpanded(HTREEITEM item) const { return m_items.IsExpanded(item); }
    // Opens or closes an item, as its button does.
    void SetExpanded(HTREEITEM item, bool expanded);
    HTREEITEM CurrentItem() const { return m_current; }
    void SetCurrentItem(HTREEITEM item);
    // The line's rectangle in the viewport; empty when it is not shown.
    QRect ItemRect(HTREEITEM item);
    // The width every shown line needs (children of closed items excluded),
    // the mark column, indentation and image included.
    int ContentWidth();
    // The width of the mark column at the left edge: the widest glyph of
    // the marks' font (the lines' font, bold and a quarter larger) and a
    // little room either side.  Every tree has it, so that the
    // width a pane's lines need is known before any line is marked and the
    // lines never move when the first mark comes.
    int MarkColumnWidth() const;
    int RowHeight() const;
    static constexpr int kIndentation = 20;
    // The shown lines in order (children of closed items excluded): how
    // many, the item of each, and the row of an item (-1 when not shown).
    std::size_t ShownLineCount() { return Rows().size(); }
    HTREEITEM ShownLine(std::size_t row) { return row < Rows().size() ? Rows()[row].item : nullptr; }
    int RowOf(HTREEITEM item);
    int RowAt(int y);  // the row under y, -1 for none

    // The commands of the context menu.  Copy puts the selected line and
    // every line under it, open or closed, on the clipboard, two blanks of
    // indent per level below it (nothing without a selection); Copy All the
    // whole report as the command line prints it.
    void CopySelection();
    void CopyAll();
    void ExpandAll();
    void CollapseAll();
    // Adds a command of the pane's to the end of the context menu.
    void AddMenuAction(QAction* action);

signals:
    // The user opens an item whose children are written on demand and it
    // has none yet: the owner writes them before the item opens.  (The item
    // travels as a number: Qt's signals take no pointer to an opaque type.)
    void childrenWanted(quintptr item);

protected:
    bool event(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    struct Row {
        HTREEITEM item;
        int depth;
    };
    // The shown lines in order, made again after a change.
    const std::vector<Row>& Rows();
    // After a change: of the lines shown, and of what they may need in width.
    void Changed(bool lines, bool width = true);
    // Keeps the line at the top of the view in mind before lines move.
    void NoteTopLine();
    // The width a line needs, or -1 when it is not shown (a closed item
    // above it); and the widest width known grown by it.
    int ShownLineWidth(HTREEITEM item) const;
    void Widened(HTREEITEM item);
    void UpdateScrollBars();
    // The scroll bars and the view after a change of the lines.
    void FollowChanges();
    void EnsureVisible(int row);
    int Top() const;   // how far the lines are scrolled up
    int Left() const;  // and to the left
    // Where the top-level lines start in the viewport: right of the mark
    // column, less how far they are scrolled to the left.
    int Origin() const { return MarkColumnWidth() - Left(); }
    QRect Area() const;  // where the lines and the mark column show, the scroll bars excluded
    int TextWidth(const std::u16string& text, bool bold) const;
    void SetAllExpanded(bool expanded);
    void ShowContextMenu(const QPoint& globalPos);
    QPoint KeyboardMenuPos();  // where the Menu key opens the menu, in the tree
    void ShowLineTip(QHelpEvent* event);

    MemoryTree m_items;
    // Colours of marked lines: new, changed, closed.  Until the look sets
    // them: green, amber and red that read on a white base.
    QColor m_markColours[3] = {QColor(0x00, 0x6B, 0x1E), QColor(0x7A, 0x5C, 0x00), QColor(0xB0, 0x00, 0x20)};
    QScrollBar* m_pVertical = nullptr;
    QScrollBar* m_pHorizontal = nullptr;
    std::vector<QIcon> m_images;
    QSize m_iconSize{16, 16};
    HTREEITEM m_current = nullptr;
    // The line at the top of the view before the lines changed, and how far
    // into it the view was scrolled: kept in place once they have.
    HTREEITEM m_anchor = nullptr;
    int m_anchorOffset = 0;
    bool m_scrollToEnd = false;
    std::vector<Row> m_rows;
    std::unordered_map<HTREEITEM, int> m_rowIndex;  // row of each shown line; empty until asked
    bool m_rowsValid = false;
    int m_nScrollBarTimer = 0;  // pending update of the scroll bars
    int m_width = -1;  // ContentWidth, -1 when the lines have changed since
    int m_fixedPitch = -1;  // whether the font is fixed-pitch; -1 not yet known
    mutable int m_rowHeight = -1;  // -1 until worked out for the font and image size
    mutable int m_markWidth = -1;  // MarkColumnWidth, -1 until worked out for the font
    qreal m_advance = 0, m_boldAdvance = 0;
    QMenu* m_pMenu = nullptr;  // the context menu, made when first opened
    QAction* m_pCopy = nullptr;
    std::vector<QAction*> m_extraActions;  // the pane's, after the tree's own
};
