#include "ProtocolCatalog.h"

#include <cstdlib>

CProtocolCatalog* g_pProtocolCatalog = nullptr;

CProtocolCatalog::~CProtocolCatalog() { std::free(m_pProtocols); }

void CProtocolCatalog::Enumerate() {
    // The length handed in never exceeds what is allocated, whatever an
    // earlier failed call reported.
    if (m_dwBufferLength > m_dwAllocated) m_dwBufferLength = m_dwAllocated;
    m_nProtocols = WSAEnumProtocolsW(nullptr, m_pProtocols, &m_dwBufferLength);
    if (m_nProtocols == SOCKET_ERROR && WSAGetLastError() == WSAENOBUFS) {
        std::free(m_pProtocols);
        m_pProtocols = nullptr;
        m_dwAllocated = 0;
        if (m_dwBufferLength > 0) m_pProtocols = static_cast<WSAPROTOCOL_INFOW*>(std::malloc(m_dwBufferLength));
        if (m_pProtocols == nullptr) {
            m_dwBufferLength = 0;
            m_bValid = false;
            return;
        }
        m_dwAllocated = m_dwBufferLength;
        m_nProtocols = WSAEnumProtocolsW(nullptr, m_pProtocols, &m_dwBufferLength);
    }
    m_bValid = m_nProtocols != SOCKET_ERROR;
}
