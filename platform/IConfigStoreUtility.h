#pragma once

// File I/O of the configuration store, apart from its tree logic.

#include <boost/property_tree/ptree.hpp>

#include <string>

namespace ZAV {

// The code of the FMPException writeSettings throws for a tree whose file would be larger
// than the reader takes (kMaxCompactSettingsBytes written without indentation).
inline constexpr int kSettingsTooLarge = 3;

class IConfigStoreUtility {
public:
    virtual ~IConfigStoreUtility() = default;

    // Parses the settings file; throws FMPException when it cannot be read or parsed, or when
    // writeSettings would refuse its tree: every tree it returns can be written again. Text
    // outside the sections holds no setting and is left out of the tree.
    virtual boost::property_tree::ptree readSettings(const std::string& path) = 0;

    // Replaces the settings file atomically (temporary file, mode 0600, fsync, rename); throws
    // FMPException on failure and leaves the old file in place. The text is parsed back before
    // the file is touched: a tree holding what the file cannot carry, text that would not read
    // back as the tree, or a file larger than readSettings takes (code kSettingsTooLarge) is
    // refused so. The file is indented when that fits, written without indentation otherwise.
    virtual void writeSettings(const std::string& path, const boost::property_tree::ptree& tree) = 0;
};

} // namespace ZAV
