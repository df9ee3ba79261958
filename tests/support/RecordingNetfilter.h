#pragma once

// An iptables driver that runs nothing: it records every operation by name, the groups it is
// asked to create and every rule with the arguments the bridge passed. A test can make it
// refuse (false) or throw SFException for a rule or a group by name, or throw from any
// operation by name. Guarded by its own mutex; the bridge calls it under its driver mutex.

#include "INetfilter.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace TestSupport {

struct NetfilterRuleCall {
    std::string rule;  // the record's name
    std::string group; // the chain name the bridge passed
    bool primary;
    int direction;
    unsigned short mark;
    bool last;
    bool intrusion;
};

struct NetfilterGroupCall {
    std::string group;
    int transport;
    int direction; // what SFIptablesUtils reads from the matches
};

class RecordingNetfilter : public StatefulFirewall::INetfilter {
public:
    void refuseRule(const std::string& name) { std::lock_guard<std::mutex> l(m_mutex); m_refusedRules.insert(name); }
    void throwOnRule(const std::string& name) { std::lock_guard<std::mutex> l(m_mutex); m_throwingRules.insert(name); }
    void refuseGroup(const std::string& name) { std::lock_guard<std::mutex> l(m_mutex); m_refusedGroups.insert(name); }
    // The operation throws SFException(150077) from now on, a failed command.
    void throwOn(const std::string& operation) { std::lock_guard<std::mutex> l(m_mutex); m_throwingOperations.insert(operation); }
    // A command of the rule or group fails (counted, reported as false) from now on; cleared
    // by clearFailures.
    void failRule(const std::string& name) { std::lock_guard<std::mutex> l(m_mutex); m_failingRules.insert(name); }
    void failGroup(const std::string& name) { std::lock_guard<std::mutex> l(m_mutex); m_failingGroups.insert(name); }
    void clearFailures() { std::lock_guard<std::mutex> l(m_mutex); m_failingRules.clear(); m_failingGroups.clear(); m_throwingOperations.clear(); }

    std::vector<std::string> operations() const;
    std::vector<NetfilterGroupCall> groups() const;
    std::vector<NetfilterRuleCall> rules() const;
    void clear();

    bool createNetfilterGroup(std::string group, StatefulFirewall::SFwNetProtocol netProtocol,
                              StatefulFirewall::SFwTransProtocol transport,
                              StatefulFirewall::SFMsgType icmpType,
                              std::list<StatefulFirewall::SFMatch*> groupMatches,
                              std::vector<std::string> trusted) override;
    void deleteNetfilterGroup(std::string group, std::list<StatefulFirewall::SFMatch*>) override;
    bool addRuleToNetfilterGroup(StatefulFirewall::KSFRule& rule,
                                 std::list<StatefulFirewall::SFMatch*> matches, std::string group,
                                 bool primaryGroup, std::vector<std::string> trusted,
                                 StatefulFirewall::SFwDirection groupDirection, unsigned short mark,
                                 bool lastRuleOfGroup) override;
    void setNetfilterPolicyToAccept(bool accept) override;
    void addRelEstRuleToNetfilter(bool ownChains) override;
    std::vector<std::string>
    getTrustedNetworkParams(std::list<StatefulFirewall::SFTrustedGroupIP*> trustedNetworks) override;
    void addOrDeleteConnmarkRestoreRule(bool add) override;
    void addOrDeleteQueueGroupWithJumpRule(bool add) override;
    void addRulesToQueueGroup() override;
    void appendQueueRuleToAdaptiveGroup(std::string group) override;
    void deleteAllRulesFromAdaptiveGroup(std::string group) override;
    bool updateFtpInspectionSetting(bool enable, std::string ports) override;
    std::string getNetfilterVersion() override;
    bool isKerneltzSupportedInTimeModule() override;
    void addBlockEventChain() override;
    void addVarnikInputOutputChains(std::string uid) override;
    void deleteVarnikInputOutputChains(std::string uid) override;
    void addRedirectionRulesToInputOutputChains() override;
    void flushIptablesDefaultDropRule() override;
    void flushIptablesInPreviousPolicy() override;
    void saveIptablesChainsToPreviousPolicy() override;
    void flushIptablesInCurrentPolicy() override;
    bool hasRecordedLeftovers() override;
    LeftoverEffect leftoverEffect() override { return m_effect.load(); }
    void setLeftoverEffect(LeftoverEffect effect) { m_effect.store(effect); }
    void saveDefaultDropRulesToPreviousPolicy() override;
    void flushDefaultDropRulesOfPreviousPolicy() override;
    void abandonCurrentGeneration(std::string previousUid) override;
    // Questions, not steps: answered without being recorded; there are always removals, none
    // of them linked unless told, and a DROP policy may always stand.
    bool hasPendingRemovals() override { return true; }
    bool earlierGenerationsLinked() override { return m_earlierLinked.load(); }
    bool dropPoliciesMayStand() override { return true; }
    void setEarlierGenerationsLinked(bool linked) { m_earlierLinked.store(linked); }
    int takeFailedCommands() override;

private:
    // Records the operation (with an argument when given) and throws when told to.
    void operation(const std::string& name, const std::string& argument = "");

    std::atomic<bool> m_earlierLinked{false};
    std::atomic<LeftoverEffect> m_effect{LeftoverEffect::Filters};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_operations;
    std::vector<NetfilterGroupCall> m_groups;
    std::vector<NetfilterRuleCall> m_rules;
    std::set<std::string> m_refusedRules, m_throwingRules, m_refusedGroups, m_throwingOperations;
    std::set<std::string> m_failingRules, m_failingGroups;
    int m_failedCommands = 0;
};

} // namespace TestSupport
