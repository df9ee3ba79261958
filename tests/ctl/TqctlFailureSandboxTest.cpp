// tqctl as root in the sandbox against the real platform service and tqd when the daemon cannot
// keep a change (its store folder is read-only) and when it is registered but answers nothing
// (stopped): what the tool prints and exits with, and that the table, iptables and a restart
// agree with what it said.

#include "TqctlSandboxRig.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
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
        // A failed assertion may leave the mount or a stopped daemon behind.
        shell("umount /var/Varnik/kyv/fw 2>/dev/null");
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
    const std::string listing = iptablesListing();
    ASSERT_EQ(linesWith(listing, "--dports 80 -j ACCEPT"), 1u) << listing;

    ASSERT_EQ(shell("mount --bind -o ro /var/Varnik/kyv/fw /var/Varnik/kyv/fw"), 0);
    const struct {
        std::string words;
        std::string output;
    } refused[] = {
        {"--fw-rule-add --name \"port 4000\" --action allow --direction in --proto tcp "
         "--local-service 4000",
         kStoreRefused},
        {"--fw-rule-delete --index " + std::to_string(indexOf(rules, "web 80")) + " --force",
         "Deleting firewall rule: web 80\n" + kStoreRefused},
        {"--fw-trusted-add --single 10.2.2.2", kStoreRefused},
        {"--fw-trusted-delete --index 1 --force",
         "Deleting Trusted Network: 10.1.1.1\n" + kStoreRefused},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.words);
        run = tqctl(c.words);
        EXPECT_EQ(run.code, 103) << run.output;
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(clientRules(), rules);
        EXPECT_EQ(tqctl("--fw-trusted-list").output, trusted);
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

TEST_F(TqctlFailureSandboxTest, AStoppedDaemonGives104WithinTheBound)
{
    startAll();
    m_daemon->signal(SIGSTOP);
    const ToolRun run = tqctl("--fw status");
    m_daemon->signal(SIGCONT);
    EXPECT_EQ(run.code, 104) << run.output;
    EXPECT_EQ(run.output, "FMP communication error\n"
                          "The firewall daemon did not reply in time; it may be stopped or hung\n");
    // The tool's bound is 15 s; the upper limit only guards against waiting without end.
    EXPECT_GE(run.took, 14s);
    EXPECT_LT(run.took, 60s);

    // Running again, the daemon answers as before.
    const ToolRun after = tqctl("--fw status");
    EXPECT_EQ(after.code, 0) << after.output;
}
