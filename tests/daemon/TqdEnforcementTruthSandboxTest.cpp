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

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <set>
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
constexpr const char* kKillingLines = "/opt/Varnik/kyv/fw/bin/iptables.kill";
constexpr const char* kVictim = "/opt/Varnik/kyv/fw/bin/iptables.victim";
// The first line that matches one of these runs, and then every line fails (an outage: the
// program replaced by a package upgrade, a process limit, another tool holding the table)
// while kOutage exists.
constexpr const char* kOutageAfter = "/opt/Varnik/kyv/fw/bin/iptables.outage-after";
constexpr const char* kOutage = "/opt/Varnik/kyv/fw/bin/iptables.outage";
// Each line refused during the outage, one a line.
constexpr const char* kRefused = "/opt/Varnik/kyv/fw/bin/iptables.refused";
// While it holds a number, a listing of the table is cut after that many lines and still
// exits 0.
constexpr const char* kCutListing = "/opt/Varnik/kyv/fw/bin/iptables.cut";

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

// The tool's status; the command succeeds whenever the daemon answers. Waits that poll the
// status read its output alone: a failed call there is only one more try.
std::string fwStatus()
{
    const ToolRun run = tqctl("--fw status");
    EXPECT_EQ(run.code, 0) << run.output;
    return run.output;
}

// Whether text holds part, with the text as the message either way, so that EXPECT_TRUE and
// EXPECT_FALSE both print it.
::testing::AssertionResult holds(const std::string& text, const std::string& part)
{
    return (text.find(part) != std::string::npos ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << text;
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

// Waits until the status holds text, as a push or the health check leaves it (a bound against
// a hang); the last status when it never does.
::testing::AssertionResult statusComesToHold(const std::string& text)
{
    std::string status;
    // A bound against a hang: a retry of a failed rule builds the table twice, minutes on a
    // loaded machine.
    if (waitUntil([&] { return (status = tqctl("--fw status").output).find(text) != std::string::npos; }, 6 * kHangGuard))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the status never held \"" << text << "\":\n" << status;
}

// The product's iptables becomes a wrapper that fails the lines matching one of failing, fails
// the first line matching one of failingOnce, runs those matching one of killingAfter and
// then kills the process victim with SIGKILL (a crash right after that line), and runs the
// real program for every other line. Every file is replaced in one step: the daemon's health
// check may run iptables at any moment.
void failIptablesLines(const std::vector<std::string>& failing, const std::vector<std::string>& failingOnce = {},
                       const std::vector<std::string>& killingAfter = {}, pid_t victim = 0,
                       const std::vector<std::string>& outageAfter = {})
{
    const auto lines = [](const std::vector<std::string>& patterns) {
        std::string list;
        for (const std::string& pattern : patterns)
            list += pattern + "\n";
        return list;
    };
    TestSupport::replaceFile(kFailingLines, lines(failing));
    TestSupport::replaceFile(kFailingOnceLines, lines(failingOnce));
    TestSupport::replaceFile(kKillingLines, lines(killingAfter));
    TestSupport::replaceFile(kVictim, std::to_string(victim) + "\n");
    TestSupport::replaceFile(kOutageAfter, lines(outageAfter));
    const auto matches = [](const std::string& list) {
        return "if [ -s " + list + " ] && printf '%s\\n' \"$*\" | grep -qxE -f " + list + "; then\n";
    };
    TestSupport::replaceFile(kIptablesLink,
                             "#!/bin/sh\n"
                             "if [ -e " + std::string(kOutage) + " ]; then\n"
                             "    echo \"$*\" >>" + kRefused + "\n"
                             "    echo \"iptables: unavailable on purpose: $*\" >&2\n"
                             "    exit 4\n"
                             "fi\n" + matches(kOutageAfter) +
                             "    /usr/sbin/iptables \"$@\"\n"
                             "    status=$?\n"
                             "    : >" + kOutage + "\n"
                             "    exit $status\n"
                             "fi\n" + matches(kFailingLines) +
                             "    echo \"iptables: failed on purpose: $*\" >&2\n"
                             "    exit 1\n"
                             "fi\n" + matches(kFailingOnceLines) +
                             "    : >" + kFailingOnceLines + "\n"
                             "    echo \"iptables: failed once on purpose: $*\" >&2\n"
                             "    exit 1\n"
                             "fi\n" + matches(kKillingLines) +
                             "    /usr/sbin/iptables \"$@\"\n"
                             "    status=$?\n"
                             "    kill -9 \"$(cat " + kVictim + ")\"\n"
                             "    exit $status\n"
                             "fi\n"
                             "if [ \"$*\" = -S ] && [ -s " + kCutListing + " ]; then\n"
                             "    /usr/sbin/iptables -S | head -n \"$(cat " + kCutListing + ")\"\n"
                             "    exit 0\n"
                             "fi\n"
                             "exec /usr/sbin/iptables \"$@\"\n",
                             0755);
}

void restoreIptables()
{
    TestSupport::unwrapProgram(kIptablesLink, "/usr/sbin/iptables");
    for (const char* path :
         {kFailingLines, kFailingOnceLines, kKillingLines, kVictim, kOutageAfter, kOutage, kRefused, kCutListing})
        ::unlink(path);
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

    // The peer namespace (10.0.0.7) and a listener on 10.0.0.5:8080 here.
    void startPeerAndListener(int count)
    {
        std::string output;
        ASSERT_EQ(QueueRig::shell("rig_up", &output), 0) << output;
        m_peerUp = true;
        serve(count);
    }

    // A server here on 10.0.0.5:port, kind tcp-listen or udp-echo, in place of the one before it
    // there; it takes up to count connections or datagrams within ten minutes, the tool's
    // longest run: a test of several daemon starts on a loaded machine takes minutes, and a
    // server that gave up would pass for a refused peer. TearDown stops every one.
    static void serve(int count, int port = 8080, const std::string& kind = "tcp-listen")
    {
        const std::string out = "/run/tq-" + kind + "-" + std::to_string(port) + ".out";
        std::string output;
        ASSERT_EQ(QueueRig::shell("unserve " + out + " && serve " + out + " \"$TOOL\" " + kind + " 10.0.0.5 " +
                                      std::to_string(port) + " --count " + std::to_string(count) + " --timeout 600000",
                                  &output),
                  0)
            << output;
    }

    // One new connection from the peer: true when the listener's greeting came back within
    // timeoutMs (generous where it must come back, a bound against a hang).
    static bool peerConnects(int timeoutMs = 20000, int port = 8080)
    {
        return QueueRig::shell("in_peer \"$TOOL\" tcp-connect 10.0.0.5 " + std::to_string(port) +
                               " --from 10.0.0.7 --timeout " + std::to_string(timeoutMs)) == 0;
    }

    // One datagram from the peer to an echo server here: true when its echo came back within
    // timeoutMs.
    static bool peerExchanges(int port, int timeoutMs)
    {
        return QueueRig::shell("in_peer \"$TOOL\" udp-send 10.0.0.5 " + std::to_string(port) +
                               " --from 10.0.0.7 --expect-reply --timeout " + std::to_string(timeoutMs)) == 0;
    }

    // New connections from the peer to port, one after the other in each of loops background
    // loops, each given timeoutMs, until stopConnecting or the test's end. A loop also ends once
    // the peer is gone or after ten minutes, so a test killed on the way leaves none running.
    void startConnecting(int loops, int timeoutMs, int port = 8080)
    {
        m_connecting = true;
        std::string output;
        ASSERT_EQ(QueueRig::shell("rm -f /run/tq-stop /run/tq-stream-*.out; "
                                  "for out in $(seq -f /run/tq-stream-%g 0 " + std::to_string(loops - 1) + "); do "
                                  "  ( ok=0; failed=0; "
                                  "    while [ ! -e /run/tq-stop ] && [ -e /run/netns/tqpeer ] && [ $SECONDS -lt 600 ]; do "
                                  "      if in_peer \"$TOOL\" tcp-connect 10.0.0.5 " + std::to_string(port) + " --from 10.0.0.7 --timeout " +
                                      std::to_string(timeoutMs) + " >/dev/null 2>&1; "
                                  "      then ok=$((ok+1)); else failed=$((failed+1)); fi; "
                                  "    done; echo \"$ok $failed\" >$out.tmp; mv $out.tmp $out.out ) >/dev/null 2>&1 & "
                                  "done",
                                  &output),
                  0)
            << output;
    }

    // Stops the loops and adds up their connections that went through and those that did not.
    std::pair<int, int> stopConnecting(int loops)
    {
        TestSupport::writeFile("/run/tq-stop", "");
        m_connecting = false;
        std::pair<int, int> total{0, 0};
        for (int loop = 0; loop < loops; ++loop) {
            const std::string out = "/run/tq-stream-" + std::to_string(loop) + ".out";
            // A bound against a hang: a loop ends after its current connection.
            EXPECT_TRUE(waitForText(out, " ", 30s));
            int ok = 0, failed = 0;
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
        // Loops a failed assertion left running stop before the peer goes.
        if (m_connecting)
            TestSupport::writeFile("/run/tq-stop", "");
        if (m_peerUp && TestSupport::sandboxProblem().empty())
            QueueRig::shell("for pid in /run/tq-*.out.pid; do [ -e \"$pid\" ] && unserve \"${pid%.pid}\"; done; rig_down");
        TqdSandboxTest::TearDown();
    }

    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<Daemon> m_daemon;
    bool m_peerUp = false;
    bool m_connecting = false;
};

} // namespace

// A daemon killed in a push or while enforcing leaves its chains behind, and the next start with
// the firewall disabled removes them. While iptables refuses the ACCEPT policies, that start and
// --fw off leave the filter table as it is and say so; once it works, --fw off restores them.
TEST_F(TqdEnforcementTruthSandboxTest, ADisabledStartOrFwOffRemovesWhatAKilledDaemonLeft)
{
    // Killed right after the push created the top chains; the tool's wait is cut short by
    // timeout(1), a bound against a hang only.
    start(false);
    failIptablesLines({}, {}, {"-N QTZ_OUTPUT_.*"}, m_daemon->pid());
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

    // Killed while enforcing, and the start-up clean-up cannot set the policies: the DROP
    // policies stay, and so do the chains that let in what the rules allow.
    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    m_daemon->signal(SIGKILL);
    m_daemon.reset();
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
    EXPECT_TRUE(holds(fwStatus(), "Status: Enabled\nRules: Not in force"));
    EXPECT_EQ(policyOf(iptablesListing(), "INPUT"), "ACCEPT");

    // A second --fw on tries again instead of answering that nothing changed.
    on = tqctl("--fw on");
    EXPECT_EQ(on.code, 103) << on.output;
    EXPECT_FALSE(holds(on.output, "already set"));

    restoreIptables();
    on = tqctl("--fw on");
    EXPECT_EQ(on.code, 0) << on.output;
    EXPECT_EQ(on.output, "Preferences set successfully\n");
    const std::string listing = waitForEnforcement();
    EXPECT_FALSE(productChains(listing).empty()) << listing;
    EXPECT_FALSE(holds(fwStatus(), "Not in force"));
}

TEST_F(TqdEnforcementTruthSandboxTest, APeerConnectionIsRefusedExactlyWhenTheToolSaysADenyIsEnforced)
{
    start(false);
    startPeerAndListener(50);

    ASSERT_TRUE(holds(fwStatus(), "Status: Disabled"));
    EXPECT_TRUE(peerConnects()) << "disabled, yet the connection failed";

    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    ASSERT_EQ(tqctl("--fw-rule-add --name \"deny 8080\" --action deny --direction in --proto tcp --local-service 8080 "
                    "--index 1").code, 0);
    const std::string enforcing = fwStatus();
    EXPECT_TRUE(holds(enforcing, "Status: Enabled"));
    EXPECT_FALSE(holds(enforcing, "Not in force"));
    EXPECT_FALSE(peerConnects(3000)) << "the deny is enforced, yet the connection went through";

    ASSERT_EQ(tqctl("--fw off").code, 0);
    ASSERT_TRUE(holds(fwStatus(), "Status: Disabled"));
    EXPECT_TRUE(peerConnects()) << "disabled, yet the connection failed";

    // A crash while enforcing leaves the chains and the DROP policies; a start with the firewall
    // disabled removes them all.
    ASSERT_EQ(tqctl("--fw on").code, 0);
    const std::string before = waitForEnforcement();
    ASSERT_FALSE(productChains(before).empty()) << before;
    EXPECT_FALSE(peerConnects(3000));
    m_daemon->signal(SIGKILL);
    m_daemon.reset();
    ASSERT_EQ(policyOf(iptablesListing(), "INPUT"), "DROP");
    setSetting("IsFirewallEnabled", "0");
    startDaemon();
    expectNothingFilters(iptablesListing());
    ASSERT_TRUE(holds(fwStatus(), "Status: Disabled"));
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
    const auto settled = [&] {
        status = tqctl("--fw status").output;
        return status.rfind(statusStart, 0) == 0 && normalized(listing = iptablesListing()) == table;
    };
    EXPECT_TRUE(waitUntil(settled, 2 * kHangGuard)) << status;
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
    // The take-back deletes the try's chains, which nothing else names yet: a deletion that
    // fails once must not forget one.
    {"creating a block-event chain, and the take-back's deletion of a chain once",
     "-N QTZ_BlockEven_IN_[0-9]+", true, PushFault::NoRule, kAllow8080, {"-X QTZ_INPUT_[0-9]+"}},
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
        serve(10);
    }

    start(true, settings);
    const std::string before = normalized(waitForEnforcement());
    failIptablesLines({fault.line}, fault.failingOnce);
    const ToolRun add = tqctl(fault.change);
    EXPECT_EQ(readFile(kFailingOnceLines), "") << "a line meant to fail once never ran";
    const std::string status = fwStatus();
    const std::string listing = iptablesListing();
    // No failure stacks generations or leaves lines of its own in the built-in chains.
    EXPECT_LE(linesWith(listing, "-N QTZ_INPUT_"), 2u) << listing;
    EXPECT_EQ(linesWith(listing, "-A INPUT -m state"), 0u) << listing;
    EXPECT_EQ(linesWith(listing, "-A OUTPUT -m state"), 0u) << listing;
    if (fault.takenBack) {
        EXPECT_EQ(add.code, 103) << add.output;
        EXPECT_FALSE(holds(add.output, "successfully created and enforced"));
        EXPECT_TRUE(holds(add.output, "enforcement failed"));
        EXPECT_TRUE(holds(status, "Status: Enabled\nRules: Not in force ("));
        // The earlier rules, which do not let the peer in, stay; a retry of a rule that fails
        // again links the rules without it at any time, and lists it not enforced.
        if (fault.ruleLine == PushFault::NoRule) {
            EXPECT_TRUE(holds(status, kEarlierInForce));
        } else {
            EXPECT_TRUE(statusComesToHold(kPartlyInForce));
        }
        // Linked without the added rule: not one line of it, and every other rule keeps the
        // mark it had.
        if (fault.ruleLine == PushFault::AddedRule) {
            EXPECT_EQ(normalized(iptablesListing()), before);
        }
        if (fault.ruleLine != PushFault::BuiltInRule) {
            EXPECT_FALSE(peerConnects(3000));
        } else {
            // Linked without the built-in rule that keeps failing, a later change is in force,
            // and the tool says so rather than that it failed.
            const char* partly = "The change was stored and is in force without the rules whose "
                                 "iptables commands failed";
            const ToolRun added = tqctl("--fw-rule-add --name \"allow 9090\" --action allow "
                                        "--direction in --proto tcp --local-service 9090 --index 1");
            EXPECT_EQ(added.code, 103) << added.output;
            EXPECT_TRUE(holds(added.output, "Rule was successfully created and enforced"));
            EXPECT_TRUE(holds(added.output, partly));
            EXPECT_GT(linesWith(iptablesListing(), "9090"), 0u) << iptablesListing();
            ToolRun deleted{};
            deleted.code = shell(std::string("printf 'y\\n' | ") + TQ_TQCTL + " --fw-rule-delete --index 1", &deleted.output);
            EXPECT_EQ(deleted.code, 103) << deleted.output;
            EXPECT_TRUE(holds(deleted.output, partly));
            EXPECT_EQ(linesWith(iptablesListing(), "9090"), 0u) << iptablesListing();
        }
        if (fault.ruleLine != PushFault::NoRule) {
            // From the partial link on, the retries (each builds the whole table again, fails
            // on the same rule and links without it) never change what status says.
            const char* retry = "The last attempt to apply the rules failed. Hence enforcing the rules again";
            const size_t retries = countOf(kDaemonLog, retry);
            std::string during;
            const auto retried = [&] {
                during = fwStatus();
                return !holds(during, kPartlyInForce) || countOf(kDaemonLog, retry) >= retries + 2;
            };
            EXPECT_TRUE(waitUntil(retried, 10 * kHangGuard));
            EXPECT_TRUE(holds(during, kPartlyInForce));
        }
    } else {
        EXPECT_EQ(add.code, 0) << add.output;
        EXPECT_FALSE(holds(status, "Not in force"));
        EXPECT_TRUE(peerConnects());
        EXPECT_EQ(linesWith(listing, "-N QTZ_Client_IN_"), 2u) << listing;
    }

    restoreIptables();
    expectSettlesTo("Status: Enabled\nMode: ", references.at(fault.change));
    EXPECT_TRUE(peerConnects());
    stopDaemon();
}

INSTANTIATE_TEST_SUITE_P(EachCommand, TqdFailedPushCommandSandboxTest, ::testing::ValuesIn(kPushFaults));

namespace {

// A change during which iptables refuses chosen lines, or fails as a whole from a chosen line on
// (an outage), for as long as the test looks.
struct Outage {
    const char* what;
    bool adaptive;                    // the mode the daemon starts in
    std::vector<std::string> before;  // tqctl commands applied before iptables fails
    std::vector<std::string> failing; // lines refused until iptables works again
    const char* after;                // the line after which everything fails; null: none
    std::vector<std::pair<std::string, std::string>> during; // tqctl words; what their output holds
    std::string status;               // what status holds while iptables fails
    const char* settled;              // how status starts once iptables works and the health check ran
    std::vector<std::string> listed = {}, unlisted = {}; // texts the filter table holds, and not, meanwhile
    int peer = -1;                    // 1: the peer gets in meanwhile, 0: it is refused, -1: not tried
    bool restart = false;             // the daemon is killed with SIGKILL and started during the outage
    // New connections to tcp 22, which the built-in SSH line allows, from before the change until
    // the health check has passed three times meanwhile: every one is let in.
    bool ssh = false;
    // Queue 1 is read meanwhile: an adaptive chain may still lead from INPUT.
    bool queueRead = false;
    // Listings of the table are cut after the chain definitions meanwhile (and still exit 0).
    bool cutListings = false;
    // Rules the stores hold once it settled enabled, beside the built-in ones: what a fresh
    // start on them builds is what it settles to.
    const char* stored = nullptr;
    // A command of another program run before the change instead of a failing iptables, and the
    // exit code of the tool's commands meanwhile.
    const char* foreign = nullptr;
    int code = 103;
};

void PrintTo(const Outage& outage, std::ostream* out)
{
    *out << outage.what;
}

constexpr const char* kRetry = "The last attempt to apply the rules failed. Hence enforcing the rules again";
constexpr const char* kLinkedBeside = "Rules: Not in force (the latest rules are applied, but removing chains that "
                                      "are not in force from iptables failed";
constexpr const char* kTakenBackBeside = "Rules: Not in force (applying the latest changes to iptables failed, and "
                                         "removing what is not in force failed too";
constexpr const char* kLastRedirection = "-I OUTPUT -j QTZ_OUTPUT_[0-9]+";
constexpr const char* kDenyAllLogged = "--fw-rule-add --name \"deny all logged\" --action deny --log";
constexpr const char* kEnabledRegular = "Status: Enabled\nMode: Regular\n";
constexpr const char* kEnabledAdaptive = "Status: Enabled\nMode: Adaptive\n";
constexpr const char* kDisabled = "Status: Disabled\nMode: ";

// A switch whose push refuses a line: the rules applied before stay in force.
Outage failedSwitch(const char* what, const char* line, bool toAdaptive)
{
    const std::string mode = toAdaptive ? "Adaptive" : "Regular";
    return {what, !toAdaptive, {}, {line}, nullptr,
            {{toAdaptive ? "--fw-mode adaptive" : "--fw-mode regular",
              "Firewall mode is set to " + mode + " in the settings, but applying it to iptables failed: the rules "
              "applied before stay in force, and the firewall tries again at its health check\n"}},
            "Status: Enabled\n" + std::string(kEarlierInForce) + "\nMode: " + mode + "\n",
            toAdaptive ? kEnabledAdaptive : kEnabledRegular, {}, {}, toAdaptive ? 0 : -1};
}

const Outage kOutages[] = {
    // An outage from a chosen line on.
    {"a rule delete", false, {std::string(kAllow8080) + " --index 1"}, {}, kLastRedirection,
     {{"--fw-rule-delete --index 1", "removing chains that are not in force from iptables failed"}}, kLinkedBeside,
     kEnabledRegular},
    {"a switch to regular", true, {}, {}, kLastRedirection,
     {{"--fw-mode regular", "its rules are linked, but removing the chains that are not in force failed"}},
     kLinkedBeside, kEnabledRegular},
    // The adaptive try's jump stays first in INPUT, and the switch back cannot even begin:
    // adaptive mode stays wholly in force, its queue read, and lets the peer in.
    {"a switch to adaptive, then back", false, {}, {}, "-I INPUT -j QTZ_INPUT_[0-9]+",
     {{"--fw-mode adaptive", "the rules applied before stay linked, and removing what is not in force failed too"},
      {"--fw-mode regular", "the rules applied before stay linked, and removing what is not in force failed too"}},
     kTakenBackBeside, kEnabledRegular, {}, {}, 1, false, false, true},
    // The policies were set to ACCEPT before: what the tool says of them is what iptables holds.
    {"a disable", false, {kDenyAllLogged}, {}, "-P OUTPUT ACCEPT",
     {{"--fw off", "removing its DROP line from INPUT or OUTPUT failed: it drops what the firewall's chains kept"}},
     "Status: Disabled\nRules: Still filtering (the firewall is disabled, but removing its DROP line", kDisabled,
     {"-P INPUT ACCEPT", "-P OUTPUT ACCEPT"}},
    // Both jumps were deleted before the outage: what is left filters nothing, and the tool
    // names neither DROP policies nor chains that still filter.
    {"a disable, from after the jumps' deletion on", false, {kDenyAllLogged}, {}, "-D OUTPUT -j QTZ_OUTPUT_[0-9]+",
     {{"--fw off", "but removing some of its chains from iptables failed: nothing leads to them"}},
     "Status: Disabled\nRules: Not filtering (the firewall is disabled, but removing some of its chains", kDisabled,
     {"-P INPUT ACCEPT", "-P OUTPUT ACCEPT", "-N QTZ_Client_IN_"}, {"-A INPUT ", "-A OUTPUT "}, 1},
    {"a start after kill -9", true, {}, {}, nullptr, {}, "Rules: Not in force (applying them to iptables failed)",
     kEnabledAdaptive, {}, {}, -1, true},
    // A line a mode switch refuses: the regular rules stay, and they refuse the peer.
    failedSwitch("creating the queue chain", "-N QueueGroup_[0-9]+", true),
    failedSwitch("an NFQUEUE line", ".*-j NFQUEUE --queue-num 1 -I QueueGroup_[0-9]+", true),
    failedSwitch("the adaptive NEW accept line", "-m state --state NEW -j ACCEPT -A QTZ_Adaptive_IN_[0-9]+", true),
    failedSwitch("the adaptive broadcast line", ".*255\\.255\\.255\\.255.*-A QTZ_Adaptive_OUT_[0-9]+", true),
    failedSwitch("the DROP policy, to adaptive", "-P INPUT DROP", true),
    failedSwitch("creating the adaptive group's chain", "-N QTZ_Adaptive_OUT_[0-9]+", false),
    failedSwitch("the jump into the adaptive group", "-A QTZ_INPUT_[0-9]+ -j QTZ_Adaptive_IN_[0-9]+", false),
    failedSwitch("the DROP policy, to regular", "-P OUTPUT DROP", false),
    // A line a disable refuses: the tool and status say what still filters.
    {"the ACCEPT policy", false, {kDenyAllLogged}, {"-P INPUT ACCEPT"}, nullptr,
     {{"--fw off", "but the ACCEPT policies could not be restored"}},
     "Status: Disabled\nRules: Still filtering (the firewall is disabled, but setting the INPUT and OUTPUT policies "
     "back to ACCEPT failed",
     kDisabled, {"-P INPUT DROP"}},
    // The catch-all DROP line stays, and so do the jump and chains in front of it, which let
    // SSH in; a refused check proves nothing gone while the listing shows the line.
    {"the catch-all deny's DROP line in INPUT", false, {kDenyAllLogged}, {"-D INPUT -j DROP"}, nullptr,
     {{"--fw off", "but removing its DROP line from INPUT or OUTPUT failed"}},
     "Status: Disabled\nRules: Still filtering (the firewall is disabled, but removing its DROP line", kDisabled,
     {"-A INPUT -j DROP", "-A INPUT -j QTZ_INPUT_", "-N QTZ_Client_IN_"}, {}, -1, false, true},
    // The listings are cut after the chain definitions besides: no listing's silence forgets it.
    {"the catch-all deny's DROP line in INPUT, its deletion refused, the listings cut", false, {kDenyAllLogged},
     {"-D INPUT -j DROP"}, nullptr, {{"--fw off", "but removing its DROP line from INPUT or OUTPUT failed"}},
     "Status: Disabled\nRules: Still filtering (the firewall is disabled, but removing its DROP line", kDisabled,
     {"-A INPUT -j DROP", "-A INPUT -j QTZ_INPUT_"}, {}, -1, false, true, false, true},
    // A LOG line left alone filters nothing, and the tool says so, failing.
    {"the catch-all deny's LOG line in INPUT", false, {kDenyAllLogged}, {"-D INPUT -j LOG .*"}, nullptr,
     {{"--fw off", "but removing some of its lines from INPUT or OUTPUT failed: they only log or mark packets"}},
     "Status: Disabled\nRules: Not filtering (the firewall is disabled, but removing some of its lines", kDisabled,
     {"-A INPUT -j LOG"}, {"-A INPUT -j DROP", "-A INPUT -j QTZ_", "-N QTZ_"}, 1},
    // A first push whose jump is refused: no DROP line of it ever stands without the jump in
    // front, so SSH and established connections pass throughout.
    {"a first push, its jump and the DROP line's deletion refused", false, {kDenyAllLogged, "--fw off"},
     {"-I INPUT -j QTZ_INPUT_[0-9]+", "-D INPUT -j DROP"}, nullptr,
     {{"--fw on", "its rules are not in force: applying them to iptables failed"}},
     "Status: Enabled\nRules: Not in force (applying them to iptables failed)", kEnabledRegular, {},
     {"-A INPUT -j QTZ_", "-A INPUT -j DROP"}, 1, false, true, false, false, kDenyAllLogged},
    // Another program empties the table: iptables answers that each chain and line of the
    // firewall does not exist, the disable succeeds, and the enable builds a fresh start's.
    {"another program's iptables -F and -X", false, {kDenyAllLogged}, {}, nullptr,
     {{"--fw off", "Preferences set successfully"}, {"--fw on", "Preferences set successfully"}}, kEnabledRegular,
     kEnabledRegular, {}, {}, 0, false, false, false, false, kDenyAllLogged,
     "/usr/sbin/iptables -F && /usr/sbin/iptables -X", 0},
    // Nothing leads to the chain left: it filters nothing, and the peer gets through.
    {"deleting a group's chain", false, {kDenyAllLogged}, {"-X QTZ_Client_IN_[0-9]+"}, nullptr,
     {{"--fw off", "but removing some of its chains from iptables failed: nothing leads to them, so they filter "
                   "nothing"}},
     "Status: Disabled\nRules: Not filtering (the firewall is disabled, but removing some of its chains", kDisabled,
     {"-N QTZ_Client_IN_", "-P INPUT ACCEPT"}, {"-A INPUT "}, 1},
};

} // namespace

class TqdIptablesOutageSandboxTest : public TqdEnforcementTruthSandboxTest,
                                     public ::testing::WithParamInterface<Outage> {};

// While iptables fails, what the tool and status say is what the filter table does, nothing the
// firewall put in place is forgotten, and status never says in force while chains that are not
// in force may be linked; once it works, the health check leaves exactly what a fresh start on
// the same stores builds, and a port no rule allows is refused in regular mode.
TEST_P(TqdIptablesOutageSandboxTest, IsReportedAndEndsAsAFreshStart)
{
    const Outage& outage = GetParam();
    startPeerAndListener(20);
    auto settings = [](bool adaptive) {
        return std::map<std::string, std::string>{{"HealthCheckTimerInSecs", "1"},
                                                  {"IsRegularOrAdaptive", adaptive ? "1" : "0"}};
    };
    // What a fresh start builds in either mode from the stores every change here leaves, and
    // the one this change leaves when it stores a rule.
    static std::map<std::string, std::string> references;
    const auto referenceOf = [&](bool adaptive, const char* stored) {
        const std::string key = std::to_string(adaptive) + (stored ? stored : "");
        if (references.count(key) == 0) {
            start(true, settings(adaptive));
            waitForEnforcement();
            if (stored != nullptr) {
                EXPECT_EQ(tqctl(stored).code, 0) << stored;
                m_daemon->signal(SIGTERM);
                EXPECT_EQ(m_daemon->wait(kHangGuard), 0);
                startDaemon();
            }
            references[key] = normalized(waitForEnforcement());
            stopDaemon();
        }
        return references[key];
    };
    const std::string reference[2] = {referenceOf(false, nullptr), referenceOf(true, nullptr)};
    const std::string settledReference = referenceOf(outage.adaptive, outage.stored);

    start(true, settings(outage.adaptive));
    waitForEnforcement();
    for (const std::string& command : outage.before)
        ASSERT_EQ(tqctl(command).code, 0) << command;
    if (outage.ssh) {
        serve(100000, 22);
        ASSERT_TRUE(peerConnects(20000, 22)) << "SSH is refused while enforcing";
        startConnecting(1, 20000, 22);
    }
    const char* leftoversPass = "Netfilter chains or rules of it are left. Removing them again";
    const size_t passes = countOf(kDaemonLog, leftoversPass);
    const size_t retries = countOf(kDaemonLog, kRetry);
    const bool disabledMeanwhile = holds(outage.status, "Status: Disabled");
    const bool whole = outage.after != nullptr || outage.restart;
    if (outage.restart) {
        m_daemon->signal(SIGKILL);
        m_daemon.reset();
        failIptablesLines({});
        TestSupport::writeFile(kOutage, "");
        startDaemon();
    } else {
        failIptablesLines(outage.failing, {}, {}, 0, outage.after ? std::vector<std::string>{outage.after} : std::vector<std::string>{});
        if (outage.cutListings)
            TestSupport::writeFile(kCutListing, std::to_string(linesWith(iptablesListing(), "-N ") + 3) + "\n");
    }
    if (outage.foreign != nullptr) {
        ASSERT_EQ(shell(outage.foreign), 0) << outage.foreign;
    }
    for (const auto& [words, said] : outage.during) {
        ToolRun run{};
        run.code = shell(std::string("printf 'y\\n' | ") + TQ_TQCTL + " " + words, &run.output);
        EXPECT_EQ(run.code, outage.code) << words << ": " << run.output;
        EXPECT_TRUE(holds(run.output, said)) << words;
    }
    const std::string during = iptablesListing();
    EXPECT_TRUE(holds(fwStatus(), outage.status));
    for (const std::string& text : outage.listed)
        EXPECT_GT(linesWith(during, text), 0u) << text << " is missing:\n" << during;
    for (const std::string& text : outage.unlisted)
        EXPECT_EQ(linesWith(during, text), 0u) << text << " is there:\n" << during;
    if (outage.peer >= 0) {
        EXPECT_EQ(peerConnects(outage.peer ? 20000 : 3000), outage.peer == 1);
    }
    if (outage.queueRead) {
        EXPECT_TRUE(QueueRig::waitForQueue(1, true)) << "nobody reads queue 1 while an adaptive chain may lead from INPUT";
    }
    if (outage.ssh) {
        const char* pass = disabledMeanwhile ? leftoversPass : kRetry;
        EXPECT_TRUE(waitForText(kDaemonLog, pass, 2 * kHangGuard, (disabledMeanwhile ? passes : retries) + 3));
        EXPECT_TRUE(holds(fwStatus(), outage.status));
        const auto [reached, refused] = stopConnecting(1);
        EXPECT_EQ(refused, 0) << "SSH was refused " << refused << " times, let in " << reached << " times";
        EXPECT_GT(reached, 0);
    }
    if (whole) {
        // Passes of the health check during the outage forget nothing either: each refuses lines.
        ASSERT_EQ(::access(kOutage, F_OK), 0) << "the outage never began";
        const size_t refused = countOf(kRefused, "\n");
        EXPECT_TRUE(waitForText(kRefused, "\n", 2 * kHangGuard, refused + 10));
        EXPECT_TRUE(holds(fwStatus(), outage.status));
    }

    restoreIptables();
    const bool disabled = std::string(outage.settled) == kDisabled;
    const bool adaptive = std::string(outage.settled) == kEnabledAdaptive;
    expectSettlesTo(outage.settled, disabled ? kEmptyTable : outage.stored ? settledReference : reference[adaptive]);
    EXPECT_FALSE(holds(fwStatus(), "Not in force"));
    EXPECT_EQ(peerConnects(disabled || adaptive ? 20000 : 3000), disabled || adaptive)
        << "a port no rule allows, in " << outage.settled;
    if (outage.ssh) {
        EXPECT_TRUE(peerConnects(20000, 22));
    }
    if (outage.restart) {
        // The earlier run's adaptive generation is gone too: regular mode refuses the port.
        EXPECT_EQ(tqctl("--fw-mode regular").code, 0);
        expectSettlesTo(kEnabledRegular, reference[false]);
        EXPECT_FALSE(peerConnects(3000));
    }
    stopDaemon();
}

INSTANTIATE_TEST_SUITE_P(EachChange, TqdIptablesOutageSandboxTest, ::testing::ValuesIn(kOutages));

// A listing cut short that still exits 0 (only the policies, or cut inside the chain
// definitions) proves nothing gone: the rule delete removes the old generation whole, the port
// it allowed is refused at once, and a stop leaves nothing linked.
TEST_F(TqdEnforcementTruthSandboxTest, AListingCutShortDuringARuleDeleteForgetsNothing)
{
    startPeerAndListener(20);
    for (const char* lines : {"3", "5"}) {
        SCOPED_TRACE(std::string("the listing cut after ") + lines + " lines");
        start(true, {{"HealthCheckTimerInSecs", "1"}});
        const std::string fresh = normalized(waitForEnforcement());
        ASSERT_EQ(tqctl(std::string(kAllow8080) + " --index 1").code, 0);
        ASSERT_TRUE(peerConnects());
        failIptablesLines({});
        TestSupport::writeFile(kCutListing, std::string(lines) + "\n");
        std::string output;
        EXPECT_EQ(shell(std::string("printf 'y\\n' | ") + TQ_TQCTL + " --fw-rule-delete --index 1", &output), 0) << output;
        EXPECT_FALSE(peerConnects(3000)) << "the deleted rule still lets the peer in";
        EXPECT_FALSE(holds(fwStatus(), "Not in force"));
        restoreIptables();
        expectSettlesTo(kEnabledRegular, fresh);
        EXPECT_FALSE(peerConnects(3000));
        stopDaemon();
        expectNothingFilters(iptablesListing());
        serve(20);
    }
}

// A switch to regular mode whose push keeps failing leaves adaptive mode wholly in force, its
// learning included: a connection or datagram no rule allows is let in and learned, never let
// in unlearned by a reply nobody reads from the queue. Once iptables works, the health check
// links regular mode, queue 1 is let go and what no rule allows is refused.
TEST_F(TqdEnforcementTruthSandboxTest, AFailedSwitchToRegularKeepsAdaptiveModeWhollyInForceUntilRegularIsLinked)
{
    startPeerAndListener(10);
    serve(10, 8081);
    serve(10, 5300, "udp-echo");
    serve(10, 5301, "udp-echo");
    start(true, {{"HealthCheckTimerInSecs", "1"}, {"IsRegularOrAdaptive", "1"}, {"AggrTimeoutSecs", "1"}});
    waitForEnforcement();
    ASSERT_TRUE(QueueRig::waitForQueue(1, true));

    // The last step of every try in regular mode fails, for as long as this window lasts.
    failIptablesLines({"-P OUTPUT DROP"});
    const ToolRun set = tqctl("--fw-mode regular");
    EXPECT_EQ(set.code, 103) << set.output;
    EXPECT_TRUE(holds(set.output, "the rules applied before stay in force"));
    EXPECT_TRUE(peerConnects(3000)) << "adaptive mode lets a new connection in";
    EXPECT_TRUE(peerExchanges(5300, 3000)) << "the reply to a datagram adaptive mode let in was dropped";
    // Learned into the table: the in-place rebuild of the adaptive chains waits for the
    // driver, which the retries of the switch hold for seconds at a time under load.
    std::string rules;
    const auto learned = [&rules] {
        rules = tqctl("--fw-rules-list").output;
        return holds(rules, "Aggregated_Adaptive_TCP_Rule") && holds(rules, "Aggregated_Adaptive_UDP_Rule");
    };
    EXPECT_TRUE(waitUntil(learned, 4 * kHangGuard)) << "what adaptive mode let in was not learned: " << rules;
    EXPECT_TRUE(holds(fwStatus(), std::string("Status: Enabled\n") + kEarlierInForce + "\nMode: Regular\n"));

    restoreIptables();
    EXPECT_TRUE(statusComesToHold("Status: Enabled\nMode: Regular\n"));
    EXPECT_TRUE(QueueRig::waitForQueue(1, false)) << "queue 1 is still read in regular mode";
    EXPECT_FALSE(peerConnects(3000, 8081)) << "a port no rule allows is reachable in regular mode";
    EXPECT_FALSE(peerExchanges(5301, 3000)) << "a port no rule allows answers in regular mode";
    stopDaemon();
}

// A push that keeps failing is retried at every health-check period, and what the retries
// leave stays the size of two generations; the disable then removes everything.
TEST_F(TqdEnforcementTruthSandboxTest, TwentyFailedRetriesLeaveTwoGenerationsAtMost)
{
    startPeerAndListener(100000);
    start(true, {{"HealthCheckTimerInSecs", "1"}});
    const std::string enforcing = waitForEnforcement();
    const size_t chains = productChains(enforcing).size();
    const size_t stateSize = readFile(kStateFile).size();
    ASSERT_GT(stateSize, 0);

    // The policy is the last step a try can fail at: no try may let the peer in before it,
    // not even for a moment. Short connections from several loops land in every retry.
    constexpr int kLoops = 4;
    startConnecting(kLoops, 300);
    failIptablesLines({"-P INPUT DROP"});
    EXPECT_EQ(tqctl(kAllow8080).code, 103);
    const char* retry = "The last attempt to apply the rules failed. Hence enforcing the rules again";
    // Twenty periods of one second and twenty pushes of seconds each on a loaded machine: a
    // hang guard.
    ASSERT_TRUE(waitForText(kDaemonLog, retry, 20 * kHangGuard, 20));
    const auto [reached, refused] = stopConnecting(kLoops);
    EXPECT_EQ(reached, 0) << "the port only the failed rules allow was reached; " << refused << " refused";
    EXPECT_GT(refused, 20);
    const std::string listing = iptablesListing();
    EXPECT_LE(linesWith(listing, "-N QTZ_INPUT_"), 2u) << listing;
    EXPECT_LE(productChains(listing).size(), 2 * chains) << listing;
    EXPECT_LE(linesWith(listing, "-A INPUT "), 2 * linesWith(enforcing, "-A INPUT ")) << listing;
    EXPECT_LE(readFile(kStateFile).size(), 2 * stateSize);
    EXPECT_TRUE(holds(fwStatus(), kEarlierInForce));

    // No command after the fault is gone: the health check applies the rules.
    restoreIptables();
    EXPECT_FALSE(productChains(waitForEnforcement()).empty());
    EXPECT_FALSE(holds(fwStatus(), "Not in force"));

    failIptablesLines({"-P INPUT DROP"});
    EXPECT_EQ(tqctl("--fw-rule-add --name late --action allow --direction in --proto tcp --local-service 84").code, 103);
    restoreIptables();
    EXPECT_EQ(tqctl("--fw off").code, 0);
    expectNothingFilters(iptablesListing());
}

// A change stored with no update request after it, as a tool killed in between leaves it:
// status says the change is not applied, and the health check applies it unasked. Each row
// stores its change with the command the tool uses, on a daemon started afresh.
TEST_F(TqdEnforcementTruthSandboxTest, AChangeStoredWithoutItsUpdateRequestIsAppliedByTheHealthCheck)
{
    const StatefulFirewall::SFRule rule =
        model::portRule("allow 8080", StatefulFirewall::FW_ACTION_ALLOW, true, 8080);
    StatefulFirewall::SFTrustedGroupIP peer;
    peer.type = StatefulFirewall::FW_TRUSTED_ADDRESS_TYPE_SINGLE;
    peer.setStartIp4Address("10.0.0.7");
    const std::list<StatefulFirewall::SFTrustedGroupIP*> trusted{&peer};
    const struct {
        const char* what;
        std::vector<std::string> before; // tqctl commands applied before the change
        int command;
        std::string payload;
        const char* applied; // a line the change puts in iptables
    } changes[] = {
        {"a rule", {}, 100006, wideRequest(100006, rule)->outgoingData(), "--dports 8080 -j ACCEPT"},
        // The peer's address, trusted by a rule that allows the trusted networks.
        {"a trusted network",
         {"--fw-trusted-add --single 10.0.0.9",
          "--fw-rule-add --name \"allow trusted 8080\" --action allow --direction in --proto tcp "
          "--local-service 8080 --remote-trusted"},
         100019, wideRequest(100019, trusted)->outgoingData(),
         "-s 10.0.0.7/32 -p tcp -m state --state NEW -m multiport --dports 8080 -j ACCEPT"},
    };
    startPeerAndListener(1);
    for (const auto& change : changes) {
        SCOPED_TRACE(change.what);
        // A change waits one whole period for its update request before the health check
        // applies it: the hang guard as the period keeps the status below ahead of that. The
        // local subnet, the peer's too, is not trusted.
        start(true, {{"HealthCheckTimerInSecs", std::to_string(kHangGuard.count())},
                     {"ShouldTrustLocalSubnet", "0"}});
        waitForEnforcement();
        for (const std::string& command : change.before) {
            const ToolRun run = tqctl(command);
            ASSERT_EQ(run.code, 0) << command << ": " << run.output;
        }
        ASSERT_EQ(change.payload.find('\''), std::string::npos);
        std::string answer;
        ASSERT_EQ(zavcall("--dest 7000 --cmd " + std::to_string(change.command) + " --wide-raw '" + change.payload + "'",
                          &answer), 0) << answer;

        EXPECT_TRUE(holds(fwStatus(), "Status: Enabled\nRules: Not in force (the latest changes are not applied to "
                                      "iptables yet"));
        EXPECT_EQ(linesWith(iptablesListing(), change.applied), 0u);
        EXPECT_FALSE(peerConnects(3000));

        std::string status;
        const auto applied = [&] {
            status = tqctl("--fw status").output;
            return !holds(status, "Not in force") && linesWith(iptablesListing(), change.applied) == 1;
        };
        EXPECT_TRUE(waitUntil(applied, 4 * kHangGuard)) << status << iptablesListing();
        EXPECT_TRUE(peerConnects());
        EXPECT_EQ(countOf(kDaemonLog, "no push applied the changes"), 1u);
        stopDaemon();
        serve(1);
    }
}

namespace {

constexpr const char* kLockFile = "/run/Varnik/kyv/fw/tqd.lock";

// What a write or a replacement leaves on each of paths, as "path: kind owner inode size
// modification time" lines, seen without opening them: a FIFO in a file's place must never be
// opened.
std::string marks(const std::vector<std::string>& paths)
{
    std::string seen;
    for (const std::string& path : paths) {
        struct stat info {};
        seen += path + ": ";
        if (::lstat(path.c_str(), &info) != 0) {
            seen += "missing\n";
            continue;
        }
        seen += std::to_string(info.st_mode & S_IFMT) + " " + std::to_string(info.st_uid) + " " +
                std::to_string(info.st_ino) + " " + std::to_string(info.st_size) + " " +
                std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + "\n";
    }
    return seen;
}

// Whether path names a regular file of root's that another process holds a lockf lock on.
bool lockedRootFile(const char* path)
{
    struct stat info {};
    const int fd = ::lstat(path, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == 0
                       ? ::open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)
                       : -1;
    const bool locked = fd >= 0 && ::lockf(fd, F_TEST, 0) != 0 && (errno == EACCES || errno == EAGAIN);
    ::close(fd);
    return locked;
}

// Every write, creation, removal, rename or attribute change of the given files from the
// watch's start, as "name mask", read from an inotify watch on their folders.
class FileChangeWatch {
public:
    explicit FileChangeWatch(const std::vector<std::string>& paths) : m_fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK))
    {
        EXPECT_GE(m_fd, 0) << std::strerror(errno);
        for (const std::string& path : paths) {
            m_names.insert(path.substr(path.rfind('/') + 1));
            EXPECT_GE(::inotify_add_watch(m_fd, path.substr(0, path.rfind('/')).c_str(),
                                          IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVE),
                      0)
                << path;
        }
    }
    ~FileChangeWatch() { ::close(m_fd); }

    std::vector<std::string> changes()
    {
        std::vector<std::string> seen;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t got; (got = ::read(m_fd, buffer, sizeof(buffer))) > 0;)
            for (auto* event = buffer; event < buffer + got;) {
                const auto* each = reinterpret_cast<const inotify_event*>(event);
                if (each->len > 0 && m_names.count(each->name) > 0)
                    seen.push_back(std::string(each->name) + " " + std::to_string(each->mask));
                event += sizeof(inotify_event) + each->len;
            }
        return seen;
    }

private:
    const int m_fd;
    std::set<std::string> m_names;
};

} // namespace

// A second tqd started beside an enforcing one, with a management policy waiting in the agent
// spool and the settings saying disabled (a hand edit), leaves at once whatever became of the
// instance lock file: it never takes the policy, never cleans up, writes none of the first
// one's stores, settings or state, and the first one puts a locked lock file back.
TEST_F(TqdEnforcementTruthSandboxTest, ASecondDaemonLeavesAtOnceAndTouchesNothingOfTheFirst)
{
    const std::string lock = kLockFile, state = kStateFile, kept = "/run/tq-state.kept";
    const std::string socket = "the instance socket @Varnik/kyv/fw/tqd";
    const struct {
        const char* what;
        std::string change; // a shell command run while the first daemon is stopped
        std::string held;   // what the first daemon holds, says the second one
        std::string stateAt = kStateFile; // where the state file is meanwhile
        std::string undo = "true";        // a shell command that puts it back
    } rows[] = {
        {"the lock file intact", "", lock},
        {"the lock file removed", "rm " + lock, socket},
        {"a FIFO in its place", "mkfifo " + lock + ".new && mv -f " + lock + ".new " + lock, socket},
        {"another owner's file in its place",
         "touch " + lock + ".new && chown 65534:65534 " + lock + ".new && mv -f " + lock + ".new " + lock, socket},
        {"its folder removed", "mv " + state + " " + kept + " && rm -r /run/Varnik/kyv/fw", socket, kept,
         "mv " + kept + " " + state},
    };
    startPeerAndListener(2);
    start(true);
    const std::string listing = waitForEnforcement();
    ASSERT_FALSE(peerConnects(3000)) << "no rule allows 8080";
    setSetting("IsFirewallEnabled", "0");
    const std::string policy = std::string(kSpool) + "/policy.d/001.txt";
    size_t noticed = 0;
    for (size_t row = 0; row < std::size(rows); ++row) {
        const auto& each = rows[row];
        SCOPED_TRACE(each.what);
        // Stopped, the first daemon neither puts the lock file back nor lets its agent take the
        // policy: only a second one could.
        m_daemon->signal(SIGSTOP);
        if (!each.change.empty()) {
            ASSERT_EQ(shell(each.change), 0) << each.change;
            ++noticed;
        }
        const std::vector<std::string> files{"/var/Varnik/kyv/fw/rule-store.data",
                                             "/var/Varnik/kyv/fw/trustedip-store.data", "/var/Varnik/kyv/fw/prefs.xml",
                                             "/var/Varnik/kyv/fw/prefs.xml.last-good", each.stateAt};
        // The watch sees every write of the files, so their marks need no look at the content.
        const std::string before = marks(files), lockBefore = marks({lock});
        FileChangeWatch watch(files);
        dropPolicy("001.txt", "software HVRT_FW_1060QUIL\n"
                              "object HVRT_FW_META_FW|FW_StatusMode|FW_StatusMode|Options A\n"
                              "section 8 FWStatus=1\n");
        const std::string output = m_dir.file("second" + std::to_string(row) + ".out");
        const int status = Daemon(output).wait(kHangGuard);
        const std::vector<std::string> changes = watch.changes();
        const bool policyWaits = ::access(policy.c_str(), F_OK) == 0;
        ::unlink(policy.c_str());
        EXPECT_EQ(marks({lock}), lockBefore) << "the second daemon changed the lock file's path";
        m_daemon->signal(SIGCONT);

        EXPECT_EQ(status, 1);
        EXPECT_EQ(readFile(output), "Another tqd is running (it holds " + each.held +
                                        "); exiting without touching Iptables, the stores or the settings\n");
        EXPECT_EQ(countOf(kDaemonLog, "Another tqd is running"), row + 1);
        EXPECT_TRUE(policyWaits) << "the second daemon's agent took the policy";
        EXPECT_EQ(changes, std::vector<std::string>{});
        EXPECT_EQ(marks(files), before);
        EXPECT_EQ(iptablesListing(), listing);
        // The first daemon saw the path change and put a locked file of its own back.
        const char* putBack = "was removed or replaced; this tqd puts a locked file of its own back";
        EXPECT_TRUE(waitForText(kDaemonLog, putBack, kHangGuard, noticed));
        EXPECT_TRUE(waitUntil([] { return lockedRootFile(kLockFile); }, kHangGuard)) << marks({lock});
        EXPECT_EQ(countOf(kDaemonLog, putBack), noticed);
        ASSERT_EQ(shell(each.undo), 0) << each.undo;
        EXPECT_FALSE(peerConnects(3000)) << "a port no rule allows is reachable";
    }
    setSetting("IsFirewallEnabled", "1");
    const std::string first = fwStatus();
    EXPECT_EQ(first.rfind("Status: Enabled\nMode: ", 0), 0u) << first;
}

// A tqd whose lock file is replaced by one another process holds, still starting up (waiting up
// to 30 s for a slow agent, before it makes its stores) or enforcing, leaves at once with
// status 1 and says so, without its stop path: the filter table, the stores, the settings and
// the state file stay as they are.
TEST_F(TqdEnforcementTruthSandboxTest, ADaemonWhoseLockFileAnotherProcessHoldsLeavesAtOnceTouchingNothing)
{
    const std::string other = std::string(kLockFile) + ".other";
    const std::vector<std::string> files{"/var/Varnik/kyv/fw/rule-store.data", "/var/Varnik/kyv/fw/trustedip-store.data",
                                         "/var/Varnik/kyv/fw/prefs.xml", "/var/Varnik/kyv/fw/prefs.xml.last-good",
                                         kStateFile};
    for (const bool enforcing : {false, true}) {
        SCOPED_TRACE(enforcing ? "enforcing" : "starting up");
        if (enforcing) {
            start(true);
            waitForEnforcement();
        } else {
            prepareManagedProduct(true, kSiteAddress);
            writeFile(std::string(kSpool) + "/agent.conf", "managed_mode=1\nregister_delay_ms=60000\n");
            m_broker = std::make_unique<Broker>(std::vector<std::string>{}, brokerOut());
            ASSERT_TRUE(m_broker->started());
            m_daemon = std::make_unique<Daemon>(daemonOut());
            ASSERT_TRUE(waitForText(kDaemonLog, "Message Bus registration is still running", kHangGuard));
        }
        const std::string listing = iptablesListing(), before = marks(files);
        FileChangeWatch watch(files);
        // Locked as the daemon locks its own, and renamed over it: the path never names nothing.
        ::unlink(other.c_str());
        const int held = ::open(other.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &whole), 0) << std::strerror(errno);
        ASSERT_EQ(::rename(other.c_str(), kLockFile), 0) << std::strerror(errno);

        EXPECT_EQ(m_daemon->wait(kHangGuard), 1);
        EXPECT_EQ(watch.changes(), std::vector<std::string>{});
        EXPECT_EQ(marks(files), before);
        EXPECT_EQ(iptablesListing(), listing);
        EXPECT_EQ(countOf(daemonOut(), std::string("Another tqd is running (it holds ") + kLockFile +
                                           ", put in place of this tqd's); exiting without touching Iptables"),
                  enforcing ? 2u : 1u); // the output file is appended to
        EXPECT_EQ(countOf(kDaemonLog, "another process holds the one in its place"), 1u);
        EXPECT_TRUE(std::regex_search(readFile(kDaemonLog), std::regex(" ERROR \\[[0-9:]+\\] FWMain: The instance lock file "
                                                                       "[^ ]+ was removed or replaced, and another")));
        ::close(held);
        m_daemon.reset();
        m_broker.reset();
    }
}
