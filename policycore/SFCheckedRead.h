#pragma once

// Reads values from archive text that comes from outside (command payloads and replies, the
// stores) with the checking reader (SFTextArchive.h): the signature is checked before boost
// reads the header, list counts and string lengths are limited to what the text can hold, so
// damaged or hostile text fails with an archive_exception instead of allocating or crashing.
// Narrow and wide archive text alike.

#include "SFArchiveSignature.h"
#include "SFSerialization.h"
#include "SFTextArchive.h"

#include <boost/serialization/string.hpp>

#include <sstream>
#include <string>

namespace StatefulFirewall {

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
