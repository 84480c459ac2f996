#include "WideText.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "win32.h"

namespace {

// The digits of a number, written backwards into a small buffer; returns a
// view of them.
struct DigitBuffer {
    char16_t text[24];
};

std::u16string_view Digits(std::uint64_t value, unsigned base, bool upper, DigitBuffer& buffer) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char16_t* end = buffer.text + std::size(buffer.text);
    char16_t* p = end;
    do {
        *--p = static_cast<char16_t>(digits[value % base]);
        value /= base;
    } while (value != 0);
    return std::u16string_view(p, static_cast<std::size_t>(end - p));
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

// One pass each way: the output is sized for the longest result (one UTF-16
// unit per byte; three bytes per unit) and cut to what was written.
std::u16string FieldText(const char* field, std::size_t size) {
    return AnsiToWide(std::string_view(field, strnlen(field, size)));
}

std::u16string AnsiToWide(std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    std::u16string out(text.size(), u'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                      static_cast<int>(out.size()));
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

std::string WideToUtf8(std::u16string_view text) {
    if (text.empty() || text.size() > INT_MAX / 3) return {};
    std::string out(text.size() * 3, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                      static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

std::u16string FormatW(std::u16string_view format, std::initializer_list<FmtArg> args) {
    std::u16string out;
    out.reserve(format.size() + 32);
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
                DigitBuffer buffer;
                Pad(out, Digits(magnitude, 10, false, buffer), conv, v < 0 ? u"-" : u"");
                break;
            }
            case u'u':
            case u'x':
            case u'X': {
                const auto v = static_cast<std::uint32_t>(arg.Number());
                DigitBuffer buffer;
                Pad(out, Digits(v, type == u'u' ? 10 : 16, type == u'X', buffer), conv);
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
            default: break;  // an unknown conversion consumes its argument and prints nothing
        }
    }
    return out;
}
