#include "ProcessReports.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>

#include "SocketDetails.h"
#include "SocketRecord.h"
#include "WideText.h"

namespace sockets {

namespace {

bool IsTcp(Table t) { return t == Table::Tcp || t == Table::Tcp6; }
bool IsIpv6(Table t) { return t == Table::Tcp6 || t == Table::Udp6; }
constexpr std::uint32_t kListening = 2;

// Columns count characters, not bytes: a label may hold any UTF-8.
std::size_t Characters(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

std::string Padded(std::string text, std::size_t width) {
    const std::size_t characters = Characters(text);
    if (characters < width) text.append(width - characters, ' ');
    return text;
}

// A process's row in the table: its owner facts from its first socket,
// its sockets (as children) and their traffic summed.
RecordPtr ProcessRecord(const ProcessTotals& p) {
    auto r = std::make_shared<Record>();
    r->kind = Record::Kind::Process;
    r->pid = p.pid;
    if (!p.records.empty()) {
        const Record& first = *p.records.front();
        r->process = first.process;
        r->path = first.path;
        r->user = first.user;
        r->service = first.service;
        r->container = first.container;
    }
    for (std::size_t n : p.sockets) r->sockets += n;
    r->traffic.counted = p.counted;
    r->traffic.sent = p.sent;
    r->traffic.received = p.received;
    r->traffic.hasRate = p.rated;
    r->traffic.sendRate = p.sendRate;
    r->traffic.receiveRate = p.receiveRate;
    r->children = p.records;
    return r;
}

std::string PortKey(std::uint16_t port) {
    return {static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

}  // namespace

void AddToSummary(Summary& summary, const TableRows& rows) {
    const unsigned t = static_cast<unsigned>(rows.table);
    summary.valid[t] = rows.valid;
    summary.noIpv6[t] = rows.noIpv6;
    for (std::size_t i = 0; i < rows.details.size() && i < rows.rows.size(); ++i) {
        const Detail& d = rows.details[i];
        SocketFact f;
        f.table = rows.table;
        f.state = rows.rows[i].state;
        f.pid = d.pid;
        f.owner = d.owner;
        f.local = d.local;
        f.port = d.localPort;
        f.anyAddress = d.localAny;
        f.dualStack = d.dualStack;
        if (rows.facts && i < rows.facts->traffic.size()) f.traffic = rows.facts->traffic[i];
        f.record = rows.rows[i].record;
        summary.sockets.push_back(std::move(f));
    }
}

std::vector<ProcessTotals> TotalsByProcess(const Summary& summary) {
    std::unordered_map<DWORD, ProcessTotals> byPid;
    for (const SocketFact& f : summary.sockets) {
        // A socket no process holds (TIME_WAIT, or one whose owner was not
        // found) belongs to no process.
        if (f.pid == 0) continue;
        ProcessTotals& p = byPid[f.pid];
        p.pid = f.pid;
        if (p.label.empty()) p.label = f.owner;
        const unsigned t = static_cast<unsigned>(f.table);
        ++p.sockets[t];
        if (IsTcp(f.table)) ++p.states[t][f.state];
        if (f.traffic.counted) {
            p.counted = true;
            p.sent += f.traffic.sent;
            p.received += f.traffic.received;
        }
        if (f.traffic.hasRate) {
            p.rated = true;
            p.sendRate += f.traffic.sendRate;
            p.receiveRate += f.traffic.receiveRate;
        }
        if (f.record) p.records.push_back(f.record);
    }
    std::vector<ProcessTotals> order;
    order.reserve(byPid.size());
    for (auto& [pid, p] : byPid) order.push_back(std::move(p));
    std::sort(order.begin(), order.end(), [](const ProcessTotals& a, const ProcessTotals& b) {
        const double ra = a.sendRate + a.receiveRate, rb = b.sendRate + b.receiveRate;
        return ra != rb ? ra > rb : a.pid < b.pid;
    });
    return order;
}

std::vector<Row> ProcessRows(const Summary& summary) {
    const std::vector<ProcessTotals> totals = TotalsByProcess(summary);
    std::size_t width = 0;
    for (const ProcessTotals& p : totals) width = std::max(width, Characters(p.label));
    std::vector<const ProcessTotals*> order;
    for (const ProcessTotals& p : totals) order.push_back(&p);
    std::vector<Row> rows;
    rows.reserve(order.size());
    for (const ProcessTotals* p : order) {
        std::string text = Padded(p->label, width);
        std::string counts;
        for (unsigned t = 0; t < 4; ++t) {
            if (p->sockets[t] == 0) continue;
            if (!counts.empty()) counts += ", ";
            counts += std::string(ProtocolName(static_cast<Table>(t))) + ' ' + std::to_string(p->sockets[t]);
            if (!p->states[t].empty()) {
                std::string states;
                for (const auto& [state, n] : p->states[t])
                    states += (states.empty() ? "" : ", ") + StateText(state) + ' ' + std::to_string(n);
                counts += " (" + states + ')';
            }
        }
        text += " | " + counts;
        if (p->counted) {
            text += " | " + ByteCountText(p->sent) + " sent, " + ByteCountText(p->received) + " received";
            text += p->rated ? " | " + RateText(p->sendRate) + " sent, " + RateText(p->receiveRate) + " received"
                             : std::string(" | rate measured from the next refresh");
        }
        std::string key(reinterpret_cast<const char*>(&p->pid), sizeof p->pid);
        rows.push_back(Row{std::move(key), 0, AnsiToWide(text), ProcessRecord(*p)});
    }
    return rows;
}

std::vector<Listener> Listeners(const Summary& summary) {
    std::vector<const SocketFact*> open;
    for (const SocketFact& f : summary.sockets)
        if (IsTcp(f.table) ? f.state == kListening : true) open.push_back(&f);
    // A process on every address of both families, same port and protocol,
    // is one listener of both: the IPv4 socket joins its IPv6 twin.
    std::map<std::tuple<bool, std::uint16_t, DWORD>, const SocketFact*> anyIpv6;
    for (const SocketFact* f : open)
        if (f->anyAddress && IsIpv6(f->table) && f->pid != 0) anyIpv6[{IsTcp(f->table), f->port, f->pid}] = f;
    std::vector<Listener> listeners;
    std::map<const SocketFact*, bool> joined;
    for (const SocketFact* f : open) {
        if (f->anyAddress && !IsIpv6(f->table) && f->pid != 0) {
            const auto twin = anyIpv6.find({IsTcp(f->table), f->port, f->pid});
            if (twin != anyIpv6.end() && !joined[twin->second]) {
                joined[twin->second] = true;
                continue;  // shown by its twin
            }
        }
        listeners.push_back({f, false});
    }
    // The ports of each protocol that an IPv4 socket holds: where one does,
    // an IPv6 socket on the any address of the same port and protocol cannot
    // take IPv4 too, whatever the system's default says.
    std::set<std::pair<bool, std::uint16_t>> ipv4Ports;
    for (const SocketFact& f : summary.sockets)
        if (!IsIpv6(f.table)) ipv4Ports.insert({IsTcp(f.table), f.port});
    const auto takesIpv4 = [&ipv4Ports](const SocketFact& f) {
        if (!f.anyAddress || !IsIpv6(f.table)) return false;
        return f.dualStack == DualStack::Yes ||
               (f.dualStack == DualStack::Assumed && ipv4Ports.count({IsTcp(f.table), f.port}) == 0);
    };
    for (Listener& l : listeners) l.both = joined[l.fact] || takesIpv4(*l.fact);
    std::sort(listeners.begin(), listeners.end(), [](const Listener& a, const Listener& b) {
        const bool ta = IsTcp(a.fact->table), tb = IsTcp(b.fact->table);
        return std::tuple(a.fact->port, !ta, IsIpv6(a.fact->table), a.fact->local, a.fact->pid) <
               std::tuple(b.fact->port, !tb, IsIpv6(b.fact->table), b.fact->local, b.fact->pid);
    });
    return listeners;
}

std::vector<Row> ListeningRows(const Summary& summary) {
    const std::vector<Listener> listeners = Listeners(summary);
    std::size_t width = 0;
    for (const Listener& l : listeners) width = std::max(width, Characters(l.fact->local));
    std::vector<Row> rows;
    rows.reserve(listeners.size());
    for (const Listener& l : listeners) {
        const bool tcp = IsTcp(l.fact->table);
        std::string text = std::string(tcp ? "TCP " : "UDP ") + Padded(l.fact->local, width) + "  " + l.fact->owner;
        std::u16string line = AnsiToWide(text);
        if (l.both) line += std::u16string(u" ") + kBothFamilies;
        std::string key = PortKey(l.fact->port) + (tcp ? 'T' : 'U') + l.fact->local + '\0' +
                          std::string(reinterpret_cast<const char*>(&l.fact->pid), sizeof l.fact->pid);
        RecordPtr record = l.fact->record;
        if (record && l.both) {
            auto both = std::make_shared<Record>(*record);
            both->bothFamilies = true;
            record = std::move(both);
        }
        rows.push_back(Row{std::move(key), 0, std::move(line), std::move(record)});
    }
    return rows;
}

}  // namespace sockets
