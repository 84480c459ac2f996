#include "InetText.h"

#include <cstdio>

namespace {

bool IsMapped(const std::uint8_t* b) {
    for (int i = 0; i < 10; ++i)
        if (b[i] != 0) return false;
    return b[10] == 0xff && b[11] == 0xff;
}

}  // namespace

std::string Ipv6Text(const std::uint8_t* b) {
    char out[48];
    if (IsMapped(b)) {
        std::snprintf(out, sizeof out, "::ffff:%u.%u.%u.%u", b[12], b[13], b[14], b[15]);
        return out;
    }
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]);
    // The longest run of zero groups; the first of equal runs; none shorter
    // than two.
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    if (bestLength < 2) bestStart = -1;
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        std::snprintf(out, sizeof out, "%x", groups[i]);
        text += out;
    }
    return text;
}

bool Ipv6NeedsZone(const std::uint8_t* b) {
    if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return true;       // fe80::/10
    return b[0] == 0xff && ((b[1] & 0x0f) == 1 || (b[1] & 0x0f) == 2);  // ff01::/16, ff02::/16 and their flags
}

std::string Ipv6Endpoint(const std::uint8_t* bytes, std::uint32_t scopeId, unsigned port, const std::string& zone) {
    std::string text;
    text.reserve(64);
    text += '[';
    text += Ipv6Text(bytes);
    if (scopeId != 0 && Ipv6NeedsZone(bytes)) {
        text += '%';
        text += zone.empty() ? std::to_string(scopeId) : zone;
    }
    text += "]:";
    text += std::to_string(port);
    return text;
}

const char* Ipv6ScopeName(const std::uint8_t* b) {
    bool zero = true, loopback = true;
    for (int i = 0; i < 16; ++i) {
        if (b[i] != 0) zero = false;
        if (b[i] != (i == 15 ? 1 : 0)) loopback = false;
    }
    if (zero) return "unspecified";
    if (loopback) return "host";
    if (b[0] == 0xff) return "multicast";
    if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return "link";
    if (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0) return "site";
    if ((b[0] & 0xfe) == 0xfc) return "unique-local";
    return "global";
}
