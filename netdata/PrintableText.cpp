#include "PrintableText.h"

namespace {

constexpr char16_t kReplacement = u'\uFFFD';
constexpr char16_t kReturnSymbol = u'\u23CE';
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
constexpr std::string_view kReturnSymbolUtf8 = "\xE2\x8F\x8E";

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::size_t Utf8SequenceLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b = at(0);
    if (b < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    if (at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    return length;
}

char32_t Utf8CodePoint(std::string_view text, std::size_t length) {
    if (length == 0 || text.size() < length) return 0;
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(text[0]) & kLeadBits[length < 5 ? length : 0];
    for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    return c;
}

void MakePrintable(std::u16string& text, LineFeeds feeds) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t& c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            ++i;  // a pair: a character past U+FFFF, never hidden
        } else if (c == u'\n' && feeds == LineFeeds::Symbol) {
            c = kReturnSymbol;
        } else if (IsHiddenCharacter(c) || IsHighSurrogate(c) || IsLowSurrogate(c)) {
            c = kReplacement;
        }
    }
}

std::u16string PrintableText(std::u16string_view text, LineFeeds feeds) {
    std::u16string out(text);
    MakePrintable(out, feeds);
    return out;
}

std::string PrintableUtf8(std::string_view text, LineFeeds feeds) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t n = Utf8SequenceLength(text);
        if (n == 0) {
            out += kReplacementUtf8;
            text.remove_prefix(1);
            continue;
        }
        const char32_t c = Utf8CodePoint(text, n);
        if (c == U'\n' && feeds == LineFeeds::Symbol)
            out += kReturnSymbolUtf8;
        else if (IsHiddenCharacter(c))
            out += kReplacementUtf8;
        else
            out.append(text.substr(0, n));
        text.remove_prefix(n);
    }
    return out;
}
