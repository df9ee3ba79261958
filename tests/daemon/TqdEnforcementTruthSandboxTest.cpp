// tqd and tqctl in the sandbox with the real iptables behind a wrapper that fails chosen
// command lines: what the tool and the daemon report about enforcement is what the filter table
// holds, after a crash, a failed enable, a failed switch-over and failed pushes.

#include "SandboxGuard.h"
#include "TempDir.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using namespace TqdRig;
using namespace TestSupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kSiteAddress = "10.20.30.40";
constexpr const char* kStateFile = "/run/Varnik/kyv/fw/netfilter.state";
constexpr const char* kIptablesLink = "/opt/Varnik/kyv/fw/bin/iptables";
// Extended regular expressions, one a line; an iptables command line (its words after the
// program, joined by blanks) that matches one of them as a whole fails.
constexpr const char* kFailingLines = "/opt/Varnik/kyv/fw/bin/iptables.fail";

struct ToolRun {
    int code;
    std::string output; // standard output and error
};

ToolRun tqctl(const std::string& words)
{
    ToolRun run{};
    run.code = shell(std::string(TQ_TQCTL) + " " + words, &run.output);
    return run;
}

// The product's iptables becomes a wrapper that fails the lines matching one of patterns and
// runs the real program for every other line.
void failIptablesLines(const std::vector<std::string>& patterns)
{
    std::string list;
    for (const std::string& pattern : patterns)
        list += pattern + "\n";
    TestSupport::writeFile(kFailingLines, list);
    ::unlink(kIptablesLink);
    TestSupport::writeFile(kIptablesLink,
                           "#!/bin/sh\n"
                           "if printf '%s\\n' \"$*\" | grep -qxE -f " + std::string(kFailingLines) +
                               "; then\n"
                               "    echo \"iptables: failed on purpose: $*\" >&2\n"
                               "    exit 1\n"
                               "fi\n"
                               "exec /usr/sbin/iptables \"$@\"\n");
    ::chmod(kIptablesLink, 0755);
}

void restoreIptables()
{
    ::unlink(kFailingLines);
    ::unlink(kIptablesLink);
    ASSERT_EQ(::symlink("/usr/sbin/iptables", kIptablesLink), 0);
}

class TqdEnforcementTruthSandboxTest : public TqdSandboxTest {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        // /run outlives resetProductPaths: no state of an earlier test may reach this one.
        ::unlink(kStateFile);
    }

    // settings: elements of the settings file to change before the daemon starts.
    void start(bool enabled, const std::map<std::string, std::string>& settings = {})
    {
        prepareManagedProduct(enabled, kSiteAddress);
        for (const auto& [tag, value] : settings)
            setSetting(tag, value);
        m_broker = std::make_unique<Broker>(std::vector<std::string>{}, brokerOut());
        ASSERT_TRUE(m_broker->started());
        startDaemon();
    }

    // Starts tqd and waits until it answers the version command (a bound against a hang: the
    // start-up includes the agent pause and the registration).
    void startDaemon()
    {
        m_daemon = std::make_unique<Daemon>(daemonOut());
        const auto deadline = Clock::now() + 40s;
        std::string answer;
        while (zavcall("--dest 7000 --cmd 100038", &answer) != 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
        ASSERT_NE(answer.find("completed 1, status 1"), std::string::npos) << answer;
    }

    // Nothing of the product filters: no product chain, no jump, both policies ACCEPT.
    void expectNothingFilters(const std::string& listing)
    {
        EXPECT_TRUE(productChains(listing).empty()) << listing;
        EXPECT_EQ(linesWith(listing, "QTZ"), 0u) << listing;
        EXPECT_EQ(linesWith(listing, "ESTABLISHED"), 0u) << listing;
        EXPECT_EQ(policyOf(listing, "INPUT"), "ACCEPT") << listing;
        EXPECT_EQ(policyOf(listing, "OUTPUT"), "ACCEPT") << listing;
    }

    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<Daemon> m_daemon;
};

} // namespace

TEST_F(TqdEnforcementTruthSandboxTest, ADisabledStartRemovesWhatAKilledEnforcingRunLeft)
{
    start(true);
    const std::string before = waitForEnforcement();
    ASSERT_FALSE(productChains(before).empty()) << before;
    m_daemon->signal(SIGKILL);
    m_daemon.reset();
    ASSERT_EQ(policyOf(iptablesListing(), "INPUT"), "DROP");

    setSetting("IsFirewallEnabled", "0");
    startDaemon();
    expectNothingFilters(iptablesListing());
    const ToolRun status = tqctl("--fw status");
    EXPECT_EQ(status.code, 0) << status.output;
    EXPECT_NE(status.output.find("Disabled"), std::string::npos) << status.output;
}

TEST_F(TqdEnforcementTruthSandboxTest, FwOffWhileDisabledRestoresTheAcceptPolicies)
{
    start(true);
    waitForEnforcement();
    m_daemon->signal(SIGKILL);
    m_daemon.reset();

    // The start-up clean-up cannot set the policies: the chains go, the DROP policies stay.
    setSetting("IsFirewallEnabled", "0");
    failIptablesLines({"-P (INPUT|OUTPUT) ACCEPT"});
    startDaemon();
    std::string listing = iptablesListing();
    EXPECT_TRUE(productChains(listing).empty()) << listing;
    EXPECT_EQ(policyOf(listing, "INPUT"), "DROP") << listing;

    restoreIptables();
    const ToolRun off = tqctl("--fw off");
    EXPECT_EQ(off.code, 0) << off.output;
    expectNothingFilters(iptablesListing());
}

TEST_F(TqdEnforcementTruthSandboxTest, AnEnableWhosePushFailsIsAFailureUntilAnEnableSucceeds)
{
    start(false);
    failIptablesLines({"-P INPUT DROP"});
    ToolRun on = tqctl("--fw on");
    EXPECT_EQ(on.code, 103) << on.output;
    EXPECT_EQ(on.output, "Firewall is enabled in the settings, but its rules are not in force: "
                         "applying them to iptables failed\n");
    ToolRun status = tqctl("--fw status");
    EXPECT_EQ(status.code, 0) << status.output;
    EXPECT_NE(status.output.find("Status: Enabled\nRules: Not in force"), std::string::npos)
        << status.output;
    EXPECT_EQ(policyOf(iptablesListing(), "INPUT"), "ACCEPT");

    // A second --fw on tries again instead of answering that nothing changed.
    on = tqctl("--fw on");
    EXPECT_EQ(on.code, 103) << on.output;
    EXPECT_EQ(on.output.find("already set"), std::string::npos) << on.output;

    restoreIptables();
    on = tqctl("--fw on");
    EXPECT_EQ(on.code, 0) << on.output;
    EXPECT_EQ(on.output, "Preferences set successfully\n");
    const std::string listing = waitForEnforcement();
    EXPECT_FALSE(productChains(listing).empty()) << listing;
    status = tqctl("--fw status");
    EXPECT_EQ(status.output.find("Not in force"), std::string::npos) << status.output;
}

TEST_F(TqdEnforcementTruthSandboxTest, TheHealthCheckRetriesAFailedPush)
{
    start(false, {{"HealthCheckTimerInSecs", "1"}});
    failIptablesLines({"-P INPUT DROP"});
    EXPECT_EQ(tqctl("--fw on").code, 103);
    restoreIptables();
    // No command after the fault is gone: the health-check thread applies the rules.
    const std::string listing = waitForEnforcement();
    EXPECT_FALSE(productChains(listing).empty()) << listing;
    const ToolRun status = tqctl("--fw status");
    EXPECT_EQ(status.output.find("Not in force"), std::string::npos) << status.output;
}

TEST_F(TqdEnforcementTruthSandboxTest, FailedPushesLeaveOneFallbackPairThatGoesWithTheNextPushOrDisable)
{
    const std::string inputPair = "-A INPUT -m state --state RELATED,ESTABLISHED -j ACCEPT";
    const std::string outputPair = "-A OUTPUT -m state --state RELATED,ESTABLISHED -j ACCEPT";
    start(true);
    waitForEnforcement();
    failIptablesLines({"-P INPUT DROP"});
    tqctl("--fw-rule-add --name first --action allow --direction in --proto tcp --local-service 81");
    tqctl("--fw-rule-add --name second --action allow --direction in --proto tcp --local-service 82");
    std::string listing = iptablesListing();
    EXPECT_EQ(linesWith(listing, inputPair), 1u) << listing;
    EXPECT_EQ(linesWith(listing, outputPair), 1u) << listing;

    // A push that succeeds takes the pair away.
    restoreIptables();
    EXPECT_EQ(tqctl("--fw-rule-add --name third --action allow --direction in --proto tcp --local-service 83").code, 0);
    listing = iptablesListing();
    EXPECT_EQ(linesWith(listing, inputPair), 0u) << listing;
    EXPECT_EQ(linesWith(listing, outputPair), 0u) << listing;

    // So does the disable.
    failIptablesLines({"-P INPUT DROP"});
    tqctl("--fw-rule-add --name fourth --action allow --direction in --proto tcp --local-service 84");
    ASSERT_EQ(linesWith(iptablesListing(), inputPair), 1u) << iptablesListing();
    restoreIptables();
    EXPECT_EQ(tqctl("--fw off").code, 0);
    expectNothingFilters(iptablesListing());
}

TEST_F(TqdEnforcementTruthSandboxTest, ARuleOfAGenerationThatWasNeverLinkedIsNotReportedEnforced)
{
    start(true);
    waitForEnforcement();
    failIptablesLines({"-I INPUT -j QTZ_INPUT_.*"});
    const ToolRun add = tqctl("--fw-rule-add --name unlinked --action allow --direction in "
                              "--proto tcp --local-service 85");
    EXPECT_EQ(add.code, 103) << add.output;
    EXPECT_EQ(add.output.find("successfully created and enforced"), std::string::npos) << add.output;
    EXPECT_NE(add.output.find("enforcement failed"), std::string::npos) << add.output;
    const ToolRun status = tqctl("--fw status");
    EXPECT_NE(status.output.find("Rules: Not in force"), std::string::npos) << status.output;
}
