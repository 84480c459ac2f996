// The protocol list report: one item per entry of the machine's transport
// protocol catalog, with its provider, family, flags and limits.
#include <cstdio>
#include <string>

#include "NetworkReport.h"
#include "ProtocolCatalog.h"
#include "WideText.h"

namespace {

constexpr const char* kUnknown = "[UNKNOWN]";

constexpr const char* kFamilyNames[] = {"AF_UNIX",      "AF_INET",       "AF_IMPLINK",   "AF_PUP",     "AF_CHAOS",
                                        "AF_NS/AF_IPX", "AF_ISO/AF_OSI", "AF_ECMA",      "AF_DATAKIT", "AF_CCITT",
                                        "AF_SNA",       "AF_DECnet",     "AF_DLI",       "AF_LAT",     "AF_HYLINK",
                                        "AF_APPLETALK", "AF_NETBIOS",    "AF_VOICEVIEW", "AF_FIREFOX", "AF_UNKNOWN1",
                                        "AF_BAN",       "AF_ATM",        "AF_INET6",     "AF_CLUSTER", "AF_12844"};

// Names of the service flag bits, lowest first; null where a bit has none.
constexpr const char* kServiceFlagNames[32] = {"CONNECTIONLESS",
                                               "GUARANTEED_DELIVERY",
                                               "GUARANTEED_ORDER",
                                               "MESSAGE_ORIENTED",
                                               "PSEUDO_STREAM",
                                               "GRACEFUL_CLOSE",
                                               "EXPEDITED_DATA",
                                               "CONNECT_DATA",
                                               "DISCONNECT_DATA",
                                               "SUPPORT_BROADCAST",
                                               "SUPPORT_MULTIPOINT",
                                               "MULTIPOINT_CONTROL_PLANE",
                                               "MULTIPOINT_DATA_PLANE",
                                               "QOS_SUPPORTED",
                                               nullptr,
                                               "UNI_SEND",
                                               "UNI_RECV",
                                               "IFS_HANDLES",
                                               "PARTIAL_MESSAGE"};

constexpr const char* kProviderFlagNames[32] = {"MULTIPLE_PROTO_ENTRIES", "RECOMMENDED_PROTO_ENTRY", "HIDDEN",
                                                "MATCHES_PROTOCOL_ZERO"};

std::u16string Narrow(const char* text) { return AnsiToWide(text); }

// The provider GUID in its standard text form, lower-case, in braces.
std::u16string GuidText(const GUID& g) {
    char text[128] = {};
    const unsigned clockSeq = static_cast<unsigned>(g.Data4[0] << 8 | g.Data4[1]);
    const unsigned nodeHigh = static_cast<unsigned>(g.Data4[2] << 8 | g.Data4[3]);
    const unsigned long nodeLow = static_cast<unsigned long>(g.Data4[4]) << 24 |
                                  static_cast<unsigned long>(g.Data4[5]) << 16 |
                                  static_cast<unsigned long>(g.Data4[6]) << 8 | g.Data4[7];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%04x-%04x%08lx}", static_cast<unsigned>(g.Data1),
                  static_cast<unsigned>(g.Data2), static_cast<unsigned>(g.Data3), clockSeq, nodeHigh, nodeLow);
    return Narrow(text);
}

// One line per set bit of `flags`, lowest first, under `parent`.
template <class Append>
void FlagLines(DWORD flags, const char* const (&names)[32], Append append) {
    for (unsigned bit = 0; bit < 32; ++bit)
        if ((flags >> bit) & 1u) append(Narrow(names[bit] != nullptr ? names[bit] : kUnknown));
}

}  // namespace

const char* GetAddressFamilyName(int nIndex) {
    const CProtocolCatalog* catalog = g_pProtocolCatalog;
    if (catalog == nullptr || nIndex < 0 || nIndex >= catalog->m_nProtocols || catalog->m_pProtocols == nullptr)
        return kUnknown;
    const int family = catalog->m_pProtocols[nIndex].iAddressFamily;
    return family >= 1 && family <= 25 ? kFamilyNames[family - 1] : kUnknown;
}

void CNetworkReport::BuildProtocolList() {
    DeleteAllItems();
    HTREEITEM root = AppendItem(TVI_ROOT, u"Protocol List", kImageRoot);
    SetItemBold(root);
    CProtocolCatalog* catalog = g_pProtocolCatalog;
    if (catalog != nullptr) {
        catalog->Enumerate();
        if (catalog->m_bValid && catalog->m_pProtocols != nullptr) {
            for (int i = 0; i < catalog->m_nProtocols; ++i) {
                const WSAPROTOCOL_INFOW& e = catalog->m_pProtocols[i];
                // The name ends at its first zero, never past its field.
                std::u16string_view name(e.szProtocol, WSAPROTOCOL_LEN + 1);
                name = name.substr(0, name.find(u'\0'));
                HTREEITEM item = AppendItem(root, name, kImageGroup);
                AppendItem(item, FormatW(u"ProviderGUID: %s", {GuidText(e.ProviderId)}), kImageValue);
                AppendItem(item, FormatW(u"Family: %s", {Narrow(GetAddressFamilyName(i))}), kImageValue);
                HTREEITEM service =
                    AppendItem(item, FormatW(u"ServiceFlags1: 0x%08x", {e.dwServiceFlags1}), kImageGroup);
                FlagLines(e.dwServiceFlags1, kServiceFlagNames,
                          [&](const std::u16string& text) { AppendItem(service, text, kImageValue); });
                HTREEITEM provider =
                    AppendItem(item, FormatW(u"ServiceProviderFlags: 0x%08x", {e.dwProviderFlags}), kImageGroup);
                FlagLines(e.dwProviderFlags, kProviderFlagNames,
                          [&](const std::u16string& text) { AppendItem(provider, text, kImageValue); });
                AppendItem(item,
                           Narrow(e.iNetworkByteOrder == 0   ? "BIGENDIAN"
                                  : e.iNetworkByteOrder == 1 ? "LITTLEENDIAN"
                                                             : kUnknown),
                           kImageValue);
                AppendItem(item, FormatW(u"SecurityScheme: %s", {e.iSecurityScheme == 0 ? u"NONE" : u"AVAILABLE"}),
                           kImageValue);
                AppendItem(item, FormatW(u"ProtocolID: %d", {e.iProtocol}), kImageValue);
                AppendItem(item, FormatW(u"SocketType: %d", {e.iSocketType}), kImageValue);
                AppendItem(item, FormatW(u"MaxMessageSize: %d", {e.dwMessageSize}), kImageValue);
            }
        }
    }
    Expand(root);
}
