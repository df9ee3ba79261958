#pragma once

#include "IConfigStoreUtility.h"

#include <string>

namespace ZAV {

class ILogger;

// Reads and writes the settings file as XML, indented when that fits. Stateless apart from the
// logger, so it is thread-safe; the store serialises writes to one file.
class ConfigStoreUtility : public IConfigStoreUtility {
public:
    explicit ConfigStoreUtility(ILogger& logger);

    boost::property_tree::ptree readSettings(const std::string& path) override;
    void writeSettings(const std::string& path, const boost::property_tree::ptree& tree) override;

private:
    ILogger& m_logger;
    std::string m_componentName;
};

} // namespace ZAV
