#pragma once

// The daemon's policy plug-in: turns a management policy into firewall options (settings),
// trusted networks (trusted-network manager) and the policy's rules and groups (rule manager),
// has the controller re-apply them and writes both stores.
//
// A policy is read completely (options, trusted networks, rule list, the rules and groups to
// hand over) before anything changes: a policy that cannot be read leaves the settings, both
// managers, the stores, iptables, the interface monitor's changed flag and the previous-policy
// snapshots as they were, so the next policy is compared with what is in force. Every list
// count is checked against the entries the policy holds before a list is walked.
//
// Ownership: the logger, the settings and the interface monitor belong to the daemon and
// outlive the plug-in. Everything built from a policy is held in std::unique_ptr by the maps
// below; the managers receive copies (or the object itself, released only when they accept it).
// Thread safety: the agent calls the plug-in on its own thread, one call at a time, so the maps
// take no lock. iptables changes only through SFController, which serialises them; no
// model-class mutex is held while calling addRule or addGroup.

#include "ISectionsHandle.h"
#include "IAgentPolicyEnforcement.h"
#include "PolicyTypes.h"

#include <list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IConfigController;
class INwIFManager;
class SFMatch;
class SFRule;
class SFRuleGroup;
class SFTrustedGroupIP;

class SFPluginPolicyEnforcementImpl : public ZAV::IAgentPolicyEnforcement {
public:
    SFPluginPolicyEnforcementImpl(ZAV::ILogger& logger, IConfigController& config,
                                  INwIFManager& nwIfManager);
    ~SFPluginPolicyEnforcementImpl() override;

    // Never throws: any error is logged at level 2 and gives false.
    bool enforcePolicy(const std::string& softwareId, const ZAV::ISectionsHandle& handle) override;
    bool enforcePolicy(const std::string& softwareId, const std::string& user,
                       const std::string& domain, unsigned long session,
                       ZAV::tag_AgentLogonState state, const ZAV::ISectionsHandle& handle) override;
    bool isPartialEnforcementSupported() override { return false; }

private:
    using Matches = std::vector<std::unique_ptr<SFMatch>>;
    using TrustedList = std::vector<std::unique_ptr<SFTrustedGroupIP>>;

    // A policy that cannot be applied as a whole; thrown while reading, before any change.
    struct PolicyRefused : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // The firewall options of section "8" as read; an absent key stays empty.
    struct FirewallOptions {
        std::string policyName;
        std::optional<int> fwStatus;
        std::optional<int> adaptiveMode;
        std::optional<int> mergeRules;
        std::optional<int> inspectFtp;
        std::optional<int> tcpTimeout;
        std::optional<int> vcTimeout;
    };

    struct RuleSettingObject {
        std::unique_ptr<SFRule> rule;
        std::list<std::string> aggregations; // aggregation GUID texts, in policy order
    };
    struct AggSettingObject {
        int type = 0; // 65541 local addresses, 65546 remote addresses
        Matches matches;
    };

    // Key readers. Integers convert like std::stoi, whose errors pass to enforcePolicy.
    bool getPolicyKeyValue(const ZAV::ISectionsHandle& handle, const std::string& section,
                           const std::string& key, int& out);
    bool getPolicyKeyValue(const ZAV::ISectionsHandle& handle, const ZAV::PolicySetting& setting,
                           const std::string& section, const std::string& key, int& out);
    std::string getStringFromKey(const ZAV::ISectionsHandle& handle, const std::string& section,
                                 const std::string& key);
    std::string getStringFromKey(const ZAV::ISectionsHandle& handle,
                                 const ZAV::PolicySetting& setting, const std::string& section,
                                 const std::string& key);
    // The count countKey of a list whose entries are entryPrefix + index (setting null: a key
    // of the handle's own section). Absent: false. A count above the entries the policy holds
    // throws PolicyRefused; a count below 1 is returned as it is (the walk reads nothing).
    bool getListCount(const ZAV::ISectionsHandle& handle, const ZAV::PolicySetting* setting,
                      const std::string& section, const std::string& countKey,
                      const std::string& entryPrefix, int& count);

    // Options and trusted networks.
    bool enforcePolicyChecked(const ZAV::ISectionsHandle& handle);
    FirewallOptions readFirewallOptions(const ZAV::ISectionsHandle& handle);
    bool enforceFirewallOptions(const FirewallOptions& options);
    bool flushClientSideRules();
    // Whether the policy trusts the local subnet; absent when it has no "_AddressType" count.
    std::optional<bool> parseTrustLocalSubnetInPolicy(const ZAV::ISectionsHandle& handle);
    bool enforceTrustLocalSubnet(bool trusted);
    TrustedList parseTrustedNetworksInPolicy(const ZAV::ISectionsHandle& handle);
    std::unique_ptr<SFTrustedGroupIP> parseTrustedEntry(const std::string& type,
                                                        const std::string& value);
    bool hasTrustedNetworksChanged(const TrustedList& list);
    bool enforceTrustedNetworks(TrustedList& list);

    // Rules (SFPluginPolicyRules.cpp). readRules fills the maps, the changed flag and the
    // staged rules and groups; enforceRules hands them to the rule manager when something
    // changed or force is set.
    void readRules(const ZAV::ISectionsHandle& handle);
    bool enforceRules(bool force);
    void stageRules();
    // Counts rules, matches and references gone through while staging; throws PolicyRefused
    // past the ceiling.
    void countBuilt(size_t items);
    bool buildSequence(const ZAV::PolicySetting& setting, const ZAV::ISectionsHandle& handle);
    bool buildRule(const ZAV::PolicySetting& setting, const ZAV::ISectionsHandle& handle);
    bool buildAggregation(const ZAV::PolicySetting& setting, const ZAV::ISectionsHandle& handle);
    bool isRulesModified(const ZAV::PolicySetting& setting, const std::string& lastModified);
    void insertRuleSettingTimeStamp(const ZAV::PolicySetting& setting,
                                    const std::string& lastModified);
    bool isApplicationSectionPresent(const ZAV::ISectionsHandle& handle,
                                     const ZAV::PolicySetting& setting);
    bool getMatchFromIpString(const std::string& text, int matchType, int op,
                              std::unique_ptr<SFMatch>& out);
    // False when a piece is not a port (decimal 0-65535) or a range runs backwards.
    bool getMatchFromPortString(const std::string& text, int matchType, int op, Matches& out);
    Matches getAggMatchList(const ZAV::ISectionsHandle& handle, const ZAV::PolicySetting& setting,
                            const std::string& countKey, const std::string& entryPrefix,
                            int matchType);
    static std::string genScheduleDays(int weekMask);
    // Copies the sequence's rules into group; false when the sequence is absent.
    bool handleGroupAddition(SFRuleGroup& group, const std::string& groupGuid, int depth);
    // Copies the rule named guid with its aggregation matches; a JUMP rule also gets its group
    // filled from the group's sequence. Null when the rule is unknown or invalid.
    std::unique_ptr<SFRule> prepareRule(const std::string& guid, int depth,
                                        std::unique_ptr<SFRuleGroup>& group);
    void resetVariables();
    void FlushAllocatedMemory();
    void swapOldToNew();

    void log(int level, const std::string& message);

    ZAV::ILogger& m_logger;
    IConfigController& m_configController;
    INwIFManager& m_nwIfManager;
    const std::string m_componentName;
    std::map<ZAV::PolicySetting, std::string> m_newTimestamps;
    std::map<ZAV::PolicySetting, std::string> m_oldTimestamps;
    bool m_changed;
    std::map<std::string, RuleSettingObject> m_rules;
    std::map<std::string, AggSettingObject> m_aggregations;
    std::map<std::string, std::list<std::string>> m_newSequences;
    std::map<std::string, std::list<std::string>> m_oldSequences;
    std::map<std::string, std::unique_ptr<SFRuleGroup>> m_groups;
    // What enforceRules hands to the rule manager: the groups of the top-level JUMP rules in
    // policy order, and the top-level rules.
    std::vector<std::unique_ptr<SFRuleGroup>> m_stagedGroups;
    std::vector<std::unique_ptr<SFRule>> m_stagedRules;
    size_t m_builtItems = 0;
    std::string m_rulesPolicyName; // recorded with the settings once the policy applies
};

} // namespace StatefulFirewall
