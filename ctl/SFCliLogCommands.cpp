// The log-setting requests: the listing from the daemon and the setters, each sent once to the
// platform service and once to the daemon.

#include "SFCliCommands.h"

#include "CommandRequest.h"
#include "CommandResponse.h"
#include "FMPException.h"
#include "ICommandFMCallback.h"
#include "ILogger.h"
#include "SFCliReplyData.h"
#include "SFCliStringConstants.h"
#include "SFResultCodes.h"

#include <boost/format.hpp>
#include <boost/serialization/map.hpp>
#include <boost/serialization/string.hpp>

#include <iostream>
#include <map>

namespace StatefulFirewall {

namespace C = SFCliStringConstants;

// Texts of one setter. Platform setters use sent, success, failure and the two exception
// texts; daemon setters all of them.
struct SFCliCommands::LogSetter {
    const char* sent;
    const char* failure;
    const char* fmpPrefix;
    const char* unknown;
    const std::string* successOn;   // daemon: printed for 150000 with the value on
    const std::string* successOff;  // daemon: printed for 150000 with the value off
    const std::string* successLog;  // daemon: null to log what was printed
    const std::string* unchanged;   // daemon: printed for 150080
    const std::string* unchangedLog;
    const std::string* error;       // daemon: standard error when the request failed
    const char* platformSuccess;    // platform: logged when accepted
};

namespace {

// The setters' payload: one bare value in the narrow archive.
void writeValue(ZAV::CommandRequest& request, int value, bool isBool)
{
    request.setCustomUTF8DataPresent(true);
    if (auto* archive = request.getNarrowOutputArchive()) {
        request.setCustomDataPresent(true);
        if (isBool) {
            const bool on = value != 0;
            *archive << on;
        } else {
            *archive << value;
        }
    }
}

} // namespace

bool SFCliCommands::getLogSettings(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client)
{
    try {
        ZAV::CommandRequest request(SF_CLI_GET_LOG_SETTINGS, SF_CLI_DAEMON_FM_ID);
        request.setCustomUTF8DataPresent(false);
        ZAV::CommandResponse response;
        send(request, response, cb, client, true);
        log(6, "Successfully sent request to get log settings");
        if (!flagsSet(response)) {
            log(2, "Failed to get log settings. Command timed out or was not completed");
            return false;
        }
        std::map<std::string, std::string> settings;
        readNarrowReply(response, settings);
        log(6, "Successfully fetched the log settings");
        for (const auto& [key, value] : settings) {
            std::cout << boost::format(C::CLI_LOG_SETTINGS_FORMAT) % key %
                             C::CLI_LOG_SETTINGS_SEPARATOR % value
                      << "\n";
        }
        std::cout.flush();
        return true;
    } catch (const ZAV::FMPException& e) {
        log(2, "Caught exception when requesting for log settings - " + e.getMessage());
    } catch (const std::exception& e) {
        log(2, "Unknown exception was caught when requesting for log settings");
        log(2, std::string("The exception said: ") + e.what());
    }
    return false;
}

bool SFCliCommands::setPlatformLog(const LogSetter& texts, int command, ZAV::ICommandFMCallback& cb,
                                   ZAV::IFMCommClient& client, int value, bool isBool)
{
    try {
        ZAV::CommandRequest request(command, SF_CLI_SERVICE_FM_ID);
        writeValue(request, value, isBool);
        ZAV::CommandResponse response;
        send(request, response, cb, client, true);
        log(6, texts.sent);
        // The platform's reply carries nothing the tool needs: its flags say all.
        if (flagsSet(response)) {
            log(6, texts.platformSuccess);
            return true;
        }
        log(2, texts.failure);
    } catch (const ZAV::FMPException& e) {
        log(2, texts.fmpPrefix + e.getMessage());
    } catch (const std::exception& e) {
        log(2, texts.unknown);
        log(2, std::string("The exception said: ") + e.what());
    }
    return false;
}

bool SFCliCommands::setDaemonLog(const LogSetter& texts, int command, ZAV::ICommandFMCallback& cb,
                                 ZAV::IFMCommClient& client, int value, bool isBool)
{
    try {
        ZAV::CommandRequest request(command, SF_CLI_DAEMON_FM_ID);
        writeValue(request, value, isBool);
        ZAV::CommandResponse response;
        send(request, response, cb, client, true);
        log(6, texts.sent);
        if (!flagsSet(response)) {
            std::cerr << *texts.error << std::endl;
            log(2, texts.failure);
            return false;
        }
        int result = SF_SUCCESS;
        readNarrowReply(response, result);
        if (result == SF_SUCCESS) {
            const std::string& printed = value != 0 ? *texts.successOn : *texts.successOff;
            std::cout << printed << std::endl;
            log(6, texts.successLog ? *texts.successLog : printed);
        } else if (result == SF_PREF_ALREADY_SET) {
            std::cout << *texts.unchanged << std::endl;
            log(6, *texts.unchangedLog);
        }
        // Any other code: the daemon marks a failed write with a clear status flag, so a set
        // flag means the setting is in place.
        return true;
    } catch (const ZAV::FMPException& e) {
        log(2, texts.fmpPrefix + e.getMessage());
    } catch (const std::exception& e) {
        log(2, texts.unknown);
        log(2, std::string("The exception said: ") + e.what());
    }
    return false;
}

bool SFCliCommands::setZAVProductLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                           bool on)
{
    static const LogSetter texts{
        "Successfully sent request to set product log configuration to ZAV",
        "Failed to set product log configuration in ZAV. Command timed out or was not completed",
        "Caught exception when setting product log configuration in ZAV",
        "Unknown exception was caught when setting product log configuration in ZAV",
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        "Product log configuration was successfully set in ZAV"};
    return setPlatformLog(texts, ZAV_SET_PRODUCT_LOG_CONFIG, cb, client, on, true);
}

bool SFCliCommands::setZAVDebugLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                         bool on)
{
    static const LogSetter texts{
        "Successfully sent request to set debug log configuration in ZAV",
        "Failed to set debug log configuration in ZAV. Command timed out or was not completed",
        "Caught exception when setting debug log configuration in ZAV",
        "Unknown exception was caught when setting debug log configuration in ZAV",
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        "Debug log configuration was successfully set in ZAV"};
    return setPlatformLog(texts, ZAV_SET_DEBUG_LOG_CONFIG, cb, client, on, true);
}

bool SFCliCommands::setZAVUseSysLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                          bool on)
{
    static const LogSetter texts{
        "Successfully sent request to set use syslog configuration for ZAV",
        "Failed to set use syslog configuration for ZAV. Command timed out or was not completed",
        "Caught exception when setting Use syslog configuration for ZAV",
        "Unknown exception was caught when setting use syslog configuration for ZAV",
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        "Use syslog configuration was successfully set for ZAV"};
    return setPlatformLog(texts, ZAV_SET_USE_SYSLOG_CONFIG, cb, client, on, true);
}

bool SFCliCommands::setZAVMaxProductLogSize(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                            int megabytes)
{
    static const LogSetter texts{
        "Successfully sent request to set max product log size for ZAV",
        "Failed to set max product log size for ZAV. Command timed out or was not completed",
        "Caught exception when setting max product log size for ZAV - ",
        "Unknown exception was caught when setting max product log size for ZAV",
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        "Max product log size was Successfully set for ZAV"};
    return setPlatformLog(texts, ZAV_SET_MAX_PRODUCT_LOG_SIZE, cb, client, megabytes, false);
}

bool SFCliCommands::setFWProductLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                          bool on)
{
    static const LogSetter texts{
        "Successfully sent request to set product log configuration",
        "Failed to set product log configuration. Command timed out or was not completed",
        "Caught exception when setting product log configuration",
        "Unknown exception was caught when setting product log configuration",
        &C::CLI_PRODUCT_LOG_SET_MSG, &C::CLI_PRODUCT_LOG_SET_MSG, nullptr,
        &C::CLI_PRODUCT_LOG_SAME_MSG, &C::CLI_PRODUCT_LOG_SAME_MSG, &C::CLI_PRODUCT_LOG_ERROR_MSG,
        nullptr};
    return setDaemonLog(texts, SF_CLI_SET_PRODUCT_LOG_CONFIG, cb, client, on, true);
}

bool SFCliCommands::setFWDebugLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                        bool on)
{
    static const LogSetter texts{
        "Successfully sent request to set debug log configuration",
        "Failed to set debug log configuration. Command timed out or was not completed",
        "Caught exception when setting debug log configuration",
        "Unknown exception was caught when setting debug log configuration",
        &C::CLI_DEBUG_LOG_SET_MSG, &C::CLI_DEBUG_LOG_SET_MSG, nullptr,
        &C::CLI_DEBUG_LOG_SAME_MSG, &C::CLI_DEBUG_LOG_SAME_MSG, &C::CLI_DEBUG_LOG_ERROR_MSG,
        nullptr};
    return setDaemonLog(texts, SF_CLI_SET_DEBUG_LOG_CONFIG, cb, client, on, true);
}

bool SFCliCommands::setFWUseSysLogConfig(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                         bool on)
{
    static const LogSetter texts{
        "Successfully sent request to set use syslog configuration",
        "Failed to set use syslog configuration. Command timed out or was not completed",
        "Caught exception when setting Use syslog configuration",
        "Unknown exception was caught when setting use syslog configuration",
        &C::CLI_SYSLOG_ENABLED_MSG, &C::CLI_SYSLOG_DISABLED_MSG, nullptr,
        &C::CLI_SYSLOG_SAME_MSG, &C::CLI_SYSLOG_SAME_LOG, &C::CLI_SYSLOG_ERROR_MSG, nullptr};
    return setDaemonLog(texts, SF_CLI_SET_USE_SYSLOG_CONFIG, cb, client, on, true);
}

bool SFCliCommands::setMaxProductLogSize(ZAV::ICommandFMCallback& cb, ZAV::IFMCommClient& client,
                                         int megabytes)
{
    static const LogSetter texts{
        "Successfully sent request to set max product log size",
        "Failed to set max product log size. Command timed out or was not completed",
        "Caught exception when setting max product log size - ",
        "Unknown exception was caught when setting max product log size",
        &C::SET_MAX_PRODUCTLOG_SIZE_SUCCESS_MSG, &C::SET_MAX_PRODUCTLOG_SIZE_SUCCESS_MSG,
        &C::SET_MAX_PRODUCTLOG_SIZE_SUCCESS_LOG, &C::SET_MAX_PRODUCTLOG_SIZE_SAME_MSG,
        &C::SET_MAX_PRODUCTLOG_SIZE_SAME_LOG, &C::SET_MAX_PRODUCTLOG_SIZE_FAILURE_MSG, nullptr};
    return setDaemonLog(texts, SF_CLI_SET_PRODUCT_LOG_SIZE, cb, client, megabytes, false);
}

} // namespace StatefulFirewall
