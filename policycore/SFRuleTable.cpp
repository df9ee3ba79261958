#include "SFRuleTable.h"

#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"

#include <algorithm>
#include <vector>

namespace StatefulFirewall {

boost::mutex SFRuleTable::m_guardRuleGroupList;

namespace {

using Lock = boost::lock_guard<boost::mutex>;

SFMatch* intMatch(int type, int value)
{
    auto* match = new SFMatch();
    match->matchType = type;
    match->matchOp = FW_MATCH_OP_EQUAL;
    match->value.intValue = value;
    return match;
}

// A fixed group as the table creates it: enabled, any protocol, either direction, all media.
SFRuleGroup* makeFixedGroup(const GUID& id, const char* name, const char* chainName, int msgType)
{
    auto* group = new SFRuleGroup();
    group->groupId = id;
    group->name = name;
    group->chainName = chainName;
    group->enabled = true;
    group->transport = FW_TRANS_PROTO_ANY;
    group->netProto = NET_PROTO_ANY;
    group->msgType = msgType;
    group->matches.push_back(intMatch(FW_MATCH_DIRECTION, FW_DIRECTION_EITHER));
    group->matches.push_back(intMatch(FW_MATCH_PHYSICAL_MEDIUM, IF_ALL));
    return group;
}

} // namespace

SFRuleTable::SFRuleTable() : agentGroupId(), clientGroupId(), adaptiveGroupId(), defaultGroupId()
{
}

SFRuleTable::~SFRuleTable()
{
    for (SFRuleGroup* group : groups)
        delete group;
}

int SFRuleTable::addDefaultGroupLocked()
{
    groups.push_back(makeFixedGroup(defaultGroupId, "Primary group", "", FW_ICMP_ANY));
    return SF_SUCCESS;
}

int SFRuleTable::addClientSideGroupLocked()
{
    groups.push_back(makeFixedGroup(clientGroupId, "QTZ Client", "QTZ_Client", FW_ICMP_ANY));
    return SF_SUCCESS;
}

int SFRuleTable::addYalAgentGroupLocked()
{
    groups.push_back(makeFixedGroup(agentGroupId, "QTZ WZ", "QTZ_WZ", FW_MSG_TYPE_UNKNOWN));
    return SF_SUCCESS;
}

int SFRuleTable::addAdaptiveGroupLocked()
{
    groups.push_back(makeFixedGroup(adaptiveGroupId, "QTZ Adaptive", "QTZ_Adaptive", FW_ICMP_ANY));
    return SF_SUCCESS;
}

int SFRuleTable::addDefaultGroup()
{
    Lock lock(m_guardRuleGroupList);
    return addDefaultGroupLocked();
}

int SFRuleTable::addClientSideGroup()
{
    Lock lock(m_guardRuleGroupList);
    return addClientSideGroupLocked();
}

int SFRuleTable::addYalAgentGroup()
{
    Lock lock(m_guardRuleGroupList);
    return addYalAgentGroupLocked();
}

int SFRuleTable::addAdaptiveGroup()
{
    Lock lock(m_guardRuleGroupList);
    return addAdaptiveGroupLocked();
}

bool SFRuleTable::isDefaultGroup(const GUID& id) const
{
    return sameGuidText(id, defaultGroupId);
}

bool SFRuleTable::isYalAgentGroup(const GUID& id) const
{
    return sameGuidText(id, agentGroupId);
}

bool SFRuleTable::isClientSideGroup(const GUID& id) const
{
    return sameGuidText(id, clientGroupId);
}

bool SFRuleTable::isAdaptiveGroup(const GUID& id) const
{
    return sameGuidText(id, adaptiveGroupId);
}

SFRuleGroup* SFRuleTable::findGroupLocked(const GUID& id)
{
    for (SFRuleGroup* group : groups)
        if (group != nullptr && sameGuidText(group->groupId, id))
            return group;
    return nullptr;
}

SFRuleGroup* SFRuleTable::findGroup(const GUID& id)
{
    Lock lock(m_guardRuleGroupList);
    return findGroupLocked(id);
}

SFRule* SFRuleTable::getRuleLocked(const GUID& groupId, const GUID& ruleId)
{
    SFRuleGroup* group = findGroupLocked(groupId);
    return group == nullptr ? nullptr : group->getRule(ruleId);
}

SFRule* SFRuleTable::getRule(const GUID& groupId, GUID ruleId)
{
    Lock lock(m_guardRuleGroupList);
    return getRuleLocked(groupId, ruleId);
}

SFRule* SFRuleTable::getAdaptiveRule(uint32_t key)
{
    Lock lock(m_guardRuleGroupList);
    SFRuleGroup* group = findGroupLocked(adaptiveGroupId);
    return group == nullptr ? nullptr : group->findAdaptiveRule(key);
}

int SFRuleTable::getRuleCount(const GUID& groupId)
{
    Lock lock(m_guardRuleGroupList);
    SFRuleGroup* group = findGroupLocked(groupId);
    if (group == nullptr)
        return 0;
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    return static_cast<int>(group->rules.size());
}

bool SFRuleTable::setGroupNameForClientSideGroup(const GUID& id)
{
    Lock lock(m_guardRuleGroupList);
    SFRuleGroup* group = findGroupLocked(id);
    if (group == nullptr)
        return false;
    group->name = "QTZ Client";
    group->chainName = "QTZ_Client";
    return true;
}

bool SFRuleTable::setGroupNameForAdaptiveGroup(const GUID& id)
{
    Lock lock(m_guardRuleGroupList);
    SFRuleGroup* group = findGroupLocked(id);
    if (group == nullptr)
        return false;
    group->name = "QTZ Adaptive";
    group->chainName = "QTZ_Adaptive";
    return true;
}

int SFRuleTable::addGroupLocked(SFRuleGroup* group)
{
    if (group == nullptr)
        return SF_GROUP_REFUSED;
    if (findGroupLocked(group->groupId) != nullptr)
        return SF_GROUP_ALREADY_PRESENT;
    groups.push_back(group);
    return SF_SUCCESS;
}

int SFRuleTable::addGroup(SFRuleGroup* group)
{
    Lock lock(m_guardRuleGroupList);
    return addGroupLocked(group);
}

int SFRuleTable::updateGroupLocked(SFRuleGroup* group)
{
    if (group == nullptr)
        return SF_GROUP_TO_UPDATE_NOT_FOUND;
    if (isDefaultGroup(group->groupId))
        return SF_DEFAULT_GROUP_NOT_REPLACEABLE;
    auto stored = std::find(groups.begin(), groups.end(), findGroupLocked(group->groupId));
    if (stored == groups.end() || *stored == nullptr)
        return SF_GROUP_TO_UPDATE_NOT_FOUND;
    if (*stored == group)
        return SF_SUCCESS; // the stored object itself, edited in place: nothing to swap

    // An update changes a group's own fields and matches, never its rules: the new object gets
    // copies of the stored rules, taken while no one can edit them.
    group->removeAllRules(true);
    {
        Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
        Lock matchesLock(SFRule::m_guardMatchList);
        for (const SFRule* rule : (*stored)->rules)
            if (rule != nullptr)
                group->rules.push_back(new SFRule(*rule));
    }
    SFRuleGroup* old = *stored;
    *stored = group;
    delete old;
    return SF_SUCCESS;
}

int SFRuleTable::updateGroup(SFRuleGroup* group)
{
    Lock lock(m_guardRuleGroupList);
    return updateGroupLocked(group);
}

int SFRuleTable::delGroupLocked(const GUID& id)
{
    auto stored = std::find(groups.begin(), groups.end(), findGroupLocked(id));
    if (stored == groups.end() || *stored == nullptr)
        return SF_GROUP_TO_DELETE_NOT_FOUND;
    if (isDefaultGroup(id))
        return SF_SUCCESS; // the default group is never deleted

    SFRuleGroup* old = *stored;
    groups.erase(stored);
    delete old;

    // Jumps to a group that no longer exists would make iptables refuse the whole push.
    SFRuleGroup* primary = findGroupLocked(defaultGroupId);
    if (primary == nullptr)
        return SF_SUCCESS;
    std::vector<GUID> jumps;
    {
        Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
        for (const SFRule* rule : primary->rules)
            if (rule != nullptr && rule->action == FW_ACTION_JUMP && sameGuidText(rule->jumpTarget, id))
                jumps.push_back(rule->ruleId);
    }
    int result = SF_SUCCESS;
    for (const GUID& ruleId : jumps) {
        const int deleted = primary->delRule(ruleId);
        if (deleted != SF_SUCCESS && result == SF_SUCCESS)
            result = deleted;
    }
    return result;
}

int SFRuleTable::delGroup(const GUID& id)
{
    Lock lock(m_guardRuleGroupList);
    return delGroupLocked(id);
}

int SFRuleTable::delAllGroupsLocked(bool keepFixed)
{
    std::list<SFRuleGroup*> doomed;
    if (!keepFixed) {
        doomed.swap(groups);
    } else {
        for (auto it = groups.begin(); it != groups.end();) {
            SFRuleGroup* group = *it;
            if (group != nullptr && (isClientSideGroup(group->groupId) ||
                                     isAdaptiveGroup(group->groupId) ||
                                     isYalAgentGroup(group->groupId))) {
                ++it;
            } else if (group != nullptr && isDefaultGroup(group->groupId)) {
                group->removeAllRules(false); // the built-in jumps are kept
                ++it;
            } else {
                doomed.push_back(group);
                it = groups.erase(it);
            }
        }
    }
    for (SFRuleGroup* group : doomed)
        delete group;
    return SF_SUCCESS;
}

int SFRuleTable::delAllGroups(bool keepFixed)
{
    Lock lock(m_guardRuleGroupList);
    return delAllGroupsLocked(keepFixed);
}

bool SFRuleTable::enableOrDisableJumpRule(bool enable, std::string groupIdText)
{
    Lock lock(m_guardRuleGroupList);
    SFRuleGroup* primary = findGroupLocked(defaultGroupId);
    if (primary == nullptr)
        return false;
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    for (SFRule* rule : primary->rules) {
        if (rule != nullptr && rule->action == FW_ACTION_JUMP &&
            CommonFunc::textGUID(rule->jumpTarget) == groupIdText) {
            rule->enabled = enable;
            return true;
        }
    }
    return false;
}

void SFRuleTable::disableAllRuleAndGroupEnforcement()
{
    Lock lock(m_guardRuleGroupList);
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    for (SFRuleGroup* group : groups) {
        if (group == nullptr)
            continue;
        group->enforced = false;
        for (SFRule* rule : group->rules)
            if (rule != nullptr)
                rule->enforced = false;
    }
}

} // namespace StatefulFirewall
