// Texts written into the fixed fields of the published records.
#pragma once

#include <cstddef>
#include <string>

#include "win32.h"

namespace provider {

// Copies `text` into a fixed narrow field, cut to fit with its terminating
// zero; the rest of the field is zero.
void CopyField(char* field, std::size_t size, const std::string& text);

// The same into a UTF-16 field, decoding UTF-8 as the system's narrow code
// page does (a byte that does not decode becomes U+FFFD); a surrogate pair
// that does not fit before the terminating zero is left out whole.
void CopyWideField(WCHAR* field, std::size_t size, const std::string& text);

}  // namespace provider
