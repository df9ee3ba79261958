#pragma once

// The narrow and the wide text output archive that a request or a response offers over its
// custom data. Each is created on first use: an archive holding only its header would travel
// as data whose first read fails, so data that nobody wrote must not exist.
//
// Not copyable (the archives point into the streams); used by one thread at a time.

#include <boost/archive/text_oarchive.hpp>
#include <boost/archive/text_woarchive.hpp>

#include <memory>
#include <sstream>
#include <string>

namespace ZAV {

class CommandOutputArchives {
public:
    CommandOutputArchives();
    ~CommandOutputArchives();
    CommandOutputArchives(const CommandOutputArchives&) = delete;
    CommandOutputArchives& operator=(const CommandOutputArchives&) = delete;

    boost::archive::text_oarchive& narrow();
    boost::archive::text_woarchive& wide();

    // True when something was written after the archive's header.
    bool narrowWritten() const;
    bool wideWritten() const;

    // The archive text as it travels: narrow bytes as written, wide text as UTF-8. Throws
    // FMPException when the text cannot travel (wide text that is no Unicode, or a stream that
    // failed while an item was written, which leaves the archive cut short).
    std::string narrowBytes() const;
    std::string wideBytes() const;

private:
    // Mutable for tellp(), which asks where the stream is without changing what it holds.
    mutable std::ostringstream m_narrowStream;
    std::unique_ptr<boost::archive::text_oarchive> m_narrow;
    std::streamoff m_narrowHeader = 0; // length of the header boost wrote at creation
    mutable std::wostringstream m_wideStream;
    std::unique_ptr<boost::archive::text_woarchive> m_wide;
    std::streamoff m_wideHeader = 0;
};

} // namespace ZAV
