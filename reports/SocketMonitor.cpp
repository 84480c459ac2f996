#include "SocketMonitor.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>

#include "SocketDetails.h"
#include "SocketRecord.h"

namespace sockets {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ------------------------------------------------------------ the tracker

void RecentKeys::Insert(const std::string& key) {
    if (m_capacity == 0) return;
    m_keys[key] = ++m_serial;
    m_order.emplace_back(key, m_serial);
    // An entry of the order is live while its key is there from its insertion.
    const auto live = [this](const std::pair<std::string, std::uint64_t>& entry) {
        const auto found = m_keys.find(entry.first);
        return found != m_keys.end() && found->second == entry.second;
    };
    // Keys taken or inserted again leave entries behind: the order is
    // cleared of them once it holds twice the keys it may.
    if (m_order.size() > 2 * m_capacity) std::erase_if(m_order, [&live](const auto& e) { return !live(e); });
    while (m_keys.size() > m_capacity && !m_order.empty()) {
        if (live(m_order.front())) m_keys.erase(m_order.front().first);
        m_order.pop_front();
    }
}

bool RecentKeys::Take(const std::string& key) { return m_keys.erase(key) != 0; }

namespace {

// More sockets closed by the kernel than this, waiting to leave a table that
// is not being taken, are forgotten: the set stays bounded.
constexpr std::size_t kMostClosedWaiting = 100000;

// A socket's identity: its cookie, else its endpoints (which start with
// the letter of their table, never 'c').
std::string IdentityOf(std::uint64_t cookie, const std::string& endpoints) {
    if (cookie == 0) return endpoints;
    std::string identity(1, 'c');
    for (int i = 0; i < 8; ++i) identity.push_back(static_cast<char>((cookie >> (8 * i)) & 0xFF));
    return identity;
}

std::string IdentityOf(const Detail& detail) { return IdentityOf(detail.cookie, detail.endpoints); }

Event MakeEvent(Event::What what, Table table, const Detail& detail, std::int64_t nowMs) {
    Event event;
    event.timeMs = nowMs;
    event.what = what;
    event.protocol = ProtocolName(table);
    event.local = detail.local;
    event.remote = detail.remote;
    event.owner = detail.owner;
    event.pid = detail.pid;
    event.process = detail.process;
    return event;
}

void SetOwner(Detail& detail, const EventTracker::Owner& owner) {
    detail.owner = owner.label;
    detail.pid = owner.pid;
    detail.process = owner.process;
}

bool IsTcp(Table table) { return table == Table::Tcp || table == Table::Tcp6; }

constexpr std::uint32_t kTimeWait = 11;  // the MIB state

void MarkClosed(std::unordered_set<std::string>& closed, const std::string& identity) {
    if (closed.size() >= kMostClosedWaiting) closed.clear();
    closed.insert(identity);
}

}  // namespace

EventTracker::EventTracker(Options options) : m_options(options) {}

void EventTracker::CloseOf(PerTable& t, const SOCKET_CLOSE_EVENT& closed, const ClosedSocket& socket,
                           const std::unordered_map<std::string, Known>* now,
                           const std::unordered_map<std::uint64_t, std::string>* nowCookies, std::int64_t nowMs,
                           std::vector<Event>& events, std::vector<std::string>& identities) {
    // The socket a table showed with this cookie: in the table being taken,
    // else in the last one.
    const Known* known = nullptr;
    const auto look = [&closed, &known](const std::unordered_map<std::uint64_t, std::string>& cookies,
                                        const std::unordered_map<std::string, Known>& rows) {
        const auto key = cookies.find(closed.cookie);
        if (key == cookies.end()) return;
        const auto row = rows.find(key->second);
        if (row != rows.end()) known = &row->second;
    };
    if (closed.cookie != 0) {
        if (now != nullptr && nowCookies != nullptr) look(*nowCookies, *now);
        if (known == nullptr) look(t.cookies, t.rows);
        const std::string identity = IdentityOf(closed.cookie, {});
        // Logged closed already, as it left a table.
        if (known == nullptr && t.leftTable.Take(identity)) return;
        // Never bound nor connected: no table listed it, and it is noise.
        if (known == nullptr && socket.unbound && !m_options.unboundSockets) return;
        identities.push_back(identity);
    } else if (socket.unbound && !m_options.unboundSockets) {
        return;
    }
    Event event;
    event.timeMs = nowMs;
    event.what = Event::What::Closed;
    event.protocol = ProtocolName(socket.table);
    event.owner = kOwnerNotFound;
    if (known != nullptr) {
        // The ends and the owner the tables knew: the notification's ends
        // may have been cleared.
        event.local = known->detail.local;
        event.remote = known->detail.remote;
        if (known->detail.pid != 0) {
            event.owner = known->detail.owner;
            event.pid = known->detail.pid;
            event.process = known->detail.process;
        }
    } else {
        // No table showed it by its cookie: a library without cookies knows
        // it by its endpoints, else it opened and closed between two tables.
        event.local = socket.local;
        event.remote = socket.remote;
        const auto owner = t.owners.find(socket.endpoints);
        if (owner != t.owners.end()) {
            event.owner = owner->second.label;
            event.pid = owner->second.pid;
            event.process = owner->second.process;
        }
        identities.push_back(socket.endpoints);
    }
    events.push_back(std::move(event));
}

void EventTracker::TableTaken(const TableRows& rows, std::int64_t nowMs, std::vector<Event>& events,
                              const std::vector<SOCKET_CLOSE_EVENT>& closedSince) {
    if (!rows.valid) {
        for (const SOCKET_CLOSE_EVENT& c : closedSince) SocketClosed(c, nowMs, events);
        return;
    }
    PerTable& t = m_tables[static_cast<unsigned>(rows.table)];
    const std::size_t n = std::min(rows.rows.size(), rows.details.size());
    // The sockets of this table, by row key and by cookie, each with the
    // owner last found for it: its own, else the one found before (a
    // connection in TIME_WAIT has no process).
    std::vector<std::string> identities;
    identities.reserve(n);
    std::unordered_map<std::string, Known> now;
    now.reserve(n);
    std::unordered_map<std::uint64_t, std::string> nowCookies;
    for (std::size_t i = 0; i < n; ++i) {
        const Row& row = rows.rows[i];
        const Detail& detail = rows.details[i];
        identities.push_back(IdentityOf(detail));
        Known known{row.state, detail};
        if (detail.pid != 0) {
            t.owners[identities.back()] = Owner{detail.owner, detail.pid, detail.process};
        } else if (const auto owner = t.owners.find(identities.back()); owner != t.owners.end()) {
            SetOwner(known.detail, owner->second);
        } else if (const auto before = t.rows.find(row.key); before != t.rows.end() && before->second.detail.pid != 0) {
            SetOwner(known.detail,
                     {before->second.detail.owner, before->second.detail.pid, before->second.detail.process});
        }
        if (detail.cookie != 0) {
            nowCookies.emplace(detail.cookie, row.key);
            // Seen again after it was logged closed (a listener that listens
            // again): its close is news again.
            t.leftTable.Erase(identities.back());
        }
        now.emplace(row.key, std::move(known));
    }
    // The sockets the kernel closed while the table was taken are logged
    // once, as closed, with what this table or the last one knew of them,
    // and remembered past this table, which cannot tell that they have
    // left.
    std::unordered_set<std::string> closedAfter;
    for (const SOCKET_CLOSE_EVENT& c : closedSince) {
        ClosedSocket socket;
        if (!DescribeClosedSocket(c, socket)) continue;
        if (socket.table != rows.table) {
            SocketClosed(c, nowMs, events);
            continue;
        }
        std::vector<std::string> closedIdentities;
        CloseOf(t, c, socket, &now, &nowCookies, nowMs, events, closedIdentities);
        for (std::string& identity : closedIdentities) {
            MarkClosed(t.closedByKernel, identity);
            closedAfter.insert(std::move(identity));
        }
    }
    if (t.seen) {
        for (std::size_t i = 0; i < n; ++i) {
            const Row& row = rows.rows[i];
            const Known& known = now.find(row.key)->second;
            const auto before = t.rows.find(row.key);
            bool closed = t.closedByKernel.count(identities[i]) != 0;
            // A connection the kernel closed before any table showed it
            // lingers in TIME_WAIT under a cookie of its own (the kernel
            // gives the lingering socket the cookie the connection had only
            // if a dump had asked for it by then): found by its ends, and
            // known by its own cookie from then on.
            if (!closed && row.state == kTimeWait && IsTcp(rows.table) && rows.details[i].cookie != 0 &&
                t.closedByKernel.count(rows.details[i].endpoints) != 0) {
                closed = true;
                MarkClosed(t.closedByKernel, identities[i]);
            }
            if (before == t.rows.end()) {
                if (!closed) events.push_back(MakeEvent(Event::What::Opened, rows.table, known.detail, nowMs));
            } else if (before->second.state != row.state && IsTcp(rows.table) && !closed) {
                Event event = MakeEvent(Event::What::State, rows.table, known.detail, nowMs);
                event.state = StateText(row.state);
                events.push_back(std::move(event));
            }
        }
        for (const auto& [key, known] : t.rows) {
            if (now.count(key) != 0) continue;
            const std::string identity = IdentityOf(known.detail);
            if (t.closedByKernel.count(identity) != 0) continue;
            events.push_back(MakeEvent(Event::What::Closed, rows.table, known.detail, nowMs));
            // Its notification may come yet (a connection reset by its peer
            // is destroyed only when its process lets it go).
            if (known.detail.cookie != 0) t.leftTable.Insert(identity);
        }
    }
    // Sockets the kernel closed are forgotten once they have left the table,
    // and so are the owners of sockets no longer in it.
    const std::unordered_set<std::string> present(identities.begin(), identities.end());
    std::erase_if(t.closedByKernel, [&present, &closedAfter](const std::string& e) {
        return present.count(e) == 0 && closedAfter.count(e) == 0;
    });
    std::erase_if(t.owners, [&present](const auto& entry) { return present.count(entry.first) == 0; });
    t.rows = std::move(now);
    t.cookies = std::move(nowCookies);
    t.seen = true;
}

void EventTracker::SocketClosed(const SOCKET_CLOSE_EVENT& closed, std::int64_t nowMs, std::vector<Event>& events) {
    ClosedSocket socket;
    if (!DescribeClosedSocket(closed, socket)) return;
    PerTable& t = m_tables[static_cast<unsigned>(socket.table)];
    std::vector<std::string> identities;
    CloseOf(t, closed, socket, nullptr, nullptr, nowMs, events, identities);
    // Only a table that is being taken needs to know; one that is not would
    // only gather them.
    if (t.seen)
        for (const std::string& identity : identities) MarkClosed(t.closedByKernel, identity);
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
        for (const Row& row : rows.rows)
            handed.lines.push_back({row.key, row.state, row.text, Mark::None, kNoLine, row.record});
        // After a failed table the next one starts afresh too.
        if (!rows.valid) handed.serial = 0;
        out.lineCount = handed.lines.size();
        if (rows.facts) out.lineRows = LineRows(handed.lines);
        out.records = LineRecords(handed.lines);
        out.rows = std::move(rows);
        return out;
    }
    std::vector<Line> next = NextLines(handed.lines, rows.rows);
    if (!markChanges) {
        // Unmarked, a closed socket's line goes at once.
        std::erase_if(next, [](const Line& l) { return l.mark == Mark::Closed; });
        for (Line& l : next) l.mark = Mark::None;
    }
    MarkClosedRecords(next);
    out.edits = PlanEdits(handed.lines, next);
    out.lineCount = next.size();
    if (rows.facts) out.lineRows = LineRows(next);
    out.records = LineRecords(next);
    handed.lines = std::move(next);
    // The pane needs the rows' flags and facts, not their lines.
    out.rows.table = rows.table;
    out.rows.valid = rows.valid;
    out.rows.noIpv6 = rows.noIpv6;
    out.rows.facts = std::move(rows.facts);
    return out;
}

Monitor::Monitor(Callbacks callbacks, bool closeNotifications, EventTracker::Options options)
    : m_callbacks(std::move(callbacks)), m_options(options) {
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
    EventTracker tracker(m_options);
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
            if (forPanes[i].wanted || summaryWanted) AttachRecords(rows);
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
