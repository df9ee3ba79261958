#pragma once

// File I/O of the configuration store, apart from its tree logic.

#include <boost/property_tree/ptree.hpp>

#include <string>

namespace ZAV {

class IConfigStoreUtility {
public:
    virtual ~IConfigStoreUtility() = default;

    // Parses the settings file; throws FMPException when it cannot be read or parsed. Text
    // outside the sections holds no setting and is left out of the tree.
    virtual boost::property_tree::ptree readSettings(const std::string& path) = 0;

    // Replaces the settings file atomically (temporary file, mode 0600, fsync, rename); throws
    // FMPException on failure and leaves the old file in place. The text is parsed back before
    // the file is touched: a tree holding what the file cannot carry, or text that would not
    // read back as the tree, is refused so.
    virtual void writeSettings(const std::string& path, const boost::property_tree::ptree& tree) = 0;
};

} // namespace ZAV
