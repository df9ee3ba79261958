// The bridge's removal of what an earlier run left, driving the real iptables driver over a
// recording runner: the ACCEPT policies come before any removal, and a removal that could not
// restore them removes nothing and reports it. Nothing real runs.

#include "SFKextInterface.h"

#include "CapturingEventAdaptor.h"
#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "RecordingHelperUtils.h"
#include "RecordingLogger.h"
#include "SFIptables.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace StatefulFirewall;
using namespace TestSupport;

namespace {

bool isRemoval(const std::string& line)
{
    return line.rfind("-D ", 0) == 0 || line.rfind("-F ", 0) == 0 || line.rfind("-X ", 0) == 0;
}

} // namespace

TEST(SFKextInterfaceLeftoversTest, TheAcceptPoliciesComeBeforeAnyRemovalAndAFailureRemovesNothing)
{
    const struct {
        const char* name;
        bool leftovers;
        const char* failing; // the command line refused, empty for none
        bool restored;
    } cases[] = {
        {"nothing recorded", false, "", true},
        {"all commands succeed", true, "", true},
        {"INPUT stays DROP", true, "-P INPUT ACCEPT", false},
        {"OUTPUT stays DROP", true, "-P OUTPUT ACCEPT", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingLogger logger;
        FakeConfigController config;
        FakeNwIFManager monitor;
        CapturingEventAdaptor events;
        TempDir dir;
        const std::string stateFile = dir.file("netfilter.state");
        auto runner = std::make_shared<RecordingHelperUtils>();
        if (c.leftovers) {
            // A run killed while enforcing: its top chains, its built-in lines, DROP policies.
            SFIptables killed(logger, config, runner, monitor, stateFile, dir.file("ftp"));
            killed.addVarnikInputOutputChains(config.getUniqueId());
            killed.addRedirectionRulesToInputOutputChains();
            killed.addRelEstRuleToNetfilter(false);
            killed.setNetfilterPolicyToAccept(false);
        }
        FakeConfigController restarted;
        SFKextInterface bridge(logger, restarted, monitor, events,
                               std::make_unique<SFIptables>(logger, restarted, runner, monitor,
                                                            stateFile, dir.file("ftp")));
        runner->clear();
        const std::string failing = c.failing;
        runner->failWhen([failing](const RecordingHelperUtils::Argv& argv) {
            std::string line;
            for (size_t i = 1; i < argv.size(); ++i)
                line += (i > 1 ? " " : "") + argv[i];
            return line == failing;
        });

        EXPECT_EQ(bridge.removeLeftovers(true), c.restored);
        const std::vector<std::string> lines = runner->lines();
        const auto firstRemoval = std::find_if(lines.begin(), lines.end(), isRemoval);
        if (!c.leftovers) {
            EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
        } else if (!c.restored) {
            EXPECT_EQ(firstRemoval, lines.end()) << "removed while a policy stays DROP: "
                                                 << ::testing::PrintToString(lines);
        } else {
            auto at = [&lines](auto it) { return std::distance(lines.begin(), it); };
            ASSERT_NE(firstRemoval, lines.end()) << ::testing::PrintToString(lines);
            for (const char* accept : {"-P INPUT ACCEPT", "-P OUTPUT ACCEPT"})
                EXPECT_LT(at(std::find(lines.begin(), lines.end(), accept)), at(firstRemoval))
                    << accept << " is not run before the first removal: "
                    << ::testing::PrintToString(lines);
        }
        EXPECT_EQ(logger.count(2), c.restored ? 0u : 1u) << "the failure is logged as an error";

        // What a failed try kept is still recorded: the next one, with iptables working again,
        // removes it; then nothing is left to remove.
        runner->failWhen(nullptr);
        runner->clear();
        EXPECT_TRUE(bridge.removeLeftovers(true));
        const std::vector<std::string> retried = runner->lines();
        EXPECT_EQ(std::any_of(retried.begin(), retried.end(), isRemoval), c.leftovers && !c.restored);
        runner->clear();
        EXPECT_TRUE(bridge.removeLeftovers(true));
        EXPECT_TRUE(runner->lines().empty()) << ::testing::PrintToString(runner->lines());
    }
}
