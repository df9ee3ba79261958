// The full push's walk over a real rule table, against a driver that runs nothing: which rule
// is passed as the last of its group, which marks the enforced rules get, how jump targets are
// named and found, which direction rules are added for, and what a disabled bridge leaves alone.

#include "SFKextInterface.h"

#include "CapturingEventAdaptor.h"
#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "ModelFixtures.h"
#include "RecordingLogger.h"
#include "RecordingNetfilter.h"
#include "SFIptablesUtils.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleManager.h"
#include "SFTrustedIPGroupManager.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <tuple>

using namespace StatefulFirewall;
using namespace TestSupport;
using model::kAdaptive;
using model::kClient;
using model::kDefault;

namespace {

using P = FakeConfigController::path;

SFMatch* directionMatch(int direction)
{
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_DIRECTION;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->value.intValue = direction;
    return match;
}

SFMatch* localPortMatch(uint16_t port)
{
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_LOCAL_PORT;
    match->addressType = FW_ADDRESS_TYPE_SINGLE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setPortNumber(port, 0);
    return match;
}

// One rule line of the expected walk: rule name, chain name passed, primary, mark, last.
struct Line {
    std::string rule;
    std::string group;
    bool primary;
    unsigned short mark;
    bool last;
    bool operator==(const Line& o) const
    {
        return rule == o.rule && group == o.group && primary == o.primary && mark == o.mark && last == o.last;
    }
};

std::ostream& operator<<(std::ostream& out, const Line& l)
{
    return out << "{" << l.rule << ", " << l.group << ", " << l.primary << ", " << l.mark << ", " << l.last << "}";
}

class SFKextInterfaceWalkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_config.set(P::ruleStore, m_dir.file("rules"));
        m_config.set(P::trustedStore, m_dir.file("trusted"));
        m_manager = SFRuleManager::getInstance(m_logger, m_config, true);
        auto driver = std::make_unique<RecordingNetfilter>();
        m_driver = driver.get();
        m_bridge = std::make_unique<SFKextInterface>(m_logger, m_config, m_monitor, m_events, std::move(driver));
        m_bridge->startHooking();
    }

    void TearDown() override
    {
        // A health-check thread waiting at the pass gate holds a lock the bridge's stop takes.
        m_monitor.releasePasses();
        m_bridge.reset();
        SFTrustedIPGroupManager::releaseInstance();
        SFRuleManager::releaseInstance();
    }

    // An enabled TCP allow rule on a local port, in the group; returns its id.
    GUID addRule(const GUID& group, const std::string& name, uint16_t port, int position = -1)
    {
        auto* rule = new SFRule();
        rule->ruleId = CommonFunc::generateGUID();
        rule->groupId = group;
        rule->name = name;
        rule->enabled = true;
        rule->action = FW_ACTION_ALLOW;
        rule->transport = FW_TRANS_PROTO_TCP;
        rule->netProto = NET_PROTO_IP;
        rule->position = position;
        rule->addMatch(localPortMatch(port));
        const GUID id = rule->ruleId;
        const int added = m_manager->addRule(rule);
        EXPECT_TRUE(added == SF_SUCCESS || added == SF_RULE_POSITION_CHANGED) << name;
        return id;
    }

    // A rule without matches: the walk takes it as a jump to target. Only the default group
    // takes rules whose action is jump; elsewhere the missing matches alone make the jump.
    void addJump(const GUID& from, const GUID& target, const std::string& name)
    {
        auto* rule = new SFRule();
        rule->ruleId = CommonFunc::generateGUID();
        rule->groupId = from;
        rule->name = name;
        rule->enabled = true;
        rule->action = sameGuidText(from, kDefault) ? FW_ACTION_JUMP : FW_ACTION_ALLOW;
        rule->jumpTarget = target;
        ASSERT_EQ(m_manager->addRule(rule), SF_SUCCESS) << name;
    }

    GUID addGroup(const std::string& name, std::vector<int> directions)
    {
        auto* group = new SFRuleGroup();
        group->groupId = CommonFunc::generateGUID();
        group->name = name;
        group->chainName = name;
        group->enabled = true;
        group->transport = FW_TRANS_PROTO_ANY;
        group->netProto = NET_PROTO_IP;
        group->msgType = FW_MSG_TYPE_UNKNOWN;
        for (int direction : directions)
            group->addGrpMatch(directionMatch(direction));
        const GUID id = group->groupId;
        EXPECT_EQ(m_manager->addGroup(group), SF_SUCCESS);
        return id;
    }

    std::vector<Line> lines() const
    {
        std::vector<Line> out;
        for (const NetfilterRuleCall& call : m_driver->rules())
            out.push_back({call.rule, call.group, call.primary, call.mark, call.last});
        return out;
    }

    std::vector<std::string> createdGroups() const
    {
        std::vector<std::string> out;
        for (const NetfilterGroupCall& call : m_driver->groups())
            out.push_back(call.group);
        return out;
    }

    bool enforced(const GUID& group, const GUID& rule)
    {
        auto copy = m_manager->copyRule(group, rule);
        return copy && copy->enforced;
    }

    RecordingLogger m_logger;
    TempDir m_dir;
    FakeConfigController m_config;
    FakeNwIFManager m_monitor;
    CapturingEventAdaptor m_events;
    SFRuleManager* m_manager = nullptr;
    RecordingNetfilter* m_driver = nullptr;
    std::unique_ptr<SFKextInterface> m_bridge;
};

// The default group starts with the jump to the management agent's group and ends with the
// jumps to the client and adaptive groups, so of its five rules the third is the last ordinary
// one; the client group's last rule is its final one. Marks count the enforced rules from 257.
TEST_F(SFKextInterfaceWalkTest, LastRulesAreThirdOfFiveInTheDefaultGroupAndFinalInTheClientGroup)
{
    const GUID first = addRule(kDefault, "Default 1", 1001);
    const GUID second = addRule(kDefault, "Default 2", 1002);
    ASSERT_EQ(m_manager->copyGroup(kDefault)->rules.size(), 5u);
    ASSERT_TRUE(m_bridge->SendRuleAndGroupDataToKext());

    EXPECT_EQ(createdGroups(), (std::vector<std::string>{"QTZ WZ", "QTZ Client", "QTZ Adaptive"}));
    const std::vector<Line> expected = {
        {"Default 1", "Primary group", true, 257, false},
        {"Default 2", "Primary group", true, 258, true},
        {"Varnik-Allow-SSH", "QTZ_Client", false, 259, false},
        {"Varnik-Allow-Loopback", "QTZ_Client", false, 260, false},
        {"Varnik-Allow-Ntp", "QTZ_Client", false, 261, false},
        {"Varnik-Allow-AnyLocalIp", "QTZ_Client", false, 262, true},
        {"Varnik-Allow Bootp", "QTZ_WZ", false, 263, false},
        {"Varnik-Allow DNS Resolution", "QTZ_WZ", false, 264, false},
        {"Varnik-Allow TCP DNS Resolution", "QTZ_WZ", false, 265, false},
    };
    EXPECT_EQ(lines(), expected);
    EXPECT_TRUE(m_logger.has(6, "Last rule in default group. Rule name is Default 2"));
    EXPECT_TRUE(m_logger.has(6, "Last rule is client side group. Rule name is Varnik-Allow-AnyLocalIp"));
    EXPECT_TRUE(m_logger.has(6, "Inside enforce rule section. Creating the group  - QTZ Client"));
    EXPECT_TRUE(enforced(kDefault, first));
    EXPECT_TRUE(enforced(kDefault, second));
    KGUID marked{};
    ASSERT_TRUE(m_manager->getNfMarkVsRuleUid(258, &marked));
    EXPECT_EQ(CommonFunc::textGUID(fromKGUID(marked)), CommonFunc::textGUID(second));

    // The driver saw the generation switch first. With nothing linked before, the redirections
    // come before any rule, so the catch-all's DROP line never stands without the chains in
    // front of it, and the DROP policy last.
    const auto ops = m_driver->operations();
    ASSERT_GE(ops.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.begin() + 3),
              (std::vector<std::string>{"getTrustedNetworkParams", "saveDefaultDropRulesToPreviousPolicy",
                                        "saveIptablesChainsToPreviousPolicy"}));
    const auto at = [&ops](const std::string& prefix) {
        return std::find_if(ops.begin(), ops.end(), [&prefix](const std::string& op) { return op.rfind(prefix, 0) == 0; });
    };
    EXPECT_LT(at("addBlockEventChain"), at("addRedirectionRulesToInputOutputChains"));
    EXPECT_LT(at("addRedirectionRulesToInputOutputChains"), at("createNetfilterGroup"));
    EXPECT_LT(at("addRedirectionRulesToInputOutputChains"), at("addRuleToNetfilterGroup"));
    // The old built-in lines go only once the new generation is linked.
    EXPECT_EQ(std::vector<std::string>(ops.end() - 3, ops.end()),
              (std::vector<std::string>{"setNetfilterPolicyToAccept false", "flushDefaultDropRulesOfPreviousPolicy",
                                        "flushIptablesInPreviousPolicy"}));
}

TEST_F(SFKextInterfaceWalkTest, RefusedRulesUseNoMarkAndDoNotFailThePush)
{
    const GUID refused = addRule(kDefault, "Refused", 1001);
    const GUID throwing = addRule(kDefault, "Throwing", 1002);
    addRule(kDefault, "Kept", 1003);
    m_driver->refuseRule("Refused");
    m_driver->throwOnRule("Throwing");
    EXPECT_TRUE(m_bridge->SendRuleAndGroupDataToKext());
    const auto got = lines();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), (Line{"Kept", "Primary group", true, 257, true}));
    EXPECT_FALSE(enforced(kDefault, refused));
    EXPECT_FALSE(enforced(kDefault, throwing));
    EXPECT_TRUE(m_logger.has(5, "Inside enforce rule section. Rule - Refused in the group - Primary group "
                                "was not enforced probably due to unsupported match criteria"));
    EXPECT_TRUE(m_logger.has(5, "Caught Socket Communication exceptioncannot add ThrowingInside enforce rule "
                                "section. Exception occurred when enforcing the rule - Throwing in the group - Primary group"));

    // Refused rules run no command: the push stays in force, whichever rule comes last.
    m_driver->refuseRule(got.back().rule);
    EXPECT_TRUE(m_bridge->SendRuleAndGroupDataToKext());
    EXPECT_TRUE(m_bridge->rulesInForce());
}

TEST_F(SFKextInterfaceWalkTest, JumpTargetsAreNumberedFromOneInEveryPushAndGetTheDirectionOfTheirLastMatch)
{
    const GUID web = addGroup("Web servers", {FW_DIRECTION_INBOUND, FW_DIRECTION_OUTBOUND});
    const GUID mail = addGroup("Mail", {FW_DIRECTION_INBOUND});
    addRule(web, "Web rule", 80);
    addRule(mail, "Mail rule", 25);
    addJump(kDefault, web, "To web");
    addJump(kDefault, mail, "To mail");

    for (int push = 1; push <= 2; ++push) {
        SCOPED_TRACE(push);
        m_driver->clear();
        ASSERT_TRUE(m_bridge->SendRuleAndGroupDataToKext());
        EXPECT_EQ(createdGroups(),
                  (std::vector<std::string>{"QTZ WZ", "QTZ_Group_1", "QTZ_Group_2", "QTZ Client", "QTZ Adaptive"}));
        // The driver built the web group's chains for its last direction match; its rule must
        // be added for the same direction.
        EXPECT_EQ(m_driver->groups().at(1).direction, FW_DIRECTION_OUTBOUND);
        std::vector<std::tuple<std::string, std::string, int>> added; // rule, chain, direction
        for (const NetfilterRuleCall& call : m_driver->rules())
            if (call.rule == "Web rule" || call.rule == "Mail rule")
                added.emplace_back(call.rule, call.group, call.direction);
        EXPECT_EQ(added, (decltype(added){{"Web rule", "QTZ_Group_1", FW_DIRECTION_OUTBOUND},
                                          {"Mail rule", "QTZ_Group_2", FW_DIRECTION_INBOUND}}));
    }
    EXPECT_EQ(m_manager->copyGroup(web)->chainName, "QTZ_Group_1");
    EXPECT_TRUE(m_manager->copyGroup(mail)->enforced);
}

// The first push leaves a jump target standing before its jumper flagged but runs none of its
// rules, whether it linked what it built or took its try back and built again without a
// failing rule: the build again starts from the flags the table had, not from those of the try.
// The parameter names the rule whose lines fail in the first push, if any.
class SFKextInterfaceWalkFirstPushTest : public SFKextInterfaceWalkTest,
                                         public ::testing::WithParamInterface<std::string> {};

TEST_P(SFKextInterfaceWalkFirstPushTest, AJumpTargetStandingBeforeItsJumperIsEnforcedFromTheNextPushOn)
{
    const std::string failing = GetParam();
    const GUID early = addGroup("Early", {FW_DIRECTION_INBOUND});
    const GUID late = addGroup("Late", {FW_DIRECTION_INBOUND});
    const GUID refused = addGroup("Refused", {FW_DIRECTION_INBOUND});
    const GUID earlyRule = addRule(early, "Early rule", 81);
    addRule(late, "Late rule", 82);
    addRule(refused, "Refused rule", 83);
    addRule(kDefault, "Failing", 84);
    addJump(kDefault, late, "To late");
    addJump(late, early, "Late to early"); // a rule without matches jumps from any group
    addJump(kDefault, refused, "To refused");
    m_driver->refuseGroup("QTZ_Group_2");
    if (!failing.empty())
        m_driver->failRule(failing);

    // How often each rule was added in the generation linked: since the last try was taken back.
    auto linked = [this](std::vector<std::string> rules) {
        const std::vector<std::string> ops = m_driver->operations();
        const auto from = std::find(ops.rbegin(), ops.rend(), "flushIptablesInCurrentPolicy").base();
        std::vector<std::ptrdiff_t> counts;
        for (const std::string& rule : rules)
            counts.push_back(std::count(from, ops.end(), "addRuleToNetfilterGroup " + rule));
        return counts;
    };
    EXPECT_EQ(m_bridge->SendRuleAndGroupDataToKext(), failing.empty());
    EXPECT_EQ(m_bridge->rulesInForceState(), failing.empty() ? SF_RULES_IN_FORCE : SF_RULES_PARTLY_IN_FORCE);
    EXPECT_EQ(linked({"Early rule", "Late rule", "Refused rule", "Failing"}),
              (std::vector<std::ptrdiff_t>{0, 1, 0, failing.empty() ? 1 : 0}));
    EXPECT_FALSE(enforced(early, earlyRule));
    EXPECT_TRUE(m_manager->copyGroup(early)->enforced);
    EXPECT_TRUE(m_logger.has(5, "Inside enforce rule section. Ignoring the group - Early as the group enforcement status is false"));
    EXPECT_TRUE(m_logger.has(5, "Inside enforce rule section. Failed to create the group  - Refused"));
    EXPECT_FALSE(m_manager->copyGroup(refused)->enforced);

    // The first push left the early group flagged: with the next change its rules are enforced.
    m_driver->clear();
    m_driver->clearFailures();
    addRule(kDefault, "Next", 85);
    ASSERT_TRUE(m_bridge->SendRuleAndGroupDataToKext());
    EXPECT_EQ(linked({"Early rule", "Failing"}), (std::vector<std::ptrdiff_t>{1, 1}));
    EXPECT_TRUE(enforced(early, earlyRule));
    EXPECT_EQ(m_bridge->rulesInForceState(), SF_RULES_IN_FORCE);
}

INSTANTIATE_TEST_SUITE_P(LinkedOrBuiltAgain, SFKextInterfaceWalkFirstPushTest, ::testing::Values("", "Failing"));

// Disabled means iptables is the system's: a push, a mode switch and an adaptive rebuild that
// come after the disable change nothing.
TEST_F(SFKextInterfaceWalkTest, AfterStopHookingPushesAndModeSwitchesLeaveTheDriverAlone)
{
    ASSERT_TRUE(m_bridge->SendRuleAndGroupDataToKext());
    m_bridge->stopHooking();
    EXPECT_FALSE(m_manager->copyGroup(kClient)->enforced);
    const auto stopped = m_driver->operations();
    EXPECT_EQ(std::vector<std::string>(stopped.end() - 4, stopped.end()),
              (std::vector<std::string>{"setNetfilterPolicyToAccept true", "flushIptablesDefaultDropRule",
                                        "flushIptablesInCurrentPolicy", "hasRecordedLeftovers"}));
    m_driver->clear();
    EXPECT_TRUE(m_bridge->SendRuleAndGroupDataToKext());
    m_config.setFwMode(FW_MODE_ADAPTIVE);
    EXPECT_TRUE(m_bridge->SendAdaptiveModeStatusToKext());
    m_config.setFwMode(FW_MODE_REGULAR);
    EXPECT_TRUE(m_bridge->SendAdaptiveModeStatusToKext());
    EXPECT_TRUE(m_driver->operations().empty());
}

TEST_F(SFKextInterfaceWalkTest, AFailedGenerationSwitchEndsThePushBeforeTheWalk)
{
    m_driver->throwOn("addBlockEventChain");
    EXPECT_FALSE(m_bridge->SendRuleAndGroupDataToKext());
    EXPECT_TRUE(m_driver->rules().empty());
    EXPECT_TRUE(m_logger.has(5, "Inside enforce rule section. Exception occurred while adding Related and "
                                "Established rule, setting default Accept Policy or creating default Block event chains"));

    // With no generation linked before, a failed try leaves the host to the ACCEPT policies
    // and removes every generation.
    EXPECT_EQ(m_bridge->rulesInForceState(), SF_RULES_NOT_IN_FORCE);
    const std::vector<std::string> removal = {"setNetfilterPolicyToAccept true", "flushIptablesDefaultDropRule",
                                              "flushIptablesInCurrentPolicy"};
    auto ops = m_driver->operations();
    ASSERT_GE(ops.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(ops.end() - 3, ops.end()), removal);

    // While what it left still filters (a DROP line whose deletion iptables refuses), a retry
    // removes it again and builds nothing beside it; once nothing that filters is left, it builds.
    for (const auto effect : {INetfilter::LeftoverEffect::Drops, INetfilter::LeftoverEffect::Unlinked}) {
        m_driver->clear();
        m_driver->clearFailures();
        m_driver->setLeftoverEffect(effect);
        const bool built = effect == INetfilter::LeftoverEffect::Unlinked;
        EXPECT_EQ(m_bridge->SendRuleAndGroupDataToKext(), built);
        ops = m_driver->operations();
        EXPECT_EQ(std::vector<std::string>(ops.begin() + 1, ops.begin() + 5),
                  (std::vector<std::string>{"hasRecordedLeftovers", removal[0], removal[1], removal[2]}));
        EXPECT_EQ(std::count(ops.begin(), ops.end(), "saveIptablesChainsToPreviousPolicy"), built ? 1 : 0);
        EXPECT_EQ(m_bridge->rulesInForceState(), built ? SF_RULES_IN_FORCE : SF_RULES_NOT_IN_FORCE);
    }
}

// Once a generation is linked, a try with a failed command is taken back and that generation
// stays in force, its rules flagged as they were; nothing of the try is redirected to before
// the DROP policies, the last step that can fail, have been set. A rule whose lines fail again
// in the next try is left out of a generation built again without it.
TEST_F(SFKextInterfaceWalkTest, AFailedTryIsTakenBackAndOnlyARuleFailingAgainIsLinkedWithout)
{
    const GUID kept = addRule(kDefault, "Kept", 1001);
    const GUID failing = addRule(kDefault, "Failing", 1002);
    const GUID after = addRule(kDefault, "After", 1003);
    ASSERT_TRUE(m_bridge->SendRuleAndGroupDataToKext());
    const std::string linked = m_config.getUniqueId();
    const struct {
        const char* what;
        std::function<void()> fault;
        bool redirected; // the failing step is the redirection itself
    } faults[] = {
        {"a group", [this] { m_driver->failGroup("QTZ Client"); }, false},
        {"the block-event chains", [this] { m_driver->throwOn("addBlockEventChain"); }, false},
        {"the DROP policies", [this] { m_driver->throwOn("setNetfilterPolicyToAccept"); }, false},
        {"the redirections", [this] { m_driver->throwOn("addRedirectionRulesToInputOutputChains"); }, true},
        {"a rule", [this] { m_driver->failRule("Failing"); }, false},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.what);
        m_driver->clear();
        f.fault();
        EXPECT_FALSE(m_bridge->SendRuleAndGroupDataToKext());
        const auto ops = m_driver->operations();
        EXPECT_EQ(ops.back(), "abandonCurrentGeneration " + linked);
        EXPECT_EQ(std::count(ops.begin(), ops.end(), "addRedirectionRulesToInputOutputChains"), f.redirected ? 1 : 0);
        EXPECT_EQ(m_bridge->rulesInForceState(), SF_RULES_EARLIER_IN_FORCE);
        EXPECT_TRUE(enforced(kDefault, failing));
        m_driver->clearFailures();
        // The recording driver keeps no id of its own: the bridge's next try starts from it.
        m_config.setUniqueId(linked.substr(1));
    }

    // The rule fails again in the next try, after its first failure above: that try is taken
    // back and the one built again without it runs nothing of it, its mark going to the next
    // rule.
    m_driver->clear();
    m_driver->failRule("Failing");
    EXPECT_FALSE(m_bridge->SendRuleAndGroupDataToKext());
    auto ops = m_driver->operations();
    const auto rebuilt = std::find(ops.rbegin(), ops.rend(), "abandonCurrentGeneration " + linked).base();
    ASSERT_NE(rebuilt, ops.begin());
    EXPECT_EQ(std::find(rebuilt, ops.end(), "addRuleToNetfilterGroup Failing"), ops.end());
    EXPECT_EQ(ops.back(), "flushIptablesInPreviousPolicy");
    KGUID marked{};
    ASSERT_TRUE(m_manager->getNfMarkVsRuleUid(258, &marked));
    EXPECT_EQ(CommonFunc::textGUID(fromKGUID(marked)), CommonFunc::textGUID(after));
    EXPECT_EQ(m_bridge->rulesInForceState(), SF_RULES_PARTLY_IN_FORCE);
    EXPECT_FALSE(m_bridge->rulesInForce());
    EXPECT_FALSE(enforced(kDefault, failing));
    EXPECT_TRUE(enforced(kDefault, kept));

    // A later push with a generation linked sets the policies before it redirects.
    m_driver->clear();
    m_driver->clearFailures();
    EXPECT_TRUE(m_bridge->SendRuleAndGroupDataToKext());
    ops = m_driver->operations();
    EXPECT_EQ(std::vector<std::string>(ops.end() - 4, ops.end()),
              (std::vector<std::string>{"setNetfilterPolicyToAccept false", "addRedirectionRulesToInputOutputChains",
                                        "flushDefaultDropRulesOfPreviousPolicy", "flushIptablesInPreviousPolicy"}));
    EXPECT_EQ(m_bridge->rulesInForceState(), SF_RULES_IN_FORCE);
    EXPECT_TRUE(enforced(kDefault, failing));
}

TEST_F(SFKextInterfaceWalkTest, EveryJumpGroupGetsAChainOfItsOwnPastTheThousandth)
{
    constexpr int kGroups = 1001;
    for (int i = 1; i <= kGroups; ++i) {
        const GUID group = addGroup("Group " + std::to_string(i), {FW_DIRECTION_INBOUND});
        addRule(group, "Rule " + std::to_string(i), 1000 + i);
        addJump(kDefault, group, "To group " + std::to_string(i));
    }
    ASSERT_TRUE(m_bridge->SendRuleAndGroupDataToKext());

    // What the driver makes of a name: cut to the chain base and sanitised.
    std::vector<std::string> bases;
    for (const std::string& name : createdGroups())
        bases.push_back(SFIptablesUtils().sanitizeChainName(name));
    ASSERT_EQ(bases.size(), static_cast<size_t>(kGroups) + 3);
    std::vector<std::string> sorted = bases;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
        << "two groups share the chain " << *std::adjacent_find(sorted.begin(), sorted.end());
    // The first 999 keep the names stored tables and listings already know.
    EXPECT_EQ(bases.at(1), "QTZ_Group_1");
    EXPECT_EQ(bases.at(999), "QTZ_Group_999");
    EXPECT_EQ(bases.at(1000), "QTZ_G1000");
    // Every group's rules go to its own chain.
    const auto rules = m_driver->rules();
    const auto last = std::find_if(rules.begin(), rules.end(), [](const NetfilterRuleCall& c) {
        return c.rule == "Rule 1000";
    });
    ASSERT_NE(last, rules.end());
    EXPECT_EQ(last->group, "QTZ_G1000");
}

// The health check retries a push that failed, counted in its passes: a rule iptables keeps
// refusing is retried one pass after the try that was taken back, then after 2, 4 and 8 passes,
// and never less often than every 8; a try that is taken back, whatever the wait reached, is
// retried at the next pass.
TEST_F(SFKextInterfaceWalkTest, RetriesOfAFailingRuleBackOffToEightPassesAndATakenBackTryIsRetriedAtTheNext)
{
    addRule(kDefault, "Failing", 1001);
    ASSERT_TRUE(m_bridge->SendRuleAndGroupDataToKext());
    m_config.setHealthCheckTimer(1);
    m_monitor.holdPasses();
    ASSERT_TRUE(m_bridge->startHealthCheck());
    // Every try builds the generation's top chains first.
    auto tries = [this] {
        const std::vector<std::string> ops = m_driver->operations();
        return std::count_if(ops.begin(), ops.end(), [](const std::string& op) {
            return op.rfind("addVarnikInputOutputChains", 0) == 0;
        });
    };

    m_driver->failRule("Failing");
    EXPECT_FALSE(m_bridge->SendRuleAndGroupDataToKext());
    ASSERT_EQ(m_bridge->rulesInForceState(), SF_RULES_EARLIER_IN_FORCE);
    std::vector<int> retried;
    for (int pass = 1; pass <= 23; ++pass) {
        const auto before = tries();
        ASSERT_TRUE(m_monitor.runPass()) << "pass " << pass << " did not end";
        if (tries() > before)
            retried.push_back(pass);
    }
    EXPECT_EQ(retried, (std::vector<int>{1, 3, 7, 15, 23}));
    EXPECT_EQ(m_bridge->rulesInForceState(), SF_RULES_PARTLY_IN_FORCE);

    // A push of the same table taken back leaves that link in force, and status says so.
    m_driver->clearFailures();
    m_driver->failGroup("QTZ Client");
    EXPECT_FALSE(m_bridge->SendRuleAndGroupDataToKext());
    ASSERT_EQ(m_bridge->rulesInForceState(), SF_RULES_PARTLY_IN_FORCE);
    // With a change since, the latest changes are wholly out of force.
    addRule(kDefault, "Later", 1002);
    EXPECT_FALSE(m_bridge->SendRuleAndGroupDataToKext());
    ASSERT_EQ(m_bridge->rulesInForceState(), SF_RULES_EARLIER_IN_FORCE);
    m_driver->clearFailures();
    const auto before = tries();
    ASSERT_TRUE(m_monitor.runPass());
    EXPECT_EQ(tries(), before + 1) << "the taken-back try was not retried at the next pass";
    EXPECT_EQ(m_bridge->rulesInForceState(), SF_RULES_IN_FORCE);
}

} // namespace
