#include "InterfaceNames.h"

#include <iterator>

namespace {
constexpr const WCHAR* kUnknown = u"[UNKNOWN]";

constexpr const WCHAR* kOperStatusNames[] = {u"NON_OPERATIONAL", u"UNREACHABLE", u"DISCONNECTED",
                                             u"CONNECTING",      u"CONNECTED",   u"OPERATIONAL"};

constexpr const WCHAR* kCounterNames[] = {u"AdminStatus",     u"OperStatus",   u"LastChange",   u"InOctets",
                                          u"InUcastPkts",     u"InNUcastPkts", u"InDiscards",   u"InErrors",
                                          u"InUnknownProtos", u"OutOctets",    u"OutUcastPkts", u"OutNUcastPkts",
                                          u"OutDiscards",     u"OutErrors",    u"OutQLen"};
}  // namespace

const WCHAR* GetInterfaceTypeName(DWORD type) {
    switch (type) {
        case 6: return u"ETHERNET";
        case 9: return u"TOKENRING";
        case 15: return u"FDDI";
        case 23: return u"PPP";
        case 24: return u"LOOPBACK";
        case 28: return u"SLIP";
        default: return kUnknown;
    }
}

const WCHAR* GetOperStatusName(DWORD status) {
    return status < std::size(kOperStatusNames) ? kOperStatusNames[status] : kUnknown;
}

const WCHAR* GetInterfaceCounterName(DWORD index) {
    return index < std::size(kCounterNames) ? kCounterNames[index] : kUnknown;
}
