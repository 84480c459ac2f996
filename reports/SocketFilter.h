// The filter of the socket-like panes and of the command line's --filter:
// an expression parsed once, then matched against typed records (sockets,
// processes, log events).  Qt-free.
//
// Syntax:
//   word            any column's text holds it, without regard to case
//                   (ASCII letters; other characters as they are)
//   "two words"     the same, for a text with blanks or other signs in it
//   field:value     a typed test (field names without regard to case):
//     proto:P       tcp, udp (either family), tcp4, udp4, tcp6 / tcpv6,
//                   udp6 / udpv6
//     family:F      4 or 6 (ipv4, ipv6); a listening line that stands for
//                   both families has both
//     addr:A        either end's address; laddr: the local one, raddr: the
//                   remote one.  A is an address or a prefix ADDRESS/BITS,
//                   IPv4 or IPv6 (brackets and a %zone allowed).  An IPv4
//                   address or prefix matches IPv4 addresses and the
//                   IPv4-mapped IPv6 ones (::ffff:a.b.c.d) of dual-stack
//                   sockets; an IPv6 one matches IPv6 addresses only.
//     port:N        either end's port; lport: the local one, rport: the
//                   remote one.  N is a number or a range LOW-HIGH.
//     state:S       the TCP state, as the lines name it (ESTABLISHED,
//                   LISTENING, TIME_WAIT, CLOSED, ...) or as ss does
//                   (listen, estab, syn-sent, time-wait, ...), or ss's
//                   groups connected and synchronized; '-' and '_' are
//                   ignored.  CLOSED also matches a closed socket's line.
//     pid:N         the owner's process id (a number or a range; 0 is none)
//     proc:NAME     the owner's executable name holds NAME
//     user:NAME     the owner's user is NAME (or its number)
//     service:NAME  the owner's service holds NAME
//   -term           negates a term (or a group)
//   a b             both (terms are AND-ed)
//   a or b          either ("or" without regard to case)
//   ( ... )         groups
// All text tests are without regard to case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SocketRecord.h"

namespace sockets {

// Why an expression was refused, and where: `column` is the 1-based
// character (not byte) position in the expression.
struct FilterError {
    std::string reason;
    std::size_t column = 0;
};

// The bounds of an expression: hostile text can neither grow the parser's
// stack nor make each row's test long.
inline constexpr std::size_t kFilterMaxLength = 1000;  // characters
inline constexpr std::size_t kFilterMaxDepth = 32;     // nested groups and negations
inline constexpr std::size_t kFilterMaxTerms = 64;

class Filter {
public:
    // Whether `record` matches.  A process record (with its sockets as
    // children) matches when it matches itself or any of its sockets; an
    // expression that tests a socket's own fields (protocol, family,
    // address, port, state) is decided by the sockets alone when there are
    // any, since the process itself has none of those.
    bool Matches(const Record& record) const;
    // No term at all: matches everything.
    bool IsEmpty() const { return m_root < 0; }
    // Whether matching needs the owners' details (user, service: the
    // socket tables' facts) for every row.  Words may match any column,
    // those too.
    bool NeedsOwnerDetails() const { return m_needsOwners; }
    // The expression as given.
    const std::string& Text() const { return m_text; }

    // One typed test or a word (see the syntax above).
    struct Term;
    struct Node;
    Filter();
    ~Filter();

private:
    friend std::shared_ptr<const Filter> ParseFilter(std::string_view text, FilterError* error);
    bool MatchesItself(const Record& record) const;

    std::string m_text;
    std::vector<Node> m_nodes;
    int m_root = -1;
    bool m_needsOwners = false;
    bool m_socketFields = false;  // tests a socket's own fields
};

// The filter of `text`; null for a bad expression, with why and where in
// `error` (when not null).  A text of blanks only gives an empty filter,
// which matches everything.
std::shared_ptr<const Filter> ParseFilter(std::string_view text, FilterError* error);

// The quick toggles beside the filter.  Listening: a TCP socket in LISTEN;
// loopback: a local address in 127.0.0.0/8, ::1 or ::ffff:127.0.0.0/104.
// A process record passes when any of its sockets does (or itself, when it
// has none).
struct QuickToggles {
    bool hideListening = false, hideTimeWait = false, hideLoopback = false;
};
bool PassesQuickToggles(const Record& r, const QuickToggles& q);

// Keeps the rows of `rows` that match `filter`, in their order, with their
// details and facts; a row is tested by its record, or by one made for the
// test (FillRecord) when it has none, and keeps the record it had.  `kept`,
// when not null, gets one entry per row before: whether it stayed.
void KeepMatchingRows(TableRows& rows, const Filter& filter, std::vector<bool>* kept = nullptr);
// Keeps the rows whose record matches (rows without a record go); the same
// `kept`.
void KeepMatchingRows(std::vector<Row>& rows, const Filter& filter, std::vector<bool>* kept = nullptr);

}  // namespace sockets
