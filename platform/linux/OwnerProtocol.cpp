#include "OwnerProtocol.h"

#include <cstring>
#include <unordered_set>

namespace owners {

namespace {

// Reads numbers from a payload front to back; every read is checked
// against what is left, and a failed read leaves the reader failed.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    template <class T>
    bool Read(T& value) {
        if (!Take(sizeof value)) return false;
        std::memcpy(&value, m_bytes.data() + m_offset - sizeof value, sizeof value);
        return true;
    }
    bool ReadText(std::size_t length, std::string& text) {
        if (!Take(length)) return false;
        text.assign(reinterpret_cast<const char*>(m_bytes.data() + m_offset - length), length);
        return true;
    }
    std::size_t Left() const { return m_bytes.size() - m_offset; }

private:
    bool Take(std::size_t n) {
        if (n > Left()) return false;
        m_offset += n;
        return true;
    }
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_offset = 0;
};

class Writer {
public:
    Writer(MessageType type, std::uint8_t table) {
        m_bytes.resize(kHeaderSize, 0);
        m_bytes[0] = static_cast<std::uint8_t>(type);
        m_bytes[1] = table;
    }
    template <class T>
    void Write(T value) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
        m_bytes.insert(m_bytes.end(), p, p + sizeof value);
    }
    void WriteText(std::string_view text) { m_bytes.insert(m_bytes.end(), text.begin(), text.end()); }
    void Reserve(std::size_t payload) { m_bytes.reserve(kHeaderSize + payload); }
    std::vector<std::uint8_t> Finish() {
        const auto length = static_cast<std::uint32_t>(m_bytes.size() - kHeaderSize);
        std::memcpy(m_bytes.data() + 4, &length, sizeof length);
        return std::move(m_bytes);
    }

private:
    std::vector<std::uint8_t> m_bytes;
};

std::uint64_t MaxLength(MessageType type) {
    switch (type) {
        case MessageType::Hello: return kHelloLength;
        case MessageType::OwnersRequest: return OwnersRequestLength(kMaxInodes);
        case MessageType::OwnersReply: return MaxOwnersReplyLength(kMaxInodes);
        case MessageType::StatsRequest: return 0;
        case MessageType::StatsReply: return kStatsLength;
        case MessageType::PathsRequest: return PathsRequestLength(kMaxPathPids);
        case MessageType::PathsReply: return MaxPathsReplyLength(kMaxPathPids);
    }
    return 0;
}

}  // namespace

bool ValidName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameLength && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::optional<Header> DecodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes) {
    const auto type = static_cast<MessageType>(bytes[0]);
    if (type != MessageType::Hello && type != MessageType::OwnersRequest && type != MessageType::OwnersReply &&
        type != MessageType::StatsRequest && type != MessageType::StatsReply && type != MessageType::PathsRequest &&
        type != MessageType::PathsReply)
        return std::nullopt;
    if (bytes[1] >= kTables || bytes[2] != 0 || bytes[3] != 0) return std::nullopt;
    std::uint32_t length = 0;
    std::memcpy(&length, bytes.data() + 4, sizeof length);
    if (length > MaxLength(type)) return std::nullopt;
    return Header{type, bytes[1], length};
}

std::optional<Hello> DecodeHello(std::span<const std::uint8_t> payload) {
    Reader in(payload);
    std::uint32_t magic = 0;
    Hello hello;
    if (!in.Read(magic) || !in.Read(hello.version) || !in.Read(hello.flags) || in.Left() != 0 || magic != kMagic)
        return std::nullopt;
    return hello;
}

std::optional<OwnersRequest> DecodeOwnersRequest(std::uint8_t table, std::span<const std::uint8_t> payload) {
    Reader in(payload);
    std::uint32_t count = 0;
    if (table >= kTables || !in.Read(count) || count > kMaxInodes || in.Left() != std::uint64_t{count} * 8)
        return std::nullopt;
    OwnersRequest request;
    request.table = table;
    request.inodes.resize(count);
    for (std::uint64_t& inode : request.inodes) in.Read(inode);
    return request;
}

std::optional<OwnersReply> DecodeOwnersReply(std::span<const std::uint8_t> payload, std::size_t expectedRows) {
    Reader in(payload);
    std::uint32_t shortfall = 0, count = 0;
    if (!in.Read(shortfall) || shortfall > kLastShortfall || !in.Read(count) || count != expectedRows ||
        in.Left() < std::uint64_t{count} * 4 + 4)
        return std::nullopt;
    OwnersReply reply;
    reply.shortfall = static_cast<Shortfall>(shortfall);
    reply.pids.resize(count);
    for (std::uint32_t& pid : reply.pids) in.Read(pid);
    std::uint32_t names = 0;
    if (!in.Read(names) || names > count) return std::nullopt;
    // A name must belong to a pid of the reply, once.
    const std::unordered_set<std::uint32_t> owners(reply.pids.begin(), reply.pids.end());
    std::unordered_set<std::uint32_t> named;
    reply.names.resize(names);
    for (OwnerName& n : reply.names) {
        std::uint8_t length = 0;
        if (!in.Read(n.pid) || !in.Read(length) || !in.ReadText(length, n.name) || !ValidName(n.name) ||
            n.pid == 0 || owners.count(n.pid) == 0 || !named.insert(n.pid).second)
            return std::nullopt;
    }
    if (in.Left() != 0) return std::nullopt;
    return reply;
}

std::optional<Stats> DecodeStats(std::span<const std::uint8_t> payload) {
    Reader in(payload);
    Stats stats;
    if (!in.Read(stats.fullWalks) || in.Left() != 0) return std::nullopt;
    return stats;
}

namespace {

bool ValidPath(std::string_view path) {
    return path.empty() ||
           (path.size() <= kMaxPathLength && path.front() == '/' && path.find('\0') == std::string_view::npos);
}

}  // namespace

std::optional<PathsRequest> DecodePathsRequest(std::span<const std::uint8_t> payload) {
    Reader in(payload);
    std::uint32_t count = 0;
    if (!in.Read(count) || count > kMaxPathPids || in.Left() != std::uint64_t{count} * 4) return std::nullopt;
    PathsRequest request;
    request.pids.resize(count);
    for (std::uint32_t& pid : request.pids)
        if (!in.Read(pid) || pid == 0) return std::nullopt;
    return request;
}

std::optional<PathsReply> DecodePathsReply(std::span<const std::uint8_t> payload, std::span<const std::uint32_t> asked) {
    Reader in(payload);
    std::uint32_t count = 0;
    if (!in.Read(count) || count > asked.size()) return std::nullopt;
    const std::unordered_set<std::uint32_t> askedSet(asked.begin(), asked.end());
    std::unordered_set<std::uint32_t> answered;
    PathsReply reply;
    reply.paths.resize(count);
    for (OwnerPath& p : reply.paths) {
        std::uint16_t length = 0;
        if (!in.Read(p.pid) || !in.Read(p.netNamespace) || !in.Read(p.pidNamespace) || !in.Read(length) ||
            length > kMaxPathLength || !in.ReadText(length, p.path) || !ValidPath(p.path) ||
            askedSet.count(p.pid) == 0 || !answered.insert(p.pid).second)
            return std::nullopt;
    }
    if (in.Left() != 0) return std::nullopt;
    return reply;
}

std::vector<std::uint8_t> EncodePathsRequest(std::span<const std::uint32_t> pids) {
    Writer out(MessageType::PathsRequest, 0);
    out.Reserve(PathsRequestLength(pids.size()));
    out.Write(static_cast<std::uint32_t>(pids.size()));
    for (std::uint32_t pid : pids) out.Write(pid);
    return out.Finish();
}

std::vector<std::uint8_t> EncodePathsReply(const PathsReply& reply) {
    Writer out(MessageType::PathsReply, 0);
    out.Write(static_cast<std::uint32_t>(reply.paths.size()));
    for (const OwnerPath& p : reply.paths) {
        const std::string_view path = ValidPath(p.path) ? std::string_view(p.path) : std::string_view();
        out.Write(p.pid);
        out.Write(p.netNamespace);
        out.Write(p.pidNamespace);
        out.Write(static_cast<std::uint16_t>(path.size()));
        out.WriteText(path);
    }
    return out.Finish();
}

std::vector<std::uint8_t> EncodeHello(const Hello& hello) {
    Writer out(MessageType::Hello, 0);
    out.Write(kMagic);
    out.Write(hello.version);
    out.Write(hello.flags);
    return out.Finish();
}

std::vector<std::uint8_t> EncodeOwnersRequest(std::uint8_t table, std::span<const std::uint64_t> inodes) {
    Writer out(MessageType::OwnersRequest, table);
    out.Reserve(OwnersRequestLength(inodes.size()));
    out.Write(static_cast<std::uint32_t>(inodes.size()));
    for (std::uint64_t inode : inodes) out.Write(inode);
    return out.Finish();
}

std::vector<std::uint8_t> EncodeOwnersReply(const OwnersReply& reply) {
    Writer out(MessageType::OwnersReply, 0);
    out.Write(static_cast<std::uint32_t>(reply.shortfall));
    out.Write(static_cast<std::uint32_t>(reply.pids.size()));
    for (std::uint32_t pid : reply.pids) out.Write(pid);
    std::vector<const OwnerName*> names;
    for (const OwnerName& n : reply.names)
        if (ValidName(n.name) && n.pid != 0) names.push_back(&n);
    out.Write(static_cast<std::uint32_t>(names.size()));
    for (const OwnerName* n : names) {
        out.Write(n->pid);
        out.Write(static_cast<std::uint8_t>(n->name.size()));
        out.WriteText(n->name);
    }
    return out.Finish();
}

std::vector<std::uint8_t> EncodeStatsRequest() { return Writer(MessageType::StatsRequest, 0).Finish(); }

std::vector<std::uint8_t> EncodeStats(const Stats& stats) {
    Writer out(MessageType::StatsReply, 0);
    out.Write(stats.fullWalks);
    return out.Finish();
}

}  // namespace owners
