#include "SFConfigController.h"

#include "ILogger.h"
#include "IConfigStore.h"
#include "IConfigStoreUtility.h"
#include "SFConfigData.h"
#include "SFException.h"
#include "SFPrefKeys.h"
#include "SFResultCodes.h"
#include "SFSettingsText.h"

#include <algorithm>
#include <vector>

namespace StatefulFirewall {

namespace {

const char* const kAttribute = SF_SECTION_ATTRIBUTE;
const char* const kGlobal = SF_SECTION_GLOBAL_ID;
const char* const kLogging = SF_SECTION_LOGGING_ID;
constexpr int kNoChange = -1;

} // namespace

// One typed setter: where it writes, which change it raises and what it logs.
struct SFConfigController::TypedSetter {
    SetterKind kind;
    const char* sectionId;
    const char* path;
    int prefType; // kNoChange when the setter raises none
    const char* failureMessage;
    const char* sameValueMessage;
};

SFConfigController::SFConfigController(ZAV::ILogger& logger,
                                       std::unique_ptr<ZAV::IConfigStoreUtility> utility,
                                       std::unique_ptr<ZAV::IConfigStore> store)
    : m_componentName("ConfigController"), m_store(std::move(store)), m_logger(&logger)
{
    try {
        m_configData = std::make_unique<SFConfigData>(logger, std::move(utility), m_store);
    } catch (...) {
        // SFConfigData throws its fatal text as a std::string, the file system and the store
        // their own exceptions; all of them mean the daemon has no usable settings.
        m_logger->logMessage(2, m_componentName, "Failed to create config controller object.");
        throw "Failed to create config controller object.";
    }
}

SFConfigController::~SFConfigController() = default;

template <class T, class Read>
T SFConfigController::readOr(Read read, T fallback, const char* failureMessage)
{
    try {
        return read();
    } catch (const std::exception&) {
        m_logger->logMessage(2, m_componentName, failureMessage);
    } catch (const SFException&) {
        m_logger->logMessage(2, m_componentName, failureMessage);
    }
    return fallback;
}

// ---------------------------------------------------------------------------------------------
// Typed getters

#define SF_BOOL_GETTER(name, section, path, fallback, message)                                   \
    bool SFConfigController::name()                                                              \
    {                                                                                            \
        return readOr<bool>([&] { return m_store->getBoolValue(section, path); }, fallback,      \
                            message);                                                            \
    }
#define SF_INT_GETTER(name, section, path, fallback, message)                                    \
    int SFConfigController::name()                                                               \
    {                                                                                            \
        return readOr<int>([&] { return m_store->getIntValue(section, path); }, fallback,        \
                           message);                                                             \
    }

SF_BOOL_GETTER(getFwEnableStatus, kGlobal, SF_KEY_IS_FIREWALL_ENABLED, false,
               "Got prefs exception. Returning default firewall status")
SF_BOOL_GETTER(getFwRetainExistCLROption, kGlobal, SF_KEY_RETAIN_EXISTING_CLIENT_RULES, true,
               "Got prefs exception. Returning default value")
SF_BOOL_GETTER(getFwEnableIPspoofProtOption, kGlobal, SF_KEY_ENABLE_IP_SPOOF_PROTECTION, false,
               "Got prefs exception. Returning default value")
SF_BOOL_GETTER(getFwFTPinspectionOption, kGlobal, SF_KEY_USE_FTP_INSPECTION, true,
               "Got prefs exception. Returning default value")
SF_BOOL_GETTER(getShouldTrustLocalSubnet, kGlobal, SF_KEY_SHOULD_TRUST_LOCAL_SUBNET, true,
               "Got prefs exception. Returning default firewall status")
SF_INT_GETTER(getFwTCPConTimeout, kGlobal, SF_KEY_TCP_CON_TIMEOUT, 30,
              "Got prefs exception. Returning default mode")
SF_INT_GETTER(getFwUDPandICMPConTimeout, kGlobal, SF_KEY_UDP_ICMP_CON_TIMEOUT, 30,
              "Got prefs exception. Returning default mode")
SF_INT_GETTER(getAggregationTimeoutInterval, kGlobal, SF_KEY_AGGR_TIMEOUT_SECS, 300,
              "Got prefs exception. Returning default value")
SF_INT_GETTER(getReportingTimeoutInterval, kGlobal, SF_KEY_REPORTING_TIMEOUT_SECS, 300,
              "Got prefs exception. Returning default value")
SF_INT_GETTER(getUnsupportedProtocol, kGlobal, SF_KEY_UNSUPPORTED_PROTOCOL, 1,
              "Got prefs exception. Returning default Unsupported protocol value")
SF_INT_GETTER(getHealthCheckTimer, kGlobal, SF_KEY_HEALTH_CHECK_TIMER, 300,
              "Got prefs exception while getting health check interval. Returning default value")
SF_INT_GETTER(getFwLogLevel, kLogging, SF_KEY_FIREWALL_LOG_LEVEL, 5,
              "Got prefs exception. Returning default log level")
SF_INT_GETTER(getFwActivityLogSize, kLogging, SF_KEY_ACTIVITY_LOG_SIZE, 1,
              "Got prefs exception. Returning default log Size")
SF_INT_GETTER(getIptablesLogLevel, kLogging, SF_KEY_IPTABLES_RULE_LOG_LEVEL, 4,
              "Got prefs exception. Returning default log level")
SF_BOOL_GETTER(getCustomLogEnable, kLogging, SF_KEY_CUSTOM_LOG_ENABLE, true,
               "Got prefs exception. Returning default custom log status")
SF_BOOL_GETTER(isSendingEventsToYalEnabled, kLogging, SF_KEY_SEND_EVENTS_TO_YAL, true,
               "Unable to determine if sending events to Yal is enabled. Returning default value "
               "instead")

#undef SF_BOOL_GETTER
#undef SF_INT_GETTER

FW_MODE SFConfigController::getFwMode()
{
    const int mode = readOr<int>([&] { return m_store->getIntValue(kGlobal, SF_KEY_IS_REGULAR_OR_ADAPTIVE); },
                                 FW_MODE_REGULAR, "Got prefs exception. Returning default mode");
    if (mode == FW_MODE_REGULAR || mode == FW_MODE_ADAPTIVE)
        return static_cast<FW_MODE>(mode);
    m_logger->logMessage(6, m_componentName, "Invalid mode! Returning default mode");
    return FW_MODE_REGULAR;
}

std::string SFConfigController::getHashLimitUptoRate()
{
    // Returned as stored, an empty text included: the iptables driver checks the rate.
    return readOr<std::string>(
        [&] { return m_store->getStringValue(kGlobal, SF_KEY_HASH_LIMIT_UPTO_RATE); },
        SF_DEFAULT_HASH_LIMIT_UPTO_RATE, "Got prefs exception. Returning default value");
}

std::string SFConfigController::getLogPath()
{
    return readOr<std::string>([&] { return m_store->getStringValue(kLogging, SF_KEY_LOG_PATH); },
                               std::string(), "Unable to get the log path");
}

namespace {

// A path-like setting: an empty stored text falls back to the default too.
std::string readPathSetting(ZAV::IConfigStore& store, ZAV::ILogger& logger,
                            const std::string& component, const char* path, const char* fallback,
                            const char* emptyMessage)
{
    try {
        std::string value = store.getStringValue(SF_SECTION_GLOBAL_ID, path);
        if (!value.empty())
            return value;
        logger.logMessage(6, component, emptyMessage);
    } catch (const std::exception&) {
        logger.logMessage(2, component, "Caught unknown exception. Returning default val");
    }
    return fallback;
}

} // namespace

std::string SFConfigController::getFtpInspectionPorts()
{
    return readPathSetting(*m_store, *m_logger, m_componentName, SF_KEY_FTP_INSPECTION_PORTS,
                           SF_DEFAULT_FTP_INSPECTION_PORTS,
                           "Preference file returned null. Returning default val");
}

std::string SFConfigController::getRuleStorePath()
{
    return readPathSetting(*m_store, *m_logger, m_componentName, SF_KEY_RULE_STORE_PATH,
                           SF_DEFAULT_RULE_STORE_PATH,
                           "preference file returned null. Returning default val");
}

std::string SFConfigController::getTrustedIPStorePath()
{
    return readPathSetting(*m_store, *m_logger, m_componentName, SF_KEY_TRUSTED_IP_STORE_PATH,
                           SF_DEFAULT_TRUSTED_IP_STORE_PATH,
                           "Preference file returned null. Returning default val");
}

std::string SFConfigController::getZAVSocketPath()
{
    // A store exception reaches the caller: the daemon cannot start without its socket.
    std::string value = m_store->getStringValue(kGlobal, SF_KEY_ZAV_SOCKET_PATH);
    if (!value.empty())
        return value;
    m_logger->logMessage(2, m_componentName,
                         "Unable to get ZAV Socket Path. Returning default value instead");
    return SF_DEFAULT_ZAV_SOCKET_PATH;
}

// ---------------------------------------------------------------------------------------------
// Getters through the generic reads

#define SF_GENERIC_BOOL_GETTER(name, path, fallback, message)                                    \
    bool SFConfigController::name()                                                              \
    {                                                                                            \
        return readOr<bool>([&] { return getBooleanConfiguration(kLogging, path); }, fallback,   \
                            message);                                                            \
    }
#define SF_GENERIC_INT_GETTER(name, path, fallback, message)                                     \
    int SFConfigController::name()                                                               \
    {                                                                                            \
        return readOr<int>([&] { return getIntegerConfiguration(kLogging, path); }, fallback,    \
                           message);                                                             \
    }

SF_GENERIC_BOOL_GETTER(isActivityLoggingEnabled, SF_KEY_ENABLE_ACTIVITY_LOGGING, true,
                       "Unable to determine if activity logging is enabled. Returning default value")
SF_GENERIC_BOOL_GETTER(isLimitActivityLogSizeEnabled, SF_KEY_LIMIT_ACTIVITY_LOG_SIZE, true,
                       "Unable to determine if limit activity log size is enabled. Returning "
                       "default value instead")
SF_GENERIC_BOOL_GETTER(isDebugLoggingEnabledForFirewall, SF_KEY_ENABLE_DEBUG_LOGGING_FOR_FW, false,
                       "Unable to determine if debug logging is enabled for FW. Returning default "
                       "value instead")
SF_GENERIC_BOOL_GETTER(isDebugLoggingEnabledForMsgBus, SF_KEY_ENABLE_DEBUG_LOGGING_FOR_MSG_BUS,
                       false,
                       "Unable to determine if debug logging is enabled for msgbus. Returning "
                       "default value instead")
SF_GENERIC_BOOL_GETTER(isLimitDebugLogSizeEnabled, SF_KEY_LIMIT_DEBUG_LOG_SIZE, true,
                       "Unable to determine if limit debug log size is enabled. Returning default "
                       "value instead")
SF_GENERIC_BOOL_GETTER(isEventLoggingEnabled, SF_KEY_ENABLE_EVENT_LOGGING, true,
                       "Unable to determine if event logging is enabled. Returning default value "
                       "instead")
SF_GENERIC_INT_GETTER(getDebugLogSize, SF_KEY_DEBUG_LOG_SIZE, 10,
                      "Unable to get debug log size. Returning default value instead")
SF_GENERIC_INT_GETTER(getYalLogLevelForFW, SF_KEY_YAL_LOG_LEVEL_FOR_FW, 3,
                      "Unable to get Yal log level for FW. Returning default value instead")

// The logger's size and rotated-file count from the settings file: a value outside the log
// bounds is one no setter would store, so it is treated like an unreadable one.
int SFConfigController::getDefaultMaximumLogFileSize()
{
    const char* const message =
        "Unable to get default rotated log file size. Returning default value instead";
    const int size = readOr<int>(
        [&] { return getIntegerConfiguration(kLogging, SF_KEY_PRODUCT_MAX_LOG_FILE_SIZE); }, 10,
        message);
    if (isValidLogSizeMiB(size))
        return size;
    m_logger->logMessage(2, m_componentName, message);
    return 10;
}

int SFConfigController::getDefaultRotatedLogFileCount()
{
    const char* const message = "Unable to get default maximum rotated log file count. Returning "
                                "default value instead";
    const int count = readOr<int>(
        [&] {
            return getIntegerConfiguration(kLogging, SF_KEY_PRODUCT_MAX_ROTATED_LOG_FILE_COUNT);
        },
        5, message);
    if (isValidRotatedLogFileCount(count))
        return count;
    m_logger->logMessage(2, m_componentName, message);
    return 5;
}

#undef SF_GENERIC_BOOL_GETTER
#undef SF_GENERIC_INT_GETTER

// ---------------------------------------------------------------------------------------------
// Typed setters

int SFConfigController::setTyped(const TypedSetter& setter, int value)
{
    try {
        // Compare and write under the mutex: two writers racing must not both be told
        // "already set" while the file holds the other one's value.
        std::lock_guard<std::mutex> lock(m_mutex);
        const int current = setter.kind == SetterKind::Bool
                                ? static_cast<int>(m_store->getBoolValue(setter.sectionId, setter.path))
                                : m_store->getIntValue(setter.sectionId, setter.path);
        if (current == value) {
            m_logger->logMessage(6, m_componentName, setter.sameValueMessage);
            return SF_PREF_ALREADY_SET;
        }
        if (setter.kind == SetterKind::Bool)
            m_store->setBoolValue(kAttribute, setter.sectionId, setter.path, value != 0);
        else
            m_store->setIntValue(kAttribute, setter.sectionId, setter.path, value);
        auto callback = m_callback.load();
        if (setter.prefType != kNoChange && callback != nullptr)
            callback(static_cast<SFPrefType>(setter.prefType));
        return SF_SUCCESS;
    } catch (const std::exception&) {
        m_logger->logMessage(2, m_componentName, setter.failureMessage);
    } catch (const SFException&) {
        m_logger->logMessage(2, m_componentName, setter.failureMessage);
    } catch (...) {
        // The change callback is foreign code; whatever it throws, the caller gets a result.
        m_logger->logMessage(2, m_componentName, setter.failureMessage);
    }
    return SF_PREF_WRITE_FAILED;
}

namespace {
const char* const kAlreadySet = "Preference Already set";
} // namespace

int SFConfigController::setFwEnableStatus(bool enabled)
{
    return setTyped({SetterKind::Bool, kGlobal, SF_KEY_IS_FIREWALL_ENABLED, SF_PREF_FW_STATUS,
                     "Unable to set firewall status", kAlreadySet},
                    enabled);
}

int SFConfigController::setFwMode(FW_MODE mode)
{
    return setTyped({SetterKind::Int, kGlobal, SF_KEY_IS_REGULAR_OR_ADAPTIVE, SF_PREF_FW_MODE,
                     "Unable to set firewall mode", kAlreadySet},
                    mode);
}

int SFConfigController::setFwRetainExistCLROption(bool retain)
{
    return setTyped({SetterKind::Bool, kGlobal, SF_KEY_RETAIN_EXISTING_CLIENT_RULES, kNoChange,
                     "Unable to set firewall retain existing client rules options", kAlreadySet},
                    retain);
}

int SFConfigController::setFwEnableIPspoofProtOption(bool enable)
{
    return setTyped({SetterKind::Bool, kGlobal, SF_KEY_ENABLE_IP_SPOOF_PROTECTION, kNoChange,
                     "Unable to set firewall enable ip spoof protection option", kAlreadySet},
                    enable);
}

int SFConfigController::setFwFTPinspectionOption(bool enable)
{
    return setTyped({SetterKind::Bool, kGlobal, SF_KEY_USE_FTP_INSPECTION, SF_PREF_FTP_INSPECTION,
                     "Unable to set firewall FTP inspection option", kAlreadySet},
                    enable);
}

int SFConfigController::setFwTCPConTimeout(int seconds)
{
    return setTyped({SetterKind::Int, kGlobal, SF_KEY_TCP_CON_TIMEOUT, SF_PREF_TCP_CON_TIMEOUT,
                     "Unable to set firewall TCP connection timeout", kAlreadySet},
                    seconds);
}

int SFConfigController::setFwUDPandICMPConTimeout(int seconds)
{
    return setTyped({SetterKind::Int, kGlobal, SF_KEY_UDP_ICMP_CON_TIMEOUT,
                     SF_PREF_UDP_ICMP_CON_TIMEOUT,
                     "Unable to set firewall UDP and ICMP connection timeout", kAlreadySet},
                    seconds);
}

int SFConfigController::setShouldTrustLocalSubnet(bool trust)
{
    return setTyped({SetterKind::Bool, kGlobal, SF_KEY_SHOULD_TRUST_LOCAL_SUBNET,
                     SF_PREF_TRUST_LOCAL_SUBNET, "Unable to set should trust local subnet option",
                     kAlreadySet},
                    trust);
}

int SFConfigController::setFwUnsupportedProtocol(int action)
{
    return setTyped({SetterKind::Int, kGlobal, SF_KEY_UNSUPPORTED_PROTOCOL,
                     SF_PREF_UNSUPPORTED_PROTOCOL,
                     "Got exception. Unable to set firewall unsupported protocol", kAlreadySet},
                    action);
}

int SFConfigController::setFwLogLevel(int level)
{
    return setTyped({SetterKind::Int, kLogging, SF_KEY_FIREWALL_LOG_LEVEL, SF_PREF_FW_LOG_LEVEL,
                     "Unable to set firewall log level", kAlreadySet},
                    level);
}

bool SFConfigController::refuseLogSize(const char* what, int sizeMiB)
{
    if (isValidLogSizeMiB(sizeMiB))
        return false;
    m_logger->logMessage(2, m_componentName,
                         std::string(what) + " " + std::to_string(sizeMiB) +
                             " MB refused: it must be " + std::to_string(SF_MIN_LOG_SIZE_MIB) +
                             " to " + std::to_string(SF_MAX_LOG_SIZE_MIB) + " MB");
    return true;
}

int SFConfigController::setFwActivityLogSize(int size)
{
    if (refuseLogSize("Product log size", size))
        return SF_INVALID_ARGUMENT;
    return setTyped({SetterKind::Int, kLogging, SF_KEY_ACTIVITY_LOG_SIZE, kNoChange,
                     "Got exception. Unable to set firewall activity log size", kAlreadySet},
                    size);
}

int SFConfigController::setCustomLogEnable(bool enable)
{
    return setTyped({SetterKind::Bool, kLogging, SF_KEY_CUSTOM_LOG_ENABLE, kNoChange,
                     "Unable to set custom log  status",
                     "Preference Already set to same value for custom log status"},
                    enable);
}

void SFConfigController::registerCallBack(void (*callback)(SFPrefType))
{
    // Nothing in the daemon registers one: the set-one-preference command and the policy
    // plug-in call the controller's preference callback themselves after a write.
    m_callback.store(callback);
}

// ---------------------------------------------------------------------------------------------
// Logging setters

int SFConfigController::setLogging(const char* path, bool value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return setBooleanConfiguration(kLogging, path, value);
}

int SFConfigController::enableActivityLogging(bool enable)
{
    return setLogging(SF_KEY_ENABLE_ACTIVITY_LOGGING, enable);
}

int SFConfigController::enableLimitActivityLogSize(bool enable)
{
    return setLogging(SF_KEY_LIMIT_ACTIVITY_LOG_SIZE, enable);
}

int SFConfigController::enableDebugLoggingForFirewall(bool enable)
{
    return setLogging(SF_KEY_ENABLE_DEBUG_LOGGING_FOR_FW, enable);
}

int SFConfigController::enableLimitDebugLogSize(bool enable)
{
    return setLogging(SF_KEY_LIMIT_DEBUG_LOG_SIZE, enable);
}

int SFConfigController::enableSendingEventsToYal(bool enable)
{
    return setLogging(SF_KEY_SEND_EVENTS_TO_YAL, enable);
}

int SFConfigController::enableEventLogging(bool enable)
{
    return setLogging(SF_KEY_ENABLE_EVENT_LOGGING, enable);
}

int SFConfigController::setDebugLogSize(int size)
{
    if (refuseLogSize("Debug log size", size))
        return SF_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(m_mutex);
    return setIntegerConfiguration(kAttribute, kLogging, SF_KEY_DEBUG_LOG_SIZE, size);
}

int SFConfigController::setYalLogLevelForFW(int level)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return setIntegerConfiguration(kAttribute, kLogging, SF_KEY_YAL_LOG_LEVEL_FOR_FW, level);
}

bool SFConfigController::refuseLogPath(const std::string& path)
{
    // The path is not logged: it may hold the very character that is refused, or be long.
    const std::string fault = logPathFault(path);
    if (fault.empty())
        return false;
    m_logger->logMessage(2, m_componentName,
                         std::string("Log path ") + SF_KEY_LOG_PATH + " refused: the path " +
                             fault + "; the stored path is kept");
    return true;
}

int SFConfigController::setLogPath(std::string path)
{
    if (refuseLogPath(path))
        return SF_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(m_mutex);
    try {
        if (m_store->getStringValue(kLogging, SF_KEY_LOG_PATH) == path) {
            m_logger->logMessage(6, m_componentName, "Preferences already set");
            return SF_PREF_ALREADY_SET;
        }
        m_store->setStringValue(kAttribute, kLogging, SF_KEY_LOG_PATH, path);
        return SF_SUCCESS;
    } catch (const std::exception&) {
        m_logger->logMessage(2, m_componentName, "Unable to set the log path");
    }
    return SF_PREF_WRITE_FAILED;
}

int SFConfigController::setLoggingSettings(const SFLoggingSettings& settings)
{
    // Checked before anything is written, as each setter checks its own value.
    if (refuseLogPath(settings.logPath) ||
        (settings.activityLogSizeMiB &&
         refuseLogSize("Product log size", *settings.activityLogSizeMiB)) ||
        (settings.debugLogSizeMiB && refuseLogSize("Debug log size", *settings.debugLogSizeMiB)))
        return SF_INVALID_ARGUMENT;
    const auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
    std::vector<ZAV::ConfigValue> values = {
        {kLogging, SF_KEY_LOG_PATH, settings.logPath},
        {kLogging, SF_KEY_ENABLE_ACTIVITY_LOGGING, flag(settings.activityLogging)},
        {kLogging, SF_KEY_LIMIT_ACTIVITY_LOG_SIZE, flag(settings.limitActivityLogSize)},
        {kLogging, SF_KEY_ENABLE_DEBUG_LOGGING_FOR_FW, flag(settings.debugLogging)},
        {kLogging, SF_KEY_LIMIT_DEBUG_LOG_SIZE, flag(settings.limitDebugLogSize)},
        {kLogging, SF_KEY_SEND_EVENTS_TO_YAL, flag(settings.sendEventsToYal)},
        {kLogging, SF_KEY_ENABLE_EVENT_LOGGING, flag(settings.eventLogging)},
        {kLogging, SF_KEY_YAL_LOG_LEVEL_FOR_FW, std::to_string(settings.yalLogLevel)},
        {kLogging, SF_KEY_FIREWALL_LOG_LEVEL, std::to_string(settings.firewallLogLevel)},
    };
    if (settings.activityLogSizeMiB)
        values.push_back(
            {kLogging, SF_KEY_ACTIVITY_LOG_SIZE, std::to_string(*settings.activityLogSizeMiB)});
    if (settings.debugLogSizeMiB)
        values.push_back(
            {kLogging, SF_KEY_DEBUG_LOG_SIZE, std::to_string(*settings.debugLogSizeMiB)});
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Only what changes is written, so a refused save names the settings it would change.
        // A value that cannot be read (missing, or in a section of another id) counts as a
        // change: the write then stores it, or says why it cannot.
        const auto holds = [&](const ZAV::ConfigValue& value) {
            try {
                return m_store->getStringValue(value.sectionId, value.path) == value.text;
            } catch (const std::exception&) {
                return false;
            }
        };
        std::vector<ZAV::ConfigValue> changed;
        for (ZAV::ConfigValue& value : values)
            if (!holds(value))
                changed.push_back(std::move(value));
        if (changed.empty()) {
            m_logger->logMessage(6, m_componentName, "Preferences already set");
            return SF_PREF_ALREADY_SET;
        }
        m_store->setValues(kAttribute, changed); // one save: all of them or none
        const bool levelChanged =
            std::any_of(changed.begin(), changed.end(), [](const ZAV::ConfigValue& value) {
                return value.path == SF_KEY_FIREWALL_LOG_LEVEL;
            });
        auto callback = m_callback.load();
        if (levelChanged && callback != nullptr)
            callback(SF_PREF_FW_LOG_LEVEL);
        return SF_SUCCESS;
    } catch (const std::exception&) {
        // The store logged the settings and the reason.
        m_logger->logMessage(2, m_componentName, "Unable to set the logging settings");
    } catch (...) {
        // The change callback is foreign code; whatever it throws, the caller gets a result.
        m_logger->logMessage(2, m_componentName, "Unable to set the logging settings");
    }
    return SF_PREF_WRITE_FAILED;
}

void SFConfigController::setHealthCheckTimer(int seconds)
{
    // The result code is dropped: the timer is only a hint for the next health check.
    setIntegerConfiguration(kAttribute, kGlobal, SF_KEY_HEALTH_CHECK_TIMER, seconds);
}

// ---------------------------------------------------------------------------------------------
// Generic operations

int SFConfigController::getIntegerConfiguration(std::string sectionId, std::string path)
{
    try {
        return m_store->getIntValue(sectionId, path);
    } catch (const std::exception&) {
        m_logger->logMessage(2, m_componentName,
                             "In getIntegerConfiguration unable to get setting value in Config "
                             "Controller for key " + path);
    }
    throw SFException(SF_INVALID_ARGUMENT, "Invalid key specified");
}

bool SFConfigController::getBooleanConfiguration(std::string sectionId, std::string path)
{
    try {
        return m_store->getBoolValue(sectionId, path);
    } catch (const std::exception&) {
        m_logger->logMessage(2, m_componentName,
                             "In getBooleanConfiguration unable to get setting value in Config "
                             "Controller for key " + path);
    }
    throw SFException(SF_INVALID_ARGUMENT, "Invalid key specified");
}

int SFConfigController::setIntegerConfiguration(std::string attributeName, std::string sectionId,
                                                std::string path, int value)
{
    try {
        if (getIntegerConfiguration(sectionId, path) == value) {
            m_logger->logMessage(6, m_componentName,
                                 path + " key is already set to same value. Hence not setting it "
                                        "again to same value");
            return SF_PREF_ALREADY_SET;
        }
        m_store->setIntValue(attributeName, sectionId, path, value);
        return SF_SUCCESS;
    } catch (const std::exception&) {
        m_logger->logMessage(2, m_componentName,
                             "Unable to set value in setIntegerConfiguration in Config Controller");
    } catch (const SFException&) {
        m_logger->logMessage(2, m_componentName,
                             "Unable to set value in setIntegerConfiguration in Config Controller");
    }
    return SF_PREF_WRITE_FAILED;
}

int SFConfigController::setBooleanConfiguration(std::string sectionId, std::string path, bool value)
{
    try {
        if (getBooleanConfiguration(sectionId, path) == value)
            return SF_PREF_ALREADY_SET;
        m_store->setBoolValue(kAttribute, sectionId, path, value);
        return SF_SUCCESS;
    } catch (const std::exception&) {
    } catch (const SFException&) {
    }
    m_logger->logMessage(2, m_componentName,
                         "In setBooleanConfiguration unable to set configuration value in Config "
                         "Controller for key " + path);
    return SF_PREF_WRITE_FAILED;
}

} // namespace StatefulFirewall
