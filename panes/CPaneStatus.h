// The status line under a socket-like pane's lines: rows shown of all, the
// rows by state, the time of the last refresh and "Paused" while paused
// (the text of sockets::PaneStatusText).  Cut with an ellipsis where the
// pane is narrower than the text; the whole text is its tooltip and its
// name for assistive tools.
#pragma once

#include <QLabel>
#include <cstddef>
#include <map>
#include <string>

#include "PaneStatus.h"
#include "ReportTree.h"

class CViewTree;

class CPaneStatus : public QLabel {
    Q_OBJECT
public:
    explicit CPaneStatus(QWidget* parent = nullptr);

    void SetStatus(const sockets::PaneStatus& status);
    const sockets::PaneStatus& Status() const { return m_status; }
    // The whole text, as the line would show it with room enough.
    const QString& FullText() const { return m_full; }

    // The line takes the pane's width, whatever the text: it asks for none.
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void ShowText();

    sockets::PaneStatus m_status;
    QString m_full;
};

