// A scripted Winsock layer for the catalog's growth tests and the protocol
// report, linked in place of the real one.
#pragma once

#include <vector>

#include "winsock.h"

struct FakeWinsockCall {
    const void* buffer;
    DWORD lengthIn;
};

struct FakeWinsockScript {
    // Entries the catalog holds at each successive call; the last repeats.
    std::vector<int> entries{2};
    // When not empty, the catalog holds exactly these entries at every call
    // (and `entries` is not used).
    std::vector<WSAPROTOCOL_INFOW> content;
    // When nonzero, every call fails with this error.
    int forcedError = 0;
    std::vector<FakeWinsockCall> calls;
};

FakeWinsockScript& FakeWinsock();
