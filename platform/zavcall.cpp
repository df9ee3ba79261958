// zavcall: sends one command over the platform command channel as framework manager 3000 and
// prints the reply.
//
//   zavcall --cmd ID [--dest ID] [--socket PATH] [--verbose] [PAYLOAD]
//   PAYLOAD: --narrow-int N | --wide-int N | --narrow-bool 0|1 | --wide-bool 0|1 |
//            --narrow-string TEXT | --wide-string TEXT | --narrow-raw ARCHIVE | --wide-raw ARCHIVE
//
// Prints "completed C, status S", then the reply's data kind and size and the data itself.
// Exit status: 0 when the reply is completed and its status is set, 1 when it is not, 2 for a
// bad command line, 3 when the channel cannot be used (no service, no acknowledgement, a send
// that fails).

#include "CommandCallbackForCLIFM.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "FMCommClient.h"
#include "FMPException.h"
#include "HelperFactory.h"
#include "ILogger.h"
#include "SFPlainRegistrationCallback.h"
#include "UnixDomainSocket.h"
#include "UnixDomainSocketUtils.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/serialization/string.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr int kCliFmId = 3000;
constexpr int kRegistrationTimeoutSecs = 10;
constexpr int kExitNotCompleted = 1;
constexpr int kExitUsage = 2;
constexpr int kExitChannel = 3;

// Failures always go to standard error; everything else only with --verbose.
class StderrLogger : public ZAV::ILogger {
public:
    explicit StderrLogger(bool verbose) : m_verbose(verbose) {}
    void logMessage(int level, std::string component, std::string message) noexcept override
    {
        if (level > 4 && !m_verbose)
            return;
        try {
            std::lock_guard<std::mutex> lock(m_mutex);
            std::cerr << "zavcall [" << level << "] " << component << ": " << message << '\n';
        } catch (...) {
            // Nowhere left to report a failing standard error.
        }
    }

private:
    bool m_verbose;
    std::mutex m_mutex;
};

using Registration = StatefulFirewall::SFPlainRegistrationCallback;

struct Options {
    std::string socketPath = "/var/Varnik/kyv/zav/zavsocket";
    int commandId = 0;
    bool haveCommand = false;
    int destination = 7000;
    bool verbose = false;
    std::string payloadKind; // option name without "--", empty for none
    std::string payloadValue;
};

void usage()
{
    std::cerr << "usage: zavcall --cmd ID [--dest ID] [--socket PATH] [--verbose]\n"
                 "               [--narrow-int N | --wide-int N | --narrow-bool 0|1 | --wide-bool 0|1 |\n"
                 "                --narrow-string TEXT | --wide-string TEXT |\n"
                 "                --narrow-raw ARCHIVE | --wide-raw ARCHIVE]\n";
}

bool parseInt(const std::string& text, int& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

bool parseOptions(int argc, char** argv, Options& options)
{
    static const std::map<std::string, bool> payloads = {
        {"narrow-int", true}, {"wide-int", true},       {"narrow-bool", true}, {"wide-bool", true},
        {"narrow-string", true}, {"wide-string", true}, {"narrow-raw", true},  {"wide-raw", true}};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::cerr << "zavcall: unexpected argument " << arg << '\n';
            return false;
        }
        const std::string name = arg.substr(2);
        const std::string value = argv[++i];
        if (name == "cmd") {
            if (!parseInt(value, options.commandId))
                return false;
            options.haveCommand = true;
        } else if (name == "dest") {
            if (!parseInt(value, options.destination))
                return false;
        } else if (name == "socket") {
            options.socketPath = value;
        } else if (payloads.count(name) != 0) {
            if (!options.payloadKind.empty()) {
                std::cerr << "zavcall: only one payload may be given\n";
                return false;
            }
            options.payloadKind = name;
            options.payloadValue = value;
        } else {
            std::cerr << "zavcall: unknown option " << arg << '\n';
            return false;
        }
    }
    if (!options.haveCommand)
        std::cerr << "zavcall: --cmd is required\n";
    return options.haveCommand;
}

// Writes the payload into the request; false for a value that does not fit its kind.
bool writePayload(const Options& options, ZAV::CommandRequest& request)
{
    const std::string& kind = options.payloadKind;
    if (kind.empty())
        return true;
    const bool narrow = kind.rfind("narrow-", 0) == 0;
    const std::string type = kind.substr(kind.find('-') + 1);
    if (type == "raw") {
        request.setCustomDataPresent(true);
        request.setCustomUTF8DataPresent(narrow);
        request.setRawCustomData(options.payloadValue, !narrow);
        return true;
    }
    request.setCustomDataPresent(true);
    request.setCustomUTF8DataPresent(narrow);
    auto write = [&](const auto& value) {
        if (narrow)
            *request.getNarrowOutputArchive() << value;
        else
            *request.getWideOutputArchive() << value;
    };
    if (type == "int" || type == "bool") {
        int value = 0;
        if (!parseInt(options.payloadValue, value) || (type == "bool" && value != 0 && value != 1)) {
            std::cerr << "zavcall: bad value for --" << kind << ": " << options.payloadValue << '\n';
            return false;
        }
        if (type == "bool")
            write(value != 0);
        else
            write(value);
        return true;
    }
    write(options.payloadValue);
    return true;
}

const char* kindName(int kind)
{
    switch (kind) {
    case 1: return "narrow";
    case 2: return "wide";
    default: return "none";
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage();
        return kExitUsage;
    }

    StderrLogger logger(options.verbose);
    ZAV::UnixDomainSocketUtils socketUtils;
    ZAV::UnixDomainSocket socket(socketUtils, nullptr);
    socket.setSocketPath(options.socketPath);
    ZAV::HelperFactory helperFactory(logger);
    Registration registration(logger);
    for (int type : registration.getSupportedFMMessageTypes())
        helperFactory.addFMCallback(type, &registration);
    ZAV::CommandCallbackForCLIFM commands(logger);
    for (int type : commands.getSupportedFMMessageTypes())
        helperFactory.addFMCallback(type, &commands);
    ZAV::FMCommClient client(socket, helperFactory, logger);

    try {
        client.startConnection();
    } catch (const ZAV::FMPException& e) {
        std::cerr << "zavcall: " << e.getMessage() << '\n';
        return kExitChannel;
    }
    std::thread loop([&client, &logger] {
        try {
            client.run();
        } catch (const ZAV::FMPException& e) {
            logger.logMessage(4, "zavcall", "The command client's loop ended: " + e.getMessage());
        }
    });
    auto finish = [&](int status) {
        client.stop();
        loop.join();
        return status;
    };

    try {
        if (!registration.core().startFMRegistration(kCliFmId, kRegistrationTimeoutSecs, client)) {
            std::cerr << "zavcall: the platform service did not acknowledge the registration\n";
            return finish(kExitChannel);
        }
    } catch (const ZAV::FMPException& e) {
        std::cerr << "zavcall: " << e.getMessage() << '\n';
        return finish(kExitChannel);
    }

    int status = kExitNotCompleted;
    try {
        ZAV::CommandRequest request(options.commandId, options.destination);
        if (!writePayload(options, request)) {
            registration.core().startFMDeregistration(kCliFmId, client);
            return finish(kExitUsage);
        }
        ZAV::CommandResponse response;
        commands.sendCommandRequest(request, response, kCliFmId, client, false);
        std::cout << "completed " << (response.getCommandCompleted() ? 1 : 0) << ", status "
                  << (response.getCommandStatus() ? 1 : 0) << '\n';
        std::cout << "data " << kindName(response.getCustomDataKind()) << ", "
                  << response.getCustomData().size() << " bytes\n";
        if (response.hasCustomData())
            std::cout << response.getCustomData() << '\n';
        if (response.getCommandCompleted() && response.getCommandStatus())
            status = 0;
    } catch (const ZAV::FMPException& e) {
        std::cerr << "zavcall: " << e.getMessage() << '\n';
        status = kExitChannel;
    } catch (const boost::archive::archive_exception& e) {
        std::cerr << "zavcall: cannot write the payload: " << e.what() << '\n';
        status = kExitChannel;
    }
    registration.core().startFMDeregistration(kCliFmId, client);
    return finish(status);
}
