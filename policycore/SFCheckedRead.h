#pragma once

// Reads values from archive text that comes from outside (command payloads and replies, the
// stores) with the checking reader (SFTextArchive.h): the signature is checked before boost
// reads the header, list counts and string lengths are limited to what the text can hold and
// collections to the memory it allows (SFArchiveWeight.h), so damaged or hostile text fails
// with an archive_exception instead of allocating or crashing. The text is read in place.
// Narrow and wide archive text alike.

#include "SFArchiveSignature.h"
#include "SFSerialization.h"
#include "SFTextArchive.h"

#include <boost/serialization/string.hpp>

#include <istream>
#include <string>

namespace StatefulFirewall {

// Reads values, in order, from narrow archive text.
template <class... T> void readCheckedArchive(const std::string& data, T&... values)
{
    checkArchiveSignature(data);
    SFArchiveInput<char> input(data);
    std::istream in(&input);
    SFTextIArchive archive(in);
    limitListCountsToInput(archive, data.size());
    (archive >> ... >> values);
    archive.checkWeight();
}

// Reads values, in order, from wide archive text.
template <class... T> void readCheckedWideArchive(const std::wstring& data, T&... values)
{
    checkArchiveSignature(data);
    SFArchiveInput<wchar_t> input(data);
    std::wistream in(&input);
    SFTextWIArchive archive(in);
    limitListCountsToInput(archive, data.size());
    (archive >> ... >> values);
    archive.checkWeight();
}

} // namespace StatefulFirewall
