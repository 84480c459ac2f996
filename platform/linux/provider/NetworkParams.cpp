// The provider's network parameters: host name and domain, the DNS servers
// of the resolver configuration, the NetBIOS node type and scope, and
// whether the host forwards IPv4.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "ProcFiles.h"
#include "RecordText.h"
#include "ResolverConfig.h"
#include "iphlpapi.h"

#define PROVIDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kResolvConf = "/etc/resolv.conf";
constexpr const char* kHosts = "/etc/hosts";
constexpr const char* kSmbConf = "/etc/samba/smb.conf";
constexpr const char* kDhclientLeases = "/var/lib/dhcp";

using provider::ReadSmallFile;

// Copies `text` into a fixed field, cut to fit with its terminating zero.
template <std::size_t N>
void CopyCut(char (&field)[N], const std::string& text) {
    provider::CopyField(field, N, text);
}

// The most recent dhclient lease file below `root`, if any.
std::string LatestLeaseFile(const std::string& root) {
    const std::string folder = root + kDhclientLeases;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return {};
    std::string best;
    time_t bestTime = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() < 7 || name.compare(name.size() - 7, 7, ".leases") != 0 || name.rfind("dhclient", 0) != 0)
            continue;
        const std::string path = folder + "/" + name;
        struct stat st {};
        // Only a regular file is read: a FIFO or a directory of that name is
        // no lease file.
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime >= bestTime) {
            bestTime = st.st_mtime;
            best = path;
        }
    }
    ::closedir(dir);
    return best;
}

struct Parameters {
    std::string host, domain, scope;
    unsigned nodeType = 0;
    std::vector<std::string> servers;
    unsigned forwarding = 0;
};

// The host name: another machine's from its copy of the kernel's setting
// (its first line, at most HOST_NAME_MAX bytes), this machine's from the
// system.
std::string HostName(const std::string& root) {
    if (!root.empty()) {
        std::string text = ReadSmallFile(root + "/proc/sys/kernel/hostname");
        text = text.substr(0, text.find('\n'));
        return text.substr(0, HOST_NAME_MAX);
    }
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    return name;
}

Parameters Gather() {
    Parameters p;
    // Another machine's files are read below its root; this machine's
    // where they are.
    const std::string root = provider::MachineRoot();
    const std::string hostname = HostName(root);
    const std::size_t dot = hostname.find('.');
    p.host = hostname.substr(0, dot);

    const provider::ResolverConfig resolver = provider::ParseResolvConf(ReadSmallFile(root + kResolvConf));
    p.servers = root.empty() ? provider::SystemDnsServers(kResolvConf)
                             : provider::SystemDnsServers(root + kResolvConf, root + "/run/systemd/resolve/resolv.conf");

    // The DNS domain: the rest of the fully qualified name, else the
    // resolver's domain, else its first search domain.
    std::string fqdn = dot != std::string::npos ? hostname : "";
    if (fqdn.empty()) fqdn = provider::FullyQualifiedNameFromHostsFile(root + kHosts, hostname);
    if (fqdn.find('.') != std::string::npos) p.domain = fqdn.substr(fqdn.find('.') + 1);
    else if (!resolver.domain.empty()) p.domain = resolver.domain;
    else if (!resolver.search.empty()) p.domain = resolver.search.front();

    const std::string leases = LatestLeaseFile(root);
    const provider::NetbiosLeaseOptions lease =
        leases.empty() ? provider::NetbiosLeaseOptions{} : provider::NetbiosOptionsFromLeases(ReadSmallFile(leases));
    p.nodeType = lease.nodeType;
    p.scope = provider::NetbiosScopeFromSmbConf(ReadSmallFile(root + kSmbConf));
    if (p.scope.empty()) p.scope = lease.scope;

    std::string forward;
    DWORD error = NO_ERROR;
    if (provider::ReadProcFile("sys/net/ipv4/ip_forward", forward, error, 64)) p.forwarding = forward.rfind('1', 0) == 0;
    return p;
}

}  // namespace

PROVIDER_EXPORT DWORD GetNetworkParams(PFIXED_INFO pFixedInfo, PULONG pOutBufLen) {
    if (pOutBufLen == nullptr) return ERROR_INVALID_PARAMETER;
    const Parameters p = Gather();
    // The first server lives in the record; each further one follows it.
    const std::size_t extra = p.servers.size() > 1 ? p.servers.size() - 1 : 0;
    const std::size_t needed = sizeof(FIXED_INFO) + extra * sizeof(IP_ADDR_STRING);
    if (needed > ULONG_MAX) return ERROR_NOT_ENOUGH_MEMORY;
    if (pFixedInfo == nullptr || *pOutBufLen < needed) {
        *pOutBufLen = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(pFixedInfo, 0, needed);
    CopyCut(pFixedInfo->HostName, p.host);
    CopyCut(pFixedInfo->DomainName, p.domain);
    CopyCut(pFixedInfo->ScopeId, p.scope);
    pFixedInfo->NodeType = p.nodeType;
    pFixedInfo->EnableRouting = p.forwarding;
    auto* more = reinterpret_cast<IP_ADDR_STRING*>(pFixedInfo + 1);
    IP_ADDR_STRING* entry = &pFixedInfo->DnsServerList;
    for (std::size_t i = 0; i < p.servers.size(); ++i) {
        CopyCut(entry->IpAddress.String, p.servers[i]);
        if (i + 1 < p.servers.size()) {
            entry->Next = &more[i];
            entry = entry->Next;
        }
    }
    pFixedInfo->CurrentDnsServer = p.servers.empty() ? nullptr : &pFixedInfo->DnsServerList;
    return NO_ERROR;
}
