// The messages between the program and its owner helper, the small
// privileged process that alone may list other users' descriptors and read
// their executables' names.
//
// - One frame: an 8-byte header (type, table, two reserved zero bytes, the
//   payload's length) and the payload; numbers in the machine's own order,
//   since both ends run on the same machine.
// - Requests carry socket inodes only, never a path; replies carry process
//   ids and executable file names only, which is all the reports show.
// - Every length is bounded and checked against the bytes at hand before
//   anything is read: a frame that breaks a rule decodes to nothing.
// - The helper speaks first (Hello: the protocol's magic and version, and
//   whether it may read every process); then each Owners request gets one
//   Owners reply, in order.
// - An Owners reply says whether it is complete, and if not why: the
//   helper's search stopped at its time limit, or it could not read the
//   socket table to answer from.
// - A request names its socket table: 0 TCP, 1 UDP, 2 TCP over IPv6, 3 UDP
//   over IPv6.  The helper finds a socket's owner once, whichever table
//   asks for it.  It answers only for the sockets that table holds in its
//   own network namespace (its caller's), so never for a Unix socket or a
//   socket of another namespace, and only for processes its caller may see
//   in /proc.
// - A helper whose hello says so also answers a Stats request (no payload)
//   with its count of full walks over every process; a helper that does
//   not say so is never sent one.
// - A helper whose hello says so answers a Paths request (process ids) with
//   the full executable path and the network and PID namespaces of each of
//   them that owned a socket in its latest Owners answers (of any table),
//   and with nothing for any other process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace owners {

inline constexpr std::uint32_t kMagic = 0x4F574E52;  // "RNWO" in memory
inline constexpr std::uint16_t kVersion = 2;
inline constexpr std::size_t kHeaderSize = 8;
// Table ids are below this.
inline constexpr unsigned kTables = 8;
// Inodes in one request: far above any machine's socket count; a larger
// table is asked for in several requests.
inline constexpr std::uint32_t kMaxInodes = 1u << 21;
// An executable's file name is one path component.
inline constexpr std::size_t kMaxNameLength = 255;
// Payload lengths: a request for `rows` inodes, and the longest reply to
// it (a name for every row).
constexpr std::uint64_t OwnersRequestLength(std::uint64_t rows) { return 4 + rows * 8; }
constexpr std::uint64_t MaxOwnersReplyLength(std::uint64_t rows) {
    return 4 + 4 + rows * 4 + 4 + rows * (4 + 1 + kMaxNameLength);
}
inline constexpr std::size_t kHelloLength = 8;
inline constexpr std::size_t kStatsLength = 8;

enum class MessageType : std::uint8_t {
    Hello = 1,
    OwnersRequest = 2,
    OwnersReply = 3,
    StatsRequest = 4,
    StatsReply = 5,
    PathsRequest = 6,
    PathsReply = 7,
};

// Process ids in one Paths request, and the longest path sent back (one
// less than PATH_MAX: the kernel never gives a longer one).
inline constexpr std::uint32_t kMaxPathPids = 1u << 16;
inline constexpr std::size_t kMaxPathLength = 4095;
constexpr std::uint64_t PathsRequestLength(std::uint64_t pids) { return 4 + pids * 4; }
constexpr std::uint64_t MaxPathsReplyLength(std::uint64_t pids) { return 4 + pids * (4 + 8 + 8 + 2 + kMaxPathLength); }

// Hello flags.
inline constexpr std::uint16_t kMayReadEveryProcess = 1;
inline constexpr std::uint16_t kAnswersStats = 2;
inline constexpr std::uint16_t kAnswersPaths = 4;

struct Header {
    MessageType type;
    std::uint8_t table;
    std::uint32_t length;
};

struct Hello {
    std::uint16_t version = kVersion;
    std::uint16_t flags = 0;
};

struct OwnersRequest {
    std::uint8_t table = 0;
    std::vector<std::uint64_t> inodes;
};

// Why an Owners reply may leave owners out.
enum class Shortfall : std::uint32_t {
    None = 0,
    // The search of the processes stopped at the helper's time limit (a
    // process with very many descriptors, a machine under load): sockets it
    // did not reach are answered without an owner, and looked for again at
    // the next request.
    SearchCutShort = 1,
    // The helper could not read the socket table of its network namespace,
    // so it named no owner.
    TableUnreadable = 2,
};
inline constexpr std::uint32_t kLastShortfall = 2;

struct OwnerName {
    std::uint32_t pid = 0;
    std::string name;
};

// One pid per requested inode (0: no owner found), in the request's order,
// the executable name of each owner that has one, and whether owners may
// be missing.
struct OwnersReply {
    std::vector<std::uint32_t> pids;
    std::vector<OwnerName> names;
    Shortfall shortfall = Shortfall::None;
};

// What the helper tells of a socket's owner beyond its name: the target of
// its executable link (absolute, or empty when it cannot be read) and the
// inodes of its network and PID namespaces (0 when they cannot be read).
struct OwnerPath {
    std::uint32_t pid = 0;
    std::uint64_t netNamespace = 0;
    std::uint64_t pidNamespace = 0;
    std::string path;
};

struct PathsRequest {
    std::vector<std::uint32_t> pids;
};

struct PathsReply {
    std::vector<OwnerPath> paths;
};

// What the helper has done since it started.
struct Stats {
    std::uint64_t fullWalks = 0;
};

// A header, or nothing when its type is unknown, its table out of range,
// its reserved bytes not zero or its length over the bound for its type.
std::optional<Header> DecodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes);

// Payloads of a frame whose header decoded; nothing when the payload breaks
// a rule (a count that does not match the length, a name that is empty,
// too long, holds '/' or NUL, or belongs to no pid of the reply, a
// shortfall that is not one of the above).
std::optional<Hello> DecodeHello(std::span<const std::uint8_t> payload);
std::optional<OwnersRequest> DecodeOwnersRequest(std::uint8_t table, std::span<const std::uint8_t> payload);
std::optional<OwnersReply> DecodeOwnersReply(std::span<const std::uint8_t> payload, std::size_t expectedRows);
std::optional<Stats> DecodeStats(std::span<const std::uint8_t> payload);
// Nothing for a request with a pid 0 or more pids than kMaxPathPids, or a
// reply that names a pid not asked for, one twice, or a path that is too
// long, not absolute or holds a NUL.
std::optional<PathsRequest> DecodePathsRequest(std::span<const std::uint8_t> payload);
std::optional<PathsReply> DecodePathsReply(std::span<const std::uint8_t> payload, std::span<const std::uint32_t> asked);

// Whole frames, header included.  Names that break the rules are left out
// of a reply rather than sent.
std::vector<std::uint8_t> EncodeHello(const Hello& hello);
std::vector<std::uint8_t> EncodeOwnersRequest(std::uint8_t table, std::span<const std::uint64_t> inodes);
inline std::vector<std::uint8_t> EncodeOwnersRequest(const OwnersRequest& request) {
    return EncodeOwnersRequest(request.table, request.inodes);
}
std::vector<std::uint8_t> EncodeOwnersReply(const OwnersReply& reply);
std::vector<std::uint8_t> EncodeStatsRequest();
std::vector<std::uint8_t> EncodeStats(const Stats& stats);
std::vector<std::uint8_t> EncodePathsRequest(std::span<const std::uint32_t> pids);
// Paths that break the rules are sent empty.
std::vector<std::uint8_t> EncodePathsReply(const PathsReply& reply);

// Whether `name` may travel as an executable's name.
bool ValidName(std::string_view name);

}  // namespace owners
