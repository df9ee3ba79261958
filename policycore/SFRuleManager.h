#pragma once

// The process-wide owner of the live rule table: loads it from the rule store, makes sure of
// the fixed groups and built-in rules, writes it back, and offers every group and rule
// operation, the packet-mark-to-rule map and the built-in and adaptive rule factories.
//
// Ownership: the table owns every group, rule and match in it. addGroup and addRule take
// their argument only when they answer 150000 or 150022; otherwise the caller keeps it.
// getGroup returns the stored group, valid only while the caller holds
// SFRuleTable::m_guardRuleGroupList: other threads prefer the copy-out operations.
//
// Lock order: m_guardRuleStore, then SFRuleTable::m_guardRuleGroupList,
// SFRuleGroup::m_guardRuleAndMatchList, SFRule::m_guardMatchList. Every look-up-then-change
// holds m_guardRuleGroupList from the look-up to the end of the change (the table's ...Locked
// variants). The mark map has its own m_guardNfMarkVsRuleUid, never held with another lock;
// the versions' own mutexes come innermost.
// Encoding the table takes the model locks itself, so store writes run with none of them held.

#include "SFContentVersion.h"
#include "SFRuleTable.h"
#include "SFTypes.h"

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IConfigController;
class SFMatch;
class SFRule;
class SFRuleGroup;
class SFStoreFile;

// A deep copy of the table, taken under all three model locks, with the versions it was at.
struct SFRuleTableSnapshot {
    std::vector<std::unique_ptr<SFRuleGroup>> groups;
    GUID agentGroupId;
    GUID clientGroupId;
    GUID adaptiveGroupId;
    GUID defaultGroupId;
    uint64_t version = 0;
    uint64_t adaptiveVersion = 0;
};

class SFRuleManager {
public:
    static SFRuleManager* getInstance();
    // Creates the manager on first use: loads the rule store, builds the fixed groups and
    // built-in rules, writes the store back. Exceptions of the construction pass to the caller.
    static SFRuleManager* getInstance(ZAV::ILogger& logger, IConfigController& config,
                                      bool withAgentGroup);
    static void releaseInstance();

    // Groups and rules.
    int addGroup(SFRuleGroup* group);
    int addRule(SFRule* rule);
    SFRuleGroup* getGroup(const GUID& groupId);
    int delGroup(const GUID& groupId);
    int delRule(const GUID& groupId, GUID ruleId);
    int updateGroup(SFRuleGroup* group);
    int updateRule(SFRule* rule);
    int delAllGroups(bool keepFixedGroups);
    int flushClientSideRules();
    bool isClientSideRulesPresent();
    void disableAllRuleAndGroupEnforcement();
    void logGroupDetails(const GUID& groupId);

    // Versions of the table in this process (see SFContentVersion), taken with every change
    // under m_guardRuleGroupList: the rules adaptive learning adds to the adaptive group apart
    // from every other change. An undo of a change the store refused takes the version back.
    static uint64_t version();
    static uint64_t adaptiveVersion();
    static SFContentVersion::Mark changeMark();
    // After changes made since mark and undone: operations counts both.
    static void changesUndone(const SFContentVersion::Mark& since, uint64_t operations);

    // Copy-out access for threads that must not keep a pointer into the live table.
    SFRuleTableSnapshot snapshot();
    std::unique_ptr<SFRuleGroup> copyGroup(const GUID& groupId);
    std::unique_ptr<SFRule> copyRule(const GUID& groupId, const GUID& ruleId);
    bool setGroupEnforced(const GUID& groupId, bool enforced);
    bool setRuleEnforced(const GUID& groupId, const GUID& ruleId, bool enforced);
    bool setGroupChainName(const GUID& groupId, const std::string& chainName);

    // Packet marks of enforced rules.
    void updateNfMarkVsRuleUid(unsigned short mark, KGUID ruleId);
    bool getNfMarkVsRuleUid(unsigned short mark, KGUID* out);

    // The rule store. updateRuleStore answers 150000 or 150001.
    int updateRuleStore();
    void lockRuleStore(std::string& path);
    void unlockRuleStore();
    bool persistRuleStore(std::string& path);
    bool loadRuleStore(std::string& path);
    bool deserializeRuleTable();

    // Fixed groups, built-in rules and the agent group. The operations that change the table
    // take m_guardRuleGroupList; the factories build a new object for the caller to add.
    int InitializeRuleEngine(bool freshStore);
    void createDefaultGroup();
    int createClientSideGroup();
    int createAdaptiveGroup();
    SFRule* CreateClientSideJumpRule();
    SFRule* CreateAdaptiveJumpRule();
    SFRule* createYalAgentJumpRule();
    SFRule* createSSHRule();
    SFRule* createLoopbackRule(bool clientGroup);
    SFRule* createNtpRule();
    SFRule* createAnyLocalIpRule();
    int UpdateYalAgentGroup();
    int createYalAgentGroup();
    int createYalAgentCommunicationRules();
    SFRule* createDHCPRule();
    SFRule* createDNSRule();
    SFRule* createDNSTcpRule();
    int CreateHttpDatUpdateRule(const std::list<std::string>& hosts, const std::list<std::string>& ports);
    int CreateFtpDatUpdateRule(const std::list<std::string>& hosts, const std::list<std::string>& ports);
    int CreateYalByAddressRule(const std::list<std::string>& addresses,
                               const std::list<std::string>& ports, std::string suffix);
    int CreateYalByNameRule(const std::list<std::string>& names, const std::list<std::string>& ports,
                            std::string suffix);
    int CreateAllowAgentWakeupRule(const std::list<std::string>& addresses);
    int CreateAllowAgentWakeupRuleByName(const std::list<std::string>& names);
    SFRule* createAdaptiveICMPRule();
    SFRule* createAdaptiveBroadcastRule();
    SFRule* createAdaptiveAnyRule();
    SFRule* createAdaptiveMulticastInRule();
    SFRule* createAdaptiveMulticastOutRule();
    SFRule* initializeAdaptiveRule(bool tcp, bool inbound, int port);
    SFRule* initializeDiscreteAdaptiveRule(bool inbound, bool tcp, std::string sourceAddress,
                                           int sourcePort, std::string destinationAddress,
                                           int destinationPort);
    SFMatch* getAdaptiveRuleRemoteMatch(std::string source);
    SFMatch* getAdaptiveRuleLocalMatch(std::string subnet);
    static bool IsDomainName(const std::string& text);

    // The live table; walk it only under the model locks.
    SFRuleTable m_ruleTable;

private:
    SFRuleManager(ZAV::ILogger& logger, IConfigController& config, bool withAgentGroup);
    ~SFRuleManager();
    SFRuleManager(const SFRuleManager&) = delete;
    SFRuleManager& operator=(const SFRuleManager&) = delete;

    // Need m_guardRuleGroupList held.
    int addRuleLocked(SFRule* rule);
    int initializeRuleEngineLocked(bool freshStore);
    void createDefaultGroupLocked();
    int createClientSideGroupLocked();
    int createAdaptiveGroupLocked();
    int updateYalAgentGroupLocked();
    int createYalAgentGroupLocked();
    int createYalAgentCommunicationRulesLocked();
    int addDatUpdateRuleLocked(const char* name, const std::list<std::string>& hosts,
                               const std::list<std::string>& ports);
    int addYalRuleLocked(bool byAddress, const std::list<std::string>& servers,
                         const std::list<std::string>& ports, const std::string& suffix);
    int addWakeupRulesLocked(bool byAddress, const std::list<std::string>& servers);
    void clearTableLocked();

    void log(int level, const std::string& message);

    std::unique_ptr<SFStoreFile> m_storeFile; // holds the file lock from lockRuleStore to unlockRuleStore
    bool m_withAgentGroup;
    std::map<unsigned short, KGUID> m_nfMarkVsRuleUid; // guarded by m_guardNfMarkVsRuleUid
    boost::mutex m_guardNfMarkVsRuleUid;
    boost::mutex m_guardRuleStore; // serialises this process's store operations
    ZAV::ILogger* m_logger;
    std::string m_moduleName;
    IConfigController* m_configController;

    static std::atomic<SFRuleManager*> m_pSelf;
    static boost::mutex m_instanceMutex;
    // Process-wide, so a manager created again never gives out a version twice.
    static SFContentVersion m_version;
    static SFContentVersion m_adaptiveVersion;
};

// Applies the retain-existing-client-rules setting to the rule manager.
class SFRuleEnginePolicyHelper {
public:
    static SFRuleEnginePolicyHelper* getInstance(ZAV::ILogger& logger, IConfigController& config);
    static void releaseInstance();
    // 150000 when client rules are to be kept; otherwise the result of flushing them.
    int handleEnforceRulePolicy();

private:
    SFRuleEnginePolicyHelper(ZAV::ILogger& logger, IConfigController& config);

    ZAV::ILogger* m_logger;
    std::string m_moduleName;
    IConfigController* m_configController;

    static std::atomic<SFRuleEnginePolicyHelper*> m_pSelf;
    static boost::mutex m_instanceMutex;
};

} // namespace StatefulFirewall
