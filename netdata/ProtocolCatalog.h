// The process's copy of the machine's transport protocol catalog.
#pragma once

#include "winsock.h"

// A plain record: the buffer of catalog entries, the result of the last
// enumeration (entry count, or -1 when it failed), the buffer length in bytes
// as the enumeration reports it, and whether the last enumeration succeeded.
struct CProtocolCatalog {
    WSAPROTOCOL_INFOW* m_pProtocols = nullptr;
    int m_nProtocols = 0;
    DWORD m_dwBufferLength = 0;
    bool m_bValid = false;
    // Bytes really allocated behind m_pProtocols.  m_dwBufferLength can hold
    // a larger length reported by a failed call; only this many bytes are
    // ever offered to the enumeration.
    DWORD m_dwAllocated = 0;

    CProtocolCatalog() = default;
    CProtocolCatalog(const CProtocolCatalog&) = delete;
    CProtocolCatalog& operator=(const CProtocolCatalog&) = delete;
    ~CProtocolCatalog();

    // Refills the record from the system's catalog, growing the buffer at
    // most once.  Winsock must have been started.
    void Enumerate();
};

// The record that serves the process; each data pane construction replaces it.
extern CProtocolCatalog* g_pProtocolCatalog;
