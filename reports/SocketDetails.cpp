#include "SocketDetails.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cinttypes>
#include <cstdio>
#include <unordered_set>

#include "IpHelper.h"
#include "PrintableText.h"
#include "WideText.h"

namespace sockets {

namespace {

// TCP states in which the process has closed its end (FIN_WAIT1 ...
// TIME_WAIT, DELETE_TCB): a socket without an owner there has lost it.
bool ClosedByItsProcess(std::uint32_t state) {
    return state == 1 || (state >= 6 && state <= 12 && state != 8);
}

// The traffic of each row of an owner table of TCP connections.
template <class Record>
void GatherTraffic(TableFacts& facts, const void* table) {
    const auto* records = static_cast<const Record*>(table);
    facts.traffic.assign(facts.pids.size(), Traffic{});
    for (std::size_t i = 0; i < facts.traffic.size(); ++i) {
        TcpConnectionStatistics stats;
        if (!GetConnectionStatistics(records->table[i], stats)) continue;
        Traffic& traffic = facts.traffic[i];
        traffic.counted = true;
        traffic.sent = stats.bytesSent;
        traffic.received = stats.bytesReceived;
        traffic.hasPath = stats.hasPath;
        traffic.rttMs = stats.smoothedRttMs;
        traffic.retransmits = stats.retransmits;
    }
}

std::string Printf(const char* format, auto... values) {
    char buffer[128];
    const int n = std::snprintf(buffer, sizeof buffer, format, values...);
    return n > 0 ? std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1))
                 : std::string();
}

// Three significant digits in the largest unit that keeps the number
// below 1024 once rounded.
std::string Scaled(double value, const char* suffix) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    value /= 1024.0;
    while (value >= 1023.5 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    const char* format = value < 9.995 ? "%.2f %s%s" : value < 99.95 ? "%.1f %s%s" : "%.0f %s%s";
    return Printf(format, value, kUnits[unit], suffix);
}

std::string StartText(std::int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return "unknown";
    char buffer[64];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    return n > 0 ? std::string(buffer, n) : std::string("unknown");
}

// A line of a label and a value that may hold anything a process put in
// its command line: made printable (PrintableText.h), never a break or an
// escape.  A command line's line feeds show as U+23CE.
void Add(std::vector<std::u16string>& lines, const char* label, const std::string& value,
         LineFeeds feeds = LineFeeds::Replaced) {
    std::u16string line = AnsiToWide(std::string(label) + ": " + value);
    MakePrintable(line, feeds);
    lines.push_back(std::move(line));
}

void OwnerLines(const TableFacts& facts, std::size_t i, std::vector<std::u16string>& lines) {
    const DWORD pid = facts.pids[i];
    const std::uint32_t state = facts.states[i];
    const bool tcp = facts.table == Table::Tcp || facts.table == Table::Tcp6;
    const ProcessDetails* owner = nullptr;
    if (pid != 0 && facts.owners) {
        const auto found = facts.owners->find(pid);
        if (found != facts.owners->end() && found->second.pid != 0) owner = &found->second;
    }
    if (owner == nullptr) {
        // No owner: its process has let the socket go (a connection closing
        // or in TIME_WAIT is the kernel's alone), or no process this user
        // can look into holds it.  Even root may be refused some processes'
        // descriptors (another PID namespace's, a protected init's).
        const bool closed = pid == 0 && tcp && ClosedByItsProcess(state);
        lines.push_back(AnsiToWide(closed ? kClosedBeforeOwnerFound : kOwnerNotVisible));
        // And why the search may have missed it.
        if (!closed && !facts.ownersIncomplete.empty()) Add(lines, kOwnersIncomplete, facts.ownersIncomplete);
        return;
    }
    const std::uint64_t ownNamespace = OwnNetworkNamespace();
    if (owner->netNamespace != 0 && ownNamespace != 0 && owner->netNamespace != ownNamespace)
        lines.push_back(AnsiToWide(kOwnerInOtherNamespace));
    Add(lines, "Process",
        Printf("%u ", static_cast<unsigned>(owner->pid)) +
            (owner->path.empty() ? std::string("(executable not visible to this user)") : owner->path));
    Add(lines, "Command line", owner->commandLine.empty() ? std::string("(none)") : owner->commandLine,
        LineFeeds::Symbol);
    if (owner->hasUid)
        Add(lines, "User",
            (owner->user.empty() ? std::string("(no name)") : owner->user) +
                Printf(" (%u)", static_cast<unsigned>(owner->uid)));
    if (!owner->service.empty()) Add(lines, "Service", owner->service);
    if (!owner->container.empty()) Add(lines, "Container", owner->container);
    if (owner->startTimeMs >= 0) Add(lines, "Started", StartText(owner->startTimeMs));
}

void TrafficLines(const TableFacts& facts, std::size_t i, std::vector<std::u16string>& lines) {
    // The system keeps no per-socket counts of UDP: one line says so.
    if (facts.table == Table::Udp || facts.table == Table::Udp6) {
        Add(lines, "Traffic", kNotCountedForUdp);
        return;
    }
    const Traffic* t = i < facts.traffic.size() ? &facts.traffic[i] : nullptr;
    if (t == nullptr || !t->counted) {
        Add(lines, "Traffic", "not counted by the system for this connection");
        return;
    }
    Add(lines, "Bytes sent", ByteCountText(t->sent));
    Add(lines, "Bytes received", ByteCountText(t->received));
    Add(lines, "Rate", t->hasRate ? RateText(t->sendRate) + " sent, " + RateText(t->receiveRate) + " received"
                                  : std::string("measured from the next refresh"));
    if (t->hasPath) {
        const std::uint32_t state = facts.states[i];
        const bool measured = t->rttMs != 0 || (state != 2 && state != 3);  // not listening, not connecting
        Add(lines, "Round trip",
            t->rttMs != 0 ? Printf("%u ms", t->rttMs) : measured ? std::string("< 1 ms") : std::string("not measured"));
        Add(lines, "Retransmits", Printf("%u", t->retransmits));
    }
}

}  // namespace

std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string ByteCountText(std::uint64_t bytes) {
    std::string text = Printf("%" PRIu64 " bytes", bytes);
    if (bytes >= 1024) text += " (" + Scaled(static_cast<double>(bytes), "") + ")";
    return text;
}

std::string RateText(double bytesPerSecond) {
    if (!(bytesPerSecond >= 0) || !std::isfinite(bytesPerSecond)) bytesPerSecond = 0;
    if (bytesPerSecond < 1023.5) return Printf("%.0f B/s", bytesPerSecond);
    return Scaled(bytesPerSecond, "/s");
}

void GatherFacts(TableRows& rows, const void* table) {
    auto facts = std::make_shared<TableFacts>();
    facts->table = rows.table;
    facts->ownersIncomplete = OwnersIncompleteReason(static_cast<unsigned>(rows.table));
    facts->pids.reserve(rows.details.size());
    facts->states.reserve(rows.rows.size());
    for (const Detail& d : rows.details) facts->pids.push_back(d.pid);
    for (const Row& r : rows.rows) facts->states.push_back(r.state);
    facts->states.resize(facts->pids.size(), 0);
    if (table != nullptr) {
        if (rows.table == Table::Tcp)
            GatherTraffic<MIB_TCPTABLE_OWNER_PID>(*facts, table);
        else if (rows.table == Table::Tcp6)
            GatherTraffic<MIB_TCP6TABLE_OWNER_PID>(*facts, table);
    }
    std::vector<DWORD> pids;
    std::unordered_set<DWORD> seen;
    for (DWORD pid : facts->pids)
        if (pid != 0 && seen.insert(pid).second) pids.push_back(pid);
    std::vector<ProcessDetails> details;
    GetProcessDetails(pids, details);
    auto owners = std::make_shared<OwnerDetails>();
    owners->reserve(pids.size());
    for (std::size_t i = 0; i < pids.size() && i < details.size(); ++i) owners->emplace(pids[i], std::move(details[i]));
    facts->owners = std::move(owners);
    rows.facts = std::move(facts);
}

void RateKeeper::Apply(TableRows& rows, std::int64_t nowMs) {
    if (!rows.valid || !rows.facts) return;
    std::vector<Traffic>& traffic = rows.facts->traffic;
    const double seconds = m_lastMs >= 0 ? static_cast<double>(nowMs - m_lastMs) / 1000.0 : 0.0;
    std::unordered_map<std::string, Counts> now;
    now.reserve(traffic.size());
    for (std::size_t i = 0; i < traffic.size() && i < rows.rows.size(); ++i) {
        Traffic& t = traffic[i];
        if (!t.counted) continue;
        const std::string& key = rows.rows[i].key;
        if (seconds > 0) {
            const auto before = m_last.find(key);
            // Counts that went down belong to another connection on the
            // same ends: no rate from them.
            if (before != m_last.end() && t.sent >= before->second.sent && t.received >= before->second.received) {
                t.hasRate = true;
                t.sendRate = static_cast<double>(t.sent - before->second.sent) / seconds;
                t.receiveRate = static_cast<double>(t.received - before->second.received) / seconds;
            }
        }
        now.emplace(key, Counts{t.sent, t.received});
    }
    m_last = std::move(now);
    m_lastMs = nowMs;
}

std::vector<std::u16string> DetailLines(const TableFacts& facts, std::size_t i) {
    std::vector<std::u16string> lines;
    if (i >= facts.pids.size() || i >= facts.states.size()) return lines;
    OwnerLines(facts, i, lines);
    TrafficLines(facts, i, lines);
    return lines;
}

}  // namespace sockets
