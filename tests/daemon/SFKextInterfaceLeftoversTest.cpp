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
    // The built-in chain whose "-P <chain> ACCEPT" iptables refuses; none for null.
    for (const char* refused : {static_cast<const char*>(nullptr), "INPUT", "OUTPUT"}) {
        SCOPED_TRACE(refused ? refused : "none refused");
        RecordingLogger logger;
        FakeConfigController config;
        FakeNwIFManager monitor;
        CapturingEventAdaptor events;
        TempDir dir;
        auto runner = std::make_shared<RecordingHelperUtils>();
        auto driver = [&](IConfigController& settings) {
            return std::make_unique<SFIptables>(logger, settings, runner, monitor,
                                                dir.file("netfilter.state"), dir.file("ftp"));
        };
        {
            // A run killed while enforcing: its top chains, its built-in lines, DROP policies.
            auto killed = driver(config);
            killed->addVarnikInputOutputChains(config.getUniqueId());
            killed->addRedirectionRulesToInputOutputChains();
            killed->addRelEstRuleToNetfilter(false);
            killed->setNetfilterPolicyToAccept(false);
        }
        FakeConfigController restarted;
        SFKextInterface bridge(logger, restarted, monitor, events, driver(restarted));
        runner->clear();
        runner->failWhen([refused](const RecordingHelperUtils::Argv& argv) {
            return refused && argv.size() == 4 && argv[1] == "-P" && argv[2] == refused &&
                   argv[3] == "ACCEPT";
        });

        EXPECT_EQ(bridge.removeLeftovers(true), refused == nullptr);
        const std::vector<std::string> lines = runner->lines();
        const std::string listed = ::testing::PrintToString(lines);
        auto at = [&lines](auto it) { return std::distance(lines.begin(), it); };
        const auto firstRemoval = at(std::find_if(lines.begin(), lines.end(), isRemoval));
        if (refused) {
            EXPECT_EQ(firstRemoval, at(lines.end())) << "removed while a policy stays DROP: " << listed;
        } else {
            ASSERT_LT(firstRemoval, at(lines.end())) << listed;
            for (const char* accept : {"-P INPUT ACCEPT", "-P OUTPUT ACCEPT"})
                EXPECT_LT(at(std::find(lines.begin(), lines.end(), accept)), firstRemoval)
                    << accept << " is not run before the first removal: " << listed;
        }
        EXPECT_EQ(logger.count(2), refused ? 1u : 0u) << "the failure is logged as an error";
    }
}
