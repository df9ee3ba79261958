// Pushes through the controller, the bridge and the real iptables of the sandbox: what one
// generation looks like in the kernel, how the next one replaces it, and how a push that failed
// half-way is taken back, leaving the generation in force.

#include "BridgeSandboxRig.h"

#include "CommonFunc.h"
#include "FakeNwIFManager.h"
#include "HangGuard.h"
#include "ModelFixtures.h"
#include "QueueSandboxRig.h"
#include "SFConfigController.h"
#include "SFController.h"
#include "SFResultCodes.h"
#include "SFRulesInForce.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleManager.h"
#include "SandboxGuard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

using namespace StatefulFirewall;
using namespace BridgeRig;

namespace {

const char* const kFallbackIn = "-A INPUT -m state --state RELATED,ESTABLISHED -j ACCEPT";
const char* const kFallbackOut = "-A OUTPUT -m state --state RELATED,ESTABLISHED -j ACCEPT";

class SFKextInterfacePushSandboxTest : public ::testing::Test {
protected:
    void SetUp() override { TQ_REQUIRE_SANDBOX(); }
};

TEST_F(SFKextInterfacePushSandboxTest, EnableLinksOneGenerationWithDropPoliciesAndTheNextPushReplacesIt)
{
    Stack stack(Settings{});
    const GUID admin = addClientRule(stack.rules(), {"Allow admin port", FW_ACTION_ALLOW,
                                                     FW_DIRECTION_INBOUND, FW_MATCH_LOCAL_PORT, 2222});
    stack.enable();

    const long n = stack.generation();
    const std::string uid = "_" + std::to_string(n);
    std::string listing = iptables("-S");
    EXPECT_EQ(linesWith(listing, "-N QTZ_INPUT"), 1u) << listing;
    EXPECT_EQ(linesWith(listing, "-N QTZ_OUTPUT"), 1u) << listing;
    EXPECT_EQ(iptables("-S INPUT"), "-P INPUT DROP\n-A INPUT -j QTZ_INPUT" + uid + "\n");
    EXPECT_EQ(iptables("-S OUTPUT"), "-P OUTPUT DROP\n-A OUTPUT -j QTZ_OUTPUT" + uid + "\n");

    // The user rule stands in its group's chain with the mark the mark map gives it.
    unsigned mark = 0;
    for (unsigned candidate = 257; candidate < 400 && mark == 0; ++candidate) {
        KGUID id{};
        if (stack.rules().getNfMarkVsRuleUid(static_cast<unsigned short>(candidate), &id) &&
            CommonFunc::textGUID(fromKGUID(id)) == CommonFunc::textGUID(admin))
            mark = candidate;
    }
    ASSERT_NE(mark, 0u);
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%x", mark);
    const std::string client = iptables("-S QTZ_Client_IN" + uid);
    const std::string rule = "-A QTZ_Client_IN" + uid + " -p tcp -m state --state NEW -m multiport --dports 2222 -j ";
    EXPECT_EQ(linesWith(client, "--dports 2222"), 2u) << client;
    EXPECT_EQ(linesWith(client, rule + "MARK --set-xmark " + hex + "/0xffffffff"), 1u) << client;
    EXPECT_EQ(linesWith(client, rule + "ACCEPT"), 1u) << client;
    EXPECT_TRUE(stack.rules().copyRule(CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID), admin)->enforced);
    EXPECT_TRUE(stack.rules().copyGroup(CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID))->enforced);

    ASSERT_TRUE(stack.controller().SendRuleAndGroupDataToKext());
    EXPECT_EQ(stack.generation(), n + 1);
    listing = iptables("-S");
    EXPECT_FALSE(mentionsGeneration(listing, n)) << listing;
    EXPECT_EQ(linesWith(listing, "-N QTZ_INPUT_" + std::to_string(n + 1)), 1u) << listing;
    EXPECT_EQ(linesWith(listing, "-N QTZ_INPUT"), 1u) << listing;
    EXPECT_EQ(stack.utils().refusedModprobes(), 0);
}

TEST_F(SFKextInterfacePushSandboxTest, APushThatFailedHalfWayIsTakenBackAndTheGenerationInForceStays)
{
    Stack stack(Settings{});
    stack.enable();
    const long n = stack.generation();
    const std::string enforcing = iptables("-S");

    // The new generation was linked from INPUT but not from OUTPUT: it goes again, and what
    // stands is the generation in force, without lines of the failed try in INPUT or OUTPUT.
    stack.utils().failOnce("-I OUTPUT -j QTZ_OUTPUT_" + std::to_string(n + 1));
    EXPECT_FALSE(stack.controller().SendRuleAndGroupDataToKext());
    std::string listing = iptables("-S");
    EXPECT_EQ(listing, enforcing);
    EXPECT_EQ(linesWith(listing, kFallbackIn), 0u) << listing;

    ASSERT_TRUE(stack.controller().SendRuleAndGroupDataToKext());
    listing = iptables("-S");
    EXPECT_FALSE(mentionsGeneration(listing, n)) << listing;
    EXPECT_FALSE(mentionsGeneration(listing, n + 1)) << listing;
    EXPECT_TRUE(mentionsGeneration(listing, n + 2)) << listing;

    // Failed again, then disabled: only the ACCEPT policies stay.
    stack.utils().failOnce("-I OUTPUT -j QTZ_OUTPUT_" + std::to_string(n + 3));
    EXPECT_FALSE(stack.controller().SendRuleAndGroupDataToKext());
    EXPECT_EQ(linesWith(iptables("-S"), kFallbackOut), 0u) << iptables("-S");
    stack.disable();
    EXPECT_EQ(iptables("-S"), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
}

// A logged catch-all allow for inbound traffic at the end of the client group: its lines go into
// INPUT itself, below the jump into the generation's chains.
void addInboundCatchAll(SFRuleManager& rules)
{
    auto rule = std::make_unique<SFRule>(TestSupport::model::portRule("Allow the rest, logged", FW_ACTION_ALLOW, true, 1));
    // Without its port match and on any transport, the inbound port rule matches all inbound traffic.
    delete rule->matches.back();
    rule->matches.pop_back();
    rule->transport = FW_TRANS_PROTO_ANY;
    rule->logEnabled = true;
    ASSERT_EQ(rules.addRule(rule.get()), SF_SUCCESS);
    rule.release();
}

// A line the earlier generation placed in INPUT that could not be deleted when the next one was
// linked keeps the rules from being wholly in force until the health check's next pass deletes
// it, with no push in between (the stand-in monitor reports no network change).
TEST_F(SFKextInterfacePushSandboxTest, ABuiltInLineWhoseDeletionFailedIsDeletedByTheHealthCheck)
{
    TestSupport::FakeNwIFManager monitor;
    Settings settings;
    settings.healthCheckSecs = 1;
    Stack stack(settings, &monitor);
    addInboundCatchAll(stack.rules());
    stack.enable();
    const long n = stack.generation();
    const std::string first = iptables("-S INPUT");
    ASSERT_EQ(linesWith(first, "-A INPUT -j ACCEPT"), 1u) << first;

    stack.utils().failOnce("-D INPUT -j ACCEPT");
    EXPECT_FALSE(stack.controller().SendRuleAndGroupDataToKext());
    ASSERT_EQ(stack.generation(), n + 1);
    // What the next generation alone places in INPUT.
    const std::string wanted =
        std::regex_replace(first, std::regex("_" + std::to_string(n) + "\\b"), "_" + std::to_string(n + 1));
    std::string input;
    const auto deadline = std::chrono::steady_clock::now() + TestSupport::kHangGuard;
    while (((input = iptables("-S INPUT")) != wanted || stack.controller().rulesInForceState() != SF_RULES_IN_FORCE) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(input, wanted);
    EXPECT_EQ(stack.controller().rulesInForceState(), SF_RULES_IN_FORCE);
}

} // namespace
