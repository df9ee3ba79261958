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

#include <boost/thread/lock_guard.hpp>

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
        applyCommonPolicySettings(policy);
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

void SFCommonPolicyRequestImpl::applyCommonPolicySettings(ZAV::CommonExtPolicyObj& policy)
{
    boost::lock_guard<boost::mutex> lock(m_enforceCommonPolicyMutex);
    IConfigController& config = m_configController;
    // Result codes are not looked at: a value already set or a failed write leaves the stored
    // value, which the steps below read back.
    config.setLogPath(policy.m_logPath);
    config.enableActivityLogging(policy.m_activityLogging);
    config.enableLimitActivityLogSize(policy.m_limitActivityLogSize);
    config.setFwActivityLogSize(policy.m_activityLogSize);
    config.enableDebugLoggingForFirewall(policy.m_debugLogging);
    config.enableLimitDebugLogSize(policy.m_limitDebugLogSize);
    config.setDebugLogSize(policy.m_debugLogSize);
    config.enableSendingEventsToYal(policy.m_sendEventsToServer);
    config.enableEventLogging(policy.m_eventLogging);
    config.setYalLogLevelForFW(policy.m_serverLogLevel);

    if (config.isActivityLoggingEnabled()) {
        const int sizeMiB = config.isLimitActivityLogSizeEnabled()
                                ? config.getFwActivityLogSize()
                                : config.getDefaultMaximumLogFileSize();
        resizeLogger(m_logger, config, 5, sizeMiB);
    }
    const int level = config.isDebugLoggingEnabledForFirewall() ? 6 : 5;
    config.setFwLogLevel(level);
    setLoggerLevel(m_logger, level, true);
}

void SFCommonPolicyRequestImpl::resizeLogger(ZAV::ILogger& logger, IConfigController& config,
                                             int level, int sizeMiB)
{
    auto* platformLogger = dynamic_cast<ZAV::FMPLogger*>(&logger);
    if (platformLogger == nullptr)
        return;
    if (sizeMiB <= 0)
        sizeMiB = config.getDefaultMaximumLogFileSize();
    ZAV::loggerConfig settings;
    settings.logLevel = level;
    settings.logTarget = 0;
    settings.maxFileSize = megabytesToBytes(sizeMiB);
    // The count comes from the settings file: a product past 64 bits keeps the largest total.
    const int64_t rotatedFiles = config.getDefaultRotatedLogFileCount();
    if (__builtin_mul_overflow(settings.maxFileSize, rotatedFiles, &settings.maxTotalSize))
        settings.maxTotalSize = rotatedFiles < 0 ? INT64_MIN : INT64_MAX;
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
