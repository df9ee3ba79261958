#include "SFHelperUtils.h"

#include "IZAVUtils.h"
#include "SFException.h"
#include "SFResultCodes.h"

#include <utility>

namespace StatefulFirewall {

SFHelperUtils::SFHelperUtils(ZAV::ILogger& logger, std::shared_ptr<ZAV::IZAVUtils> utils)
    : m_logger(logger), m_zavUtils(std::move(utils)), m_componentName("SFHelperUtils")
{
}

// The runner has already logged the command line, status and stderr of a failure; the caller
// adds its own context when it catches the exception, so nothing is logged here.
int SFHelperUtils::executeSystemCommand(std::vector<std::string> argv,
                                        const std::map<int, bool>* exitStatusTable)
{
    if (!m_zavUtils->runCommand(argv, exitStatusTable))
        throw SFException(SF_SYSTEM_COMMAND_FAILED, "Failed to execute system command");
    return 0;
}

int SFHelperUtils::readSystemCommandOutput(std::vector<std::string> argv,
                                           const std::map<int, bool>* exitStatusTable,
                                           int* pipeFds)
{
    const std::vector<std::string> command(argv);
    if (!m_zavUtils->runCommandWithOutput(command, exitStatusTable, pipeFds))
        throw SFException(SF_SYSTEM_COMMAND_FAILED, "Failed to read system command output");
    return 0;
}

int SFHelperUtils::runSystemCommandForAnswer(std::vector<std::string> argv, std::string& errorText)
{
    int status = -1;
    if (!m_zavUtils->runCommandForAnswer(argv, status, errorText))
        throw SFException(SF_SYSTEM_COMMAND_FAILED, "Failed to execute system command");
    return status;
}

} // namespace StatefulFirewall
