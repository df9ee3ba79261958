// The channel's client side through the life of the platform service as a separate process:
// stopping, the service dying and coming back, a responder that stalls or fails, and the
// zavcall probe.

#include "ChannelClientRig.h"
#include "ChannelTestClient.h"
#include "ChildProcess.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "FMPException.h"
#include "FakeResponder.h"
#include "HangGuard.h"
#include "TempDir.h"

#include <boost/serialization/string.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace TestSupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Role = ChannelClientRig::Role;

namespace {

constexpr int kTool = 3000;
constexpr int kDaemon = 7000;

using Process = ChildProcess;

bool acceptsConnections(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

class ChannelLifeCycleTest : public ::testing::Test {
protected:
    TempDir m_dir;
    std::string m_socketPath = m_dir.file("zav/zavsocket");
    std::unique_ptr<Process> m_service;

    void startService()
    {
        m_service = std::make_unique<Process>(
            std::vector<std::string>{TQ_ZAVBROKERD, "--socket", m_socketPath},
            m_dir.file("service.log"));
        const auto deadline = Clock::now() + kHangGuard;
        while (!acceptsConnections(m_socketPath)) {
            if (Clock::now() > deadline)
                throw std::runtime_error("the service did not come up: " +
                                         readFile(m_dir.file("service.log")));
            std::this_thread::sleep_for(5ms);
        }
    }
    void killService()
    {
        m_service->signal(SIGKILL);
        m_service->wait(kHangGuard);
    }
    void SetUp() override { startService(); }

    static ZAV::CommandRequest* echoRequest(ZAV::CommandRequest& request, const std::string& text)
    {
        request.setCustomDataPresent(true);
        *request.getWideOutputArchive() << text;
        return &request;
    }

    // zavcall's exit status, with its output in output.
    int zavcall(std::vector<std::string> args, std::string& output)
    {
        args.insert(args.begin(), {TQ_ZAVCALL, "--socket", m_socketPath});
        Process probe(args, m_dir.file("zavcall.out"));
        const int status = probe.wait(kHangGuard);
        output = readFile(m_dir.file("zavcall.out"));
        return status;
    }
};

TEST_F(ChannelLifeCycleTest, StopEndsTheRunLoopBlockedInItsRead)
{
    ChannelClientRig tool(m_socketPath, kTool, Role::Requester);
    ASSERT_TRUE(tool.start());
    std::this_thread::sleep_for(50ms); // the loop is blocked in its read by now
    tool.client().stop();
    // Nothing else would wake the read: a stop that does not interrupt it hangs here.
    ASSERT_TRUE(tool.waitLoopEnded(kHangGuard));
    EXPECT_EQ(tool.lastFailure(), "") << "run() must return normally after stop()";
    EXPECT_FALSE(tool.client().isActive());
    EXPECT_FALSE(tool.socket().isConnected());
    // A stopped client does not connect again for a sender.
    const std::string bytes = "x";
    EXPECT_THROW(tool.client().sendRawMessage(bytes.data(), bytes.size()), ZAV::FMPException);
}

TEST_F(ChannelLifeCycleTest, SignalsInterruptingTheReadDoNotBreakTheConnection)
{
    // A handler installed without SA_RESTART makes the blocked read return EINTR.
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &previous), 0);

    ChannelClientRig daemon(m_socketPath, kDaemon, Role::Responder);
    ASSERT_TRUE(daemon.start());
    ChannelClientRig tool(m_socketPath, kTool, Role::Requester);
    ASSERT_TRUE(tool.start());
    for (int i = 0; i < 20; ++i) {
        ::pthread_kill(daemon.loopThread(), SIGUSR1);
        ::pthread_kill(tool.loopThread(), SIGUSR1);
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_FALSE(tool.waitLoopEnded(20ms)) << tool.lastFailure();
    ASSERT_FALSE(daemon.waitLoopEnded(0ms)) << daemon.lastFailure();
    ZAV::CommandRequest request(500, kDaemon);
    ZAV::CommandResponse response;
    tool.call(*echoRequest(request, "interrupted"), response);
    EXPECT_TRUE(response.getCommandStatus());
    tool.stop();
    daemon.stop();
    ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(ChannelLifeCycleTest, KillingTheServiceFailsPendingSendsAtOnceWithoutSigpipe)
{
    ChannelClientRig daemon(m_socketPath, kDaemon, Role::Responder);
    daemon.handler().script(500, FakeCommandHandler::Behaviour::HoldUntilReleased);
    ASSERT_TRUE(daemon.start());
    ChannelClientRig tool(m_socketPath, kTool, Role::Requester);
    ASSERT_TRUE(tool.start());

    ZAV::CommandRequest request(500, kDaemon);
    ZAV::CommandResponse response;
    auto pending = std::async(std::launch::async, [&] { tool.call(*echoRequest(request, "held"), response); });
    ASSERT_TRUE(daemon.handler().waitForCommands(1, kHangGuard));

    killService();
    // The send timeout is 300 s: a pending send that waited for it instead of failing when the
    // connection broke is caught by the guard.
    ASSERT_EQ(pending.wait_for(kHangGuard), std::future_status::ready);
    pending.get();
    EXPECT_FALSE(response.getCommandCompleted());
    ASSERT_TRUE(tool.waitLoopEnded(kHangGuard));
    EXPECT_NE(tool.lastFailure(), "") << "run() must throw when the connection breaks";

    // The daemon's held reply now goes to a dead peer: a failed send, not a fatal signal, and
    // the answer of last resort fails the same way.
    daemon.handler().release();
    ASSERT_TRUE(daemon.waitLoopEnded(kHangGuard));
    // With nobody listening the client's raw send reconnects and fails with an exception.
    const std::string bytes(24, '\0');
    EXPECT_THROW(daemon.client().sendRawMessage(bytes.data(), bytes.size()), ZAV::FMPException);
}

TEST_F(ChannelLifeCycleTest, TimeoutOverrideEndsTheWaitForAStallingDaemon)
{
    FakeResponder daemon(m_socketPath, kDaemon);
    daemon.script(500, ScriptedAnswer::ignore());
    ASSERT_EQ(daemon.start(), 1);

    ASSERT_EQ(::setenv("ZAV_SEND_TIMEOUT_SECS", "1", 1), 0);
    ChannelClientRig tool(m_socketPath, kTool, Role::Requester); // reads the override
    ::unsetenv("ZAV_SEND_TIMEOUT_SECS");
    ASSERT_TRUE(tool.start());

    ZAV::CommandRequest request(500, kDaemon);
    ZAV::CommandResponse response;
    const auto start = Clock::now();
    tool.call(*echoRequest(request, "stall"), response);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 900ms);
    // Far above the 1 s override on a loaded machine, far below the 300 s default it replaces.
    EXPECT_LT(took, kHangGuard);
    EXPECT_FALSE(response.getCommandCompleted());
    EXPECT_TRUE(tool.log().has(4, "No reply to command 500 to 7000 within 1 s"));
}

TEST_F(ChannelLifeCycleTest, AfterARestartRawSendReconnectsAndRegistersAgain)
{
    ChannelClientRig daemon(m_socketPath, kDaemon, Role::Responder);
    daemon.reRegisterAfterBreaks(100ms);
    ASSERT_TRUE(daemon.start());

    killService();
    startService();

    // The daemon re-registers on its own; a tool reaches it once that went through.
    ChannelClientRig tool(m_socketPath, kTool, Role::Requester);
    ASSERT_TRUE(tool.start());
    bool answered = false;
    const auto deadline = Clock::now() + kHangGuard;
    while (!answered && Clock::now() < deadline) {
        ZAV::CommandRequest request(500, kDaemon);
        ZAV::CommandResponse response;
        tool.call(*echoRequest(request, "back"), response);
        std::string reply;
        if (response.getCommandCompleted() && response.getNarrowInputArchive() != nullptr)
            *response.getNarrowInputArchive() >> reply;
        answered = reply == "echo:back";
        if (!answered)
            std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(answered);
    EXPECT_GE(daemon.runs(), 2);
    EXPECT_TRUE(daemon.log().has(5, "Connected again to the platform service at " + m_socketPath));
}

TEST_F(ChannelLifeCycleTest, HandlerThatThrowsStillYieldsCompletedWithStatusFalse)
{
    ChannelClientRig daemon(m_socketPath, kDaemon, Role::Responder);
    daemon.handler().script(502, FakeCommandHandler::Behaviour::Throw);
    ASSERT_TRUE(daemon.start());
    ChannelClientRig tool(m_socketPath, kTool, Role::Requester);
    ASSERT_TRUE(tool.start());

    ZAV::CommandRequest request(502, kDaemon);
    ZAV::CommandResponse response;
    tool.call(request, response);
    EXPECT_TRUE(response.getCommandCompleted());
    EXPECT_FALSE(response.getCommandStatus());
    EXPECT_FALSE(response.hasCustomData());
    // The daemon's loop survived the throw and serves the next command.
    ZAV::CommandRequest next(500, kDaemon);
    ZAV::CommandResponse nextResponse;
    tool.call(*echoRequest(next, "after"), nextResponse);
    EXPECT_TRUE(nextResponse.getCommandStatus());
}

TEST_F(ChannelLifeCycleTest, ZavcallReportsTheReplyInItsExitStatus)
{
    std::string output;
    EXPECT_EQ(zavcall({"--dest", "1", "--cmd", "1003", "--narrow-bool", "1"}, output), 0) << output;
    EXPECT_NE(output.find("completed 1, status 1"), std::string::npos) << output;

    // No daemon: answered not completed by the service. Waiting for the 300 s send timeout
    // instead would outlast the probe's hang guard and leave "completed 0" unprinted.
    EXPECT_NE(zavcall({"--dest", "7000", "--cmd", "100000"}, output), 0) << output;
    EXPECT_NE(output.find("completed 0"), std::string::npos) << output;

    // A daemon that echoes: the reply's data is printed.
    ChannelClientRig daemon(m_socketPath, kDaemon, Role::Responder);
    ASSERT_TRUE(daemon.start());
    EXPECT_EQ(zavcall({"--cmd", "500", "--wide-string", "ping"}, output), 0) << output;
    EXPECT_NE(output.find("data narrow"), std::string::npos) << output;
    EXPECT_NE(output.find("echo:ping"), std::string::npos) << output;
    EXPECT_EQ(daemon.handler().received().size(), 1u);

    // Nobody listening: the channel failure has its own status.
    killService();
    EXPECT_EQ(zavcall({"--cmd", "500"}, output), 3) << output;
}

} // namespace
