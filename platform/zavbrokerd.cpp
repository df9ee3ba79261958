// zavbrokerd: the platform service. Serves the command channel until SIGTERM or SIGINT (exit
// 0, socket removed); SIGHUP re-reads the common policy file and pushes it to the daemon.
// Exit 1 when it cannot start (another one runs, a bad policy file), 2 on a bad command line.
//
// Log lines go to standard error, one write per line.

#include "Broker.h"
#include "ILogger.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: zavbrokerd [--socket PATH] [--common-policy FILE] [--verbose]\n"
    "                  [--no-ack] [--ack-delay SECS] [--ack-status 0|1]\n";

// Writes each line whole with one write(2), so lines of concurrent writers never mix.
class StderrLogger : public ZAV::ILogger {
public:
    explicit StderrLogger(int maxLevel) : m_maxLevel(maxLevel) {}

    void logMessage(int level, std::string component, std::string message) noexcept override
    {
        if (level > m_maxLevel)
            return;
        try {
            char stamp[32] = "";
            const std::time_t now = std::time(nullptr);
            std::tm parts {};
            if (localtime_r(&now, &parts) != nullptr)
                std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &parts);
            const std::string line = std::string(stamp) + " zavbrokerd[" + std::to_string(::getpid()) +
                                     "] " + std::to_string(level) + " " + component + ": " + message + "\n";
            size_t done = 0;
            while (done < line.size()) {
                const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return;
                done += static_cast<size_t>(n);
            }
        } catch (const std::exception&) {
            // Out of memory while formatting: the line is lost, the service goes on.
        }
    }

private:
    int m_maxLevel;
};

std::atomic<ZAV::Broker*> g_broker{nullptr};

static_assert(std::atomic<ZAV::Broker*>::is_always_lock_free, "read in signal handlers");

void onStop(int)
{
    if (ZAV::Broker* broker = g_broker.load())
        broker->stop();
}

void onHangUp(int)
{
    if (ZAV::Broker* broker = g_broker.load())
        broker->reloadCommonPolicy();
}

bool parseInt(const char* text, int& value)
{
    const char* end = text + std::strlen(text);
    const auto result = std::from_chars(text, end, value);
    return *text != '\0' && result.ec == std::errc() && result.ptr == end;
}

// False, with the reason on standard error, for an unknown option or a bad value.
bool parseArguments(int argc, char** argv, ZAV::BrokerOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--no-ack") {
            options.noAck = true;
        } else if (option == "--verbose") {
            options.verbose = true;
        } else if (option == "--socket" && hasValue) {
            options.socketPath = argv[++i];
        } else if (option == "--common-policy" && hasValue) {
            options.commonPolicyFile = argv[++i];
        } else if (option == "--ack-delay" && hasValue) {
            if (!parseInt(argv[++i], options.ackDelaySecs) || options.ackDelaySecs < 0) {
                std::cerr << "zavbrokerd: --ack-delay takes a number of seconds, not \"" << argv[i] << "\"\n";
                return false;
            }
        } else if (option == "--ack-status" && hasValue) {
            if (!parseInt(argv[++i], options.ackStatus) || (options.ackStatus != 0 && options.ackStatus != 1)) {
                std::cerr << "zavbrokerd: --ack-status takes 0 or 1, not \"" << argv[i] << "\"\n";
                return false;
            }
        } else {
            std::cerr << "zavbrokerd: unknown option or missing value: " << option << "\n";
            return false;
        }
    }
    return true;
}

void setHandler(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    ZAV::BrokerOptions options;
    if (!parseArguments(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    StderrLogger logger(options.verbose ? 6 : 5);
    ZAV::Broker broker(logger, options);

    // Installed before start() so a SIGTERM during start-up still ends the service cleanly:
    // stop() before run() makes run() return at once.
    g_broker = &broker;
    setHandler(SIGTERM, onStop);
    setHandler(SIGINT, onStop);
    setHandler(SIGHUP, onHangUp);
    setHandler(SIGPIPE, SIG_IGN);

    std::string error;
    if (!broker.start(error)) {
        logger.logMessage(2, "ZAVBroker", "Cannot start the platform service: " + error);
        return 1;
    }
    broker.run();

    // No handler may reach the broker while it is being torn down.
    setHandler(SIGTERM, SIG_IGN);
    setHandler(SIGINT, SIG_IGN);
    setHandler(SIGHUP, SIG_IGN);
    g_broker = nullptr;
    return 0;
}
