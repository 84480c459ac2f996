#include "Leases.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "ProcFiles.h"

namespace provider {

namespace {

// Bounds on the work of the finders: a state file is a few hundred bytes
// and a dhclient database is rewritten after some twenty leases, so these
// are far above any real file or directory.
constexpr std::size_t kMaxFileBytes = 1u << 20;
constexpr int kMaxDirectoryEntries = 256;
constexpr int kMaxFilesRead = 64;
constexpr std::size_t kMaxDnsServers = 64;

constexpr std::uint64_t kInfiniteLeaseTime = 0xffffffffu;  // RFC 2131's "infinity"

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool IsDhclientBlank(char c) { return IsSpace(c) || c == '\0'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool EndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// A whole decimal number, without sign or blanks.
template <class Int>
std::optional<Int> ParseNumber(std::string_view s) {
    if (s.empty() || !std::all_of(s.begin(), s.end(), IsDigit)) return std::nullopt;
    Int value{};
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

// The address in canonical dotted-decimal form.  Only digits and dots reach
// inet_pton, so that text after a NUL byte cannot ride along unseen.
std::optional<std::string> CanonicalIpv4(std::string_view text) {
    if (text.empty() || text.size() >= INET_ADDRSTRLEN) return std::nullopt;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return IsDigit(c) || c == '.'; })) return std::nullopt;
    char buffer[INET_ADDRSTRLEN] = {};
    std::memcpy(buffer, text.data(), text.size());
    in_addr parsed{};
    if (inet_pton(AF_INET, buffer, &parsed) != 1) return std::nullopt;
    char dotted[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &parsed, dotted, sizeof dotted) == nullptr) return std::nullopt;
    return std::string(dotted);
}

// ----------------------------------------------------------- KEY=VALUE files

// The value of one assignment as systemd's env-file reader takes it: blanks
// around it dropped, and a value wholly in double quotes (with backslash
// escapes) or single quotes loses them.  systemd writes its state files
// unquoted; the quotes are what its reader would accept from another hand.
std::string UnquotedValue(std::string_view value) {
    value = Trim(value);
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
        return std::string(value.substr(1, value.size() - 2));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        std::string out;
        value = value.substr(1, value.size() - 2);
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            out.push_back(value[i]);
        }
        return out;
    }
    return std::string(value);
}

// The last value of each of `keys` in KEY=VALUE lines; blank lines and lines
// that start with '#' or ';' are comments.  A later line of a key overrides
// an earlier one, as in systemd's reader.
template <std::size_t N>
std::array<std::optional<std::string>, N> LastValues(std::string_view text,
                                                     const std::array<std::string_view, N>& keys) {
    std::array<std::optional<std::string>, N> values;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = Trim(line.substr(0, equals));
        for (std::size_t k = 0; k < N; ++k) {
            if (key == keys[k]) values[k] = UnquotedValue(line.substr(equals + 1));
        }
    }
    return values;
}

struct LeaseLength {
    bool infinite = false;
    std::uint64_t seconds = 0;
};

// A time span as systemd writes and reads one ("1d 2h 30min", "90s",
// "infinity"), in whole seconds.  Units are those of systemd's time parser
// down to the millisecond (a month is 30.44 days, a year 365.25); a number
// without a unit is seconds.
std::optional<LeaseLength> ParseTimeSpan(std::string_view text) {
    struct Unit {
        std::string_view name;
        std::uint64_t micros;
    };
    static constexpr std::uint64_t kSecond = 1000000;
    static constexpr std::array<Unit, 26> kUnits = {{
        {"seconds", kSecond},
        {"second", kSecond},
        {"sec", kSecond},
        {"s", kSecond},
        {"minutes", 60 * kSecond},
        {"minute", 60 * kSecond},
        {"min", 60 * kSecond},
        {"m", 60 * kSecond},
        {"hours", 3600 * kSecond},
        {"hour", 3600 * kSecond},
        {"hr", 3600 * kSecond},
        {"h", 3600 * kSecond},
        {"days", 86400 * kSecond},
        {"day", 86400 * kSecond},
        {"d", 86400 * kSecond},
        {"weeks", 604800 * kSecond},
        {"week", 604800 * kSecond},
        {"w", 604800 * kSecond},
        {"months", 2629800 * kSecond},
        {"month", 2629800 * kSecond},
        {"M", 2629800 * kSecond},
        {"years", 31557600 * kSecond},
        {"year", 31557600 * kSecond},
        {"y", 31557600 * kSecond},
        {"msec", 1000},
        {"ms", 1000},
    }};
    text = Trim(text);
    if (text == "infinity") return LeaseLength{true, 0};
    std::uint64_t totalMicros = 0;
    std::size_t i = 0;
    bool any = false;
    while (true) {
        while (i < text.size() && IsSpace(text[i])) ++i;
        if (i == text.size()) break;
        const std::size_t digitsStart = i;
        while (i < text.size() && IsDigit(text[i])) ++i;
        const auto whole = ParseNumber<std::uint64_t>(text.substr(digitsStart, i - digitsStart));
        if (!whole) return std::nullopt;
        // Up to six decimals count; further ones are below a microsecond.
        std::uint64_t fraction = 0, scale = 1;
        if (i < text.size() && text[i] == '.') {
            ++i;
            while (i < text.size() && IsDigit(text[i])) {
                if (scale < 1000000) {
                    fraction = fraction * 10 + static_cast<std::uint64_t>(text[i] - '0');
                    scale *= 10;
                }
                ++i;
            }
        }
        while (i < text.size() && IsSpace(text[i])) ++i;
        const std::size_t unitStart = i;
        while (i < text.size() && IsLetter(text[i])) ++i;
        const std::string_view unitName = text.substr(unitStart, i - unitStart);
        std::uint64_t unit = kSecond;
        if (!unitName.empty()) {
            const auto found =
                std::find_if(kUnits.begin(), kUnits.end(), [&](const Unit& u) { return u.name == unitName; });
            if (found == kUnits.end()) return std::nullopt;
            unit = found->micros;
        }
        std::uint64_t part = 0;
        if (__builtin_mul_overflow(*whole, unit, &part) || __builtin_add_overflow(totalMicros, part, &totalMicros) ||
            __builtin_add_overflow(totalMicros, unit / scale * fraction, &totalMicros))
            return std::nullopt;
        any = true;
    }
    if (!any) return std::nullopt;
    return LeaseLength{false, totalMicros / kSecond};
}

// LIFETIME: whole seconds in older systemd, where 4294967295 is the
// protocol's infinite lease time, and a time span in newer.
std::optional<LeaseLength> ParseLifetime(std::string_view text) {
    text = Trim(text);
    if (const auto seconds = ParseNumber<std::uint64_t>(text)) {
        if (*seconds == kInfiniteLeaseTime) return LeaseLength{true, 0};
        return LeaseLength{false, *seconds};
    }
    return ParseTimeSpan(text);
}

std::optional<DhcpLease> LeaseFromKeyValues(std::string_view text, std::int64_t written) {
    const auto values = LastValues<3>(text, {"ADDRESS", "SERVER_ADDRESS", "LIFETIME"});
    if (!values[0]) return std::nullopt;
    auto address = CanonicalIpv4(*values[0]);
    if (!address) return std::nullopt;
    DhcpLease lease;
    lease.address = std::move(*address);
    if (values[1]) lease.server = CanonicalIpv4(*values[1]).value_or("");
    lease.obtained = written;
    lease.expires = written;
    if (values[2]) {
        const auto length = ParseLifetime(*values[2]);
        if (!length) return std::nullopt;
        if (length->infinite) {
            lease.expires = kLeaseNeverExpires;
        } else {
            if (length->seconds > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return std::nullopt;
            if (__builtin_add_overflow(written, static_cast<std::int64_t>(length->seconds), &lease.expires) ||
                lease.expires == kLeaseNeverExpires)
                return std::nullopt;
        }
    }
    return lease;
}

// ------------------------------------------------------------ dhclient files

// Tokens of dhclient's lease database: words, quoted strings (with their
// escapes undone), and the punctuation ';', '{' and '}'.  A '#' at the start
// of a token comments out the rest of the line.  NUL bytes separate tokens
// like blanks: a file system that lost the end of a write after a power
// failure leaves zeros there, and dhclient's later leases follow them.
class DhclientLexer {
public:
    enum class Kind { End, Word, String, Semicolon, Open, Close };
    struct Token {
        Kind kind = Kind::End;
        std::string text;
    };

    explicit DhclientLexer(std::string_view text) : text_(text) {}

    Token Next() {
        for (;;) {
            while (pos_ < text_.size() && IsDhclientBlank(text_[pos_])) ++pos_;
            if (pos_ < text_.size() && text_[pos_] == '#') {
                const std::size_t eol = text_.find('\n', pos_);
                pos_ = eol == std::string_view::npos ? text_.size() : eol;
                continue;
            }
            break;
        }
        if (pos_ >= text_.size()) return {};
        const char c = text_[pos_];
        if (c == ';' || c == '{' || c == '}') {
            ++pos_;
            return {c == ';' ? Kind::Semicolon : (c == '{' ? Kind::Open : Kind::Close), {}};
        }
        if (c == '"') return String();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !IsDhclientBlank(text_[pos_]) && text_[pos_] != ';' && text_[pos_] != '{' &&
               text_[pos_] != '}' && text_[pos_] != '"')
            ++pos_;
        return {Kind::Word, std::string(text_.substr(start, pos_ - start))};
    }

private:
    // dhclient writes a string on one line, with unprintable bytes as octal
    // escapes: a newline or a NUL byte ends a string that was cut short, so
    // that the tokens after it are read as what they are.
    Token String() {
        std::string out;
        ++pos_;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n' || c == '\0') break;
            ++pos_;
            if (c == '"') break;
            if (c != '\\' || pos_ >= text_.size()) {
                out.push_back(c);
                continue;
            }
            const char e = text_[pos_++];
            if (e >= '0' && e <= '7') {
                unsigned value = static_cast<unsigned>(e - '0');
                for (int n = 0; n < 2 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++n)
                    value = value * 8 + static_cast<unsigned>(text_[pos_++] - '0');
                out.push_back(static_cast<char>(value & 0xffu));
            } else if (e == 't') {
                out.push_back('\t');
            } else if (e == 'n') {
                out.push_back('\n');
            } else if (e == 'r') {
                out.push_back('\r');
            } else {
                out.push_back(e);
            }
        }
        return {Kind::String, std::move(out)};
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

struct LeaseTime {
    bool never = false;
    std::int64_t at = 0;
};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yoe = year - era * 400;
    const std::int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool IsLeapYear(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// "YYYY/MM/DD" and "HH:MM:SS" (dhclient pads with zeros, the BSD clients
// do not), as UTC.
std::optional<std::int64_t> ParseUtcDate(std::string_view date, std::string_view time) {
    auto fields = [](std::string_view s, char separator) -> std::optional<std::array<std::int64_t, 3>> {
        std::array<std::int64_t, 3> out{};
        for (std::size_t n = 0; n < 3; ++n) {
            const std::size_t end = n < 2 ? s.find(separator) : s.size();
            if (end == std::string_view::npos || end > 5) return std::nullopt;
            const auto value = ParseNumber<std::int64_t>(s.substr(0, end));
            if (!value) return std::nullopt;
            out[n] = *value;
            s = n < 2 ? s.substr(end + 1) : std::string_view();
        }
        return out;
    };
    const auto ymd = fields(date, '/');
    const auto hms = fields(time, ':');
    if (!ymd || !hms) return std::nullopt;
    const auto [year, month, day] = *ymd;
    const auto [hour, minute, second] = *hms;
    static constexpr std::array<int, 12> kDaysInMonth = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1900 || year > 9999 || month < 1 || month > 12) return std::nullopt;
    const int monthDays = kDaysInMonth[static_cast<std::size_t>(month - 1)] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    if (day < 1 || day > monthDays || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
           minute * 60 + second;
}

using DhclientToken = DhclientLexer::Token;
using DhclientKind = DhclientLexer::Kind;

bool IsWord(const DhclientToken& t, std::string_view text) { return t.kind == DhclientKind::Word && t.text == text; }

// The time after "renew", "rebind" or "expire": "never", "epoch N", or
// "W YYYY/MM/DD HH:MM:SS" (the weekday is ignored and may be left out).
std::optional<LeaseTime> ParseDhclientTime(const std::vector<DhclientToken>& statement) {
    if (!std::all_of(statement.begin(), statement.end(),
                     [](const DhclientToken& t) { return t.kind == DhclientKind::Word; }))
        return std::nullopt;
    const std::size_t n = statement.size();
    if (n == 2 && statement[1].text == "never") return LeaseTime{true, 0};
    if (n == 3 && statement[1].text == "epoch") {
        const auto seconds = ParseNumber<std::int64_t>(statement[2].text);
        if (!seconds || *seconds == kLeaseNeverExpires) return std::nullopt;
        return LeaseTime{false, *seconds};
    }
    std::optional<std::int64_t> at;
    if (n == 4 && statement[1].text.size() == 1 && statement[1].text[0] >= '0' && statement[1].text[0] <= '6')
        at = ParseUtcDate(statement[2].text, statement[3].text);
    else if (n == 3)
        at = ParseUtcDate(statement[1].text, statement[2].text);
    if (!at) return std::nullopt;
    return LeaseTime{false, *at};
}

// What one "lease { ... }" block says; each statement overrides an earlier
// one of its kind.
struct DhclientBlock {
    bool forInterface = false;
    std::optional<std::string> address;
    std::optional<std::string> server;
    std::optional<std::uint64_t> leaseTime;
    std::optional<LeaseTime> renew, rebind, expire;
    // The reported times come from the expiry and the lease time: when
    // either is garbage the block is, rather than a lease of made-up times
    // (a garbage expiry leaves none).
    bool leaseTimeMalformed = false;

    void Take(const std::vector<DhclientToken>& statement, std::string_view interfaceName) {
        const std::size_t n = statement.size();
        if (n < 2 || statement[0].kind != DhclientKind::Word) return;
        const std::string& keyword = statement[0].text;
        if (keyword == "interface") {
            forInterface = n == 2 && statement[1].kind == DhclientKind::String && statement[1].text == interfaceName;
        } else if (keyword == "fixed-address") {
            address =
                n == 2 && statement[1].kind == DhclientKind::Word ? CanonicalIpv4(statement[1].text) : std::nullopt;
        } else if (keyword == "option" && n == 3 && IsWord(statement[1], "dhcp-lease-time")) {
            leaseTime =
                statement[2].kind == DhclientKind::Word ? ParseNumber<std::uint32_t>(statement[2].text) : std::nullopt;
            leaseTimeMalformed = !leaseTime;
        } else if (keyword == "option" && n == 3 && IsWord(statement[1], "dhcp-server-identifier")) {
            server = statement[2].kind == DhclientKind::Word ? CanonicalIpv4(statement[2].text) : std::nullopt;
        } else if (keyword == "renew") {
            renew = ParseDhclientTime(statement);
        } else if (keyword == "rebind") {
            rebind = ParseDhclientTime(statement);
        } else if (keyword == "expire") {
            expire = ParseDhclientTime(statement);
        }
    }

    std::optional<DhcpLease> Lease() const {
        if (!forInterface || !address || !expire || leaseTimeMalformed) return std::nullopt;
        DhcpLease lease;
        lease.address = *address;
        lease.server = server.value_or("");
        lease.expires = expire->never ? kLeaseNeverExpires : expire->at;
        if (leaseTime && !expire->never) {
            if (__builtin_sub_overflow(expire->at, static_cast<std::int64_t>(*leaseTime), &lease.obtained))
                return std::nullopt;
        } else {
            // No length to count back from: the earliest time the block gives.
            std::optional<std::int64_t> earliest;
            for (const auto& t : {renew, rebind, expire}) {
                if (t && !t->never) earliest = std::min(earliest.value_or(t->at), t->at);
            }
            lease.obtained = earliest.value_or(0);
        }
        if (leaseTime && *leaseTime == kInfiniteLeaseTime) lease.expires = kLeaseNeverExpires;
        return lease;
    }
};

// ------------------------------------------------------------ reading files

struct FileText {
    std::string text;
    std::int64_t modified = 0;
    bool fromMiddle = false;  // the start of a long file was left out
};

// A regular file's text and modification time.  Anything else (a FIFO that
// would block, a device, a directory) is passed over.  A file longer than
// kMaxFileBytes is passed over, or with `keepEnd` its last kMaxFileBytes
// are read.
std::optional<FileText> ReadRegularFile(const std::string& path, bool keepEnd) {
    struct stat st {};
    DWORD error = NO_ERROR;
    const FileHandle fd = OpenRegularFile(path, st, error);
    if (!fd || st.st_size < 0) return std::nullopt;
    off_t offset = 0;
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        if (!keepEnd) return std::nullopt;
        offset = st.st_size - static_cast<off_t>(kMaxFileBytes);
    }
    FileText file;
    file.modified = st.st_mtim.tv_sec;
    file.fromMiddle = offset > 0;
    file.text.resize(std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), kMaxFileBytes));
    std::size_t have = 0;
    while (have < file.text.size()) {
        const ssize_t n =
            ::pread(fd.get(), file.text.data() + have, file.text.size() - have, offset + static_cast<off_t>(have));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;  // shortened since fstat
        have += static_cast<std::size_t>(n);
    }
    file.text.resize(have);
    return file;
}

// The text from the first "lease" block that starts a line: what comes
// before it, in a file read from the middle, may be half a block.
std::string_view FromFirstLeaseBlock(std::string_view text) {
    for (std::size_t pos = text.find("\nlease"); pos != std::string_view::npos; pos = text.find("\nlease", pos + 1)) {
        const std::size_t after = pos + 6;
        if (after < text.size() && (IsSpace(text[after]) || text[after] == '{')) return text.substr(pos + 1);
    }
    return {};
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// Calls fn(name) for the entries of a directory, examining at most
// kMaxDirectoryEntries of them.
template <class Fn>
void ForEachEntry(const std::string& path, Fn fn) {
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
    if (!dir) return;
    for (int examined = 0; examined < kMaxDirectoryEntries; ++examined) {
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) break;
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") fn(name);
    }
}

// NetworkManager's lease file name: PLUGIN-UUID-IFNAME.lease.  The UUID is
// 36 characters, four of them dashes and the rest hex digits, so the
// interface name is all that follows it: compared whole, "eth1" is not the
// end of "br-eth1".
bool IsNetworkManagerLeaseName(std::string_view name, std::string_view plugin, std::string_view ifname) {
    constexpr std::size_t kUuidLength = 36;
    if (!StartsWith(name, plugin) || name.size() <= plugin.size() || name[plugin.size()] != '-') return false;
    name.remove_prefix(plugin.size() + 1);
    if (name.size() < kUuidLength) return false;
    const std::string_view uuid = name.substr(0, kUuidLength);
    if (std::count(uuid.begin(), uuid.end(), '-') != 4 ||
        !std::all_of(uuid.begin(), uuid.end(), [](char c) { return c == '-' || IsHexDigit(c); }))
        return false;
    const std::string_view rest = name.substr(kUuidLength);
    return rest.size() == 1 + ifname.size() + 6 && rest[0] == '-' && rest.substr(1, ifname.size()) == ifname &&
           EndsWith(rest, ".lease");
}

// ------------------------------------------------------------ DNS entries

// The IPv4 address of one DNS server entry of networkd or resolved:
// ADDRESS[:PORT][%IFINDEX][#NAME].  An IPv6 entry ("2001:db8::1",
// "[2001:db8::1]:53") yields nothing.
std::optional<std::string> Ipv4OfServerEntry(std::string_view entry) {
    const std::size_t end = std::min(entry.find_first_of(":%#"), entry.size());
    auto address = CanonicalIpv4(entry.substr(0, end));
    if (!address) return std::nullopt;
    std::string_view rest = entry.substr(end);
    if (!rest.empty() && rest[0] == ':') {
        const std::size_t portEnd = std::min(rest.find_first_of("%#"), rest.size());
        const auto port = ParseNumber<std::uint32_t>(rest.substr(1, portEnd - 1));
        if (!port || *port == 0 || *port > 65535) return std::nullopt;
        rest.remove_prefix(portEnd);
    }
    if (!rest.empty() && rest[0] == '%') {
        const std::size_t scopeEnd = std::min(rest.find('#'), rest.size());
        if (scopeEnd == 1) return std::nullopt;
        rest.remove_prefix(scopeEnd);
    }
    if (!rest.empty() && rest[0] != '#') return std::nullopt;
    return address;
}

std::vector<std::string> Ipv4ServersOfList(const std::optional<std::string>& list) {
    std::vector<std::string> servers;
    if (!list) return servers;
    const std::string_view text(*list);
    std::size_t i = 0;
    while (i < text.size() && servers.size() < kMaxDnsServers) {
        while (i < text.size() && IsSpace(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !IsSpace(text[i])) ++i;
        if (i == start) break;
        auto server = Ipv4OfServerEntry(text.substr(start, i - start));
        if (server && std::find(servers.begin(), servers.end(), *server) == servers.end())
            servers.push_back(std::move(*server));
    }
    return servers;
}

}  // namespace

std::optional<DhcpLease> ParseNetworkdLease(std::string_view text, std::int64_t written) {
    return LeaseFromKeyValues(text, written);
}

std::optional<DhcpLease> ParseNetworkManagerLease(std::string_view text, std::int64_t written) {
    // Both of NetworkManager's internal clients write networkd's format, the
    // current one with nothing but the address.
    return LeaseFromKeyValues(text, written);
}

std::optional<DhcpLease> ParseDhclientLeases(std::string_view text, std::string_view interfaceName) {
    // dhclient appends each lease it takes, so the last complete block is
    // the newest; a block cut short by a crash or a partial read is not one.
    // Blocks other than "lease" (lease6, and any nested ones) are skipped
    // whole.
    std::optional<DhcpLease> newest;
    DhclientLexer lexer(text);
    std::vector<DhclientToken> statement;
    bool lastWordIsLease = false;
    int depth = 0;
    bool inLease = false;
    DhclientBlock block;
    for (DhclientToken token = lexer.Next(); token.kind != DhclientKind::End; token = lexer.Next()) {
        switch (token.kind) {
            case DhclientKind::Word:
            case DhclientKind::String:
                // Statements that matter have at most four tokens; one more
                // is kept so that a longer statement is seen to be one.
                lastWordIsLease = IsWord(token, "lease");
                if (statement.size() < 5) statement.push_back(std::move(token));
                continue;
            case DhclientKind::Semicolon:
                if (depth == 1 && inLease) block.Take(statement, interfaceName);
                statement.clear();
                break;
            case DhclientKind::Open: {
                const bool opensLease = lastWordIsLease;
                if (depth == 0 || (inLease && opensLease)) {
                    // dhclient never nests a lease: one opening inside
                    // another follows a block that was cut short, perhaps
                    // in the middle of a statement.
                    inLease = opensLease;
                    block = DhclientBlock{};
                    depth = 0;
                }
                ++depth;
                statement.clear();
                break;
            }
            case DhclientKind::Close:
                if (depth > 0 && --depth == 0) {
                    if (inLease) {
                        if (auto lease = block.Lease()) newest = std::move(lease);
                    }
                    inLease = false;
                }
                statement.clear();
                break;
            case DhclientKind::End: break;
        }
        lastWordIsLease = false;
    }
    return newest;
}

std::vector<std::string> ParseResolvedLinkDns(std::string_view text) {
    return Ipv4ServersOfList(LastValues<1>(text, {"SERVERS"})[0]);
}

std::vector<std::string> ParseNetworkdLinkDns(std::string_view text) {
    return Ipv4ServersOfList(LastValues<1>(text, {"DNS"})[0]);
}

std::optional<DhcpLease> FindLease(const std::string& root, unsigned ifindex, std::string_view ifname,
                                   const std::vector<std::string>& addresses) {
    std::vector<std::string> wanted;
    for (const std::string& a : addresses) {
        if (auto canonical = CanonicalIpv4(a)) wanted.push_back(std::move(*canonical));
    }
    if (wanted.empty()) return std::nullopt;

    std::optional<DhcpLease> newest;
    int filesRead = 0;
    const auto read = [&](const std::string& path, bool keepEnd) -> std::optional<FileText> {
        if (filesRead >= kMaxFilesRead) return std::nullopt;
        ++filesRead;
        return ReadRegularFile(path, keepEnd);
    };
    const auto consider = [&](std::optional<DhcpLease> lease) {
        if (!lease || std::find(wanted.begin(), wanted.end(), lease->address) == wanted.end()) return;
        if (!newest || lease->obtained > newest->obtained) newest = std::move(lease);
    };
    const auto considerDhclient = [&](const std::string& path) {
        if (auto file = read(path, true)) {
            consider(ParseDhclientLeases(file->fromMiddle ? FromFirstLeaseBlock(file->text) : file->text, ifname));
        }
    };

    if (ifindex != 0) {
        if (auto file = read(root + "/run/systemd/netif/leases/" + std::to_string(ifindex), false))
            consider(ParseNetworkdLease(file->text, file->modified));
    }

    // A name that no file name can end with names no file.
    if (ifname.empty() || ifname.find('/') != std::string_view::npos || ifname.find('\0') != std::string_view::npos)
        return newest;

    for (const char* dir : {"/run/NetworkManager", "/var/lib/NetworkManager"}) {
        const std::string path = root + dir;
        ForEachEntry(path, [&](std::string_view name) {
            if (IsNetworkManagerLeaseName(name, "internal", ifname)) {
                if (auto file = read(path + "/" + std::string(name), false))
                    consider(ParseNetworkManagerLease(file->text, file->modified));
            } else if (IsNetworkManagerLeaseName(name, "dhclient", ifname)) {
                considerDhclient(path + "/" + std::string(name));
            }
        });
    }

    // dhclient's databases hold the interface's name inside, so a file
    // shared by several interfaces, or named by an administrator, is read
    // whole; those of DHCPv6 (dhclient6...) hold no IPv4 lease.
    const std::string debian = root + "/var/lib/dhcp";
    ForEachEntry(debian, [&](std::string_view name) {
        if (StartsWith(name, "dhclient") && !StartsWith(name, "dhclient6") && EndsWith(name, ".leases"))
            considerDhclient(debian + "/" + std::string(name));
    });
    const std::string redHat = root + "/var/lib/dhclient";
    ForEachEntry(redHat, [&](std::string_view name) {
        if (name.find(".lease") != std::string_view::npos && !StartsWith(name, "dhclient6"))
            considerDhclient(redHat + "/" + std::string(name));
    });
    return newest;
}

std::vector<std::string> FindLinkDnsServers(const std::string& root, unsigned ifindex) {
    if (ifindex == 0) return {};
    const std::string index = std::to_string(ifindex);
    if (auto resolved = ReadRegularFile(root + "/run/systemd/resolve/netif/" + index, false)) {
        std::vector<std::string> servers = ParseResolvedLinkDns(resolved->text);
        if (!servers.empty()) return servers;
    }
    if (auto networkd = ReadRegularFile(root + "/run/systemd/netif/links/" + index, false))
        return ParseNetworkdLinkDns(networkd->text);
    return {};
}

}  // namespace provider
