// The controller against a recording bridge and a recording interface monitor: the order of
// enabling and disabling, the undoing of a failed enable, the preference callbacks, the log
// level, and enable and disable racing from eight threads.

#include "SFController.h"

#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "ModelFixtures.h"
#include "RecordingKextInterface.h"
#include "RecordingLogger.h"
#include "SFException.h"
#include "SFResultCodes.h"
#include "SFRuleManager.h"
#include "SFTrustedIPGroupManager.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <thread>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

using Trace = std::vector<std::string>;
using P = FakeConfigController::path;

const Trace kEnableSteps = {"connectToKext",      "startHooking",
                            "processFtpInspectionSetting", "startSFFMNwIFManager",
                            "startReporting",     "startHealthCheck",
                            "SendRuleAndGroupDataToKext",  "SendAdaptiveModeStatusToKext"};
const Trace kDisableSteps = {"stopHooking", "disconnectFromKext", "stopFtpInspection",
                             "stopSFFMNwIFManager"};

Trace concat(Trace a, const Trace& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The first steps of an enable, up to and including the named one.
Trace enableStepsUpTo(const std::string& step)
{
    auto end = std::find(kEnableSteps.begin(), kEnableSteps.end(), step);
    return Trace(kEnableSteps.begin(), end + 1);
}

// Puts the monitor's start and stop into the bridge's trace, so one trace shows the order.
class TracingMonitor : public FakeNwIFManager {
public:
    explicit TracingMonitor(RecordingKextInterface& trace) : m_trace(trace) {}
    bool startSFFMNwIFManager() override
    {
        m_trace.record("startSFFMNwIFManager");
        return true;
    }
    bool stopSFFMNwIFManager() override
    {
        m_trace.record("stopSFFMNwIFManager");
        return true;
    }

private:
    RecordingKextInterface& m_trace;
};

// Settings whose log-level write can fail the way a store does.
class ScriptedConfig : public FakeConfigController {
public:
    int setFwLogLevel(int level) override
    {
        if (level == 7)
            throw SFException(SF_PREF_WRITE_FAILED, "settings file is read-only");
        if (level == 8)
            throw std::runtime_error("out of memory");
        return FakeConfigController::setFwLogLevel(level);
    }
};

class SFControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_config.set(P::ruleStore, m_dir.file("rules"));
        m_config.set(P::trustedStore, m_dir.file("trusted"));
        m_config.set(P::enabled, "1");
        m_controller = SFController::getInstance(m_logger, m_config, &m_bridge);
    }

    void TearDown() override
    {
        SFController::releaseInstance();
        SFTrustedIPGroupManager::releaseInstance();
        SFRuleManager::releaseInstance();
    }

    size_t logged(int level, const std::string& message) const
    {
        const auto lines = m_logger.lines();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& line) {
            return line.level == level && line.message == message;
        }));
    }

    bool trustsLocalSubnet()
    {
        const auto list = SFTrustedIPGroupManager::getInstance(m_logger, m_config)->copyTrustedIPList();
        return std::any_of(list.begin(), list.end(), [](const SFTrustedGroupIP& entry) {
            return entry.type == FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET;
        });
    }

    RecordingLogger m_logger;
    TempDir m_dir;
    ScriptedConfig m_config;
    RecordingKextInterface m_bridge;
    TracingMonitor m_monitor{m_bridge};
    SFController* m_controller = nullptr;
};

TEST_F(SFControllerTest, EnablingRunsEveryStepOnceInOrderAndDisablingStopsOnce)
{
    // A failed push is only logged: the rest of the enable still runs.
    m_bridge.answer("SendRuleAndGroupDataToKext", false);
    m_controller->enableStatefulFirewall(m_monitor);
    m_controller->enableStatefulFirewall(m_monitor);
    EXPECT_EQ(m_bridge.calls(), kEnableSteps);
    EXPECT_EQ(logged(5, "Enabling Firewall"), 1u);
    EXPECT_EQ(logged(2, "SendRuleAndGroupDataToKext sending rule and group data to kext failed"), 1u);
    EXPECT_FALSE(readFile(m_dir.file("rules")).empty());
    EXPECT_NE(fileMode(m_dir.file("trusted")), -1);

    m_controller->disableStatefulFirewall(m_monitor);
    m_controller->disableStatefulFirewall(m_monitor);
    EXPECT_EQ(m_bridge.calls(), concat(kEnableSteps, kDisableSteps));
    EXPECT_EQ(logged(5, "Disabling Firewall"), 2u);
}

TEST_F(SFControllerTest, AFailedEnableUndoesItsStepsAndThrowsTheSameCodeAndMessage)
{
    const struct {
        const char* failing;
        bool stopHookingFailsToo;
    } cases[] = {
        {"connectToKext", false},
        {"startReporting", true}, // the undoing goes on past a failing step of its own
        {"SendAdaptiveModeStatusToKext", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        m_bridge.clear();
        m_logger.clear();
        m_bridge.throwOn(c.failing, SF_SYSTEM_COMMAND_FAILED, "iptables failed", 1);
        if (c.stopHookingFailsToo)
            m_bridge.throwOn("stopHooking", SF_SYSTEM_COMMAND_FAILED, "flush failed", 1);
        try {
            m_controller->enableStatefulFirewall(m_monitor);
            ADD_FAILURE() << "no exception";
        } catch (const SFException& e) {
            EXPECT_EQ(e.code, SF_SYSTEM_COMMAND_FAILED);
            EXPECT_EQ(e.message, "iptables failed");
        }
        EXPECT_EQ(m_bridge.calls(), concat(enableStepsUpTo(c.failing), kDisableSteps));
        EXPECT_TRUE(m_logger.has(6, "Got exception iptables failed. Throwing it upstream."));
        EXPECT_TRUE(m_logger.has(5, "SFException occurred while enabling the Firewall - "));

        // The flag is clear: a disable has nothing to stop, the next enable runs in full.
        m_bridge.clear();
        m_controller->disableStatefulFirewall(m_monitor);
        EXPECT_TRUE(m_bridge.calls().empty());
        m_controller->enableStatefulFirewall(m_monitor);
        EXPECT_EQ(m_bridge.calls(), kEnableSteps);
        m_controller->disableStatefulFirewall(m_monitor);
    }
}

TEST_F(SFControllerTest, AnotherExceptionPassesThroughAndLeavesTheFirewallEnabled)
{
    m_bridge.throwOtherOnce("SendRuleAndGroupDataToKext", "bad alloc");
    EXPECT_THROW(m_controller->enableStatefulFirewall(m_monitor), std::runtime_error);
    EXPECT_EQ(m_bridge.calls(), enableStepsUpTo("SendRuleAndGroupDataToKext"));

    m_bridge.clear();
    m_controller->enableStatefulFirewall(m_monitor);
    EXPECT_TRUE(m_bridge.calls().empty());
    m_controller->disableStatefulFirewall(m_monitor);
    EXPECT_EQ(m_bridge.calls(), kDisableSteps);
}

TEST_F(SFControllerTest, PreferenceCallbacksReachTheBridgeOnlyWhileEnabled)
{
    m_controller->sfPreferencesCallBack(SF_PREF_FTP_INSPECTION, m_monitor);
    m_controller->sfPreferencesCallBack(SF_PREF_FW_MODE, m_monitor);
    EXPECT_TRUE(m_bridge.calls().empty());
    EXPECT_TRUE(m_logger.has(5, "Firewall is currently disabled. Ignoring the callback to change FTP Inspection mode"));
    EXPECT_TRUE(m_logger.has(5, "Firewall is currently disabled. Ignoring the callback to change Firewall mode"));

    // The stored status is on and the firewall is off: the callback enables it.
    m_controller->sfPreferencesCallBack(SF_PREF_FW_STATUS, m_monitor);
    EXPECT_EQ(m_bridge.calls(), kEnableSteps);
    for (const char* line : {"Current status of firewall - Disabled", "Setting new status of firewall - Enabled",
                             "Successfully set new status of firewall - Enabled"})
        EXPECT_TRUE(m_logger.has(5, line)) << line;

    // Setting and state agree: only the current status is logged.
    m_bridge.clear();
    m_logger.clear();
    m_controller->sfPreferencesCallBack(SF_PREF_FW_STATUS, m_monitor);
    EXPECT_TRUE(m_bridge.calls().empty());
    EXPECT_EQ(m_logger.count(5), 1u);
    EXPECT_TRUE(m_logger.has(5, "Current status of firewall - Enabled"));

    m_controller->sfPreferencesCallBack(SF_PREF_FTP_INSPECTION, m_monitor);
    m_controller->sfPreferencesCallBack(SF_PREF_FW_MODE, m_monitor);
    m_controller->sfPreferencesCallBack(SF_PREF_TCP_CON_TIMEOUT, m_monitor);
    EXPECT_EQ(m_bridge.calls(), (Trace{"processFtpInspectionSetting", "SendAdaptiveModeStatusToKext"}));

    m_bridge.clear();
    m_config.set(P::enabled, "0");
    m_controller->sfPreferencesCallBack(SF_PREF_FW_STATUS, m_monitor);
    EXPECT_EQ(m_bridge.calls(), kDisableSteps);
    EXPECT_TRUE(m_logger.has(5, "Successfully set new status of firewall - Disabled"));
}

TEST_F(SFControllerTest, TheStatusCallbackRetriesAPushNotInForceAndOnlyADisabledOneCleansUp)
{
    m_controller->sfPreferencesCallBack(SF_PREF_FW_STATUS, m_monitor);
    ASSERT_EQ(m_bridge.calls(), kEnableSteps);
    EXPECT_TRUE(m_controller->rulesInForce());

    // Enabled, but the last push failed: an enable again pushes again.
    m_bridge.answer("rulesInForce", false);
    EXPECT_FALSE(m_controller->rulesInForce());
    m_bridge.clear();
    m_controller->sfPreferencesCallBack(SF_PREF_FW_STATUS, m_monitor);
    EXPECT_EQ(m_bridge.calls(), (Trace{"SendRuleAndGroupDataToKext"}));
    m_bridge.answer("rulesInForce", true);
    m_bridge.clear();
    m_controller->sfPreferencesCallBack(SF_PREF_FW_STATUS, m_monitor);
    EXPECT_TRUE(m_bridge.calls().empty());

    // A disabled firewall has nothing to put in force, and only it removes leftovers.
    m_bridge.clear();
    m_controller->cleanUpWhileDisabled(true);
    EXPECT_TRUE(m_bridge.calls().empty());
    m_config.set(P::enabled, "0");
    m_controller->sfPreferencesCallBack(SF_PREF_FW_STATUS, m_monitor);
    m_bridge.answer("rulesInForce", false);
    EXPECT_TRUE(m_controller->rulesInForce());
    m_bridge.clear();
    m_controller->cleanUpWhileDisabled(false);
    EXPECT_EQ(m_bridge.calls(), (Trace{"removeLeftovers"}));
}

TEST_F(SFControllerTest, TrustLocalSubnetFollowsTheStoredStatusAndEnableCatchesUpOnAChangeMadeWhileDisabled)
{
    m_config.set(P::enabled, "0");
    m_config.set(P::trustSubnet, "1");
    ASSERT_TRUE(trustsLocalSubnet());

    // Stored status off: the change is only stored.
    m_config.set(P::trustSubnet, "0");
    m_controller->sfPreferencesCallBack(SF_PREF_TRUST_LOCAL_SUBNET, m_monitor);
    EXPECT_TRUE(m_logger.has(5, "Firewall is currently disabled. Ignoring the callback to change Trust Local Subnet"));
    EXPECT_TRUE(trustsLocalSubnet());

    // The next enable applies it before the push reads the list, and stores it.
    m_controller->enableStatefulFirewall(m_monitor);
    EXPECT_FALSE(trustsLocalSubnet());
    EXPECT_EQ(model::storedValues(m_dir.file("trusted")), std::vector<std::string>{});
    m_controller->disableStatefulFirewall(m_monitor);

    // Stored status on, firewall not running: the list still follows and is stored; no push.
    m_bridge.clear();
    m_config.set(P::enabled, "1");
    m_config.set(P::trustSubnet, "1");
    m_controller->sfPreferencesCallBack(SF_PREF_TRUST_LOCAL_SUBNET, m_monitor);
    EXPECT_TRUE(m_logger.has(5, "Saving Trust local subnet setting in datastore and updating the running firewall"));
    EXPECT_TRUE(trustsLocalSubnet());
    EXPECT_EQ(model::storedValues(m_dir.file("trusted")), std::vector<std::string>{"NOT SET"});
    EXPECT_TRUE(m_bridge.calls().empty());
}

TEST_F(SFControllerTest, LogLevelSwitchesTheCustomLogOffAt0OnFrom2To4AndNeverFails)
{
    const struct {
        int level;
        const char* customBefore;
        const char* customAfter;
    } cases[] = {{0, "1", "0"}, {1, "0", "0"}, {1, "1", "1"}, {2, "0", "1"},
                 {4, "0", "1"}, {5, "0", "0"}, {5, "1", "1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        m_config.set(P::customLog, c.customBefore);
        m_controller->setLogLevel(c.level);
        EXPECT_EQ(m_config.get(P::customLog), c.customAfter);
        EXPECT_EQ(m_config.getFwLogLevel(), c.level);
    }
    // The callback reads the stored level.
    m_config.set(P::logLevel, "3");
    m_config.set(P::customLog, "0");
    m_controller->sfPreferencesCallBack(SF_PREF_FW_LOG_LEVEL, m_monitor);
    EXPECT_EQ(m_config.get(P::customLog), "1");

    m_controller->setLogLevel(7);
    EXPECT_TRUE(m_logger.has(2, "SFException occurred while setting log level - settings file is read-only"));
    m_controller->setLogLevel(8);
    EXPECT_TRUE(m_logger.has(2, "Unknown exception occurred while setting log level"));
}

TEST_F(SFControllerTest, TheSingletonNeedsABridgeOnlyToBeCreated)
{
    EXPECT_EQ(SFController::getInstance(m_logger, m_config, nullptr), m_controller);
    SFController::releaseInstance();
    try {
        SFController::getInstance(m_logger, m_config, nullptr);
        ADD_FAILURE() << "created without a bridge";
    } catch (const SFException& e) {
        EXPECT_EQ(e.code, SF_INVALID_ARGUMENT);
        EXPECT_EQ(e.message, "Unable to create SFController Instance");
    }
    m_controller = SFController::getInstance(m_logger, m_config, &m_bridge);
    EXPECT_FALSE(m_controller->getPolicyFirewallStatus());
    EXPECT_FALSE(m_controller->getPolicyFirewallStatusSet());
    m_controller->setPolicyFirewallStatus(true);
    m_controller->setPolicyFirewallStatusSet(true);
    EXPECT_TRUE(m_controller->getPolicyFirewallStatus());
    EXPECT_TRUE(m_controller->getPolicyFirewallStatusSet());
    EXPECT_EQ(m_controller->getVersionString(), "10.6.11");

    m_bridge.answer("isKerneltzSupportedInTimeModule", false);
    m_controller->updateKerneltzSupportStatus();
    EXPECT_FALSE(m_config.getKerneltzSupportStatus());
    EXPECT_TRUE(m_logger.has(6, "Updated Kernel tz status to 0"));
}

// Enable and disable serialise on the instance mutex: the bridge sees whole enables and whole
// disables, alternating, however the callers interleave.
TEST_F(SFControllerTest, EightThreadsEnablingAndDisablingLeaveWholeAlternatingSequences)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; i < 40; ++i) {
                if (random() % 2 == 0)
                    m_controller->enableStatefulFirewall(m_monitor);
                else
                    m_controller->disableStatefulFirewall(m_monitor);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    m_controller->disableStatefulFirewall(m_monitor);

    const Trace trace = m_bridge.calls();
    size_t at = 0;
    size_t enables = 0;
    bool expectEnable = true;
    while (at < trace.size()) {
        const Trace& block = expectEnable ? kEnableSteps : kDisableSteps;
        ASSERT_LE(at + block.size(), trace.size());
        ASSERT_EQ(Trace(trace.begin() + static_cast<long>(at), trace.begin() + static_cast<long>(at + block.size())), block)
            << "at call " << at;
        at += block.size();
        enables += expectEnable ? 1 : 0;
        expectEnable = !expectEnable;
    }
    EXPECT_TRUE(expectEnable) << "ends enabled";
    EXPECT_GT(enables, 1u);
}

} // namespace
