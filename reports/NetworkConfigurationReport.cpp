// The network configuration report: host name, domain, DHCP scope, NetBIOS
// node type and the DNS servers, from the network parameters record.
#include <cstring>
#include <string_view>

#include "IpHelper.h"
#include "NetworkReport.h"
#include "WideText.h"

namespace {

const char* NodeTypeName(UINT nodeType) {
    switch (nodeType) {
        case 1: return "BROADCAST_NODETYPE";
        case 2: return "PEER_TO_PEER_NODETYPE";
        case 4: return "MIXED_NODETYPE";
        case 8: return "HYBRID_NODETYPE";
        default: return "[UNKNOWN]";
    }
}

// A list that loops back on itself would never end: no more entries than
// this are counted.
constexpr int kMaxServers = 1024;

}  // namespace

void CNetworkReport::BuildNetworkConfiguration() {
    DeleteAllItems();
    HTREEITEM root = AppendItem(TVI_ROOT, u"Network Configuration", kImageRoot);
    SetItemBold(root);
    g_pNetworkParams->Refresh();
    const FIXED_INFO* info = CurrentNetworkParams();
    if (g_pNetworkParams->m_bValid && info != nullptr) {
        AppendItem(root, u"Hostname: " + FieldText(info->HostName), kImageValue);
        AppendItem(root, u"Domain Name: " + FieldText(info->DomainName), kImageValue);
        AppendItem(root, u"DHCP Scope ID: " + FieldText(info->ScopeId), kImageValue);
        AppendItem(root, u"Node Type: " + AnsiToWide(NodeTypeName(info->NodeType)), kImageValue);
        AppendItem(root,
                   u"Current DNS Server: " +
                       (info->CurrentDnsServer != nullptr ? FieldText(info->CurrentDnsServer->IpAddress.String)
                                                          : std::u16string(u"[UNKNOWN]")),
                   kImageValue);

        int count = 0;
        for (const IP_ADDR_STRING* e = &info->DnsServerList; e != nullptr && count < kMaxServers; e = e->Next) ++count;
        if (count > 0) {
            HTREEITEM group = AppendItem(root, u"Available DNS Servers", kImageGroup);
            const IP_ADDR_STRING* entry = &info->DnsServerList;
            for (int i = 0; i < count; ++i) {
                AppendItem(group, entry != nullptr ? FieldText(entry->IpAddress.String) : std::u16string(u"[UNKNOWN]"),
                           kImageValue);
                if (entry != nullptr) entry = entry->Next;
            }
            Expand(group);
        }
    }
    Expand(root);
}
