#include "CClassToolBar.h"

CClassToolBar::CClassToolBar(QWidget* owner) : QToolBar(owner) {
    setMovable(false);
    setFloatable(false);
    setOrientation(Qt::Horizontal);
    setIconSize(QSize(16, 15));
    setContextMenuPolicy(Qt::PreventContextMenu);
    // The toggle action is what lists a toolbar in the window's menus.
    toggleViewAction()->setVisible(false);
}

int CClassToolBar::CalcFixedHeight() const { return sizeHint().height(); }
