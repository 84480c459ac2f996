// The provider's interface table, adapter list and per-adapter DNS servers,
// read from rtnetlink (or the kernel's files, see NetFiles.h), the link's
// device, the DHCP clients' leases and the resolver's per-link state; below
// a machine root, from that machine's copied files alone.

// clang-format off
// <net/if.h> comes before the kernel headers, which then leave its names alone.
#include <net/if.h>
// clang-format on
#include <linux/if_arp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "InetAddresses.h"
#include "Leases.h"
#include "Links.h"
#include "NetFiles.h"
#include "ProcFiles.h"
#include "RecordText.h"
#include "ResolverConfig.h"
#include "iphlpapi.h"

#define PROVIDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using provider::LinkRecord;
using provider::NetworkState;

// Rows, adapters and address entries reported beyond what is there now, for
// links and addresses added before the caller's second call.
constexpr std::size_t kHeadroomRows = 4;
constexpr std::size_t kHeadroomAddresses = 8;

ULONG ClampSize(std::size_t size) { return size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size); }

bool IsLoopback(const LinkRecord& link) { return link.hardwareType == ARPHRD_LOOPBACK; }

const provider::RootQueue* QueueOf(const NetworkState& state, unsigned index) {
    for (const provider::RootQueue& queue : state.queues)
        if (queue.index == index) return &queue;
    return nullptr;
}

provider::DeviceFacts FactsOf(const NetworkState& state, const LinkRecord& link, const std::string& pciIds) {
    // The running kernel answers for its own links only; another machine's
    // devices are known from its copied /sys.
    const provider::DeviceDetails device = provider::LinksAreLocal()
                                               ? provider::QueryDevice(link.name, provider::SysRoot(), pciIds)
                                               : provider::DeviceFromFiles(link.name, provider::SysRoot(), pciIds);
    provider::DeviceFacts facts;
    facts.wireless = device.wireless;
    facts.speed = device.speed;
    facts.speedBits = device.speedBits;
    facts.description = provider::InterfaceDescription(link.name, device.model);
    if (const provider::RootQueue* queue = QueueOf(state, link.index)) facts.queueLength = queue->length;
    return facts;
}

// Whether state kept under /run by the system's network managers, keyed by
// interface index, describes the links we see: it does when we run in the
// network namespace of process 1, or when we cannot tell (as for a machine
// root, whose /run is read below that root).
bool InInitialNetworkNamespace() {
    const std::string root = provider::ProcRoot();
    struct stat ours {
    }, init{};
    if (::stat((root + "/self/ns/net").c_str(), &ours) != 0 || ::stat((root + "/1/ns/net").c_str(), &init) != 0)
        return true;
    return ours.st_ino == init.st_ino && ours.st_dev == init.st_dev;
}

// Whether the namespace has a link of this index: the running kernel's, or
// another machine's as its files list them.
bool LinkExists(unsigned index) {
    if (provider::LinksAreLocal()) {
        char name[IF_NAMESIZE] = {};
        return ::if_indextoname(index, name) != nullptr;
    }
    NetworkState state;
    if (!provider::ReadNetworkState(state, provider::kLinks)) return false;
    return std::any_of(state.links.begin(), state.links.end(),
                       [index](const LinkRecord& link) { return link.index == index; });
}

// Writes a list of texts into a chain of IP_ADDR_STRING entries: the first
// into `head`, each further one into the next free entry of `spare`.
struct AddressText {
    std::string address, mask;
};
void WriteChain(IP_ADDR_STRING& head, const std::vector<AddressText>& texts, IP_ADDR_STRING*& spare) {
    IP_ADDR_STRING* entry = &head;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        provider::CopyField(entry->IpAddress.String, sizeof entry->IpAddress.String, texts[i].address);
        provider::CopyField(entry->IpMask.String, sizeof entry->IpMask.String, texts[i].mask);
        if (i + 1 < texts.size()) {
            entry->Next = spare++;
            entry = entry->Next;
        }
    }
}

struct AdapterPlan {
    const LinkRecord* link;
    std::vector<AddressText> addresses;  // never empty
    std::vector<AddressText> gateways;   // never empty
};

std::vector<AdapterPlan> PlanAdapters(const NetworkState& state) {
    std::vector<AdapterPlan> plans;
    for (const LinkRecord& link : state.links) {
        if (IsLoopback(link)) continue;
        AdapterPlan plan{&link, {}, {}};
        for (const provider::Ipv4Address& a : state.addresses)
            if (a.index == link.index)
                plan.addresses.push_back({provider::DottedQuad(a.address), provider::MaskOfPrefix(a.prefixLength)});
        for (const provider::DefaultGateway& g : state.gateways)
            if (g.index == link.index) plan.gateways.push_back({provider::DottedQuad(g.gateway), "255.255.255.255"});
        // An adapter without an IPv4 address lists the unspecified one.
        if (plan.addresses.empty()) plan.addresses.push_back({"0.0.0.0", "0.0.0.0"});
        if (plan.gateways.empty()) plan.gateways.push_back({"0.0.0.0", "0.0.0.0"});
        plans.push_back(std::move(plan));
    }
    return plans;
}

std::size_t ExtraEntries(const std::vector<AdapterPlan>& plans) {
    std::size_t extra = 0;
    for (const AdapterPlan& plan : plans) extra += plan.addresses.size() - 1 + plan.gateways.size() - 1;
    return extra;
}

}  // namespace

PROVIDER_EXPORT DWORD GetIfTable(PMIB_IFTABLE pIfTable, PULONG pdwSize, BOOL /*bOrder: always sorted by index*/) {
    if (pdwSize == nullptr) return ERROR_INVALID_PARAMETER;
    NetworkState state;
    if (!provider::ReadNetworkState(state, provider::kLinks | provider::kQueues)) return ERROR_NOT_SUPPORTED;
    const std::size_t rows = state.links.size();
    const std::size_t header = offsetof(MIB_IFTABLE, table);
    const std::size_t needed = header + std::max<std::size_t>(rows, 1) * sizeof(MIB_IFROW);
    if (pIfTable == nullptr || *pdwSize < needed) {
        *pdwSize = ClampSize(header + (rows + kHeadroomRows) * sizeof(MIB_IFROW));
        return ERROR_INSUFFICIENT_BUFFER;
    }
    const std::string pciIds = provider::DefaultPciIdsPath();
    auto* out = reinterpret_cast<unsigned char*>(pIfTable);
    std::memset(out, 0, needed);
    const DWORD count = static_cast<DWORD>(rows);
    std::memcpy(out, &count, sizeof count);
    for (std::size_t i = 0; i < rows; ++i) {
        MIB_IFROW row;
        provider::FillInterfaceRow(state.links[i], FactsOf(state, state.links[i], pciIds), row);
        std::memcpy(out + header + i * sizeof(MIB_IFROW), &row, sizeof row);
    }
    return NO_ERROR;
}

PROVIDER_EXPORT DWORD GetAdaptersInfo(PIP_ADAPTER_INFO pAdapterInfo, PULONG pOutBufLen) {
    if (pOutBufLen == nullptr) return ERROR_INVALID_PARAMETER;
    NetworkState state;
    if (!provider::ReadNetworkState(state, provider::kLinks | provider::kAddresses | provider::kGateways))
        return ERROR_NOT_SUPPORTED;
    const std::vector<AdapterPlan> plans = PlanAdapters(state);
    if (plans.empty()) return ERROR_NO_DATA;
    const std::size_t extra = ExtraEntries(plans);
    const std::size_t needed = plans.size() * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
    if (pAdapterInfo == nullptr || *pOutBufLen < needed) {
        *pOutBufLen = ClampSize((plans.size() + kHeadroomRows) * sizeof(IP_ADAPTER_INFO) +
                                (extra + kHeadroomAddresses) * sizeof(IP_ADDR_STRING));
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(pAdapterInfo, 0, needed);
    const std::string pciIds = provider::DefaultPciIdsPath();
    IP_ADAPTER_INFO* adapters = pAdapterInfo;
    IP_ADDR_STRING* spare = reinterpret_cast<IP_ADDR_STRING*>(adapters + plans.size());
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const LinkRecord& link = *plans[i].link;
        IP_ADAPTER_INFO& a = adapters[i];
        a.Next = i + 1 < plans.size() ? &adapters[i + 1] : nullptr;
        a.ComboIndex = link.index;
        a.Index = link.index;
        provider::CopyField(a.AdapterName, sizeof a.AdapterName, link.name);
        const provider::DeviceFacts facts = FactsOf(state, link, pciIds);
        provider::CopyField(a.Description, sizeof a.Description, facts.description);
        a.Type = provider::InterfaceTypeOf(link.hardwareType, facts.wireless);
        a.AddressLength = static_cast<UINT>(provider::CopyHardwareAddress(link, a.Address, MAX_ADAPTER_ADDRESS_LENGTH));
        WriteChain(a.IpAddressList, plans[i].addresses, spare);
        WriteChain(a.GatewayList, plans[i].gateways, spare);

        std::vector<std::string> held;
        for (const AddressText& text : plans[i].addresses) held.push_back(text.address);
        if (const auto lease = provider::FindLease(provider::MachineRoot(), link.index, link.name, held)) {
            a.DhcpEnabled = 1;
            provider::CopyField(a.DhcpServer.IpAddress.String, sizeof a.DhcpServer.IpAddress.String, lease->server);
            provider::CopyField(a.DhcpServer.IpMask.String, sizeof a.DhcpServer.IpMask.String, "255.255.255.255");
            a.LeaseObtained = lease->obtained;
            a.LeaseExpires = lease->expires;
        }
    }
    return NO_ERROR;
}

PROVIDER_EXPORT DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen) {
    if (pOutBufLen == nullptr) return ERROR_INVALID_PARAMETER;
    if (IfIndex == 0 || !LinkExists(IfIndex)) return ERROR_INVALID_PARAMETER;
    // Below a machine root, that machine's resolver state and configuration.
    const std::string root = provider::MachineRoot();
    std::vector<std::string> servers;
    if (InInitialNetworkNamespace()) servers = provider::FindLinkDnsServers(root, IfIndex);
    if (servers.empty())
        servers = root.empty() ? provider::SystemDnsServers()
                               : provider::SystemDnsServers(root + "/etc/resolv.conf",
                                                            root + "/run/systemd/resolve/resolv.conf");
    const std::size_t extra = servers.size() > 1 ? servers.size() - 1 : 0;
    const std::size_t needed = sizeof(IP_PER_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
    if (pPerAdapterInfo == nullptr || *pOutBufLen < needed) {
        *pOutBufLen = ClampSize(needed + kHeadroomAddresses * sizeof(IP_ADDR_STRING));
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(pPerAdapterInfo, 0, needed);
    std::vector<AddressText> texts;
    for (const std::string& server : servers) texts.push_back({server, ""});
    IP_ADDR_STRING* spare = reinterpret_cast<IP_ADDR_STRING*>(pPerAdapterInfo + 1);
    WriteChain(pPerAdapterInfo->DnsServerList, texts, spare);
    pPerAdapterInfo->CurrentDnsServer = servers.empty() ? nullptr : &pPerAdapterInfo->DnsServerList;
    return NO_ERROR;
}

namespace {

// One row of the 64-bit interface table from a link and its device.
void FillInterfaceRow2(const LinkRecord& link, const provider::DeviceFacts& facts, MIB_IF_ROW2& row) {
    std::memset(&row, 0, sizeof row);
    row.InterfaceLuid = provider::LuidOfIndex(link.index);
    row.InterfaceIndex = link.index;
    provider::CopyWideField(row.Alias, IF_MAX_STRING_SIZE + 1, link.name);
    provider::CopyWideField(row.Description, IF_MAX_STRING_SIZE + 1, facts.description);
    row.PhysicalAddressLength =
        static_cast<ULONG>(provider::CopyHardwareAddress(link, row.PhysicalAddress, IF_MAX_PHYS_ADDRESS_LENGTH));
    std::memcpy(row.PermanentPhysicalAddress, row.PhysicalAddress, sizeof row.PhysicalAddress);
    row.Mtu = link.mtu;
    row.Type = provider::InterfaceTypeOf(link.hardwareType, facts.wireless);
    const bool up = (link.flags & IFF_UP) != 0;
    const bool running = (link.flags & IFF_RUNNING) != 0;
    // Up and running is up; administratively up without carrier is a lower
    // layer down; administratively down is down.
    row.OperStatus = up && running ? IfOperStatusUp : up ? IfOperStatusLowerLayerDown : IfOperStatusDown;
    row.AdminStatus = up ? NET_IF_ADMIN_STATUS_UP : NET_IF_ADMIN_STATUS_DOWN;
    row.MediaConnectState = running ? MediaConnectStateConnected : MediaConnectStateDisconnected;
    if (!running) row.InterfaceAndOperStatusFlags |= kIfFlagNotMediaConnected;
    row.TransmitLinkSpeed = row.ReceiveLinkSpeed = facts.speedBits;
    const rtnl_link_stats64& s = link.stats;
    row.InOctets = s.rx_bytes;
    row.InUcastPkts = s.rx_packets >= s.multicast ? s.rx_packets - s.multicast : 0;
    row.InNUcastPkts = s.multicast;
    row.InDiscards = s.rx_dropped;
    row.InErrors = s.rx_errors;
    row.InUnknownProtos = s.rx_nohandler;
    row.OutOctets = s.tx_bytes;
    // The kernel counts no multicast it sends: every packet out is unicast.
    row.OutUcastPkts = s.tx_packets;
    row.OutDiscards = s.tx_dropped;
    row.OutErrors = s.tx_errors;
    row.OutQLen = facts.queueLength;
}

}  // namespace

// Every interface of the network namespace, sorted by index, with the
// kernel's 64-bit counters, in a table FreeMibTable frees.  *Table is null
// on failure: ERROR_NOT_SUPPORTED when the links cannot be read,
// ERROR_NOT_ENOUGH_MEMORY.
PROVIDER_EXPORT DWORD GetIfTable2(PMIB_IF_TABLE2* Table) {
    if (Table == nullptr) return ERROR_INVALID_PARAMETER;
    *Table = nullptr;
    NetworkState state;
    if (!provider::ReadNetworkState(state, provider::kLinks | provider::kQueues)) return ERROR_NOT_SUPPORTED;
    const std::size_t header = offsetof(MIB_IF_TABLE2, Table);
    const std::size_t rows = state.links.size();
    if (rows > 0xffffffffu || rows > (SIZE_MAX - header) / sizeof(MIB_IF_ROW2) - 1) return ERROR_NOT_ENOUGH_MEMORY;
    auto* bytes = static_cast<unsigned char*>(std::calloc(1, header + std::max<std::size_t>(rows, 1) * sizeof(MIB_IF_ROW2)));
    if (bytes == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    const ULONG count = static_cast<ULONG>(rows);
    std::memcpy(bytes, &count, sizeof count);
    const std::string pciIds = provider::DefaultPciIdsPath();
    for (std::size_t i = 0; i < rows; ++i) {
        MIB_IF_ROW2 row;
        FillInterfaceRow2(state.links[i], FactsOf(state, state.links[i], pciIds), row);
        std::memcpy(bytes + header + i * sizeof row, &row, sizeof row);
    }
    *Table = reinterpret_cast<PMIB_IF_TABLE2>(bytes);
    return NO_ERROR;
}
