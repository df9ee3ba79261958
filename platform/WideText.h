#pragma once

// Conversions between the text of wide archives and the UTF-8 bytes it travels as.

#include <string>

namespace ZAV {

// The UTF-8 form of text. Throws FMPException(kWideTextNotEncodable) for a character that is no
// Unicode scalar value: a wide archive turns each non-ASCII byte of a std::string into
// 0xFFFFFFFF, and sending that would hand the reader text it cannot read back.
std::string wideToUtf8(const std::wstring& text);

// The wide text of UTF-8 bytes; false when they are not well-formed UTF-8.
bool utf8ToWide(const std::string& bytes, std::wstring& text);

// The wide text of bytes that are all 7-bit, each byte widened; false when one is not.
bool asciiToWide(const std::string& bytes, std::wstring& text);

} // namespace ZAV
