// Socket and process records made by hand for the Processes table's tests:
// a socket named by its ends, a process with its sockets as children and
// their traffic summed, as the Processes rows make them.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SocketRecord.h"

namespace test_records {

inline sockets::IpAddress Ip(const std::string& text) {
    sockets::IpAddress a;
    if (inet_pton(AF_INET, text.c_str(), a.bytes.data()) == 1)
        a.family = 4;
    else if (inet_pton(AF_INET6, text.c_str(), a.bytes.data()) == 1)
        a.family = 6;
    return a;
}

// A socket: local end, remote end ("" for none), TCP state, and its rate
// in bytes per second (negative: not measured).
struct SocketSpec {
    std::uint16_t localPort = 0;
    std::string remote{};
    std::uint16_t remotePort = 0;
    double rate = -1;
    sockets::Table table = sockets::Table::Tcp;
    std::uint32_t state = 5;
    std::string local = "127.0.0.1";
    std::uint64_t sent = 0;
};

inline std::shared_ptr<sockets::Record> MakeSocket(const SocketSpec& s, DWORD pid = 0, const std::string& name = {}) {
    auto r = std::make_shared<sockets::Record>();
    r->table = s.table;
    r->local = Ip(s.local);
    r->localPort = s.localPort;
    if (!s.remote.empty()) r->remote = Ip(s.remote);
    r->remotePort = s.remotePort;
    r->state = s.table == sockets::Table::Tcp || s.table == sockets::Table::Tcp6 ? s.state : 0;
    r->pid = pid;
    r->process = name;
    r->traffic.counted = true;
    r->traffic.sent = s.sent;
    if (s.rate >= 0) {
        r->traffic.hasRate = true;
        r->traffic.sendRate = s.rate;
    }
    return r;
}

// A process record over its sockets (given with no owner: they get its).
inline std::shared_ptr<sockets::Record> MakeProcess(DWORD pid, const std::string& name,
                                                    const std::vector<SocketSpec>& specs) {
    auto p = std::make_shared<sockets::Record>();
    p->kind = sockets::Record::Kind::Process;
    p->pid = pid;
    p->process = name;
    p->user = "user" + std::to_string(pid);
    for (const SocketSpec& s : specs) {
        auto socket = MakeSocket(s, pid, name);
        socket->user = p->user;
        p->traffic.counted = true;
        p->traffic.sent += socket->traffic.sent;
        if (socket->traffic.hasRate) {
            p->traffic.hasRate = true;
            p->traffic.sendRate += socket->traffic.sendRate;
        }
        p->children.push_back(std::move(socket));
    }
    p->sockets = p->children.size();
    return p;
}

}  // namespace test_records
