// The window's socket worker: the tables of the socket panes are taken on
// it and compared there with the lines each pane was last handed; the
// window's thread receives the edits and applies them.  The socket events
// the worker sees are added to the process's connection log on the
// window's thread.  One per window, made by the main frame; the panes
// find it through Current() (without one, a pane takes its tables itself).
#pragma once

#include <QObject>
#include <memory>

#include "ConnectionReports.h"
#include "SocketMonitor.h"

namespace sockets {
class Monitor;
}

class CSocketFeed : public QObject {
    Q_OBJECT
public:
    // Starts the worker; it listens to the kernel's socket-close
    // notifications when the process may.
    explicit CSocketFeed(QObject* parent = nullptr);
    ~CSocketFeed() override;

    static CSocketFeed* Current() { return s_current; }

    // Takes these tables (a mask of sockets::TableBit) for the log.
    void Request(unsigned tables);
    // Takes `table` for a pane whose lines are those of delivery `base`;
    // it comes back through rowsArrived.
    void RequestRows(sockets::Table table, std::uint64_t base, bool markChanges);
    bool HasCloseNotifications() const;
    // Takes the four tables together; they come back through summaryArrived.
    void RequestSummary();

signals:
    void rowsArrived(std::shared_ptr<const sockets::RowsDelivery> rows);
    void summaryArrived(std::shared_ptr<const sockets::Summary> summary);
    // Events were added to the process's connection log.
    void eventsAdded();

private:
    std::unique_ptr<sockets::Monitor> m_monitor;
    static inline CSocketFeed* s_current = nullptr;
};
