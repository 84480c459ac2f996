#include "SocketRecord.h"

#include <arpa/inet.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "ConnectionReports.h"
#include "InetText.h"
#include "PrintableText.h"
#include "SocketDetails.h"

namespace sockets {

namespace {

constexpr const char* kTitles[kColumnCount] = {
    "Time",         "Event",     "Protocol",  "Local Address", "Local Port", "Remote Address", "Remote Port",
    "State",        "PID",       "Process",   "User",          "Sent",       "Received",       "Send Rate",
    "Receive Rate", "Round Trip", "Retransmits", "Service",    "Container",  "Sockets"};

// TCP states in which the process has closed its end (FIN_WAIT1 ...
// TIME_WAIT, DELETE_TCB): a socket without an owner there has lost it.
bool ClosedByItsProcess(std::uint32_t state) {
    return state == 1 || (state >= 6 && state <= 12 && state != 8);
}

bool IsTcp(Table table) { return table == Table::Tcp || table == Table::Tcp6; }

// "512 B", "1.95 KiB": the rate text without its "/s".
std::string ShortBytes(std::uint64_t bytes) {
    std::string text = RateText(static_cast<double>(bytes));
    if (text.size() > 2 && text.ends_with("/s")) text.resize(text.size() - 2);
    return text;
}

std::string TimeText(std::int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return {};
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                                static_cast<int>(((ms % 1000) + 1000) % 1000));
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

template <class T>
int Three(T a, T b) {
    return a < b ? -1 : b < a ? 1 : 0;
}

int CompareAddress(const IpAddress& a, const IpAddress& b) {
    if (a.family != b.family) return Three(a.family, b.family);
    const std::size_t n = a.family == 4 ? 4 : 16;
    const int c = std::memcmp(a.bytes.data(), b.bytes.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
    return Three(a.zone, b.zone);
}

int CompareText(const std::string& a, const std::string& b) {
    // Empty (no value) first, then without regard to case.
    if (a.empty() != b.empty()) return a.empty() ? -1 : 1;
    const int c = strcasecmp(a.c_str(), b.c_str());
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// Numbers a record may lack: those without come first.
int CompareOptional(bool hasA, double a, bool hasB, double b) {
    if (hasA != hasB) return hasA ? 1 : -1;
    return hasA ? Three(a, b) : 0;
}

// An address of `n` bytes out of a row's key, from `at`; false when the
// key is too short (a key made by another library).
bool TakeAddress(const std::string& key, std::size_t& at, std::size_t n, IpAddress& out, std::uint16_t& port) {
    if (key.size() < at + n + 2) return false;
    out.family = n == 4 ? 4 : 6;
    std::memcpy(out.bytes.data(), key.data() + at, n);
    at += n;
    port = static_cast<std::uint16_t>((static_cast<unsigned char>(key[at]) << 8) | static_cast<unsigned char>(key[at + 1]));
    at += 2;
    return true;
}

std::uint32_t TakeWord(const std::string& key, std::size_t at) {
    std::uint32_t word = 0;
    if (key.size() >= at + sizeof word) std::memcpy(&word, key.data() + at, sizeof word);
    return word;
}

// The zone name in an endpoint text "[fe80::1%eth0]:22".
std::string ZoneOf(const std::string& endpoint) {
    const std::size_t percent = endpoint.find('%');
    const std::size_t close = endpoint.rfind(']');
    if (percent == std::string::npos || close == std::string::npos || close <= percent) return {};
    return endpoint.substr(percent + 1, close - percent - 1);
}

// An endpoint's text as the log writes it ("127.0.0.1:5000",
// "[fe80::1%eth0]:22") as an address and port; false for anything else.
bool ParseEndpoint(const std::string& text, IpAddress& out, std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || text.size() - colon > 6) return false;
    unsigned long value = 0;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value > 0xFFFF) return false;
    std::string host = text.substr(0, colon);
    IpAddress address;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        const std::size_t percent = host.find('%');
        if (percent != std::string::npos) {
            address.zoneName = host.substr(percent + 1);
            host.resize(percent);
        }
        if (inet_pton(AF_INET6, host.c_str(), address.bytes.data()) != 1) return false;
        address.family = 6;
        address.zone = address.zoneName.empty() ? 0 : 1;
    } else {
        if (inet_pton(AF_INET, host.c_str(), address.bytes.data()) != 1) return false;
        address.family = 4;
    }
    out = std::move(address);
    port = static_cast<std::uint16_t>(value);
    return true;
}

Table TableOfProtocol(const std::string& protocol) {
    if (protocol == "UDP") return Table::Udp;
    if (protocol == "TCPv6") return Table::Tcp6;
    if (protocol == "UDPv6") return Table::Udp6;
    return Table::Tcp;
}

}  // namespace

const char* ColumnTitle(Column column) {
    const auto i = static_cast<std::size_t>(column);
    return i < kColumnCount ? kTitles[i] : "";
}

std::string AddressText(const IpAddress& address) {
    if (address.family == 4)
        return std::to_string(address.bytes[0]) + '.' + std::to_string(address.bytes[1]) + '.' +
               std::to_string(address.bytes[2]) + '.' + std::to_string(address.bytes[3]);
    if (address.family != 6) return {};
    std::string text = Ipv6Text(address.bytes.data());
    if (address.zone != 0 && Ipv6NeedsZone(address.bytes.data()))
        text += '%' + (address.zoneName.empty() ? std::to_string(address.zone) : address.zoneName);
    return text;
}

std::string ColumnText(const Record& r, Column column) {
    const bool socket = r.kind != Record::Kind::Process;
    const bool tcp = IsTcp(r.table);
    const Traffic& t = r.traffic;
    switch (column) {
        case Column::Time: return r.kind == Record::Kind::Event ? TimeText(r.timeMs) : std::string();
        case Column::Event: return r.event;
        case Column::Protocol: return socket ? ProtocolName(r.table) : std::string();
        case Column::LocalAddress: return AddressText(r.local);
        case Column::LocalPort: return r.local.family != 0 ? std::to_string(r.localPort) : std::string();
        case Column::RemoteAddress: return AddressText(r.remote);
        case Column::RemotePort: return r.remote.family != 0 ? std::to_string(r.remotePort) : std::string();
        case Column::State:
            if (r.closed && socket) return "CLOSED";
            return tcp && socket && r.state != 0 ? StateText(r.state) : std::string();
        case Column::Pid: return r.pid != 0 ? std::to_string(r.pid) : std::string();
        case Column::Process: return !r.process.empty() ? r.process : r.ownerMissing;
        case Column::User: return r.user;
        case Column::Sent: return t.counted ? ShortBytes(t.sent) : std::string();
        case Column::Received: return t.counted ? ShortBytes(t.received) : std::string();
        case Column::SendRate: return t.hasRate ? RateText(t.sendRate) : std::string();
        case Column::ReceiveRate: return t.hasRate ? RateText(t.receiveRate) : std::string();
        case Column::RoundTrip:
            return t.hasPath ? (t.rttMs != 0 ? std::to_string(t.rttMs) + " ms" : std::string("< 1 ms")) : std::string();
        case Column::Retransmits: return t.hasPath ? std::to_string(t.retransmits) : std::string();
        case Column::Service: return r.service;
        case Column::Container: return r.container;
        case Column::Sockets: return r.kind == Record::Kind::Process ? std::to_string(r.sockets) : std::string();
    }
    return {};
}

int CompareBy(const Record& a, const Record& b, Column column) {
    const Traffic& x = a.traffic;
    const Traffic& y = b.traffic;
    switch (column) {
        case Column::Time: return Three(a.timeMs, b.timeMs);
        case Column::Protocol: return Three(static_cast<int>(a.table), static_cast<int>(b.table));
        case Column::LocalAddress: return CompareAddress(a.local, b.local);
        case Column::RemoteAddress: return CompareAddress(a.remote, b.remote);
        case Column::LocalPort: return CompareOptional(a.local.family != 0, a.localPort, b.local.family != 0, b.localPort);
        case Column::RemotePort:
            return CompareOptional(a.remote.family != 0, a.remotePort, b.remote.family != 0, b.remotePort);
        case Column::Pid: return CompareOptional(a.pid != 0, a.pid, b.pid != 0, b.pid);
        case Column::Sent: return CompareOptional(x.counted, static_cast<double>(x.sent), y.counted, static_cast<double>(y.sent));
        case Column::Received:
            return CompareOptional(x.counted, static_cast<double>(x.received), y.counted, static_cast<double>(y.received));
        case Column::SendRate: return CompareOptional(x.hasRate, x.sendRate, y.hasRate, y.sendRate);
        case Column::ReceiveRate: return CompareOptional(x.hasRate, x.receiveRate, y.hasRate, y.receiveRate);
        case Column::RoundTrip: return CompareOptional(x.hasPath, x.rttMs, y.hasPath, y.rttMs);
        case Column::Retransmits: return CompareOptional(x.hasPath, x.retransmits, y.hasPath, y.retransmits);
        case Column::Sockets: return Three(a.sockets, b.sockets);
        case Column::Event:
        case Column::State:
        case Column::Process:
        case Column::User:
        case Column::Service:
        case Column::Container: break;
    }
    return CompareText(ColumnText(a, column), ColumnText(b, column));
}

void FillRecord(const TableRows& rows, std::size_t i, Record& record) {
    Record* r = &record;
    const TableFacts* facts = rows.facts.get();
    const bool v6 = rows.table == Table::Tcp6 || rows.table == Table::Udp6;
    const bool tcp = IsTcp(rows.table);
    const std::size_t n = v6 ? 16 : 4;
    if (i < rows.rows.size()) {
        r->table = rows.table;
        r->state = tcp ? rows.rows[i].state : 0;
        // The key: a byte for the protocol, the local end, the remote end
        // (TCP), then for IPv6 the zones of the ends.
        const std::string& key = rows.rows[i].key;
        std::size_t at = 1;
        if (TakeAddress(key, at, n, r->local, r->localPort) && tcp) TakeAddress(key, at, n, r->remote, r->remotePort);
        if (v6) {
            r->local.zone = TakeWord(key, at);
            if (tcp) r->remote.zone = TakeWord(key, at + 4);
        }
        if (i < rows.details.size()) {
            const Detail& d = rows.details[i];
            r->pid = d.pid;
            r->process = PrintableUtf8(d.process);
            if (r->local.zone != 0) r->local.zoneName = PrintableUtf8(ZoneOf(d.local));
            if (r->remote.zone != 0) r->remote.zoneName = PrintableUtf8(ZoneOf(d.remote));
        }
        if (facts != nullptr) {
            if (i < facts->traffic.size()) r->traffic = facts->traffic[i];
            if (r->pid != 0 && facts->owners) {
                const auto found = facts->owners->find(r->pid);
                if (found != facts->owners->end() && found->second.pid != 0) {
                    const ProcessDetails& owner = found->second;
                    // Names a process or a user chose: made printable
                    // once, here, for every view and the filter.
                    r->path = PrintableUtf8(owner.path);
                    r->user = PrintableUtf8(owner.user);
                    if (r->user.empty() && owner.hasUid) r->user = std::to_string(owner.uid);
                    r->service = PrintableUtf8(owner.service);
                    r->container = PrintableUtf8(owner.container);
                }
            }
        }
        // Why no owner: its process let it go; or the search was told it
        // could not look everywhere (privileges); or it looked and found
        // none (a process of another namespace, one gone meanwhile).
        if (r->pid == 0)
            r->ownerMissing = tcp && ClosedByItsProcess(r->state)               ? "\u2014 (" + StateText(r->state) + ")"
                              : facts != nullptr && !facts->ownersIncomplete.empty() ? std::string("needs privileges")
                                                                                    : std::string("not found");
    }
}

std::vector<RecordPtr> MakeRecords(const TableRows& rows) {
    std::vector<RecordPtr> out;
    out.reserve(rows.rows.size());
    for (std::size_t i = 0; i < rows.rows.size(); ++i) {
        auto r = std::make_shared<Record>();
        FillRecord(rows, i, *r);
        out.push_back(std::move(r));
    }
    return out;
}

RecordPtr EventRecord(const Event& event) {
    auto r = std::make_shared<Record>();
    r->kind = Record::Kind::Event;
    r->table = TableOfProtocol(event.protocol);
    ParseEndpoint(event.local, r->local, r->localPort);
    ParseEndpoint(event.remote, r->remote, r->remotePort);
    r->pid = event.pid;
    r->process = PrintableUtf8(event.process);
    r->local.zoneName = PrintableUtf8(r->local.zoneName);
    r->remote.zoneName = PrintableUtf8(r->remote.zoneName);
    r->timeMs = event.timeMs;
    r->event = PrintableUtf8(WhatText(event));
    if (event.what == Event::What::State) {
        // The state the socket went into, as a number the filter and the
        // State column know.
        for (std::uint32_t s = 1; s <= 12; ++s)
            if (StateText(s) == event.state) r->state = s;
    } else if (event.what == Event::What::Closed) {
        r->closed = true;
    }
    if (r->pid == 0) r->ownerMissing = event.owner == kOwnerNotFound ? "closed before it was seen" : std::string();
    return r;
}

void AttachRecords(TableRows& rows) {
    std::vector<RecordPtr> records = MakeRecords(rows);
    for (std::size_t i = 0; i < rows.rows.size() && i < records.size(); ++i) rows.rows[i].record = std::move(records[i]);
}

void MarkClosedRecords(std::vector<Line>& lines) {
    for (Line& line : lines) {
        if (line.mark != Mark::Closed || !line.record || line.record->closed) continue;
        auto record = std::make_shared<Record>(*line.record);
        record->closed = true;
        line.record = std::move(record);
    }
}

std::vector<RecordPtr> LineRecords(const std::vector<Line>& lines) {
    std::vector<RecordPtr> out;
    out.reserve(lines.size());
    for (const Line& line : lines) out.push_back(line.record);
    return out;
}

}  // namespace sockets
