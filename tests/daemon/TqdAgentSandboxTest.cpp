// tqd as a process in the sandbox with its neighbours missing or speaking up: no management
// agent at all, a platform service that hands out a common policy, and management policies
// whose list counts the policy does not back.

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

// Counts that would hold the agent's thread for minutes or grow the daemon without bound: each
// policy is refused alone, the good one after them applies, and SIGTERM still ends the daemon.
TEST_F(TqdAgentSandboxTest, PoliciesWithUnbackedCountsAreRefusedAloneAndShutdownStaysPrompt)
{
    const std::string head = "software HVRT_FW_1060QUIL\n"
                             "object HVRT_FW_META_FW|FW_StatusMode|FW_StatusMode|Options A\n";
    const std::string rules = "object HVRT_FW_META_FW|Tovalith_FW_Rules|Tovalith_FW_Rules|Rules A\n"
                              "setting HVRT_FW_META_FW|Tovalith_FW_Rules|Tovalith_FW_Rules|seq-|100|seq-\n"
                              "key 100 RuleListID=\n";
    const std::string guid = "77777777-0000-0000-0000-000000000001";
    const std::string rule = "setting HVRT_FW_META_FW|Tovalith_FW_Rules|Tovalith_FW_Rules|r|101|r\n"
                             "key 101 GUID=" + guid + "\nkey 101 Name=block telnet\nkey 101 LastModified=t1\n"
                             "key 101 Action=BLOCK\nkey 101 Direction=IN\nkey 101 Enabled=1\n"
                             "key 101 _TransportProtocol=1\nkey 101 +TransportProtocol#0=6\n";

    Broker broker({}, brokerOut());
    ASSERT_TRUE(broker.started());
    Daemon daemon(daemonOut());
    waitForEnforcement();
    dropPolicy("001.txt", head + rules + "key 100 _RuleIDSequence=2147483647\n");
    dropPolicy("002.txt", head + "section 8 _AddressType=2147483647\n");
    dropPolicy("003.txt", head + rules + "key 100 _RuleIDSequence=1\nkey 100 +RuleIDSequence#0=" + guid + "\n" +
                              rule + "key 101 _LocalPort=2147483647\nkey 101 +LocalPort#0=23\n");
    dropPolicy("004.txt", head + "section 8 FWStatus=1\n" + rules + "key 100 _RuleIDSequence=1\n"
                          "key 100 +RuleIDSequence#0=" + guid + "\n" + rule +
                          "key 101 _LocalPort=1\nkey 101 +LocalPort#0=23\n");

    const std::string results = std::string(kSpool) + "/policy-results.log";
    // Generous: guards against a hang only.
    ASSERT_TRUE(waitForText(results, "004.txt", 30s));
    for (const char* name : {"001.txt", "002.txt", "003.txt"})
        EXPECT_EQ(countOf(results, std::string(name) + " software=HVRT_FW_1060QUIL result=0"), 1u) << name;
    EXPECT_EQ(countOf(results, "004.txt software=HVRT_FW_1060QUIL result=1"), 1u);
    EXPECT_EQ(countOf(kDaemonLog, "Policy refused, nothing was applied: "), 3u);
    EXPECT_EQ(linesWith(iptablesListing(), "--dports 23 -j DROP"), 1u) << iptablesListing();
    stop(daemon);
}

} // namespace
