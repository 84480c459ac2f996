// The provider's network parameters: the resolver, hosts, smb.conf and lease
// parsers on fixtures taken from real machines, and GetNetworkParams with
// `tessaline --print network` end to end, in a child that has mount and UTS
// namespaces of its own with the test's resolver files mounted over the
// system's and a host name of the test's choosing.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ChildOutput.h"
#include "ResolverConfig.h"
#include "iphlpapi.h"

namespace {

namespace fs = std::filesystem;

std::string Fixture(const std::string& name) {
    std::ifstream in(std::string(FIXTURE_DIR) + "/resolver/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

// ------------------------------------------------------------ the parsers

TEST(ResolverConfigParse, FixturesFromRealMachines) {
    const std::string longFirst = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                                  ".example";
    struct Case {
        const char* file;
        std::vector<std::string> servers;
        std::string domain;
        std::vector<std::string> search;  // empty: none; else its first and last entries
        std::size_t searchCount;
        int otherServers, badLines;
        bool stub;
    };
    const std::vector<Case> cases = {
        {"stub-resolv.conf", {"127.0.0.53"}, "", {"lan"}, 1, 0, 0, true},
        {"systemd-resolve-resolv.conf", {"192.168.1.1", "198.51.100.53"}, "", {"lan"}, 1, 1, 0, false},
        // "search" after "domain": the search list counts, the domain not.
        {"dhclient-resolv.conf",
         {"192.0.2.53", "198.51.100.53", "203.0.113.53"},
         "",
         {"corp.example.test", "example.test"},
         2,
         0,
         0,
         false},
        {"networkmanager-dual-stack-resolv.conf", {"192.168.1.1"}, "", {"home.example.test"}, 1, 2, 0, false},
        // IPv6, scoped and IPv4-mapped servers are all left out: none remains.
        {"networkmanager-ipv6-only-resolv.conf", {}, "v6.example.test", {}, 0, 3, 0, false},
        // A loopback server next to a real one is no local stub.
        {"dnsmasq-resolv.conf", {"127.0.0.1", "192.0.2.53"}, "", {"home.example.test"}, 1, 0, 0, false},
        {"six-servers-resolv.conf",
         {"203.0.113.1", "203.0.113.2", "198.51.100.7", "192.0.2.200", "255.255.255.255", "10.0.0.1"},
         "",
         {},
         0,
         0,
         0,
         false},
        // Tabs, indented lines, '#' and ';' comments (whole lines, after a
        // word, right after an address), "domain" after "search", a bare
        // "nameserver", a CRLF line.
        {"hand-edited-resolv.conf",
         {"192.0.2.10", "192.0.2.11", "192.0.2.14", "192.0.2.13"},
         "office.example.test",
         {},
         0,
         0,
         1,
         false},
        // Addresses that are not four dotted decimals, misspelt keywords,
        // binary bytes; the last line, without a newline, still counts.
        {"garbage-resolv.conf", {"192.0.2.99"}, "", {}, 0, 0, 5, false},
        // A 100 kB search line between two servers.
        {"overlong-line-resolv.conf",
         {"192.0.2.1", "192.0.2.2"},
         "",
         {longFirst, "d5311.example.test"},
         5312,
         0,
         0,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string text = Fixture(c.file);
        ASSERT_FALSE(text.empty());
        const provider::ResolverConfig r = provider::ParseResolvConf(text);
        EXPECT_EQ(r.ipv4Servers, c.servers);
        EXPECT_EQ(r.domain, c.domain);
        ASSERT_EQ(r.search.size(), c.searchCount);
        if (!c.search.empty()) {
            EXPECT_EQ(r.search.front(), c.search.front());
            EXPECT_EQ(r.search.back(), c.search.back());
        }
        EXPECT_EQ(r.otherServers, c.otherServers);
        EXPECT_EQ(r.badLines, c.badLines);
        EXPECT_EQ(r.OnlyLoopbackServers(), c.stub);
    }
}

TEST(ResolverConfigParse, LastOfDomainAndSearchWins) {
    struct Case {
        const char* text;
        std::string domain;
        std::vector<std::string> search;
    };
    const Case cases[] = {
        {"search a.test b.test\nsearch c.test\n", "", {"c.test"}},
        {"domain a.test\ndomain b.test\n", "b.test", {}},
        {"domain a.test\nsearch b.test c.test\n", "", {"b.test", "c.test"}},
        {"search b.test c.test\ndomain a.test\n", "a.test", {}},
        // A keyword without a value changes nothing.
        {"domain a.test\nsearch\ndomain\n", "a.test", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const provider::ResolverConfig r = provider::ParseResolvConf(c.text);
        EXPECT_EQ(r.domain, c.domain);
        EXPECT_EQ(r.search, c.search);
    }
}

TEST(HostsFullyQualifiedName, LookUpsInHostsFiles) {
    struct Case {
        const char* file;
        const char* hostname;
        std::string fqdn;
    };
    const Case cases[] = {
        {"debian-hosts", "node7", "node7.example.test"},
        {"debian-hosts", "node", ""},
        {"debian-hosts", "localhost", ""},
        // The first line that lists the name; a longer name is another host.
        {"redhat-hosts", "node7", "node7.lab.example.test"},
        {"redhat-hosts", "node70", "node70.lab.example.test"},
        {"redhat-hosts", "localhost", ""},
        {"redhat-hosts", "localhost4", ""},
        // Listed only as an alias of another host, on a commented line, or
        // not at all: no name of its own.
        {"container-hosts", "node7", ""},
        {"container-hosts", "3f2a9c1b7e4d", ""},
        {"container-hosts", "ip6-localhost", ""},
        {"debian-hosts", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.hostname);
        EXPECT_EQ(provider::FullyQualifiedNameFromHosts(Fixture(c.file), c.hostname), c.fqdn);
    }
}

// Host names compare without regard to case, as the resolver's own look-up
// in the hosts file does: a host named "node7" whose line reads
// "Node7.Example.Test Node7" has that fully qualified name.
TEST(HostsFullyQualifiedName, NamesCompareWithoutCase) {
    const std::string hosts = Fixture("mixed-case-hosts");
    EXPECT_EQ(provider::FullyQualifiedNameFromHosts(hosts, "Node7"), "Node7.Example.Test");
    EXPECT_EQ(provider::FullyQualifiedNameFromHosts(hosts, "node7"), "Node7.Example.Test");
}

// A hosts file far over a megabyte, as block lists are, with the host's
// line near its end: read line by line, with the rules of the text's
// look-up.  A line over 64 KiB is skipped, and the lines after it read.
TEST(HostsFullyQualifiedName, HostsFileOfSeveralMegabytes) {
    char dirTemplate[] = "/tmp/tessaline-hosts-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate, path = dir + "/hosts";
    std::string hosts = Fixture("container-hosts");
    for (int i = 0; hosts.size() < (6u << 20); ++i)
        hosts += "0.0.0.0 ads" + std::to_string(i) + ".tracker.example.test\n";
    hosts += std::string(100000, 'x') + " node7.overlong.example.test node7\n";
    hosts += "# 127.0.1.1 node7.commented.example.test node7\n";
    hosts += "127.0.1.1\tNode7.Lab.Example.Test node7\n0.0.0.0 last.example.test\n";
    ASSERT_TRUE(WriteFile(path, hosts));

    EXPECT_EQ(provider::FullyQualifiedNameFromHostsFile(path, "node7"), "Node7.Lab.Example.Test");
    EXPECT_EQ(provider::FullyQualifiedNameFromHostsFile(path, "NODE7"), "Node7.Lab.Example.Test");
    EXPECT_EQ(provider::FullyQualifiedNameFromHostsFile(path, "node8"), "");
    EXPECT_EQ(provider::FullyQualifiedNameFromHostsFile(path, ""), "");
    EXPECT_EQ(provider::FullyQualifiedNameFromHostsFile(dir + "/missing", "node7"), "");

    // The file's look-up and the text's agree on every fixture.
    for (const char* file : {"debian-hosts", "redhat-hosts", "container-hosts", "mixed-case-hosts"}) {
        ASSERT_TRUE(WriteFile(path, Fixture(file)));
        for (const char* host : {"node7", "node70", "Node7", "localhost", "3f2a9c1b7e4d", "ip6-localhost"}) {
            SCOPED_TRACE(std::string(file) + " " + host);
            EXPECT_EQ(provider::FullyQualifiedNameFromHostsFile(path, host),
                      provider::FullyQualifiedNameFromHosts(Fixture(file), host));
        }
    }
    fs::remove_all(dir);
}

TEST(NetbiosSettings, ScopeFromSmbConf) {
    struct Case {
        const char* file;
        std::string scope;
    };
    const Case cases[] = {
        // Parameter names without regard to case or blanks; only [global],
        // whatever its case, counts; commented lines do not.
        {"samba-smb.conf", "smbscope"},
        {"samba-without-scope-smb.conf", ""},
        // Lines before any section belong to [global].
        {"samba-include-netbios.conf", "lab.example"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(provider::NetbiosScopeFromSmbConf(Fixture(c.file)), c.scope);
    }
    EXPECT_EQ(provider::NetbiosScopeFromSmbConf("[global]\nnetbios scope = one\nnetbios scope =   two  \n"), "two");
}

TEST(NetbiosSettings, OptionsOfTheLastLease) {
    struct Case {
        const char* file;
        unsigned nodeType;
        std::string scope;
    };
    const Case cases[] = {
        {"dhclient-eth0.leases", 8, "corp"},
        // The options of an earlier lease do not carry over to the last.
        {"dhclient-wlan0.leases", 0, ""},
        // A lease cut short by a crash is not the last lease.
        {"dhclient-enp0s3-cut-short.leases", 4, "lab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const provider::NetbiosLeaseOptions o = provider::NetbiosOptionsFromLeases(Fixture(c.file));
        EXPECT_EQ(o.nodeType, c.nodeType);
        EXPECT_EQ(o.scope, c.scope);
    }
}

// ------------------------------------------------- FIFOs where files belong

// Runs `fn` in a forked child ended after 10 s: true when it returned true
// in time.  A read that blocks then fails its test instead of hanging the
// run.
template <class Fn>
bool ReturnsWithin10s(Fn fn) {
    const pid_t pid = fork();
    if (pid == 0) _exit(fn() ? 0 : 1);
    return pid > 0 && WaitBounded(pid, std::chrono::seconds(10)) == 0;
}

// A FIFO that no one writes, where the resolver configuration, the stub
// resolver's list or the hosts file belongs, would block a plain open for
// good: each reader finds nothing there, at once.
TEST(ResolverFiles, FifosAreReadAsMissingFiles) {
    char dirTemplate[] = "/tmp/tessaline-resolver-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate, fifo = dir + "/fifo", stub = dir + "/stub-resolv.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(WriteFile(stub, Fixture("stub-resolv.conf")));

    EXPECT_TRUE(ReturnsWithin10s([&] { return provider::SystemDnsServers(fifo, fifo).empty(); }));
    // Behind the stub, a FIFO for its upstream list leaves the stub.
    EXPECT_TRUE(ReturnsWithin10s(
        [&] { return provider::SystemDnsServers(stub, fifo) == std::vector<std::string>{"127.0.0.53"}; }));
    EXPECT_TRUE(ReturnsWithin10s([&] { return provider::FullyQualifiedNameFromHostsFile(fifo, "node7").empty(); }));

    // The same readers on regular files.
    const std::string upstreams = dir + "/resolv.conf", hosts = dir + "/hosts";
    ASSERT_TRUE(WriteFile(upstreams, Fixture("systemd-resolve-resolv.conf")));
    ASSERT_TRUE(WriteFile(hosts, Fixture("debian-hosts")));
    EXPECT_EQ(provider::SystemDnsServers(stub, upstreams), (std::vector<std::string>{"192.168.1.1", "198.51.100.53"}));
    EXPECT_EQ(provider::FullyQualifiedNameFromHostsFile(hosts, "node7"), "node7.example.test");
    fs::remove_all(dir);
}

// ------------------------------------------------------------ the library

PFN_GetNetworkParams LoadGetNetworkParams(std::string& error) {
    void* handle = dlopen(PROVIDER_DIR "/libiphlpapi.so", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = why != nullptr ? why : "dlopen failed";
        return nullptr;
    }
    void* symbol = dlsym(handle, "GetNetworkParams");
    if (symbol == nullptr) {
        error = "GetNetworkParams not exported";
        return nullptr;
    }
    PFN_GetNetworkParams fn = nullptr;
    static_assert(sizeof fn == sizeof symbol);
    std::memcpy(&fn, &symbol, sizeof fn);
    return fn;
}

TEST(NetworkParamsCallingRule, SizeFirstThenTheExactBuffer) {
    std::string error;
    const PFN_GetNetworkParams get = LoadGetNetworkParams(error);
    ASSERT_NE(get, nullptr) << error;

    ULONG needed = 0;
    ASSERT_EQ(get(nullptr, &needed), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    ASSERT_GE(needed, sizeof(FIXED_INFO));
    EXPECT_EQ((needed - sizeof(FIXED_INFO)) % sizeof(IP_ADDR_STRING), 0u);

    // A null buffer asks for the size whatever length comes with it.
    ULONG large = 1u << 20;
    EXPECT_EQ(get(nullptr, &large), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(large, needed);

    // One byte short, and no room at all: the size again, the buffer left
    // as it was.
    for (const ULONG given : {needed - 1, ULONG{0}}) {
        SCOPED_TRACE(given);
        std::vector<unsigned char> buffer(needed, 0xA5);
        ULONG length = given;
        EXPECT_EQ(get(reinterpret_cast<PFIXED_INFO>(buffer.data()), &length),
                  static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
        EXPECT_EQ(length, needed);
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xA5), static_cast<std::ptrdiff_t>(needed));
    }

    // The exact size, in storage of exactly that size (a sanitizer build
    // sees any write past it).
    const std::unique_ptr<unsigned char[]> storage(new unsigned char[needed]);
    auto* info = reinterpret_cast<PFIXED_INFO>(storage.get());
    ULONG length = needed;
    ASSERT_EQ(get(info, &length), static_cast<DWORD>(NO_ERROR));
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(std::string(info->HostName, strnlen(info->HostName, sizeof info->HostName)),
              std::string(host).substr(0, std::string(host).find('.')));
}

TEST(NetworkParamsCallingRule, NullSizePointerFailsWithoutTouchingTheBuffer) {
    std::string error;
    const PFN_GetNetworkParams get = LoadGetNetworkParams(error);
    ASSERT_NE(get, nullptr) << error;
    EXPECT_NE(get(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    std::vector<unsigned char> buffer(64 * 1024, 0x5A);
    EXPECT_NE(get(reinterpret_cast<PFIXED_INFO>(buffer.data()), nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), static_cast<std::ptrdiff_t>(buffer.size()));
}

// ------------------------------------------------------------ end to end

// A machine as the test sets it up in namespaces of its own.
struct Machine {
    std::string hostname;
    std::string resolvConf;                 // /etc/resolv.conf
    std::optional<std::string> upstreams;   // /run/systemd/resolve/resolv.conf
    std::string hosts = "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n";  // /etc/hosts
    std::optional<std::string> smbConf;     // /etc/samba/smb.conf
    struct Lease {
        std::string file, text;
        int ageSeconds;  // its modification time, this long ago
    };
    std::vector<Lease> leases;              // /var/lib/dhcp
    std::string ipForward = "0\n";          // <proc root>/sys/net/ipv4/ip_forward
    bool fifos = false;                     // every file above is a FIFO that no one writes, whatever its text
};

// What the child saw: "key=value" lines from GetNetworkParams, then the
// program's output.
struct Seen {
    int status = -1;
    std::multimap<std::string, std::string> values;
    std::string report;
    std::string log;  // everything, for failure messages

    std::string One(const std::string& key) const {
        const auto it = values.find(key);
        return it == values.end() ? "<missing>" : it->second;
    }
    std::vector<std::string> All(const std::string& key) const {
        std::vector<std::string> out;
        for (auto [it, end] = values.equal_range(key); it != end; ++it) out.push_back(it->second);
        return out;
    }
};

constexpr int kSkipStatus = 77;
constexpr const char* kReportMark = "report:\n";

// ---- in the child: placing the test's files over the system's

bool Failed(std::string& why, const std::string& what) {
    why = what + ": " + std::strerror(errno);
    return false;
}

// Covers `dir` with a tmpfs that holds what it held before (bind mounts of
// its entries, through `stash`, and copies of its symlinks), except `skip`,
// so that new entries can be made in it without touching the disk.
bool ShadowDir(const std::string& dir, const std::string& stash, const std::string& skip, std::string& why) {
    struct stat dirStat {};
    if (stat(dir.c_str(), &dirStat) != 0) return Failed(why, "stat " + dir);
    if (mkdir(stash.c_str(), 0700) != 0) return Failed(why, "mkdir " + stash);
    if (mount(dir.c_str(), stash.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return Failed(why, "bind " + dir + " on " + stash);
    const std::string options = "mode=0" + [&] {
        std::ostringstream o;
        o << std::oct << (dirStat.st_mode & 07777);
        return o.str();
    }();
    if (mount("tessaline-test", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) return Failed(why, "tmpfs on " + dir);
    DIR* entries = opendir(stash.c_str());
    if (entries == nullptr) return Failed(why, "opendir " + stash);
    bool ok = true;
    while (const dirent* entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == skip) continue;
        const std::string from = stash + "/" + name, to = dir + "/" + name;
        struct stat st {};
        if (lstat(from.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
            if (n < 0 || symlink(std::string(target, static_cast<std::size_t>(n)).c_str(), to.c_str()) != 0)
                ok = Failed(why, "symlink " + to);
        } else if (S_ISDIR(st.st_mode)) {
            if (mkdir(to.c_str(), st.st_mode & 07777) != 0 ||
                mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
                ok = Failed(why, "rebind " + to);
        } else if (S_ISREG(st.st_mode)) {
            const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
            if (fd < 0 || close(fd) != 0 || mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
                ok = Failed(why, "rebind " + to);
        }
        if (!ok) break;
    }
    closedir(entries);
    return ok;
}

// Puts the file `source` at `target`: a bind mount over it when it is a
// regular file, else (a symlink, or missing) a new file in a shadow of its
// directory.
bool PlaceFile(const std::string& target, const std::string& source, const std::string& stash, std::string& why) {
    struct stat st {};
    if (lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        const fs::path path(target);
        if (!ShadowDir(path.parent_path(), stash, path.filename(), why)) return false;
        const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || close(fd) != 0) return Failed(why, "create " + target);
    }
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return Failed(why, "bind " + target);
    return true;
}

// Puts the directory `source` at `target`: a bind mount over it when it
// exists, else a shadow of its nearest existing ancestor in which the
// missing directories are made.
bool PlaceDir(const std::string& target, const std::string& source, const std::string& stash, std::string& why) {
    struct stat st {};
    if (stat(target.c_str(), &st) != 0) {
        fs::path missing(target), ancestor = missing.parent_path();
        for (int depth = 0; depth < 16 && stat(ancestor.c_str(), &st) != 0; ++depth) {
            missing = ancestor;
            ancestor = ancestor.parent_path();
        }
        if (ancestor == "/" || !S_ISDIR(st.st_mode)) {
            errno = ENOENT;
            return Failed(why, "no directory to shadow for " + target);
        }
        // The first missing name is left out of the shadow even when it is a
        // dangling symlink, so that making it never writes to the disk.
        if (!ShadowDir(ancestor, stash, missing.filename(), why)) return false;
        std::error_code ec;
        fs::create_directories(target, ec);
        if (ec) {
            errno = ec.value();
            return Failed(why, "mkdir " + target);
        }
    } else if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return Failed(why, target);
    }
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return Failed(why, "bind " + target);
    return true;
}

// ---- in the child: what the library and the program show

void Observe(std::string& out) {
    std::string error;
    const PFN_GetNetworkParams get = LoadGetNetworkParams(error);
    if (get == nullptr) {
        out += "load-error=" + error + "\n";
        return;
    }
    ULONG needed = 0;
    out += "null-rc=" + std::to_string(get(nullptr, &needed)) + "\n";
    out += "needed=" + std::to_string(needed) + "\n";
    if (needed < sizeof(FIXED_INFO) || needed > (1u << 20)) return;

    const std::unique_ptr<unsigned char[]> storage(new unsigned char[needed]);
    std::memset(storage.get(), 0xCD, needed);
    auto* info = reinterpret_cast<PFIXED_INFO>(storage.get());
    ULONG length = needed;
    out += "rc=" + std::to_string(get(info, &length)) + "\n";
    out += "length=" + std::to_string(length) + "\n";

    const auto field = [&out](const char* key, const char* text, std::size_t size) {
        const std::size_t n = strnlen(text, size);
        out += std::string(key) + "=" + (n == size ? "<unterminated>" : std::string(text, n)) + "\n";
    };
    field("host", info->HostName, sizeof info->HostName);
    field("domain", info->DomainName, sizeof info->DomainName);
    field("scope", info->ScopeId, sizeof info->ScopeId);
    out += "node=" + std::to_string(info->NodeType) + "\n";
    out += "routing=" + std::to_string(info->EnableRouting) + "\n";

    // Where each entry lies: offsets from the start of the buffer, or
    // "outside" when an entry is not in it.
    const auto where = [&](const void* p) -> std::string {
        if (p == nullptr) return "null";
        const auto* b = static_cast<const unsigned char*>(p);
        if (b < storage.get() || b + sizeof(IP_ADDR_STRING) > storage.get() + needed) return "outside";
        return std::to_string(b - storage.get());
    };
    out += "current=" + where(info->CurrentDnsServer) + "\n";
    const IP_ADDR_STRING* entry = &info->DnsServerList;
    for (int i = 0; i < 64 && entry != nullptr; ++i) {
        const std::string at = where(entry);
        if (at == "outside") {
            out += "server-at=outside\n";
            break;
        }
        out += "server-at=" + at + "\n";
        field("server", entry->IpAddress.String, sizeof entry->IpAddress.String);
        entry = entry->Next;
    }
    if (entry != nullptr) out += "chain=unended\n";

    // The program, run as a user runs it, ended by its pid after 30 s.
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        out += "program=no pipe\n";
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        setenv("TESSALINE_LIBRARY_PATH", PROVIDER_DIR, 1);
        execl(TESSALINE_BIN, TESSALINE_BIN, "--print", "network", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    std::string programOut, programErr;
    const int status = pid < 0 ? -1 : CollectOutput(pid, outPipe[0], errPipe[0], programOut, programErr,
                                                    std::chrono::seconds(30));
    out += "program-status=" + std::to_string(status) + "\n";
    if (!programErr.empty()) out += "program-stderr=" + programErr + "\n";
    out += kReportMark + programOut;
}

// Sets the machine up in a forked child with mount and UTS namespaces of its
// own, and reports what GetNetworkParams and the program show there.
// Nothing outside the child's namespaces changes: the files live in a
// temporary directory and are mounted over the system's in the child only.
Seen RunOnMachine(const Machine& m) {
    Seen seen;
    char dirTemplate[] = "/tmp/tessaline-netparams-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        seen.log = "mkdtemp failed";
        return seen;
    }
    const std::string dir = dirTemplate;
    const auto place = [&m](const std::string& path, const std::string& text) {
        return m.fifos ? mkfifo(path.c_str(), 0644) == 0 : WriteFile(path, text);
    };
    bool written = place(dir + "/resolv.conf", m.resolvConf) && place(dir + "/hosts", m.hosts);
    for (const char* sub : {"/resolve", "/dhcp", "/samba", "/proc/sys/net/ipv4"}) fs::create_directories(dir + sub);
    if (m.upstreams) written = written && place(dir + "/resolve/resolv.conf", *m.upstreams);
    if (m.smbConf) written = written && place(dir + "/samba/smb.conf", *m.smbConf);
    written = written && place(dir + "/proc/sys/net/ipv4/ip_forward", m.ipForward);
    const time_t now = time(nullptr);
    for (const Machine::Lease& lease : m.leases) {
        const std::string path = dir + "/dhcp/" + lease.file;
        const timespec times[2] = {{now - lease.ageSeconds, 0}, {now - lease.ageSeconds, 0}};
        written = written && place(path, lease.text) && utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
    }

    int report[2], errors[2];
    if (!written || pipe2(report, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) {
        fs::remove_all(dir);
        seen.log = "cannot prepare " + dir;
        return seen;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(errors[1], 2);
        std::string out, why;
        const auto fail = [&](int status) {
            out += "setup=" + why + "\n";
            (void)!write(report[1], out.data(), out.size());
            _exit(status);
        };
        if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0) {
            Failed(why, "unshare(CLONE_NEWNS | CLONE_NEWUTS)");
            fail(kSkipStatus);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            Failed(why, "making the mounts private");
            fail(kSkipStatus);
        }
        // Directories first: shadowing /etc for a missing /etc/samba rebinds
        // the system's resolv.conf and hosts, which the files then cover.
        if (!PlaceDir("/run/systemd/resolve", dir + "/resolve", dir + "/stash-run", why) ||
            !PlaceDir("/var/lib/dhcp", dir + "/dhcp", dir + "/stash-var", why) ||
            !PlaceDir("/etc/samba", dir + "/samba", dir + "/stash-etc", why) ||
            !PlaceFile("/etc/resolv.conf", dir + "/resolv.conf", dir + "/stash-resolv", why) ||
            !PlaceFile("/etc/hosts", dir + "/hosts", dir + "/stash-hosts", why))
            fail(1);
        if (sethostname(m.hostname.data(), m.hostname.size()) != 0) {
            Failed(why, "sethostname");
            fail(1);
        }
        setenv("TESSALINE_PROC_ROOT", (dir + "/proc").c_str(), 1);
        Observe(out);
        const bool sent = write(report[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
        _exit(sent ? 0 : 1);
    }
    close(report[1]);
    close(errors[1]);
    std::string out, err;
    seen.status = pid < 0 ? -1 : CollectOutput(pid, report[0], errors[0], out, err, std::chrono::seconds(60));
    // The child's mounts ended with it: only the test's own files remain.
    fs::remove_all(dir);

    seen.log = "status " + std::to_string(seen.status) + "\n" + out + (err.empty() ? "" : "stderr:\n" + err);
    const std::size_t mark = out.find(kReportMark);
    if (mark != std::string::npos) seen.report = out.substr(mark + std::strlen(kReportMark));
    std::istringstream lines(out.substr(0, mark));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) seen.values.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return seen;
}

struct EndToEndCase {
    const char* name;
    Machine machine;
    std::string host, domain, scope;
    unsigned nodeType, routing;
    std::vector<std::string> servers;  // empty: the record's entry is empty
    std::string report;
};

std::vector<EndToEndCase> EndToEndCases() {
    // The first search domain of the overlong line, cut to the record's
    // field with its terminating zero.
    const std::string longDomain = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                                   ".example";
    const std::string cutDomain = longDomain.substr(0, MAX_DOMAIN_NAME_LEN + 3);
    const std::string olderLeases =
        "lease {\n  interface \"eth1\";\n  fixed-address 192.0.2.30;\n  option netbios-node-type 2;\n"
        "  option netbios-scope \"stale\";\n  expire 1 2024/01/01 00:00:00;\n}\n";
    const std::string notDhclient =
        "lease {\n  interface \"eth2\";\n  option netbios-node-type 1;\n  option netbios-scope \"other\";\n}\n";
    const std::string hostsWithoutNode7 = Fixture("container-hosts");

    std::vector<EndToEndCase> cases;
    {
        EndToEndCase c{"dhcp-configured, host name with its domain", {}, "node7", "example.test", "", 0, 1,
                       {"192.0.2.53", "198.51.100.53", "203.0.113.53"}, {}};
        c.machine.hostname = "node7.example.test";
        c.machine.resolvConf = Fixture("dhclient-resolv.conf");
        c.machine.ipForward = "1\n";
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: example.test\n"
            "  DHCP Scope ID: \n"
            "  Node Type: [UNKNOWN]\n"
            "  Current DNS Server: 192.0.2.53\n"
            "  Available DNS Servers\n"
            "    192.0.2.53\n"
            "    198.51.100.53\n"
            "    203.0.113.53\n";
        cases.push_back(c);
    }
    {
        EndToEndCase c{"local stub: its upstream servers, the domain from hosts", {}, "node7", "example.test", "", 0, 0,
                       {"192.168.1.1", "198.51.100.53"}, {}};
        c.machine.hostname = "node7";
        c.machine.resolvConf = Fixture("stub-resolv.conf");
        c.machine.upstreams = Fixture("systemd-resolve-resolv.conf");
        c.machine.hosts = Fixture("debian-hosts");
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: example.test\n"
            "  DHCP Scope ID: \n"
            "  Node Type: [UNKNOWN]\n"
            "  Current DNS Server: 192.168.1.1\n"
            "  Available DNS Servers\n"
            "    192.168.1.1\n"
            "    198.51.100.53\n";
        cases.push_back(c);
    }
    {
        EndToEndCase c{"local stub without an upstream list: the stub, the domain from search", {}, "node7", "lan", "",
                       0, 0, {"127.0.0.53"}, {}};
        c.machine.hostname = "node7";
        c.machine.resolvConf = Fixture("stub-resolv.conf");
        c.machine.hosts = hostsWithoutNode7;
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: lan\n"
            "  DHCP Scope ID: \n"
            "  Node Type: [UNKNOWN]\n"
            "  Current DNS Server: 127.0.0.53\n"
            "  Available DNS Servers\n"
            "    127.0.0.53\n";
        cases.push_back(c);
    }
    {
        EndToEndCase c{"loopback next to a real server is no stub", {}, "node7", "home.example.test", "", 0, 0,
                       {"127.0.0.1", "192.0.2.53"}, {}};
        c.machine.hostname = "node7";
        c.machine.resolvConf = Fixture("dnsmasq-resolv.conf");
        c.machine.upstreams = Fixture("systemd-resolve-resolv.conf");
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: home.example.test\n"
            "  DHCP Scope ID: \n"
            "  Node Type: [UNKNOWN]\n"
            "  Current DNS Server: 127.0.0.1\n"
            "  Available DNS Servers\n"
            "    127.0.0.1\n"
            "    192.0.2.53\n";
        cases.push_back(c);
    }
    {
        EndToEndCase c{"no IPv4 server: one empty entry, no current server", {}, "node7", "v6.example.test", "", 0, 0,
                       {}, {}};
        c.machine.hostname = "node7";
        c.machine.resolvConf = Fixture("networkmanager-ipv6-only-resolv.conf");
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: v6.example.test\n"
            "  DHCP Scope ID: \n"
            "  Node Type: [UNKNOWN]\n"
            "  Current DNS Server: [UNKNOWN]\n"
            "  Available DNS Servers\n"
            "    \n";
        cases.push_back(c);
    }
    {
        EndToEndCase c{"six servers; scope from smb.conf, node type from the newest dhclient lease file",
                       {},
                       "node7",
                       "lab.example.test",
                       "smbscope",
                       8,
                       0,
                       {"203.0.113.1", "203.0.113.2", "198.51.100.7", "192.0.2.200", "255.255.255.255", "10.0.0.1"},
                       {}};
        c.machine.hostname = "node7";
        c.machine.resolvConf = Fixture("six-servers-resolv.conf");
        c.machine.hosts = Fixture("redhat-hosts");
        c.machine.smbConf = Fixture("samba-smb.conf");
        c.machine.leases = {{"dhclient.leases", olderLeases, 7200},
                            {"dhclient-eth0.leases", Fixture("dhclient-eth0.leases"), 60},
                            {"eth2.leases", notDhclient, 0}};
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: lab.example.test\n"
            "  DHCP Scope ID: smbscope\n"
            "  Node Type: HYBRID_NODETYPE\n"
            "  Current DNS Server: 203.0.113.1\n"
            "  Available DNS Servers\n"
            "    203.0.113.1\n"
            "    203.0.113.2\n"
            "    198.51.100.7\n"
            "    192.0.2.200\n"
            "    255.255.255.255\n"
            "    10.0.0.1\n";
        cases.push_back(c);
    }
    {
        EndToEndCase c{"scope and node type from the newest lease when smb.conf sets no scope",
                       {},
                       "node7",
                       "office.example.test",
                       "stale",
                       2,
                       0,
                       {"192.0.2.10", "192.0.2.11", "192.0.2.14", "192.0.2.13"},
                       {}};
        c.machine.hostname = "node7";
        c.machine.resolvConf = Fixture("hand-edited-resolv.conf");
        c.machine.hosts = hostsWithoutNode7;
        c.machine.smbConf = Fixture("samba-without-scope-smb.conf");
        c.machine.leases = {{"dhclient.leases", olderLeases, 60},
                            {"dhclient-eth0.leases", Fixture("dhclient-eth0.leases"), 7200}};
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: office.example.test\n"
            "  DHCP Scope ID: stale\n"
            "  Node Type: PEER_TO_PEER_NODETYPE\n"
            "  Current DNS Server: 192.0.2.10\n"
            "  Available DNS Servers\n"
            "    192.0.2.10\n"
            "    192.0.2.11\n"
            "    192.0.2.14\n"
            "    192.0.2.13\n";
        cases.push_back(c);
    }
    {
        EndToEndCase c{"100 kB search line: the first domain, cut to the field", {}, "node7", cutDomain, "", 0, 0,
                       {"192.0.2.1", "192.0.2.2"}, {}};
        c.machine.hostname = "node7";
        c.machine.resolvConf = Fixture("overlong-line-resolv.conf");
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: " + cutDomain + "\n"
            "  DHCP Scope ID: \n"
            "  Node Type: [UNKNOWN]\n"
            "  Current DNS Server: 192.0.2.1\n"
            "  Available DNS Servers\n"
            "    192.0.2.1\n"
            "    192.0.2.2\n";
        cases.push_back(c);
    }
    {
        // A block list: megabytes of names, the host's own line near the end.
        std::string hosts = Fixture("container-hosts");
        for (int i = 0; hosts.size() < (5u << 20); ++i)
            hosts += "0.0.0.0 ads" + std::to_string(i) + ".tracker.example.test\n";
        hosts += "127.0.1.1\tnode7.big.example.test node7\n";
        EndToEndCase c{"hosts file of five megabytes: the domain from its line near the end",
                       {},
                       "node7",
                       "big.example.test",
                       "",
                       0,
                       0,
                       {"192.0.2.53", "198.51.100.53", "203.0.113.53"},
                       {}};
        c.machine.hostname = "node7";
        c.machine.resolvConf = Fixture("dhclient-resolv.conf");
        c.machine.hosts = hosts;
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: big.example.test\n"
            "  DHCP Scope ID: \n"
            "  Node Type: [UNKNOWN]\n"
            "  Current DNS Server: 192.0.2.53\n"
            "  Available DNS Servers\n"
            "    192.0.2.53\n"
            "    198.51.100.53\n"
            "    203.0.113.53\n";
        cases.push_back(c);
    }
    {
        // FIFOs that no one writes where every file belongs: a plain open
        // would wait for good; each counts as missing, at once.
        EndToEndCase c{"FIFOs for every file: nothing read, nothing waited for", {}, "node7", "", "", 0, 0, {}, {}};
        c.machine.hostname = "node7";
        c.machine.resolvConf = Fixture("stub-resolv.conf");
        c.machine.upstreams = Fixture("systemd-resolve-resolv.conf");
        c.machine.hosts = Fixture("debian-hosts");
        c.machine.smbConf = Fixture("samba-smb.conf");
        c.machine.leases = {{"dhclient-eth0.leases", Fixture("dhclient-eth0.leases"), 60}};
        c.machine.ipForward = "1\n";
        c.machine.fifos = true;
        c.report =
            "Network Configuration\n"
            "  Hostname: node7\n"
            "  Domain Name: \n"
            "  DHCP Scope ID: \n"
            "  Node Type: [UNKNOWN]\n"
            "  Current DNS Server: [UNKNOWN]\n"
            "  Available DNS Servers\n"
            "    \n";
        cases.push_back(c);
    }
    return cases;
}

TEST(NetworkParamsEndToEnd, ResolverFilesAndHostNameInNamespacesOfItsOwn) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: mount and UTS namespaces, bind mounts, sethostname";
    for (const EndToEndCase& c : EndToEndCases()) {
        SCOPED_TRACE(c.name);
        const Seen seen = RunOnMachine(c.machine);
        if (seen.status == kSkipStatus) GTEST_SKIP() << "no namespaces of the test's own: " << seen.One("setup");
        ASSERT_EQ(seen.status, 0) << seen.log;

        const std::size_t entries = c.servers.empty() ? 1 : c.servers.size();
        const std::size_t needed = sizeof(FIXED_INFO) + (entries - 1) * sizeof(IP_ADDR_STRING);
        EXPECT_EQ(seen.One("null-rc"), std::to_string(ERROR_BUFFER_OVERFLOW)) << seen.log;
        EXPECT_EQ(seen.One("needed"), std::to_string(needed));
        ASSERT_EQ(seen.One("rc"), "0") << seen.log;
        EXPECT_EQ(seen.One("host"), c.host);
        EXPECT_EQ(seen.One("domain"), c.domain);
        EXPECT_EQ(seen.One("scope"), c.scope);
        EXPECT_EQ(seen.One("node"), std::to_string(c.nodeType));
        EXPECT_EQ(seen.One("routing"), std::to_string(c.routing));

        // The chain: the record's own entry first, the others after the
        // record in the same buffer, each once, and an end.
        EXPECT_EQ(seen.All("server"), c.servers.empty() ? std::vector<std::string>{""} : c.servers);
        const std::vector<std::string> at = seen.All("server-at");
        ASSERT_FALSE(at.empty());
        EXPECT_EQ(at.front(), std::to_string(offsetof(FIXED_INFO, DnsServerList)));
        std::vector<std::string> distinct(at.begin(), at.end());
        std::sort(distinct.begin(), distinct.end());
        EXPECT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end()) << seen.log;
        for (std::size_t i = 1; i < at.size(); ++i) {
            ASSERT_NE(at[i], "outside") << seen.log;
            EXPECT_GE(std::stoul(at[i]), sizeof(FIXED_INFO)) << seen.log;
        }
        EXPECT_EQ(seen.One("chain"), "<missing>") << "the chain does not end";
        EXPECT_EQ(seen.One("current"),
                  c.servers.empty() ? "null" : std::to_string(offsetof(FIXED_INFO, DnsServerList)));

        EXPECT_EQ(seen.One("program-status"), "0") << seen.log;
        EXPECT_EQ(seen.report, c.report);
    }
}

}  // namespace
