// A scripted Winsock layer for the catalog's growth tests, linked in place
// of the real one.
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
    // When nonzero, every call fails with this error.
    int forcedError = 0;
    std::vector<FakeWinsockCall> calls;
};

FakeWinsockScript& FakeWinsock();
