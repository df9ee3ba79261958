#pragma once

// One rule of a group.
//
// Ownership: the rule owns its matches and frees them in its destructor. Thread safety: the
// matches list of every rule is guarded by the class-wide m_guardMatchList (lock order: after
// SFRuleTable::m_guardRuleGroupList and SFRuleGroup::m_guardRuleAndMatchList). The copy
// constructor, equality and GetData take no lock: callers that share a rule lock around them.

#include "SFTypes.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <list>
#include <string>

namespace StatefulFirewall {

class SFMatch;

class SFRule {
public:
    SFRule();
    SFRule(const SFRule& other); // deep: copies every match
    explicit SFRule(const KSFRule& flat);
    ~SFRule();
    SFRule& operator=(const SFRule&) = delete;

    // Takes ownership of match (150000); a null match gives 150019.
    int addMatch(SFMatch* match);
    void removeAllMatches();

    // Compares identifiers, group, flags, texts, protocols and matches; not description,
    // position, keep, enforced or adaptiveKey.
    bool operator==(const SFRule& other) const;
    void logRuleDetails() const {}

    // The flat record handed to the iptables driver.
    KSFRule GetData() const;

    static boost::mutex m_guardMatchList;

    GUID groupId;
    GUID ruleId;
    bool keep;      // survives the emptying of the fixed groups (built-in jump rules)
    int position;   // 1-based place in its group; -1 appends
    bool enabled;
    std::string name;
    std::string description;
    int action;     // SFwActionType
    GUID jumpTarget;
    int transport;  // SFwTransProtocol
    int netProto;   // SFwNetProtocol
    int msgType;    // SFMsgType
    std::list<SFMatch*> matches;
    bool logEnabled;
    bool enforced;  // the daemon's record that the rule is in force
    bool treatAsIntrusion;
    uint32_t adaptiveKey; // key of a learned rule; SF_NO_ADAPTIVE_KEY otherwise
};

// Byte comparison of identifiers (Data1, Data2, Data3, Data4).
bool sameGuidBytes(const GUID& a, const GUID& b);
// Comparison by identifier text, as groups and jump targets are compared.
bool sameGuidText(const GUID& a, const GUID& b);

} // namespace StatefulFirewall
