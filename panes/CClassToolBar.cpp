#include "CClassToolBar.h"

#include <QActionEvent>
#include <QBoxLayout>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QToolButton>

CClassToolBar::CClassToolBar(QWidget* owner) : QWidget(owner), m_layout(new QHBoxLayout(this)) {
    setContextMenuPolicy(Qt::PreventContextMenu);
    // The margins and spacing of a toolbar in the style in use.
    const int margin = style()->pixelMetric(QStyle::PM_ToolBarItemMargin, nullptr, this) +
                       style()->pixelMetric(QStyle::PM_ToolBarFrameWidth, nullptr, this);
    m_layout->setContentsMargins(margin, margin, margin, margin);
    m_layout->setSpacing(style()->pixelMetric(QStyle::PM_ToolBarItemSpacing, nullptr, this));
    m_layout->addStretch(1);
}

int CClassToolBar::CalcFixedHeight() const { return sizeHint().height(); }

void CClassToolBar::actionEvent(QActionEvent* event) {
    QWidget::actionEvent(event);
    if (event->type() == QEvent::ActionAdded) {
        auto* button = new QToolButton(this);
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::TabFocus);  // by Tab from within the pane, not by a click
        button->setIconSize(m_iconSize);
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
        button->setDefaultAction(event->action());
        m_layout->insertWidget(m_layout->count() - 1, button);
    } else if (event->type() == QEvent::ActionRemoved) {
        for (QToolButton* button : findChildren<QToolButton*>(QString(), Qt::FindDirectChildrenOnly))
            if (button->defaultAction() == event->action()) delete button;
    }
}

void CClassToolBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionToolBar option;
    option.initFrom(this);
    option.rect = rect();
    style()->drawPrimitive(QStyle::PE_PanelToolBar, &option, &painter, this);
}
