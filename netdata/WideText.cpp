#include "WideText.h"

#include <vector>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::u16string Digits(std::uint64_t value, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(digits[value % base]));
        value /= base;
    } while (value != 0);
    return s;
}

struct Conversion {
    bool left = false;
    bool zero = false;
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
};

void Pad(std::u16string& out, std::u16string_view body, const Conversion& conv, std::u16string_view sign = {}) {
    const std::size_t len = body.size() + sign.size();
    const std::size_t fill = conv.width > len ? conv.width - len : 0;
    if (conv.left) {
        out += sign;
        out += body;
        out.append(fill, u' ');
    } else if (conv.zero) {
        out += sign;
        out.append(fill, u'0');
        out += body;
    } else {
        out.append(fill, u' ');
        out += sign;
        out += body;
    }
}

}  // namespace

std::u16string AnsiToWide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        int extra = 0;
        char32_t cp = 0;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0 && b >= 0xC2) {
            extra = 1;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0 && b <= 0xF4) {
            extra = 3;
            cp = b & 0x07;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        bool ok = i + static_cast<std::size_t>(extra) < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((c & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (c & 0x3F);
        }
        // Reject overlong forms, surrogates and values above U+10FFFF.
        if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                   (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        AppendCodePoint(out, cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::string WideToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::u16string FormatW(std::u16string_view format, std::initializer_list<FmtArg> args) {
    std::u16string out;
    auto next = args.begin();
    std::size_t i = 0;
    while (i < format.size()) {
        const char16_t c = format[i++];
        if (c != u'%') {
            out.push_back(c);
            continue;
        }
        Conversion conv;
        for (; i < format.size(); ++i) {
            if (format[i] == u'-')
                conv.left = true;
            else if (format[i] == u'0')
                conv.zero = true;
            else
                break;
        }
        while (i < format.size() && format[i] >= u'0' && format[i] <= u'9')
            conv.width = conv.width * 10 + static_cast<std::size_t>(format[i++] - u'0');
        if (i < format.size() && format[i] == u'.') {
            conv.hasPrecision = true;
            ++i;
            while (i < format.size() && format[i] >= u'0' && format[i] <= u'9')
                conv.precision = conv.precision * 10 + static_cast<std::size_t>(format[i++] - u'0');
        }
        if (i >= format.size()) break;
        const char16_t type = format[i++];
        if (type == u'%') {
            out.push_back(u'%');
            continue;
        }
        if (next == args.end()) continue;
        const FmtArg& arg = *next++;
        switch (type) {
            case u'd':
            case u'i': {
                const auto v = static_cast<std::int32_t>(static_cast<std::uint32_t>(arg.Number()));
                const std::uint64_t magnitude =
                    v < 0 ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(v)) : static_cast<std::uint64_t>(v);
                Pad(out, Digits(magnitude, 10, false), conv, v < 0 ? u"-" : u"");
                break;
            }
            case u'u':
            case u'x':
            case u'X': {
                const auto v = static_cast<std::uint32_t>(arg.Number());
                Pad(out, Digits(v, type == u'u' ? 10 : 16, type == u'X'), conv);
                break;
            }
            case u'c': {
                const char16_t ch = static_cast<char16_t>(arg.Number());
                Pad(out, std::u16string_view(&ch, 1), conv);
                break;
            }
            case u's': {
                std::u16string_view text = arg.Text();
                if (conv.hasPrecision && text.size() > conv.precision) text = text.substr(0, conv.precision);
                Conversion noZero = conv;
                noZero.zero = false;
                Pad(out, text, noZero);
                break;
            }
            default:
                break;  // an unknown conversion consumes its argument and prints nothing
        }
    }
    return out;
}
