#include "NetworkReport.h"

#include "IpHelper.h"
#include "ProtocolCatalog.h"
#include "winsock.h"

namespace {
WSADATA g_wsaData;  // process-wide, as every pane's start-up shares it

// The IPv6 snapshots are taken by the reports that show them, when they
// build or update, and by no other report.
void ReplaceIpv6Handles() {
    const DeferSnapshot defer;
    ReplaceSnapshotHandle(g_pTcp6OwnerTable, new CTcp6OwnerTable(defer));
    ReplaceSnapshotHandle(g_pUdp6OwnerTable, new CUdp6OwnerTable(defer));
    ReplaceSnapshotHandle(g_pIp6Statistics, new CIp6Statistics(defer));
    ReplaceSnapshotHandle(g_pUnicastAddressTable, new CUnicastAddressTable(defer));
}
}

CNetworkReport::CNetworkReport(int nKind) : m_nKind(nKind), m_bAutoCapable(IsAutoCapable(nKind)) {
    WSAStartup(MAKEWORD(2, 0), &g_wsaData);  // result ignored: the catalog then stays empty

    // Fresh snapshot objects, each taking its snapshot, in this order.
    ReplaceSnapshotHandle(g_pIcmpStatistics, new CIcmpStatistics);
    ReplaceSnapshotHandle(g_pTcpStatistics, new CTcpStatistics);
    ReplaceSnapshotHandle(g_pUdpStatistics, new CUdpStatistics);
    ReplaceSnapshotHandle(g_pUdpOwnerTable, new CUdpOwnerTable);
    ReplaceSnapshotHandle(g_pTcpOwnerTable, new CTcpOwnerTable);
    ReplaceSnapshotHandle(g_pIpStatistics, new CIpStatistics);
    ReplaceSnapshotHandle(g_pInterfaceTable, new CInterfaceTable);
    auto* catalog = new CProtocolCatalog;
    catalog->Enumerate();
    ReplaceSnapshotHandle(g_pProtocolCatalog, catalog);
    ReplaceSnapshotHandle(g_pNetworkParams, new CNetworkParams);
    ReplaceSnapshotHandle(g_pAdapterList, new CAdapterList);
    ReplaceIpv6Handles();
}

CNetworkReport::CNetworkReport(int nKind, DeferSnapshot defer)
    : m_nKind(nKind), m_bAutoCapable(IsAutoCapable(nKind)) {
    WSAStartup(MAKEWORD(2, 0), &g_wsaData);
    ReplaceSnapshotHandle(g_pIcmpStatistics, new CIcmpStatistics(defer));
    ReplaceSnapshotHandle(g_pTcpStatistics, new CTcpStatistics(defer));
    ReplaceSnapshotHandle(g_pUdpStatistics, new CUdpStatistics(defer));
    ReplaceSnapshotHandle(g_pUdpOwnerTable, new CUdpOwnerTable(defer));
    ReplaceSnapshotHandle(g_pTcpOwnerTable, new CTcpOwnerTable(defer));
    ReplaceSnapshotHandle(g_pIpStatistics, new CIpStatistics(defer));
    ReplaceSnapshotHandle(g_pInterfaceTable, new CInterfaceTable(defer));
    ReplaceSnapshotHandle(g_pProtocolCatalog, new CProtocolCatalog);
    ReplaceSnapshotHandle(g_pNetworkParams, new CNetworkParams(defer));
    ReplaceSnapshotHandle(g_pAdapterList, new CAdapterList(defer));
    ReplaceIpv6Handles();
}

CNetworkReport::~CNetworkReport() { WSACleanup(); }

bool CNetworkReport::IsAutoCapable(int nKind) {
    return (nKind >= kKindIcmpStatistics && nKind <= kKindTcpStatistics) || nKind == kKindUdpConnections ||
           nKind == kKindTcpConnections || (nKind >= kKindUdp6Connections && nKind <= kKindIp6Statistics) ||
           nKind == kKindConnectionLog || nKind == kKindProcesses || nKind == kKindListeningPorts;
}

void CNetworkReport::BuildReport() {
    switch (m_nKind) {
        case kKindIcmpStatistics: BuildIcmpStatistics(); break;
        case kKindIpStatistics: BuildIpStatistics(); break;
        case kKindUdpStatistics: BuildUdpStatistics(); break;
        case kKindTcpStatistics: BuildTcpStatistics(); break;
        case kKindUdpConnections: BuildUdpConnections(); break;
        case kKindTcpConnections: BuildTcpConnections(); break;
        case kKindUdp6Connections: BuildUdp6Connections(); break;
        case kKindTcp6Connections: BuildTcp6Connections(); break;
        case kKindIp6Statistics: BuildIp6Statistics(); break;
        case kKindConnectionLog: BuildConnectionLog(); break;
        case kKindProcesses: BuildProcesses(); break;
        case kKindListeningPorts: BuildListeningPorts(); break;
        case kKindAdapterList: BuildAdapterList(); break;
        case kKindInterfaceList: BuildInterfaceList(); break;
        case kKindProtocolList: BuildProtocolList(); break;
        default: BuildNetworkConfiguration(); break;
    }
}

void CNetworkReport::UpdateReport() {
    switch (m_nKind) {
        case kKindIcmpStatistics: UpdateIcmpStatistics(); break;
        case kKindIpStatistics: UpdateIpStatistics(); break;
        case kKindUdpStatistics: UpdateUdpStatistics(); break;
        case kKindTcpStatistics: UpdateTcpStatistics(); break;
        case kKindUdpConnections: UpdateUdpConnections(); break;
        case kKindTcpConnections: UpdateTcpConnections(); break;
        case kKindUdp6Connections: UpdateUdp6Connections(); break;
        case kKindTcp6Connections: UpdateTcp6Connections(); break;
        case kKindIp6Statistics: UpdateIp6Statistics(); break;
        case kKindConnectionLog: UpdateConnectionLog(); break;
        case kKindProcesses: UpdateProcesses(); break;
        case kKindListeningPorts: UpdateListeningPorts(); break;
        default: break;
    }
}

bool CNetworkReport::SnapshotFailed() const {
    if (m_bRowsFromWorker && SocketTableOfKind(m_nKind)) return m_bSocketSnapshotFailed;
    switch (m_nKind) {
        case kKindConnectionLog: return false;  // the events collected so far, none from the command line
        case kKindProcesses:
        case kKindListeningPorts: return m_bSocketSnapshotFailed;
        case kKindIcmpStatistics: return g_pIcmpStatistics == nullptr || !g_pIcmpStatistics->m_bValid;
        case kKindIpStatistics: return g_pIpStatistics == nullptr || !g_pIpStatistics->m_bValid;
        case kKindUdpStatistics: return g_pUdpStatistics == nullptr || !g_pUdpStatistics->m_bValid;
        case kKindTcpStatistics: return g_pTcpStatistics == nullptr || !g_pTcpStatistics->m_bValid;
        case kKindUdpConnections: return g_pUdpOwnerTable == nullptr || !g_pUdpOwnerTable->m_bValid;
        case kKindTcpConnections: return g_pTcpOwnerTable == nullptr || !g_pTcpOwnerTable->m_bValid;
        // A machine without IPv6 has no IPv6 data: no failure.
        case kKindUdp6Connections:
            return g_pUdp6OwnerTable == nullptr || (!g_pUdp6OwnerTable->m_bValid && !g_pUdp6OwnerTable->m_bNoIpv6);
        case kKindTcp6Connections:
            return g_pTcp6OwnerTable == nullptr || (!g_pTcp6OwnerTable->m_bValid && !g_pTcp6OwnerTable->m_bNoIpv6);
        case kKindIp6Statistics:
            return g_pIp6Statistics == nullptr || (!g_pIp6Statistics->m_bValid && !g_pIp6Statistics->m_bNoIpv6);
        case kKindAdapterList:
            return g_pAdapterList == nullptr || (!g_pAdapterList->m_bValid && !g_pAdapterList->m_bNoAdapters);
        case kKindInterfaceList: return g_pInterfaceTable == nullptr || !g_pInterfaceTable->m_bValid;
        case kKindProtocolList: return g_pProtocolCatalog == nullptr || !g_pProtocolCatalog->m_bValid;
        default: return g_pNetworkParams == nullptr || !g_pNetworkParams->m_bValid;
    }
}
