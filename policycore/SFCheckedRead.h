#pragma once

// Reads values from archive text that comes from outside (command payloads and replies) with
// the checking reader: list counts are limited to what the text can hold and a string's stored
// length is checked before boost sizes the string to it, so damaged or hostile text fails with
// an archive_exception instead of allocating or crashing. Narrow and wide archive text alike.

#include "SFSerialization.h"
#include "SFTextArchive.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/serialization/string.hpp>

#include <cstddef>
#include <sstream>
#include <string>
#include <type_traits>

namespace StatefulFirewall {

namespace detail {

template <class T> void readCheckedValue(SFTextIArchive& archive, std::istringstream& in,
                                         std::size_t size, T& value)
{
    if constexpr (std::is_same_v<T, std::string>) {
        const std::streampos start = in.tellg();
        std::size_t length = 0;
        if (!(in >> length) || length > size)
            throw boost::archive::archive_exception(
                boost::archive::archive_exception::input_stream_error);
        in.seekg(start);
    }
    archive >> value;
}

} // namespace detail

template <class... T> void readCheckedArchive(const std::string& data, T&... values)
{
    std::istringstream in(data);
    SFTextIArchive archive(in);
    limitListCountsToInput(archive, data.size());
    (detail::readCheckedValue(archive, in, data.size(), values), ...);
}

} // namespace StatefulFirewall
