// Helpers for comparing the provider's records in tests.
#pragma once

#include <cstring>
#include <vector>

#include "win32.h"

// The record's 32-bit words, so that a mismatch prints every field of both
// records.
template <class Record>
std::vector<DWORD> Words(const Record& r) {
    static_assert(sizeof(Record) % sizeof(DWORD) == 0);
    std::vector<DWORD> words(sizeof(Record) / sizeof(DWORD));
    std::memcpy(words.data(), &r, sizeof r);
    return words;
}

// A record whose every byte is 0xAB: fields a fill does not write keep it.
template <class Record>
Record Sentinel() {
    Record r;
    std::memset(&r, 0xAB, sizeof r);
    return r;
}
