// The socket worker: takes the socket tables on a thread of its own, so
// that the window's thread only compares and draws, and turns what changed
// between two tables, and the kernel's notifications of sockets it
// destroys, into connection log events.  Qt-free; the window and --watch
// each wrap it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ConnectionLog.h"
#include "ConnectionReports.h"
#include "ProcessReports.h"

namespace sockets {

inline constexpr unsigned TableBit(Table table) { return 1u << static_cast<unsigned>(table); }
inline constexpr unsigned kAllTables = 0xF;

// A bounded set of keys that forgets its oldest once full.
class RecentKeys {
public:
    explicit RecentKeys(std::size_t capacity) : m_capacity(capacity) {}
    void Insert(const std::string& key);
    // True when `key` was there (it is then no longer).
    bool Take(const std::string& key);
    void Erase(const std::string& key) { m_keys.erase(key); }
    std::size_t Size() const { return m_keys.size(); }

private:
    std::size_t m_capacity;
    std::uint64_t m_serial = 0;
    std::unordered_map<std::string, std::uint64_t> m_keys;  // key, when inserted
    std::deque<std::pair<std::string, std::uint64_t>> m_order;
};

// What a run of tables and notifications means for the log: kept per table
// (the rows last seen) and across them (sockets the kernel said closed).
// Used by the worker; separate so that it can be tested without threads.
//
// A socket is known by its identity: the kernel's cookie when the table
// gave it, which the kernel's notification of its close carries too; else
// (a library without cookies) its endpoints.  Each close is logged once,
// with the ends and the owner the tables knew for the socket; the ends the
// notification gives only for a socket no table showed (the kernel clears
// an aborted connection's local address and remote port before it says it
// is gone).
class EventTracker {
public:
    struct Options {
        // Log the closes of sockets never bound nor connected (0.0.0.0:0,
        // [::]:0: probes, sockets made for an ioctl), which no table lists.
        bool unboundSockets = false;
    };
    EventTracker() : EventTracker(Options{}) {}
    explicit EventTracker(Options options);

    // The events between the table last seen of `rows.table` and `rows`;
    // none for the first good table of each kind (what is open when
    // watching starts is not news) or for a failed one.  `closedSince`: the
    // kernel's notifications received while `rows` was being taken, logged
    // as by SocketClosed but with the owners `rows` found; a socket among
    // them is neither opened nor closed again by `rows`, which may show it
    // closing or not yet show it.  A socket that leaves the table without
    // the kernel's word is logged closed then, and the kernel's later word
    // of it (a connection reset by its peer is destroyed only when its
    // process lets it go) is not logged again.
    void TableTaken(const TableRows& rows, std::int64_t nowMs, std::vector<Event>& events,
                    const std::vector<SOCKET_CLOSE_EVENT>& closedSince = {});
    // A socket the kernel destroyed: a closed event with the ends and the
    // owner last seen for it, else with the notification's ends and
    // kOwnerNotFound.  Its disappearance from the next table, and a state
    // it is still seen in until then (a connection in TIME_WAIT), are then
    // not logged again.
    void SocketClosed(const SOCKET_CLOSE_EVENT& closed, std::int64_t nowMs, std::vector<Event>& events);

    // The owner found for a socket.
    struct Owner {
        std::string label;
        DWORD pid = 0;
        std::string process;
    };

private:
    struct Known {
        std::uint32_t state;
        Detail detail;
    };
    static constexpr std::size_t kMostLeftWaiting = 65536;
    struct PerTable {
        bool seen = false;
        std::unordered_map<std::string, Known> rows;             // by row key
        std::unordered_map<std::uint64_t, std::string> cookies;  // row key by cookie
        std::unordered_map<std::string, Owner> owners;           // by identity, the last owner found
        std::unordered_set<std::string> closedByKernel;          // identities
        // Identities of sockets logged closed as they left the table, whose
        // notification may still come.
        RecentKeys leftTable{kMostLeftWaiting};
    };

    // Logs the close of the socket of a notification, described as
    // `socket`, unless it is not to be logged, and appends to `identities`
    // those by which the tables may still show it.  `now` and `nowCookies`:
    // the rows of a table being taken, where the socket is looked for first
    // (null: none).
    void CloseOf(PerTable& t, const SOCKET_CLOSE_EVENT& closed, const ClosedSocket& socket,
                 const std::unordered_map<std::string, Known>* now,
                 const std::unordered_map<std::uint64_t, std::string>* nowCookies, std::int64_t nowMs,
                 std::vector<Event>& events, std::vector<std::string>& identities);

    Options m_options;
    PerTable m_tables[4];
};

// A table taken for a pane.  The worker keeps, for each table, the lines
// it last handed over (the pane's lines, once it has applied them) and
// compares the new table with them, so that the pane's thread only applies
// the edits.  Numbered: a pane applies edits only onto the lines of the
// delivery they were made against; any other pane starts afresh.
struct RowsDelivery {
    Table table = Table::Tcp;
    std::uint64_t serial = 0;  // this delivery's number, never 0
    std::uint64_t base = 0;    // the delivery whose lines the edits apply to
    // Lines to be shown from `rows` as they come, none marked: the pane's
    // first table, or a pane whose lines are not the ones the worker knows.
    bool fresh = true;
    TableRows rows;            // all of them when fresh; else the flags only
    std::vector<Edit> edits;   // when not fresh
    std::size_t lineCount = 0;  // the lines once the edits are applied
    // With facts (rows.facts): the row each line shows once the edits are
    // applied, kNoRow for a closed socket's line kept one refresh.
    std::vector<std::uint32_t> lineRows;
    // The typed values each line shows once the edits are applied (null
    // for a line without), for the table view.
    std::vector<std::shared_ptr<const Record>> records;
};

inline constexpr std::uint32_t kNoRow = static_cast<std::uint32_t>(-1);

// The row each of `lines` shows: the lines that are not closed show the
// table's rows in order.
std::vector<std::uint32_t> LineRows(const std::vector<Line>& lines);

// What the worker hands the panes: for each table, the lines last handed
// and their delivery's number, against which the next table is compared.
class PaneDeliveries {
public:
    // The delivery of `rows` to a pane showing the lines of delivery `base`
    // (0: none): the edits from the lines handed last, when those are the
    // pane's and came from a good table; else the rows to show afresh.
    RowsDelivery Deliver(TableRows rows, std::uint64_t base, bool markChanges);

private:
    struct Handed {
        std::uint64_t serial = 0;
        std::vector<Line> lines;
    };
    Handed m_handed[4];
    std::uint64_t m_serials = 0;
};

class Monitor {
public:
    struct Callbacks {
        // A table taken for a pane (RequestRows), on the worker thread.
        std::function<void(RowsDelivery&&)> rows;
        // Events, oldest first, on the worker thread.
        std::function<void(std::vector<Event>&&)> events;
        // The four tables taken together (RequestSummary), on the worker
        // thread.
        std::function<void(Summary&&)> summary;
    };
    // Starts the worker.  With `closeNotifications`, it also listens to the
    // kernel's socket-close notifications (when the process may); `options`
    // say which of them the log tells.  The IP helper library must be bound
    // already.
    Monitor(Callbacks callbacks, bool closeNotifications, EventTracker::Options options = {});
    ~Monitor();  // stops and joins the worker
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Takes `tables` (a mask of TableBit) as soon as the worker is free, for
    // the log alone; requests waiting for the same table are one.
    void Request(unsigned tables);
    // Takes `table` for a pane whose lines are those of delivery `base` (0:
    // none yet) and hands it over as a RowsDelivery; `markChanges` as the
    // pane's.  A later request for the same table replaces a waiting one.
    void RequestRows(Table table, std::uint64_t base, bool markChanges);
    // Takes all four tables, with their facts, and hands them over together
    // as a Summary (for the processes and listening ports).
    void RequestSummary();
    // Takes `tables` every `period` as well, for the log alone (0: none).
    void TakeEvery(unsigned tables, std::chrono::milliseconds period);
    // Whether the kernel's notifications are being received.
    bool HasCloseNotifications() const { return m_notifyFd >= 0; }
    // Notifications the kernel dropped since the start (a full buffer).
    std::uint64_t LostNotifications() const;

private:
    void Run();
    void Wake();

    Callbacks m_callbacks;
    EventTracker::Options m_options;
    int m_notifyFd = -1;
    int m_wakeRead = -1, m_wakeWrite = -1;
    mutable std::mutex m_lock;
    unsigned m_requested = 0;
    struct RowsRequest {
        bool wanted = false;
        std::uint64_t base = 0;
        bool markChanges = true;
    };
    RowsRequest m_rowsRequests[4];
    bool m_summaryWanted = false;
    unsigned m_every = 0;
    std::chrono::milliseconds m_period{0};
    bool m_stop = false;
    std::uint64_t m_lost = 0;
    std::thread m_worker;
};

// Milliseconds since the Unix epoch, now.
std::int64_t NowMs();

}  // namespace sockets
