#pragma once

#include "IHelperUtils.h"

#include <memory>
#include <string>

namespace ZAV {
class ILogger;
class IZAVUtils;
} // namespace ZAV

namespace StatefulFirewall {

// Runs commands through the platform's process runner and reports a failure as SFException.
// Holds the logger by reference (the caller keeps it alive) and shares the runner. Keeps no
// state of its own, so it is as thread-safe as the runner.
class SFHelperUtils : public IHelperUtils {
public:
    SFHelperUtils(ZAV::ILogger& logger, std::shared_ptr<ZAV::IZAVUtils> utils);

    int executeSystemCommand(std::vector<std::string> argv,
                             const std::map<int, bool>* exitStatusTable) override;
    int readSystemCommandOutput(std::vector<std::string> argv,
                                const std::map<int, bool>* exitStatusTable,
                                int* pipeFds) override;
    int runSystemCommandForAnswer(std::vector<std::string> argv, std::string& errorText) override;

private:
    ZAV::ILogger& m_logger;
    std::shared_ptr<ZAV::IZAVUtils> m_zavUtils;
    std::string m_componentName;
};

} // namespace StatefulFirewall
