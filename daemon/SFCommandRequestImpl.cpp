#include "SFCommandRequestImpl.h"

#include "CommandNWRequest.h"
#include "CommandNWResponse.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "CommonExtPolicyObj.h"
#include "IConfigController.h"
#include "ILogger.h"
#include "ISocket.h"
#include "SFCommandPayloads.h"
#include "SFRulesInForce.h"
#include "SFCommonPolicyRequestImpl.h"
#include "SFCheckedRead.h"
#include "SFController.h"
#include "SFException.h"
#include "SFPrefKeys.h"
#include "SFResultCodes.h"
#include "SFRulesCommandHelper.h"

#include <boost/serialization/map.hpp>
#include <boost/serialization/string.hpp>

#include <exception>
#include <map>
#include <memory>

namespace StatefulFirewall {

namespace {

constexpr int COMMON_POLICY_UPDATE = 1001;
constexpr int SF_GET_PREFS = 100000;
constexpr int SF_SET_PREF_INDIVIDUAL = 100003;
constexpr int SF_GET_PREF_INDIVIDUAL = 100004;
constexpr int SF_GET_VERSION = 100038;
constexpr int SF_GET_LOG_SETTINGS = 100040;
constexpr int SF_SET_PRODUCT_LOG_CONFIG = 100041;
constexpr int SF_SET_DEBUG_LOG_CONFIG = 100042;
constexpr int SF_SET_USE_SYSLOG_CONFIG = 100043;
constexpr int SF_SET_PRODUCT_LOG_SIZE = 100044;
constexpr int DAEMON_FM_ID = 7000;

bool isRulesCommand(int commandId)
{
    switch (commandId) {
    case 100006: case 100007: case 100013: case 100015: case 100017:
    case 100019: case 100020: case 100021: case 100022: case 100039:
        return true;
    default:
        return false;
    }
}

// Reads one value from the request's data, as narrow archive text, with the checking reader:
// every length and count in it is bounded by the data's size. False (value untouched) without
// data; throws archive_exception for data that is no such value.
template <class T> bool readValue(ZAV::CommandRequest& request, T& value)
{
    if (!request.hasCustomData())
        return false;
    readCheckedArchive(request.getCustomData(), value);
    return true;
}

template <class T> void writeNarrow(ZAV::CommandResponse& response, const T& value)
{
    response.setNarrowArchiveWritten(true);
    *response.getNarrowOutputArchive() << value;
}

template <class T> void writeWide(ZAV::CommandResponse& response, const T& value)
{
    response.setWideArchiveWritten(true);
    *response.getWideOutputArchive() << value;
}

// A wide archive carries a std::string byte by byte, so a byte of 0x80 or above cannot travel
// and would make the platform refuse the whole reply: such bytes become "?".
std::string sevenBit(std::string text)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '?';
    return text;
}

std::string valueOf(const std::map<std::string, std::string>& info, const std::string& key)
{
    auto it = info.find(key);
    return it != info.end() ? it->second : std::string();
}

const char* enabledText(bool enabled)
{
    return enabled ? "Enabled" : "Disabled";
}

} // namespace

SFCommandRequestImpl::SFCommandRequestImpl(ZAV::ISocket& socket, ZAV::ILogger& logger,
                                           IConfigController& config, INwIFManager& nwIfManager)
    : m_componentName("ProcessCommandForFM"),
      m_socket(socket),
      m_logger(logger),
      m_configController(config),
      m_nwIfManager(nwIfManager),
      m_rulesCommandHelper(SFRulesCommandHelper::getInstance(logger, config))
{
}

int32_t SFCommandRequestImpl::replyKind(int commandId)
{
    return commandId == SF_GET_PREFS || commandId == SF_SET_PREF_INDIVIDUAL ||
                   commandId == SF_GET_VERSION
               ? 8
               : 16;
}

bool SFCommandRequestImpl::processCommandForFM(ZAV::CommandNWRequest& nwRequest, bool narrowData)
{
    const int commandId = nwRequest.getCommandId();
    const int sourceId = nwRequest.getSourceFMId();
    auto response = std::make_unique<ZAV::CommandResponse>(commandId, sourceId);
    std::string failure;
    try {
        ZAV::CommandRequest request(nwRequest, true);
        if (!narrowData)
            log(6, "Firewall received command request with wide data");
        dispatch(request, *response);
    } catch (const SFException& e) {
        failure = e.message;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    if (!failure.empty()) {
        log(2, "Command " + std::to_string(commandId) + " from FMId - " +
                   std::to_string(sourceId) + " failed: " + failure);
        // Whatever the handler wrote may be half a record: answer from a fresh response.
        response = std::make_unique<ZAV::CommandResponse>(commandId, sourceId);
        response->setCommandStatus(false);
    }
    response->setCommandCompleted(true);
    response->setCommandCookie(nwRequest.getCommandCookie());

    try {
        // Prefix, record and data in one buffer and one send: the main thread writes to the
        // same socket, and two sends could interleave with its frames.
        const std::string frame = ZAV::CommandNWResponse(*response).encode(replyKind(commandId));
        m_socket.send(frame.data(), frame.size(), 0);
        log(5, "Successfully responded to Command Request from FMId - " + std::to_string(sourceId) +
                   " with cookie id - " + std::to_string(nwRequest.getCommandCookie()));
        return true;
    } catch (const std::exception& e) {
        log(6, std::string("Unknown exception occurred while sending response: ") + e.what());
    } catch (...) {
        log(6, "Unknown exception occurred while sending response");
    }
    return false;
}

void SFCommandRequestImpl::dispatch(ZAV::CommandRequest& request, ZAV::CommandResponse& response)
{
    const int commandId = request.getCommandId();
    if (isRulesCommand(commandId)) {
        log(6, "Received Rules and Rule Group command. Forwarding it to SFRulesCommandHelper.");
        response.setCommandStatus(m_rulesCommandHelper->handleCommand(request, response));
        return;
    }
    switch (commandId) {
    case COMMON_POLICY_UPDATE:
        response.setCommandStatus(handleCommonPolicyUpdate(request));
        break;
    case SF_GET_PREFS:
        handleGetPrefs(response);
        response.setCommandStatus(true);
        break;
    case SF_SET_PREF_INDIVIDUAL:
        handleSetPrefIndividual(request, response);
        response.setCommandStatus(true);
        break;
    case SF_GET_PREF_INDIVIDUAL:
        handleGetPrefIndividual(request, response);
        response.setCommandStatus(true);
        break;
    case SF_GET_VERSION:
        handleGetVersion(response);
        response.setCustomDataPresent(true);
        response.setCommandStatus(true);
        break;
    case SF_GET_LOG_SETTINGS:
        handleGetLogSettings(response);
        response.setCustomUTF8DataPresent(true);
        break;
    case SF_SET_PRODUCT_LOG_CONFIG:
    case SF_SET_DEBUG_LOG_CONFIG:
    case SF_SET_USE_SYSLOG_CONFIG:
    case SF_SET_PRODUCT_LOG_SIZE:
        handleSetLogOption(commandId, request, response);
        response.setCustomUTF8DataPresent(true);
        break;
    default:
        log(2, "Invalid Command was received and will be ignored");
        response.setCommandStatus(false);
        break;
    }
}

bool SFCommandRequestImpl::handleCommonPolicyUpdate(ZAV::CommandRequest& request)
{
    log(6, "FM has received an update Common Policy settings request.");
    ZAV::CommonExtPolicyObj policy;
    readValue(request, policy);
    // A refused policy is answered with status 0, which the service logs as the answer.
    if (!SFCommonPolicyRequestImpl(m_logger, m_configController).applyCommonPolicySettings(policy))
        return false;
    log(5, "Common Yal Policy settings has been successfully applied.");
    return true;
}

void SFCommandRequestImpl::handleGetPrefs(ZAV::CommandResponse& response)
{
    log(5, "SF has request for getting preferences");
    IConfigController& config = m_configController;
    SFPrefsData prefs;
    prefs.m_tcpConTimeout = config.getFwTCPConTimeout();
    prefs.m_udpIcmpConTimeout = config.getFwUDPandICMPConTimeout();
    prefs.m_logLevel = config.getFwLogLevel();
    prefs.m_activityLogSize = config.getFwActivityLogSize();
    prefs.m_fwMode = config.getFwMode();
    prefs.m_fwEnabled = config.getFwEnableStatus();
    prefs.m_unsupportedProtocol = config.getUnsupportedProtocol();
    prefs.m_trustLocalSubnet = config.getShouldTrustLocalSubnet();
    prefs.m_ipSpoofProtection = config.getFwEnableIPspoofProtOption();
    prefs.m_ftpInspection = config.getFwFTPinspectionOption();
    prefs.m_retainClientRules = config.getFwRetainExistCLROption();
    writeWide(response, prefs);
    // After the record, where a reader that does not know them stops: whether the rules of an
    // enabled firewall are in force, then what of them is (an SFRulesInForce value).
    bool inForce = true;
    int state = SF_RULES_IN_FORCE;
    try {
        SFController* controller = SFController::getInstance(m_logger, config, nullptr);
        state = controller->rulesInForceState();
        inForce = state == SF_RULES_IN_FORCE;
    } catch (const SFException& e) {
        log(6, "No firewall controller to ask whether the rules are in force - " + e.message);
    }
    writeWide(response, inForce);
    writeWide(response, state);
}

void SFCommandRequestImpl::handleGetPrefIndividual(ZAV::CommandRequest& request,
                                                   ZAV::CommandResponse& response)
{
    int type = SF_PREF_NONE;
    readValue(request, type);
    log(5, "Requested to get individual preference. Received Preference Type " +
               std::to_string(type));
    SFPrefsData prefs;
    prefs.m_prefPresent = true;
    prefs.m_prefType = static_cast<SFPrefType>(type);
    IConfigController& config = m_configController;
    switch (type) {
    case SF_PREF_FW_STATUS: prefs.m_fwEnabled = config.getFwEnableStatus(); break;
    case SF_PREF_FTP_INSPECTION: prefs.m_ftpInspection = config.getFwFTPinspectionOption(); break;
    case SF_PREF_FW_MODE: prefs.m_fwMode = config.getFwMode(); break;
    case SF_PREF_RETAIN_CLIENT_RULES:
        prefs.m_retainClientRules = config.getFwRetainExistCLROption();
        break;
    case SF_PREF_UNSUPPORTED_PROTOCOL:
        prefs.m_unsupportedProtocol = config.getUnsupportedProtocol();
        break;
    case SF_PREF_TRUST_LOCAL_SUBNET:
        prefs.m_trustLocalSubnet = config.getShouldTrustLocalSubnet();
        break;
    default:
        log(2, "Error Invalid Preference type found " + std::to_string(type));
        return;
    }
    writeNarrow(response, prefs);
}

void SFCommandRequestImpl::handleSetPrefIndividual(ZAV::CommandRequest& request,
                                                   ZAV::CommandResponse& response)
{
    log(5, "FM has requested to set individual preference");
    SFPrefsData prefs;
    readValue(request, prefs);
    IConfigController& config = m_configController;
    int result = SF_INVALID_ARGUMENT;
    if (!prefs.m_prefPresent) {
        log(4, "Error Preference Individual Not Set ");
    } else {
        switch (prefs.m_prefType) {
        case SF_PREF_FW_STATUS: result = config.setFwEnableStatus(prefs.m_fwEnabled); break;
        case SF_PREF_FTP_INSPECTION:
            result = config.setFwFTPinspectionOption(prefs.m_ftpInspection);
            break;
        case SF_PREF_FW_MODE: result = config.setFwMode(static_cast<FW_MODE>(prefs.m_fwMode)); break;
        case SF_PREF_TRUST_LOCAL_SUBNET:
            result = config.setShouldTrustLocalSubnet(prefs.m_trustLocalSubnet);
            break;
        default:
            log(4, "Error Invalid Preference type found " +
                       std::to_string(static_cast<int>(prefs.m_prefType)));
            break;
        }
    }
    // The settings' own change callback is not registered in the daemon: this call turns the
    // written preference into action. It may run a whole enable or disable, and its exception
    // reaches processCommandForFM, which answers with status false.
    SFController* controller = SFController::getInstance(m_logger, config, nullptr);
    controller->sfPreferencesCallBack(prefs.m_prefType, m_nwIfManager);
    // A disable, also one asked for while already disabled, makes sure nothing of the product
    // filters: an earlier run may have left chains and DROP policies. A DROP policy, chain or
    // line that stays is a failure the caller must learn of, not a disabled firewall.
    // The reply's state is the one the verdict was made on: the health check may pass between
    // the clean-up and the reply and change what is left.
    int state = -1;
    if (prefs.m_prefPresent && prefs.m_prefType == SF_PREF_FW_STATUS && !prefs.m_fwEnabled &&
        (result == SF_SUCCESS || result == SF_PREF_ALREADY_SET)) {
        state = controller->cleanUpWhileDisabled(false);
        if (state != SF_RULES_IN_FORCE) {
            log(2, "Firewall is disabled but removing it from Iptables failed; what is left stays "
                   "until the health check removes it");
            result = SF_SYSTEM_COMMAND_FAILED;
        }
    }
    // An enable whose push failed leaves the firewall enabled in the settings with its rules
    // not in force: the caller learns that it failed, not that it succeeded.
    if (prefs.m_prefPresent && prefs.m_prefType == SF_PREF_FW_STATUS && prefs.m_fwEnabled &&
        (result == SF_SUCCESS || result == SF_PREF_ALREADY_SET) && !controller->rulesInForce()) {
        log(2, "Firewall is enabled but applying its rules to Iptables failed");
        result = SF_SYSTEM_COMMAND_FAILED;
    }
    // The same for a mode switch, which pushes the rules in the new mode: the mode is stored,
    // the rules in force are another matter.
    const bool modeNotApplied = prefs.m_prefPresent && prefs.m_prefType == SF_PREF_FW_MODE &&
                                (result == SF_SUCCESS || result == SF_PREF_ALREADY_SET) &&
                                !controller->rulesInForce();
    if (modeNotApplied) {
        log(2, "Firewall mode is stored but applying the rules in that mode to Iptables failed");
        result = SF_SYSTEM_COMMAND_FAILED;
    }
    writeWide(response, result);
    // After the result, where a reader that does not know it stops: what is in force now (an
    // SFRulesInForce value), so a failure can be said in plain words.
    writeWide(response, state >= 0 ? state : controller->rulesInForceState());
}

void SFCommandRequestImpl::handleGetVersion(ZAV::CommandResponse& response)
{
    log(6, "FM has received get version request");
    const std::map<std::string, std::string> info = m_configController.getProductInfo();
    AboutBoxData about;
    about.m_fmId = DAEMON_FM_ID;
    about.setAboutBoxDisplayContents(
        {{"StatefulFirewall_Version", sevenBit(valueOf(info, "ProductInformation.ProductVersion"))},
         {"StatefulFirewall_HF", sevenBit(valueOf(info, "ProductInformation.HotFixes"))},
         {"Copyright", sevenBit(valueOf(info, "ProductInformation.ProductCopyright"))},
         {"StatefulFirewall_Name", sevenBit(valueOf(info, "ProductInformation.ProductName"))}});
    writeWide(response, about);
}

void SFCommandRequestImpl::handleGetLogSettings(ZAV::CommandResponse& response)
{
    log(6, "FM has received get log settings request");
    try {
        IConfigController& config = m_configController;
        std::map<std::string, std::string> settings;
        settings["SysLog"] = enabledText(config.isEventLoggingEnabled());
        settings["ProductLog"] = enabledText(config.isActivityLoggingEnabled());
        settings["ProductLogSize"] = std::to_string(config.getFwActivityLogSize());
        settings["DebugLog"] = enabledText(config.isDebugLoggingEnabledForFirewall());
        writeNarrow(response, settings);
        response.setCommandStatus(true);
    } catch (const SFException& e) {
        log(2, "Failed to get log settings: " + e.message);
        response.setCommandStatus(false);
    } catch (const std::exception& e) {
        log(2, std::string("Failed to get log settings: ") + e.what());
        response.setCommandStatus(false);
    }
}

void SFCommandRequestImpl::handleSetLogOption(int commandId, ZAV::CommandRequest& request,
                                              ZAV::CommandResponse& response)
{
    IConfigController& config = m_configController;
    bool flag = false;
    int sizeMiB = 1;
    int result = SF_SUCCESS;
    const char* successText = nullptr;
    const char* alreadyText = nullptr;
    const char* errorText = nullptr;
    switch (commandId) {
    case SF_SET_PRODUCT_LOG_CONFIG:
        log(6, "FM has received set product log configuration request.");
        readValue(request, flag);
        result = config.enableActivityLogging(flag);
        if (result == SF_SUCCESS && !config.isDebugLoggingEnabledForFirewall())
            setLevel(flag ? 5 : 2);
        successText = "Successfully set the Product log status";
        alreadyText = "Product log configuration already set";
        errorText = "Error in setting the Product log status";
        break;
    case SF_SET_DEBUG_LOG_CONFIG:
        log(6, "FM has received set debug log configuration request.");
        readValue(request, flag);
        result = config.enableDebugLoggingForFirewall(flag);
        if (result == SF_SUCCESS) {
            setLevel(flag ? 6 : (config.isActivityLoggingEnabled() ? 5 : 2));
            log(5, "Successfully set the Debug log status");
        }
        alreadyText = "Debug log status already set";
        errorText = "Error in setting the Debug log status";
        break;
    case SF_SET_USE_SYSLOG_CONFIG:
        log(6, "FM has received set use syslog configuration request.");
        readValue(request, flag);
        result = config.enableEventLogging(flag);
        alreadyText = "Syslog configuration already set";
        errorText = "Error in setting the syslog configuration.";
        break;
    default: // SF_SET_PRODUCT_LOG_SIZE
        log(6, "FM has received set product log size request.");
        readValue(request, sizeMiB);
        // The sizes tqctl offers; another one only ever came from a damaged or hostile sender.
        if (!isValidLogSizeMiB(sizeMiB)) {
            log(2, "Product log size " + std::to_string(sizeMiB) + " MB refused: it must be " +
                       std::to_string(SF_MIN_LOG_SIZE_MIB) + " to " +
                       std::to_string(SF_MAX_LOG_SIZE_MIB) + " MB");
            result = SF_INVALID_ARGUMENT;
        } else {
            result = config.setFwActivityLogSize(sizeMiB);
        }
        if (result == SF_SUCCESS && config.isActivityLoggingEnabled() &&
            config.isLimitActivityLogSizeEnabled()) {
            SFCommonPolicyRequestImpl::resizeLogger(
                m_logger, config, SFCommonPolicyRequestImpl::loggerLevel(m_logger),
                config.getFwActivityLogSize());
            successText = "Successfully set the Product log size";
        }
        alreadyText = "Product log size already set";
        errorText = "Error in setting the Product log size";
        break;
    }
    bool status = true;
    if (result == SF_SUCCESS) {
        if (successText != nullptr)
            log(6, successText);
    } else if (result == SF_PREF_ALREADY_SET) {
        log(6, alreadyText);
    } else {
        log(2, errorText);
        status = false;
    }
    writeNarrow(response, result);
    response.setCommandStatus(status);
}

void SFCommandRequestImpl::setLevel(int level)
{
    m_configController.setFwLogLevel(level);
    SFCommonPolicyRequestImpl::setLoggerLevel(m_logger, level, false);
}

void SFCommandRequestImpl::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_componentName, message);
}

} // namespace StatefulFirewall
