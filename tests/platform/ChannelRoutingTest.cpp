// Real channel clients (socket, command client, callbacks) against the platform service's
// routing core running in-process on a temporary socket.

#include "ChannelClientRig.h"
#include "ChannelTestClient.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "CommonExtPolicyObj.h"
#include "FakeResponder.h"
#include "HangGuard.h"
#include "InProcessBroker.h"
#include "TempDir.h"

#include <boost/serialization/string.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace TestSupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Role = ChannelClientRig::Role;

namespace {

constexpr int kTool = 3000;
constexpr int kDaemon = 7000;

class ChannelRoutingTest : public ::testing::Test {
protected:
    TempDir m_dir;
    std::string m_socketPath = m_dir.file("zav/zavsocket");
    std::unique_ptr<InProcessBroker> m_broker;

    void startBroker(ZAV::BrokerOptions options = {})
    {
        options.socketPath = m_socketPath;
        m_broker = std::make_unique<InProcessBroker>(options);
        m_broker->start();
    }
    void SetUp() override { startBroker(); }

    // Sends text to 7000 as command 500 through rig; returns the reply text ("" without data).
    static std::string echo(ChannelClientRig& rig, const std::string& text, ZAV::CommandResponse& response)
    {
        ZAV::CommandRequest request(500, kDaemon);
        request.setCustomDataPresent(true);
        *request.getWideOutputArchive() << text;
        rig.call(request, response);
        std::string reply;
        if (response.getNarrowInputArchive() != nullptr)
            *response.getNarrowInputArchive() >> reply;
        return reply;
    }
};

TEST_F(ChannelRoutingTest, TwoToolClientsGetTheirOwnRepliesOverParallelRounds)
{
    ChannelClientRig daemon(m_socketPath, kDaemon, Role::Responder);
    ASSERT_TRUE(daemon.start());
    ChannelClientRig first(m_socketPath, kTool, Role::Requester);
    ChannelClientRig second(m_socketPath, kTool, Role::Requester);
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(second.start());

    constexpr int kRounds = 100;
    std::atomic<int> mismatches{0};
    auto rounds = [&mismatches](ChannelClientRig& rig, const std::string& name) {
        for (int i = 0; i < kRounds; ++i) {
            ZAV::CommandResponse response;
            const std::string text = name + "-" + std::to_string(i);
            const std::string reply = echo(rig, text, response);
            if (!response.getCommandCompleted() || !response.getCommandStatus() ||
                reply != "echo:" + text)
                ++mismatches;
        }
    };
    std::thread a(rounds, std::ref(first), "first");
    std::thread b(rounds, std::ref(second), "second");
    a.join();
    b.join();
    EXPECT_EQ(mismatches.load(), 0);
    // Every request came as wide data, so the daemon was told it was not narrow.
    const auto received = daemon.handler().received();
    EXPECT_EQ(received.size(), 2u * kRounds);
    for (const auto& [command, narrow] : received)
        EXPECT_FALSE(narrow) << command;
}

// Both answers come from the service, well before the 300 s send timeout; the hang guard
// tells the two apart even on a loaded machine.
TEST_F(ChannelRoutingTest, AbsentOrVanishingDaemonGivesNotCompletedBeforeTheSendTimeout)
{
    ChannelClientRig tool(m_socketPath, kTool, Role::Requester);
    ASSERT_TRUE(tool.start());

    ZAV::CommandResponse absent;
    auto start = Clock::now();
    echo(tool, "nobody", absent);
    EXPECT_LT(Clock::now() - start, kHangGuard);
    EXPECT_FALSE(absent.getCommandCompleted());

    // A daemon that drops its connection with the request in hand.
    FakeResponder daemon(m_socketPath, kDaemon);
    daemon.script(500, ScriptedAnswer::close());
    ASSERT_EQ(daemon.start(), 1);
    ZAV::CommandResponse vanished;
    start = Clock::now();
    echo(tool, "then gone", vanished);
    EXPECT_LT(Clock::now() - start, kHangGuard);
    EXPECT_FALSE(vanished.getCommandCompleted());
    EXPECT_TRUE(daemon.connectionEnded());
}

TEST_F(ChannelRoutingTest, SecondDaemonIsRefusedAndTheFirstKeepsServing)
{
    ChannelClientRig daemon(m_socketPath, kDaemon, Role::Responder);
    ASSERT_TRUE(daemon.start());
    ChannelClientRig intruder(m_socketPath, kDaemon, Role::Responder);
    EXPECT_FALSE(intruder.start(1));

    ChannelClientRig tool(m_socketPath, kTool, Role::Requester);
    ASSERT_TRUE(tool.start());
    ZAV::CommandResponse response;
    EXPECT_EQ(echo(tool, "who", response), "echo:who");
    EXPECT_EQ(daemon.handler().received().size(), 1u);
    EXPECT_TRUE(intruder.handler().received().empty());
}

TEST_F(ChannelRoutingTest, BadFrameClosesOnlyItsOwnConnection)
{
    ChannelClientRig daemon(m_socketPath, kDaemon, Role::Responder);
    ASSERT_TRUE(daemon.start());
    ChannelClientRig tool(m_socketPath, kTool, Role::Requester);
    ASSERT_TRUE(tool.start());

    ChannelTestClient rogue(m_socketPath);
    ASSERT_EQ(rogue.registerAs(kTool), 1);
    const int32_t badMagic[] = {4, 48, 0x4321, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    rogue.sendBytes(std::string(reinterpret_cast<const char*>(badMagic), sizeof badMagic));
    EXPECT_TRUE(rogue.waitClosed(kHangGuard));

    ZAV::CommandResponse response;
    EXPECT_EQ(echo(tool, "still here", response), "echo:still here");
    EXPECT_FALSE(tool.waitLoopEnded(0ms));
    EXPECT_FALSE(daemon.waitLoopEnded(0ms));
}

TEST_F(ChannelRoutingTest, CommonPolicyFromTheServiceReadsAsTheRecord)
{
    const std::string policyFile = m_dir.file("common-policy");
    writeFile(policyFile, "logPath=/var/log/custom\nactivityLogging=0\nactivityLogSize=7\n"
                          "debugLogging=1\nserverLogLevel=3\n");
    m_broker.reset();
    ZAV::BrokerOptions options;
    options.commonPolicyFile = policyFile;
    startBroker(options);

    // As the daemon fetches it at start-up: 1000 to the service, sent by the service callback.
    ChannelClientRig daemon(m_socketPath, kDaemon, Role::Responder);
    ASSERT_TRUE(daemon.start());
    ZAV::CommandRequest request(1000, 1);
    ZAV::CommandResponse response;
    daemon.call(request, response);
    ASSERT_TRUE(response.getCommandCompleted());
    ASSERT_TRUE(response.getCommandStatus());
    ASSERT_NE(response.getNarrowInputArchive(), nullptr);
    ZAV::CommonExtPolicyObj policy;
    *response.getNarrowInputArchive() >> policy;
    EXPECT_EQ(policy.m_logPath, "/var/log/custom");
    EXPECT_FALSE(policy.m_activityLogging);
    EXPECT_TRUE(policy.m_limitActivityLogSize);
    EXPECT_EQ(policy.m_activityLogSize, 7);
    EXPECT_TRUE(policy.m_debugLogging);
    EXPECT_EQ(policy.m_serverLogLevel, 3);
    EXPECT_TRUE(policy.m_eventLogging);
}

} // namespace
