// What the Linux provider knows of each row of a socket table beyond its
// published record, which has no field for it: the kernel's cookie of the
// socket (by which the kernel's close notifications name the socket a table
// showed, whatever has become of its ends) and, for an IPv6 socket, whether
// it takes IPv4 too.  An entry point of this provider alone: the binding
// looks it up like the others, and a library without it leaves the facts
// unknown.
#pragma once

#include <cstdint>

#include "win32.h"

struct SOCKET_ROW_FACTS {
    std::uint64_t cookie;  // the kernel's socket cookie; 0 when not known
    DWORD flags;           // SOCKET_ROW_*
    DWORD reserved;        // 0
};
static_assert(sizeof(SOCKET_ROW_FACTS) == 16);

// An IPv6 socket that takes IPv4 too (IPV6_V6ONLY off): bound to the any
// address, it receives the machine's IPv4 connections or datagrams as well.
inline constexpr DWORD SOCKET_ROW_DUAL_STACK = 0x1;
// An IPv6 socket that takes IPv6 alone.
inline constexpr DWORD SOCKET_ROW_V6ONLY = 0x2;
// One of the two above from the system's default (net.ipv6.bindv6only)
// rather than from the socket: a table read from files does not say what a
// socket chose for itself.
inline constexpr DWORD SOCKET_ROW_FAMILIES_BY_DEFAULT = 0x4;

// Writes facts[0 .. rows) for the rows of the table that GetExtendedTcpTable
// or GetExtendedUdpTable last gave the calling thread for `family` (2 or 23)
// and `protocol` (IPPROTO_TCP 6 or IPPROTO_UDP 17), in that table's order.
// NO_ERROR when that table had exactly `rows` rows; ERROR_NOT_FOUND when the
// thread was given no such table since its last failed call, or one of
// another length; ERROR_INVALID_PARAMETER for another family or protocol, or
// a null `facts` with rows.
using PFN_GetSocketRowFacts = DWORD (*)(ULONG family, ULONG protocol, SOCKET_ROW_FACTS* facts, DWORD rows);
