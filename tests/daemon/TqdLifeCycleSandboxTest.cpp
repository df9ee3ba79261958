// tqd's life cycle as a process in the sandbox with the real broker, iptables and agent spool:
// start-up enables the firewall from the settings, commands are answered and SIGTERM removes
// everything.

#include "HangGuard.h"
#include "SandboxGuard.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using namespace TqdRig;
using namespace TestSupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kSiteAddress = "10.20.30.40";

class TqdLifeCycleSandboxTest : public TqdSandboxTest {
protected:
    void start(bool enabled)
    {
        prepareManagedProduct(enabled, kSiteAddress);
        m_broker = std::make_unique<Broker>(std::vector<std::string>{}, brokerOut());
        ASSERT_TRUE(m_broker->started());
        m_daemon = std::make_unique<Daemon>(daemonOut());
    }
    void SetUp() override { TQ_REQUIRE_SANDBOX(); }

    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<Daemon> m_daemon;
};

TEST_F(TqdLifeCycleSandboxTest, EnabledDaemonEnforcesAnswersAndRemovesEverythingOnSigterm)
{
    start(true);
    const std::string listing = waitForEnforcement();
    EXPECT_EQ(linesWith(listing, "-N QTZ_INPUT_"), 1u) << listing;
    EXPECT_EQ(linesWith(listing, "-N QTZ_OUTPUT_"), 1u) << listing;
    EXPECT_EQ(policyOf(listing, "INPUT"), "DROP");
    EXPECT_EQ(policyOf(listing, "OUTPUT"), "DROP");
    EXPECT_GE(linesWith(listing, kSiteAddress), 1u) << "no agent-group rule for the site:\n" << listing;

    const std::vector<std::string> threads = threadNames(m_daemon->pid());
    EXPECT_NE(std::find(threads.begin(), threads.end(), "FM Comm Client"), threads.end());
    EXPECT_EQ(countOf(kDaemonLog, "running in Unmanaged mode"), 0u) << "the agent's managed mode was not taken";

    std::string answer;
    EXPECT_EQ(zavcall("--dest 7000 --cmd 100038", &answer), 0) << answer;
    EXPECT_NE(answer.find("completed 1, status 1"), std::string::npos) << answer;

    std::string status;
    EXPECT_EQ(shell(std::string(TQ_TQCTL) + " --fw status", &status), 0) << status;
    EXPECT_NE(status.find("Status: Enabled"), std::string::npos) << status;
    EXPECT_EQ(status.find("Not in force"), std::string::npos) << status;

    m_daemon->signal(SIGTERM);
    EXPECT_EQ(m_daemon->wait(TestSupport::kHangGuard), 0);
    const std::string after = iptablesListing();
    EXPECT_EQ(policyOf(after, "INPUT"), "ACCEPT");
    EXPECT_EQ(policyOf(after, "OUTPUT"), "ACCEPT");
    EXPECT_EQ(linesWith(after, "QTZ"), 0u) << after;
    EXPECT_TRUE(waitForText(brokerOut(), "Deregistered fm id 7000", TestSupport::kHangGuard));
    EXPECT_EQ(countOf(kDaemonLog, "Product has started the shutdown sequence"), 1u);
}

TEST_F(TqdLifeCycleSandboxTest, DisabledDaemonNeverMakesAChainAndExits0)
{
    start(false);
    ASSERT_TRUE(waitForText(kDaemonLog, "Received registration acknowledgment from ZAV",
                            TestSupport::kHangGuard));
    std::string answer;
    EXPECT_EQ(zavcall("--dest 7000 --cmd 100038", &answer), 0) << answer;
    EXPECT_EQ(linesWith(iptablesListing(), "QTZ"), 0u);
    m_daemon->signal(SIGTERM);
    EXPECT_EQ(m_daemon->wait(TestSupport::kHangGuard), 0);
    const std::string after = iptablesListing();
    EXPECT_EQ(linesWith(after, "QTZ"), 0u) << after;
    EXPECT_EQ(policyOf(after, "INPUT"), "ACCEPT");
    EXPECT_EQ(countOf(kDaemonLog, "Enabling stateful firewall"), 0u);
}

} // namespace
