// Round trips, each timed one by one, median and 95th percentile, next to a floor measured in
// the same run:
//
//   tq-bench-roundtrip process <runs> <program> [args...]
//       the whole program as a process (exit status 0 required each time); floor: /bin/true
//       started and reaped the same way.
//   tq-bench-roundtrip channel <requests> [socket path]
//       one process registers with the platform service through the channel library and sends
//       the daemon (framework manager 7000) its version request (100038), waiting for each
//       reply; floor: the same number of bytes echoed through a Unix socket pair by a child
//       process, which is the least a request and its reply cost on this kernel.
//
// Prints one line: median-ms p95-ms floor-median-ms floor-p95-ms

#include "BenchProcess.h"
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

#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCliFmId = 3000;
constexpr int kDaemonFmId = 7000;
constexpr int kVersionCommand = 100038;

using Bench::systemError;

// Milliseconds of each call of work.
std::vector<double> timeEach(int runs, const std::function<void()>& work)
{
    std::vector<double> times;
    times.reserve(static_cast<size_t>(runs));
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times;
}

double percentile(const std::vector<double>& sorted, double fraction)
{
    const auto index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

void print(const std::vector<double>& measured, const std::vector<double>& floor)
{
    std::cout << percentile(measured, 0.5) << ' ' << percentile(measured, 0.95) << ' '
              << percentile(floor, 0.5) << ' ' << percentile(floor, 0.95) << '\n';
}

int spawnAndWait(const std::vector<std::string>& words)
{
    return Bench::runProcess(words);
}

void processes(int runs, const std::vector<std::string>& words)
{
    const auto measured = timeEach(runs, [&] {
        const int status = spawnAndWait(words);
        if (status != 0)
            throw std::runtime_error(words[0] + " exited with " + std::to_string(status));
    });
    const auto floor = timeEach(runs, [] { spawnAndWait({"/bin/true"}); });
    print(measured, floor);
}

class QuietLogger : public ZAV::ILogger {
public:
    void logMessage(int level, std::string component, std::string message) noexcept override
    {
        if (level <= 3)
            std::cerr << "tq-bench-roundtrip [" << level << "] " << component << ": " << message << '\n';
    }
};

using Registration = StatefulFirewall::SFPlainRegistrationCallback;

// Echoes what it reads until the peer closes; runs in a child process.
[[noreturn]] void echo(int fd)
{
    std::vector<char> buffer(65536);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            _exit(0);
        if (::send(fd, buffer.data(), static_cast<size_t>(got), MSG_NOSIGNAL) != got)
            _exit(1);
    }
}

std::vector<double> socketFloor(int runs, size_t bytes)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw systemError("socketpair");
    const pid_t child = ::fork();
    if (child < 0)
        throw systemError("fork");
    if (child == 0) {
        ::close(fds[0]);
        echo(fds[1]);
    }
    ::close(fds[1]);
    const std::string message(bytes, 'x');
    std::string reply(bytes, '\0');
    const auto times = timeEach(runs, [&] {
        if (::send(fds[0], message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes))
            throw systemError("send");
        size_t have = 0;
        while (have < bytes) {
            const ssize_t got = ::read(fds[0], &reply[have], bytes - have);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                throw systemError("read");
            have += static_cast<size_t>(got);
        }
    });
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return times;
}

void channel(int requests, const std::string& socketPath)
{
    QuietLogger logger;
    ZAV::UnixDomainSocketUtils socketUtils;
    ZAV::UnixDomainSocket socket(socketUtils, nullptr);
    socket.setSocketPath(socketPath);
    ZAV::HelperFactory helperFactory(logger);
    Registration registration(logger);
    for (int type : registration.getSupportedFMMessageTypes())
        helperFactory.addFMCallback(type, &registration);
    ZAV::CommandCallbackForCLIFM commands(logger);
    for (int type : commands.getSupportedFMMessageTypes())
        helperFactory.addFMCallback(type, &commands);
    ZAV::FMCommClient client(socket, helperFactory, logger);
    client.startConnection();
    std::thread loop([&client, &logger] {
        try {
            client.run();
        } catch (const ZAV::FMPException& e) {
            logger.logMessage(3, "tq-bench-roundtrip", "The command client's loop ended: " + e.getMessage());
        }
    });
    struct Stop {
        ZAV::FMCommClient& client;
        std::thread& loop;
        ~Stop()
        {
            client.stop();
            loop.join();
        }
    } stop{client, loop};
    if (!registration.core().startFMRegistration(kCliFmId, 10, client))
        throw std::runtime_error("the platform service did not acknowledge the registration");

    size_t frameBytes = 0;
    const auto measured = timeEach(requests, [&] {
        ZAV::CommandRequest request(kVersionCommand, kDaemonFmId);
        ZAV::CommandResponse response;
        commands.sendCommandRequest(request, response, kCliFmId, client, false);
        if (!response.getCommandCompleted() || !response.getCommandStatus())
            throw std::runtime_error("the daemon did not complete the version request");
        frameBytes = std::max(frameBytes, response.outgoingData().size() + 64);
    });
    registration.core().startFMDeregistration(kCliFmId, client);
    print(measured, socketFloor(requests, frameBytes));
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const std::string mode = argc > 2 ? argv[1] : "";
        const int runs = argc > 2 ? boost::lexical_cast<int>(argv[2]) : 0;
        if (mode == "process" && argc > 3 && runs > 0) {
            processes(runs, std::vector<std::string>(argv + 3, argv + argc));
            return 0;
        }
        if (mode == "channel" && argc <= 4 && runs > 0) {
            channel(runs, argc == 4 ? argv[3] : "/var/Varnik/kyv/zav/zavsocket");
            return 0;
        }
    } catch (const ZAV::FMPException& e) {
        std::cerr << "tq-bench-roundtrip: " << e.getMessage() << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "tq-bench-roundtrip: " << e.what() << '\n';
        return 1;
    }
    std::cerr << "usage: tq-bench-roundtrip process <runs> <program> [args...]\n"
                 "       tq-bench-roundtrip channel <requests> [socket path]\n";
    return 2;
}
