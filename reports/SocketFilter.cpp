#include "SocketFilter.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "ConnectionReports.h"
#include "SocketMonitor.h"

namespace sockets {

namespace {

enum class Field : std::uint8_t {
    Word,
    Proto,
    Family,
    Addr,
    LocalAddr,
    RemoteAddr,
    Port,
    LocalPort,
    RemotePort,
    State,
    Pid,
    Proc,
    User,
    Service,
};

struct FieldName {
    const char* name;
    Field field;
};
constexpr FieldName kFields[] = {
    {"proto", Field::Proto},      {"family", Field::Family}, {"addr", Field::Addr},       {"laddr", Field::LocalAddr},
    {"raddr", Field::RemoteAddr}, {"port", Field::Port},     {"lport", Field::LocalPort}, {"rport", Field::RemotePort},
    {"state", Field::State},      {"pid", Field::Pid},       {"proc", Field::Proc},       {"user", Field::User},
    {"service", Field::Service},
};

bool IsSocketField(Field f) {
    switch (f) {
        case Field::Proto:
        case Field::Family:
        case Field::Addr:
        case Field::LocalAddr:
        case Field::RemoteAddr:
        case Field::Port:
        case Field::LocalPort:
        case Field::RemotePort:
        case Field::State: return true;
        default: return false;
    }
}

// The TCP states by the names users type, '-' and '_' left out and in
// lower case: the lines' names and ss's, and two of ss's groups.
struct StateName {
    const char* name;
    std::uint32_t mask;  // bit n: MIB state n (1 CLOSED ... 12 DELETE_TCB)
};
constexpr std::uint32_t Bit(unsigned state) { return 1u << state; }
constexpr std::uint32_t kConnected = Bit(3) | Bit(4) | Bit(5) | Bit(6) | Bit(7) | Bit(8) | Bit(9) | Bit(10) | Bit(11);
constexpr StateName kStates[] = {
    {"closed", Bit(1)},
    {"close", Bit(1)},
    {"listening", Bit(2)},
    {"listen", Bit(2)},
    {"synsent", Bit(3)},
    {"synrcvd", Bit(4)},
    {"synrecv", Bit(4)},
    {"synreceived", Bit(4)},
    {"established", Bit(5)},
    {"estab", Bit(5)},
    {"finwait1", Bit(6)},
    {"finwait2", Bit(7)},
    {"closewait", Bit(8)},
    {"closing", Bit(9)},
    {"lastack", Bit(10)},
    {"timewait", Bit(11)},
    {"deletetcb", Bit(12)},
    {"connected", kConnected},
    {"synchronized", kConnected & ~Bit(3)},
};

struct ProtoName {
    const char* name;
    std::uint32_t mask;  // by TableBit
};
constexpr ProtoName kProtos[] = {
    {"tcp", TableBit(Table::Tcp) | TableBit(Table::Tcp6)},
    {"udp", TableBit(Table::Udp) | TableBit(Table::Udp6)},
    {"tcp4", TableBit(Table::Tcp)},
    {"tcpv4", TableBit(Table::Tcp)},
    {"udp4", TableBit(Table::Udp)},
    {"udpv4", TableBit(Table::Udp)},
    {"tcp6", TableBit(Table::Tcp6)},
    {"tcpv6", TableBit(Table::Tcp6)},
    {"udp6", TableBit(Table::Udp6)},
    {"udpv6", TableBit(Table::Udp6)},
};

constexpr std::uint32_t kFamily4 = 1, kFamily6 = 2;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = Lower(c);
    return out;
}

// Whether `haystack` holds `needle` (already in lower case), ASCII letters
// without regard to case.
bool HoldsNoCase(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > haystack.size()) return false;
    const char first = needle.front();
    const std::size_t last = haystack.size() - needle.size();
    for (std::size_t i = 0; i <= last; ++i) {
        if (Lower(haystack[i]) != first) continue;
        std::size_t k = 1;
        while (k < needle.size() && Lower(haystack[i + k]) == needle[k]) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

bool EqualsNoCase(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (Lower(text[i]) != lower[i]) return false;
    return true;
}

bool IsMapped(const std::array<std::uint8_t, 16>& b) {
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(b.data(), kPrefix, sizeof kPrefix) == 0;
}

bool IsLoopback(const IpAddress& a) {
    if (a.family == 4) return a.bytes[0] == 127;
    if (a.family != 6) return false;
    if (IsMapped(a.bytes)) return a.bytes[12] == 127;
    static constexpr std::uint8_t kOne[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.bytes.data(), kOne, sizeof kOne) == 0;
}

bool IsTcp(Table t) { return t == Table::Tcp || t == Table::Tcp6; }

// Characters of a UTF-8 text (bytes that do not continue one).
std::size_t Characters(std::string_view text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

// A piece of the expression quoted in a reason: short, and without control
// characters, since it goes into a tooltip or onto a terminal.
std::string Quoted(std::string_view text) {
    constexpr std::size_t kShown = 32;
    std::string out = "'";
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80 && ++characters > kShown) {
            out += "...";
            break;
        }
        out += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    return out + "'";
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

// An address or a prefix of addr, laddr, raddr.
struct Prefix {
    std::uint8_t family = 0;  // 4 or 6
    std::array<std::uint8_t, 16> bytes{};
    unsigned bits = 0;
    std::string zone;  // empty: any zone
};

struct Filter::Term {
    Field field = Field::Word;
    std::string text;                 // Word, Proc, User, Service: in lower case
    std::uint32_t mask = 0;           // Proto: by TableBit; Family: kFamily4/6; State: by Bit(state)
    std::uint32_t low = 0, high = 0;  // Port, Pid: the range
    Prefix prefix;                    // Addr
    // Word: what it matches of the columns whose texts are few (the
    // protocols by TableBit in `mask`, the states by Bit(state) in
    // `states`, whether CLOSED), and whether it can be in the numbers'
    // columns (digits only), in an IPv6 address's text (hexadecimal
    // digits, ':' and '.'), in a time ("14:03:07.123") and in a byte
    // count, a rate or a round trip ("1.95 KiB/s", "< 1 ms").
    std::uint32_t states = 0;
    bool closed = false, digits = false, hexadecimal = false, clock = false, measure = false;
};

struct Filter::Node {
    enum class Kind : std::uint8_t { All, Any, Not, Test } kind = Kind::Test;
    std::vector<int> operands;
    Term term;
    int cost = 0;  // how long a test takes, roughly: typed 1, words 2
};

Filter::Filter() = default;
Filter::~Filter() = default;

namespace {

using Node = Filter::Node;
using Term = Filter::Term;

bool HoldsNumber(std::uint64_t value, std::string_view needle) {
    char text[24];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() && HoldsNoCase(std::string_view(text, static_cast<std::size_t>(end - text)), needle);
}

bool AddressHolds(const IpAddress& a, const Term& t) {
    if (a.family == 4) {
        // AddressText's dotted decimal, without making a string.
        char text[16];
        char* at = text;
        for (std::size_t i = 0; i < 4; ++i) {
            if (i != 0) *at++ = '.';
            at = std::to_chars(at, text + sizeof text, a.bytes[i]).ptr;
        }
        return HoldsNoCase(std::string_view(text, static_cast<std::size_t>(at - text)), t.text);
    }
    // Only a zone's name may bring other characters than an IPv6 address's.
    return a.family == 6 && (t.hexadecimal || a.zone != 0) && HoldsNoCase(AddressText(a), t.text);
}

// Whether any column's text (ColumnText) holds the word: the texts that
// are few are known from the word itself, numbers and IPv4 addresses are
// written without making strings, and columns the record has no value in
// are not made at all, so that a word costs little per row even when it is
// found nowhere.
bool WordMatches(const Term& t, const Record& r) {
    const std::string_view needle = t.text;
    const bool socket = r.kind != Record::Kind::Process;
    if (HoldsNoCase(r.process.empty() ? r.ownerMissing : r.process, needle)) return true;
    if (socket) {
        if ((t.mask & TableBit(r.table)) != 0) return true;
        if (r.closed) {
            if (t.closed) return true;
        } else if (IsTcp(r.table) && r.state != 0) {
            if (r.state <= 12 ? (t.states & Bit(r.state)) != 0 : HoldsNoCase(StateText(r.state), needle)) return true;
        }
    }
    if (t.digits) {
        if (r.local.family != 0 && HoldsNumber(r.localPort, needle)) return true;
        if (r.remote.family != 0 && HoldsNumber(r.remotePort, needle)) return true;
        if (r.pid != 0 && HoldsNumber(r.pid, needle)) return true;
        if (r.kind == Record::Kind::Process && HoldsNumber(r.sockets, needle)) return true;
        if (r.traffic.hasPath && HoldsNumber(r.traffic.retransmits, needle)) return true;
    }
    if (AddressHolds(r.local, t) || AddressHolds(r.remote, t)) return true;
    if (HoldsNoCase(r.user, needle) || HoldsNoCase(r.service, needle) || HoldsNoCase(r.container, needle) ||
        HoldsNoCase(r.event, needle))
        return true;
    // Times, byte counts, rates and round trips, as the columns write them.
    Column written[6];
    std::size_t n = 0;
    if (r.kind == Record::Kind::Event && t.clock) written[n++] = Column::Time;
    if (t.measure && r.traffic.counted) {
        written[n++] = Column::Sent;
        written[n++] = Column::Received;
    }
    if (t.measure && r.traffic.hasRate) {
        written[n++] = Column::SendRate;
        written[n++] = Column::ReceiveRate;
    }
    if (t.measure && r.traffic.hasPath) written[n++] = Column::RoundTrip;
    for (std::size_t i = 0; i < n; ++i)
        if (HoldsNoCase(ColumnText(r, written[i]), needle)) return true;
    return false;
}

bool InRange(std::uint32_t value, const Term& t) { return value >= t.low && value <= t.high; }

bool PrefixHolds(const std::uint8_t* prefix, const std::uint8_t* bytes, unsigned bits) {
    const unsigned whole = bits / 8;
    if (std::memcmp(prefix, bytes, whole) != 0) return false;
    const unsigned rest = bits % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF00u >> rest);
    return (prefix[whole] & mask) == (bytes[whole] & mask);
}

bool AddressMatches(const Prefix& p, const IpAddress& a) {
    if (p.family == 4) {
        // An IPv4 client of a dual-stack socket shows as ::ffff:a.b.c.d.
        if (a.family == 4) return PrefixHolds(p.bytes.data(), a.bytes.data(), p.bits);
        return a.family == 6 && IsMapped(a.bytes) && PrefixHolds(p.bytes.data(), a.bytes.data() + 12, p.bits);
    }
    if (a.family != 6 || !PrefixHolds(p.bytes.data(), a.bytes.data(), p.bits)) return false;
    return p.zone.empty() || (a.zone != 0 && (p.zone == a.zoneName || p.zone == std::to_string(a.zone)));
}

bool TermMatches(const Term& t, const Record& r) {
    const bool process = r.kind == Record::Kind::Process;
    switch (t.field) {
        case Field::Word: return WordMatches(t, r);
        case Field::Proto: return !process && (t.mask & TableBit(r.table)) != 0;
        case Field::Family: {
            if (process) return false;
            const bool six = r.table == Table::Tcp6 || r.table == Table::Udp6;
            const std::uint32_t families = r.bothFamilies ? kFamily4 | kFamily6 : six ? kFamily6 : kFamily4;
            return (t.mask & families) != 0;
        }
        case Field::Addr: return AddressMatches(t.prefix, r.local) || AddressMatches(t.prefix, r.remote);
        case Field::LocalAddr: return AddressMatches(t.prefix, r.local);
        case Field::RemoteAddr: return AddressMatches(t.prefix, r.remote);
        case Field::Port:
            return (r.local.family != 0 && InRange(r.localPort, t)) ||
                   (r.remote.family != 0 && InRange(r.remotePort, t));
        case Field::LocalPort: return r.local.family != 0 && InRange(r.localPort, t);
        case Field::RemotePort: return r.remote.family != 0 && InRange(r.remotePort, t);
        case Field::State:
            if (process) return false;
            // A closed socket's line reads CLOSED, whatever it was before.
            if (r.closed) return (t.mask & Bit(1)) != 0;
            return IsTcp(r.table) && r.state >= 1 && r.state <= 12 && (t.mask & Bit(r.state)) != 0;
        case Field::Pid: return InRange(r.pid, t);
        case Field::Proc: return HoldsNoCase(r.process, t.text);
        case Field::User: return EqualsNoCase(r.user, t.text);
        case Field::Service: return HoldsNoCase(r.service, t.text);
    }
    return false;
}

bool Evaluate(const std::vector<Node>& nodes, int at, const Record& r) {
    const Node& node = nodes[static_cast<std::size_t>(at)];
    switch (node.kind) {
        case Node::Kind::Test: return TermMatches(node.term, r);
        case Node::Kind::Not: return !Evaluate(nodes, node.operands.front(), r);
        case Node::Kind::All:
            for (int operand : node.operands)
                if (!Evaluate(nodes, operand, r)) return false;
            return true;
        case Node::Kind::Any:
            for (int operand : node.operands)
                if (Evaluate(nodes, operand, r)) return true;
            return false;
    }
    return false;
}

// ------------------------------------------------------------- the parser

struct Token {
    enum class Kind : std::uint8_t { Open, Close, Not, Or, Text } kind = Kind::Text;
    std::size_t at = 0;  // byte offset in the expression
    // Text: a word (quoted or bare), or a field and its value.
    bool field = false;
    std::string text;  // the word, or the field's name
    std::string value;
    std::size_t valueAt = 0;
};

class Parser {
public:
    Parser(std::string_view text, std::vector<Node>& nodes) : m_text(text), m_nodes(nodes) {}

    // The root node, -1 for none; false with Error() for a bad expression.
    bool Parse(int& root) {
        if (Characters(m_text) > kFilterMaxLength)
            return Fail("expression too long (at most " + std::to_string(kFilterMaxLength) + " characters)",
                        ByteOfCharacter(kFilterMaxLength));
        if (!Tokenize()) return false;
        root = ParseOr(0);
        if (m_failed) return false;
        if (m_pos < m_tokens.size()) return Fail("unbalanced parenthesis: ')' without '('", m_tokens[m_pos].at);
        return true;
    }

    FilterError Error() const { return m_error; }
    bool NeedsOwners() const { return m_needsOwners; }
    bool SocketFields() const { return m_socketFields; }

private:
    bool Fail(std::string reason, std::size_t at) {
        if (!m_failed) {
            m_failed = true;
            m_error.reason = std::move(reason);
            m_error.column = Characters(m_text.substr(0, std::min(at, m_text.size()))) + 1;
        }
        return false;
    }
    int FailNode(std::string reason, std::size_t at) {
        Fail(std::move(reason), at);
        return -1;
    }

    std::size_t ByteOfCharacter(std::size_t n) const {
        std::size_t characters = 0;
        for (std::size_t i = 0; i < m_text.size(); ++i) {
            if ((static_cast<unsigned char>(m_text[i]) & 0xC0) == 0x80) continue;
            if (characters++ == n) return i;
        }
        return m_text.size();
    }

    // A quoted text from the quote at `i`; `i` ends after the closing one.
    // Within it, \" is a quote and \\ a backslash.
    bool ReadQuoted(std::size_t& i, std::string& out) {
        const std::size_t open = i++;
        while (i < m_text.size() && m_text[i] != '"') {
            if (m_text[i] == '\\' && i + 1 < m_text.size() && (m_text[i + 1] == '"' || m_text[i + 1] == '\\')) ++i;
            out += m_text[i++];
        }
        if (i >= m_text.size()) return Fail("unterminated quote", open);
        ++i;
        return true;
    }

    bool Tokenize() {
        std::size_t terms = 0;
        for (std::size_t i = 0; i < m_text.size();) {
            const char c = m_text[i];
            if (IsBlank(c)) {
                ++i;
                continue;
            }
            Token token;
            token.at = i;
            if (c == '(' || c == ')') {
                token.kind = c == '(' ? Token::Kind::Open : Token::Kind::Close;
                ++i;
            } else if (c == '-') {
                // A negation stands right before what it negates.
                if (i + 1 >= m_text.size() || IsBlank(m_text[i + 1]) || m_text[i + 1] == ')')
                    return Fail("'-' with nothing to negate", i);
                token.kind = Token::Kind::Not;
                ++i;
            } else if (c == '"') {
                if (!ReadQuoted(i, token.text)) return false;
            } else {
                const std::size_t start = i;
                while (i < m_text.size() && !IsBlank(m_text[i]) && m_text[i] != '(' && m_text[i] != ')' &&
                       m_text[i] != '"')
                    ++i;
                const std::string_view bare = m_text.substr(start, i - start);
                const std::size_t colon = bare.find(':');
                const bool named =
                    colon != std::string_view::npos && colon > 0 &&
                    std::all_of(bare.begin(), bare.begin() + static_cast<std::ptrdiff_t>(colon),
                                [](char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); });
                if (bare.size() == 2 && Lower(bare[0]) == 'o' && Lower(bare[1]) == 'r') {
                    token.kind = Token::Kind::Or;
                } else if (named) {
                    token.field = true;
                    token.text = Lowered(bare.substr(0, colon));
                    token.value = std::string(bare.substr(colon + 1));
                    token.valueAt = start + colon + 1;
                    // field:"a value with blanks"
                    if (token.value.empty() && i < m_text.size() && m_text[i] == '"' && !ReadQuoted(i, token.value))
                        return false;
                } else {
                    token.text = std::string(bare);
                }
            }
            if (token.kind == Token::Kind::Text && ++terms > kFilterMaxTerms)
                return Fail("too many terms (at most " + std::to_string(kFilterMaxTerms) + ")", token.at);
            m_tokens.push_back(std::move(token));
        }
        return true;
    }

    bool AtKind(Token::Kind kind) const { return m_pos < m_tokens.size() && m_tokens[m_pos].kind == kind; }

    int Add(Node node) {
        m_nodes.push_back(std::move(node));
        return static_cast<int>(m_nodes.size() - 1);
    }

    // Operands of one kind: a single one stands alone.  Cheaper tests go
    // first: AND and OR stop at the first that decides.
    int Group(Node::Kind kind, std::vector<int> operands) {
        if (operands.size() == 1) return operands.front();
        std::stable_sort(operands.begin(), operands.end(), [this](int a, int b) {
            return m_nodes[static_cast<std::size_t>(a)].cost < m_nodes[static_cast<std::size_t>(b)].cost;
        });
        Node node;
        node.kind = kind;
        for (int o : operands) node.cost = std::max(node.cost, m_nodes[static_cast<std::size_t>(o)].cost);
        node.operands = std::move(operands);
        return Add(std::move(node));
    }

    // or-list: and-list ("or" and-list)*.  -1 without error when there is
    // no term at all.
    int ParseOr(std::size_t depth) {
        std::vector<int> alternatives;
        std::size_t orAt = std::string_view::npos;
        for (;;) {
            const int operand = ParseAnd(depth);
            if (m_failed) return -1;
            if (operand < 0) {
                if (orAt != std::string_view::npos) return FailNode("'or' without a term after it", orAt);
                if (AtKind(Token::Kind::Or)) return FailNode("'or' without a term before it", m_tokens[m_pos].at);
                return -1;
            }
            alternatives.push_back(operand);
            if (!AtKind(Token::Kind::Or)) break;
            orAt = m_tokens[m_pos++].at;
        }
        return Group(Node::Kind::Any, std::move(alternatives));
    }

    int ParseAnd(std::size_t depth) {
        std::vector<int> terms;
        while (m_pos < m_tokens.size() && !AtKind(Token::Kind::Or) && !AtKind(Token::Kind::Close)) {
            const int term = ParseUnary(depth);
            if (m_failed) return -1;
            terms.push_back(term);
        }
        return terms.empty() ? -1 : Group(Node::Kind::All, std::move(terms));
    }

    int ParseUnary(std::size_t depth) {
        const Token& token = m_tokens[m_pos];
        if (depth >= kFilterMaxDepth)
            return FailNode("nested too deeply (at most " + std::to_string(kFilterMaxDepth) + " levels)", token.at);
        ++m_pos;
        switch (token.kind) {
            case Token::Kind::Not: {
                if (m_pos >= m_tokens.size() || AtKind(Token::Kind::Or) || AtKind(Token::Kind::Close))
                    return FailNode("'-' with nothing to negate", token.at);
                const int operand = ParseUnary(depth + 1);
                if (m_failed) return -1;
                Node node;
                node.kind = Node::Kind::Not;
                node.cost = m_nodes[static_cast<std::size_t>(operand)].cost;
                node.operands = {operand};
                return Add(std::move(node));
            }
            case Token::Kind::Open: {
                const int inner = ParseOr(depth + 1);
                if (m_failed) return -1;
                if (!AtKind(Token::Kind::Close)) return FailNode("unbalanced parenthesis: '(' is not closed", token.at);
                if (inner < 0) return FailNode("empty parentheses", token.at);
                ++m_pos;
                return inner;
            }
            case Token::Kind::Text: return ParseTerm(token);
            case Token::Kind::Close:
            case Token::Kind::Or: break;
        }
        return FailNode("unexpected " + Quoted(m_text.substr(token.at, 1)), token.at);
    }

    int ParseTerm(const Token& token) {
        Node node;
        Term& t = node.term;
        node.cost = 1;
        if (!token.field) {
            if (token.text.empty()) return FailNode("empty word", token.at);
            return Word(std::move(node), token.text);
        }
        const auto known = std::find_if(std::begin(kFields), std::end(kFields),
                                        [&token](const FieldName& f) { return token.text == f.name; });
        if (known == std::end(kFields)) {
            // An IPv6 address whose first group is all letters ("fe::1",
            // "abcd::1%eth0") is a word, not a field.
            const std::string whole = std::string(m_text.substr(token.at, token.valueAt - token.at)) + token.value;
            Prefix ignored;
            if (ParseAddress(whole, ignored) && ignored.family == 6) return Word(std::move(node), whole);
            return FailNode("unknown field " + Quoted(token.text), token.at);
        }
        t.field = known->field;
        const std::string& value = token.value;
        const std::size_t at = token.valueAt;
        if (value.empty()) return FailNode("empty value for " + std::string(known->name), at);
        const std::string lower = Lowered(value);
        switch (t.field) {
            case Field::Word: break;
            case Field::Proto: {
                const auto p = std::find_if(std::begin(kProtos), std::end(kProtos),
                                            [&lower](const ProtoName& n) { return lower == n.name; });
                if (p == std::end(kProtos)) return FailNode("unknown protocol " + Quoted(value), at);
                t.mask = p->mask;
                break;
            }
            case Field::Family:
                if (lower == "4" || lower == "ipv4")
                    t.mask = kFamily4;
                else if (lower == "6" || lower == "ipv6")
                    t.mask = kFamily6;
                else
                    return FailNode("family is 4 or 6, not " + Quoted(value), at);
                break;
            case Field::Addr:
            case Field::LocalAddr:
            case Field::RemoteAddr: {
                std::string why;
                std::size_t whyAt = 0;
                if (!ParseAddress(value, t.prefix, &why, &whyAt)) return FailNode(why, at + whyAt);
                break;
            }
            case Field::Port:
            case Field::LocalPort:
            case Field::RemotePort:
                if (!ParseRange(value, 0xFFFF, t.low, t.high))
                    return FailNode("bad port or range " + Quoted(value), at);
                break;
            case Field::Pid:
                if (!ParseRange(value, 0xFFFFFFFFu, t.low, t.high))
                    return FailNode("bad process id or range " + Quoted(value), at);
                break;
            case Field::State: {
                std::string name;
                for (char c : lower)
                    if (c != '-' && c != '_') name += c;
                const auto s = std::find_if(std::begin(kStates), std::end(kStates),
                                            [&name](const StateName& n) { return name == n.name; });
                if (s == std::end(kStates)) return FailNode("unknown state " + Quoted(value), at);
                t.mask = s->mask;
                break;
            }
            case Field::Proc:
            case Field::User:
            case Field::Service: t.text = lower; break;
        }
        m_needsOwners = m_needsOwners || t.field == Field::User || t.field == Field::Service;
        m_socketFields = m_socketFields || IsSocketField(t.field);
        return Add(std::move(node));
    }

    int Word(Node node, const std::string& text) {
        Term& t = node.term;
        t.field = Field::Word;
        t.text = Lowered(text);
        for (unsigned table = 0; table < 4; ++table)
            if (HoldsNoCase(ProtocolName(static_cast<Table>(table)), t.text))
                t.mask |= TableBit(static_cast<Table>(table));
        for (std::uint32_t state = 1; state <= 12; ++state)
            if (HoldsNoCase(StateText(state), t.text)) t.states |= Bit(state);
        t.closed = HoldsNoCase("CLOSED", t.text);
        t.digits = std::all_of(t.text.begin(), t.text.end(), [](char c) { return c >= '0' && c <= '9'; });
        const auto only = [&t](std::string_view characters) {
            return t.text.find_first_not_of(characters) == std::string::npos;
        };
        t.hexadecimal = only("0123456789abcdef:.");
        t.clock = only("0123456789:.");
        t.measure = only("0123456789.< /bkmgtpeis");
        node.cost = 2;
        // A word may match any column: the owners' too.
        m_needsOwners = true;
        return Add(std::move(node));
    }

    // "N" or "LOW-HIGH", each at most `max`, LOW <= HIGH.
    static bool ParseRange(std::string_view text, std::uint32_t max, std::uint32_t& low, std::uint32_t& high) {
        const auto number = [max](std::string_view digits, std::uint32_t& out) {
            if (digits.empty() || digits.size() > 10) return false;
            std::uint64_t value = 0;
            for (char c : digits) {
                if (c < '0' || c > '9') return false;
                value = value * 10 + static_cast<unsigned>(c - '0');
            }
            if (value > max) return false;
            out = static_cast<std::uint32_t>(value);
            return true;
        };
        const std::size_t dash = text.find('-');
        if (dash == std::string_view::npos) {
            if (!number(text, low)) return false;
            high = low;
            return true;
        }
        return number(text.substr(0, dash), low) && number(text.substr(dash + 1), high) && low <= high;
    }

    // "a.b.c.d", "x::y", "[x::y]", with "%zone" (IPv6) and "/bits" each
    // optional.  `why` and `whyAt` (a byte offset in `text`) say what is
    // wrong.
    static bool ParseAddress(std::string_view text, Prefix& out, std::string* why = nullptr,
                             std::size_t* whyAt = nullptr) {
        const auto fail = [&](std::string reason, std::size_t at) {
            if (why != nullptr) *why = std::move(reason);
            if (whyAt != nullptr) *whyAt = at;
            return false;
        };
        std::string_view address = text;
        std::string_view bits;
        const std::size_t slash = text.find('/');
        if (slash != std::string_view::npos) {
            address = text.substr(0, slash);
            bits = text.substr(slash + 1);
        }
        std::size_t addressAt = 0;
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
            addressAt = 1;
        }
        const std::size_t percent = address.find('%');
        std::string zone;
        if (percent != std::string_view::npos) {
            zone = std::string(address.substr(percent + 1));
            address = address.substr(0, percent);
            if (zone.empty()) return fail("bad address " + Quoted(text), 0);
        }
        const std::string host(address);
        if (host.find('\0') != std::string::npos) return fail("bad address " + Quoted(text), addressAt);
        if (host.size() < INET6_ADDRSTRLEN && zone.empty() && inet_pton(AF_INET, host.c_str(), out.bytes.data()) == 1) {
            out.family = 4;
        } else if (host.size() < INET6_ADDRSTRLEN && inet_pton(AF_INET6, host.c_str(), out.bytes.data()) == 1) {
            out.family = 6;
        } else {
            return fail("bad address " + Quoted(text), addressAt);
        }
        out.zone = std::move(zone);
        const unsigned most = out.family == 4 ? 32 : 128;
        out.bits = most;
        if (slash != std::string_view::npos) {
            std::uint32_t length = 0, ignored = 0;
            if (bits.find('-') != std::string_view::npos || !ParseRange(bits, most, length, ignored))
                return fail("bad prefix length " + Quoted(bits) + " (0 to " + std::to_string(most) + ")", slash + 1);
            out.bits = length;
        }
        return true;
    }

    std::string_view m_text;
    std::vector<Node>& m_nodes;
    std::vector<Token> m_tokens;
    std::size_t m_pos = 0;
    bool m_failed = false;
    FilterError m_error;
    bool m_needsOwners = false;
    bool m_socketFields = false;
};

}  // namespace

std::shared_ptr<const Filter> ParseFilter(std::string_view text, FilterError* error) {
    auto filter = std::make_shared<Filter>();
    Parser parser(text, filter->m_nodes);
    int root = -1;
    if (!parser.Parse(root)) {
        if (error != nullptr) *error = parser.Error();
        return nullptr;
    }
    filter->m_text = std::string(text);
    filter->m_root = root;
    filter->m_needsOwners = parser.NeedsOwners();
    filter->m_socketFields = parser.SocketFields();
    return filter;
}

bool Filter::MatchesItself(const Record& record) const { return Evaluate(m_nodes, m_root, record); }

bool Filter::Matches(const Record& record) const {
    if (IsEmpty()) return true;
    if (record.kind != Record::Kind::Process) return MatchesItself(record);
    // A process: itself, or any of its sockets.  The process has no
    // protocol, address, port or state of its own: an expression that tests
    // those is for its sockets, when it has any.
    const bool sockets = std::any_of(record.children.begin(), record.children.end(),
                                     [](const RecordPtr& child) { return child != nullptr; });
    if ((!m_socketFields || !sockets) && MatchesItself(record)) return true;
    for (const RecordPtr& child : record.children)
        if (child && child->kind != Record::Kind::Process && MatchesItself(*child)) return true;
    return false;
}

bool PassesQuickToggles(const Record& r, const QuickToggles& q) {
    if (r.kind == Record::Kind::Process) {
        bool any = false;
        for (const RecordPtr& child : r.children) {
            if (!child || child->kind == Record::Kind::Process) continue;
            any = true;
            if (PassesQuickToggles(*child, q)) return true;
        }
        return !any;
    }
    const bool tcp = IsTcp(r.table);
    if (q.hideListening && tcp && r.state == 2) return false;
    if (q.hideTimeWait && tcp && r.state == 11) return false;
    if (q.hideLoopback && IsLoopback(r.local)) return false;
    return true;
}

namespace {

template <class T>
void KeepOnly(std::vector<T>& items, const std::vector<bool>& keep) {
    std::size_t to = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i < keep.size() && keep[i]) {
            if (to != i) items[to] = std::move(items[i]);
            ++to;
        }
    }
    items.resize(to);
}

}  // namespace

void KeepMatchingRows(std::vector<Row>& rows, const Filter& filter, std::vector<bool>* kept) {
    std::vector<bool> keep(rows.size(), true);
    if (!filter.IsEmpty())
        for (std::size_t i = 0; i < rows.size(); ++i) keep[i] = rows[i].record && filter.Matches(*rows[i].record);
    KeepOnly(rows, keep);
    if (kept != nullptr) *kept = std::move(keep);
}

void KeepMatchingRows(TableRows& rows, const Filter& filter, std::vector<bool>* kept) {
    std::vector<bool> keep(rows.rows.size(), true);
    if (!filter.IsEmpty()) {
        // Each row's record is made in one place over and over, not kept:
        // 20,000 records made and freed cost more than the test itself.
        Record scratch;
        for (std::size_t i = 0; i < rows.rows.size(); ++i) {
            if (rows.rows[i].record) {
                keep[i] = filter.Matches(*rows.rows[i].record);
                continue;
            }
            scratch = Record();
            FillRecord(rows, i, scratch);
            keep[i] = filter.Matches(scratch);
        }
    }
    KeepOnly(rows.rows, keep);
    KeepOnly(rows.details, keep);
    if (rows.facts) {
        // The facts go row for row with the rows.
        if (rows.facts.use_count() > 1) rows.facts = std::make_shared<TableFacts>(*rows.facts);
        KeepOnly(rows.facts->pids, keep);
        KeepOnly(rows.facts->states, keep);
        KeepOnly(rows.facts->traffic, keep);
    }
    if (kept != nullptr) *kept = std::move(keep);
}

}  // namespace sockets
