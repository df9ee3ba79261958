// tqctl as root in the sandbox against the real platform service and tqd when the daemon cannot
// keep a change (its store folder is read-only), when it is registered but answers nothing
// (stopped), when many tools queue at once behind pushes that take seconds, when the platform
// service dies between an acknowledged add and its update, and when another tqctl is stopped
// while it holds the turn: what the tool prints and exits with, and that the table, iptables and
// a restart agree with what it said.

#include "TqctlSandboxRig.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <vector>

using namespace std::chrono_literals;
using namespace TqdRig;
using TqctlRig::ToolRun;
using TqctlRig::TqctlSandboxFixture;

namespace {

const char* const kClientGroup = "7eece6a4-5ac2-9dfb-6374-477569447e00";
const std::string kStoreRefused =
    "The change was not made: the firewall could not write it to its store\n";
const std::string kRuleNotStored =
    "The rule was not added: the firewall could not store it (its rule store could not be "
    "written, or the rule would make it larger than the firewall can read back)\n";
const std::string kSettingRefused =
    "The setting was not changed: the firewall could not write it to its settings file\n";
const std::string kUnconfirmed =
    "The change was made and stored, but its enforcement could not be confirmed\n";
const char* const kHung = "did not reply in time";
const char* const kTurnLock = "/run/tqctl.lock";

// The tool's standard input closed: a question it asks finds no answer.
ToolRun tqctl(const std::string& words)
{
    return TqctlRig::tqctl(words + " <&-");
}

// The client group's rules as "name enforced=true|false", in the group's order.
std::vector<std::string> clientRules()
{
    std::istringstream in(tqctl("--fw-rules-list --xml").output);
    boost::property_tree::ptree document;
    boost::property_tree::read_xml(in, document);
    std::vector<std::string> rows;
    for (const auto& [tag, group] : document.get_child("groups")) {
        if (tag != "group" || group.get("<xmlattr>.guid", "") != kClientGroup)
            continue;
        for (const auto& [ruleTag, rule] : group)
            if (ruleTag == "rule")
                rows.push_back(rule.get("ruleName", "") + " enforced=" +
                               rule.get("<xmlattr>.enforcementStatus", ""));
    }
    return rows;
}

// The words of an add of an allow rule for the TCP port, inbound.
std::vector<std::string> addRule(const std::string& name, int port)
{
    return {"--fw-rule-add", "--name", name, "--action", "allow", "--direction", "in",
            "--proto", "tcp", "--local-service", std::to_string(port)};
}

// The words as one line for the shell, each quoted.
std::string words(const std::vector<std::string>& list)
{
    std::string line;
    for (const std::string& word : list)
        line += "'" + word + "' ";
    return line;
}

size_t indexOf(const std::vector<std::string>& rows, const std::string& name)
{
    for (size_t n = 0; n < rows.size(); ++n)
        if (rows[n].rfind(name + " enforced=", 0) == 0)
            return n + 1;
    ADD_FAILURE() << name << " is not listed";
    return 0;
}

class TqctlFailureSandboxTest : public TqctlSandboxFixture {
protected:
    void TearDown() override
    {
        // A failed assertion may leave the mount, a wrapped iptables, a held push or a stopped
        // daemon behind.
        shell("umount /var/Varnik/kyv/fw 2>/dev/null");
        shell("rm -f /run/push.hold");
        TqctlRig::unwrapIptables();
        if (m_daemon)
            m_daemon->signal(SIGCONT);
        TqdSandboxTest::TearDown();
    }
};

} // namespace

TEST_F(TqctlFailureSandboxTest, ChangesTheStoreRefusesAreNotAppliedAndARestartShowsTheSameTable)
{
    startAll();
    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    ToolRun run = tqctl("--fw-rule-add --name \"web 80\" --action allow --direction in "
                        "--proto tcp --local-service 80");
    ASSERT_EQ(run.code, 0) << run.output;
    ASSERT_EQ(tqctl("--fw-trusted-add --single 10.1.1.1").code, 0);
    const std::vector<std::string> rules = clientRules();
    const std::string trusted = tqctl("--fw-trusted-list").output;
    const std::string status = tqctl("--fw status").output;
    const std::string listing = iptablesListing();
    ASSERT_EQ(linesWith(listing, "--dports 80 -j ACCEPT"), 1u) << listing;

    ASSERT_EQ(shell("mount --bind -o ro /var/Varnik/kyv/fw /var/Varnik/kyv/fw"), 0);
    const struct {
        std::string words;
        std::string output;
    } refused[] = {
        {"--fw-rule-add --name \"port 4000\" --action allow --direction in --proto tcp "
         "--local-service 4000",
         kRuleNotStored},
        {"--fw-rule-delete --index " + std::to_string(indexOf(rules, "web 80")) + " --force",
         "Deleting firewall rule: web 80\n" + kStoreRefused},
        {"--fw-trusted-add --single 10.2.2.2", kStoreRefused},
        {"--fw-trusted-delete --index 1 --force",
         "Deleting Trusted Network: 10.1.1.1\n" + kStoreRefused},
        // The settings file is in the same folder.
        {"--fw-inspect-ftp-traffic on", kSettingRefused},
        // The fresh product trusts the local subnet.
        {"--fw-trusted-add --include-local off", kSettingRefused},
        {"--fw-mode adaptive", kSettingRefused},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.words);
        run = tqctl(c.words);
        EXPECT_EQ(run.code, 103) << run.output;
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(clientRules(), rules);
        EXPECT_EQ(tqctl("--fw-trusted-list").output, trusted);
        EXPECT_EQ(tqctl("--fw status").output, status);
        EXPECT_EQ(iptablesListing(), listing);
    }
    ASSERT_EQ(shell("umount /var/Varnik/kyv/fw"), 0);

    // What a restart loads from the stores is what the tool showed.
    m_daemon->signal(SIGTERM);
    ASSERT_EQ(m_daemon->wait(20s), 0);
    startDaemon();
    const std::string restarted = waitForEnforcement();
    EXPECT_EQ(clientRules(), rules);
    EXPECT_EQ(tqctl("--fw-trusted-list").output, trusted);
    EXPECT_EQ(linesWith(restarted, "--dports 80 -j ACCEPT"), 1u) << restarted;
    EXPECT_EQ(linesWith(restarted, "--dports 4000 "), 0u) << restarted;

    // With the folder writable again the same add is made once.
    run = tqctl(refused[0].words);
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.output, "Rule was successfully created and enforced\n");
    const std::vector<std::string> now = clientRules();
    EXPECT_EQ(std::count(now.begin(), now.end(), "port 4000 enforced=true"), 1) << now.size();
    EXPECT_EQ(linesWith(iptablesListing(), "--dports 4000 -j ACCEPT"), 1u);
}

TEST_F(TqctlFailureSandboxTest, ManyToolsAtOnceBehindSlowPushesGetTheirRealAnswers)
{
    startAll();
    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    for (int n = 0; n < 3; ++n) {
        ASSERT_EQ(tqctl(words(addRule("base " + std::to_string(n), 5000 + n))).code, 0);
        ASSERT_EQ(tqctl("--fw-trusted-add --single 10.8.0." + std::to_string(n + 1)).code, 0);
    }
    // The deletes pick the first base rule, after the product's own rules.
    const std::string firstBase = std::to_string(indexOf(clientRules(), "base 0"));
    // Every iptables call takes a little longer, so each push takes seconds and the tools'
    // requests queue behind one another far beyond the reply bound.
    TqctlRig::wrapIptables("sleep 0.02");

    enum Kind { RuleAdd, RuleDelete, TrustedAdd, TrustedDelete, Status };
    struct Tool {
        Kind kind;
        std::vector<std::string> words;
        std::unique_ptr<TqctlRig::BackgroundTool> process;
        ToolRun run;
    };
    std::vector<Tool> tools;
    for (int n = 0; n < 5; ++n)
        tools.push_back({RuleAdd, addRule("load " + std::to_string(n), 6000 + n), nullptr, {}});
    for (int n = 0; n < 2; ++n)
        tools.push_back({TrustedAdd, {"--fw-trusted-add", "--single", "10.9.0." + std::to_string(n + 1)},
                         nullptr, {}});
    for (int n = 0; n < 2; ++n)
        tools.push_back({RuleDelete, {"--fw-rule-delete", "--index", firstBase, "--force"}, nullptr, {}});
    tools.push_back({TrustedDelete, {"--fw-trusted-delete", "--index", "1", "--force"}, nullptr, {}});
    for (int n = 0; n < 2; ++n)
        tools.push_back({Status, {"--fw", "status"}, nullptr, {}});
    for (size_t n = 0; n < tools.size(); ++n)
        tools[n].process = std::make_unique<TqctlRig::BackgroundTool>(
            tools[n].words, m_dir.file("tool" + std::to_string(n) + ".out"));
    // A hang guard only: the queue of pushes takes a minute or more on a loaded machine.
    for (Tool& tool : tools)
        tool.run = tool.process->finish(std::chrono::minutes(10));
    TqctlRig::unwrapIptables();

    // What each tool said, checked against the table, the trusted list and iptables afterwards.
    const std::vector<std::string> after = clientRules();
    const std::string trusted = tqctl("--fw-trusted-list").output;
    const std::string listing = iptablesListing();
    std::vector<std::string> gone;
    for (const Tool& tool : tools) {
        SCOPED_TRACE(words(tool.words) + "said: " + tool.run.output);
        EXPECT_EQ(tool.run.output.find(kHung), std::string::npos);
        // A tool that waits for its turn says so; every turn still comes within its bound.
        const std::string said = std::regex_replace(
            tool.run.output, std::regex("Waiting for the turn held by another tqctl: .*\n"), "");
        switch (tool.kind) {
        case RuleAdd:
            EXPECT_EQ(tool.run.code, 0);
            EXPECT_EQ(said, "Rule was successfully created and enforced\n");
            EXPECT_EQ(std::count(after.begin(), after.end(), tool.words[2] + " enforced=true"), 1);
            EXPECT_EQ(linesWith(listing, "--dports " + tool.words.back() + " -j ACCEPT"), 1u);
            break;
        case TrustedAdd:
            EXPECT_EQ(tool.run.code, 0);
            EXPECT_EQ(said, "Trusted Network was successfully added\n");
            EXPECT_NE(trusted.find(tool.words[2] + " "), std::string::npos);
            break;
        case RuleDelete:
        case TrustedDelete: {
            // Two tools may pick the same first entry; the one that comes second finds it gone.
            const bool rule = tool.kind == RuleDelete;
            const std::string head = rule ? "Deleting firewall rule: " : "Deleting Trusted Network: ";
            const std::string& out = said;
            ASSERT_EQ(out.rfind(head, 0), 0u);
            const std::string entry = out.substr(head.size(), out.find('\n') - head.size());
            const std::string rest = out.substr(out.find('\n') + 1);
            EXPECT_EQ(entry.rfind(rule ? "base " : "10.8.0.", 0), 0u);
            if (tool.run.code == 0)
                EXPECT_EQ(rest, rule ? "Successfully deleted rule\n" : "Trusted Network was successfully deleted\n");
            else
                EXPECT_EQ(rest, rule ? "The rule was not deleted: it no longer exists\n"
                                     : "The trusted network was not deleted: it no longer exists\n");
            EXPECT_EQ(tool.run.code == 0 ? 0 : 103, tool.run.code);
            if (tool.run.code == 0)
                gone.push_back(entry);
            break;
        }
        case Status:
            EXPECT_EQ(tool.run.code, 0);
            EXPECT_NE(said.find("Status: Enabled\n"), std::string::npos);
            break;
        }
    }
    // Every entry that went was reported gone by exactly one tool; every other one stayed.
    std::sort(gone.begin(), gone.end());
    EXPECT_EQ(std::adjacent_find(gone.begin(), gone.end()), gone.end());
    for (int n = 0; n < 3; ++n) {
        const std::string base = "base " + std::to_string(n);
        const bool deleted = std::find(gone.begin(), gone.end(), base) != gone.end();
        EXPECT_EQ(std::count(after.begin(), after.end(), base + " enforced=true"), deleted ? 0 : 1) << base;
        EXPECT_EQ(linesWith(listing, "--dports " + std::to_string(5000 + n) + " -j ACCEPT"),
                  deleted ? 0u : 1u)
            << base;
        const std::string address = "10.8.0." + std::to_string(n + 1);
        EXPECT_EQ(trusted.find(address + " ") == std::string::npos,
                  std::find(gone.begin(), gone.end(), address) != gone.end())
            << address;
    }
}

TEST_F(TqctlFailureSandboxTest, AnAddAcknowledgedBeforeTheServiceDiesIsReportedAsMade)
{
    startAll();
    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    // The push of the add's update stops at its first iptables call until the test lets it go.
    ASSERT_EQ(shell("touch /run/push.hold && rm -f /run/push.held"), 0);
    TqctlRig::wrapIptables("touch /run/push.held\n"
                           "while [ -e /run/push.hold ]; do sleep 0.05; done");
    TqctlRig::BackgroundTool add(addRule("held", 7000), m_dir.file("add.out"));
    ASSERT_TRUE(TqctlRig::waitForFile("/run/push.held", TestSupport::kHangGuard));
    m_broker->signal(SIGKILL);
    m_broker->wait(TestSupport::kHangGuard);
    ASSERT_EQ(shell("rm -f /run/push.hold"), 0);
    const ToolRun run = add.finish(TestSupport::kHangGuard);
    TqctlRig::unwrapIptables();
    EXPECT_NE(run.code, 0) << run.output;
    EXPECT_EQ(run.output.rfind(kUnconfirmed, 0), 0u) << run.output;

    // The rule is in the table once and in force, as the tool said it may be.
    startService();
    std::string answer;
    TqdRig::waitForVersionAnswer(std::chrono::seconds(60), &answer);
    const std::vector<std::string> now = clientRules();
    EXPECT_EQ(std::count(now.begin(), now.end(), "held enforced=true"), 1) << now.size();
    EXPECT_EQ(linesWith(iptablesListing(), "--dports 7000 -j ACCEPT"), 1u);
}

// A stopped daemon, then a stopped tqctl that holds the turn: each holds up a tool only until the
// reply bound runs out, and tools work again once it goes on.
TEST_F(TqctlFailureSandboxTest, AStoppedDaemonOrTurnHolderHoldsUpToolsOnlyUntilTheBoundRunsOut)
{
    startAll();
    m_daemon->signal(SIGSTOP);
    const ToolRun run = tqctl("--fw status");
    m_daemon->signal(SIGCONT);
    EXPECT_EQ(run.code, 104) << run.output;
    EXPECT_EQ(run.output, "FMP communication error\n"
                          "The firewall daemon did not reply in time; it may be stopped or hung\n");
    // The tool's bound is 15 s; the upper limit only guards against waiting without end, on a
    // machine of any load.
    EXPECT_GE(run.took, 14s);
    EXPECT_LT(run.took, 300s);
    // Running again, the daemon answers as before.
    const ToolRun after = tqctl("--fw status");
    EXPECT_EQ(after.code, 0) << after.output;

    ASSERT_EQ(tqctl("--fw on").code, 0);
    waitForEnforcement();
    // The holder takes the turn and sends while the daemon cannot answer; stopped holding the
    // turn, it does not take the answer the daemon then gives.
    m_daemon->signal(SIGSTOP);
    TqctlRig::BackgroundTool holder({"--fw", "status"}, m_dir.file("holder.out"));
    ASSERT_TRUE(waitForText(kTurnLock, "pid=", TestSupport::kHangGuard));
    holder.signal(SIGSTOP);
    m_daemon->signal(SIGCONT);

    TqctlRig::BackgroundTool status({"--fw", "status"}, m_dir.file("status.out"));
    TqctlRig::BackgroundTool adder(addRule("queued", 7100), m_dir.file("add.out"));
    // Hang guards only: each gives up a margin past the holder's 15 s reply bound.
    const ToolRun waited[] = {status.finish(std::chrono::minutes(3)),
                              adder.finish(std::chrono::minutes(3))};
    // Each names the holder while it waits, then says it gave up; neither blames the daemon.
    const std::string holderText = "process " + std::to_string(holder.pid()) + " \\([^\n]*\\)\n";
    const std::regex said("Waiting for the turn held by another tqctl: " + holderText +
                          "FMP communication error\n"
                          "Another tqctl held the turn beyond its reply bound \\(it may be "
                          "stopped\\), so this request was not sent: " + holderText);
    for (const ToolRun& waiter : waited) {
        EXPECT_EQ(waiter.code, 104) << waiter.output;
        EXPECT_TRUE(std::regex_match(waiter.output, said)) << waiter.output;
    }

    // Once the holder goes on, tools work again; the add that gave up was not made.
    holder.signal(SIGCONT);
    holder.finish(TestSupport::kHangGuard);
    EXPECT_EQ(tqctl("--fw status").code, 0);
    const ToolRun made = tqctl(words(addRule("queued", 7100)));
    EXPECT_EQ(made.code, 0) << made.output;
    const std::vector<std::string> rules = clientRules();
    EXPECT_EQ(std::count(rules.begin(), rules.end(), "queued enforced=true"), 1);
    EXPECT_EQ(made.output, "Rule was successfully created and enforced\n");
}
