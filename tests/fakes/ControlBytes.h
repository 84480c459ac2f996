// Whether printed output could act on a terminal: the first control
// character in it (C0 but the output's own line ends, DEL, C1 as the UTF-8
// of U+0080..U+009F, U+2028, U+2029) or byte outside valid UTF-8 (which
// covers a raw C1 byte such as 0x9B), described with its offset and what
// surrounds it; empty when there is none.  Written apart from the
// program's own rule, so that a fault in that rule shows here.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

inline std::string FirstControlByte(std::string_view out, std::string_view lineEnd = "\n") {
    const auto describe = [&out](std::size_t at, const std::string& what) {
        std::string context;
        for (std::size_t i = at > 24 ? at - 24 : 0; i < out.size() && i < at + 24; ++i) {
            const auto b = static_cast<unsigned char>(out[i]);
            if (b >= 0x20 && b < 0x7F) {
                context += static_cast<char>(b);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", b);
                context += hex;
            }
        }
        return what + " at byte " + std::to_string(at) + " in \"" + context + "\"";
    };
    std::size_t i = 0;
    while (i < out.size()) {
        if (!lineEnd.empty() && out.substr(i, lineEnd.size()) == lineEnd) {
            i += lineEnd.size();
            continue;
        }
        const auto b = static_cast<unsigned char>(out[i]);
        std::size_t n = 0;
        char32_t c = 0;
        if (b < 0x80) {
            n = 1;
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            n = 2;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4;
            c = b & 0x07;
        } else {
            return describe(i, "a byte outside UTF-8");
        }
        if (i + n > out.size()) return describe(i, "a sequence cut short");
        for (std::size_t k = 1; k < n; ++k) {
            const auto next = static_cast<unsigned char>(out[i + k]);
            if ((next & 0xC0) != 0x80) return describe(i, "a sequence cut short");
            c = (c << 6) | (next & 0x3F);
        }
        static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kLeast[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return describe(i, "an invalid sequence");
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029) {
            char what[32];
            std::snprintf(what, sizeof what, "U+%04X", static_cast<unsigned>(c));
            return describe(i, what);
        }
        i += n;
    }
    return {};
}
