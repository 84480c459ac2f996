// The main window: the four statistics panes and the two socket panes,
// docked, and the switch that turns auto-refresh on for all of them.
#pragma once

#include <QMainWindow>
#include <vector>

class CNetworkDataView;

class PlainMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit PlainMainWindow(QWidget* parent = nullptr);

    const std::vector<CNetworkDataView*>& Panes() const { return m_panes; }
    void SetAutoRefreshAll(bool on);

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::vector<CNetworkDataView*> m_panes;
    bool m_bSized = false;
};
