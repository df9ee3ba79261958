#include "SFCommonPolicyRequestImpl.h"

#include "CommandRequest.h"
#include "CommandResponse.h"
#include "CommonExtPolicyObj.h"
#include "FMPLogger.h"
#include "ICommandFMCallback.h"
#include "IConfigController.h"
#include "SFCheckedRead.h"
#include "ILogger.h"
#include "SFException.h"
#include "SFPrefKeys.h"
#include "SFResultCodes.h"
#include "SFSettingsText.h"

#include <boost/thread/lock_guard.hpp>

#include <algorithm>
#include <cstdint>
#include <exception>

namespace StatefulFirewall {

boost::mutex SFCommonPolicyRequestImpl::m_enforceCommonPolicyMutex;

namespace {

constexpr int GET_COMMON_POLICY = 1000;
constexpr int PLATFORM_SERVICE_FM_ID = 1;

} // namespace

SFCommonPolicyRequestImpl::SFCommonPolicyRequestImpl(ZAV::ILogger& logger,
                                                     IConfigController& config)
    : m_componentName("CommonPolicyRequest"), m_logger(logger), m_configController(config)
{
}

bool SFCommonPolicyRequestImpl::getCommonPolicySettings(ZAV::ICommandFMCallback& callback,
                                                        const int& fmId,
                                                        ZAV::IFMCommClient& client)
{
    try {
        ZAV::CommandRequest request(GET_COMMON_POLICY, PLATFORM_SERVICE_FM_ID);
        ZAV::CommandResponse response;
        // No lock here: the send waits for the command client's thread, which may be applying
        // an update under m_enforceCommonPolicyMutex.
        callback.sendCommandRequest(request, response, fmId, client, true);
        log(6, "Successfully sent request to get Common Policy settings");
        if (!response.getCommandCompleted() || !response.getCommandStatus())
            return false;
        ZAV::CommonExtPolicyObj policy;
        if (!response.getCustomData().empty())
            readCheckedArchive(response.getCustomData(), policy);
        if (!applyCommonPolicySettings(policy))
            return false;
        log(5, "Successfully fetched and applied the Common Policy settings");
        return true;
    } catch (const SFException& e) {
        log(2, "Unknown error caught when sending request to get Common Policy settings: " +
                   e.message);
    } catch (const std::exception& e) {
        log(2, std::string("Unknown error caught when sending request to get Common Policy "
                           "settings: ") + e.what());
    } catch (...) {
        log(2, "Unknown error caught when sending request to get Common Policy settings");
    }
    return false;
}

bool SFCommonPolicyRequestImpl::applyCommonPolicySettings(ZAV::CommonExtPolicyObj& policy)
{
    // Checked before anything is applied: the logging settings never hold half a policy, and
    // the sender learns the policy was refused. The path is not logged (long or unprintable).
    const std::string fault = logPathFault(policy.m_logPath);
    if (!fault.empty()) {
        log(2, std::string("Common policy refused, nothing of it applied: its log path (") +
                   SF_KEY_LOG_PATH + ") " + fault);
        return false;
    }
    boost::lock_guard<boost::mutex> lock(m_enforceCommonPolicyMutex);
    IConfigController& config = m_configController;
    SFLoggingSettings settings;
    settings.logPath = policy.m_logPath;
    settings.activityLogging = policy.m_activityLogging;
    settings.limitActivityLogSize = policy.m_limitActivityLogSize;
    settings.activityLogSizeMiB = policyLogSize("product", policy.m_activityLogSize);
    settings.debugLogging = policy.m_debugLogging;
    settings.limitDebugLogSize = policy.m_limitDebugLogSize;
    settings.debugLogSizeMiB = policyLogSize("debug", policy.m_debugLogSize);
    settings.sendEventsToYal = policy.m_sendEventsToServer;
    settings.eventLogging = policy.m_eventLogging;
    settings.yalLogLevel = policy.m_serverLogLevel;
    settings.firewallLogLevel = policy.m_debugLogging ? 6 : 5;
    // One save for all of it: a policy the settings cannot take whole (a read-only folder, a
    // file that would pass its bound) leaves every setting as it was, and the logger too. The
    // settings logged which of them could not be stored and why.
    const int result = config.setLoggingSettings(settings);
    if (result != SF_SUCCESS && result != SF_PREF_ALREADY_SET) {
        log(2, "Common policy refused, nothing of it applied: its settings could not be stored "
               "(result " + std::to_string(result) + ")");
        return false;
    }

    if (config.isActivityLoggingEnabled()) {
        const int sizeMiB = config.isLimitActivityLogSizeEnabled()
                                ? config.getFwActivityLogSize()
                                : config.getDefaultMaximumLogFileSize();
        resizeLogger(m_logger, config, 5, sizeMiB);
    }
    setLoggerLevel(m_logger, settings.firewallLogLevel, true);
    return true;
}

std::optional<int> SFCommonPolicyRequestImpl::policyLogSize(const char* which, int sizeMiB)
{
    // Refused here, before the settings see it, so the refusal names the policy; the settings
    // would refuse the whole policy for it.
    if (isValidLogSizeMiB(sizeMiB))
        return sizeMiB;
    log(2, std::string("Common policy ") + which + " log size " + std::to_string(sizeMiB) +
               " MB refused: it must be " + std::to_string(SF_MIN_LOG_SIZE_MIB) + " to " +
               std::to_string(SF_MAX_LOG_SIZE_MIB) + " MB; the stored size is kept");
    return std::nullopt;
}

void SFCommonPolicyRequestImpl::resizeLogger(ZAV::ILogger& logger, IConfigController& config,
                                             int level, int sizeMiB)
{
    auto* platformLogger = dynamic_cast<ZAV::FMPLogger*>(&logger);
    if (platformLogger == nullptr)
        return;
    if (!isValidLogSizeMiB(sizeMiB))
        sizeMiB = config.getDefaultMaximumLogFileSize();
    // Both within the log bounds whatever the settings hold, so the total is positive and far
    // from overflowing 64 bits.
    sizeMiB = std::clamp(sizeMiB, SF_MIN_LOG_SIZE_MIB, SF_MAX_LOG_SIZE_MIB);
    const int rotatedFiles = std::clamp(config.getDefaultRotatedLogFileCount(),
                                        SF_MIN_ROTATED_LOG_FILES, SF_MAX_ROTATED_LOG_FILES);
    ZAV::loggerConfig settings;
    settings.logLevel = level;
    settings.logTarget = 0;
    settings.maxFileSize = megabytesToBytes(sizeMiB);
    settings.maxTotalSize = settings.maxFileSize * rotatedFiles;
    settings.auxiliarySize = platformLogger->getAuxiliarySize();
    settings.fileLogging = platformLogger->getFileLogging();
    settings.facility = 0;
    settings.append = true;
    platformLogger->setLoggerSettings(&settings);
}

void SFCommonPolicyRequestImpl::setLoggerLevel(ZAV::ILogger& logger, int level, bool both)
{
    if (auto* platformLogger = dynamic_cast<ZAV::FMPLogger*>(&logger)) {
        platformLogger->setLogLevel(level);
        if (both)
            platformLogger->setSecondaryLogLevel(level);
    }
}

int SFCommonPolicyRequestImpl::loggerLevel(ZAV::ILogger& logger)
{
    auto* platformLogger = dynamic_cast<ZAV::FMPLogger*>(&logger);
    return platformLogger != nullptr ? platformLogger->getLogLevel() : 5;
}

void SFCommonPolicyRequestImpl::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_componentName, message);
}

} // namespace StatefulFirewall
