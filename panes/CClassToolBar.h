// A data pane's toolbar: a row of flat buttons, one per action added, whose
// commands go to the pane that owns it.  It is not offered in the main
// window's lists of toolbars, cannot be moved and has no context menu.
#pragma once

#include <QWidget>

class QHBoxLayout;

class CClassToolBar : public QWidget {
    Q_OBJECT
public:
    explicit CClassToolBar(QWidget* owner);
    // Height when laid out horizontally and not stretched.
    int CalcFixedHeight() const;
    QSize iconSize() const { return m_iconSize; }

protected:
    void actionEvent(QActionEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QHBoxLayout* m_layout;
    QSize m_iconSize{16, 15};
};
