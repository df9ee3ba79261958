#pragma once

// Reads the values of a reply from the daemon with the checking reader (SFCheckedRead.h), so a
// stored length or count larger than the reply fails with an archive_exception instead of
// allocating. Each returns false, values untouched, when the reply carries no data (or, wide,
// none that can be read wide).

#include "CommandResponse.h"
#include "SFCheckedRead.h"

#include <string>

namespace StatefulFirewall {

template <class... T> bool readNarrowReply(const ZAV::CommandResponse& response, T&... values)
{
    if (!response.hasCustomData())
        return false;
    readCheckedArchive(response.getCustomData(), values...);
    return true;
}

template <class... T> bool readWideReply(const ZAV::CommandResponse& response, T&... values)
{
    std::wstring text;
    if (!response.getWideCustomData(text))
        return false;
    readCheckedWideArchive(text, values...);
    return true;
}

} // namespace StatefulFirewall
