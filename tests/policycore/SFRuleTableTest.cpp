#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"

#include "ModelFixtures.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace StatefulFirewall;

namespace {

using namespace TestSupport::model;


const GUID kUserA = idOf("0a0a0a0a-1111-2222-3333-444455556666");
const GUID kUserB = idOf("0b0b0b0b-1111-2222-3333-444455556666");

// Rule identifiers that differ in every part, so a comparison of only some bytes would mix them.
GUID ruleIdOf(int n)
{
    GUID id{};
    id.Data1 = 0x70000000ul + static_cast<unsigned long>(n);
    id.Data2 = static_cast<uint16_t>(0x100 + n);
    id.Data3 = static_cast<uint16_t>(0x200 + n);
    for (size_t i = 0; i < sizeof(id.Data4); ++i)
        id.Data4[i] = static_cast<uint8_t>(n + i);
    return id;
}

SFRule* makeRule(const std::string& name, int n, int position = -1)
{
    auto* rule = new SFRule();
    rule->ruleId = ruleIdOf(n);
    rule->name = name;
    rule->position = position;
    rule->enabled = true;
    rule->action = FW_ACTION_ALLOW;
    rule->transport = FW_TRANS_PROTO_TCP;
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_LOCAL_PORT;
    match->addressType = FW_ADDRESS_TYPE_SINGLE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setPortNumber(static_cast<uint16_t>(1000 + n), 0);
    rule->addMatch(match);
    return rule;
}

SFRule* makeJump(const std::string& name, int n, const GUID& target, bool keep = true)
{
    SFRule* rule = makeRule(name, n);
    rule->action = FW_ACTION_JUMP;
    rule->jumpTarget = target;
    rule->keep = keep;
    return rule;
}

SFRuleGroup* makeGroup(const GUID& id, const std::string& name = "user group")
{
    auto* group = new SFRuleGroup();
    group->groupId = id;
    group->name = name;
    group->chainName = name;
    group->enabled = true;
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_DIRECTION;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->value.intValue = FW_DIRECTION_INBOUND;
    group->addGrpMatch(match);
    return group;
}

std::vector<std::string> names(const SFRuleGroup& group)
{
    std::vector<std::string> out;
    for (const SFRule* rule : group.rules)
        out.push_back(rule->name);
    return out;
}

std::vector<int> positions(const SFRuleGroup& group)
{
    std::vector<int> out;
    for (const SFRule* rule : group.rules)
        out.push_back(rule->position);
    return out;
}

std::vector<int> oneTo(int n)
{
    std::vector<int> out;
    for (int i = 1; i <= n; ++i)
        out.push_back(i);
    return out;
}

std::vector<std::string> groupNames(const SFRuleTable& table)
{
    std::vector<std::string> out;
    for (const SFRuleGroup* group : table.groups)
        out.push_back(group->name);
    return out;
}

// A group holding rules r1..rN, filed in order.
std::unique_ptr<SFRuleGroup> groupWithRules(const GUID& id, int count)
{
    std::unique_ptr<SFRuleGroup> group(makeGroup(id));
    for (int n = 1; n <= count; ++n)
        group->addRule(makeRule("r" + std::to_string(n), n));
    return group;
}

// The default group as the rule manager builds it at start: the jumps to the client and
// adaptive groups, then the agent jump, which goes first.
std::unique_ptr<SFRuleGroup> defaultGroupWithJumps()
{
    std::unique_ptr<SFRuleGroup> group(makeGroup(kDefault, "Primary group"));
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeJump("toClient", 102, kClient)));
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeJump("toAdaptive", 103, kAdaptive)));
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeJump("toAgent", 101, kAgent)));
    EXPECT_EQ((std::vector<std::string>{"toAgent", "toClient", "toAdaptive"}), names(*group));
    return group;
}

} // namespace

// ---- SFRuleGroup: filing rules ----

TEST(SFRuleGroupTest, ClientGroupFilesARuleAtItsRequestedPlace)
{
    struct Case {
        int position;
        std::vector<std::string> order;
        int result;
    };
    const Case cases[] = {
        {3, {"r1", "r2", "new", "r3", "r4", "r5"}, SF_SUCCESS},
        {1, {"new", "r1", "r2", "r3", "r4", "r5"}, SF_SUCCESS},
        {5, {"r1", "r2", "r3", "r4", "new", "r5"}, SF_SUCCESS},
        {-1, {"r1", "r2", "r3", "r4", "r5", "new"}, SF_SUCCESS},
        {6, {"r1", "r2", "r3", "r4", "r5", "new"}, SF_RULE_POSITION_CHANGED},
        {9, {"r1", "r2", "r3", "r4", "r5", "new"}, SF_RULE_POSITION_CHANGED},
        {0, {"new", "r1", "r2", "r3", "r4", "r5"}, SF_RULE_POSITION_CHANGED},
        {-7, {"new", "r1", "r2", "r3", "r4", "r5"}, SF_RULE_POSITION_CHANGED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("position " + std::to_string(c.position));
        auto group = groupWithRules(kClient, 5);
        EXPECT_EQ(c.result, group->addRule(makeRule("new", 50, c.position)));
        EXPECT_EQ(c.order, names(*group));
        EXPECT_EQ(oneTo(6), positions(*group));
    }
}

TEST(SFRuleGroupTest, OtherGroupsAppendWhateverPlaceIsAsked)
{
    for (const GUID& id : {kUserA, kAdaptive, kAgent}) {
        SCOPED_TRACE(CommonFunc::textGUID(id));
        auto group = groupWithRules(id, 3);
        EXPECT_EQ(SF_SUCCESS, group->addRule(makeRule("first?", 50, 1)));
        EXPECT_EQ(SF_SUCCESS, group->addRule(makeRule("zero?", 51, 0)));
        EXPECT_EQ(SF_SUCCESS, group->addRule(makeRule("far?", 52, 40)));
        EXPECT_EQ((std::vector<std::string>{"r1", "r2", "r3", "first?", "zero?", "far?"}),
                  names(*group));
        EXPECT_EQ(oneTo(6), positions(*group));
    }
}

TEST(SFRuleGroupTest, DefaultGroupFilesPlainRulesBeforeItsTwoClosingJumps)
{
    auto group = defaultGroupWithJumps();
    // The requested place plays no part in the default group.
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeRule("plain1", 1, 4)));
    EXPECT_EQ((std::vector<std::string>{"toAgent", "plain1", "toClient", "toAdaptive"}),
              names(*group));
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeRule("plain2", 2)));
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeJump("toUser", 3, kUserA, false)));
    EXPECT_EQ((std::vector<std::string>{"toAgent", "plain1", "plain2", "toUser", "toClient",
                                        "toAdaptive"}),
              names(*group));
    EXPECT_EQ(oneTo(6), positions(*group));

    // A jump to the agent group is looked at before anything else.
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeJump("toAgent2", 4, kAgent)));
    EXPECT_EQ("toAgent2", group->rules.front()->name);
    EXPECT_EQ(1, group->rules.front()->position);
    EXPECT_EQ(oneTo(7), positions(*group));
}

TEST(SFRuleGroupTest, DefaultGroupWithFewerThanTwoRulesAppends)
{
    std::unique_ptr<SFRuleGroup> group(makeGroup(kDefault));
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeRule("a", 1, 5)));
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeRule("b", 2, 1)));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), names(*group));
    // From two rules on, new rules go in front of the last two.
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeRule("c", 3)));
    EXPECT_EQ((std::vector<std::string>{"c", "a", "b"}), names(*group));

    std::unique_ptr<SFRuleGroup> empty(makeGroup(kDefault));
    EXPECT_EQ(SF_SUCCESS, empty->addRule(makeJump("toAgent", 9, kAgent)));
    EXPECT_EQ(SF_SUCCESS, empty->addRule(makeJump("toAgent2", 10, kAgent)));
    EXPECT_EQ((std::vector<std::string>{"toAgent2", "toAgent"}), names(*empty));
}

TEST(SFRuleGroupTest, AgentJumpGoesFirstOnlyInTheDefaultGroup)
{
    auto group = groupWithRules(kUserA, 2);
    EXPECT_EQ(SF_SUCCESS, group->addRule(makeJump("toAgent", 9, kAgent)));
    EXPECT_EQ((std::vector<std::string>{"r1", "r2", "toAgent"}), names(*group));

    // A rule aimed at the agent group that does not jump is a plain rule.
    auto primary = defaultGroupWithJumps();
    SFRule* notAJump = makeRule("notAJump", 10);
    notAJump->jumpTarget = kAgent;
    EXPECT_EQ(SF_SUCCESS, primary->addRule(notAJump));
    EXPECT_EQ((std::vector<std::string>{"toAgent", "notAJump", "toClient", "toAdaptive"}),
              names(*primary));
}

TEST(SFRuleGroupTest, NullRuleIsRefused)
{
    auto group = groupWithRules(kClient, 2);
    EXPECT_EQ(SF_RULE_REFUSED, group->addRule(nullptr));
    EXPECT_EQ(SF_RULE_TO_UPDATE_NOT_FOUND, group->updateRule(nullptr));
    EXPECT_EQ((std::vector<std::string>{"r1", "r2"}), names(*group));
}

// ---- SFRuleGroup: updating, deleting, finding ----

TEST(SFRuleGroupTest, UpdateOfAMissingRuleChangesNothingAndLeavesTheRuleWithTheCaller)
{
    for (const GUID& id : {kClient, kUserA}) {
        SCOPED_TRACE(CommonFunc::textGUID(id));
        auto group = groupWithRules(id, 3);
        std::unique_ptr<SFRule> stranger(makeRule("stranger", 77, 1));
        EXPECT_EQ(SF_RULE_TO_UPDATE_NOT_FOUND, group->updateRule(stranger.get()));
        EXPECT_EQ((std::vector<std::string>{"r1", "r2", "r3"}), names(*group));
        EXPECT_EQ(oneTo(3), positions(*group));
        EXPECT_EQ(1, stranger->position);
    }
}

TEST(SFRuleGroupTest, UpdateOutsideTheClientGroupReplacesTheRuleInPlace)
{
    for (const GUID& id : {kUserA, kAdaptive}) {
        SCOPED_TRACE(CommonFunc::textGUID(id));
        auto group = groupWithRules(id, 3);
        SFRule* update = makeRule("r2 renamed", 2, 1);
        EXPECT_EQ(SF_SUCCESS, group->updateRule(update));
        EXPECT_EQ((std::vector<std::string>{"r1", "r2 renamed", "r3"}), names(*group));
        EXPECT_EQ(update, group->findRule(ruleIdOf(2)));
        EXPECT_EQ(oneTo(3), positions(*group));
    }

    // The closing jumps of the default group keep their place too.
    auto primary = defaultGroupWithJumps();
    SFRule* update = makeJump("toClient, disabled", 102, kClient);
    update->enabled = false;
    update->position = 1;
    EXPECT_EQ(SF_SUCCESS, primary->updateRule(update));
    EXPECT_EQ((std::vector<std::string>{"toAgent", "toClient, disabled", "toAdaptive"}),
              names(*primary));
}

TEST(SFRuleGroupTest, UpdateInTheClientGroupMovesTheRule)
{
    struct Case {
        int rule;
        int position;
        std::vector<std::string> order;
        int result;
        int finalPosition;
    };
    const Case cases[] = {
        {3, 3, {"r1", "r2", "U", "r4", "r5"}, SF_SUCCESS, 3},
        {3, -1, {"r1", "r2", "U", "r4", "r5"}, SF_SUCCESS, 3},
        {4, 1, {"U", "r1", "r2", "r3", "r5"}, SF_SUCCESS, 1},
        {1, 3, {"r2", "r3", "U", "r4", "r5"}, SF_SUCCESS, 3},
        {5, 2, {"r1", "U", "r2", "r3", "r4"}, SF_SUCCESS, 2},
        {2, 5, {"r1", "r3", "r4", "r5", "U"}, SF_SUCCESS, 5},
        {2, 9, {"r1", "r3", "r4", "r5", "U"}, SF_SUCCESS, 5},
        {3, 0, {"U", "r1", "r2", "r4", "r5"}, SF_RULE_POSITION_CHANGED, 1},
        {3, -4, {"U", "r1", "r2", "r4", "r5"}, SF_RULE_POSITION_CHANGED, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("rule " + std::to_string(c.rule) + " to " + std::to_string(c.position));
        auto group = groupWithRules(kClient, 5);
        SFRule* update = makeRule("U", c.rule, c.position);
        EXPECT_EQ(c.result, group->updateRule(update));
        EXPECT_EQ(c.order, names(*group));
        EXPECT_EQ(oneTo(5), positions(*group));
        EXPECT_EQ(update, group->findRule(ruleIdOf(c.rule)));
        EXPECT_EQ(c.finalPosition, update->position);
    }
}

TEST(SFRuleGroupTest, DeleteRemovesTheRuleAndRenumbers)
{
    auto group = groupWithRules(kUserA, 4);
    EXPECT_EQ(SF_SUCCESS, group->delRule(ruleIdOf(2)));
    EXPECT_EQ((std::vector<std::string>{"r1", "r3", "r4"}), names(*group));
    EXPECT_EQ(oneTo(3), positions(*group));
    EXPECT_EQ(SF_RULE_TO_DELETE_NOT_FOUND, group->delRule(ruleIdOf(2)));

    // Only the whole identifier counts: a rule differing in the last byte is another rule.
    GUID nearly = ruleIdOf(3);
    nearly.Data4[7] ^= 0xFF;
    EXPECT_EQ(SF_RULE_TO_DELETE_NOT_FOUND, group->delRule(nearly));
    EXPECT_EQ(nullptr, group->findRule(nearly));
    EXPECT_EQ(3u, group->rules.size());
}

TEST(SFRuleGroupTest, FindReturnsTheStoredRule)
{
    auto group = groupWithRules(kUserA, 3);
    SFRule* second = *std::next(group->rules.begin());
    EXPECT_EQ(second, group->findRule(ruleIdOf(2)));
    EXPECT_EQ(second, group->getRule(ruleIdOf(2)));
    EXPECT_EQ(nullptr, group->findRule(ruleIdOf(4)));
}

TEST(SFRuleGroupTest, AdaptiveRulesAreFoundByKeyOnlyInTheAdaptiveGroup)
{
    auto fill = [](SFRuleGroup& group) {
        const uint32_t keys[] = {5, 7, 5, SF_NO_ADAPTIVE_KEY};
        int n = 1;
        for (uint32_t key : keys) {
            SFRule* rule = makeRule("k" + std::to_string(n), n);
            rule->adaptiveKey = key;
            group.addRule(rule);
            ++n;
        }
    };
    std::unique_ptr<SFRuleGroup> adaptive(makeGroup(kAdaptive));
    fill(*adaptive);
    ASSERT_NE(nullptr, adaptive->findAdaptiveRule(5));
    EXPECT_EQ("k1", adaptive->findAdaptiveRule(5)->name);
    EXPECT_EQ("k2", adaptive->findAdaptiveRule(7)->name);
    EXPECT_EQ(nullptr, adaptive->findAdaptiveRule(6));
    // Rules that were not learned carry the "none" key; it never finds them.
    EXPECT_EQ(nullptr, adaptive->findAdaptiveRule(SF_NO_ADAPTIVE_KEY));

    std::unique_ptr<SFRuleGroup> user(makeGroup(kUserA));
    fill(*user);
    EXPECT_EQ(nullptr, user->findAdaptiveRule(5));
}

TEST(SFRuleGroupTest, RemovingAllButKeptRulesKeepsTheirOrder)
{
    auto group = defaultGroupWithJumps();
    group->addRule(makeRule("plain1", 1));
    group->addRule(makeRule("plain2", 2));
    group->removeAllRules(false);
    EXPECT_EQ((std::vector<std::string>{"toAgent", "toClient", "toAdaptive"}), names(*group));
    group->removeAllRules(true);
    EXPECT_TRUE(group->rules.empty());
}

TEST(SFRuleGroupTest, GroupMatchesAreOwnedAndNullIsRefused)
{
    std::unique_ptr<SFRuleGroup> group(makeGroup(kUserA));
    EXPECT_EQ(SF_NO_MATCH_FOR_GROUP, group->addGrpMatch(nullptr));
    EXPECT_EQ(1u, group->matches.size());
    EXPECT_EQ(SF_SUCCESS, group->addGrpMatch(new SFMatch()));
    EXPECT_EQ(2u, group->matches.size());
    group->removeAllMatches();
    EXPECT_TRUE(group->matches.empty());
    group->addGrpMatch(new SFMatch()); // freed with the group
}

// ---- SFRuleGroup: copies and equality ----

TEST(SFRuleGroupTest, CopyIsIndependentOfTheOriginal)
{
    auto original = groupWithRules(kUserA, 3);
    original->description = "described";
    original->auxFlag = true;
    original->enforced = true;
    original->transport = FW_TRANS_PROTO_UDP;
    const SFRuleGroup copy(*original);
    const SFRuleGroup reference(*original);
    EXPECT_TRUE(copy == *original);
    EXPECT_EQ("described", copy.description);
    EXPECT_EQ("user group", copy.chainName);
    EXPECT_TRUE(copy.auxFlag);
    EXPECT_TRUE(copy.enforced);
    ASSERT_EQ(3u, copy.rules.size());
    auto theirs = original->rules.begin();
    for (const SFRule* rule : copy.rules) {
        EXPECT_NE(*theirs, rule) << "the copy shares a rule object";
        EXPECT_EQ((*theirs)->position, rule->position);
        ++theirs;
    }
    EXPECT_NE(original->matches.front(), copy.matches.front());

    original->rules.front()->name = "changed";
    original->matches.front()->value.intValue = FW_DIRECTION_OUTBOUND;
    original->delRule(ruleIdOf(3));
    original->addRule(makeRule("r9", 9));
    original.reset();
    EXPECT_TRUE(copy == reference);
    EXPECT_EQ((std::vector<std::string>{"r1", "r2", "r3"}), names(copy));
}

TEST(SFRuleGroupTest, EqualityIgnoresChainNameDescriptionAndEnforcement)
{
    struct Case {
        const char* what;
        std::function<void(SFRuleGroup&)> change;
        bool equal;
    };
    const Case cases[] = {
        {"chain name", [](SFRuleGroup& g) { g.chainName = "other"; }, true},
        {"description", [](SFRuleGroup& g) { g.description = "other"; }, true},
        {"enforced", [](SFRuleGroup& g) { g.enforced = true; }, true},
        {"rule position", [](SFRuleGroup& g) { g.rules.front()->position = 9; }, true},
        {"identifier", [](SFRuleGroup& g) { g.groupId = kUserB; }, false},
        {"enabled", [](SFRuleGroup& g) { g.enabled = false; }, false},
        {"aux flag", [](SFRuleGroup& g) { g.auxFlag = true; }, false},
        {"name", [](SFRuleGroup& g) { g.name = "User group"; }, false},
        {"transport", [](SFRuleGroup& g) { g.transport = FW_TRANS_PROTO_ICMP; }, false},
        {"net protocol", [](SFRuleGroup& g) { g.netProto = NET_PROTO_IP; }, false},
        {"message type", [](SFRuleGroup& g) { g.msgType = FW_ICMP_ANY; }, false},
        {"group match value",
         [](SFRuleGroup& g) { g.matches.front()->value.intValue = FW_DIRECTION_EITHER; }, false},
        {"one more group match", [](SFRuleGroup& g) { g.addGrpMatch(new SFMatch()); }, false},
        {"one rule fewer", [](SFRuleGroup& g) { g.delRule(ruleIdOf(2)); }, false},
        {"rule content", [](SFRuleGroup& g) { g.rules.back()->logEnabled = true; }, false},
        {"rule order",
         [](SFRuleGroup& g) {
             g.rules.push_back(g.rules.front());
             g.rules.pop_front();
         },
         false},
    };
    const auto original = groupWithRules(kUserA, 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SFRuleGroup changed(*original);
        c.change(changed);
        EXPECT_EQ(c.equal, *original == changed);
        EXPECT_EQ(c.equal, changed == *original);
    }
}

// ---- SFRuleTable ----

namespace {

class SFRuleTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        table.defaultGroupId = kDefault;
        table.clientGroupId = kClient;
        table.agentGroupId = kAgent;
        table.adaptiveGroupId = kAdaptive;
        ASSERT_EQ(SF_SUCCESS, table.addDefaultGroup());
        ASSERT_EQ(SF_SUCCESS, table.addClientSideGroup());
        ASSERT_EQ(SF_SUCCESS, table.addYalAgentGroup());
        ASSERT_EQ(SF_SUCCESS, table.addAdaptiveGroup());
        primary()->addRule(makeJump("toClient", 102, kClient));
        primary()->addRule(makeJump("toAdaptive", 103, kAdaptive));
        primary()->addRule(makeJump("toAgent", 101, kAgent));
        ASSERT_EQ((std::vector<std::string>{"toAgent", "toClient", "toAdaptive"}),
                  names(*primary()));
    }

    SFRuleGroup* primary() { return table.findGroup(kDefault); }

    // Two user groups, each with a rule and a jump to it from the default group, and a plain
    // rule of the user's own in the default group.
    void addUserGroups()
    {
        for (const GUID& id : {kUserA, kUserB}) {
            const bool a = sameGuidBytes(id, kUserA);
            SFRuleGroup* group = makeGroup(id, a ? "user A" : "user B");
            group->addRule(makeRule(a ? "a1" : "b1", a ? 11 : 21));
            ASSERT_EQ(SF_SUCCESS, table.addGroup(group));
            primary()->addRule(makeJump(a ? "toA" : "toB", a ? 111 : 121, id, false));
        }
        primary()->addRule(makeRule("userRule", 130));
        table.findGroup(kClient)->addRule(makeRule("c1", 31));
        table.findGroup(kAgent)->addRule(makeRule("w1", 41));
        table.findGroup(kAdaptive)->addRule(makeRule("l1", 51));
        ASSERT_EQ((std::vector<std::string>{"toAgent", "toA", "toB", "userRule", "toClient",
                                            "toAdaptive"}),
                  names(*primary()));
    }

    SFRuleTable table;
};

} // namespace

TEST_F(SFRuleTableTest, FixedGroupsAreCreatedInOrderWithTheirNamesAndMatches)
{
    struct Expected {
        GUID id;
        const char* name;
        const char* chain;
        int msgType;
    };
    const Expected expected[] = {
        {kDefault, "Primary group", "", FW_ICMP_ANY},
        {kClient, "QTZ Client", "QTZ_Client", FW_ICMP_ANY},
        {kAgent, "QTZ WZ", "QTZ_WZ", FW_MSG_TYPE_UNKNOWN},
        {kAdaptive, "QTZ Adaptive", "QTZ_Adaptive", FW_ICMP_ANY},
    };
    ASSERT_EQ(4u, table.groups.size());
    auto group = table.groups.begin();
    for (const Expected& e : expected) {
        const SFRuleGroup& g = **group++;
        SCOPED_TRACE(e.name);
        EXPECT_EQ(CommonFunc::textGUID(e.id), CommonFunc::textGUID(g.groupId));
        EXPECT_EQ(e.name, g.name);
        EXPECT_EQ(e.chain, g.chainName);
        EXPECT_EQ(e.msgType, g.msgType);
        EXPECT_TRUE(g.enabled);
        EXPECT_EQ(FW_TRANS_PROTO_ANY, g.transport);
        EXPECT_EQ(NET_PROTO_ANY, g.netProto);
        ASSERT_EQ(2u, g.matches.size());
        const SFMatch& direction = *g.matches.front();
        const SFMatch& medium = *g.matches.back();
        EXPECT_EQ(FW_MATCH_DIRECTION, direction.matchType);
        EXPECT_EQ(FW_MATCH_OP_EQUAL, direction.matchOp);
        EXPECT_EQ("FW_DIRECTION_EITHER", direction.getMatchValueString());
        EXPECT_EQ(FW_MATCH_PHYSICAL_MEDIUM, medium.matchType);
        EXPECT_EQ(FW_MATCH_OP_EQUAL, medium.matchOp);
        EXPECT_EQ("IF_ALL", medium.getMatchValueString());
    }
    EXPECT_TRUE(table.isDefaultGroup(kDefault));
    EXPECT_TRUE(table.isClientSideGroup(kClient));
    EXPECT_TRUE(table.isYalAgentGroup(kAgent));
    EXPECT_TRUE(table.isAdaptiveGroup(kAdaptive));
    EXPECT_FALSE(table.isDefaultGroup(kClient));
    EXPECT_FALSE(table.isAdaptiveGroup(kUserA));
}

TEST_F(SFRuleTableTest, GroupNamesOfClientAndAdaptiveGroupsAreRestored)
{
    table.findGroup(kClient)->name = "renamed";
    table.findGroup(kClient)->chainName = "renamed";
    table.findGroup(kAdaptive)->name = "renamed too";
    EXPECT_TRUE(table.setGroupNameForClientSideGroup(kClient));
    EXPECT_TRUE(table.setGroupNameForAdaptiveGroup(kAdaptive));
    EXPECT_EQ("QTZ Client", table.findGroup(kClient)->name);
    EXPECT_EQ("QTZ_Client", table.findGroup(kClient)->chainName);
    EXPECT_EQ("QTZ Adaptive", table.findGroup(kAdaptive)->name);
    EXPECT_EQ("QTZ_Adaptive", table.findGroup(kAdaptive)->chainName);
    EXPECT_FALSE(table.setGroupNameForClientSideGroup(kUserA));
    EXPECT_FALSE(table.setGroupNameForAdaptiveGroup(kUserA));
}

TEST_F(SFRuleTableTest, LookupsReturnStoredObjectsAndCounts)
{
    addUserGroups();
    SFRuleGroup* userA = table.findGroup(kUserA);
    ASSERT_NE(nullptr, userA);
    EXPECT_EQ("user A", userA->name);
    EXPECT_EQ(nullptr, table.findGroup(idOf("0c0c0c0c-1111-2222-3333-444455556666")));

    EXPECT_EQ(userA->rules.front(), table.getRule(kUserA, ruleIdOf(11)));
    EXPECT_EQ(nullptr, table.getRule(kUserA, ruleIdOf(21)));
    EXPECT_EQ(nullptr, table.getRule(idOf("0c0c0c0c-1111-2222-3333-444455556666"), ruleIdOf(11)));

    EXPECT_EQ(6, table.getRuleCount(kDefault));
    EXPECT_EQ(1, table.getRuleCount(kUserA));
    EXPECT_EQ(1, table.getRuleCount(kClient));
    EXPECT_EQ(0, table.getRuleCount(idOf("0c0c0c0c-1111-2222-3333-444455556666")));
}

TEST_F(SFRuleTableTest, AdaptiveRuleIsLookedUpInTheAdaptiveGroup)
{
    SFRule* learned = makeRule("learned", 60);
    learned->adaptiveKey = 0xABCD;
    table.findGroup(kAdaptive)->addRule(learned);
    SFRule* elsewhere = makeRule("elsewhere", 61);
    elsewhere->adaptiveKey = 0x1234;
    table.findGroup(kClient)->addRule(elsewhere);

    EXPECT_EQ(learned, table.getAdaptiveRule(0xABCD));
    EXPECT_EQ(nullptr, table.getAdaptiveRule(0x1234));
    EXPECT_EQ(nullptr, table.getAdaptiveRule(SF_NO_ADAPTIVE_KEY));

    ASSERT_EQ(SF_SUCCESS, table.delGroup(kAdaptive));
    EXPECT_EQ(nullptr, table.getAdaptiveRule(0xABCD));
}

TEST_F(SFRuleTableTest, AddGroupAppendsAndRefusesNullOrDuplicate)
{
    EXPECT_EQ(SF_GROUP_REFUSED, table.addGroup(nullptr));
    SFRuleGroup* userA = makeGroup(kUserA, "user A");
    EXPECT_EQ(SF_SUCCESS, table.addGroup(userA));
    EXPECT_EQ(userA, table.groups.back());

    // Refused: the caller still owns it and must free it (LSan reports a leak otherwise,
    // ASan a double free if the table had kept it).
    std::unique_ptr<SFRuleGroup> duplicate(makeGroup(kUserA, "duplicate"));
    duplicate->addRule(makeRule("d1", 1));
    EXPECT_EQ(SF_GROUP_ALREADY_PRESENT, table.addGroup(duplicate.get()));
    std::unique_ptr<SFRuleGroup> fixedAgain(makeGroup(kClient, "client again"));
    EXPECT_EQ(SF_GROUP_ALREADY_PRESENT, table.addGroup(fixedAgain.get()));
    EXPECT_EQ((std::vector<std::string>{"Primary group", "QTZ Client", "QTZ WZ", "QTZ Adaptive",
                                        "user A"}),
              groupNames(table));
}

TEST_F(SFRuleTableTest, DeletingTheDefaultGroupChangesNothing)
{
    addUserGroups();
    EXPECT_EQ(SF_SUCCESS, table.delGroup(kDefault));
    EXPECT_EQ(6u, table.groups.size());
    ASSERT_NE(nullptr, primary());
    EXPECT_EQ(6u, primary()->rules.size());
}

TEST_F(SFRuleTableTest, DeletingAGroupRemovesOnlyTheJumpsAimedAtIt)
{
    addUserGroups();
    // A second jump to A, and a non-jump rule that names A as its target.
    primary()->addRule(makeJump("toA again", 112, kUserA, false));
    SFRule* allowNamingA = makeRule("allowNamingA", 113);
    allowNamingA->jumpTarget = kUserA;
    primary()->addRule(allowNamingA);

    EXPECT_EQ(SF_SUCCESS, table.delGroup(kUserA));
    EXPECT_EQ(nullptr, table.findGroup(kUserA));
    EXPECT_EQ((std::vector<std::string>{"Primary group", "QTZ Client", "QTZ WZ", "QTZ Adaptive",
                                        "user B"}),
              groupNames(table));
    EXPECT_EQ((std::vector<std::string>{"toAgent", "toB", "userRule", "allowNamingA", "toClient",
                                        "toAdaptive"}),
              names(*primary()));
    EXPECT_EQ(oneTo(6), positions(*primary()));

    // The same holds for a fixed group.
    EXPECT_EQ(SF_SUCCESS, table.delGroup(kClient));
    EXPECT_EQ((std::vector<std::string>{"toAgent", "toB", "userRule", "allowNamingA",
                                        "toAdaptive"}),
              names(*primary()));

    EXPECT_EQ(SF_GROUP_TO_DELETE_NOT_FOUND, table.delGroup(kUserA));
}

TEST_F(SFRuleTableTest, DeletingAllGroupsButTheFixedOnesKeepsTheirRulesAndBuiltInJumps)
{
    addUserGroups();
    EXPECT_EQ(SF_SUCCESS, table.delAllGroups(true));
    EXPECT_EQ((std::vector<std::string>{"Primary group", "QTZ Client", "QTZ WZ", "QTZ Adaptive"}),
              groupNames(table));
    EXPECT_EQ((std::vector<std::string>{"toAgent", "toClient", "toAdaptive"}), names(*primary()));
    EXPECT_EQ(oneTo(3), positions(*primary())); // regression: kept rules used to keep gaps
    EXPECT_EQ((std::vector<std::string>{"c1"}), names(*table.findGroup(kClient)));
    EXPECT_EQ((std::vector<std::string>{"w1"}), names(*table.findGroup(kAgent)));
    EXPECT_EQ((std::vector<std::string>{"l1"}), names(*table.findGroup(kAdaptive)));

    EXPECT_EQ(SF_SUCCESS, table.delAllGroups(false));
    EXPECT_TRUE(table.groups.empty());
    EXPECT_EQ(0, table.getRuleCount(kDefault));
}

TEST_F(SFRuleTableTest, UpdateGroupKeepsTheStoredRulesAndThePlace)
{
    addUserGroups();
    SFRuleGroup* stored = table.findGroup(kUserA);
    stored->addRule(makeRule("a2", 12));
    const SFRuleGroup before(*stored);

    SFRuleGroup* update = makeGroup(kUserA, "user A renamed");
    update->description = "new description";
    update->addRule(makeRule("ignored", 99)); // an update never brings rules
    EXPECT_EQ(SF_SUCCESS, table.updateGroup(update));

    EXPECT_EQ(update, table.findGroup(kUserA));
    EXPECT_EQ((std::vector<std::string>{"Primary group", "QTZ Client", "QTZ WZ", "QTZ Adaptive",
                                        "user A renamed", "user B"}),
              groupNames(table));
    EXPECT_EQ("new description", update->description);
    EXPECT_EQ((std::vector<std::string>{"a1", "a2"}), names(*update));
    EXPECT_EQ(oneTo(2), positions(*update));
    auto old = before.rules.begin();
    for (const SFRule* rule : update->rules)
        EXPECT_TRUE(*rule == **old++);
}

TEST_F(SFRuleTableTest, UpdateGroupIsRefusedForTheDefaultOrAMissingGroup)
{
    addUserGroups();
    const SFRuleGroup before(*primary());

    std::unique_ptr<SFRuleGroup> newDefault(makeGroup(kDefault, "new primary"));
    newDefault->addRule(makeRule("own", 1));
    EXPECT_EQ(SF_DEFAULT_GROUP_NOT_REPLACEABLE, table.updateGroup(newDefault.get()));
    EXPECT_EQ((std::vector<std::string>{"own"}), names(*newDefault));
    EXPECT_TRUE(*primary() == before);
    EXPECT_EQ("Primary group", primary()->name);

    std::unique_ptr<SFRuleGroup> missing(makeGroup(idOf("0c0c0c0c-1111-2222-3333-444455556666")));
    missing->addRule(makeRule("own", 1));
    EXPECT_EQ(SF_GROUP_TO_UPDATE_NOT_FOUND, table.updateGroup(missing.get()));
    EXPECT_EQ((std::vector<std::string>{"own"}), names(*missing));

    EXPECT_EQ(SF_GROUP_TO_UPDATE_NOT_FOUND, table.updateGroup(nullptr));
    EXPECT_EQ(6u, table.groups.size());
}

// Regression: updating with the stored object itself freed it while the table still held it.
TEST_F(SFRuleTableTest, UpdateWithTheStoredGroupItselfKeepsIt)
{
    addUserGroups();
    SFRuleGroup* stored = table.findGroup(kUserA);
    stored->description = "edited in place";
    EXPECT_EQ(SF_SUCCESS, table.updateGroup(stored));
    EXPECT_EQ(stored, table.findGroup(kUserA));
    EXPECT_EQ((std::vector<std::string>{"a1"}), names(*stored));
}

TEST_F(SFRuleTableTest, JumpRuleIsEnabledOrDisabledByTarget)
{
    addUserGroups();
    primary()->addRule(makeJump("toA again", 112, kUserA, false));
    auto rule = [this](int n) { return table.getRule(kDefault, ruleIdOf(n)); };

    EXPECT_TRUE(table.enableOrDisableJumpRule(false, SF_CLIENT_GROUP_ID));
    EXPECT_FALSE(rule(102)->enabled);
    EXPECT_TRUE(rule(101)->enabled);
    EXPECT_TRUE(rule(103)->enabled);

    // Only the first jump to the target changes.
    EXPECT_TRUE(table.enableOrDisableJumpRule(false, CommonFunc::textGUID(kUserA)));
    EXPECT_FALSE(rule(111)->enabled);
    EXPECT_TRUE(rule(112)->enabled);

    EXPECT_TRUE(table.enableOrDisableJumpRule(true, SF_CLIENT_GROUP_ID));
    EXPECT_TRUE(rule(102)->enabled);

    // A plain rule whose target field names a group is not a jump.
    SFRule* plain = makeRule("plain", 140);
    plain->jumpTarget = idOf("0c0c0c0c-1111-2222-3333-444455556666");
    primary()->addRule(plain);
    EXPECT_FALSE(table.enableOrDisableJumpRule(false, "0c0c0c0c-1111-2222-3333-444455556666"));
    EXPECT_TRUE(plain->enabled);
    EXPECT_FALSE(table.enableOrDisableJumpRule(false, "not an identifier"));

    table.delAllGroups(false);
    EXPECT_FALSE(table.enableOrDisableJumpRule(false, SF_CLIENT_GROUP_ID));
}

TEST_F(SFRuleTableTest, DisablingEnforcementClearsEveryGroupAndRule)
{
    addUserGroups();
    for (SFRuleGroup* group : table.groups) {
        group->enforced = true;
        for (SFRule* rule : group->rules)
            rule->enforced = true;
    }
    table.disableAllRuleAndGroupEnforcement();
    for (const SFRuleGroup* group : table.groups) {
        SCOPED_TRACE(group->name);
        EXPECT_FALSE(group->enforced);
        for (const SFRule* rule : group->rules)
            EXPECT_FALSE(rule->enforced) << rule->name;
    }
}
