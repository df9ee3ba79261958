#pragma once

// The platform configuration store: reads and writes the settings file by property-tree path
// (section name, dot, key). Every section element carries an attribute naming its id; every
// access names the id it expects, so a path into the wrong section is refused.

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ZAV {

class IConfigStoreUtility;

// Section id -> full path -> default text.
using ConfigDefaults = std::map<std::string, std::map<std::string, std::string>>;

// One setting of a write of several: the id its section is expected to have, the full path and
// the text.
struct ConfigValue {
    std::string sectionId;
    std::string path;
    std::string text;
};

class IConfigStore {
public:
    virtual ~IConfigStore() = default;

    // Reads throw FMPException when the key is missing, the section's id differs, or the text
    // does not convert as a whole.
    virtual bool getBoolValue(const std::string& sectionId, const std::string& path) = 0;
    virtual int getIntValue(const std::string& sectionId, const std::string& path) = 0;
    virtual std::string getStringValue(const std::string& sectionId, const std::string& path) = 0;

    // Writes are on disk when they return; they throw FMPException on failure and then leave
    // the store as it was. A value the file cannot hold (a NUL, a control character other than
    // tab, LF and CR, a space at its end) is refused so; initialise takes no file holding one.
    virtual void setBoolValue(const std::string& attributeName, const std::string& sectionId,
                              const std::string& path, bool value) = 0;
    virtual void setIntValue(const std::string& attributeName, const std::string& sectionId,
                             const std::string& path, int value) = 0;
    virtual void setStringValue(const std::string& attributeName, const std::string& sectionId,
                                const std::string& path, const std::string& value) = 0;
    // Writes every value in one save, refused as the writes above for any one of them: all of
    // them are on disk when it returns, or none is and the store is as it was.
    virtual void setValues(const std::string& attributeName,
                           const std::vector<ConfigValue>& values) = 0;

    virtual void setConfigStoreUtility(std::shared_ptr<IConfigStoreUtility> utility) = 0;

    // Loads the file, fills the keys it lacks from the defaults and saves if any were added.
    // False when the file cannot be read or parsed, holds none of the default sections, or
    // tags a section with another id.
    virtual bool initialise(const std::string& path, ConfigDefaults defaults) = 0;
};

} // namespace ZAV
