// tqctl: the root-only administration program. Registers with the platform service as
// framework manager 3000, performs one command line through SFCli and the request layer,
// deregisters and exits with the command's code.

#include "CommandCallbackForCLIFM.h"
#include "FMCommClient.h"
#include "FMPException.h"
#include "FMPLogger.h"
#include "HelperFactory.h"
#include "SFCli.h"
#include "SFCliCommands.h"
#include "SFCliOutcome.h"
#include "SFCliRegistrationFMCallback.h"
#include "SFCliStringConstants.h"
#include "SFCliTurns.h"
#include "SystemInfo.h"
#include "UnixDomainSocket.h"
#include "UnixDomainSocketUtils.h"
#include "ZAVSystemUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <system_error>
#include <thread>

namespace {

namespace C = SFCliStringConstants;
using namespace StatefulFirewall;

constexpr int kExitNotRoot = 105;
constexpr int kExitChannel = 104;
constexpr int kRegistrationTimeoutSecs = 10;
// The wait for a reply, of the order of the registration wait: a daemon that is registered but
// stopped or hung would otherwise keep the tool waiting for ever. tqctl processes take turns
// (SFCliTurns), so the wait starts when the daemon takes the request and measures the daemon
// alone; the few seconds above the registration wait cover a request from the platform service
// that the daemon may be finishing.
constexpr std::chrono::seconds kReplyTimeout{15};

const char* const kNoReplyMsg =
    "The firewall daemon did not reply in time; it may be stopped or hung";

const char* const kSocketPath = "/var/Varnik/kyv/zav/zavsocket";
const char* const kLogBaseName = "/var/Varnik/kyv/log/fw/tqctl";
const char* const kLogFilePath = "/var/Varnik/kyv/log/fw/tqctl.log";
const std::string kComponent = "SFCli";

ZAV::loggerConfig loggerSettings()
{
    ZAV::loggerConfig settings;
    settings.logLevel = 6;
    settings.logTarget = 0;
    settings.logBaseName = kLogBaseName;
    settings.logFilePath = kLogFilePath;
    settings.maxFileSize = 1048576;
    settings.maxTotalSize = 5242880;
    settings.auxiliarySize = 10485760;
    settings.fileLogging = true;
    settings.facility = 0;
    settings.append = true;
    return settings;
}

// The client thread: the receive loop delivers the acknowledgement and every reply. It ends
// when the client is stopped; a failure ending it early leaves waiting requests to time out.
void startFMCommClient(ZAV::FMCommClient* client, ZAV::ILogger* logger)
{
    try {
        client->run();
    } catch (const std::exception& e) {
        logger->logMessage(6, kComponent, std::string("The command client's loop ended: ") + e.what());
    } catch (...) {
        logger->logMessage(6, kComponent, "The command client's loop ended on an unknown exception");
    }
}

// Commands whose handling re-applies the whole rule table to iptables, which takes minutes for
// thousands of rules, wait as long as the channel allows (300 s); every other command is
// bounded by kReplyTimeout. Rule, trusted-network, listing and status requests do not wait for a
// push that the daemon runs on another thread (health check, policy): it copies the table and
// releases it before the slow part.
std::chrono::seconds replyBound(int commandId)
{
    if (commandId == SF_CLI_RULES_UPDATE || commandId == SF_CLI_SET_PREF_INDIVIDUAL)
        return std::chrono::seconds::max();
    return kReplyTimeout;
}

} // namespace

int main(int argc, char** argv)
{
    if (::getuid() != 0) {
        std::cerr << C::CLI_NOT_ROOT_MSG << std::endl;
        return kExitNotRoot;
    }
    // Before the logger opens its file, so the tool's log is readable by root only.
    ::umask(0177);

    ZAV::FMPLogger logger;
    const ZAV::loggerConfig settings = loggerSettings();
    logger.setLoggerSettings(&settings);
    if (!logger.initialize(6, 6, "Varnik FW", "10.6.11"))
        std::cerr << C::CLI_LOGGER_FAILURE_MSG << std::endl;

    auto systemUtils = std::make_shared<ZAV::ZAVSystemUtils>();
    ZAV::SystemInfo systemInfo(logger, systemUtils);
    std::shared_ptr<ZAV::kernelVersion> kernel = systemInfo.getKernelVersion();
    ZAV::UnixDomainSocketUtils socketUtils;
    ZAV::UnixDomainSocket socket(socketUtils, kernel);
    socket.setSocketPath(kSocketPath);
    ZAV::HelperFactory helperFactory(logger);
    SFCliRegistrationFMCallback registration(logger);
    for (int type : registration.getSupportedFMMessageTypes())
        helperFactory.addFMCallback(type, &registration);
    ZAV::FMCommClient client(socket, helperFactory, logger);

    std::thread loop;
    bool registered = false;
    try {
        client.startConnection();
        loop = std::thread(startFMCommClient, &client, &logger);
        registered = registration.startFMRegistration(SF_CLI_FM_ID, kRegistrationTimeoutSecs, client);
        if (!registered)
            std::cerr << C::CLI_FMP_COMMUNICATION_EXCEPTION_MSG << std::endl;
    } catch (const ZAV::FMPException& e) {
        std::cerr << C::CLI_FMP_COMMUNICATION_EXCEPTION_MSG << "\n" << e.getMessage() << std::endl;
        logger.logMessage(2, kComponent, "Registration with ZAV failed: " + e.getMessage());
    } catch (const std::exception& e) {
        std::cerr << C::CLI_GENERIC_EXCEPTION_MSG << std::endl;
        logger.logMessage(2, kComponent, std::string("Registration with ZAV failed: ") + e.what());
    }
    if (!registered) {
        client.stop();
        if (loop.joinable())
            loop.join();
        return kExitChannel;
    }

    ZAV::CommandCallbackForCLIFM commandCallback(logger, replyBound);
    for (int type : commandCallback.getSupportedFMMessageTypes())
        helperFactory.addFMCallback(type, &commandCallback);

    int exitCode = 0;
    {
        SFCliCommands commands(logger);
        SFCli cli(logger);
        // A waiter's bound on the holder is the holder's own reply bound, so both use one.
        SFCliTurns turns(
            commandCallback, logger,
            [&commandCallback](int commandId) { return commandCallback.replyBoundOf(commandId); },
            std::cerr);
        cli.initCli();
        exitCode = runCommandLine([&] { return cli.parseAndPerformHelp(argc, argv); },
                                  [&] { return cli.performCli(commands, turns, client); },
                                  logger);
        // Another tool held the turn beyond its bound: this one's request went unsent, which
        // is neither the daemon's answer nor its silence.
        if (!turns.gaveUp().empty()) {
            std::cerr << turns.gaveUp() << std::endl;
            exitCode = kExitChannel;
        }
    }
    // A peer that stopped answering is a lost peer, as one that never acknowledged.
    if (commandCallback.peerLost()) {
        std::cerr << kNoReplyMsg << std::endl;
        logger.logMessage(2, kComponent, "No reply from the daemon in time; exiting with " +
                                             std::to_string(kExitChannel));
        exitCode = kExitChannel;
    }

    registration.startFMDeregistration(SF_CLI_FM_ID, client);
    try {
        // No pause before stopping: the deregistration was written on the same stream socket
        // before the shutdown, so the service reads it before it sees the connection end.
        client.stop();
        loop.join();
    } catch (const std::exception& e) {
        std::cerr << C::CLI_DEREGISTRATION_FAILURE_MSG << std::endl;
        logger.logMessage(2, kComponent, std::string("Stopping the channel failed: ") + e.what());
        exitCode = kExitChannel;
    }
    return exitCode;
}
