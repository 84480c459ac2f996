// The interface list and adapter list reports.
#include "InterfaceReports.h"

#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "InetText.h"
#include "InterfaceNames.h"
#include "IpHelper.h"
#include "NetworkReport.h"
#include "WideText.h"

namespace {

// Chains handed to us by the platform are walked no further than this, so a
// list that loops back on itself still ends.
constexpr int kMaxChain = 1024;
constexpr int kMaxAdapters = 4096;

int ChainLength(const IP_ADDR_STRING* head) {
    int count = 0;
    for (const IP_ADDR_STRING* e = head; e != nullptr && count < kMaxChain; e = e->Next) ++count;
    return count;
}

constexpr std::u16string_view kNoMac = u"00:00:00:00:00:00";

}  // namespace

std::u16string InterfaceMacText(const MIB_IFROW& row) {
    if (row.dwType != 6) return std::u16string(kNoMac);
    const BYTE* b = row.bPhysAddr;
    return FormatW(u"%02x:%02x:%02x:%02x:%02x:%02x", {b[0], b[1], b[2], b[3], b[4], b[5]});
}

std::u16string AdapterAddressText(const IP_ADAPTER_INFO& adapter) {
    if (adapter.AddressLength == 0) return u"xx:xx:xx:xx:xx:xx:";
    BYTE b[MAX_ADAPTER_ADDRESS_LENGTH];
    std::memcpy(b, adapter.Address, sizeof b);
    if (adapter.AddressLength < MAX_ADAPTER_ADDRESS_LENGTH) b[adapter.AddressLength] = 0;
    return FormatW(u"%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x", {b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]});
}

std::u16string LeaseText(std::int64_t seconds) {
    if (seconds < 0 || seconds > 32535244799LL) return u"[invalid data]";
    static constexpr const char16_t* kDays[] = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
    static constexpr const char16_t* kMonths[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                                  u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
        local.tm_mon > 11 || local.tm_year < -1900 || local.tm_year > 9999 - 1900)
        return u"[invalid asctime]";
    return FormatW(u"%s %s %02d %02d:%02d:%02d %04d",
                   {kDays[local.tm_wday], kMonths[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min,
                    local.tm_sec, local.tm_year + 1900});
}

void CNetworkReport::BuildInterfaceList() {
    DeleteAllItems();
    HTREEITEM root = AppendItem(TVI_ROOT, u"Interface List", kImageRoot);
    SetItemBold(root);
    g_pInterfaceTable->Refresh();
    const MIB_IFTABLE* table = CurrentInterfaceTable();
    if (g_pInterfaceTable->m_bValid && table != nullptr) {
        int rows = static_cast<int>(table->dwNumEntries);
        // Never past the buffer the table was written into.
        const ULONG bytes = CurrentInterfaceTableBytes();
        const ULONG fits = bytes > offsetof(MIB_IFTABLE, table)
                               ? static_cast<ULONG>((bytes - offsetof(MIB_IFTABLE, table)) / sizeof(MIB_IFROW))
                               : 0;
        if (rows > 0 && static_cast<ULONG>(rows) > fits) rows = static_cast<int>(fits);
        for (int i = 0; i < rows; ++i) {
            const MIB_IFROW& row = table->table[i];
            HTREEITEM item =
                AppendItem(root, FieldText(reinterpret_cast<const char*>(row.bDescr), MAXLEN_IFDESCR), kImageGroup);
            const std::u16string status = GetOperStatusName(row.dwOperStatus);
            const std::u16string mac = InterfaceMacText(row);
            AppendItem(item, FormatW(u"Type: %s", {GetInterfaceTypeName(row.dwType)}), kImageValue);
            AppendItem(item, FormatW(u"OperationalStatus: %s", {status}), kImageValue);
            AppendItem(item, FormatW(u"MACAddr: %s", {mac}), kImageValue);
            AppendItem(item, FormatW(u"MTUSize: %d", {row.dwMtu}), kImageValue);
            AppendItem(item, FormatW(u"Speed: %d", {row.dwSpeed}), kImageValue);
            HTREEITEM stats = AppendItem(item, u"Statistics", kImageGroup);
            const DWORD* counters = &row.dwAdminStatus;
            for (DWORD k = 0; k < 15; ++k)
                AppendItem(stats, FormatW(u"%-15s: %10d", {GetInterfaceCounterName(k), counters[k]}), kImageValue);
            if (status == u"OPERATIONAL" && mac != kNoMac) {
                Expand(item);
                Expand(stats);
            }
        }
    }
    Expand(root);
}

namespace {
// The catalog's number of the IPv6 family, as address records carry it.
constexpr USHORT kCatalogAfInet6 = 23;
}  // namespace

void CNetworkReport::BuildAdapterList() {
    DeleteAllItems();
    HTREEITEM root = AppendItem(TVI_ROOT, u"Adapter List", kImageRoot);
    SetItemBold(root);
    g_pAdapterList->Refresh();
    g_pUnicastAddressTable->Refresh();
    int count = 0;
    for (const IP_ADAPTER_INFO* a = CurrentAdapterList(); a != nullptr && count < kMaxAdapters; a = a->Next) ++count;

    for (int n = 0; n < count; ++n) {
        bool expand = true;
        // Every line looks its adapter up again by position.
        const IP_ADAPTER_INFO* a = GetAdapter(n);
        HTREEITEM item =
            AppendItem(root, a != nullptr ? FieldText(a->Description) : u"[adapter::UNKNOWN]", kImageGroup);
        a = GetAdapter(n);
        AppendItem(item, FormatW(u"Type: %s", {a != nullptr ? GetInterfaceTypeName(a->Type) : u"[TypeString::error]"}),
                   kImageValue);
        a = GetAdapter(n);
        AppendItem(item,
                   FormatW(u"HW Addr: %s",
                           {a != nullptr ? AdapterAddressText(*a) : std::u16string(u"[HWAddressString::error]")}),
                   kImageValue);
        a = GetAdapter(n);
        AppendItem(
            item,
            FormatW(u"OS Name: %s", {a != nullptr ? FieldText(a->AdapterName) : std::u16string(u"[Name::error]")}),
            kImageValue);

        a = GetAdapter(n);
        const int addresses = a != nullptr ? ChainLength(&a->IpAddressList) : 0;
        if (addresses == 0) {
            AppendItem(item, u"IP Addresses <NA>", kImageGroup);
        } else {
            HTREEITEM group = AppendItem(item, u"IP Addresses", kImageGroup);
            for (int k = 0; k < addresses; ++k) {
                const IP_ADDR_STRING* entry = GetAdapterAddress(n, k);
                const std::u16string address =
                    entry != nullptr ? FieldText(entry->IpAddress.String) : u"[IPAddressString::error]";
                if (address == u"0.0.0.0") expand = false;
                const std::u16string mask =
                    entry != nullptr ? FieldText(entry->IpMask.String) : u"[IPMaskString::error]";
                AppendItem(group, FormatW(u"%s - Mask: %s", {address, mask}), kImageValue);
            }
            if (expand) Expand(group);
        }

        a = GetAdapter(n);
        if (a != nullptr && a->DhcpEnabled != 0) {
            HTREEITEM dhcp =
                AppendItem(item, FormatW(u"DHCP Server: %s", {FieldText(a->DhcpServer.IpAddress.String)}), kImageGroup);
            a = GetAdapter(n);
            AppendItem(dhcp,
                       FormatW(u"Lease Obtained: %s", {a != nullptr ? LeaseText(a->LeaseObtained)
                                                                    : std::u16string(u"[DHCPLeaseObtained::error]")}),
                       kImageValue);
            a = GetAdapter(n);
            AppendItem(dhcp,
                       FormatW(u"Lease Expires: %s",
                               {a != nullptr ? LeaseText(a->LeaseExpires) : std::u16string(u"[adapter_info::error]")}),
                       kImageValue);
        }

        a = GetAdapter(n);
        if (const IP_PER_ADAPTER_INFO* info = TakePerAdapterSnapshot(a != nullptr ? a->Index : 0)) {
            const int servers = ChainLength(&info->DnsServerList);
            if (servers > 0) {
                HTREEITEM group = AppendItem(item, u"DNS Servers", kImageGroup);
                const IP_ADDR_STRING* entry = &info->DnsServerList;
                for (int k = 0; k < servers; ++k) {
                    std::u16string text = entry != nullptr ? FieldText(entry->IpAddress.String) : u"";
                    AppendItem(group, text.empty() ? std::u16string(u"[UNKNOWN]") : text, kImageValue);
                    if (entry != nullptr) entry = entry->Next;
                }
            }
        }
        a = GetAdapter(n);
        if (a != nullptr) AppendIpv6Addresses(item, a->Index);
        if (expand) Expand(item);
    }
    Expand(root);
}

void CNetworkReport::AppendIpv6Addresses(HTREEITEM adapter, DWORD index) {
    // Only an adapter with IPv6 addresses gets the group: without IPv6 the
    // report is as it always was.
    HTREEITEM group = nullptr;
    for (const MIB_UNICASTIPADDRESS_ROW& row : CurrentUnicastAddresses()) {
        if (row.Address.si_family != kCatalogAfInet6 || row.InterfaceIndex != index) continue;
        if (group == nullptr) group = AppendItem(adapter, u"IPv6 Addresses", kImageGroup);
        const std::uint8_t* bytes = row.Address.Ipv6.sin6_addr;
        std::string text = Ipv6Text(bytes) + "/" + std::to_string(row.OnLinkPrefixLength) + " - " + Ipv6ScopeName(bytes);
        if (row.SuffixOrigin == IpSuffixOriginRandom) text += ", temporary";
        switch (row.DadState) {
            case IpDadStateTentative: text += ", tentative"; break;
            case IpDadStateDuplicate: text += ", duplicate"; break;
            case IpDadStateDeprecated: text += ", deprecated"; break;
            default: break;
        }
        AppendItem(group, AnsiToWide(text), kImageValue);
    }
    if (group != nullptr) Expand(group);
}
