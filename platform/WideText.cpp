#include "WideText.h"

#include "ChannelErrors.h"
#include "FMPException.h"

#include <cstdint>

namespace ZAV {

static_assert(sizeof(wchar_t) == 4, "wide archive characters are UTF-32 code units on this platform");

std::string wideToUtf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<uint32_t>(text[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            throw FMPException(kWideTextNotEncodable,
                               "Wide archive text holds character " + std::to_string(c) +
                                   " at position " + std::to_string(i) +
                                   ", which is no Unicode character (a non-ASCII byte written "
                                   "through a wide archive); nothing was sent");
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool utf8ToWide(const std::string& bytes, std::wstring& text)
{
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        uint32_t c = 0;
        std::size_t extra = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            extra = 1;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            extra = 2;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07;
            extra = 3;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (bytes.size() - i - 1 < extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past the last code point are not UTF-8.
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        out.push_back(static_cast<wchar_t>(c));
        i += extra + 1;
    }
    text = std::move(out);
    return true;
}

bool asciiToWide(const std::string& bytes, std::wstring& text)
{
    std::wstring out;
    out.reserve(bytes.size());
    for (char b : bytes) {
        if (static_cast<unsigned char>(b) >= 0x80)
            return false;
        out.push_back(static_cast<wchar_t>(b));
    }
    text = std::move(out);
    return true;
}

} // namespace ZAV
