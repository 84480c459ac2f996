#include "ResolverConfig.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "ProcFiles.h"

namespace provider {

namespace {

template <class Fn>
void ForEachLine(std::string_view text, Fn fn) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        fn(text.substr(pos, end - pos));
        pos = end + 1;
    }
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// The text before a comment that starts with '#' or ';'.
std::string_view WithoutComment(std::string_view line) {
    const std::size_t mark = line.find_first_of("#;");
    return mark == std::string_view::npos ? line : line.substr(0, mark);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A hosts line longer than this is no line of a hosts file (block lists
// hold one name a line); it is skipped.
constexpr std::size_t kMaxHostsLine = 64 * 1024;

// Finds the host's fully qualified name on a line of the hosts table: the
// canonical name (first name) of a line that lists the host, when it has a
// dot and its first label is the host's.  Host names compare without regard
// to case, as the resolver compares them.
class HostsMatcher {
public:
    explicit HostsMatcher(std::string_view hostname)
        : m_host(Lower(hostname)), m_shortHost(m_host.substr(0, m_host.find('.'))) {}

    // The canonical name of `line`, or empty when the line is not the host's.
    std::string NameOnLine(std::string_view line) const {
        const std::vector<std::string_view> words = Words(WithoutComment(line));
        if (words.size() < 2) return {};
        const std::string canonical = Lower(words[1]);
        const bool listed = std::any_of(words.begin() + 1, words.end(), [&](std::string_view w) {
            const std::string name = Lower(w);
            return name == m_host || (name.size() > m_host.size() && name.compare(0, m_host.size(), m_host) == 0 &&
                                      name[m_host.size()] == '.');
        });
        if (listed && canonical.find('.') != std::string::npos &&
            canonical.substr(0, canonical.find('.')) == m_shortHost)
            return std::string(words[1]);
        return {};
    }

private:
    std::string m_host, m_shortHost;
};

}  // namespace

bool ResolverConfig::OnlyLoopbackServers() const {
    if (ipv4Servers.empty()) return false;
    return std::all_of(ipv4Servers.begin(), ipv4Servers.end(),
                       [](const std::string& s) { return s.rfind("127.", 0) == 0; });
}

ResolverConfig ParseResolvConf(std::string_view text) {
    ResolverConfig config;
    ForEachLine(text, [&config](std::string_view line) {
        const std::vector<std::string_view> words = Words(WithoutComment(line));
        if (words.empty()) return;
        if (words[0] == "nameserver") {
            if (words.size() < 2) {
                ++config.badLines;
                return;
            }
            // inet_pton accepts only the four-part dotted form: an IPv6 or a
            // scoped address (fe80::1%eth0) does not fit the record's field.
            const std::string address(words[1].substr(0, 64));
            in_addr parsed{};
            if (inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
                char dotted[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &parsed, dotted, sizeof dotted);
                config.ipv4Servers.emplace_back(dotted);
            } else if (address.find(':') != std::string::npos) {
                ++config.otherServers;
            } else {
                ++config.badLines;
            }
        } else if (words[0] == "domain" && words.size() >= 2) {
            config.domain = std::string(words[1]);
            config.search.clear();
        } else if (words[0] == "search" && words.size() >= 2) {
            config.domain.clear();
            config.search.assign(words.begin() + 1, words.end());
        }
    });
    return config;
}

std::string FullyQualifiedNameFromHosts(std::string_view hostsText, std::string_view hostname) {
    std::string found;
    if (hostname.empty()) return found;
    const HostsMatcher matcher(hostname);
    ForEachLine(hostsText, [&](std::string_view line) {
        if (found.empty()) found = matcher.NameOnLine(line);
    });
    return found;
}

std::string FullyQualifiedNameFromHostsFile(const std::string& path, std::string_view hostname) {
    std::string found;
    if (hostname.empty()) return found;
    const HostsMatcher matcher(hostname);
    ForEachLineOfFile(path, kMaxHostsLine, [&](std::string_view line) {
        found = matcher.NameOnLine(line);
        return found.empty();
    });
    return found;
}

std::string NetbiosScopeFromSmbConf(std::string_view text) {
    std::string scope;
    bool global = true;  // parameters before any section belong to [global]
    ForEachLine(text, [&](std::string_view raw) {
        const std::string_view line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') return;
        if (line.front() == '[') {
            global = Lower(line).rfind("[global]", 0) == 0;
            return;
        }
        const std::size_t equals = line.find('=');
        if (!global || equals == std::string_view::npos) return;
        std::string name;
        for (char c : Lower(line.substr(0, equals)))
            if (!IsBlank(c)) name += c;
        if (name == "netbiosscope") scope = std::string(Trim(line.substr(equals + 1)));
    });
    return scope;
}

NetbiosLeaseOptions NetbiosOptionsFromLeases(std::string_view text) {
    NetbiosLeaseOptions last, current;
    ForEachLine(text, [&](std::string_view raw) {
        const std::string_view line = Trim(raw);
        if (line.rfind("lease", 0) == 0 && line.find('{') != std::string_view::npos) {
            current = NetbiosLeaseOptions{};
            return;
        }
        if (line == "}") {
            last = current;
            return;
        }
        const std::vector<std::string_view> words = Words(line);
        if (words.size() < 3 || words[0] != "option") return;
        std::string_view value = words[2];
        if (!value.empty() && value.back() == ';') value.remove_suffix(1);
        if (words[1] == "netbios-node-type") {
            unsigned type = 0;
            auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), type);
            if (ec == std::errc() && p == value.data() + value.size()) current.nodeType = type;
        } else if (words[1] == "netbios-scope") {
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
            current.scope = std::string(value);
        }
    });
    return last;
}

}  // namespace provider

namespace provider {

std::vector<std::string> SystemDnsServers(const std::string& resolvConf, const std::string& stubUpstreams) {
    ResolverConfig resolver = ParseResolvConf(ReadSmallFile(resolvConf));
    // Behind a local stub resolver, the servers a user means are the ones the
    // stub forwards to.
    if (resolver.OnlyLoopbackServers()) {
        const ResolverConfig upstream = ParseResolvConf(ReadSmallFile(stubUpstreams));
        if (!upstream.ipv4Servers.empty()) return upstream.ipv4Servers;
    }
    return resolver.ipv4Servers;
}

}  // namespace provider
