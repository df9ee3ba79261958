// Rule and group changes from several threads while a reader walks the table under the
// class-wide locks, the way the tool and the daemon do. Run under TSan as well as ASan.

#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"

#include <gtest/gtest.h>

#include <boost/thread/lock_types.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <string>
#include <vector>

using namespace StatefulFirewall;

namespace {

using Lock = boost::lock_guard<boost::mutex>;

const GUID kDefault = CommonFunc::getGUIDFromString(SF_DEFAULT_GROUP_ID);
const GUID kClient = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
const GUID kAgent = CommonFunc::getGUIDFromString(SF_AGENT_GROUP_ID);
const GUID kAdaptive = CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
const GUID kUser = CommonFunc::getGUIDFromString("0a0a0a0a-1111-2222-3333-444455556666");

constexpr int kRulesPerWriter = 500;

GUID ruleIdOf(int writer, int n)
{
    GUID id{};
    id.Data1 = 0x50000000ul + static_cast<unsigned long>(writer);
    id.Data2 = static_cast<uint16_t>(n);
    id.Data3 = 0x4000;
    id.Data4[0] = 0x80;
    return id;
}

SFRule* makeRule(const GUID& id, int position)
{
    auto* rule = new SFRule();
    rule->ruleId = id;
    rule->position = position;
    rule->enabled = true;
    rule->action = FW_ACTION_BLOCK_PACKET;
    auto* match = new SFMatch();
    match->matchType = FW_MATCH_REMOTE_PORT;
    match->addressType = FW_ADDRESS_TYPE_SINGLE;
    match->setPortNumber(static_cast<uint16_t>(position + 2000), 0);
    rule->addMatch(match);
    return rule;
}

SFRule* makeJump(int n, const GUID& target)
{
    SFRule* rule = makeRule(ruleIdOf(9, n), -1);
    rule->action = FW_ACTION_JUMP;
    rule->jumpTarget = target;
    rule->keep = true;
    return rule;
}

// Files, moves and deletes rules of one group; every odd rule is deleted again. With
// holdGroupList the writer keeps the group-list lock while it uses the group, as the rule
// manager does; without it the group's own lock is all that guards the change.
void writeRules(SFRuleTable& table, const GUID& groupId, int writer, bool holdGroupList)
{
    SFRuleGroup* const group = table.findGroup(groupId);
    ASSERT_NE(nullptr, group);
    for (int n = 0; n < kRulesPerWriter; ++n) {
        boost::unique_lock<boost::mutex> groupsLock(SFRuleTable::m_guardRuleGroupList,
                                                    boost::defer_lock);
        if (holdGroupList)
            groupsLock.lock();
        SFRule* rule = makeRule(ruleIdOf(writer, n), n % 4);
        rule->adaptiveKey = static_cast<uint32_t>(writer * 1000 + n);
        group->addRule(rule);
        if (n % 2 == 1) {
            ASSERT_EQ(SF_SUCCESS, group->delRule(ruleIdOf(writer, n)));
        } else if (n % 3 == 0) {
            SFRule* update = makeRule(ruleIdOf(writer, n), 1 + n % 5);
            const int result = group->updateRule(update);
            ASSERT_TRUE(result == SF_SUCCESS || result == SF_RULE_POSITION_CHANGED) << result;
        }
    }
}

// Every group's rules are numbered 1..n whenever the rule lock is free.
bool walkTable(const SFRuleTable& table, int& matchesSeen)
{
    Lock groupsLock(SFRuleTable::m_guardRuleGroupList);
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    Lock matchesLock(SFRule::m_guardMatchList);
    for (SFRuleGroup* group : table.groups) {
        group->enforced = true;
        int expected = 0;
        for (SFRule* rule : group->rules) {
            if (rule->position != ++expected)
                return false;
            rule->enforced = true;
            matchesSeen += static_cast<int>(rule->matches.size());
        }
    }
    return true;
}

// The daemon's way of reading one group it already holds: the rule lock alone.
template <typename Predicate>
int countRules(const SFRuleGroup& group, Predicate predicate)
{
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    int count = 0;
    for (const SFRule* rule : group.rules)
        if (predicate(*rule))
            ++count;
    return count;
}

bool isEnabledJump(const SFRule& rule)
{
    return rule.action == FW_ACTION_JUMP && rule.enabled;
}

// Client-group rules that are only ever moved, never deleted.
constexpr int kResidents = 5;
constexpr int kResidentWriter = 8;

bool isResident(const SFRule& rule)
{
    return rule.ruleId.Data1 == ruleIdOf(kResidentWriter, 0).Data1;
}

} // namespace

TEST(SFRuleTableConcurrencyTest, ParallelChangesKeepGroupsConsistent)
{
    SFRuleTable table;
    table.defaultGroupId = kDefault;
    table.clientGroupId = kClient;
    table.agentGroupId = kAgent;
    table.adaptiveGroupId = kAdaptive;
    ASSERT_EQ(SF_SUCCESS, table.addDefaultGroup());
    ASSERT_EQ(SF_SUCCESS, table.addClientSideGroup());
    ASSERT_EQ(SF_SUCCESS, table.addYalAgentGroup());
    ASSERT_EQ(SF_SUCCESS, table.addAdaptiveGroup());
    SFRuleGroup* user = new SFRuleGroup();
    user->groupId = kUser;
    ASSERT_EQ(SF_SUCCESS, table.addGroup(user));
    SFRuleGroup* primary = table.findGroup(kDefault);
    primary->addRule(makeJump(2, kClient));
    primary->addRule(makeJump(3, kAdaptive));
    primary->addRule(makeJump(1, kAgent));
    SFRuleGroup* client = table.findGroup(kClient);
    for (int n = 0; n < kResidents; ++n)
        client->addRule(makeRule(ruleIdOf(kResidentWriter, n), -1));

    std::atomic<int> writersLeft{3};
    std::atomic<bool> inconsistent{false};
    int walks = 0;
    int matchesSeen = 0;
    std::vector<int> counts;

    boost::thread_group threads;
    const GUID written[] = {kClient, kUser, kAdaptive};
    for (int writer = 0; writer < 3; ++writer) {
        threads.create_thread([&, writer] {
            writeRules(table, written[writer], writer, writer == 0);
            --writersLeft;
        });
    }
    // Moves within the client group: other threads must never see a moved rule missing.
    threads.create_thread([&] {
        for (int n = 0; n < 100 || writersLeft > 0; ++n) {
            SFRule* update = makeRule(ruleIdOf(kResidentWriter, n % kResidents), 1 + n * 7 % 9);
            ASSERT_EQ(SF_SUCCESS, client->updateRule(update));
        }
    });
    // Temporary groups with jumps to them, deleted again: the jumps must go with them.
    threads.create_thread([&] {
        for (int n = 0; n < 40 || writersLeft > 0; ++n) {
            GUID id = CommonFunc::getGUIDFromString("0d0d0d0d-1111-2222-3333-444455556666");
            id.Data2 = static_cast<uint16_t>(n);
            auto* group = new SFRuleGroup();
            group->groupId = id;
            ASSERT_EQ(SF_SUCCESS, table.addGroup(group));
            SFRule* jump = makeJump(100 + n, id);
            jump->keep = false;
            table.findGroup(kDefault)->addRule(jump);
            ASSERT_EQ(SF_SUCCESS, table.delGroup(id));
        }
    });
    threads.create_thread([&] {
        bool enable = false;
        do {
            counts.push_back(table.getRuleCount(kClient));
            counts.push_back(table.getRuleCount(kUser));
            table.disableAllRuleAndGroupEnforcement();
            table.enableOrDisableJumpRule(enable, SF_CLIENT_GROUP_ID);
            table.getAdaptiveRule(2000 + kRulesPerWriter / 2);
            enable = !enable;
        } while (writersLeft > 0);
        table.enableOrDisableJumpRule(false, SF_CLIENT_GROUP_ID);
    });
    threads.create_thread([&] {
        do {
            if (!walkTable(table, matchesSeen))
                inconsistent = true;
            if (countRules(*primary, isEnabledJump) < 2 ||
                countRules(*client, isResident) != kResidents)
                inconsistent = true;
            ++walks;
        } while (writersLeft > 0);
    });
    threads.join_all();

    EXPECT_FALSE(inconsistent) << "a reader saw gaps in a numbering or a rule missing";
    EXPECT_GT(walks, 0);
    for (int count : counts) {
        EXPECT_GE(count, 0);
        EXPECT_LE(count, kRulesPerWriter + kResidents);
    }

    const int kept = kRulesPerWriter / 2;
    EXPECT_EQ(kept + kResidents, table.getRuleCount(kClient));
    EXPECT_EQ(kResidents, countRules(*client, isResident));
    EXPECT_EQ(kept, table.getRuleCount(kUser));
    EXPECT_EQ(kept, table.getRuleCount(kAdaptive));
    EXPECT_EQ(3, table.getRuleCount(kDefault));
    EXPECT_EQ(5u, table.groups.size());
    EXPECT_FALSE(table.getRule(kDefault, ruleIdOf(9, 2))->enabled);
    EXPECT_NE(nullptr, table.getAdaptiveRule(2000 + 4));
    int dummy = 0;
    EXPECT_TRUE(walkTable(table, dummy));
}
