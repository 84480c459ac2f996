// A data pane's toolbar: its commands go to the pane that owns it, and it is
// not offered in the main window's lists of toolbars.
#pragma once

#include <QToolBar>

class CClassToolBar : public QToolBar {
    Q_OBJECT
public:
    explicit CClassToolBar(QWidget* owner);
    // Height when laid out horizontally and not stretched.
    int CalcFixedHeight() const;
};
