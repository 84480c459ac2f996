// The operations through which every report writes its pane's tree.
// Qt-free: the pane's tree control implements it for the window, MemoryTree
// for the command line and the tests.
#pragma once

#include <cstdint>
#include <string_view>

struct TreeItemTag;
using HTREEITEM = TreeItemTag*;  // an item of a report tree; null for none

// The parent that makes an item top-level.
inline HTREEITEM const TVI_ROOT = reinterpret_cast<HTREEITEM>(static_cast<std::intptr_t>(-0x10000));

// Images of the tree's image strip that the reports use.
inline constexpr int kImageRoot = 0;
inline constexpr int kImageGroup = 1;
inline constexpr int kImageValue = 3;

// How a socket's line changed at the last refresh: drawn in the look's
// colour for it, beside its glyph (LineMarks.h).
enum class LineMark : int { None, New, Changed, Closed };

class ReportTree {
public:
    virtual ~ReportTree() = default;

    // Removes every item.
    virtual void DeleteAllItems() = 0;
    // Removes the item and everything under it.
    virtual void DeleteItem(HTREEITEM item) = 0;
    // Appends an item as the last child of parent (TVI_ROOT: top level), with
    // `image` as both its image and its selected image.  Null on failure.
    virtual HTREEITEM AppendItem(HTREEITEM parent, std::u16string_view text, int image) = 0;
    // Inserts an item under parent right after `after`, one of parent's
    // children, or first when `after` is null.  Null on failure (also when
    // `after` is not a child of parent).
    virtual HTREEITEM InsertItem(HTREEITEM parent, HTREEITEM after, std::u16string_view text, int image) = 0;
    virtual void SetItemBold(HTREEITEM item) = 0;
    // Replaces the text; image, state and children stay.
    virtual void SetItemText(HTREEITEM item, std::u16string_view text) = 0;
    // First child (of TVI_ROOT: the first top-level item), or null.
    virtual HTREEITEM GetChildItem(HTREEITEM item) = 0;
    virtual HTREEITEM GetNextSiblingItem(HTREEITEM item) = 0;
    // Opens the item's children.
    virtual void Expand(HTREEITEM item) = 0;
    // Sets how the line changed at the last refresh (None: it did not).
    virtual void SetItemMark(HTREEITEM item, LineMark mark) = 0;
    // Lets the item be opened while it has no children yet: a tree that the
    // user opens asks its owner to write them first (the detail lines of a
    // socket, made only for the sockets looked at).
    virtual void SetItemExpandable(HTREEITEM item, bool expandable) = 0;
};
