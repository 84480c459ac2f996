// Texts of the interface and adapter reports that are worth checking on
// their own: hardware addresses and lease times.
#pragma once

#include <cstdint>
#include <string>

#include "iphlpapi.h"

// The interface report's hardware address: the first six bytes for an
// Ethernet interface, "00:00:00:00:00:00" for every other type.
std::u16string InterfaceMacText(const MIB_IFROW& row);

// The adapter report's hardware address: all eight bytes, the one at
// AddressLength read as zero; "xx:xx:xx:xx:xx:xx:" when AddressLength is 0.
std::u16string AdapterAddressText(const IP_ADAPTER_INFO& adapter);

// A lease time (seconds since 1970, UTC) as local time in the 24-character
// layout "Thu Jan 01 00:00:00 1970"; "[invalid data]" below 0 or above
// 32535244799 (the platform's last convertible second, early on 1 January
// 3001 UTC), "[invalid asctime]" when it cannot be laid out.
std::u16string LeaseText(std::int64_t seconds);
