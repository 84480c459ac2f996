#include "SocketMonitor.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>

#include "SocketDetails.h"

namespace sockets {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ------------------------------------------------------------ the tracker

namespace {

// More sockets closed by the kernel than this, waiting to leave a table that
// is not being taken, are forgotten: the set stays bounded.
constexpr std::size_t kMostClosedWaiting = 100000;

Event MakeEvent(Event::What what, Table table, const Detail& detail, std::int64_t nowMs) {
    Event event;
    event.timeMs = nowMs;
    event.what = what;
    event.protocol = ProtocolName(table);
    event.local = detail.local;
    event.remote = detail.remote;
    event.owner = detail.owner;
    return event;
}

bool IsTcp(Table table) { return table == Table::Tcp || table == Table::Tcp6; }

}  // namespace

void EventTracker::TableTaken(const TableRows& rows, std::int64_t nowMs, std::vector<Event>& events,
                              const std::vector<SOCKET_CLOSE_EVENT>& closedSince) {
    if (!rows.valid) {
        for (const SOCKET_CLOSE_EVENT& c : closedSince) SocketClosed(c, nowMs, events);
        return;
    }
    PerTable& t = m_tables[static_cast<unsigned>(rows.table)];
    const std::size_t n = std::min(rows.rows.size(), rows.details.size());
    // The owners this table found first: a socket it shows that closed
    // since is logged closed with its owner.
    for (std::size_t i = 0; i < n; ++i)
        if (rows.details[i].pid != 0) t.owners[rows.details[i].endpoints] = rows.details[i].owner;
    // Such a socket may be in the table half-closed and without its owner
    // (in TIME_WAIT, or its descriptor gone before the owner lookup), or not
    // yet in it at all (opened after it was taken): it is logged once, as
    // closed, and remembered past this table, which cannot tell that it has
    // left.
    std::unordered_set<std::string> closedAfter;
    for (const SOCKET_CLOSE_EVENT& c : closedSince) {
        SocketClosed(c, nowMs, events);
        ClosedSocket socket;
        if (!DescribeClosedSocket(c, socket) || socket.table != rows.table) continue;
        // Remembered from this table on, the first one included.
        if (t.closedByKernel.size() >= kMostClosedWaiting) t.closedByKernel.clear();
        t.closedByKernel.insert(socket.endpoints);
        closedAfter.insert(std::move(socket.endpoints));
    }
    std::unordered_map<std::string, Known> now;
    now.reserve(rows.rows.size());
    for (std::size_t i = 0; i < n; ++i) {
        const Row& row = rows.rows[i];
        Known known{row.state, rows.details[i]};
        const auto before = t.rows.find(row.key);
        // A socket in TIME_WAIT has no process: it keeps the owner it had.
        if (known.detail.pid == 0 && before != t.rows.end()) known.detail.owner = before->second.detail.owner;
        if (t.seen) {
            const bool closed = t.closedByKernel.count(known.detail.endpoints) != 0;
            if (before == t.rows.end()) {
                if (!closed) events.push_back(MakeEvent(Event::What::Opened, rows.table, known.detail, nowMs));
            } else if (before->second.state != row.state && IsTcp(rows.table) && !closed) {
                Event event = MakeEvent(Event::What::State, rows.table, known.detail, nowMs);
                event.state = StateText(row.state);
                events.push_back(std::move(event));
            }
        }
        now.emplace(row.key, std::move(known));
    }
    if (t.seen) {
        for (const auto& [key, known] : t.rows) {
            if (now.count(key) != 0 || t.closedByKernel.count(known.detail.endpoints) != 0) continue;
            events.push_back(MakeEvent(Event::What::Closed, rows.table, known.detail, nowMs));
        }
    }
    // Sockets the kernel closed are forgotten once they have left the table,
    // and so are the owners of endpoints no longer in it.
    std::unordered_set<std::string> present;
    present.reserve(now.size());
    for (const auto& [key, known] : now) present.insert(known.detail.endpoints);
    std::erase_if(t.closedByKernel, [&present, &closedAfter](const std::string& e) {
        return present.count(e) == 0 && closedAfter.count(e) == 0;
    });
    std::erase_if(t.owners, [&present](const auto& entry) { return present.count(entry.first) == 0; });
    t.rows = std::move(now);
    t.seen = true;
}

void EventTracker::SocketClosed(const SOCKET_CLOSE_EVENT& closed, std::int64_t nowMs, std::vector<Event>& events) {
    ClosedSocket socket;
    if (!DescribeClosedSocket(closed, socket)) return;
    PerTable& t = m_tables[static_cast<unsigned>(socket.table)];
    Event event;
    event.timeMs = nowMs;
    event.what = Event::What::Closed;
    event.protocol = ProtocolName(socket.table);
    event.local = std::move(socket.local);
    event.remote = std::move(socket.remote);
    const auto owner = t.owners.find(socket.endpoints);
    event.owner = owner != t.owners.end() ? owner->second : kOwnerNotFound;
    events.push_back(std::move(event));
    // Only a table that is being taken needs to know; one that is not would
    // only gather them.
    if (t.seen) {
        if (t.closedByKernel.size() >= kMostClosedWaiting) t.closedByKernel.clear();
        t.closedByKernel.insert(std::move(socket.endpoints));
    }
}

// ------------------------------------------------------------ the worker

std::vector<std::uint32_t> LineRows(const std::vector<Line>& lines) {
    std::vector<std::uint32_t> rows;
    rows.reserve(lines.size());
    std::uint32_t next = 0;
    for (const Line& line : lines) rows.push_back(line.mark == Mark::Closed ? kNoRow : next++);
    return rows;
}

RowsDelivery PaneDeliveries::Deliver(TableRows rows, std::uint64_t base, bool markChanges) {
    Handed& handed = m_handed[static_cast<unsigned>(rows.table)];
    RowsDelivery out;
    out.table = rows.table;
    out.serial = ++m_serials;
    out.base = base;
    out.fresh = base == 0 || base != handed.serial || !rows.valid;
    handed.serial = out.serial;
    if (out.fresh) {
        handed.lines.clear();
        handed.lines.reserve(rows.rows.size());
        for (const Row& row : rows.rows) handed.lines.push_back({row.key, row.state, row.text, Mark::None, kNoLine});
        // After a failed table the next one starts afresh too.
        if (!rows.valid) handed.serial = 0;
        out.lineCount = handed.lines.size();
        if (rows.facts) out.lineRows = LineRows(handed.lines);
        out.rows = std::move(rows);
        return out;
    }
    std::vector<Line> next = NextLines(handed.lines, rows.rows);
    if (!markChanges) {
        // Unmarked, a closed socket's line goes at once.
        std::erase_if(next, [](const Line& l) { return l.mark == Mark::Closed; });
        for (Line& l : next) l.mark = Mark::None;
    }
    out.edits = PlanEdits(handed.lines, next);
    out.lineCount = next.size();
    if (rows.facts) out.lineRows = LineRows(next);
    handed.lines = std::move(next);
    // The pane needs the rows' flags and facts, not their lines.
    out.rows.table = rows.table;
    out.rows.valid = rows.valid;
    out.rows.noIpv6 = rows.noIpv6;
    out.rows.facts = std::move(rows.facts);
    return out;
}

Monitor::Monitor(Callbacks callbacks, bool closeNotifications) : m_callbacks(std::move(callbacks)) {
    if (closeNotifications) m_notifyFd = OpenSocketCloseNotifications(kSockCloseTcp | kSockCloseUdp);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_wakeRead = fds[0];
        m_wakeWrite = fds[1];
    }
    m_worker = std::thread([this] { Run(); });
}

Monitor::~Monitor() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    Wake();
    if (m_worker.joinable()) m_worker.join();
    if (m_notifyFd >= 0) CloseSocketCloseNotifications(m_notifyFd);
    if (m_wakeRead >= 0) close(m_wakeRead);
    if (m_wakeWrite >= 0) close(m_wakeWrite);
}

void Monitor::Wake() {
    if (m_wakeWrite < 0) return;
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = write(m_wakeWrite, &byte, 1);
}

void Monitor::Request(unsigned tables) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_requested |= tables & kAllTables;
    }
    Wake();
}

void Monitor::RequestRows(Table table, std::uint64_t base, bool markChanges) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_rowsRequests[static_cast<unsigned>(table)] = {true, base, markChanges};
        m_requested |= TableBit(table);
    }
    Wake();
}

void Monitor::RequestSummary() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_summaryWanted = true;
        m_requested |= kAllTables;
    }
    Wake();
}

void Monitor::TakeEvery(unsigned tables, std::chrono::milliseconds period) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_every = period.count() > 0 ? tables & kAllTables : 0;
        m_period = period;
    }
    Wake();
}

std::uint64_t Monitor::LostNotifications() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lost;
}

void Monitor::Run() {
    using Clock = std::chrono::steady_clock;
    std::array<std::unique_ptr<CSocketTable>, 4> tables;
    for (unsigned i = 0; i < 4; ++i) tables[i] = std::make_unique<CSocketTable>(static_cast<Table>(i));
    EventTracker tracker;
    PaneDeliveries deliveries;
    RateKeeper rates[4];
    std::vector<SOCKET_CLOSE_EVENT> closed;
    std::vector<Event> events;
    Clock::time_point due = Clock::now();
    // Without a wake-up pipe the worker looks for requests ten times a second.
    constexpr int kFallbackPollMs = 100;
    // After reading close notifications the worker lets more gather for this
    // long: a thousand closes a second then cost a few dozen wake-ups, not a
    // thousand.  A close is then logged at most this much after it happened
    // (the kernel's notifications carry no time of their own).
    constexpr auto kNotifyGathering = std::chrono::milliseconds(25);
    Clock::time_point notifyQuietUntil = Clock::now();
    // When each table was last taken, and how recent a table may be for a
    // request of the log's to be answered by it.
    std::array<Clock::time_point, 4> lastTaken{};
    constexpr auto kLogTableFreshness = std::chrono::milliseconds(1000);
    // The notifications waiting on the socket, read without blocking into
    // `closed`.
    const auto readCloses = [&] {
        closed.clear();
        if (m_notifyFd < 0) return;
        std::uint64_t lost = 0;
        ReadSocketCloseNotifications(m_notifyFd, closed, &lost);
        if (lost != 0) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_lost += lost;
        }
    };
    const auto logCloses = [&] {
        const std::int64_t now = NowMs();
        for (const SOCKET_CLOSE_EVENT& c : closed) tracker.SocketClosed(c, now, events);
    };
    for (;;) {
        unsigned every;
        std::chrono::milliseconds period;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_stop) {
                events.clear();  // handed over already
                break;
            }
            every = m_every;
            period = m_period;
        }
        int timeout = m_wakeRead >= 0 ? -1 : kFallbackPollMs;
        if (every != 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
            const int wait = static_cast<int>(std::clamp<long long>(left, 0, 60000));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        const Clock::time_point now = Clock::now();
        const bool gathering = now < notifyQuietUntil;
        if (gathering) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(notifyQuietUntil - now).count();
            const int wait = static_cast<int>(std::max<long long>(left, 1));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        pollfd fds[2] = {{m_wakeRead, POLLIN, 0}, {gathering ? -1 : m_notifyFd, POLLIN, 0}};
        const int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            // Not expected of poll on two descriptors of its own; the worker
            // waits a moment rather than spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(kFallbackPollMs));
            continue;
        }
        if (m_wakeRead >= 0 && (fds[0].revents & POLLIN) != 0) {
            char drain[64];
            while (read(m_wakeRead, drain, sizeof drain) > 0) {
            }
        }
        events.clear();
        if (m_notifyFd >= 0 && fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLERR)) != 0) {
            notifyQuietUntil = Clock::now() + kNotifyGathering;
            readCloses();
            logCloses();
        }
        unsigned take;
        RowsRequest forPanes[4];
        bool summaryWanted = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_stop) break;
            take = m_requested;
            m_requested = 0;
            summaryWanted = m_summaryWanted;
            m_summaryWanted = false;
            for (unsigned i = 0; i < 4; ++i) {
                forPanes[i] = m_rowsRequests[i];
                m_rowsRequests[i].wanted = false;
            }
        }
        unsigned periodic = 0;
        if (every != 0 && Clock::now() >= due) {
            periodic = every;
            due = Clock::now() + period;
        }
        take |= periodic;
        Summary summary;
        for (unsigned i = 0; i < 4; ++i) {
            if ((take & (1u << i)) == 0) continue;
            // A table asked for the log alone, taken for a pane a moment
            // ago, is not taken again: its changes are in the log already.
            // (The log pane asks for all four every tick, the socket panes
            // for theirs on ticks of their own.)
            const bool logOnly = !forPanes[i].wanted && !summaryWanted && (periodic & (1u << i)) == 0;
            if (logOnly && Clock::now() - lastTaken[i] < kLogTableFreshness) continue;
            lastTaken[i] = Clock::now();
            // A pane's table comes with its facts (detail lines, totals).
            TableRows rows = TakeRows(*tables[i], forPanes[i].wanted || summaryWanted);
            rates[i].Apply(rows, SteadyMs());
            if (summaryWanted) AddToSummary(summary, rows);
            // Taking a table lasts a while (the owner lookup): the sockets
            // the kernel closed meanwhile go with it, or a table that caught
            // one closing would log it opened, by no owner.
            readCloses();
            tracker.TableTaken(rows, NowMs(), events, closed);
            if (forPanes[i].wanted && m_callbacks.rows)
                m_callbacks.rows(deliveries.Deliver(std::move(rows), forPanes[i].base, forPanes[i].markChanges));
        }
        if (summaryWanted && m_callbacks.summary) m_callbacks.summary(std::move(summary));
        if (!events.empty() && m_callbacks.events) m_callbacks.events(std::move(events));
    }
    // Stopped: the closes read already, and those the kernel has queued by
    // now, are still handed over rather than dropped.
    readCloses();
    logCloses();
    if (!events.empty() && m_callbacks.events) m_callbacks.events(std::move(events));
}

}  // namespace sockets
