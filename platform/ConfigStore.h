#pragma once

#include "IConfigStore.h"

#include <boost/property_tree/ptree.hpp>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ZAV {

class ILogger;

// The settings file held as a property tree, the file being the tree's persistent copy.
//
// Thread safety: m_mutex guards the tree, the path, the utility and the file itself, so a
// read never sees half a write and two writers never interleave their saves. A write saves a
// modified copy and swaps it in only after the save succeeded: a failed write leaves both the
// file and what reads return unchanged.
class ConfigStore : public IConfigStore {
public:
    explicit ConfigStore(ILogger& logger, std::string componentName = "ConfigStore");

    bool getBoolValue(const std::string& sectionId, const std::string& path) override;
    int getIntValue(const std::string& sectionId, const std::string& path) override;
    std::string getStringValue(const std::string& sectionId, const std::string& path) override;

    void setBoolValue(const std::string& attributeName, const std::string& sectionId,
                      const std::string& path, bool value) override;
    void setIntValue(const std::string& attributeName, const std::string& sectionId,
                     const std::string& path, int value) override;
    void setStringValue(const std::string& attributeName, const std::string& sectionId,
                        const std::string& path, const std::string& value) override;
    void setValues(const std::string& attributeName,
                   const std::vector<ConfigValue>& values) override;

    void setConfigStoreUtility(std::shared_ptr<IConfigStoreUtility> utility) override;
    bool initialise(const std::string& path, ConfigDefaults defaults) override;

private:
    std::string readText(const std::string& sectionId, const std::string& path);
    void writeText(const std::string& attributeName, const std::vector<ConfigValue>& values);
    void storeText(const std::string& attributeName, const std::vector<ConfigValue>& values);

    ILogger& m_logger;
    std::string m_componentName;
    std::mutex m_mutex;
    std::shared_ptr<IConfigStoreUtility> m_utility; // guarded by m_mutex
    std::string m_path;                             // guarded by m_mutex
    boost::property_tree::ptree m_tree;             // guarded by m_mutex
    bool m_loaded = false;                          // guarded by m_mutex
};

} // namespace ZAV
