// A report tree held in memory, for the command line and the tests, and
// the items of the window's tree.  Every text is kept as it is shown: made
// printable (PrintableText.h) as it is set, so that no text a report takes
// from outside puts a control character in a window, on a terminal or on
// the clipboard.
#pragma once

#include <string>
#include <vector>

#include "ReportTree.h"

class MemoryTree final : public ReportTree {
public:
    MemoryTree();
    ~MemoryTree() override;
    MemoryTree(const MemoryTree&) = delete;
    MemoryTree& operator=(const MemoryTree&) = delete;

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

    // What the user does and sees.
    void Collapse(HTREEITEM item);
    // A hidden item (one a filter leaves out) is not shown nor printed,
    // nor is anything under it.
    void SetHidden(HTREEITEM item, bool hidden);
    bool IsHidden(HTREEITEM item) const;
    bool IsExpanded(HTREEITEM item) const;
    bool IsBold(HTREEITEM item) const;
    int Image(HTREEITEM item) const;
    LineMark Mark(HTREEITEM item) const;
    // Whether the item has children or may be opened to have them written.
    bool HasChildren(HTREEITEM item) const;
    bool IsExpandable(HTREEITEM item) const;
    // The item's text, valid until the item changes or goes (empty for none).
    const std::u16string& Text(HTREEITEM item) const;
    HTREEITEM Parent(HTREEITEM item) const;  // null for a top-level item
    std::size_t ChildCount(HTREEITEM item) const;
    std::size_t ItemCount() const { return m_nItems; }

    // Every item, one a line, two blanks of indent per level, in UTF-8.
    std::string Print() const;
    // The same for one item and everything under it, whether open or closed,
    // the item itself unindented (TVI_ROOT: every item; null: nothing).
    std::string Print(HTREEITEM item) const;

private:
    struct Node;
    Node* NodeOf(HTREEITEM item) const;
    void Unlink(Node* node);
    void Destroy(Node* node);
    void PrintNode(const Node* node, int depth, std::string& out) const;

    Node* m_root;
    std::size_t m_nItems = 0;
};
