// Address texts of the IPv6 reports.
#pragma once

#include <cstdint>
#include <string>

// The text of an IPv6 address given as 16 bytes in network order, as RFC
// 5952 recommends: hexadecimal digits in lower case without leading zeros,
// the longest run of two or more zero groups (the first of equal runs)
// written "::", a single zero group written "0", and an IPv4-mapped address
// (::ffff:0:0/96) ending in the IPv4 address in dotted decimal.
std::string Ipv6Text(const std::uint8_t* bytes);

// An endpoint of a socket: "[ADDRESS]:PORT", with "%ZONE" after a
// link-local address (fe80::/10, or a multicast address of link scope) whose
// scope id is not 0.  `zone` is the name of the interface of that scope id,
// or empty, and then the scope id itself is written.
std::string Ipv6Endpoint(const std::uint8_t* bytes, std::uint32_t scopeId, unsigned port, const std::string& zone);

// Whether the address needs a zone to be reached: link-local unicast
// (fe80::/10) or multicast of interface- or link-local scope.
bool Ipv6NeedsZone(const std::uint8_t* bytes);

// The scope of an address as the adapter report names it: "host" for ::1,
// "link" for fe80::/10, "site" for fec0::/10, "unique-local" for fc00::/7,
// "multicast" for ff00::/8, "unspecified" for ::, else "global".
const char* Ipv6ScopeName(const std::uint8_t* bytes);
