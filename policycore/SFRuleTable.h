#pragma once

// The ordered list of rule groups the firewall enforces, plus the identifiers of its four fixed
// groups. The root object of the rule store.
//
// Ownership: the table owns its groups. addGroup and updateGroup take ownership on success; a
// refused group stays with the caller. Thread safety: the group list of every table is guarded
// by the class-wide m_guardRuleGroupList, first in the lock order (then
// SFRuleGroup::m_guardRuleAndMatchList, then SFRule::m_guardMatchList). Operations named
// "...Locked" expect the caller to hold m_guardRuleGroupList, so a caller (the rule manager)
// can keep it from look-up to the end of a change; the others take it themselves. The
// mutex is not recursive.

#include "SFTypes.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <list>
#include <string>

namespace StatefulFirewall {

class SFRule;
class SFRuleGroup;

class SFRuleTable {
public:
    SFRuleTable();
    ~SFRuleTable();
    SFRuleTable(const SFRuleTable&) = delete;
    SFRuleTable& operator=(const SFRuleTable&) = delete;

    // Append the fixed groups (identifiers from the fields below): 150000.
    int addDefaultGroup();
    int addClientSideGroup();
    int addYalAgentGroup();
    int addAdaptiveGroup();

    bool isDefaultGroup(const GUID& id) const;
    bool isYalAgentGroup(const GUID& id) const;
    bool isClientSideGroup(const GUID& id) const;
    bool isAdaptiveGroup(const GUID& id) const;

    SFRuleGroup* findGroup(const GUID& id);
    SFRule* getRule(const GUID& groupId, GUID ruleId);
    SFRule* getAdaptiveRule(uint32_t key);
    int getRuleCount(const GUID& groupId);
    bool setGroupNameForClientSideGroup(const GUID& id);
    bool setGroupNameForAdaptiveGroup(const GUID& id);

    int addGroup(SFRuleGroup* group);    // 150000, 150026 null, 150030 already present
    int updateGroup(SFRuleGroup* group); // 150000, 150028 null or missing, 150033 default group
    int delGroup(const GUID& id);        // 150000, 150027 missing; the default group stays
    int delAllGroups(bool keepFixed);    // always 150000
    bool enableOrDisableJumpRule(bool enable, std::string groupIdText);
    void disableAllRuleAndGroupEnforcement();

    // Need m_guardRuleGroupList held.
    int addDefaultGroupLocked();
    int addClientSideGroupLocked();
    int addYalAgentGroupLocked();
    int addAdaptiveGroupLocked();
    SFRuleGroup* findGroupLocked(const GUID& id);
    SFRule* getRuleLocked(const GUID& groupId, const GUID& ruleId);
    int addGroupLocked(SFRuleGroup* group);
    int updateGroupLocked(SFRuleGroup* group);
    int delGroupLocked(const GUID& id);
    int delAllGroupsLocked(bool keepFixed);

    static boost::mutex m_guardRuleGroupList;

    std::list<SFRuleGroup*> groups;
    GUID agentGroupId;
    GUID clientGroupId;
    GUID adaptiveGroupId;
    GUID defaultGroupId;
};

} // namespace StatefulFirewall
