#pragma once

// An ordered group of rules with its own matches.
//
// Ownership: the group owns its matches and rules. addGrpMatch and addRule take ownership of
// their argument whatever the result (a null argument aside); updateRule takes it on success
// and leaves it with the caller when it answers 150025. Thread safety: the rules and matches of
// every group are guarded by the class-wide m_guardRuleAndMatchList (lock order: after
// SFRuleTable::m_guardRuleGroupList, before SFRule::m_guardMatchList). Operations named
// "...Locked" expect the caller to hold it. Copying and equality take no lock.

#include "SFTypes.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <list>
#include <string>

namespace StatefulFirewall {

class SFMatch;
class SFRule;

class SFRuleGroup {
public:
    SFRuleGroup();
    SFRuleGroup(const SFRuleGroup& other); // deep: copies every match and rule
    ~SFRuleGroup();
    SFRuleGroup& operator=(const SFRuleGroup&) = delete;

    int addGrpMatch(SFMatch* match); // 150000, or 150020 for null
    void removeAllMatches();

    // Files the rule: in the client group at its position, in the default group before the
    // last two rules (the jumps to the client and adaptive groups) except an agent-group jump,
    // which goes first; elsewhere at the end. 150000, 150022 (filed elsewhere than asked) or
    // 150021 (null). Renumbers the group.
    int addRule(SFRule* rule);
    // Replaces the stored rule with the same ruleId (moving it in the client group when its
    // position changed): 150000 or 150022; 150025 when none matches or the move cannot be made,
    // in which case nothing changes and the caller keeps rule.
    int updateRule(SFRule* rule);
    int delRule(GUID ruleId); // 150000, or 150023 when not found
    SFRule* findRule(GUID ruleId);
    SFRule* getRule(GUID ruleId) { return findRule(ruleId); }
    SFRule* findAdaptiveRule(uint32_t key);
    // all: frees every rule; otherwise only those whose keep is false.
    void removeAllRules(bool all);

    // Need m_guardRuleAndMatchList held.
    int addRuleLocked(SFRule* rule);
    int delRuleLocked(const GUID& ruleId);
    SFRule* findRuleLocked(const GUID& ruleId);
    bool replaceRule(SFRule* rule);
    bool addAtIndex(int position, SFRule* rule);
    void updateAllRuleIndex();

    bool isClientGroup() const;
    bool isDefaultGroup() const;
    bool isAdaptiveGroup() const;

    bool operator==(const SFRuleGroup& other) const;
    void logRuleGroupDetails() const {}

    static boost::mutex m_guardRuleAndMatchList;

    GUID groupId;
    std::string name;
    std::string chainName; // from which the iptables chain names are made
    std::string description;
    bool enabled;
    bool auxFlag; // kept, copied and archived; nothing reads it
    int transport;
    int netProto;
    bool enforced;
    int msgType;
    std::list<SFMatch*> matches;
    std::list<SFRule*> rules;
};

} // namespace StatefulFirewall
