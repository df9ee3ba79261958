#pragma once

// Conversion of the platform's wide texts to the narrow UTF-8 texts its messages carry.

#include <string>

namespace ZAV {

// UTF-8 of every character; a value that is no Unicode character (a surrogate, above
// U+10FFFF) becomes '?'. Independent of the process locale.
std::string wstringToString(const std::wstring& text);

} // namespace ZAV
