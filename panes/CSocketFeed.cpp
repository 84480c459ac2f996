#include "CSocketFeed.h"

#include <QMetaObject>
#include <QPointer>

#include "ConnectionLog.h"
#include "SocketMonitor.h"

CSocketFeed::CSocketFeed(QObject* parent) : QObject(parent) {
    BindIpHelper();  // on this thread, before the worker reads the binding
    // The worker's results cross to this object's thread as queued calls;
    // a call that arrives after the feed is gone finds a null pointer.
    QPointer<CSocketFeed> self(this);
    sockets::Monitor::Callbacks callbacks;
    callbacks.rows = [self](sockets::RowsDelivery&& rows) {
        auto shared = std::make_shared<const sockets::RowsDelivery>(std::move(rows));
        QMetaObject::invokeMethod(
            self.data(), [self, shared] {
                if (self) emit self->rowsArrived(shared);
            },
            Qt::QueuedConnection);
    };
    callbacks.summary = [self](sockets::Summary&& summary) {
        auto shared = std::make_shared<const sockets::Summary>(std::move(summary));
        QMetaObject::invokeMethod(
            self.data(), [self, shared] {
                if (self) emit self->summaryArrived(shared);
            },
            Qt::QueuedConnection);
    };
    callbacks.events = [self](std::vector<sockets::Event>&& events) {
        auto shared = std::make_shared<std::vector<sockets::Event>>(std::move(events));
        QMetaObject::invokeMethod(
            self.data(), [self, shared] {
                if (!self) return;
                sockets::ConnectionLog& log = sockets::ProcessConnectionLog();
                for (sockets::Event& event : *shared) log.Add(std::move(event));
                emit self->eventsAdded();
            },
            Qt::QueuedConnection);
    };
    m_monitor = std::make_unique<sockets::Monitor>(std::move(callbacks), true);
    s_current = this;
}

CSocketFeed::~CSocketFeed() {
    if (s_current == this) s_current = nullptr;
    m_monitor.reset();  // joins the worker before the object goes
}

void CSocketFeed::Request(unsigned tables) { m_monitor->Request(tables); }

void CSocketFeed::RequestRows(sockets::Table table, std::uint64_t base, bool markChanges) {
    m_monitor->RequestRows(table, base, markChanges);
}

void CSocketFeed::RequestSummary() { m_monitor->RequestSummary(); }

bool CSocketFeed::HasCloseNotifications() const { return m_monitor->HasCloseNotifications(); }
