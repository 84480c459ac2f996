// Narrow and wide text conversion on Linux, where the system's narrow code
// page is UTF-8.
#include <string>
#include <string_view>

#include "win32.h"

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

std::u16string DecodeUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
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
        bool ok = i + extra < text.size();
        for (std::size_t k = 1; ok && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values above U+10FFFF are not text.
        if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                   (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        AppendCodePoint(out, cp);
        i += extra + 1;
    }
    return out;
}

std::string EncodeUtf8(std::u16string_view text) {
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

template <class Out, class In>
int Deliver(const Out& converted, typename Out::value_type* out, int capacity) {
    const auto n = static_cast<int>(converted.size());
    if (capacity == 0) return n;
    if (out == nullptr || capacity < n) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    converted.copy(out, converted.size());
    return n;
}

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
    if ((CodePage != CP_ACP && CodePage != CP_UTF8) || lpMultiByteStr == nullptr || cbMultiByte < -1 ||
        cchWideChar < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string_view text = cbMultiByte == -1 ? std::string_view(lpMultiByteStr, std::char_traits<char>::length(lpMultiByteStr) + 1)
                                                    : std::string_view(lpMultiByteStr, static_cast<std::size_t>(cbMultiByte));
    return Deliver<std::u16string, std::string_view>(DecodeUtf8(text), lpWideCharStr, cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD, LPCWCH lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCCH lpDefaultChar, BOOL* lpUsedDefaultChar) {
    if ((CodePage != CP_ACP && CodePage != CP_UTF8) || lpWideCharStr == nullptr || cchWideChar < -1 ||
        cbMultiByte < 0 || lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string_view text =
        cchWideChar == -1 ? std::u16string_view(lpWideCharStr, std::char_traits<char16_t>::length(lpWideCharStr) + 1)
                          : std::u16string_view(lpWideCharStr, static_cast<std::size_t>(cchWideChar));
    return Deliver<std::string, std::u16string_view>(EncodeUtf8(text), lpMultiByteStr, cbMultiByte);
}
