// tqd as a process in the sandbox with its neighbours missing or speaking up: no management
// agent at all, and a platform service that hands out a common policy.

#include "HangGuard.h"
#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

using namespace std::chrono_literals;
using namespace TqdRig;
using namespace TestSupport;

namespace {

constexpr const char* kSiteAddress = "10.20.30.42";

class TqdAgentSandboxTest : public TqdSandboxTest {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        prepareManagedProduct(true, kSiteAddress);
    }

    void stop(Daemon& daemon)
    {
        daemon.signal(SIGTERM);
        EXPECT_EQ(daemon.wait(TestSupport::kHangGuard), 0);
        EXPECT_EQ(linesWith(iptablesListing(), "QTZ"), 0u);
    }

};

TEST_F(TqdAgentSandboxTest, WithoutAnAgentSpoolTheDaemonRegistersAnswersAndEnforces)
{
    ASSERT_EQ(shell(std::string("rm -rf ") + kSpool), 0);
    Broker broker({}, brokerOut());
    ASSERT_TRUE(broker.started());
    Daemon daemon(daemonOut());
    const std::string listing = waitForEnforcement();
    EXPECT_EQ(linesWith(listing, "-N QTZ_INPUT_"), 1u) << listing;
    EXPECT_EQ(linesWith(listing, kSiteAddress), 0u) << listing;
    std::string answer;
    EXPECT_EQ(zavcall("--dest 7000 --cmd 100038", &answer), 0) << answer;
    stop(daemon);
}

// Without the option the service answers the fetch with status 0 and the settings file stays
// as it was; with it, the policy's activity log size and debug logging reach the settings.
TEST_F(TqdAgentSandboxTest, TheServicesCommonPolicyReachesTheSettingsOnlyWhenItHasOne)
{
    {
        Broker broker({}, brokerOut());
        ASSERT_TRUE(broker.started());
        Daemon daemon(daemonOut());
        ASSERT_TRUE(waitForText(kDaemonLog, "Enabling stateful firewall", 25s));
        EXPECT_EQ(setting("LoggingInformation", "ActivityLogSize"), "1");
        EXPECT_EQ(setting("LoggingInformation", "FirewallLogLevel"), "5");
        stop(daemon);
        broker.signal(SIGTERM);
        ASSERT_EQ(broker.wait(TestSupport::kHangGuard), 0);
    }
    const std::string policy = m_dir.file("common-policy");
    writeFile(policy, "activityLogSize=7\ndebugLogging=1\n");
    Broker broker({"--common-policy", policy}, brokerOut());
    ASSERT_TRUE(broker.started());
    Daemon daemon(daemonOut());
    ASSERT_TRUE(waitForText(kDaemonLog, "Enabling stateful firewall", 25s, 2));
    EXPECT_EQ(setting("LoggingInformation", "ActivityLogSize"), "7");
    EXPECT_EQ(setting("LoggingInformation", "FirewallLogLevel"), "6");
    stop(daemon);
    // Debug logging on: the level-6 line of shutdown is written now.
    EXPECT_EQ(countOf(kDaemonLog, "Message Bus thread has joined back"), 1u);
}

} // namespace
