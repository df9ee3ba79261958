#pragma once

// The signature check in front of every reader of archive text from another process.
//
// boost's text readers take the signature's stored length from the text and size a string to
// it before comparing: the 38 bytes "1500000000 serialization::archive 18 7" made a reader
// allocate and zero-fill 1.5 GB. Checking the exact prefix first leaves boost no stored length
// to trust in the header. The policy core's checking reader and the platform service share it,
// which is why it lives here, header-only: the platform links nothing above include/.

#include <boost/archive/archive_exception.hpp>

#include <cstddef>

namespace StatefulFirewall {

// What boost writes before the library version.
inline constexpr const char SF_ARCHIVE_SIGNATURE_PREFIX[] = "22 serialization::archive ";

// Throws archive_exception(invalid_signature) unless text starts with the signature prefix.
// Text is any string of char or wchar_t.
template <class Text> void checkArchiveSignature(const Text& text)
{
    constexpr std::size_t length = sizeof(SF_ARCHIVE_SIGNATURE_PREFIX) - 1;
    bool matches = text.size() >= length;
    for (std::size_t i = 0; matches && i < length; ++i)
        matches = text[i] == static_cast<typename Text::value_type>(SF_ARCHIVE_SIGNATURE_PREFIX[i]);
    if (!matches)
        throw boost::archive::archive_exception(
            boost::archive::archive_exception::invalid_signature);
}

} // namespace StatefulFirewall
