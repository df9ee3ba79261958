// tqd and tqctl in the sandbox with the real iptables behind a wrapper that fails chosen
// command lines: what the tool and the daemon report about enforcement is what the filter table
// holds, after a crash, a failed enable, a failed switch-over, failed pushes, a failed disable,
// a rule stored without its update request and a second daemon.

#include "DispatcherCalls.h"
#include "HangGuard.h"
#include "ModelFixtures.h"
#include "QueueSandboxRig.h"
#include "SFSerialization.h"
#include "SandboxGuard.h"
#include "TempDir.h"
#include "TqdSandboxRig.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>
#include <memory>
#include <fstream>
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
// The same, but only the first line that matches one of them fails.
constexpr const char* kFailingOnceLines = "/opt/Varnik/kyv/fw/bin/iptables.fail-once";

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

constexpr const char* kKillingLines = "/opt/Varnik/kyv/fw/bin/iptables.kill";
constexpr const char* kVictim = "/opt/Varnik/kyv/fw/bin/iptables.victim";

std::string lines(const std::vector<std::string>& patterns)
{
    std::string list;
    for (const std::string& pattern : patterns)
        list += pattern + "\n";
    return list;
}

// The product's iptables becomes a wrapper that fails the lines matching one of failing, fails
// the first line matching one of failingOnce, runs those matching one of killingAfter and
// then kills the process victim with SIGKILL (a crash right after that line), and runs the
// real program for every other line. Every file is replaced in one step: the daemon's health
// check may run iptables at any moment.
void wrapIptables(const std::vector<std::string>& failing,
                  const std::vector<std::string>& killingAfter = {}, pid_t victim = 0,
                  const std::vector<std::string>& failingOnce = {})
{
    TestSupport::replaceFile(kFailingLines, lines(failing));
    TestSupport::replaceFile(kFailingOnceLines, lines(failingOnce));
    TestSupport::replaceFile(kKillingLines, lines(killingAfter));
    TestSupport::replaceFile(kVictim, std::to_string(victim) + "\n");
    const std::string fail(kFailingLines), once(kFailingOnceLines), kill(kKillingLines), victimFile(kVictim);
    TestSupport::replaceFile(kIptablesLink,
                           "#!/bin/sh\n"
                           "if [ -s " + fail + " ] && printf '%s\\n' \"$*\" | grep -qxE -f " + fail + "; then\n"
                           "    echo \"iptables: failed on purpose: $*\" >&2\n"
                           "    exit 1\n"
                           "fi\n"
                           "if [ -s " + once + " ] && printf '%s\\n' \"$*\" | grep -qxE -f " + once + "; then\n"
                           "    : >" + once + "\n"
                           "    echo \"iptables: failed once on purpose: $*\" >&2\n"
                           "    exit 1\n"
                           "fi\n"
                           "if [ -s " + kill + " ] && printf '%s\\n' \"$*\" | grep -qxE -f " + kill + "; then\n"
                           "    /usr/sbin/iptables \"$@\"\n"
                           "    status=$?\n"
                           "    kill -9 \"$(cat " + victimFile + ")\"\n"
                           "    exit $status\n"
                           "fi\n"
                           "exec /usr/sbin/iptables \"$@\"\n",
                           0755);
}

void failIptablesLines(const std::vector<std::string>& patterns,
                       const std::vector<std::string>& oncePatterns = {})
{
    wrapIptables(patterns, {}, 0, oncePatterns);
}

void restoreIptables()
{
    TestSupport::unwrapProgram(kIptablesLink, "/usr/sbin/iptables");
    ::unlink(kFailingLines);
    ::unlink(kFailingOnceLines);
    ::unlink(kKillingLines);
    ::unlink(kVictim);
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

    // Stops tqd, which must leave with status 0 on SIGTERM, and the broker.
    void stopDaemon()
    {
        m_daemon->signal(SIGTERM);
        EXPECT_EQ(m_daemon->wait(kHangGuard), 0);
        m_daemon.reset();
        m_broker.reset();
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

    // The peer namespace (10.0.0.7) and a listener on 10.0.0.5:8080 here that takes up to
    // count connections within two minutes (a bound against a hang).
    void startPeerAndListener(int count)
    {
        std::string output;
        ASSERT_EQ(QueueRig::shell("rig_up", &output), 0) << output;
        m_peerUp = true;
        serveAgain(count);
    }

    // A fresh listener in place of the one before.
    void serveAgain(int count)
    {
        std::string output;
        ASSERT_EQ(QueueRig::shell("unserve /run/tq-listen.out && "
                                  "serve /run/tq-listen.out \"$TOOL\" tcp-listen 10.0.0.5 8080 "
                                  "--count " + std::to_string(count) + " --timeout 120000",
                                  &output),
                  0)
            << output;
    }

    // One new connection from the peer: true when the listener's greeting came back within
    // timeoutMs (generous where it must come back, a bound against a hang).
    static bool peerConnects(int timeoutMs = 20000)
    {
        return QueueRig::shell("in_peer \"$TOOL\" tcp-connect 10.0.0.5 8080 --from 10.0.0.7 --timeout " +
                               std::to_string(timeoutMs)) == 0;
    }

    // New connections from the peer, one after the other in each of loops background loops,
    // each given timeoutMs, until stopConnecting.
    static void startConnecting(int loops, int timeoutMs)
    {
        std::string output;
        ASSERT_EQ(QueueRig::shell("rm -f /run/tq-stop /run/tq-stream-*.out; "
                                  "for out in $(seq -f /run/tq-stream-%g 0 " + std::to_string(loops - 1) + "); do "
                                  "  ( ok=0; failed=0; "
                                  "    while [ ! -e /run/tq-stop ]; do "
                                  "      if in_peer \"$TOOL\" tcp-connect 10.0.0.5 8080 --from 10.0.0.7 --timeout " +
                                      std::to_string(timeoutMs) + " >/dev/null 2>&1; "
                                  "      then ok=$((ok+1)); else failed=$((failed+1)); fi; "
                                  "    done; echo \"$ok $failed\" >$out.tmp; mv $out.tmp $out.out ) >/dev/null 2>&1 & "
                                  "done",
                                  &output),
                  0)
            << output;
    }

    // Stops the loops and adds up their connections that went through and those that did not.
    static std::pair<int, int> stopConnecting(int loops)
    {
        TestSupport::writeFile("/run/tq-stop", "");
        std::pair<int, int> total{0, 0};
        for (int loop = 0; loop < loops; ++loop) {
            const std::string out = "/run/tq-stream-" + std::to_string(loop) + ".out";
            // A bound against a hang: a loop ends after its current connection.
            EXPECT_TRUE(waitForText(out, " ", 30s));
            int ok = 0;
            int failed = 0;
            std::ifstream(out) >> ok >> failed;
            total.first += ok;
            total.second += failed;
        }
        return total;
    }

    // The peer's count of retransmitted SYNs (TcpExt TCPSynRetrans); -1 when unreadable.
    static long peerSynRetransmits()
    {
        std::string output;
        if (QueueRig::shell("in_peer awk '$1 == \"TcpExt:\" { if (!n) { for (i = 2; i <= NF; i++) "
                            "if ($i == \"TCPSynRetrans\") k = i; n = 1 } else print $k }' "
                            "/proc/net/netstat",
                            &output) != 0)
            return -1;
        try {
            return std::stol(output);
        } catch (const std::exception&) {
            return -1;
        }
    }

    void TearDown() override
    {
        if (m_peerUp && TestSupport::sandboxProblem().empty())
            QueueRig::shell("unserve /run/tq-listen.out; rig_down");
        TqdSandboxTest::TearDown();
    }

    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<Daemon> m_daemon;
    bool m_peerUp = false;
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

    // The start-up clean-up cannot set the policies: the DROP policies stay, and so do the
    // chains that let in what the rules allow.
    setSetting("IsFirewallEnabled", "0");
    failIptablesLines({"-P INPUT ACCEPT"});
    startDaemon();
    const std::string kept = iptablesListing();
    EXPECT_FALSE(productChains(kept).empty()) << kept;
    EXPECT_EQ(policyOf(kept, "INPUT"), "DROP") << kept;
    EXPECT_EQ(countOf(kDaemonLog, "Failed to set the default Netfilter policy to Accept"), 1u);

    // Neither can --fw off: a failure, and the filter table as it was.
    ToolRun off = tqctl("--fw off");
    EXPECT_EQ(off.code, 103) << off.output;
    EXPECT_EQ(off.output, "Firewall is disabled in the settings, but the ACCEPT policies could not "
                          "be restored: setting them in iptables failed, so the DROP policies and "
                          "the firewall's chains still filter until the health check removes them\n");
    EXPECT_EQ(iptablesListing(), kept);

    restoreIptables();
    off = tqctl("--fw off");
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

TEST_F(TqdEnforcementTruthSandboxTest, ACrashRightAfterTheTopChainsAreCreatedLeavesNothingAfterTheNextStart)
{
    start(false);
    wrapIptables({}, {"-N QTZ_OUTPUT_.*"}, m_daemon->pid());
    // The daemon dies inside the push; the tool's wait is cut short by timeout(1), a bound
    // against a hang only.
    shell("timeout 60 " + std::string(TQ_TQCTL) + " --fw on");
    EXPECT_EQ(m_daemon->wait(30s), -1) << "the daemon did not die in the push";
    m_daemon.reset();
    const std::string crashed = iptablesListing();
    ASSERT_EQ(linesWith(crashed, "-N QTZ_INPUT_"), 1u) << crashed;
    ASSERT_EQ(linesWith(crashed, "-N QTZ_OUTPUT_"), 1u) << crashed;

    restoreIptables();
    setSetting("IsFirewallEnabled", "0");
    startDaemon();
    expectNothingFilters(iptablesListing());
}

TEST_F(TqdEnforcementTruthSandboxTest, APeerConnectionIsRefusedExactlyWhenTheToolSaysADenyIsEnforced)
{
    start(false);
    startPeerAndListener(50);
    auto status = [] { return tqctl("--fw status").output; };

    ASSERT_NE(status().find("Status: Disabled"), std::string::npos) << status();
    EXPECT_TRUE(peerConnects()) << "disabled, yet the connection failed";

    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    ASSERT_EQ(tqctl("--fw-rule-add --name \"deny 8080\" --action deny --direction in --proto tcp "
                    "--local-service 8080 --index 1").code,
              0);
    const std::string enforcing = status();
    EXPECT_NE(enforcing.find("Status: Enabled"), std::string::npos) << enforcing;
    EXPECT_EQ(enforcing.find("Not in force"), std::string::npos) << enforcing;
    EXPECT_FALSE(peerConnects(3000)) << "the deny is enforced, yet the connection went through";

    ASSERT_EQ(tqctl("--fw off").code, 0);
    ASSERT_NE(status().find("Status: Disabled"), std::string::npos) << status();
    EXPECT_TRUE(peerConnects()) << "disabled, yet the connection failed";

    // A crash while enforcing, then a start with the firewall disabled.
    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    EXPECT_FALSE(peerConnects(3000));
    m_daemon->signal(SIGKILL);
    m_daemon.reset();
    setSetting("IsFirewallEnabled", "0");
    startDaemon();
    ASSERT_NE(status().find("Status: Disabled"), std::string::npos) << status();
    EXPECT_TRUE(peerConnects()) << "disabled after a crash, yet the connection failed";
}

TEST_F(TqdEnforcementTruthSandboxTest, ALoggedCatchAllAllowDropsNoNewConnectionDuringPushes)
{
    start(true);
    waitForEnforcement();
    ASSERT_EQ(tqctl("--fw-rule-add --name \"allow all logged\" --action allow --log").code, 0);
    startPeerAndListener(100000);
    ASSERT_TRUE(peerConnects()) << "the catch-all allow does not let the peer in";

    // New connections one after the other until the pushes are done. A SYN the host drops is
    // sent again by the peer a second later and may then get through, so the peer's count of
    // SYN retransmissions tells the drops, whatever the load; each connection has a generous
    // time (a bound against a hang only).
    const long retransmitsBefore = peerSynRetransmits();
    ASSERT_GE(retransmitsBefore, 0);
    startConnecting(1, 10000);
    // Each added rule goes first in the client group, so the catch-all stays its last rule.
    for (int push = 1; push <= 10; ++push) {
        const ToolRun add = tqctl("--fw-rule-add --name push" + std::to_string(push) +
                                  " --action allow --direction in --proto tcp --local-service " +
                                  std::to_string(9000 + push) + " --index 1");
        EXPECT_EQ(add.code, 0) << add.output;
    }
    const auto [ok, failed] = stopConnecting(1);
    EXPECT_EQ(failed, 0) << ok << " connections went through";
    EXPECT_GT(ok, 10);
    EXPECT_EQ(peerSynRetransmits() - retransmitsBefore, 0)
        << "SYNs of new connections were dropped during the pushes; " << ok << " connections";
}

namespace {

constexpr const char* kAllow8080 =
    "--fw-rule-add --name \"allow 8080\" --action allow --direction in --proto tcp --local-service 8080";
constexpr const char* kEarlierInForce =
    "Rules: Not in force (applying the latest changes to iptables failed; the previous rules stay in force)";

// The listing with every generation's id text ("_" and digits) made the same, so listings of
// two runs compare.
std::string normalized(const std::string& listing)
{
    return std::regex_replace(listing, std::regex("_[0-9]+"), "_N");
}

off_t fileSize(const char* path)
{
    struct stat info {};
    return ::stat(path, &info) == 0 ? info.st_size : -1;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(200ms);
    }
    return true;
}

constexpr const char* kAllow8080Either =
    "--fw-rule-add --name \"allow 8080\" --action allow --direction either --proto tcp --local-service 8080";
constexpr const char* kPartlyInForce =
    "Rules: Not in force (applying some rules to iptables failed; they are shown as not enforced)";
constexpr const char* kEmptyTable = "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n";

// Waits until status starts with statusStart and the listing, generations aside, is table, as
// the health check leaves them once iptables works again (a bound against a hang).
void expectSettlesTo(const std::string& statusStart, const std::string& table)
{
    std::string status;
    std::string listing;
    EXPECT_TRUE(waitUntil(
        [&] {
            status = tqctl("--fw status").output;
            return status.rfind(statusStart, 0) == 0 && normalized(listing = iptablesListing()) == table;
        },
        2 * kHangGuard))
        << status;
    EXPECT_EQ(normalized(listing), table);
}

// One command line of a push that iptables refuses.
struct PushFault {
    const char* what;
    const char* line; // matches the whole command line after the program, words joined by blanks
    bool takenBack;   // the try is taken back and the previous rules stay in force
    // A rule's line: a retry that fails again links the rules without that rule. When it is
    // the added rule's, the linked rules are exactly those before the change.
    enum { NoRule, BuiltInRule, AddedRule } ruleLine;
    const char* change = kAllow8080;
    std::vector<std::string> failingOnce = {}; // lines that fail once besides
};

// Names a row in GoogleTest's listing and messages.
void PrintTo(const PushFault& fault, std::ostream* out)
{
    *out << fault.what;
}

const PushFault kPushFaults[] = {
    {"the built-in SSH allow line", "-p tcp .*--dports? 22 .*-j ACCEPT -A QTZ_Client_IN_[0-9]+", true, PushFault::BuiltInRule},
    {"the jump into the client group", "-A QTZ_INPUT_[0-9]+ -j QTZ_Client_IN_[0-9]+", true, PushFault::NoRule},
    {"the jump into the agent group", "-A QTZ_OUTPUT_[0-9]+ -j QTZ_WZ_OUT_[0-9]+", true, PushFault::NoRule},
    {"the jump into the adaptive group", "-A QTZ_INPUT_[0-9]+ -j QTZ_Adaptive_IN_[0-9]+", true, PushFault::NoRule},
    {"creating the agent group's chain", "-N QTZ_WZ_IN_[0-9]+", true, PushFault::NoRule},
    {"creating a top chain", "-N QTZ_OUTPUT_[0-9]+", true, PushFault::NoRule},
    {"creating a block-event chain", "-N QTZ_BlockEven_IN_[0-9]+", true, PushFault::NoRule},
    {"the redirection into INPUT", "-I INPUT -j QTZ_INPUT_[0-9]+", true, PushFault::NoRule},
    {"the redirection into OUTPUT", "-I OUTPUT -j QTZ_OUTPUT_[0-9]+", true, PushFault::NoRule},
    {"the DROP policy", "-P OUTPUT DROP", true, PushFault::NoRule},
    {"the user rule's line", ".* 8080 .*", true, PushFault::AddedRule},
    // Its MARK lines and inbound ACCEPT run before the failing line.
    {"the outbound line of a rule in both directions", ".*--sport 8080 .*-j ACCEPT -A QTZ_Client_OUT_[0-9]+",
     true, PushFault::AddedRule, kAllow8080Either},
    {"removing the old generation's chain", "-X QTZ_Client_IN_[0-9]+", false, PushFault::NoRule},
    // The take-back lists the try's top chains, which nothing else names yet: one failed
    // listing must not forget one.
    {"creating a block-event chain, and a listing of the try's top chain once",
     "-N QTZ_BlockEven_IN_[0-9]+", true, PushFault::NoRule, kAllow8080, {"-n -L QTZ_OUTPUT_[0-9]+"}},
};

} // namespace

class TqdFailedPushCommandSandboxTest : public TqdEnforcementTruthSandboxTest,
                                        public ::testing::WithParamInterface<PushFault> {};

// For each command: while it fails, what the tool says is what the filter table does; once
// iptables works again, the health check puts in place what a fresh start on the same stores
// builds, and the connection the new rule allows is accepted. One test per command, so the
// commands spread over the binary's shards.
TEST_P(TqdFailedPushCommandSandboxTest, IsReportedAndRepairedByTheHealthCheck)
{
    const PushFault& fault = GetParam();
    SCOPED_TRACE(fault.what);
    startPeerAndListener(10);
    const std::map<std::string, std::string> settings{{"HealthCheckTimerInSecs", "1"}};

    // What a fresh start builds from the stores the change leaves, found once per process.
    static std::map<std::string, std::string> references;
    if (references.count(fault.change) == 0) {
        start(true, settings);
        waitForEnforcement();
        ASSERT_EQ(tqctl(fault.change).code, 0);
        m_daemon->signal(SIGTERM);
        ASSERT_EQ(m_daemon->wait(kHangGuard), 0);
        startDaemon();
        const std::string reference = normalized(waitForEnforcement());
        ASSERT_TRUE(peerConnects());
        stopDaemon();
        references[fault.change] = reference;
        serveAgain(10);
    }

    start(true, settings);
    const std::string before = normalized(waitForEnforcement());
    failIptablesLines({fault.line}, fault.failingOnce);
    const ToolRun add = tqctl(fault.change);
    EXPECT_EQ(readFile(kFailingOnceLines), "") << "a line meant to fail once never ran";
    const std::string status = tqctl("--fw status").output;
    const std::string listing = iptablesListing();
    // No failure stacks generations or leaves lines of its own in the built-in chains.
    EXPECT_LE(linesWith(listing, "-N QTZ_INPUT_"), 2u) << listing;
    EXPECT_EQ(linesWith(listing, "-A INPUT -m state"), 0u) << listing;
    EXPECT_EQ(linesWith(listing, "-A OUTPUT -m state"), 0u) << listing;
    if (fault.takenBack) {
        EXPECT_EQ(add.code, 103) << add.output;
        EXPECT_EQ(add.output.find("successfully created and enforced"), std::string::npos) << add.output;
        EXPECT_NE(add.output.find("enforcement failed"), std::string::npos) << add.output;
        EXPECT_NE(status.find("Status: Enabled\nRules: Not in force ("), std::string::npos) << status;
        // The earlier rules, which do not let the peer in, stay; a retry of a rule that fails
        // again may link the rules without it at any time.
        if (fault.ruleLine == PushFault::NoRule) {
            EXPECT_NE(status.find(kEarlierInForce), std::string::npos) << status;
        }
        // Linked without the added rule, which is listed not enforced: not one line of it,
        // and every other rule keeps the mark it had.
        if (fault.ruleLine == PushFault::AddedRule) {
            EXPECT_TRUE(waitUntil([] { return tqctl("--fw status").output.find(kPartlyInForce) != std::string::npos; },
                                  2 * kHangGuard));
            EXPECT_EQ(normalized(iptablesListing()), before);
        }
        if (fault.ruleLine != PushFault::BuiltInRule) {
            EXPECT_FALSE(peerConnects(3000));
        }
    } else {
        EXPECT_EQ(add.code, 0) << add.output;
        EXPECT_EQ(status.find("Not in force"), std::string::npos) << status;
        EXPECT_TRUE(peerConnects());
        EXPECT_EQ(linesWith(listing, "-N QTZ_Client_IN_"), 2u) << listing;
    }

    restoreIptables();
    expectSettlesTo("Status: Enabled\nMode: ", references.at(fault.change));
    EXPECT_TRUE(peerConnects());
    stopDaemon();
}

INSTANTIATE_TEST_SUITE_P(EachCommand, TqdFailedPushCommandSandboxTest, ::testing::ValuesIn(kPushFaults));

// For each command of a mode switch: while it fails, the tool reports the failure and status
// what stays in force; once iptables works again, the health check puts in place what a fresh
// start in the new mode builds, which refuses a connection no rule allows in regular mode and
// passes it in adaptive mode.
TEST_F(TqdEnforcementTruthSandboxTest, AFailedModeSwitchIsReportedAndRepairedByTheHealthCheck)
{
    const struct {
        const char* what;
        const char* line; // refused while the switch runs
        bool toAdaptive;  // switching from regular to adaptive mode, else back
    } faults[] = {
        {"creating the queue chain", "-N QueueGroup_[0-9]+", true},
        {"an NFQUEUE line", ".*-j NFQUEUE --queue-num 1 -I QueueGroup_[0-9]+", true},
        {"the adaptive NEW accept line", "-m state --state NEW -j ACCEPT -A QTZ_Adaptive_IN_[0-9]+", true},
        {"the adaptive broadcast line", ".*255\\.255\\.255\\.255.*-A QTZ_Adaptive_OUT_[0-9]+", true},
        {"the DROP policy, to adaptive", "-P INPUT DROP", true},
        {"creating the adaptive group's chain", "-N QTZ_Adaptive_OUT_[0-9]+", false},
        {"the jump into the adaptive group", "-A QTZ_INPUT_[0-9]+ -j QTZ_Adaptive_IN_[0-9]+", false},
        {"the DROP policy, to regular", "-P OUTPUT DROP", false},
    };
    startPeerAndListener(10);
    auto settings = [](bool adaptive) {
        return std::map<std::string, std::string>{{"HealthCheckTimerInSecs", "1"},
                                                  {"IsRegularOrAdaptive", adaptive ? "1" : "0"}};
    };
    std::string references[2];
    for (bool adaptive : {false, true}) {
        start(true, settings(adaptive));
        references[adaptive] = normalized(waitForEnforcement());
        stopDaemon();
    }

    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.what);
        const std::string mode = fault.toAdaptive ? "Adaptive" : "Regular";
        serveAgain(10);
        start(true, settings(!fault.toAdaptive));
        waitForEnforcement();
        failIptablesLines({fault.line});
        const ToolRun set = tqctl(std::string("--fw-mode ") + (fault.toAdaptive ? "adaptive" : "regular"));
        EXPECT_EQ(set.code, 103) << set.output;
        EXPECT_EQ(set.output, "FMP communication error\nFirewall mode is set to " + mode +
                              " in the settings, but applying it to "
                              "iptables failed: the rules applied before stay in force, and the "
                              "firewall tries again at its health check\n");
        const std::string status = tqctl("--fw status").output;
        EXPECT_NE(status.find(std::string("Status: Enabled\n") + kEarlierInForce + "\nMode: " + mode + "\n"),
                  std::string::npos)
            << status;
        if (fault.toAdaptive) {
            EXPECT_FALSE(peerConnects(3000)) << "the regular rules stay, and they refuse the peer";
        }

        restoreIptables();
        expectSettlesTo("Status: Enabled\nMode: " + mode + "\n", references[fault.toAdaptive]);
        EXPECT_EQ(peerConnects(fault.toAdaptive ? 20000 : 3000), fault.toAdaptive);
        stopDaemon();
    }
}

// A push that keeps failing is retried at every health-check period, and what the retries
// leave stays the size of two generations; the disable then removes everything.
TEST_F(TqdEnforcementTruthSandboxTest, TwentyFailedRetriesLeaveTwoGenerationsAtMost)
{
    startPeerAndListener(100000);
    start(true, {{"HealthCheckTimerInSecs", "1"}});
    const std::string enforcing = waitForEnforcement();
    const size_t chains = productChains(enforcing).size();
    const off_t stateSize = fileSize(kStateFile);
    ASSERT_GT(stateSize, 0);

    // The policy is the last step a try can fail at: no try may let the peer in before it,
    // not even for a moment. Short connections from several loops land in every retry.
    constexpr int kLoops = 4;
    startConnecting(kLoops, 300);
    failIptablesLines({"-P INPUT DROP"});
    EXPECT_EQ(tqctl(kAllow8080).code, 103);
    const char* retry = "The last attempt to apply the rules failed. Hence enforcing the rules again";
    // Twenty periods of one second and twenty pushes, many times over on a loaded machine: a
    // hang guard.
    ASSERT_TRUE(waitForText(kDaemonLog, retry, 10 * kHangGuard, 20));
    const auto [reached, refused] = stopConnecting(kLoops);
    EXPECT_EQ(reached, 0) << "the port only the failed rules allow was reached; " << refused << " refused";
    EXPECT_GT(refused, 20);
    const std::string listing = iptablesListing();
    EXPECT_LE(linesWith(listing, "-N QTZ_INPUT_"), 2u) << listing;
    EXPECT_LE(productChains(listing).size(), 2 * chains) << listing;
    EXPECT_LE(linesWith(listing, "-A INPUT "), 2 * linesWith(enforcing, "-A INPUT ")) << listing;
    EXPECT_LE(fileSize(kStateFile), 2 * stateSize);
    EXPECT_NE(tqctl("--fw status").output.find(kEarlierInForce), std::string::npos);

    // No command after the fault is gone: the health check applies the rules.
    restoreIptables();
    EXPECT_FALSE(productChains(waitForEnforcement()).empty());
    EXPECT_EQ(tqctl("--fw status").output.find("Not in force"), std::string::npos);

    failIptablesLines({"-P INPUT DROP"});
    EXPECT_EQ(tqctl("--fw-rule-add --name late --action allow --direction in --proto tcp --local-service 84").code, 103);
    restoreIptables();
    EXPECT_EQ(tqctl("--fw off").code, 0);
    expectNothingFilters(iptablesListing());
}

// A rule stored at 100006 with no update request after it, as a tool killed in between leaves
// it: status says the change is not applied, and the health check applies it unasked.
TEST_F(TqdEnforcementTruthSandboxTest, ARuleStoredWithoutItsUpdateRequestIsAppliedByTheHealthCheck)
{
    startPeerAndListener(2);
    // A change waits one whole period for its update request before the health check applies
    // it: the hang guard as the period keeps the status below ahead of that.
    start(true, {{"HealthCheckTimerInSecs", std::to_string(kHangGuard.count())}});
    waitForEnforcement();
    const StatefulFirewall::SFRule rule =
        model::portRule("allow 8080", StatefulFirewall::FW_ACTION_ALLOW, true, 8080);
    const std::string payload = wideRequest(100006, rule)->outgoingData();
    ASSERT_EQ(payload.find('\''), std::string::npos);
    std::string answer;
    ASSERT_EQ(zavcall("--dest 7000 --cmd 100006 --wide-raw '" + payload + "'", &answer), 0) << answer;

    const std::string pending = tqctl("--fw status").output;
    EXPECT_NE(pending.find("Status: Enabled\nRules: Not in force (the latest changes are not applied "
                           "to iptables yet"),
              std::string::npos)
        << pending;
    EXPECT_EQ(linesWith(iptablesListing(), "8080"), 0u);
    EXPECT_FALSE(peerConnects(3000));

    std::string status;
    EXPECT_TRUE(waitUntil(
        [&] {
            status = tqctl("--fw status").output;
            return status.find("Not in force") == std::string::npos &&
                   linesWith(iptablesListing(), "--dports 8080 -j ACCEPT") == 1;
        },
        4 * kHangGuard))
        << status << iptablesListing();
    EXPECT_TRUE(peerConnects());
    EXPECT_EQ(countOf(kDaemonLog, "no push applied the changes"), 1u);
}

// A second tqd started beside an enforcing one, with a management policy waiting in the agent
// spool and the settings saying disabled (a hand edit), leaves at once: it never takes the
// policy, never cleans up, and the first one's filtering, stores and settings stay as they were.
TEST_F(TqdEnforcementTruthSandboxTest, ASecondDaemonLeavesAtOnceAndTouchesNothingOfTheFirst)
{
    startPeerAndListener(2);
    start(true);
    const std::string listing = waitForEnforcement();
    ASSERT_FALSE(peerConnects(3000)) << "no rule allows 8080";
    setSetting("IsFirewallEnabled", "0");
    std::map<std::string, std::string> files;
    for (const char* path : {kStateFile, "/var/Varnik/kyv/fw/rule-store.data",
                             "/var/Varnik/kyv/fw/trustedip-store.data", "/var/Varnik/kyv/fw/prefs.xml"})
        files[path] = readFile(path);

    // Stopped, the first daemon's agent cannot take the policy: only a second one could.
    m_daemon->signal(SIGSTOP);
    const std::string policy = std::string(kSpool) + "/policy.d/001.txt";
    dropPolicy("001.txt", "software HVRT_FW_1060QUIL\n"
                          "object HVRT_FW_META_FW|FW_StatusMode|FW_StatusMode|Options A\n"
                          "section 8 FWStatus=1\n");
    const int status = Daemon(m_dir.file("second.out")).wait(kHangGuard);
    const bool policyWaits = ::access(policy.c_str(), F_OK) == 0;
    ::unlink(policy.c_str());
    m_daemon->signal(SIGCONT);

    EXPECT_EQ(status, 1);
    EXPECT_EQ(readFile(m_dir.file("second.out")),
              "Another tqd is running (it holds /run/Varnik/kyv/fw/tqd.lock); exiting without "
              "touching Iptables, the stores or the settings\n");
    EXPECT_EQ(countOf(kDaemonLog, "Another tqd is running"), 1u);
    EXPECT_TRUE(policyWaits) << "the second daemon's agent took the policy";
    EXPECT_EQ(iptablesListing(), listing);
    for (const auto& [path, text] : files)
        EXPECT_EQ(readFile(path), text) << path;
    EXPECT_FALSE(peerConnects(3000)) << "a port no rule allows is reachable";
    setSetting("IsFirewallEnabled", "1");
    const ToolRun first = tqctl("--fw status");
    EXPECT_EQ(first.output.rfind("Status: Enabled\nMode: ", 0), 0u) << first.output;
}


// A disable whose clean-up iptables refuses for a while: the tool and status say what still
// filters, and once iptables works the health check removes everything of the firewall.
TEST_F(TqdEnforcementTruthSandboxTest, ADisableThatLeavesSomethingSaysWhatFiltersUntilTheHealthCheckRemovesIt)
{
    const struct {
        const char* what;
        const char* failing;
        const char* said;   // by --fw off
        const char* status; // after "Rules: Still filtering (the firewall is disabled, but "
    } cases[] = {
        {"the ACCEPT policy", "-P INPUT ACCEPT", "but the ACCEPT policies could not be restored",
         "setting the INPUT and OUTPUT policies back to ACCEPT failed"},
        {"the catch-all deny's DROP line in INPUT", "-D INPUT -j DROP",
         "but removing some of its chains or lines from iptables failed",
         "removing some of its chains or lines"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        start(true, {{"HealthCheckTimerInSecs", "1"}});
        waitForEnforcement();
        ASSERT_EQ(tqctl("--fw-rule-add --name \"deny all logged\" --action deny --log").code, 0);
        ASSERT_EQ(linesWith(iptablesListing(), "-A INPUT -j DROP"), 1u) << iptablesListing();

        failIptablesLines({each.failing});
        const ToolRun off = tqctl("--fw off");
        EXPECT_EQ(off.code, 103) << off.output;
        EXPECT_NE(off.output.find(each.said), std::string::npos) << off.output;
        const std::string said = tqctl("--fw status").output;
        EXPECT_EQ(said.rfind(std::string("Status: Disabled\nRules: Still filtering (the firewall is "
                                         "disabled, but ") + each.status, 0), 0u) << said;
        const std::string left = iptablesListing();
        EXPECT_TRUE(linesWith(left, "-A INPUT -j DROP") == 1 || policyOf(left, "INPUT") == "DROP") << left;

        // No command after the fault is gone: the health check removes what is left.
        restoreIptables();
        expectSettlesTo("Status: Disabled\nMode: ", kEmptyTable);
        stopDaemon();
    }
}
