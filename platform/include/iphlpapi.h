// The IP helper library's records in their published 64-bit layouts, and
// the signatures of its entry points.  The provider fills these records and
// the reports read them, so every size and offset is pinned below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "win32.h"

inline constexpr int MAX_HOSTNAME_LEN = 128;
inline constexpr int MAX_DOMAIN_NAME_LEN = 128;
inline constexpr int MAX_SCOPE_ID_LEN = 256;
inline constexpr int MAX_ADAPTER_NAME_LENGTH = 256;
inline constexpr int MAX_ADAPTER_DESCRIPTION_LENGTH = 128;
inline constexpr int MAX_ADAPTER_ADDRESS_LENGTH = 8;
inline constexpr int MAX_INTERFACE_NAME_LEN = 256;
inline constexpr int MAXLEN_PHYSADDR = 8;
inline constexpr int MAXLEN_IFDESCR = 256;

// ---------------------------------------------------------------- counters

struct MIB_IPSTATS {
    DWORD dwForwarding;  // 1 forwarding, 2 not forwarding
    DWORD dwDefaultTTL;
    DWORD dwInReceives;
    DWORD dwInHdrErrors;
    DWORD dwInAddrErrors;
    DWORD dwForwDatagrams;
    DWORD dwInUnknownProtos;
    DWORD dwInDiscards;
    DWORD dwInDelivers;
    DWORD dwOutRequests;
    DWORD dwRoutingDiscards;
    DWORD dwOutDiscards;
    DWORD dwOutNoRoutes;
    DWORD dwReasmTimeout;
    DWORD dwReasmReqds;
    DWORD dwReasmOks;
    DWORD dwReasmFails;
    DWORD dwFragOks;
    DWORD dwFragFails;
    DWORD dwFragCreates;
    DWORD dwNumIf;
    DWORD dwNumAddr;
    DWORD dwNumRoutes;
};
using PMIB_IPSTATS = MIB_IPSTATS*;
static_assert(sizeof(MIB_IPSTATS) == 23 * 4);

struct MIBICMPSTATS {
    DWORD dwMsgs;
    DWORD dwErrors;
    DWORD dwDestUnreachs;
    DWORD dwTimeExcds;
    DWORD dwParmProbs;
    DWORD dwSrcQuenchs;
    DWORD dwRedirects;
    DWORD dwEchos;
    DWORD dwEchoReps;
    DWORD dwTimestamps;
    DWORD dwTimestampReps;
    DWORD dwAddrMasks;
    DWORD dwAddrMaskReps;
};
static_assert(sizeof(MIBICMPSTATS) == 13 * 4);

struct MIBICMPINFO {
    MIBICMPSTATS icmpInStats;
    MIBICMPSTATS icmpOutStats;
};

struct MIB_ICMP {
    MIBICMPINFO stats;
};
using PMIB_ICMP = MIB_ICMP*;
static_assert(sizeof(MIB_ICMP) == 26 * 4);
static_assert(offsetof(MIB_ICMP, stats.icmpOutStats) == 13 * 4);

// The per-type ICMP counts of one direction: rgdwTypeCount[t] counts the
// messages of type t (for ICMPv6: 1 destination unreachable, 128 echo
// request, 135 neighbour solicitation...).
struct MIBICMPSTATS_EX {
    DWORD dwMsgs;
    DWORD dwErrors;
    DWORD rgdwTypeCount[256];
};
static_assert(sizeof(MIBICMPSTATS_EX) == 258 * 4);

struct MIB_ICMP_EX {
    MIBICMPSTATS_EX icmpInStats;
    MIBICMPSTATS_EX icmpOutStats;
};
using PMIB_ICMP_EX = MIB_ICMP_EX*;
static_assert(sizeof(MIB_ICMP_EX) == 516 * 4);
static_assert(offsetof(MIB_ICMP_EX, icmpOutStats) == 258 * 4);

struct MIB_TCPSTATS {
    DWORD dwRtoAlgorithm;
    DWORD dwRtoMin;
    DWORD dwRtoMax;
    DWORD dwMaxConn;  // (DWORD)-1 when the limit is dynamic
    DWORD dwActiveOpens;
    DWORD dwPassiveOpens;
    DWORD dwAttemptFails;
    DWORD dwEstabResets;
    DWORD dwCurrEstab;
    DWORD dwInSegs;
    DWORD dwOutSegs;
    DWORD dwRetransSegs;
    DWORD dwInErrs;
    DWORD dwOutRsts;
    DWORD dwNumConns;
};
using PMIB_TCPSTATS = MIB_TCPSTATS*;
static_assert(sizeof(MIB_TCPSTATS) == 15 * 4);

struct MIB_UDPSTATS {
    DWORD dwInDatagrams;
    DWORD dwNoPorts;
    DWORD dwInErrors;
    DWORD dwOutDatagrams;
    DWORD dwNumAddrs;
};
using PMIB_UDPSTATS = MIB_UDPSTATS*;
static_assert(sizeof(MIB_UDPSTATS) == 5 * 4);

// ------------------------------------------------------------------ tables

struct IP_ADDRESS_STRING {
    char String[4 * 4];
};
using IP_MASK_STRING = IP_ADDRESS_STRING;

struct IP_ADDR_STRING {
    IP_ADDR_STRING* Next;
    IP_ADDRESS_STRING IpAddress;
    IP_MASK_STRING IpMask;
    DWORD Context;
};
using PIP_ADDR_STRING = IP_ADDR_STRING*;
static_assert(sizeof(IP_ADDR_STRING) == 48);
static_assert(offsetof(IP_ADDR_STRING, IpAddress) == 8);
static_assert(offsetof(IP_ADDR_STRING, IpMask) == 24);
static_assert(offsetof(IP_ADDR_STRING, Context) == 40);

struct FIXED_INFO {
    char HostName[MAX_HOSTNAME_LEN + 4];
    char DomainName[MAX_DOMAIN_NAME_LEN + 4];
    PIP_ADDR_STRING CurrentDnsServer;
    IP_ADDR_STRING DnsServerList;
    UINT NodeType;
    char ScopeId[MAX_SCOPE_ID_LEN + 4];
    UINT EnableRouting;
    UINT EnableProxy;
    UINT EnableDns;
};
using PFIXED_INFO = FIXED_INFO*;
static_assert(offsetof(FIXED_INFO, DomainName) == 132);
static_assert(offsetof(FIXED_INFO, CurrentDnsServer) == 264);
static_assert(offsetof(FIXED_INFO, DnsServerList) == 272);
static_assert(offsetof(FIXED_INFO, NodeType) == 320);
static_assert(offsetof(FIXED_INFO, ScopeId) == 324);
static_assert(offsetof(FIXED_INFO, EnableDns) == 592);
static_assert(sizeof(FIXED_INFO) == 600);

struct IP_ADAPTER_INFO {
    IP_ADAPTER_INFO* Next;
    DWORD ComboIndex;
    char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
    char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
    UINT AddressLength;
    BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
    DWORD Index;
    UINT Type;
    UINT DhcpEnabled;
    PIP_ADDR_STRING CurrentIpAddress;
    IP_ADDR_STRING IpAddressList;
    IP_ADDR_STRING GatewayList;
    IP_ADDR_STRING DhcpServer;
    BOOL HaveWins;
    IP_ADDR_STRING PrimaryWinsServer;
    IP_ADDR_STRING SecondaryWinsServer;
    std::int64_t LeaseObtained;  // time_t of the 64-bit platform: seconds since 1970
    std::int64_t LeaseExpires;
};
using PIP_ADAPTER_INFO = IP_ADAPTER_INFO*;
static_assert(offsetof(IP_ADAPTER_INFO, AdapterName) == 12);
static_assert(offsetof(IP_ADAPTER_INFO, Description) == 272);
static_assert(offsetof(IP_ADAPTER_INFO, AddressLength) == 404);
static_assert(offsetof(IP_ADAPTER_INFO, Address) == 408);
static_assert(offsetof(IP_ADAPTER_INFO, Index) == 416);
static_assert(offsetof(IP_ADAPTER_INFO, CurrentIpAddress) == 432);
static_assert(offsetof(IP_ADAPTER_INFO, IpAddressList) == 440);
static_assert(offsetof(IP_ADAPTER_INFO, GatewayList) == 488);
static_assert(offsetof(IP_ADAPTER_INFO, DhcpServer) == 536);
static_assert(offsetof(IP_ADAPTER_INFO, PrimaryWinsServer) == 592);
static_assert(offsetof(IP_ADAPTER_INFO, LeaseObtained) == 688);
static_assert(sizeof(IP_ADAPTER_INFO) == 704);

struct IP_PER_ADAPTER_INFO {
    UINT AutoconfigEnabled;
    UINT AutoconfigActive;
    PIP_ADDR_STRING CurrentDnsServer;
    IP_ADDR_STRING DnsServerList;
};
using PIP_PER_ADAPTER_INFO = IP_PER_ADAPTER_INFO*;
static_assert(sizeof(IP_PER_ADAPTER_INFO) == 64);

struct MIB_IFROW {
    WCHAR wszName[MAX_INTERFACE_NAME_LEN];
    DWORD dwIndex;
    DWORD dwType;
    DWORD dwMtu;
    DWORD dwSpeed;
    DWORD dwPhysAddrLen;
    BYTE bPhysAddr[MAXLEN_PHYSADDR];
    DWORD dwAdminStatus;
    DWORD dwOperStatus;
    DWORD dwLastChange;
    DWORD dwInOctets;
    DWORD dwInUcastPkts;
    DWORD dwInNUcastPkts;
    DWORD dwInDiscards;
    DWORD dwInErrors;
    DWORD dwInUnknownProtos;
    DWORD dwOutOctets;
    DWORD dwOutUcastPkts;
    DWORD dwOutNUcastPkts;
    DWORD dwOutDiscards;
    DWORD dwOutErrors;
    DWORD dwOutQLen;
    DWORD dwDescrLen;
    BYTE bDescr[MAXLEN_IFDESCR];
};
static_assert(offsetof(MIB_IFROW, dwIndex) == 512);
static_assert(offsetof(MIB_IFROW, bPhysAddr) == 532);
static_assert(offsetof(MIB_IFROW, dwAdminStatus) == 540);
static_assert(offsetof(MIB_IFROW, bDescr) == 604);
static_assert(sizeof(MIB_IFROW) == 860);

struct MIB_IFTABLE {
    DWORD dwNumEntries;
    MIB_IFROW table[1];
};
using PMIB_IFTABLE = MIB_IFTABLE*;
static_assert(offsetof(MIB_IFTABLE, table) == 4);

// The interface table with 64-bit counters: one row per interface, in a
// table the library allocates and FreeMibTable frees.
inline constexpr std::size_t IF_MAX_STRING_SIZE = 256;
inline constexpr std::size_t IF_MAX_PHYS_ADDRESS_LENGTH = 32;

enum IF_OPER_STATUS : int {
    IfOperStatusUp = 1,
    IfOperStatusDown,
    IfOperStatusTesting,
    IfOperStatusUnknown,
    IfOperStatusDormant,
    IfOperStatusNotPresent,
    IfOperStatusLowerLayerDown,
};

enum NET_IF_ADMIN_STATUS : int { NET_IF_ADMIN_STATUS_UP = 1, NET_IF_ADMIN_STATUS_DOWN, NET_IF_ADMIN_STATUS_TESTING };

enum NET_IF_MEDIA_CONNECT_STATE : int { MediaConnectStateUnknown, MediaConnectStateConnected, MediaConnectStateDisconnected };

struct MIB_IF_ROW2 {
    std::uint64_t InterfaceLuid;
    ULONG InterfaceIndex;
    GUID InterfaceGuid;
    WCHAR Alias[IF_MAX_STRING_SIZE + 1];
    WCHAR Description[IF_MAX_STRING_SIZE + 1];
    ULONG PhysicalAddressLength;
    UCHAR PhysicalAddress[IF_MAX_PHYS_ADDRESS_LENGTH];
    UCHAR PermanentPhysicalAddress[IF_MAX_PHYS_ADDRESS_LENGTH];
    ULONG Mtu;
    ULONG Type;
    int TunnelType;
    int MediaType;
    int PhysicalMediumType;
    int AccessType;
    int DirectionType;
    UCHAR InterfaceAndOperStatusFlags;  // bit 0 HardwareInterface ... bit 4 NotMediaConnected
    IF_OPER_STATUS OperStatus;
    NET_IF_ADMIN_STATUS AdminStatus;
    NET_IF_MEDIA_CONNECT_STATE MediaConnectState;
    GUID NetworkGuid;
    int ConnectionType;
    std::uint64_t TransmitLinkSpeed;  // bits per second
    std::uint64_t ReceiveLinkSpeed;
    std::uint64_t InOctets;
    std::uint64_t InUcastPkts;
    std::uint64_t InNUcastPkts;
    std::uint64_t InDiscards;
    std::uint64_t InErrors;
    std::uint64_t InUnknownProtos;
    std::uint64_t InUcastOctets;
    std::uint64_t InMulticastOctets;
    std::uint64_t InBroadcastOctets;
    std::uint64_t OutOctets;
    std::uint64_t OutUcastPkts;
    std::uint64_t OutNUcastPkts;
    std::uint64_t OutDiscards;
    std::uint64_t OutErrors;
    std::uint64_t OutUcastOctets;
    std::uint64_t OutMulticastOctets;
    std::uint64_t OutBroadcastOctets;
    std::uint64_t OutQLen;
};
static_assert(offsetof(MIB_IF_ROW2, Alias) == 28);
static_assert(offsetof(MIB_IF_ROW2, PhysicalAddressLength) == 1056);
static_assert(offsetof(MIB_IF_ROW2, Mtu) == 1124);
static_assert(offsetof(MIB_IF_ROW2, InterfaceAndOperStatusFlags) == 1152);
static_assert(offsetof(MIB_IF_ROW2, OperStatus) == 1156);
static_assert(offsetof(MIB_IF_ROW2, TransmitLinkSpeed) == 1192);
static_assert(offsetof(MIB_IF_ROW2, InOctets) == 1208);
static_assert(offsetof(MIB_IF_ROW2, OutQLen) == 1344);
static_assert(sizeof(MIB_IF_ROW2) == 1352);

inline constexpr UCHAR kIfFlagHardwareInterface = 0x01;
inline constexpr UCHAR kIfFlagNotMediaConnected = 0x10;

struct MIB_IF_TABLE2 {
    ULONG NumEntries;
    MIB_IF_ROW2 Table[1];
};
using PMIB_IF_TABLE2 = MIB_IF_TABLE2*;
static_assert(offsetof(MIB_IF_TABLE2, Table) == 8);

struct MIB_TCPROW_OWNER_PID {
    DWORD dwState;
    DWORD dwLocalAddr;  // network byte order
    DWORD dwLocalPort;  // network byte order in the low 16 bits
    DWORD dwRemoteAddr;
    DWORD dwRemotePort;
    DWORD dwOwningPid;
};
static_assert(sizeof(MIB_TCPROW_OWNER_PID) == 24);

struct MIB_TCPTABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_TCPROW_OWNER_PID table[1];
};
static_assert(offsetof(MIB_TCPTABLE_OWNER_PID, table) == 4);
static_assert(sizeof(MIB_TCPTABLE_OWNER_PID) == 28);

struct MIB_UDPROW_OWNER_PID {
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwOwningPid;
};
static_assert(sizeof(MIB_UDPROW_OWNER_PID) == 12);

struct MIB_UDPTABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_UDPROW_OWNER_PID table[1];
};
static_assert(offsetof(MIB_UDPTABLE_OWNER_PID, table) == 4);

// The IPv6 owner tables: addresses as 16 bytes in network order, the scope
// id (the interface index of a link-local address, else 0), ports in
// network order in the low 16 bits.
struct MIB_TCP6ROW_OWNER_PID {
    UCHAR ucLocalAddr[16];
    DWORD dwLocalScopeId;
    DWORD dwLocalPort;
    UCHAR ucRemoteAddr[16];
    DWORD dwRemoteScopeId;
    DWORD dwRemotePort;
    DWORD dwState;
    DWORD dwOwningPid;
};
static_assert(sizeof(MIB_TCP6ROW_OWNER_PID) == 56);
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, ucRemoteAddr) == 24);
static_assert(offsetof(MIB_TCP6ROW_OWNER_PID, dwState) == 48);

struct MIB_TCP6TABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_TCP6ROW_OWNER_PID table[1];
};
static_assert(offsetof(MIB_TCP6TABLE_OWNER_PID, table) == 4);

struct MIB_UDP6ROW_OWNER_PID {
    UCHAR ucLocalAddr[16];
    DWORD dwLocalScopeId;
    DWORD dwLocalPort;
    DWORD dwOwningPid;
};
static_assert(sizeof(MIB_UDP6ROW_OWNER_PID) == 28);

struct MIB_UDP6TABLE_OWNER_PID {
    DWORD dwNumEntries;
    MIB_UDP6ROW_OWNER_PID table[1];
};
static_assert(offsetof(MIB_UDP6TABLE_OWNER_PID, table) == 4);

// ------------------------------------------- per-connection TCP statistics

// A TCP connection as the statistics calls name it: the IPv4 form (ports in
// network order in the low 16 bits) and the IPv6 form (addresses in network
// order, with their scope ids).
struct MIB_TCPROW {
    DWORD dwState;
    DWORD dwLocalAddr;
    DWORD dwLocalPort;
    DWORD dwRemoteAddr;
    DWORD dwRemotePort;
};
static_assert(sizeof(MIB_TCPROW) == 20);

struct MIB_TCP6ROW {
    DWORD State;
    UCHAR LocalAddr[16];
    ULONG dwLocalScopeId;
    ULONG dwLocalPort;
    UCHAR RemoteAddr[16];
    ULONG dwRemoteScopeId;
    ULONG dwRemotePort;
};
static_assert(sizeof(MIB_TCP6ROW) == 52);
static_assert(offsetof(MIB_TCP6ROW, RemoteAddr) == 28);

enum TCP_ESTATS_TYPE : int {
    TcpConnectionEstatsSynOpts,
    TcpConnectionEstatsData,
    TcpConnectionEstatsSndCong,
    TcpConnectionEstatsPath,
    TcpConnectionEstatsSendBuff,
    TcpConnectionEstatsRec,
    TcpConnectionEstatsObsRec,
    TcpConnectionEstatsBandwidth,
    TcpConnectionEstatsFineRtt,
    TcpConnectionEstatsMaximum,
};

// Whether the data counts of a connection are collected.
struct TCP_ESTATS_DATA_RW_v0 {
    UCHAR EnableCollection;  // BOOLEAN
};
static_assert(sizeof(TCP_ESTATS_DATA_RW_v0) == 1);

// The data a connection has carried: payload octets and segments each way.
struct TCP_ESTATS_DATA_ROD_v0 {
    std::uint64_t DataBytesOut;  // payload sent, retransmissions included
    std::uint64_t DataSegsOut;
    std::uint64_t DataBytesIn;   // payload received, retransmissions included
    std::uint64_t DataSegsIn;
    std::uint64_t SegsOut;
    std::uint64_t SegsIn;
    ULONG SoftErrors;
    ULONG SoftErrorReason;
    ULONG SndUna;
    ULONG SndNxt;
    ULONG SndMax;
    std::uint64_t ThruBytesAcked;     // payload the peer has acknowledged
    ULONG RcvNxt;
    std::uint64_t ThruBytesReceived;  // payload acknowledged to the peer
};
static_assert(sizeof(TCP_ESTATS_DATA_ROD_v0) == 96);
static_assert(offsetof(TCP_ESTATS_DATA_ROD_v0, ThruBytesAcked) == 72);
static_assert(offsetof(TCP_ESTATS_DATA_ROD_v0, ThruBytesReceived) == 88);

struct TCP_ESTATS_PATH_RW_v0 {
    UCHAR EnableCollection;  // BOOLEAN
};

// The path a connection's segments take: retransmissions, round trips (in
// milliseconds), segment sizes.
struct TCP_ESTATS_PATH_ROD_v0 {
    ULONG FastRetran;
    ULONG Timeouts;
    ULONG SubsequentTimeouts;
    ULONG CurTimeoutCount;
    ULONG AbruptTimeouts;
    ULONG PktsRetrans;
    ULONG BytesRetrans;
    ULONG DupAcksIn;
    ULONG SacksRcvd;
    ULONG SackBlocksRcvd;
    ULONG CongSignals;
    ULONG PreCongSumCwnd;
    ULONG PreCongSumRtt;
    ULONG PostCongSumRtt;
    ULONG PostCongCountRtt;
    ULONG EcnSignals;
    ULONG EceRcvd;
    ULONG SendStall;
    ULONG QuenchRcvd;
    ULONG RetranThresh;
    ULONG SndDupAckEpisodes;
    ULONG SumBytesReordered;
    ULONG NonRecovDa;
    ULONG NonRecovDaEpisodes;
    ULONG AckAfterFr;
    ULONG DsackDups;
    ULONG SampleRtt;
    ULONG SmoothedRtt;
    ULONG RttVar;
    ULONG MaxRtt;
    ULONG MinRtt;
    ULONG SumRtt;
    ULONG CountRtt;
    ULONG CurRto;
    ULONG MaxRto;
    ULONG MinRto;
    ULONG CurMss;
    ULONG MaxMss;
    ULONG MinMss;
    ULONG SpuriousRtoDetections;
};
static_assert(sizeof(TCP_ESTATS_PATH_ROD_v0) == 160);
static_assert(offsetof(TCP_ESTATS_PATH_ROD_v0, SmoothedRtt) == 108);

// ------------------------------------------------------ unicast addresses

// A socket address of either family, as the address tables hold it; the
// family numbers are the catalog's (AF_INET 2, AF_INET6 23).
struct SOCKADDR_IN_W {
    USHORT sin_family;
    USHORT sin_port;  // network order
    UCHAR sin_addr[4];
    UCHAR sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN_W) == 16);

struct SOCKADDR_IN6_W {
    USHORT sin6_family;
    USHORT sin6_port;  // network order
    ULONG sin6_flowinfo;
    UCHAR sin6_addr[16];
    ULONG sin6_scope_id;
};
static_assert(sizeof(SOCKADDR_IN6_W) == 28);

union SOCKADDR_INET {
    SOCKADDR_IN_W Ipv4;
    SOCKADDR_IN6_W Ipv6;
    USHORT si_family;
};
static_assert(sizeof(SOCKADDR_INET) == 28);

enum NL_PREFIX_ORIGIN : int {
    IpPrefixOriginOther = 0,
    IpPrefixOriginManual,
    IpPrefixOriginWellKnown,
    IpPrefixOriginDhcp,
    IpPrefixOriginRouterAdvertisement,
    IpPrefixOriginUnchanged = 16,
};

enum NL_SUFFIX_ORIGIN : int {
    IpSuffixOriginOther = 0,
    IpSuffixOriginManual,
    IpSuffixOriginWellKnown,
    IpSuffixOriginDhcp,
    IpSuffixOriginLinkLayerAddress,
    IpSuffixOriginRandom,  // a temporary (privacy) address
    IpSuffixOriginUnchanged = 16,
};

enum NL_DAD_STATE : int {
    IpDadStateInvalid = 0,
    IpDadStateTentative,
    IpDadStateDuplicate,
    IpDadStateDeprecated,
    IpDadStatePreferred,
};

struct MIB_UNICASTIPADDRESS_ROW {
    SOCKADDR_INET Address;
    std::uint64_t InterfaceLuid;
    ULONG InterfaceIndex;
    NL_PREFIX_ORIGIN PrefixOrigin;
    NL_SUFFIX_ORIGIN SuffixOrigin;
    ULONG ValidLifetime;      // seconds; 0xffffffff forever
    ULONG PreferredLifetime;  // seconds; 0xffffffff forever
    UCHAR OnLinkPrefixLength;
    UCHAR SkipAsSource;
    NL_DAD_STATE DadState;
    ULONG ScopeId;  // the zone: the interface index of a link-local address
    std::int64_t CreationTimeStamp;
};
static_assert(sizeof(MIB_UNICASTIPADDRESS_ROW) == 80);
static_assert(offsetof(MIB_UNICASTIPADDRESS_ROW, InterfaceLuid) == 32);
static_assert(offsetof(MIB_UNICASTIPADDRESS_ROW, OnLinkPrefixLength) == 60);
static_assert(offsetof(MIB_UNICASTIPADDRESS_ROW, DadState) == 64);
static_assert(offsetof(MIB_UNICASTIPADDRESS_ROW, CreationTimeStamp) == 72);

struct MIB_UNICASTIPADDRESS_TABLE {
    ULONG NumEntries;
    MIB_UNICASTIPADDRESS_ROW Table[1];
};
using PMIB_UNICASTIPADDRESS_TABLE = MIB_UNICASTIPADDRESS_TABLE*;
static_assert(offsetof(MIB_UNICASTIPADDRESS_TABLE, Table) == 8);

enum TCP_TABLE_CLASS : int {
    TCP_TABLE_BASIC_LISTENER,
    TCP_TABLE_BASIC_CONNECTIONS,
    TCP_TABLE_BASIC_ALL,
    TCP_TABLE_OWNER_PID_LISTENER,
    TCP_TABLE_OWNER_PID_CONNECTIONS,
    TCP_TABLE_OWNER_PID_ALL,
    TCP_TABLE_OWNER_MODULE_LISTENER,
    TCP_TABLE_OWNER_MODULE_CONNECTIONS,
    TCP_TABLE_OWNER_MODULE_ALL,
};

enum UDP_TABLE_CLASS : int {
    UDP_TABLE_BASIC,
    UDP_TABLE_OWNER_PID,
    UDP_TABLE_OWNER_MODULE,
};

// The records of the entry points that the program looks up but never calls;
// only their names matter to the binding.
struct MIB_TCPTABLE2;
struct MIB_UDPTABLE;

// -------------------------------------------------------- entry points

extern "C" {
using PFN_GetAdaptersInfo = DWORD (*)(PIP_ADAPTER_INFO, PULONG);
using PFN_GetIfTable = DWORD (*)(PMIB_IFTABLE, PULONG, BOOL);
using PFN_GetTcpTable2 = ULONG (*)(MIB_TCPTABLE2*, PULONG, BOOL);
using PFN_GetExtendedTcpTable = DWORD (*)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);
using PFN_GetExtendedUdpTable = DWORD (*)(PVOID, PDWORD, BOOL, ULONG, UDP_TABLE_CLASS, ULONG);
using PFN_GetUdpTable = DWORD (*)(MIB_UDPTABLE*, PDWORD, BOOL);
using PFN_GetUdpStatistics = DWORD (*)(PMIB_UDPSTATS);
using PFN_GetTcpStatistics = DWORD (*)(PMIB_TCPSTATS);
using PFN_GetIcmpStatistics = DWORD (*)(PMIB_ICMP);
using PFN_GetIpStatistics = DWORD (*)(PMIB_IPSTATS);
using PFN_GetNetworkParams = DWORD (*)(PFIXED_INFO, PULONG);
using PFN_GetPerAdapterInfo = DWORD (*)(ULONG, PIP_PER_ADAPTER_INFO, PULONG);
using PFN_SetIpTTL = DWORD (*)(UINT);
// The counters of one family (AF_INET 2 or AF_INET6 23).
using PFN_GetIpStatisticsEx = DWORD (*)(PMIB_IPSTATS, ULONG);
using PFN_GetIcmpStatisticsEx = DWORD (*)(PMIB_ICMP_EX, ULONG);
using PFN_GetUdpStatisticsEx = DWORD (*)(PMIB_UDPSTATS, ULONG);
// The unicast addresses of a family (AF_UNSPEC 0, AF_INET, AF_INET6): the
// library allocates the table, the caller frees it with FreeMibTable.
using PFN_GetUnicastIpAddressTable = DWORD (*)(USHORT, PMIB_UNICASTIPADDRESS_TABLE*);
using PFN_FreeMibTable = void (*)(PVOID);
// Every interface with 64-bit counters, in a table the library allocates.
using PFN_GetIfTable2 = DWORD (*)(PMIB_IF_TABLE2*);
// The statistics of one TCP connection, of the kind `EstatsType`, into the
// read-write, read-only static and read-only dynamic records asked for
// (null with size 0 for one not wanted; version 0).
using PFN_GetPerTcpConnectionEStats = ULONG (*)(MIB_TCPROW*, TCP_ESTATS_TYPE, UCHAR*, ULONG, ULONG, UCHAR*, ULONG,
                                                ULONG, UCHAR*, ULONG, ULONG);
using PFN_GetPerTcp6ConnectionEStats = ULONG (*)(MIB_TCP6ROW*, TCP_ESTATS_TYPE, UCHAR*, ULONG, ULONG, UCHAR*, ULONG,
                                                 ULONG, UCHAR*, ULONG, ULONG);
}
