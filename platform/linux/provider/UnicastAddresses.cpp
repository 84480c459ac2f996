// The provider's unicast address table: the IPv4 and IPv6 addresses of the
// network namespace in a table the library allocates and FreeMibTable frees.
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "InetAddresses.h"
#include "ProcFiles.h"
#include "iphlpapi.h"

#define PROVIDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The system error code of "element not found", which the published call
// returns when the family has no address.
constexpr DWORD kErrorNotFound = 1168;

constexpr USHORT kFamilyUnspec = 0;
constexpr USHORT kFamilyInet = 2;
constexpr USHORT kFamilyInet6 = 23;

// The kernel makes ROOT/net/if_inet6 for every namespace once it has IPv6;
// booted with IPv6 disabled, or built without it, there is none.
bool HaveIpv6() {
    struct stat info {};
    return ::stat((provider::ProcRoot() + "/net/if_inet6").c_str(), &info) == 0;
}

}  // namespace

// Family: 0 both, 2 IPv4, 23 IPv6.  On success *Table holds the rows, IPv4
// first, each family in the kernel's order.  On any failure after the
// arguments are checked *Table is null: ERROR_NOT_SUPPORTED when IPv6 is
// asked for alone and the kernel has none, or when neither netlink nor the
// kernel's files (below a machine root, that machine's) tell the addresses;
// ERROR_NOT_FOUND when there is no address of the family (a table of no
// rows is never returned); ERROR_NOT_ENOUGH_MEMORY.
PROVIDER_EXPORT DWORD GetUnicastIpAddressTable(USHORT Family, PMIB_UNICASTIPADDRESS_TABLE* Table) {
    if (Table == nullptr) return ERROR_INVALID_PARAMETER;
    if (Family != kFamilyUnspec && Family != kFamilyInet && Family != kFamilyInet6) return ERROR_INVALID_PARAMETER;
    *Table = nullptr;

    const bool ipv6 = Family != kFamilyInet && HaveIpv6();
    if (Family == kFamilyInet6 && !ipv6) return ERROR_NOT_SUPPORTED;
    std::vector<provider::InetAddress> addresses;
    if (Family != kFamilyInet6 && !provider::ReadInetAddresses(AF_INET, addresses)) return ERROR_NOT_SUPPORTED;
    if (ipv6 && !provider::ReadInetAddresses(AF_INET6, addresses)) return ERROR_NOT_SUPPORTED;
    if (addresses.empty()) return kErrorNotFound;

    const std::size_t header = offsetof(MIB_UNICASTIPADDRESS_TABLE, Table);
    const std::size_t rows = addresses.size();
    if (rows > 0xffffffffu || rows > (SIZE_MAX - header) / sizeof(MIB_UNICASTIPADDRESS_ROW))
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* bytes = static_cast<unsigned char*>(std::calloc(1, header + rows * sizeof(MIB_UNICASTIPADDRESS_ROW)));
    if (bytes == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    const ULONG count = static_cast<ULONG>(rows);
    std::memcpy(bytes, &count, sizeof count);
    for (std::size_t i = 0; i < rows; ++i) {
        MIB_UNICASTIPADDRESS_ROW row;
        provider::FillUnicastRow(addresses[i], row);
        std::memcpy(bytes + header + i * sizeof row, &row, sizeof row);
    }
    *Table = reinterpret_cast<PMIB_UNICASTIPADDRESS_TABLE>(bytes);
    return NO_ERROR;
}

// Frees a table this library allocated; a null pointer is let be.
PROVIDER_EXPORT void FreeMibTable(PVOID Memory) { std::free(Memory); }
