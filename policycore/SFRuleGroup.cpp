#include "SFRuleGroup.h"

#include "CommonFunc.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"

#include <algorithm>

namespace StatefulFirewall {

boost::mutex SFRuleGroup::m_guardRuleAndMatchList;

namespace {

using Lock = boost::lock_guard<boost::mutex>;

const GUID& clientGroupId()
{
    static const GUID id = CommonFunc::getGUIDFromString(SF_CLIENT_GROUP_ID);
    return id;
}

const GUID& defaultGroupId()
{
    static const GUID id = CommonFunc::getGUIDFromString(SF_DEFAULT_GROUP_ID);
    return id;
}

const GUID& adaptiveGroupId()
{
    static const GUID id = CommonFunc::getGUIDFromString(SF_ADAPTIVE_GROUP_ID);
    return id;
}

const GUID& agentGroupId()
{
    static const GUID id = CommonFunc::getGUIDFromString(SF_AGENT_GROUP_ID);
    return id;
}

} // namespace

SFRuleGroup::SFRuleGroup()
    : groupId(), enabled(false), auxFlag(false), transport(FW_TRANS_PROTO_NOT_SET),
      netProto(NET_PROTO_ANY), enforced(false), msgType(FW_MSG_TYPE_UNKNOWN)
{
}

SFRuleGroup::SFRuleGroup(const SFRuleGroup& other)
    : groupId(other.groupId), name(other.name), chainName(other.chainName),
      description(other.description), enabled(other.enabled), auxFlag(other.auxFlag),
      transport(other.transport), netProto(other.netProto), enforced(other.enforced),
      msgType(other.msgType)
{
    for (const SFMatch* match : other.matches)
        if (match != nullptr)
            matches.push_back(new SFMatch(*match));
    for (const SFRule* rule : other.rules)
        if (rule != nullptr)
            rules.push_back(new SFRule(*rule));
}

SFRuleGroup::~SFRuleGroup()
{
    removeAllMatches();
    removeAllRules(true);
}

bool SFRuleGroup::isClientGroup() const
{
    return sameGuidText(groupId, clientGroupId());
}

bool SFRuleGroup::isDefaultGroup() const
{
    return sameGuidText(groupId, defaultGroupId());
}

bool SFRuleGroup::isAdaptiveGroup() const
{
    return sameGuidText(groupId, adaptiveGroupId());
}

int SFRuleGroup::addGrpMatch(SFMatch* match)
{
    if (match == nullptr)
        return SF_NO_MATCH_FOR_GROUP;
    Lock lock(m_guardRuleAndMatchList);
    matches.push_back(match);
    return SF_SUCCESS;
}

void SFRuleGroup::removeAllMatches()
{
    std::list<SFMatch*> doomed;
    {
        // Walkers of the group's matches hold this lock; unlink under it, free outside.
        Lock lock(m_guardRuleAndMatchList);
        doomed.swap(matches);
    }
    for (SFMatch* match : doomed)
        delete match;
}

int SFRuleGroup::addRule(SFRule* rule)
{
    if (rule == nullptr)
        return SF_RULE_REFUSED;
    Lock lock(m_guardRuleAndMatchList);
    return addRuleLocked(rule);
}

int SFRuleGroup::addRuleLocked(SFRule* rule)
{
    if (rule == nullptr)
        return SF_RULE_REFUSED;
    int result = SF_SUCCESS;
    // Only the client group honours a requested place; elsewhere rules go to the end.
    int place = isClientGroup() ? rule->position : -1;
    const int count = static_cast<int>(rules.size());

    if (isDefaultGroup() && rule->action == FW_ACTION_JUMP &&
        sameGuidText(rule->jumpTarget, agentGroupId())) {
        // The management agent's rules are looked at before anything else.
        rules.push_front(rule);
    } else {
        // The default group ends with the jumps to the client and adaptive groups: later rules
        // go in front of those two.
        if (isDefaultGroup() && count >= 2)
            place = count - 1;
        if (place == -1) {
            rules.push_back(rule);
        } else if (place > count) {
            rules.push_back(rule);
            result = SF_RULE_POSITION_CHANGED;
        } else if (place <= 0) {
            rules.push_front(rule);
            result = SF_RULE_POSITION_CHANGED;
        } else if (!addAtIndex(place, rule)) {
            rules.push_back(rule);
        }
    }
    updateAllRuleIndex();
    return result;
}

bool SFRuleGroup::addAtIndex(int position, SFRule* rule)
{
    if (rule == nullptr)
        return false;
    int index = 0;
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        if (*it == nullptr)
            continue;
        if (++index == position) {
            rules.insert(it, rule);
            return true;
        }
    }
    return false;
}

void SFRuleGroup::updateAllRuleIndex()
{
    int position = 0;
    for (SFRule* rule : rules)
        if (rule != nullptr)
            rule->position = ++position;
}

SFRule* SFRuleGroup::findRuleLocked(const GUID& ruleId)
{
    for (SFRule* rule : rules)
        if (rule != nullptr && sameGuidBytes(rule->ruleId, ruleId))
            return rule;
    return nullptr;
}

SFRule* SFRuleGroup::findRule(GUID ruleId)
{
    Lock lock(m_guardRuleAndMatchList);
    return findRuleLocked(ruleId);
}

SFRule* SFRuleGroup::findAdaptiveRule(uint32_t key)
{
    if (key == SF_NO_ADAPTIVE_KEY || !isAdaptiveGroup())
        return nullptr;
    Lock lock(m_guardRuleAndMatchList);
    for (SFRule* rule : rules)
        if (rule != nullptr && rule->adaptiveKey == key)
            return rule;
    return nullptr;
}

bool SFRuleGroup::replaceRule(SFRule* rule)
{
    if (rule == nullptr)
        return false;
    for (SFRule*& stored : rules) {
        if (stored != nullptr && sameGuidBytes(stored->ruleId, rule->ruleId)) {
            SFRule* old = stored;
            stored = rule;
            delete old;
            return true;
        }
    }
    return false;
}

int SFRuleGroup::updateRule(SFRule* rule)
{
    if (rule == nullptr)
        return SF_RULE_TO_UPDATE_NOT_FOUND;
    Lock lock(m_guardRuleAndMatchList);
    auto stored = std::find_if(rules.begin(), rules.end(), [&](const SFRule* r) {
        return r != nullptr && sameGuidBytes(r->ruleId, rule->ruleId);
    });
    if (stored == rules.end())
        return SF_RULE_TO_UPDATE_NOT_FOUND;

    if (!isClientGroup() || rule->position == -1 || rule->position == (*stored)->position) {
        replaceRule(rule);
        updateAllRuleIndex();
        return SF_SUCCESS;
    }

    // A move within the client group, done under one hold: other threads never see the rule
    // missing, and the stored rule is freed only once the new one is in place.
    int result = SF_SUCCESS;
    if (rule->position <= 0) {
        rule->position = 1;
        result = SF_RULE_POSITION_CHANGED;
    }
    SFRule* old = *stored;
    rules.erase(stored);
    if (!addAtIndex(rule->position, rule))
        rules.push_back(rule);
    delete old;
    updateAllRuleIndex();
    return result;
}

int SFRuleGroup::delRuleLocked(const GUID& ruleId)
{
    auto stored = std::find_if(rules.begin(), rules.end(), [&](const SFRule* r) {
        return r != nullptr && sameGuidBytes(r->ruleId, ruleId);
    });
    if (stored == rules.end())
        return SF_RULE_TO_DELETE_NOT_FOUND;
    SFRule* old = *stored;
    rules.erase(stored);
    delete old;
    updateAllRuleIndex();
    return SF_SUCCESS;
}

int SFRuleGroup::delRule(GUID ruleId)
{
    Lock lock(m_guardRuleAndMatchList);
    return delRuleLocked(ruleId);
}

void SFRuleGroup::removeAllRules(bool all)
{
    std::list<SFRule*> doomed;
    {
        Lock lock(m_guardRuleAndMatchList);
        for (auto it = rules.begin(); it != rules.end();) {
            if (all || *it == nullptr || !(*it)->keep) {
                doomed.push_back(*it);
                it = rules.erase(it);
            } else {
                ++it;
            }
        }
        // Kept rules close up, so positions stay 1..n in the store and in listings.
        updateAllRuleIndex();
    }
    // Freed outside the lock: a rule's destructor takes the match lock, and nothing else may
    // still reach these rules.
    for (SFRule* rule : doomed)
        delete rule;
}

bool SFRuleGroup::operator==(const SFRuleGroup& other) const
{
    if (!sameGuidText(groupId, other.groupId) || enabled != other.enabled ||
        auxFlag != other.auxFlag || name != other.name || transport != other.transport ||
        netProto != other.netProto || msgType != other.msgType ||
        matches.size() != other.matches.size() || rules.size() != other.rules.size())
        return false;
    auto theirMatch = other.matches.begin();
    for (const SFMatch* match : matches) {
        const SFMatch* theirs = *theirMatch++;
        if (match == nullptr || theirs == nullptr ? match != theirs : !(*match == *theirs))
            return false;
    }
    auto theirRule = other.rules.begin();
    for (const SFRule* rule : rules) {
        const SFRule* theirs = *theirRule++;
        if (rule == nullptr || theirs == nullptr ? rule != theirs : !(*rule == *theirs))
            return false;
    }
    return true;
}

} // namespace StatefulFirewall
