#include "RecordText.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace provider {

void CopyField(char* field, std::size_t size, const std::string& text) {
    if (size == 0) return;
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

void CopyWideField(WCHAR* field, std::size_t size, const std::string& text) {
    if (size == 0) return;
    std::fill(field, field + size, u'\0');
    // Interface names are at most 15 bytes; anything longer than an int can
    // count would not fit the field anyway.
    const int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX / 2));
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return;
    std::vector<WCHAR> wide(static_cast<std::size_t>(needed));
    if (MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed) != needed) return;
    std::size_t n = std::min(wide.size(), size - 1);
    if (n > 0 && n < wide.size() && wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) --n;
    std::copy_n(wide.begin(), n, field);
}

}  // namespace provider
