// Real packets through the enforced rule table in the sandbox, between this namespace
// (10.0.0.5 on tq0) and the rig's peer (10.0.0.7): a connection a reporting rule blocks
// becomes one intrusion event whose event line stays valid UTF-8 JSON when the rule name is cut,
// and connections that adaptive mode sees become a learned rule
// in the table, in its chain and in the store.

#include "BridgeSandboxRig.h"

#include "AgentSpool.h"
#include "CommonFunc.h"
#include "HangGuard.h"
#include "MsgBusEventData.h"
#include "QueueSandboxRig.h"
#include "SFConfigController.h"
#include "SFController.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleManager.h"
#include "SFException.h"
#include "SFRuleTable.h"
#include "SFStoreCodec.h"
#include "SFEventAdaptor.h"
#include "SandboxGuard.h"
#include "WideText.h"

#include <gtest/gtest.h>

#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

using namespace StatefulFirewall;
using namespace BridgeRig;
using QueueRig::shell;
using Clock = std::chrono::steady_clock;

namespace {

class SFKextInterfaceTrafficSandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TQ_REQUIRE_SANDBOX();
        ASSERT_EQ(shell("rig_up"), 0);
    }
    void TearDown() override
    {
        if (TestSupport::sandboxProblem().empty())
            shell("rig_down");
    }
};

// Polls until the check holds or the time is up.
template <class Check>
bool within(std::chrono::milliseconds limit, Check check)
{
    const auto deadline = Clock::now() + limit;
    while (!check()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

TEST_F(SFKextInterfaceTrafficSandboxTest, ABlockedConnectionOfAnIntrusionRuleReachesTheEventAdaptor)
{
    Settings settings;
    settings.reportingSecs = 1;
    settings.hashLimitRate = "1000/second";
    Stack stack(settings);
    addClientRule(stack.rules(), {"Report outbound 9999", FW_ACTION_BLOCK_PACKET, FW_DIRECTION_OUTBOUND,
                                  FW_MATCH_REMOTE_PORT, 9999, true, 1});
    stack.enable();
    ASSERT_TRUE(QueueRig::waitForQueue(3, true));

    // Dropped by the queue, so the connection times out (3) instead of being refused (1).
    EXPECT_EQ(shell("\"$TOOL\" tcp-connect 10.0.0.7 9999 --timeout 1000"), 3);
    ASSERT_TRUE(stack.events().waitForEvents(1, TestSupport::kHangGuard));
    const auto sent = stack.events().sent();
    EXPECT_EQ(sent.front().getEventName(), "18001");
    EXPECT_EQ(sent.front().getEventSeverity(), 2);
    const auto created = stack.events().created();
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(created.front().topic, "fw.intrusion");
    EXPECT_EQ(created.front().record.EventID, 18001);
    EXPECT_EQ(created.front().record.action, FW_ACTION_BLOCK_PACKET);
    EXPECT_EQ(created.front().record.EventSeverity, 2);
    EXPECT_STREQ(created.front().record.ruleName, "Report outbound 9999");
    EXPECT_EQ(created.front().record.destinationPort, 9999);

    stack.disable();
    EXPECT_TRUE(QueueRig::waitForQueue(3, false));
}

// The record holds 103 bytes of the name; 12 ASCII bytes leave an odd 91 for two-byte
// characters, so a byte-wise cut would split the 46th.
TEST_F(SFKextInterfaceTrafficSandboxTest, ARuleNameCutForTheEventEndsOnACharacterBoundary)
{
    std::string accents;
    for (int i = 0; i < 60; ++i)
        accents += "\xC3\xA9";
    const std::string name = "Report 9999 " + accents;
    Settings settings;
    settings.reportingSecs = 1;
    settings.hashLimitRate = "1000/second";
    Stack stack(settings);
    addClientRule(stack.rules(), {name, FW_ACTION_BLOCK_PACKET, FW_DIRECTION_OUTBOUND, FW_MATCH_REMOTE_PORT,
                                  9999, true, 1});
    stack.enable();
    ASSERT_TRUE(QueueRig::waitForQueue(3, true));
    EXPECT_EQ(shell("\"$TOOL\" tcp-connect 10.0.0.7 9999 --timeout 1000"), 3);
    ASSERT_TRUE(stack.events().waitForEvents(1, TestSupport::kHangGuard));
    auto created = stack.events().created();
    ASSERT_FALSE(created.empty());
    stack.disable();

    SFEventAdaptor adaptor(stack.logger(), stack.config());
    ZAV::MsgBusEventData event(std::to_string(created.front().record.EventID),
                               created.front().record.EventSeverity);
    adaptor.createEventData(created.front().topic, created.front().record, event);
    const std::string line = ZAV::AgentSpool::eventLine(0, "HVRT_FW_1060QUIL", "product", "1", event);
    std::wstring decoded;
    EXPECT_TRUE(ZAV::utf8ToWide(line, decoded)) << line;
    boost::property_tree::ptree tree;
    std::istringstream in(line);
    EXPECT_NO_THROW(boost::property_tree::read_json(in, tree)) << line;
    EXPECT_NE(line.find("\"" + name.substr(0, 12 + 90) + "\""), std::string::npos) << line;
}

TEST_F(SFKextInterfaceTrafficSandboxTest, ConnectionsSeenInAdaptiveModeBecomeALearnedRuleInTableChainAndStore)
{
    Settings settings;
    settings.mode = FW_MODE_ADAPTIVE;
    settings.aggregationSecs = 1;
    Stack stack(settings);
    // Both would accept the peer's connections before they reach the adaptive group.
    removeClientRules(stack.rules(), {"Varnik-Allow-Loopback", "Varnik-Allow-AnyLocalIp"});
    stack.enable();
    ASSERT_TRUE(QueueRig::waitForQueue(1, true));

    std::string output;
    EXPECT_EQ(shell("serve /run/tq-listen.out \"$TOOL\" tcp-listen 10.0.0.5 8080 --count 3 --timeout 60000 && "
                    "for i in 1 2 3; do in_peer \"$TOOL\" tcp-connect 10.0.0.5 8080 --from 10.0.0.7 --timeout 20000 || exit 1; done",
                    &output),
              0)
        << output;

    const GUID adaptive = CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
    auto learned = [&] {
        const auto group = stack.rules().copyGroup(adaptive);
        for (const SFRule* rule : group->rules)
            if (rule->name == "Aggregated_Adaptive_TCP_Rule")
                return true;
        return false;
    };
    EXPECT_TRUE(within(TestSupport::kHangGuard, learned));
    const std::string uid = "_" + std::to_string(stack.generation());
    EXPECT_TRUE(within(TestSupport::kHangGuard, [&] {
        const std::string chain = iptables("-S QTZ_Adaptive_IN" + uid);
        return linesWith(chain, "-s 10.0.0.7") > 0 && linesWith(chain, "--dports 8080") > 0;
    })) << iptables("-S QTZ_Adaptive_IN" + uid);
    EXPECT_TRUE(within(TestSupport::kHangGuard, [&] {
        SFRuleTable stored;
        try {
            decodeRuleStore(TestSupport::readFile(stack.dir().file("rule-store.data")), stored);
        } catch (const std::exception&) {
            return false; // not written yet
        } catch (const SFException&) {
            return false;
        }
        const SFRuleGroup* group = stored.findGroup(adaptive);
        return group != nullptr && std::any_of(group->rules.begin(), group->rules.end(), [](const SFRule* rule) {
                   return rule->name == "Aggregated_Adaptive_TCP_Rule";
               });
    }));
}

} // namespace
