#pragma once

// Reads values from archive text that comes from outside (command payloads and replies, the
// stores) with the checking reader (SFTextArchive.h): the signature is checked before boost
// reads the header, list counts and string lengths are limited to what the text can hold, so
// damaged or hostile text fails with an archive_exception instead of allocating or crashing.
// Narrow and wide archive text alike.

#include "SFSerialization.h"
#include "SFTextArchive.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/serialization/string.hpp>

#include <cstddef>
#include <sstream>
#include <string>

namespace StatefulFirewall {

// What boost writes before the library version. Checked before the archive is made, so text
// that is no archive of ours is refused as such rather than read as one.
inline constexpr const char SF_ARCHIVE_SIGNATURE_PREFIX[] = "22 serialization::archive ";

// Throws archive_exception(invalid_signature) unless text starts with the signature prefix.
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

// Reads values, in order, from narrow archive text.
template <class... T> void readCheckedArchive(const std::string& data, T&... values)
{
    checkArchiveSignature(data);
    std::istringstream in(data);
    SFTextIArchive archive(in);
    limitListCountsToInput(archive, data.size());
    (archive >> ... >> values);
}

// Reads values, in order, from wide archive text.
template <class... T> void readCheckedWideArchive(const std::wstring& data, T&... values)
{
    checkArchiveSignature(data);
    std::wistringstream in(data);
    SFTextWIArchive archive(in);
    limitListCountsToInput(archive, data.size());
    (archive >> ... >> values);
}

} // namespace StatefulFirewall
