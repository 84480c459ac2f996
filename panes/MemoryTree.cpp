#include "MemoryTree.h"

#include "PrintableText.h"
#include "WideText.h"

struct MemoryTree::Node {
    std::u16string text;
    int image = 0;
    bool bold = false;
    bool expanded = false;
    bool expandable = false;
    bool hidden = false;
    LineMark mark = LineMark::None;
    Node* parent = nullptr;
    Node* first = nullptr;
    Node* last = nullptr;
    Node* prev = nullptr;
    Node* next = nullptr;
};

namespace {

// A text as it is kept and shown; the string's storage is reused.
void Keep(std::u16string& kept, std::u16string_view text) {
    kept.assign(text);
    MakePrintable(kept);
}

}  // namespace

MemoryTree::MemoryTree() : m_root(new Node) {}

MemoryTree::~MemoryTree() {
    DeleteAllItems();
    delete m_root;
}

MemoryTree::Node* MemoryTree::NodeOf(HTREEITEM item) const {
    if (item == TVI_ROOT) return m_root;
    return reinterpret_cast<Node*>(item);
}

void MemoryTree::Unlink(Node* node) {
    Node* parent = node->parent;
    (node->prev != nullptr ? node->prev->next : parent->first) = node->next;
    (node->next != nullptr ? node->next->prev : parent->last) = node->prev;
}

void MemoryTree::Destroy(Node* node) {
    // Iterative, so that a deep or wide tree cannot exhaust the stack.
    std::vector<Node*> pending{node};
    while (!pending.empty()) {
        Node* n = pending.back();
        pending.pop_back();
        for (Node* c = n->first; c != nullptr; c = c->next) pending.push_back(c);
        delete n;
        --m_nItems;
    }
}

void MemoryTree::DeleteAllItems() {
    while (m_root->first != nullptr) DeleteItem(reinterpret_cast<HTREEITEM>(m_root->first));
}

void MemoryTree::DeleteItem(HTREEITEM item) {
    if (item == nullptr || item == TVI_ROOT) {
        if (item == TVI_ROOT) DeleteAllItems();
        return;
    }
    Node* node = NodeOf(item);
    Unlink(node);
    Destroy(node);
}

HTREEITEM MemoryTree::AppendItem(HTREEITEM parent, std::u16string_view text, int image) {
    if (parent == nullptr) return nullptr;
    Node* p = NodeOf(parent);
    Node* node = new Node;
    Keep(node->text, text);
    node->image = image;
    node->parent = p;
    node->prev = p->last;
    (p->last != nullptr ? p->last->next : p->first) = node;
    p->last = node;
    ++m_nItems;
    return reinterpret_cast<HTREEITEM>(node);
}

HTREEITEM MemoryTree::InsertItem(HTREEITEM parent, HTREEITEM after, std::u16string_view text, int image) {
    if (parent == nullptr) return nullptr;
    Node* p = NodeOf(parent);
    Node* previous = after != nullptr ? NodeOf(after) : nullptr;
    if (after == TVI_ROOT || (previous != nullptr && previous->parent != p)) return nullptr;
    Node* node = new Node;
    Keep(node->text, text);
    node->image = image;
    node->parent = p;
    node->prev = previous;
    node->next = previous != nullptr ? previous->next : p->first;
    (node->next != nullptr ? node->next->prev : p->last) = node;
    (previous != nullptr ? previous->next : p->first) = node;
    ++m_nItems;
    return reinterpret_cast<HTREEITEM>(node);
}

void MemoryTree::SetItemBold(HTREEITEM item) {
    if (item != nullptr && item != TVI_ROOT) NodeOf(item)->bold = true;
}

void MemoryTree::SetItemMark(HTREEITEM item, LineMark mark) {
    if (item != nullptr && item != TVI_ROOT) NodeOf(item)->mark = mark;
}

void MemoryTree::SetItemExpandable(HTREEITEM item, bool expandable) {
    if (item != nullptr && item != TVI_ROOT) NodeOf(item)->expandable = expandable;
}

bool MemoryTree::IsExpandable(HTREEITEM item) const {
    return item != nullptr && item != TVI_ROOT && NodeOf(item)->expandable;
}

bool MemoryTree::HasChildren(HTREEITEM item) const {
    if (item == nullptr) return false;
    const Node* node = NodeOf(item);
    return node->first != nullptr || node->expandable;
}

LineMark MemoryTree::Mark(HTREEITEM item) const {
    return item != nullptr && item != TVI_ROOT ? NodeOf(item)->mark : LineMark::None;
}

void MemoryTree::SetItemText(HTREEITEM item, std::u16string_view text) {
    if (item != nullptr && item != TVI_ROOT) Keep(NodeOf(item)->text, text);
}

HTREEITEM MemoryTree::GetChildItem(HTREEITEM item) {
    if (item == nullptr) return nullptr;
    return reinterpret_cast<HTREEITEM>(NodeOf(item)->first);
}

HTREEITEM MemoryTree::GetNextSiblingItem(HTREEITEM item) {
    if (item == nullptr || item == TVI_ROOT) return nullptr;
    return reinterpret_cast<HTREEITEM>(NodeOf(item)->next);
}

void MemoryTree::Expand(HTREEITEM item) {
    if (item != nullptr && item != TVI_ROOT) NodeOf(item)->expanded = true;
}

void MemoryTree::Collapse(HTREEITEM item) {
    if (item != nullptr && item != TVI_ROOT) NodeOf(item)->expanded = false;
}

bool MemoryTree::IsExpanded(HTREEITEM item) const { return item != nullptr && NodeOf(item)->expanded; }
bool MemoryTree::IsBold(HTREEITEM item) const { return item != nullptr && NodeOf(item)->bold; }
int MemoryTree::Image(HTREEITEM item) const { return item != nullptr ? NodeOf(item)->image : -1; }
const std::u16string& MemoryTree::Text(HTREEITEM item) const {
    static const std::u16string none;
    return item != nullptr ? NodeOf(item)->text : none;
}

HTREEITEM MemoryTree::Parent(HTREEITEM item) const {
    if (item == nullptr || item == TVI_ROOT) return nullptr;
    Node* parent = NodeOf(item)->parent;
    return parent == m_root ? nullptr : reinterpret_cast<HTREEITEM>(parent);
}

std::size_t MemoryTree::ChildCount(HTREEITEM item) const {
    std::size_t n = 0;
    if (item == nullptr) return 0;
    for (Node* c = NodeOf(item)->first; c != nullptr; c = c->next) ++n;
    return n;
}

void MemoryTree::PrintNode(const Node* node, int depth, std::string& out) const {
    for (const Node* c = node->first; c != nullptr; c = c->next) {
        if (c->hidden) continue;
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
        out += WideToUtf8(c->text);
        out += '\n';
        PrintNode(c, depth + 1, out);
    }
}

void MemoryTree::SetHidden(HTREEITEM item, bool hidden) {
    if (item == nullptr || item == TVI_ROOT) return;
    NodeOf(item)->hidden = hidden;
}

bool MemoryTree::IsHidden(HTREEITEM item) const {
    return item != nullptr && item != TVI_ROOT && NodeOf(item)->hidden;
}

std::string MemoryTree::Print() const {
    std::string out;
    PrintNode(m_root, 0, out);
    return out;
}

std::string MemoryTree::Print(HTREEITEM item) const {
    if (item == nullptr) return {};
    if (item == TVI_ROOT) return Print();
    const Node* node = NodeOf(item);
    std::string out = WideToUtf8(node->text);
    out += '\n';
    PrintNode(node, 1, out);
    return out;
}
