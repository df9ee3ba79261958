#include "SFRuleManager.h"

#include "CommonFunc.h"
#include "FakeConfigController.h"
#include "ModelFixtures.h"
#include "RecordingLogger.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <memory>

using namespace StatefulFirewall;
using TestSupport::readFile;
using TestSupport::writeFile;

namespace {

using namespace TestSupport::model;


const GUID kUser = idOf("0a0a0a0a-1111-2222-3333-444455556666");

std::vector<std::string> groupNames(SFRuleManager& manager)
{
    std::vector<std::string> names;
    for (const auto& group : manager.snapshot().groups)
        names.push_back(group->name);
    return names;
}

std::vector<std::string> ruleNames(SFRuleManager& manager, const GUID& groupId)
{
    std::vector<std::string> names;
    if (auto group = manager.copyGroup(groupId))
        for (const SFRule* rule : group->rules)
            names.push_back(rule->name);
    return names;
}

SFRule* userRule(const char* name, const GUID& groupId)
{
    auto* rule = new SFRule();
    rule->ruleId = CommonFunc::generateGUID();
    rule->groupId = groupId;
    rule->name = name;
    rule->enabled = true;
    rule->action = FW_ACTION_BLOCK_PACKET;
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_REMOTE_PORT;
    match->addressType = FW_ADDRESS_TYPE_SINGLE;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->setPortNumber(8080, 0);
    rule->addMatch(match);
    return rule;
}

SFRuleGroup* userGroup()
{
    auto* group = new SFRuleGroup();
    group->groupId = kUser;
    group->name = "Office";
    group->chainName = "Office";
    group->enabled = true;
    return group;
}

class SFRuleManagerTest : public ::testing::Test {
protected:
    void SetUp() override { m_config.set("GlobalConfiguration.RuleStorePath", m_path); }
    void TearDown() override { SFRuleManager::releaseInstance(); }

    SFRuleManager& manager() { return *SFRuleManager::getInstance(m_logger, m_config, true); }
    SFRuleManager& restart()
    {
        SFRuleManager::releaseInstance();
        return manager();
    }

    TestSupport::TempDir m_dir;
    std::string m_path = m_dir.file("rule-store.data");
    TestSupport::FakeConfigController m_config;
    TestSupport::RecordingLogger m_logger;
};

TEST_F(SFRuleManagerTest, FirstStartWritesAPrivateStoreWithTheFreshLayout)
{
    const mode_t old = umask(022);
    SFRuleManager& rules = manager();
    umask(old);

    EXPECT_EQ(TestSupport::fileMode(m_path), 0600);
    EXPECT_TRUE(m_logger.has(2, "Rule manager deserialize failed so Initialized the groups here"));
    EXPECT_EQ((std::vector<std::string>{"Primary group", "QTZ Client", "QTZ Adaptive", "QTZ WZ"}),
              groupNames(rules));
    EXPECT_EQ((std::vector<std::string>{"Jump to group QTZ WZ", "Jump to group QTZ Client",
                                        "Jump to group QTZ Adaptive"}),
              ruleNames(rules, kDefault));
    EXPECT_EQ((std::vector<std::string>{"Varnik-Allow-SSH", "Varnik-Allow-Loopback",
                                        "Varnik-Allow-Ntp", "Varnik-Allow-AnyLocalIp"}),
              ruleNames(rules, kClient));
    // The jump rules are named by their target.
    EXPECT_NE(rules.copyRule(kDefault, kClient), nullptr);
    EXPECT_NE(rules.copyRule(kDefault, kAgent), nullptr);
    EXPECT_FALSE(readFile(m_path).empty());
}

TEST_F(SFRuleManagerTest, RestartKeepsUserRulesAndRebuildsTheAgentGroup)
{
    SFRuleManager& first = manager();
    ASSERT_EQ(SF_SUCCESS, first.addGroup(userGroup()));
    SFRule* rule = userRule("Block 8080", kUser);
    const GUID ruleId = rule->ruleId;
    ASSERT_EQ(SF_SUCCESS, first.addRule(rule));
    const auto agentBefore = first.copyGroup(kAgent);
    ASSERT_EQ(SF_SUCCESS, first.updateRuleStore());

    SFRuleManager& second = restart();
    EXPECT_FALSE(m_logger.has(2, "Caught exception. Clearing our store and returning."));
    EXPECT_EQ((std::vector<std::string>{"Primary group", "QTZ Client", "QTZ Adaptive", "Office",
                                        "QTZ WZ"}),
              groupNames(second));
    EXPECT_NE(second.copyRule(kUser, ruleId), nullptr);
    EXPECT_EQ(ruleNames(second, kClient).size(), 4u); // built-ins are not added twice
    const auto agentAfter = second.copyGroup(kAgent);
    ASSERT_EQ(agentBefore->rules.size(), agentAfter->rules.size());
    auto before = agentBefore->rules.begin();
    for (const SFRule* after : agentAfter->rules)
        EXPECT_FALSE(sameGuidBytes(after->ruleId, (*before++)->ruleId)) << after->name;
    EXPECT_EQ(ruleNames(second, kDefault).size(), 3u);
}

TEST_F(SFRuleManagerTest, DamagedOrNewerStoreIsSetAsideAndReplaced)
{
    for (const std::string& content : {std::string("22 serialization::archive 13 0 0 7 junk"),
                                      std::string("22 serialization::archive 19 0 0 0 0 0")}) {
        SCOPED_TRACE(content);
        SFRuleManager::releaseInstance();
        ::unlink((m_path + ".corrupt").c_str());
        writeFile(m_path, content);
        m_logger.clear();
        SFRuleManager& rules = manager();
        EXPECT_TRUE(m_logger.has(2, "Caught exception. Clearing our store and returning."));
        EXPECT_EQ(readFile(m_path + ".corrupt"), content);
        EXPECT_EQ(groupNames(rules).size(), 4u);
        EXPECT_EQ(ruleNames(rules, kClient).size(), 4u); // treated as a fresh store
        EXPECT_NE(readFile(m_path), content);
    }
}

TEST_F(SFRuleManagerTest, EmptyStoreCountsAsFreshAndIsNotKept)
{
    writeFile(m_path, "");
    SFRuleManager& rules = manager();
    EXPECT_EQ(ruleNames(rules, kClient).size(), 4u);
    EXPECT_EQ(TestSupport::fileMode(m_path + ".corrupt"), -1);
}

TEST_F(SFRuleManagerTest, RulesAreFiledOnlyWhereTheyMayGo)
{
    SFRuleManager& rules = manager();
    SFRule* plain = userRule("plain", GUID());
    EXPECT_EQ(SF_SUCCESS, rules.addRule(plain));
    EXPECT_TRUE(sameGuidText(plain->groupId, kDefault)); // a null group means the default one
    EXPECT_EQ((std::vector<std::string>{"Jump to group QTZ WZ", "plain", "Jump to group QTZ Client",
                                        "Jump to group QTZ Adaptive"}),
              ruleNames(rules, kDefault));

    std::unique_ptr<SFRule> jump(userRule("jump", kClient));
    jump->action = FW_ACTION_JUMP;
    EXPECT_EQ(SF_RULE_REFUSED, rules.addRule(jump.get())); // still ours: unique_ptr frees it
    EXPECT_TRUE(m_logger.has(6, "Jump Rule can only be added to default group"));

    std::unique_ptr<SFRule> lost(userRule("lost", kUser));
    EXPECT_EQ(SF_RULE_REFUSED, rules.addRule(lost.get()));
    EXPECT_EQ(SF_RULE_REFUSED, rules.addRule(nullptr));
}

TEST_F(SFRuleManagerTest, FixedGroupsCannotBeDeletedButTheAgentGroupCan)
{
    SFRuleManager& rules = manager();
    for (const GUID& id : {kDefault, kClient, kAdaptive})
        EXPECT_EQ(SF_GROUP_TO_DELETE_NOT_FOUND, rules.delGroup(id));
    EXPECT_TRUE(m_logger.has(6, "We are not allowed to delete client side or Adaptive group"));
    EXPECT_EQ(SF_SUCCESS, rules.delGroup(kAgent));
    EXPECT_EQ((std::vector<std::string>{"Jump to group QTZ Client", "Jump to group QTZ Adaptive"}),
              ruleNames(rules, kDefault));
}

TEST_F(SFRuleManagerTest, DeletesAndUpdatesNameTheirMissingTargets)
{
    SFRuleManager& rules = manager();
    EXPECT_EQ(SF_RULE_TO_DELETE_NOT_FOUND, rules.delRule(kUser, kClient));
    EXPECT_EQ(SF_RULE_TO_DELETE_NOT_FOUND, rules.delRule(kClient, kUser));
    EXPECT_EQ(SF_INVALID_ARGUMENT, rules.updateRule(nullptr));
    std::unique_ptr<SFRule> orphan(userRule("orphan", kUser));
    EXPECT_EQ(SF_RULE_UPDATE_GROUP_MISSING, rules.updateRule(orphan.get()));
    EXPECT_EQ(SF_GROUP_TO_UPDATE_NOT_FOUND, rules.updateGroup(nullptr));
}

TEST_F(SFRuleManagerTest, DeletingAllGroupsRebuildsExactlyTheFixedLayout)
{
    SFRuleManager& rules = manager();
    ASSERT_EQ(SF_SUCCESS, rules.addGroup(userGroup()));
    ASSERT_EQ(SF_SUCCESS, rules.addRule(userRule("plain", GUID())));

    EXPECT_EQ(SF_SUCCESS, rules.delAllGroups(true));
    EXPECT_EQ(groupNames(rules).size(), 4u);
    EXPECT_EQ(ruleNames(rules, kDefault).size(), 3u);
    EXPECT_EQ(ruleNames(rules, kClient).size(), 4u);

    EXPECT_EQ(SF_SUCCESS, rules.delAllGroups(false));
    EXPECT_EQ((std::vector<std::string>{"Primary group", "QTZ Client", "QTZ Adaptive", "QTZ WZ"}),
              groupNames(rules));
    EXPECT_EQ((std::vector<std::string>{"Jump to group QTZ WZ", "Jump to group QTZ Client",
                                        "Jump to group QTZ Adaptive"}),
              ruleNames(rules, kDefault));
    EXPECT_TRUE(ruleNames(rules, kClient).empty()); // no built-in client rules this time
    EXPECT_FALSE(rules.isClientSideRulesPresent());
}

TEST_F(SFRuleManagerTest, ClientSideRulesCanBeFlushed)
{
    SFRuleManager& rules = manager();
    EXPECT_TRUE(rules.isClientSideRulesPresent());
    EXPECT_EQ(SF_SUCCESS, rules.flushClientSideRules());
    EXPECT_FALSE(rules.isClientSideRulesPresent());
    EXPECT_EQ(groupNames(rules).size(), 4u);

    m_config.set("GlobalConfiguration.RetainExistingClientRules", "0");
    ASSERT_EQ(SF_SUCCESS, rules.addRule(userRule("client", kClient)));
    auto* helper = SFRuleEnginePolicyHelper::getInstance(m_logger, m_config);
    EXPECT_EQ(SF_SUCCESS, helper->handleEnforceRulePolicy());
    EXPECT_FALSE(rules.isClientSideRulesPresent());
    SFRuleEnginePolicyHelper::releaseInstance();
}

TEST_F(SFRuleManagerTest, MarksMapToTheLastRuleRecorded)
{
    SFRuleManager& rules = manager();
    KGUID out = toKGUID(kUser);
    EXPECT_FALSE(rules.getNfMarkVsRuleUid(257, &out));
    EXPECT_EQ(out.Data1, toKGUID(kUser).Data1); // untouched
    rules.updateNfMarkVsRuleUid(257, toKGUID(kClient));
    rules.updateNfMarkVsRuleUid(257, toKGUID(kAgent));
    ASSERT_TRUE(rules.getNfMarkVsRuleUid(257, &out));
    EXPECT_TRUE(sameGuidBytes(fromKGUID(out), kAgent));
}

TEST_F(SFRuleManagerTest, CopiesAreDetachedAndWriteBacksFindTheLiveObjects)
{
    SFRuleManager& rules = manager();
    auto copy = rules.copyGroup(kClient);
    ASSERT_NE(copy, nullptr);
    copy->name = "changed";
    EXPECT_EQ(rules.copyGroup(kClient)->name, "QTZ Client");

    const GUID sshId = copy->rules.front()->ruleId;
    EXPECT_TRUE(rules.setRuleEnforced(kClient, sshId, true));
    EXPECT_TRUE(rules.copyRule(kClient, sshId)->enforced);
    EXPECT_TRUE(rules.setGroupEnforced(kClient, true));
    EXPECT_TRUE(rules.setGroupChainName(kClient, "QTZ_Client_1"));
    EXPECT_EQ(rules.copyGroup(kClient)->chainName, "QTZ_Client_1");
    EXPECT_FALSE(rules.setRuleEnforced(kUser, sshId, true));
    rules.disableAllRuleAndGroupEnforcement();
    EXPECT_FALSE(rules.copyRule(kClient, sshId)->enforced);
}

// Every group with its rules as "name@position", in table order; not the agent group, which
// every start builds anew at the end of the table.
std::vector<std::string> layout(SFRuleManager& manager)
{
    std::vector<std::string> lines;
    for (const auto& group : manager.snapshot().groups) {
        if (sameGuidBytes(group->groupId, kAgent))
            continue;
        std::string line = group->name + ":";
        for (const SFRule* rule : group->rules)
            line += " " + rule->name + "@" + std::to_string(rule->position);
        lines.push_back(line);
    }
    return lines;
}

// The user's rules of a group, built-in ones left out.
std::vector<std::string> userRuleNames(SFRuleManager& manager, const GUID& groupId)
{
    std::vector<std::string> names;
    for (const std::string& name : ruleNames(manager, groupId))
        if (name.rfind("Varnik-", 0) != 0 && name.rfind("Jump to group ", 0) != 0)
            names.push_back(name);
    return names;
}

// Every kind of rule change, each followed by the store update: a new manager on the same
// store loads the table as it was.
TEST_F(SFRuleManagerTest, EveryUpdatedChangeIsWhatTheNextStartLoads)
{
    using Names = std::vector<std::string>;
    GUID firstId{}, secondId{}, thirdId{}, officeId{};
    auto addTo = [](SFRuleManager& m, const char* name, const GUID& groupId, GUID& id) {
        SFRule* rule = userRule(name, groupId);
        id = rule->ruleId;
        const int result = m.addRule(rule);
        if (result != SF_SUCCESS && result != SF_RULE_POSITION_CHANGED)
            delete rule;
        return result;
    };
    struct Step {
        const char* name;
        std::function<int(SFRuleManager&)> change;
        const GUID& groupId; // the group whose user rules are checked
        Names expected;
    };
    const std::vector<Step> steps = {
        {"add a rule", [&](auto& m) { return addTo(m, "first", kClient, firstId); }, kClient, {"first"}},
        {"add a second", [&](auto& m) { return addTo(m, "second", kClient, secondId); }, kClient,
         {"first", "second"}},
        {"add a third", [&](auto& m) { return addTo(m, "third", kClient, thirdId); }, kClient,
         {"first", "second", "third"}},
        {"move the third to the top",
         [&](auto& m) {
             std::unique_ptr<SFRule> moved = m.copyRule(kClient, thirdId);
             if (!moved)
                 return SF_RULE_UPDATE_GROUP_MISSING;
             moved->position = 1;
             const int result = m.updateRule(moved.get());
             if (result == SF_SUCCESS)
                 moved.release();
             return result;
         },
         kClient, {"third", "first", "second"}},
        {"delete the middle one", [&](auto& m) { return m.delRule(kClient, firstId); }, kClient,
         {"third", "second"}},
        {"add a group and a rule in it",
         [&](auto& m) {
             const int added = m.addGroup(userGroup());
             return added != SF_SUCCESS ? added : addTo(m, "Office 8080", kUser, officeId);
         },
         kUser, {"Office 8080"}},
        {"delete the group's rule", [&](auto& m) { return m.delRule(kUser, officeId); }, kUser, {}},
    };
    SFRuleManager* rules = &manager();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        ASSERT_EQ(step.change(*rules), SF_SUCCESS);
        ASSERT_EQ(userRuleNames(*rules, step.groupId), step.expected);
        const std::vector<std::string> before = layout(*rules);
        ASSERT_EQ(rules->updateRuleStore(), SF_SUCCESS);

        rules = &restart();
        EXPECT_EQ(layout(*rules), before);
        EXPECT_EQ(userRuleNames(*rules, step.groupId), step.expected);
    }
}

TEST_F(SFRuleManagerTest, FailedStoreWriteAnswers150001AndKeepsTheOldStore)
{
    SFRuleManager& rules = manager();
    const std::string before = readFile(m_path);
    m_config.set("GlobalConfiguration.RuleStorePath", m_dir.file("missing/rule-store.data"));
    EXPECT_EQ(SF_STORE_WRITE_FAILED, rules.updateRuleStore());
    EXPECT_TRUE(m_logger.has(2, "Could not open Rule Store file"));
    EXPECT_EQ(readFile(m_path), before);
}

} // namespace
