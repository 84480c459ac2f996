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
