// What assistive tools see of a report tree: a tree whose children are its
// shown lines, each with its text, its place, whether it is selected, open
// or closed, and, for a socket's line, how it changed at the last refresh.
#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <unordered_map>

#include "CViewTree.h"

namespace {

class CViewTreeLine : public QAccessibleInterface {
public:
    CViewTreeLine(CViewTree* tree, HTREEITEM item) : m_tree(tree), m_item(item) {}

    // A line stays valid while the tree shows it.
    bool isValid() const override { return m_tree && m_tree->RowOf(m_item) >= 0; }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_tree ? m_tree->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_tree.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessible::Role role() const override { return QAccessible::TreeItem; }
    void setText(QAccessible::Text, const QString&) override {}

    QString text(QAccessible::Text t) const override {
        if (!isValid()) return {};
        // A marked line's mark (its colour and glyph), said in words.
        if (t == QAccessible::Description) {
            switch (m_tree->Mark(m_item)) {
                case LineMark::New: return QStringLiteral("new since the last refresh");
                case LineMark::Changed: return QStringLiteral("state changed at the last refresh");
                case LineMark::Closed: return QStringLiteral("closed since the last refresh");
                case LineMark::None: return {};
            }
            return {};
        }
        if (t != QAccessible::Name && t != QAccessible::Value) return {};
        const std::u16string text = m_tree->Text(m_item);
        return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
    }
    QRect rect() const override {
        if (!isValid()) return {};
        const QRect line = m_tree->ItemRect(m_item);
        return QRect(m_tree->mapToGlobal(line.topLeft()), line.size());
    }
    QAccessible::State state() const override {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        s.selectable = true;
        s.focusable = true;
        s.selected = m_tree->CurrentItem() == m_item;
        s.focused = s.selected && m_tree->hasFocus();
        // A socket line whose details are written when it opens can be
        // opened before it has them.
        if (m_tree->ChildCount(m_item) > 0 || m_tree->IsExpandable(m_item)) {
            s.expandable = true;
            s.expanded = m_tree->IsExpanded(m_item);
            s.collapsed = !s.expanded;
        }
        return s;
    }
    HTREEITEM Item() const { return m_item; }

private:
    QPointer<CViewTree> m_tree;
    HTREEITEM m_item;
};

class CViewTreeAccessible : public QAccessibleWidget {
public:
    explicit CViewTreeAccessible(CViewTree* tree) : QAccessibleWidget(tree, QAccessible::Tree) {}
    ~CViewTreeAccessible() override {
        for (const auto& [item, id] : m_lines) QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return static_cast<int>(Tree()->ShownLineCount()); }
    QAccessibleInterface* child(int index) const override {
        if (index < 0) return nullptr;
        HTREEITEM item = Tree()->ShownLine(static_cast<std::size_t>(index));
        if (item == nullptr) return nullptr;
        if (const auto it = m_lines.find(item); it != m_lines.end()) {
            if (QAccessibleInterface* line = QAccessible::accessibleInterface(it->second)) return line;
        }
        Forget();
        auto* line = new CViewTreeLine(Tree(), item);
        m_lines[item] = QAccessible::registerAccessibleInterface(line);
        return line;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto* line = dynamic_cast<const CViewTreeLine*>(child);
        return line != nullptr ? Tree()->RowOf(line->Item()) : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint at = Tree()->mapFromGlobal(QPoint(x, y));
        if (!Tree()->rect().contains(at)) return nullptr;
        const int row = Tree()->RowAt(at.y());
        return row >= 0 ? child(row) : nullptr;
    }

private:
    CViewTree* Tree() const { return static_cast<CViewTree*>(widget()); }
    // The interfaces of lines no longer shown are let go once they are as
    // many as the lines shown.
    void Forget() const {
        if (m_lines.size() < 64 || m_lines.size() < 2 * Tree()->ShownLineCount()) return;
        for (auto it = m_lines.begin(); it != m_lines.end();) {
            if (Tree()->RowOf(it->first) < 0) {
                QAccessible::deleteAccessibleInterface(it->second);
                it = m_lines.erase(it);
            } else {
                ++it;
            }
        }
    }

    mutable std::unordered_map<HTREEITEM, QAccessible::Id> m_lines;
};

QAccessibleInterface* MakeAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String("CViewTree") && object != nullptr && object->isWidgetType())
        return new CViewTreeAccessible(static_cast<CViewTree*>(object));
    return nullptr;
}

}  // namespace

void InstallViewTreeAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(MakeAccessible);
        return true;
    }();
    (void)installed;
}
