#pragma once

// Command payloads as a peer of the platform service writes and reads them: one value in a
// narrow text archive, and the common policy record.

#include "CommonExtPolicyObj.h"

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>

#include <sstream>
#include <string>

namespace TestSupport {

template <typename T> std::string narrowArchive(const T& value)
{
    std::ostringstream out;
    {
        boost::archive::text_oarchive archive(out);
        archive << value;
    }
    return out.str();
}

// Throws boost's archive_exception when data is not such a record.
inline ZAV::CommonExtPolicyObj readPolicyArchive(const std::string& data)
{
    std::istringstream in(data);
    boost::archive::text_iarchive archive(in);
    ZAV::CommonExtPolicyObj policy;
    archive >> policy;
    return policy;
}

} // namespace TestSupport
