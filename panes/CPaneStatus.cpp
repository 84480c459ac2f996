#include "CPaneStatus.h"

#include <QFontMetrics>
#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "CViewTree.h"

CPaneStatus::CPaneStatus(QWidget* parent) : QLabel(parent) {
    setObjectName(QStringLiteral("paneStatus"));
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setContentsMargins(4, 1, 4, 1);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void CPaneStatus::SetStatus(const sockets::PaneStatus& status) {
    m_status = status;
    const QString full = QString::fromStdString(sockets::PaneStatusText(status));
    if (full == m_full) return;
    m_full = full;
    setToolTip(m_full);
    setAccessibleName(m_full);
    ShowText();
}

QSize CPaneStatus::minimumSizeHint() const { return {0, sizeHint().height()}; }

void CPaneStatus::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    ShowText();
}

void CPaneStatus::ShowText() {
    const int room = contentsRect().width();
    const QString shown = fontMetrics().elidedText(m_full, Qt::ElideRight, std::max(room, 0));
    if (shown != text()) setText(shown);
}

StatusLineCounts CountStatusLines(CViewTree& tree, HTREEITEM root, bool byProtocol) {
    StatusLineCounts counts;
    if (root == nullptr) return counts;
    // Counted by views of the lines' own texts, which stay while they are
    // counted: a table of thousands of lines makes no string per line.  A
    // table has a dozen states at most, and runs of lines in one.
    std::vector<std::pair<std::u16string_view, std::size_t>> by;
    std::size_t last = 0;
    std::size_t column = 0;
    for (HTREEITEM line = tree.GetChildItem(root); line != nullptr; line = tree.GetNextSiblingItem(line)) {
        ++counts.lines;
        std::u16string_view name;
        if (byProtocol)
            name = sockets::LineProtocol(tree.Text(line));
        else if (tree.Mark(line) == LineMark::Closed)
            name = u"CLOSED";
        else
            name = sockets::SocketLineState(tree.Text(line), column);
        if (name.empty()) continue;
        if (last >= by.size() || by[last].first != name) {
            last = 0;
            while (last < by.size() && by[last].first != name) ++last;
            if (last == by.size()) by.emplace_back(name, 0);
        }
        ++by[last].second;
    }
    for (const auto& [name, n] : by) {
        std::string text;
        for (const char16_t c : name) text += c < 0x80 ? static_cast<char>(c) : '?';
        counts.byState[text] += n;
    }
    return counts;
}
