// The dispatcher behind the real channel: the broker in-process, the daemon side registered as
// 7000 and the tool as 3000. Wide requests, an unreadable payload answered at once on a
// connection that keeps serving, and the start-up fetch of the common policy.

#include "CommandDispatcherRig.h"

#include "DispatcherCalls.h"
#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "HangGuard.h"
#include "RecordingKextInterface.h"
#include "RecordingPlatformLogger.h"
#include "SFCommandPayloads.h"
#include "SFController.h"
#include "SFResultCodes.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

using P = FakeConfigController::path;

class SFCommandDispatchChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_config.set(P::ruleStore, m_dir.file("rules"));
        m_config.set(P::trustedStore, m_dir.file("trusted"));
        m_config.set(P::mode, "1");
        m_controller = SFController::getInstance(m_logger, m_config, &m_bridge);
    }
    void TearDown() override
    {
        m_rig.reset();
        SFController::releaseInstance();
    }
    void startRig(const std::string& policyFile = {})
    {
        m_rig = std::make_unique<CommandDispatcherRig>(m_dir.path(), m_config, m_monitor, m_logger,
                                                       policyFile);
    }

    TempDir m_dir;
    RecordingPlatformLogger m_logger;
    FakeConfigController m_config;
    RecordingKextInterface m_bridge;
    FakeNwIFManager m_monitor;
    SFController* m_controller = nullptr;
    std::unique_ptr<CommandDispatcherRig> m_rig;
};

TEST_F(SFCommandDispatchChannelTest, WideRequestsAreAnsweredAndRepliesReadOnTheToolSide)
{
    startRig();
    auto request = wideRequest(100004, 6);
    ZAV::CommandResponse one;
    m_rig->call(*request, one);
    ASSERT_TRUE(one.getCommandCompleted());
    EXPECT_TRUE(one.getCommandStatus());
    SFPrefsData prefs;
    ASSERT_NE(one.getNarrowInputArchive(), nullptr);
    *one.getNarrowInputArchive() >> prefs;
    EXPECT_EQ(prefs.m_prefType, SF_PREF_FW_MODE);
    EXPECT_EQ(prefs.m_fwMode, FW_MODE_ADAPTIVE);

    auto all = emptyRequest(100000);
    ZAV::CommandResponse every;
    m_rig->call(*all, every);
    ASSERT_NE(every.getWideInputArchive(), nullptr);
    SFPrefsData read;
    *every.getWideInputArchive() >> read;
    EXPECT_EQ(read.m_fwMode, FW_MODE_ADAPTIVE);
    EXPECT_FALSE(read.m_prefPresent);
}

TEST_F(SFCommandDispatchChannelTest, AnUnreadablePayloadIsAnsweredAtOnceAndTheConnectionServesOn)
{
    startRig();
    for (int id : {100003, 100006}) {
        SCOPED_TRACE(id);
        auto bad = rawRequest(id, "22 serialization::archive 18 not a record");
        ZAV::CommandResponse response;
        const auto started = std::chrono::steady_clock::now();
        m_rig->call(*bad, response);
        // Left unanswered, the call would wait out the 300 s send timeout.
        EXPECT_LT(std::chrono::steady_clock::now() - started, kHangGuard);
        EXPECT_TRUE(response.getCommandCompleted());
        EXPECT_FALSE(response.getCommandStatus());
        EXPECT_FALSE(response.hasCustomData());
    }
    auto next = narrowRequest(100004, 0);
    ZAV::CommandResponse answered;
    m_rig->call(*next, answered);
    EXPECT_TRUE(answered.getCommandCompleted());
    EXPECT_TRUE(answered.getCommandStatus());
    EXPECT_TRUE(answered.hasCustomData());
}

TEST_F(SFCommandDispatchChannelTest, TheStartUpFetchAppliesTheServicesPolicyOrChangesNothing)
{
    m_config.set(P::activitySize, "3");
    m_config.set(P::maxLogSize, "10");
    startRig();
    EXPECT_FALSE(m_rig->fetchCommonPolicy());
    EXPECT_FALSE(m_logger.has(5, "Successfully fetched and applied the Common Policy settings"));
    EXPECT_EQ(m_config.get(P::activitySize), "3");
    m_rig.reset();

    const std::string policy = m_dir.file("policy");
    writeFile(policy, "activityLogging=1\nlimitActivityLogSize=1\nactivityLogSize=25\n"
                      "debugLogging=1\neventLogging=0\nlogPath=" + m_dir.file("logs") + "\n");
    startRig(policy);
    EXPECT_TRUE(m_rig->fetchCommonPolicy());
    EXPECT_TRUE(m_logger.has(5, "Successfully fetched and applied the Common Policy settings"));
    EXPECT_EQ(m_config.get(P::activitySize), "25");
    EXPECT_EQ(m_config.get(P::debugFw), "1");
    EXPECT_EQ(m_config.get(P::eventLog), "0");
    EXPECT_EQ(m_config.getFwLogLevel(), 6);
    EXPECT_EQ(m_logger.getLogLevel(), 6);
    EXPECT_EQ(m_logger.getMaxFileSize(), 25LL * 1048576);
}

} // namespace
