// The bridge's removal of what an earlier run left, driving the real iptables driver over a
// recording runner over a small filter table: the ACCEPT policies come before any removal, a
// removal that could not restore them removes nothing, and whatever is left is reported, also
// while iptables fails as a whole, until a later pass removes it. Nothing real runs.

#include "SFKextInterface.h"

#include "CapturingEventAdaptor.h"
#include "FakeConfigController.h"
#include "FakeFilterTable.h"
#include "FakeNwIFManager.h"
#include "RecordingHelperUtils.h"
#include "RecordingLogger.h"
#include "SFIptables.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace StatefulFirewall;
using namespace TestSupport;

TEST(SFKextInterfaceLeftoversTest, TheAcceptPoliciesComeFirstAndWhatIsLeftIsReportedUntilRemoved)
{
    // The iptables lines refused (those that start with the text; "" refuses all but the
    // policies: an outage that starts after them) while the leftovers are removed, what is
    // then left, and what a second pass says while every line is refused.
    const struct {
        const char* refused;
        int left;
        int leftInOutage;
        bool emptied = false; // another program emptied the table (iptables -F; iptables -X)
    } cases[] = {
        {nullptr, SF_RULES_IN_FORCE, SF_RULES_IN_FORCE},
        {"-P INPUT ACCEPT", SF_RULES_DROP_POLICIES_LEFT, SF_RULES_DROP_POLICIES_LEFT},
        {"-P OUTPUT ACCEPT", SF_RULES_DROP_POLICIES_LEFT, SF_RULES_DROP_POLICIES_LEFT},
        {"-D INPUT -j ACCEPT", SF_RULES_CHAINS_LEFT, SF_RULES_CHAINS_LEFT}, // a line placed into INPUT
        {"-D INPUT -j DROP", SF_RULES_DROP_LINE_LEFT, SF_RULES_DROP_LINE_LEFT}, // the catch-all: its chains stay
        {"-D INPUT -j LOG", SF_RULES_MARKING_LINES_LEFT, SF_RULES_MARKING_LINES_LEFT}, // it only logs
        {"-D INPUT -j QTZ_INPUT", SF_RULES_CHAINS_LEFT, SF_RULES_CHAINS_LEFT}, // a top chain INPUT jumps to
        // A top chain INPUT no longer jumps to, which iptables still lists; its one jump's
        // deletion ran, so also in an outage nothing leads to it.
        {"-X QTZ_INPUT", SF_RULES_UNLINKED_CHAINS_LEFT, SF_RULES_UNLINKED_CHAINS_LEFT},
        // The policies are ACCEPT: failing to set them again says nothing of them.
        {"", SF_RULES_DROP_LINE_LEFT, SF_RULES_DROP_LINE_LEFT},
        // iptables answers that each chain and line does not exist: nothing is left.
        {nullptr, SF_RULES_IN_FORCE, SF_RULES_IN_FORCE, true},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.refused ? each.refused : "nothing refused");
        RecordingLogger logger;
        FakeConfigController config;
        FakeNwIFManager monitor;
        CapturingEventAdaptor events;
        TempDir dir;
        auto runner = std::make_shared<RecordingHelperUtils>();
        FakeFilterTable table;
        table.attach(*runner);
        auto driver = [&](IConfigController& settings) {
            return std::make_unique<SFIptables>(logger, settings, runner, monitor,
                                                dir.file("netfilter.state"), dir.file("ftp"));
        };
        {
            // A run killed while enforcing: its top chains, its built-in lines, DROP policies.
            auto killed = driver(config);
            config.setUniqueId("5");
            killed->addVarnikInputOutputChains(config.getUniqueId());
            killed->addRedirectionRulesToInputOutputChains();
            killed->addRelEstRuleToNetfilter(false);
            const auto log = killed->getIptablesRuleLogCmdSuffix(true, false, "QTZ_I_A_deny", "QTZ_Client_IN", true);
            ASSERT_TRUE(table.run("-j LOG --log-level 4 --log-prefix QTZ_I_A_deny -A INPUT") && log.back() == "INPUT");
            const auto drop = killed->getIptablesRuleActionCmdSuffix(true, false, "DROP", "QTZ_Client_IN", true);
            ASSERT_TRUE(table.run("-j DROP -A INPUT") && drop.back() == "INPUT");
            killed->setNetfilterPolicyToAccept(false);
        }
        if (each.emptied) {
            table.chains.clear();
            table.lines.clear();
        }
        FakeConfigController restarted;
        // The health-check thread a failed removal starts stays asleep: this test is its pass.
        restarted.setHealthCheckTimer(3600);
        SFKextInterface bridge(logger, restarted, monitor, events, driver(restarted));
        runner->clear();
        table.refuse = [&each](const std::string& line) {
            return each.refused && line.rfind(each.refused, 0) == 0 && (*each.refused || line.rfind("-P ", 0) != 0);
        };

        // While the catch-all DROP line stands, so does the jump in front of it.
        const auto dropFronted = [&table] {
            return table.lines.count("INPUT -j DROP") == 0 || table.lines.count("INPUT -j QTZ_INPUT_5") != 0;
        };
        EXPECT_EQ(bridge.removeLeftovers(true), each.left);
        EXPECT_EQ(bridge.rulesInForceState(), each.left);
        EXPECT_TRUE(dropFronted()) << table.listing();
        const std::vector<std::string> lines = runner->lines();
        const std::string listed = ::testing::PrintToString(lines);
        auto at = [&lines](auto it) { return std::distance(lines.begin(), it); };
        const auto firstRemoval = at(std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind("-D ", 0) == 0 || line.rfind("-F ", 0) == 0 || line.rfind("-X ", 0) == 0;
        }));
        if (each.left == SF_RULES_DROP_POLICIES_LEFT) {
            EXPECT_EQ(firstRemoval, at(lines.end())) << "removed while a policy stays DROP: " << listed;
        } else {
            ASSERT_LT(firstRemoval, at(lines.end())) << listed;
            for (const char* accept : {"-P INPUT ACCEPT", "-P OUTPUT ACCEPT"})
                EXPECT_LT(at(std::find(lines.begin(), lines.end(), accept)), firstRemoval)
                    << accept << " is not run before the first removal: " << listed;
        }
        EXPECT_EQ(logger.count(2), each.left == SF_RULES_IN_FORCE ? 0u : 1u)
            << "what is left is logged as an error";

        // While iptables fails as a whole, the next pass forgets nothing and says what may stand.
        table.outage = true;
        EXPECT_EQ(bridge.removeLeftovers(true), each.leftInOutage);
        EXPECT_EQ(bridge.rulesInForceState(), each.leftInOutage);
        EXPECT_TRUE(dropFronted()) << table.listing();

        // Once iptables works, the next pass (the health check's while disabled) removes the
        // rest, and then nothing is known to be left.
        table.outage = false;
        table.refuse = nullptr;
        EXPECT_EQ(bridge.removeLeftovers(true), SF_RULES_IN_FORCE);
        EXPECT_EQ(bridge.rulesInForceState(), SF_RULES_IN_FORCE);
        EXPECT_EQ(table.listing(), "");
        runner->clear();
        EXPECT_EQ(bridge.removeLeftovers(true), SF_RULES_IN_FORCE);
        EXPECT_TRUE(runner->lines().empty()) << ::testing::PrintToString(runner->lines());
    }
}
