#pragma once

// Readers over the custom data of a received request or response. The data keeps the form it
// travelled in (dataKind 1 narrow archive text, 2 wide archive text as UTF-8); both views are
// made from it on first use:
// - the narrow view reads the bytes as they are;
// - the wide view reads UTF-8 wide data decoded, and narrow data widened byte by byte, which is
//   only faithful for 7-bit data, so for other narrow data it is not offered.
//
// The views are boost's own readers, which size strings and collections from the numbers in
// the data: readers of data from another process take bytes() or wideText() into a reader
// that bounds them instead (the daemon's and the tool's checking reader).
//
// Not copyable; used by one thread at a time.

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_wiarchive.hpp>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

namespace ZAV {

class CommandInputArchives {
public:
    CommandInputArchives();
    ~CommandInputArchives();
    CommandInputArchives(const CommandInputArchives&) = delete;
    CommandInputArchives& operator=(const CommandInputArchives&) = delete;

    // Replaces the data and drops the views made so far.
    void assign(int32_t dataKind, std::string bytes);

    bool hasData() const { return !m_bytes.empty(); }
    int32_t dataKind() const { return m_dataKind; }
    const std::string& bytes() const { return m_bytes; }

    // Null without data. Creating a view reads the archive header, which throws
    // boost::archive::archive_exception when the data is no archive.
    boost::archive::text_iarchive* narrow();
    // Null without data or when the data cannot be read wide (above).
    boost::archive::text_wiarchive* wide();
    // The text the wide view reads; false without data or when the data cannot be read wide.
    // For readers that bring their own (checking) archive.
    bool wideText(std::wstring& text) const;

private:
    int32_t m_dataKind = 0;
    std::string m_bytes;
    std::unique_ptr<std::istringstream> m_narrowStream;
    std::unique_ptr<boost::archive::text_iarchive> m_narrow;
    std::unique_ptr<std::wistringstream> m_wideStream;
    std::unique_ptr<boost::archive::text_wiarchive> m_wide;
};

} // namespace ZAV
