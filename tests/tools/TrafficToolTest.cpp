// Runs tq-traffic on the loopback network as the firewall tests will, and checks what they rely
// on: its exit status for each outcome, its "ready" and "peer" lines, and that every wait ends.

#include "HangGuard.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
// Waits for the tool end as soon as it has done its part; only a hang waits this long.
constexpr int kGuardMs = static_cast<int>(TestSupport::kHangGuard.count()) * 1000;

const char kLoopback[] = "127.0.0.1";

// A pipe whose ends are closed on exec, so one child cannot hold another child's pipe open.
struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    Pipe()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
        readEnd = fds[0];
        writeEnd = fds[1];
    }
    ~Pipe()
    {
        closeWriteEnd();
        if (readEnd >= 0)
            close(readEnd);
    }
    void closeWriteEnd()
    {
        if (writeEnd >= 0)
            close(writeEnd);
        writeEnd = -1;
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
};

// One run of the tool with its standard output and error on pipes. A run still going when the
// object goes is killed, so a failed assertion never leaves a child behind.
class ToolRun {
public:
    explicit ToolRun(const std::vector<std::string>& args)
    {
        std::vector<std::string> words{TQ_TRAFFIC_TOOL};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // dup2 clears close-on-exec on the copies, so only these two reach the tool.
        posix_spawn_file_actions_adddup2(&actions, m_out.writeEnd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, m_err.writeEnd, STDERR_FILENO);
        const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            throw std::runtime_error(std::string("posix_spawn ") + argv[0] + ": " +
                                     std::strerror(spawned));
        m_out.closeWriteEnd();
        m_err.closeWriteEnd();
    }

    ~ToolRun()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            reap(0);
        }
    }
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;

    // Next line of standard output without its newline; empty when none came within timeoutMs.
    std::string readLine(int timeoutMs)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t newline = m_stdout.find('\n', m_consumed);
            if (newline != std::string::npos) {
                std::string line = m_stdout.substr(m_consumed, newline - m_consumed);
                m_consumed = newline + 1;
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0 || !readSome(m_out.readEnd, m_stdout, static_cast<int>(left)))
                return std::string();
        }
    }

    // The port from the tool's "ready <addr>:<port>" line; 0 when it did not say it is ready.
    uint16_t readyPort()
    {
        const std::string line = readLine(kGuardMs);
        const size_t colon = line.rfind(':');
        if (line.compare(0, 6, "ready ") != 0 || colon == std::string::npos)
            return 0;
        return static_cast<uint16_t>(std::stoul(line.substr(colon + 1)));
    }

    // Exit status once the tool ends; -1 when it did not end within timeoutMs (it is killed).
    int wait(int timeoutMs = kGuardMs)
    {
        const int status = reap(timeoutMs);
        m_pid = -1;
        while (readSome(m_out.readEnd, m_stdout, 0)) {
        }
        while (readSome(m_err.readEnd, m_stderr, 0)) {
        }
        return status;
    }

    // Everything the tool wrote; complete only after wait().
    const std::string& output() const { return m_stdout; }
    const std::string& errors() const { return m_stderr; }

private:
    int reap(int timeoutMs)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int status = 0;
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done < 0 && errno == EINTR)
                continue;
            if (done == m_pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            if (done < 0)
                return -1;
            if (Clock::now() >= end) {
                kill(m_pid, SIGKILL);
                while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
                }
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Appends what fd has within timeoutMs; false at end of file, on timeout or error.
    static bool readSome(int fd, std::string& into, int timeoutMs)
    {
        pollfd entry{fd, POLLIN, 0};
        int ready = 0;
        while ((ready = poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
        }
        if (ready <= 0)
            return false;
        char buffer[1024];
        ssize_t got = 0;
        while ((got = read(fd, buffer, sizeof(buffer))) < 0 && errno == EINTR) {
        }
        if (got <= 0)
            return false;
        into.append(buffer, static_cast<size_t>(got));
        return true;
    }

    Pipe m_out;
    Pipe m_err;
    pid_t m_pid = -1;
    std::string m_stdout;
    size_t m_consumed = 0;
    std::string m_stderr;
};

struct Finished {
    int status;
    std::string output;
    std::string errors;
    long long elapsedMs;
};

Finished runTool(const std::vector<std::string>& args)
{
    const auto start = Clock::now();
    ToolRun run(args);
    const int status = run.wait();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return {status, run.output(), run.errors(), static_cast<long long>(elapsed.count())};
}

// A loopback socket of the given type bound to a port the system picks, held for the test.
class BoundSocket {
public:
    explicit BoundSocket(int type)
    {
        m_fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
        m_port = ntohs(address.sin_port);
    }
    ~BoundSocket() { close(m_fd); }
    BoundSocket(const BoundSocket&) = delete;
    BoundSocket& operator=(const BoundSocket&) = delete;

    int fd() const { return m_fd; }
    std::string port() const { return std::to_string(m_port); }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

size_t countOf(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST(TrafficToolTest, UdpEchoReturnsEveryDatagramToItsSender)
{
    ToolRun echo({"udp-echo", kLoopback, "0", "--count", "5"});
    const uint16_t port = echo.readyPort();
    ASSERT_NE(port, 0);

    // From a second loopback address, so the echo's "peer" lines show that --from is honoured.
    const Finished sender = runTool({"udp-send", kLoopback, std::to_string(port), "--from",
                                     "127.0.0.2", "--count", "5", "--interval-ms", "1",
                                     "--expect-reply"});
    EXPECT_EQ(sender.status, 0) << sender.errors;
    EXPECT_EQ(echo.wait(), 0) << echo.errors();
    EXPECT_EQ(countOf(echo.output(), "peer 127.0.0.2:"), 5u) << echo.output();
}

TEST(TrafficToolTest, UdpSendTellsRefusedFromUnanswered)
{
    // Nobody on the port: the ICMP port unreachable makes it a refusal.
    const std::string closedPort = BoundSocket(SOCK_DGRAM).port();
    const Finished refused =
        runTool({"udp-send", kLoopback, closedPort, "--expect-reply", "--timeout", "1000"});
    EXPECT_EQ(refused.status, 1) << refused.errors;

    // Someone takes the datagram but never answers: only the timeout ends the wait.
    const BoundSocket silent(SOCK_DGRAM);
    const Finished unanswered =
        runTool({"udp-send", kLoopback, silent.port(), "--expect-reply", "--timeout", "200"});
    EXPECT_EQ(unanswered.status, 3) << unanswered.errors;

    // Without --expect-reply sending is all there is to it.
    EXPECT_EQ(runTool({"udp-send", kLoopback, silent.port(), "--count", "3"}).status, 0);
}

TEST(TrafficToolTest, TcpConnectGetsGreetingAndListenerSeesEachSource)
{
    ToolRun listener({"tcp-listen", kLoopback, "0", "--count", "2"});
    const uint16_t port = listener.readyPort();
    ASSERT_NE(port, 0);

    const Finished plain = runTool({"tcp-connect", kLoopback, std::to_string(port)});
    EXPECT_EQ(plain.status, 0) << plain.errors;
    EXPECT_EQ(plain.output, "ok\n");
    const Finished fromSecond =
        runTool({"tcp-connect", kLoopback, std::to_string(port), "--from", "127.0.0.2"});
    EXPECT_EQ(fromSecond.status, 0) << fromSecond.errors;
    EXPECT_EQ(fromSecond.output, "ok\n");

    EXPECT_EQ(listener.wait(), 0) << listener.errors();
    EXPECT_EQ(countOf(listener.output(), "peer 127.0.0.1:"), 1u) << listener.output();
    EXPECT_EQ(countOf(listener.output(), "peer 127.0.0.2:"), 1u) << listener.output();
}

TEST(TrafficToolTest, TcpConnectToClosedPortIsRefused)
{
    // Bound but not listening: the port stays ours and answers a SYN with a reset.
    const BoundSocket closed(SOCK_STREAM);
    const Finished result = runTool({"tcp-connect", kLoopback, closed.port()});
    EXPECT_EQ(result.status, 1) << result.errors;
    EXPECT_EQ(result.output, "");
}

TEST(TrafficToolTest, EveryWaitEndsWithTimeoutStatus)
{
    // A listener whose only accept-queue place is taken drops further SYNs, so the connect
    // hangs as it would behind a dropping firewall.
    const BoundSocket full(SOCK_STREAM);
    ASSERT_EQ(listen(full.fd(), 0), 0) << std::strerror(errno);
    const int queued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(queued, 0);
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(full.fd(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0)
        << std::strerror(errno);

    const std::vector<std::vector<std::string>> waits = {
        {"udp-echo", kLoopback, "0", "--timeout", "200"},
        {"tcp-listen", kLoopback, "0", "--timeout", "200"},
        {"tcp-connect", kLoopback, full.port(), "--timeout", "200"},
    };
    for (const auto& args : waits) {
        const Finished result = runTool(args);
        // A wait the timeout did not end runs into the hang guard and is killed (status -1).
        EXPECT_EQ(result.status, 3) << args[0] << ": " << result.errors;
        EXPECT_GE(result.elapsedMs, 150) << args[0];
    }
    close(queued);
}

TEST(TrafficToolTest, BadArgumentsExitWithUsage)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"ping", kLoopback},
        {"udp-echo", kLoopback},
        {"udp-echo", kLoopback, "7", "8"},
        {"udp-echo", kLoopback, "65536"},
        {"udp-echo", kLoopback, "12x"},
        {"udp-echo", kLoopback, "-1"},
        {"udp-echo", kLoopback, " 7"},
        {"udp-echo", kLoopback, "99999999999999999999"},
        {"udp-echo", kLoopback, "7", "--count", "0"},
        {"udp-echo", kLoopback, "7", "--count"},
        {"udp-echo", kLoopback, "7", "--from", kLoopback},
        {"udp-echo", kLoopback, "7", "--timeout", "0"},
        {"udp-echo", kLoopback, "7", "--timeout", "100", "--timeout", "200"},
        {"udp-send", kLoopback, "0"},
        {"udp-send", "127.0.0", "7"},
        {"udp-send", "::1", "7"},
        {"udp-send", "localhost", "7"},
        {"udp-send", kLoopback, "7", "--from", "127.0.0.256"},
        {"udp-send", kLoopback, "7", "--interval-ms", "1.5"},
        {"tcp-connect", kLoopback, "7", "--expect-reply"},
        {"raw-send", kLoopback},
        {"raw-send", kLoopback, "--protocol", "0"},
        {"raw-send", kLoopback, "--protocol", "256"},
        {"raw-send", kLoopback, "7", "--protocol", "47"},
    };
    for (const auto& args : bad) {
        std::string shown;
        for (const std::string& word : args)
            shown += "'" + word + "' ";
        const Finished result = runTool(args);
        EXPECT_EQ(result.status, 64) << shown;
        EXPECT_NE(result.errors.find("usage: tq-traffic"), std::string::npos) << shown;
        EXPECT_EQ(result.output, "") << shown;
    }
}

} // namespace
