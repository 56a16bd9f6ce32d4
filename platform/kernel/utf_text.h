// UTF-8 / UTF-16 conversion shared by the registry file reader and the
// narrow (A) Win32 functions.
#pragma once

#include <string>
#include <string_view>

namespace sim {

// Decodes strict UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF). On failure returns false and the offset of the bad byte.
bool DecodeUtf8Strict(std::string_view text, std::u16string* out, size_t* errorOffset);

}  // namespace sim
