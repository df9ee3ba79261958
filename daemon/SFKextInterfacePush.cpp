// Applying the rule table: the full push of a new generation, the adaptive group alone, its
// fixed rules and the switch between regular and adaptive mode.

#include "SFKextInterface.h"

#include "CommonFunc.h"
#include "IConfigController.h"
#include "ILogger.h"
#include "SFAdaptiveAggregationWrapper.h"
#include "SFAdaptiveQueueWrapper.h"
#include "SFException.h"
#include "SFIptablesUtils.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleManager.h"
#include "SFTrustedGroupIP.h"
#include "SFTrustedIPGroupManager.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/locks.hpp>

#include <exception>
#include <algorithm>
#include <list>
#include <set>
#include <utility>
#include <vector>

namespace StatefulFirewall {

namespace {

using Lock = boost::lock_guard<boost::mutex>;

constexpr unsigned short FIRST_RULE_MARK = 257;
// The longest wait between two retries of a push that keeps failing on the same rules, in
// health-check periods (40 minutes at the default period of 300 s).
constexpr int MAX_RETRY_PASSES = 8;
const char* const CLIENT_CHAIN_NAME = "QTZ_Client";

const std::string ENFORCE = "Inside enforce rule section. ";

// Chain bases are cut to 13 bytes, which leaves "QTZ_Group_" room for three digits. From the
// 1,000th jump group on, "QTZ_G" (never followed by "r" there) keeps every name whole and
// distinct up to this many groups; the first 999 keep the names they always had.
constexpr int MAX_JUMP_GROUPS = 99999999;

std::string jumpGroupChainName(int number)
{
    return (number < 1000 ? "QTZ_Group_" : "QTZ_G") + std::to_string(number);
}

// The walk of one full push over a copy of the rule table. What it decides about a group or
// rule (enforced, chain name) is written to the copy, where later steps of the walk read it,
// and to the live table by id; an object deleted from the live table since the copy was taken
// is skipped there. The flags the table held before are kept, so a try that is taken back
// leaves them describing the generation that stays linked; the marks of enforced rules reach
// the rule manager only once the generation is linked. The caller holds the driver mutex.
class PushWalk {
public:
    // The rules in leftOut (by ruleKey) run nothing and use no mark: they are flagged not
    // enforced.
    PushWalk(ZAV::ILogger& logger, const std::string& component, INetfilter& netfilter,
             SFRuleManager& manager, SFRuleTableSnapshot& table,
             const std::vector<std::string>& trusted, const std::set<std::string>& leftOut)
        : m_logger(logger), m_component(component), m_netfilter(netfilter), m_manager(manager),
          m_table(table), m_trusted(trusted), m_leftOut(leftOut)
    {
        for (const std::unique_ptr<SFRuleGroup>& group : m_table.groups) {
            m_groupsBefore.push_back({group.get(), group->groupId, group->enforced, group->chainName});
            for (SFRule* rule : group->rules)
                m_rulesBefore.push_back({rule, group->groupId, rule->ruleId, rule->enforced});
        }
    }

    // How a rule is named in the sets of failed and left-out rules.
    static std::string ruleKey(const GUID& groupId, const GUID& ruleId)
    {
        return CommonFunc::textGUID(groupId) + " " + CommonFunc::textGUID(ruleId);
    }

    // Walks every group in table order, up to the first failure of a group's commands.
    void run()
    {
        for (const std::unique_ptr<SFRuleGroup>& group : m_table.groups) {
            if (m_groupFailed)
                break;
            walkGroup(*group);
        }
    }

    // A command that builds a group's chains or its jumps failed: the generation lacks a part.
    bool groupFailed() const { return m_groupFailed; }
    // The rules a command of which failed, by group and rule id text.
    const std::set<std::string>& failedRules() const { return m_failedRules; }
    // Enforced rules that are treated as intrusions, so far.
    int intrusionCount() const { return m_intrusionCount; }

    // Hands the marks of the enforced rules to the rule manager, once the generation is linked.
    void commitMarks()
    {
        for (const auto& [mark, ruleId] : m_marks)
            m_manager.updateNfMarkVsRuleUid(mark, ruleId);
    }

    // Puts back the enforced flags and chain names the table and the copy held before the
    // walk, so a walk of the same copy that follows starts where this one did.
    void restoreFlags()
    {
        for (const GroupFlags& group : m_groupsBefore) {
            group.copy->enforced = group.enforced;
            group.copy->chainName = group.chainName;
            m_manager.setGroupEnforced(group.groupId, group.enforced);
            m_manager.setGroupChainName(group.groupId, group.chainName);
        }
        for (const RuleFlags& rule : m_rulesBefore) {
            rule.copy->enforced = rule.enforced;
            m_manager.setRuleEnforced(rule.groupId, rule.ruleId, rule.enforced);
        }
    }

private:
    void walkGroup(SFRuleGroup& group)
    {
        const std::string name = group.name.substr(0, 103);
        if (!group.enabled) {
            log(5, ENFORCE + "Ignoring the group - " + name + " as the group is disabled");
            setGroupEnforced(group, false);
            setGroupChainName(group, group.name);
            return;
        }
        bool isDefaultGroup = false;
        if (!m_defaultGroupSeen && sameGuidText(group.groupId, m_table.defaultGroupId)) {
            setGroupEnforced(group, true);
            setGroupChainName(group, group.name);
            isDefaultGroup = true;
            m_defaultGroupSeen = true;
        }
        // Only the default group, groups made jump targets earlier in this walk and groups an
        // earlier push left flagged pass here: a jump target must follow its jumping group.
        if (!group.enforced) {
            log(5, ENFORCE + "Ignoring the group - " + name + " as the group enforcement status is false");
            setGroupChainName(group, group.name);
            return;
        }
        const std::list<SFMatch*> groupMatches = group.matches;
        log(6, "Group match context size is " + std::to_string(groupMatches.size()));
        if (groupMatches.empty()) {
            log(5, ENFORCE + "Ignoring the group - " + name +
                       " as the group does not have any match criteria in it");
            setGroupEnforced(group, false);
            return;
        }
        // The driver built the group's chains for the direction of its last direction match;
        // its rules must be added for the same direction, or they would name chains that do
        // not exist.
        const auto direction =
            static_cast<SFwDirection>(SFIptablesUtils().getGroupDirection(groupMatches));

        const std::list<SFRule*> rules = group.rules;
        const int count = static_cast<int>(rules.size());
        if (count == 0)
            log(6, ENFORCE + "The group - " + name + " is empty and does not have any rules in it");
        else
            log(6, ENFORCE + "The group - " + name + " has " + std::to_string(count) + " rules in it");
        log(5, ENFORCE + "Starting to enforce rules inside the group - " + name);
        const std::string chainName = group.chainName;

        int position = 0;
        for (SFRule* rule : rules) {
            if (m_groupFailed)
                return;
            ++position;
            KSFRule record = rule->GetData();
            const std::string ruleName = record.name;
            log(5, ENFORCE + "Processing rule - " + std::to_string(position) +
                       " inside the group - " + name + ". Rule name is - " + ruleName);
            if (!rule->enabled) {
                log(5, ENFORCE + "Ignoring the rule - " + ruleName + " in the group - " + name +
                           " as it is disabled");
                setRuleEnforced(group, *rule, false);
            } else if (rule->matches.empty()) {
                enforceJumpRule(group, name, *rule, ruleName);
            } else if (m_leftOut.count(ruleKey(group.groupId, rule->ruleId)) != 0) {
                log(5, ENFORCE + "Leaving out the rule - " + ruleName + " in the group - " + name +
                           " as its iptables commands failed again");
                setRuleEnforced(group, *rule, false);
            } else {
                bool last = false;
                if (isDefaultGroup && position == count - 2) {
                    last = true;
                    log(6, "Last rule in default group. Rule name is " + ruleName);
                } else if (chainName == CLIENT_CHAIN_NAME && position == count) {
                    last = true;
                    log(6, "Last rule is client side group. Rule name is " + ruleName);
                }
                enforceOrdinaryRule(group, name, chainName, isDefaultGroup, direction, *rule,
                                    record, last);
            }
        }
    }

    void enforceJumpRule(SFRuleGroup& group, const std::string& name, SFRule& rule,
                         const std::string& ruleName)
    {
        log(6, ENFORCE + "Detected a jump rule - " + ruleName + " in the group - " + name);
        const std::string skipped = ENFORCE + "Skipped enforcing the jump rule - " + ruleName +
                                    " in the group - " + name + " as the target group - ";
        SFRuleGroup* target = findGroup(rule.jumpTarget);
        if (target == nullptr) {
            log(6, skipped + CommonFunc::textGUID(rule.jumpTarget) + " was not found");
            return;
        }
        const std::string targetName = target->name.substr(0, 103);
        if (!target->enabled) {
            log(6, skipped + targetName + " was disabled");
            setGroupEnforced(*target, false);
            setRuleEnforced(group, rule, false);
            return;
        }
        log(6, ENFORCE + "Creating the group  - " + targetName);
        std::string chain;
        if (sameGuidText(target->groupId, m_table.agentGroupId) ||
            sameGuidText(target->groupId, m_table.clientGroupId) ||
            sameGuidText(target->groupId, m_table.adaptiveGroupId)) {
            chain = target->name;
        } else {
            if (m_jumpGroupCount >= MAX_JUMP_GROUPS) {
                log(2, skipped + targetName + " could not be given a chain name of its own");
                setGroupEnforced(*target, false);
                setRuleEnforced(group, rule, false);
                return;
            }
            ++m_jumpGroupCount;
            chain = jumpGroupChainName(m_jumpGroupCount);
            setGroupChainName(*target, chain);
        }
        const bool created = m_netfilter.createNetfilterGroup(
            chain, static_cast<SFwNetProtocol>(target->netProto),
            static_cast<SFwTransProtocol>(target->transport),
            static_cast<SFMsgType>(target->msgType), target->matches, m_trusted);
        if (const int failed = m_netfilter.takeFailedCommands(); failed > 0) {
            // Refused criteria run nothing; a failed command leaves the group half built.
            log(5, ENFORCE + "Failed to create the group  - " + targetName + ": " +
                       std::to_string(failed) + " iptables commands failed");
            m_groupFailed = true;
        }
        if (!created) {
            log(6, "Target group could not be created, setting rule group " + targetName +
                       "to disabled and corresponding enforcement status of the target group "
                       "and the jump rule to false");
            log(5, ENFORCE + "Failed to create the group  - " + targetName);
        } else {
            log(6, ENFORCE + "Successfully created the group  - " + targetName);
        }
        setGroupEnforced(*target, created);
        setRuleEnforced(group, rule, created);
    }

    void enforceOrdinaryRule(SFRuleGroup& group, const std::string& name,
                             const std::string& chainName, bool isDefaultGroup,
                             SFwDirection direction, SFRule& rule, KSFRule& record, bool last)
    {
        const std::string ruleName = record.name;
        const std::string opening = ENFORCE + "Rule - " + ruleName + " in the group - " + name;
        log(6, opening + "  has " + std::to_string(record.matchCount) + " match criteria");
        // A rule the driver refuses runs nothing and stays not enforced; one whose command
        // failed makes the push fail as well.
        auto commandsFailed = [&] {
            const int failed = m_netfilter.takeFailedCommands();
            if (failed == 0)
                return false;
            log(5, opening + " was not enforced as " + std::to_string(failed) +
                       " iptables commands failed");
            m_failedRules.insert(ruleKey(group.groupId, rule.ruleId));
            setRuleEnforced(group, rule, false);
            return true;
        };
        try {
            const bool enforced = m_netfilter.addRuleToNetfilterGroup(
                record, rule.matches, chainName, isDefaultGroup, m_trusted, direction, m_mark, last);
            if (commandsFailed())
                return;
            if (!enforced) {
                log(5, opening + " was not enforced probably due to unsupported match criteria");
                setRuleEnforced(group, rule, false);
                return;
            }
            log(5, opening + " was enforced successfully");
            setRuleEnforced(group, rule, true);
            m_intrusionCount += record.treatAsIntrusion;
            m_marks.emplace_back(m_mark, record.ruleId);
            ++m_mark;
        } catch (const SFException& e) {
            if (commandsFailed())
                return;
            log(5, "Caught Socket Communication exception" + e.message + ENFORCE +
                       "Exception occurred when enforcing the rule - " + ruleName +
                       " in the group - " + name);
            setRuleEnforced(group, rule, false);
        } catch (const std::exception&) {
            if (commandsFailed())
                return;
            log(5, ENFORCE + "Unknown exception occurred when enforcing the rule - " + ruleName +
                       " in the group - " + name);
            setRuleEnforced(group, rule, false);
        }
    }

    SFRuleGroup* findGroup(const GUID& id)
    {
        for (const std::unique_ptr<SFRuleGroup>& group : m_table.groups)
            if (sameGuidText(group->groupId, id))
                return group.get();
        return nullptr;
    }

    void setGroupEnforced(SFRuleGroup& group, bool enforced)
    {
        group.enforced = enforced;
        m_manager.setGroupEnforced(group.groupId, enforced);
    }

    void setGroupChainName(SFRuleGroup& group, const std::string& chainName)
    {
        group.chainName = chainName;
        m_manager.setGroupChainName(group.groupId, chainName);
    }

    void setRuleEnforced(const SFRuleGroup& group, SFRule& rule, bool enforced)
    {
        rule.enforced = enforced;
        m_manager.setRuleEnforced(group.groupId, rule.ruleId, enforced);
    }

    void log(int level, const std::string& message)
    {
        m_logger.logMessage(level, m_component, message);
    }

    ZAV::ILogger& m_logger;
    const std::string& m_component;
    INetfilter& m_netfilter;
    SFRuleManager& m_manager;
    SFRuleTableSnapshot& m_table;
    const std::vector<std::string>& m_trusted;
    const std::set<std::string>& m_leftOut;
    // Marks restart with every push and are used only by rules that were enforced.
    unsigned short m_mark = FIRST_RULE_MARK;
    int m_intrusionCount = 0;
    bool m_defaultGroupSeen = false;
    // Numbers the chains of the groups that are neither fixed nor the default group.
    int m_jumpGroupCount = 0;
    bool m_groupFailed = false;
    std::set<std::string> m_failedRules;
    std::vector<std::pair<unsigned short, KGUID>> m_marks;
    struct GroupFlags {
        SFRuleGroup* copy;
        GUID groupId;
        bool enforced;
        std::string chainName;
    };
    struct RuleFlags {
        SFRule* copy;
        GUID groupId;
        GUID ruleId;
        bool enforced;
    };
    std::vector<GroupFlags> m_groupsBefore;
    std::vector<RuleFlags> m_rulesBefore;
};

} // namespace

std::unique_ptr<SFRuleGroup> SFKextInterface::copyAdaptiveGroup()
{
    SFRuleManager* manager = ruleManager();
    GUID adaptiveGroupId;
    {
        Lock lock(SFRuleTable::m_guardRuleGroupList);
        adaptiveGroupId = manager->m_ruleTable.adaptiveGroupId;
    }
    return manager->copyGroup(adaptiveGroupId);
}

// ---------------------------------------------------------------------------------------------
// Full push

bool SFKextInterface::SendRuleAndGroupDataToKext()
{
    bool pushed = false;
    {
        Lock lock(m_guardRuleTableDataParsing);
        // Disabled means iptables is left to the system: a push that waited for the mutex while
        // the firewall was being disabled must not link a new generation afterwards.
        if (!m_hooking.load()) {
            log(6, "Firewall is not enforced. Skipping applying the rules to Iptables");
            return true;
        }
        pushed = pushLocked();
    }
    // A push in regular mode may have linked the first generation that no longer queues.
    leaveAdaptiveModeWhenUnlinked();
    return pushed;
}

bool SFKextInterface::pushLocked()
{
    SFRuleManager* manager = ruleManager();
    const bool changedSinceLastCopy = m_appliedChanges.pending();
    // The copies record the versions they are, to tell later changes from applied ones.
    SFRuleTableSnapshot table = m_appliedChanges.copyTable(*manager);
    const size_t groupCount = table.groups.size();

    std::vector<std::string> trusted;
    try {
        std::vector<SFTrustedGroupIP> copy = m_appliedChanges.copyTrusted(
            *SFTrustedIPGroupManager::getInstance(m_logger, m_configController));
        std::list<SFTrustedGroupIP*> entries;
        for (SFTrustedGroupIP& entry : copy)
            entries.push_back(&entry);
        trusted = m_netfilter->getTrustedNetworkParams(entries);
    } catch (const SFException& e) {
        log(6, "Caught Socket Communication exception: " + e.message);
        log(5, ENFORCE + "Exception occurred while reading the list of trusted networks");
        trusted.clear();
    } catch (const std::exception&) {
        log(5, ENFORCE + "Unknown exception occurred while reading the list of trusted networks");
        trusted.clear();
    }

    log(6, ENFORCE + "Number of default groups in the policy - " + std::to_string(groupCount));
    // A table without groups gives nothing to build; what is linked stays.
    if (groupCount < 1)
        return true;

    // What earlier removals left is not linked in front of the generation in force, so it
    // goes first: failed tries never pile up.
    if (m_generationLinked)
        removeEarlierGenerationsLocked();
    // The generation linked now, which a failed try falls back to; none before the first
    // push that linked one.
    const std::string linkedUid = m_generationLinked ? m_configController.getUniqueId() : std::string();
    // Read once, so every try of this push builds the same mode.
    const FW_MODE mode = m_configController.getFwMode();
    m_lastPushMode = mode;
    if (!m_generationLinked && m_unlinkedTryTakenBack && !removeUnlinkedTryLeftoversLocked())
        return false;
    m_retryingPartial = m_generationLinked && mode == m_linkedMode && !changedSinceLastCopy &&
                        m_rulesState.load() == SF_RULES_PARTLY_IN_FORCE;
    // Taking a try back starts the retries afresh; a rule that keeps failing slows them down.
    const int retryPasses = m_retryPasses;

    std::set<std::string> failed;
    TryOutcome outcome = tryPushLocked(table, trusted, linkedUid, mode, {}, failed);
    if (outcome == TryOutcome::Linked) {
        m_lastFailedRules.clear();
        m_retryPasses = 1;
        m_retryCountdown = 1;
        m_rulesState.store(SF_RULES_IN_FORCE);
        m_pushFailed.store(false);
        // Linked, but what the generation replaced may still let in what it allowed: not
        // wholly in force until the health check's removal passes take it away.
        return !m_staleLinked.load();
    }
    if (outcome == TryOutcome::Failed)
        return false;

    // A try with a rule whose lines failed is taken back the first time, so the generation in
    // force keeps working; failing again on exactly the same rules, or with no generation to
    // keep, the rules are built again without them (flagged not enforced), so a rule iptables
    // keeps refusing does not hold back every later change. Built again rather than linked as
    // it was: the lines such a rule ran before its failing one would filter, and its mark
    // would name the next rule too.
    const bool sameRulesAgain = failed == m_lastFailedRules;
    m_lastFailedRules = failed;
    if (!sameRulesAgain && !linkedUid.empty())
        return false;
    log(2, ENFORCE + "Building the rules again without " + std::to_string(failed.size()) +
               " rules whose iptables commands failed");
    std::set<std::string> failedAgain;
    outcome = tryPushLocked(table, trusted, linkedUid, mode, failed, failedAgain);
    if (outcome != TryOutcome::Linked) {
        // The next retry leaves out at once what fails now as well.
        m_lastFailedRules.insert(failedAgain.begin(), failedAgain.end());
        return false;
    }
    log(2, ENFORCE + "Linked the rules without " + std::to_string(failed.size()) +
               " rules whose iptables commands failed");
    // Retried less often while the same rules keep failing.
    m_retryPasses = sameRulesAgain ? std::min(retryPasses * 2, MAX_RETRY_PASSES) : 1;
    m_retryCountdown = m_retryPasses;
    m_rulesState.store(SF_RULES_PARTLY_IN_FORCE);
    m_pushFailed.store(true);
    return false;
}

SFKextInterface::TryOutcome
SFKextInterface::tryPushLocked(SFRuleTableSnapshot& table, const std::vector<std::string>& trusted,
                               const std::string& linkedUid, FW_MODE mode,
                               const std::set<std::string>& leftOut,
                               std::set<std::string>& failedRules)
{
    m_netfilter->takeFailedCommands();
    m_tryRedirected = false;
    log(6, ENFORCE + "Successfully flushed existing Iptables rules");
    try {
        // The built-in lines of the generation in force stay until the new one is linked: a
        // connection that both tables allow must never meet a chain without them.
        m_netfilter->saveDefaultDropRulesToPreviousPolicy();
        m_configController.setPreviousUniqueId(m_configController.getUniqueId());
        m_netfilter->saveIptablesChainsToPreviousPolicy();
        m_configController.setUniqueId(
            std::to_string(m_configController.getGlobalEnforcementPolicyUniqueId()));
        m_netfilter->addVarnikInputOutputChains(m_configController.getUniqueId());
        m_netfilter->addRelEstRuleToNetfilter(true);
        m_netfilter->addBlockEventChain();
        // With no generation linked, the policies are ACCEPT and the walk's catch-all lines go
        // into INPUT and OUTPUT at once: the jumps into the new top chains come first, so that a
        // DROP line of ours never stands without the chains that let established connections
        // and what the rules allow in. Until then the chains decide as the rules do for what
        // they hold so far and fall through to ACCEPT.
        if (linkedUid.empty()) {
            m_tryRedirected = true;
            m_netfilter->addRedirectionRulesToInputOutputChains();
        }
    } catch (const SFException&) {
        log(5, ENFORCE + "Exception occurred while adding Related and Established rule, setting "
                         "default Accept Policy or creating default Block event chains");
        abandonTryLocked(linkedUid);
        return TryOutcome::Failed;
    } catch (const std::exception&) {
        log(5, ENFORCE + "Exception occurred while adding Related and Established rule, setting "
                         "default Accept Policy or creating default Block event chains");
        abandonTryLocked(linkedUid);
        return TryOutcome::Failed;
    }

    PushWalk walk(m_logger, m_componentName, *m_netfilter, *ruleManager(), table, trusted, leftOut);
    // The enforced flags then describe the generation that stays linked, not this try.
    auto abandon = [this, &walk, &linkedUid](TryOutcome outcome) {
        walk.restoreFlags();
        abandonTryLocked(linkedUid);
        return outcome;
    };
    try {
        walk.run();
        if (walk.groupFailed())
            return abandon(TryOutcome::Failed);
        if (!walk.failedRules().empty()) {
            failedRules.insert(walk.failedRules().begin(), walk.failedRules().end());
            return abandon(TryOutcome::RulesFailed);
        }
        if (mode == FW_MODE_ADAPTIVE) {
            if (!configureDefaultAdaptiveRules(true) || m_netfilter->takeFailedCommands() > 0)
                return abandon(TryOutcome::Failed);
            log(6, ENFORCE + "Successfully added default Iptables rules to the Adaptive chains");
        }
        // With a generation linked, nothing of the try filters before every step that can fail
        // it has run: INPUT and OUTPUT hold DROP already, so setting it again changes no
        // verdict, and the redirections come last. With none, they ran first, and a failed
        // policy takes them back at once.
        m_netfilter->setNetfilterPolicyToAccept(false);
        if (!linkedUid.empty()) {
            m_tryRedirected = true;
            m_netfilter->addRedirectionRulesToInputOutputChains();
        }
        if (m_netfilter->takeFailedCommands() > 0)
            return abandon(TryOutcome::Failed);
        log(6, ENFORCE + "Successfully set the default Iptables policy to Block");

        // Linked: its marks name its rules for the block events, and the old lines go before
        // the old chains, since an old line may jump to one of them.
        m_generationLinked = true;
        m_unlinkedTryTakenBack = false;
        m_linkedMode = mode;
        m_adaptiveLinked.store(mode == FW_MODE_ADAPTIVE);
        walk.commitMarks();
        if (walk.intrusionCount() != 0)
            startBlockEventQueue();
        else
            stopBlockEventQueue();
        removeEarlierGenerationsLocked();
        return TryOutcome::Linked;
    } catch (const SFException& e) {
        log(6, "Caught Socket Communication exception " + e.message);
    } catch (const std::exception&) {
        log(6, "Caught generic exception ");
    }
    return abandon(TryOutcome::Failed);
}

bool SFKextInterface::abandonTryLocked(const std::string& linkedUid)
{
    // The failures of the try itself are known; what is counted from here on is the removal's.
    m_netfilter->takeFailedCommands();
    if (!linkedUid.empty()) {
        log(2, ENFORCE + "Applying the rules to Iptables failed. Removing what this attempt built; "
                         "the rules applied before stay in force");
        m_netfilter->abandonCurrentGeneration(linkedUid);
        // A retry of the rules less those that failed leaves just that in force: the latest
        // changes are not wholly out of force.
        m_rulesState.store(m_retryingPartial ? SF_RULES_PARTLY_IN_FORCE : SF_RULES_EARLIER_IN_FORCE);
    } else {
        // Nothing was in force before: the host is left to the system rather than to a
        // generation that lacks a part, the ACCEPT policies first.
        log(2, ENFORCE + "Applying the rules to Iptables failed. Removing what this attempt built; "
                         "no rules are in force");
        leaveIptablesToTheSystemLocked();
        m_unlinkedTryTakenBack = true;
        stopBlockEventQueue();
        m_rulesState.store(SF_RULES_NOT_IN_FORCE);
    }
    m_netfilter->takeFailedCommands();
    if (m_netfilter->hasPendingRemovals())
        log(2, ENFORCE + "Some of what the failed attempt built could not be removed; it is "
                         "removed again with the next attempt");
    markPushFailedLocked();
    // An adaptive try's chain that may still lead from INPUT lets new connections in and queues
    // them: adaptive mode stays wholly in force, learning included, until nothing not in force
    // may be linked.
    if (m_tryRedirected && m_lastPushMode == FW_MODE_ADAPTIVE && m_staleLinked.load())
        m_adaptiveTryLinked.store(true);
    return false;
}

void SFKextInterface::markPushFailedLocked()
{
    noteStaleChainsLocked();
    // Taking a try back starts the retries afresh, at the next health-check pass.
    m_retryPasses = 1;
    m_retryCountdown = 1;
    m_pushFailed.store(true);
}

void SFKextInterface::leaveIptablesToTheSystemLocked()
{
    bool accepted = false;
    try {
        m_netfilter->setNetfilterPolicyToAccept(true);
        accepted = true;
    } catch (const SFException& e) {
        log(2, "Failed to set the default Netfilter policy to Accept - " + e.message);
    } catch (const std::exception& e) {
        log(2, std::string("Failed to set the default Netfilter policy to Accept - ") + e.what());
    }
    // Under a DROP policy the chains are all that lets anything in (SSH included): they go only
    // once the policies are ACCEPT, at the next try.
    if (accepted || !m_netfilter->dropPoliciesMayStand()) {
        m_netfilter->flushIptablesDefaultDropRule();
        m_netfilter->flushIptablesInCurrentPolicy();
    } else {
        log(2, ENFORCE + "Keeping the Netfilter chains and rules of the firewall while a DROP "
                         "policy stays");
    }
}

bool SFKextInterface::removeUnlinkedTryLeftoversLocked()
{
    if (!m_netfilter->hasRecordedLeftovers()) {
        m_unlinkedTryTakenBack = false;
        return true;
    }
    leaveIptablesToTheSystemLocked();
    m_netfilter->takeFailedCommands();
    const INetfilter::LeftoverEffect effect = m_netfilter->leftoverEffect();
    if (effect == INetfilter::LeftoverEffect::Drops || effect == INetfilter::LeftoverEffect::Filters) {
        log(2, ENFORCE + "Chains or lines that an earlier attempt left in iptables, which still filter, "
                         "could not be removed; no new attempt is built while they stay, and the rules "
                         "are applied again once they are removed");
        m_rulesState.store(SF_RULES_NOT_IN_FORCE);
        markPushFailedLocked();
        return false;
    }
    m_unlinkedTryTakenBack = false;
    return true;
}

void SFKextInterface::removeEarlierGenerationsLocked()
{
    if (m_netfilter->hasPendingRemovals()) {
        m_netfilter->flushDefaultDropRulesOfPreviousPolicy();
        m_netfilter->flushIptablesInPreviousPolicy();
        // What is left is removed again at the next pass.
        m_netfilter->takeFailedCommands();
        if (m_netfilter->hasPendingRemovals())
            log(2, ENFORCE + "Some chains or lines of an earlier generation could not be removed; "
                             "they are removed again at the next health check");
    }
    noteStaleChainsLocked();
}

void SFKextInterface::noteStaleChainsLocked()
{
    // A line after the generation in force still meets what that generation lets through,
    // and a jump to an old top chain still lets in what its rules allowed.
    const bool linked = m_netfilter->earlierGenerationsLinked();
    if (!linked)
        m_adaptiveTryLinked.store(false);
    if (linked && !m_staleLinked.load())
        log(2, ENFORCE + "Chains or lines that are not in force may still be linked into INPUT or "
                         "OUTPUT; the rules are not wholly in force until they are removed");
    m_staleLinked.store(linked);
}

void SFKextInterface::healthCheckPass()
{
    Lock lock(m_guardRuleTableDataParsing);
    if (!m_hooking.load())
        return;
    const bool changesDue = m_appliedChanges.pushDue();
    if (m_pushFailed.load()) {
        if (--m_retryCountdown > 0 && !changesDue) {
            // What a try taken back left beside the generation in force goes at every pass.
            if (m_generationLinked && m_netfilter->hasPendingRemovals())
                removeEarlierGenerationsLocked();
            return;
        }
        // Until a push succeeds the host does not run the rules it is meant to enforce.
        log(5, "The last attempt to apply the rules failed. Hence enforcing the rules again");
        pushLocked();
        return;
    }
    if (changesDue) {
        log(5, "The rules or trusted networks changed and no push applied the changes. Hence "
               "enforcing the rules again");
        pushLocked();
        return;
    }
    if (m_generationLinked && m_netfilter->hasPendingRemovals()) {
        log(5, "Removing the chains and lines of an earlier generation that could not be removed before");
        removeEarlierGenerationsLocked();
    }
}

// ---------------------------------------------------------------------------------------------
// The adaptive group alone

bool SFKextInterface::sendRulesInGroupToKext(SFRuleGroup* group)
{
    if (group == nullptr)
        return false;
    const std::string name = group->name;
    const std::string opening = "Enforcing rules in the group - " + name;
    const std::list<SFRule*> rules = group->rules;
    log(5, opening);
    if (rules.empty()) {
        log(6, "Skipped enforcing rules in the group - " + name + " as it is empty");
        return false;
    }
    log(6, opening + " which has " + std::to_string(rules.size()) + "rules ");
    SFRuleManager* manager = ruleManager();
    int position = 0;
    for (SFRule* rule : rules) {
        ++position;
        KSFRule record = rule->GetData();
        const std::string ruleName = record.name;
        log(6, opening + ". Processing rule - " + std::to_string(position) + " with name " + ruleName);
        if (!rule->enabled) {
            log(6, opening + ". Skipped rule - " + std::to_string(position) + " with name " +
                       ruleName + " as it is disabled");
            continue;
        }
        if (rule->matches.empty())
            continue;
        try {
            const bool enforced = m_netfilter->addRuleToNetfilterGroup(
                record, rule->matches, name, false, {}, FW_DIRECTION_EITHER, 0, false);
            if (enforced)
                log(5, opening + ". Successfully enforced the rule with name " + ruleName);
            else
                log(5, opening + ". Failed to enforce the rule with name " + ruleName +
                           " probably due to unsupported match criteria. Rule was ignored for addition");
            rule->enforced = enforced;
            manager->setRuleEnforced(group->groupId, rule->ruleId, enforced);
        } catch (const SFException& e) {
            log(5, "Caught exception " + e.message + " when adding the rule. " + opening +
                       ". Exception occurred when enforcing the rule with name " + ruleName);
        } catch (const std::exception&) {
            log(5, opening + ". Unknown Exception occurred when enforcing the rule with name " + ruleName);
        }
    }
    return true;
}

bool SFKextInterface::configureDefaultAdaptiveRules(bool configureQueueGroup)
{
    try {
        SFRuleManager* manager = ruleManager();
        const std::unique_ptr<SFRuleGroup> group = copyAdaptiveGroup();
        if (!group)
            throw SFException(SF_INVALID_ARGUMENT, "The rule table has no adaptive group");
        log(5, "Adding default rules to the Adaptive group.");
        const struct {
            std::unique_ptr<SFRule> rule;
            const char* text;
        } defaults[] = {
            {std::unique_ptr<SFRule>(manager->createAdaptiveICMPRule()),
             "Adding rule to block ICMP by default in the Adaptive group."},
            {std::unique_ptr<SFRule>(manager->createAdaptiveBroadcastRule()),
             "Adding rule to block Broadcast by default in the Adaptive group."},
            {std::unique_ptr<SFRule>(manager->createAdaptiveAnyRule()),
             "Adding rule to block 0.0.0.0 by default in the Adaptive group."},
            {std::unique_ptr<SFRule>(manager->createAdaptiveMulticastInRule()),
             "Adding rule to block Multicast by default in the Adaptive group for Incoming Traffic."},
            {std::unique_ptr<SFRule>(manager->createAdaptiveMulticastOutRule()),
             "Adding rule to block Multicast by default in the Adaptive group for Outgoing Traffic."},
            {std::unique_ptr<SFRule>(manager->createLoopbackRule(false)),
             "Adding rule to allow Loopback traffic in the Adaptive group."},
        };
        for (const auto& builtin : defaults) {
            log(6, builtin.text);
            KSFRule record = builtin.rule->GetData();
            m_netfilter->addRuleToNetfilterGroup(record, builtin.rule->matches, group->name,
                                                 false, {}, FW_DIRECTION_EITHER, 0, false);
        }
        log(6, std::string("Configure Queue Group flag is ") + (configureQueueGroup ? "1" : "0"));
        if (configureQueueGroup) {
            log(5, "Creating the Queue Group");
            m_netfilter->addOrDeleteQueueGroupWithJumpRule(true);
            log(5, "Adding default rules to the Queue Group");
            m_netfilter->addRulesToQueueGroup();
            log(5, "Adding rule to restore mark to the Queue Group");
            m_netfilter->addOrDeleteConnmarkRestoreRule(true);
        }
        log(5, "Adding rule to Queue to userland to the Queue Group");
        m_netfilter->appendQueueRuleToAdaptiveGroup(group->name);
        return true;
    } catch (const SFException&) {
        log(5, "Exception occurred while adding default rules to the Adaptive group.");
    } catch (const std::exception&) {
        log(5, "Exception occurred while adding default rules to the Adaptive group.");
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Mode switch

bool SFKextInterface::SendAdaptiveModeStatusToKext()
{
    bool applied = false;
    try {
        Lock control(m_threadControlMutex);
        const bool adaptive = m_configController.getFwMode() == FW_MODE_ADAPTIVE;
        const std::string mode = adaptive ? "Adaptive" : "Regular";
        {
            Lock lock(m_guardRuleTableDataParsing);
            if (!m_hooking.load()) {
                log(6, "Firewall is not enforced. Skipping the change to " + mode + " mode");
                return true;
            }
            log(5, "Updating firewall mode to " + mode);
            // The push first: until the new generation is linked, the one in force still hands
            // packets to the queue thread, if it queues.
            applied = applyModeLocked();
        }
        if (adaptive) {
            // The threads follow the stored mode, also while a failed push waits for its
            // retry: the retry then finds them listening.
            startAdaptiveThreads();
        } else if (m_adaptiveLinked.load() || m_adaptiveTryLinked.load()) {
            // The adaptive generation stayed linked, or a try of one could not be unlinked: it
            // lets every new connection in and queues its first reply, and without a reader the
            // connection would still complete, unlearned, at the reply's retransmission. So
            // adaptive mode stays wholly in force, learning included, until the health check
            // links Regular and nothing else may be linked.
            log(2, "The rules in Adaptive mode stay in force, with their learning, until "
                   "the rules can be applied in Regular mode");
            startAdaptiveThreads();
        } else {
            stopLearning("Changing from Adaptive to regular mode");
        }
    } catch (const SFException& e) {
        log(2, "Exception occurred while changing the firewall mode - " + e.message);
    } catch (const std::exception& e) {
        log(2, std::string("Exception occurred while changing the firewall mode - ") + e.what());
    }
    return applied;
}

bool SFKextInterface::applyModeLocked()
{
    // The mode decides what the generation holds (the adaptive group's fixed rules, the queue
    // chain, the connmark restore rule), so a switch is a whole push: judged, taken back and
    // retried like any other, never a table left half switched.
    const FW_MODE mode = m_configController.getFwMode();
    const bool linkedInOtherMode = m_generationLinked && m_linkedMode != mode;
    const bool failedInOtherMode = m_pushFailed.load() && m_lastPushMode != mode;
    if (linkedInOtherMode || failedInOtherMode)
        return pushLocked();
    // The enable's own push, or a switch to the mode in force: the health check retries a
    // push that failed in this mode.
    log(6, "The rules applied to Iptables were built in this mode already");
    return !m_pushFailed.load();
}

bool SFKextInterface::learningWanted()
{
    return m_adaptiveLinked.load() || m_adaptiveTryLinked.load() ||
           m_configController.getFwMode() == FW_MODE_ADAPTIVE;
}

void SFKextInterface::leaveAdaptiveModeWhenUnlinked()
{
    boost::unique_lock<boost::mutex> control(m_threadControlMutex, boost::try_to_lock);
    if (!control.owns_lock() || learningWanted())
        return;
    if (!m_adaptiveQueueThread && !m_adaptiveReadThread && !m_adaptiveConsumeThread)
        return;
    log(5, "The rules in Regular mode are in force. Stopping the Adaptive mode threads");
    stopLearning("Leaving Adaptive mode");
}

void SFKextInterface::stopLearning(const std::string& why)
{
    // Joined before the driver mutex is taken: a consume pass takes it, and it must not be held
    // while joining that thread.
    stopReadThread((why + ". Notifying read Adaptive data thread to join back").c_str());
    stopConsumeThread((why + ". Notifying consume Adaptive data thread to join back").c_str());
    {
        Lock lock(m_guardRuleTableDataParsing);
        if (!learningWanted()) {
            leaveAdaptiveModeLocked();
            return;
        }
    }
    // Adaptive mode came back meanwhile (a switch, or a push that linked it): learning goes on.
    startAdaptiveThreads();
}

void SFKextInterface::leaveAdaptiveModeLocked()
{
    log(5, "Stopping Netfilter Queue monitoring");
    if (m_adaptiveQueueThread) {
        if (!stopAdaptiveQueueThread())
            log(5, "Error in stopping Netfilter Queue monitoring");
    } else {
        SFAdaptiveQueueWrapper::releaseInstance();
    }
    log(5, "Clearing the queue where Queued packets were being saved");
    SFAdaptiveQueueWrapper::clearAdaptiveQueue();
    // Learning starts again from empty maps at the next switch to adaptive mode.
    SFAdaptiveAggregationWrapper::releaseInstance();
}

} // namespace StatefulFirewall
