#include "SFRuleManager.h"

#include "CommonFunc.h"
#include "IConfigController.h"
#include "ILogger.h"
#include "SFException.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFStoreCodec.h"
#include "SFStoreFile.h"

namespace StatefulFirewall {

std::atomic<SFRuleManager*> SFRuleManager::m_pSelf{nullptr};
boost::mutex SFRuleManager::m_instanceMutex;
SFContentVersion SFRuleManager::m_version;
SFContentVersion SFRuleManager::m_adaptiveVersion;
std::atomic<SFRuleEnginePolicyHelper*> SFRuleEnginePolicyHelper::m_pSelf{nullptr};
boost::mutex SFRuleEnginePolicyHelper::m_instanceMutex;

namespace {

using Lock = boost::lock_guard<boost::mutex>;

} // namespace

// ---------------------------------------------------------------------------------------------
// Creation

SFRuleManager* SFRuleManager::getInstance()
{
    return m_pSelf.load();
}

SFRuleManager* SFRuleManager::getInstance(ZAV::ILogger& logger, IConfigController& config,
                                          bool withAgentGroup)
{
    SFRuleManager* self = m_pSelf.load();
    if (self != nullptr)
        return self;
    Lock lock(m_instanceMutex);
    self = m_pSelf.load();
    if (self == nullptr) {
        self = new SFRuleManager(logger, config, withAgentGroup); // a throw leaves no instance
        m_pSelf.store(self);
    }
    return self;
}

void SFRuleManager::releaseInstance()
{
    Lock lock(m_instanceMutex);
    delete m_pSelf.exchange(nullptr);
}

SFRuleManager::SFRuleManager(ZAV::ILogger& logger, IConfigController& config, bool withAgentGroup)
    : m_withAgentGroup(withAgentGroup), m_logger(&logger), m_moduleName("SFRuleManager"),
      m_configController(&config)
{
    const bool loaded = deserializeRuleTable();
    if (!loaded)
        log(2, "Rule manager deserialize failed so Initialized the groups here");
    InitializeRuleEngine(!loaded);
    // The table in force may be another one's: a manager created again reloads the store.
    m_version.changed();

    std::string path = m_configController->getRuleStorePath();
    Lock storeLock(m_guardRuleStore);
    lockRuleStore(path);
    const bool written = persistRuleStore(path);
    unlockRuleStore();
    if (!written)
        log(2, "Failed to persist rule store after deserializing the rules");
}

SFRuleManager::~SFRuleManager() = default;

void SFRuleManager::log(int level, const std::string& message)
{
    m_logger->logMessage(level, m_moduleName, message);
}

// ---------------------------------------------------------------------------------------------
// Groups and rules

uint64_t SFRuleManager::version()
{
    return m_version.current();
}

uint64_t SFRuleManager::adaptiveVersion()
{
    return m_adaptiveVersion.current();
}

SFContentVersion::Mark SFRuleManager::changeMark()
{
    return m_version.mark();
}

void SFRuleManager::changesUndone(const SFContentVersion::Mark& since, uint64_t operations)
{
    m_version.undone(since, operations);
}

int SFRuleManager::addGroup(SFRuleGroup* group)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    const int result = m_ruleTable.addGroupLocked(group);
    if (result == SF_SUCCESS)
        m_version.changed();
    return result;
}

int SFRuleManager::addRule(SFRule* rule)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return addRuleLocked(rule);
}

int SFRuleManager::addRuleLocked(SFRule* rule)
{
    if (rule == nullptr)
        return SF_RULE_REFUSED;
    if (CommonFunc::isGUIDNull(rule->groupId))
        rule->groupId = m_ruleTable.defaultGroupId;
    if (rule->action == FW_ACTION_JUMP && !m_ruleTable.isDefaultGroup(rule->groupId)) {
        log(6, "Jump Rule can only be added to default group");
        return SF_RULE_REFUSED;
    }
    // Every check is made before the group takes the rule: SFRuleGroup::addRule owns what it
    // is given whatever it answers.
    SFRuleGroup* group = m_ruleTable.findGroupLocked(rule->groupId);
    if (group == nullptr)
        return SF_RULE_REFUSED;
    // Adaptive learning only adds, and applies the adaptive group on its own afterwards.
    SFContentVersion& version =
        m_ruleTable.isAdaptiveGroup(rule->groupId) ? m_adaptiveVersion : m_version;
    const int result = group->addRule(rule);
    if (result == SF_SUCCESS || result == SF_RULE_POSITION_CHANGED)
        version.changed();
    return result;
}

SFRuleGroup* SFRuleManager::getGroup(const GUID& groupId)
{
    SFRuleGroup* group = m_ruleTable.findGroup(groupId);
    if (group == nullptr)
        log(6, CommonFunc::textGUID(groupId) + "not found in rule group list");
    return group;
}

int SFRuleManager::delGroup(const GUID& groupId)
{
    if (m_ruleTable.isDefaultGroup(groupId) || m_ruleTable.isClientSideGroup(groupId) ||
        m_ruleTable.isAdaptiveGroup(groupId)) {
        log(6, "We are not allowed to delete client side or Adaptive group");
        return SF_GROUP_TO_DELETE_NOT_FOUND;
    }
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    const int result = m_ruleTable.delGroupLocked(groupId);
    if (result == SF_SUCCESS)
        m_version.changed();
    return result;
}

int SFRuleManager::delRule(const GUID& groupId, GUID ruleId)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    SFRuleGroup* group = m_ruleTable.findGroupLocked(groupId);
    if (group == nullptr) {
        log(6, CommonFunc::textGUID(groupId) +
                   " not found in rule group list,failed to delete the rule id: " +
                   CommonFunc::textGUID(ruleId));
        return SF_RULE_TO_DELETE_NOT_FOUND;
    }
    const int result = group->delRule(ruleId);
    if (result == SF_SUCCESS)
        m_version.changed();
    return result;
}

int SFRuleManager::updateGroup(SFRuleGroup* group)
{
    if (group == nullptr)
        return SF_GROUP_TO_UPDATE_NOT_FOUND;
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    const int result = m_ruleTable.updateGroupLocked(group);
    if (result == SF_SUCCESS)
        m_version.changed();
    return result;
}

int SFRuleManager::updateRule(SFRule* rule)
{
    if (rule == nullptr)
        return SF_INVALID_ARGUMENT;
    if (CommonFunc::isGUIDNull(rule->groupId)) {
        log(6, "group id is not found, setting to default group id");
        rule->groupId = m_ruleTable.defaultGroupId;
    }
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    SFRuleGroup* group = m_ruleTable.findGroupLocked(rule->groupId);
    if (group == nullptr) {
        log(2, "Group Id " + CommonFunc::textGUID(rule->groupId) +
                   " not found in the rule table.Failed to update rule ");
        return SF_RULE_UPDATE_GROUP_MISSING;
    }
    const int result = group->updateRule(rule);
    if (result == SF_SUCCESS)
        m_version.changed();
    return result;
}

int SFRuleManager::delAllGroups(bool keepFixedGroups)
{
    // Emptying and rebuilding is one change: no other thread may see the table without its
    // fixed groups.
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    const int result = m_ruleTable.delAllGroupsLocked(keepFixedGroups);
    // Counted also when it failed: it may have deleted some groups.
    m_version.changed();
    if (result != SF_SUCCESS || keepFixedGroups)
        return result;
    try {
        m_ruleTable.agentGroupId = GUID();
        m_ruleTable.clientGroupId = GUID();
        m_ruleTable.adaptiveGroupId = GUID();
        m_ruleTable.defaultGroupId = GUID();
        initializeRuleEngineLocked(false);
    } catch (const SFException& e) {
        log(2, "Failed to set default group to its default values. Error: " + e.message);
        return SF_REINIT_AFTER_DELETE_FAILED;
    } catch (const std::exception&) {
        log(2, "Failed to set default group to its default values.");
        return SF_REINIT_AFTER_DELETE_FAILED;
    }
    return SF_SUCCESS;
}

int SFRuleManager::flushClientSideRules()
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    for (const GUID& id : {m_ruleTable.clientGroupId, m_ruleTable.adaptiveGroupId})
        if (SFRuleGroup* group = m_ruleTable.findGroupLocked(id))
            group->removeAllRules(true);
    m_version.changed();
    return SF_SUCCESS;
}

bool SFRuleManager::isClientSideRulesPresent()
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    for (const GUID& id : {m_ruleTable.clientGroupId, m_ruleTable.adaptiveGroupId}) {
        const SFRuleGroup* group = m_ruleTable.findGroupLocked(id);
        if (group != nullptr && !group->rules.empty())
            return true;
    }
    return false;
}

void SFRuleManager::disableAllRuleAndGroupEnforcement()
{
    m_ruleTable.disableAllRuleAndGroupEnforcement();
}

void SFRuleManager::logGroupDetails(const GUID& groupId)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    if (const SFRuleGroup* group = m_ruleTable.findGroupLocked(groupId))
        group->logRuleGroupDetails();
}

// ---------------------------------------------------------------------------------------------
// Copy-out access

SFRuleTableSnapshot SFRuleManager::snapshot()
{
    SFRuleTableSnapshot copy;
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    Lock matchesLock(SFRule::m_guardMatchList);
    copy.agentGroupId = m_ruleTable.agentGroupId;
    copy.clientGroupId = m_ruleTable.clientGroupId;
    copy.adaptiveGroupId = m_ruleTable.adaptiveGroupId;
    copy.defaultGroupId = m_ruleTable.defaultGroupId;
    copy.version = m_version.current();
    copy.adaptiveVersion = m_adaptiveVersion.current();
    copy.groups.reserve(m_ruleTable.groups.size());
    for (const SFRuleGroup* group : m_ruleTable.groups)
        if (group != nullptr)
            copy.groups.push_back(std::make_unique<SFRuleGroup>(*group));
    return copy;
}

std::unique_ptr<SFRuleGroup> SFRuleManager::copyGroup(const GUID& groupId)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    const SFRuleGroup* group = m_ruleTable.findGroupLocked(groupId);
    if (group == nullptr)
        return nullptr;
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    Lock matchesLock(SFRule::m_guardMatchList);
    return std::make_unique<SFRuleGroup>(*group);
}

std::unique_ptr<SFRule> SFRuleManager::copyRule(const GUID& groupId, const GUID& ruleId)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    SFRuleGroup* group = m_ruleTable.findGroupLocked(groupId);
    if (group == nullptr)
        return nullptr;
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    const SFRule* rule = group->findRuleLocked(ruleId);
    if (rule == nullptr)
        return nullptr;
    Lock matchesLock(SFRule::m_guardMatchList);
    return std::make_unique<SFRule>(*rule);
}

bool SFRuleManager::setGroupEnforced(const GUID& groupId, bool enforced)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    SFRuleGroup* group = m_ruleTable.findGroupLocked(groupId);
    if (group == nullptr)
        return false;
    group->enforced = enforced;
    return true;
}

bool SFRuleManager::setRuleEnforced(const GUID& groupId, const GUID& ruleId, bool enforced)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    SFRuleGroup* group = m_ruleTable.findGroupLocked(groupId);
    if (group == nullptr)
        return false;
    Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
    SFRule* rule = group->findRuleLocked(ruleId);
    if (rule == nullptr)
        return false;
    rule->enforced = enforced;
    return true;
}

bool SFRuleManager::setGroupChainName(const GUID& groupId, const std::string& chainName)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    SFRuleGroup* group = m_ruleTable.findGroupLocked(groupId);
    if (group == nullptr)
        return false;
    group->chainName = chainName;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Packet marks

void SFRuleManager::updateNfMarkVsRuleUid(unsigned short mark, KGUID ruleId)
{
    Lock lock(m_guardNfMarkVsRuleUid);
    m_nfMarkVsRuleUid[mark] = ruleId;
}

bool SFRuleManager::getNfMarkVsRuleUid(unsigned short mark, KGUID* out)
{
    Lock lock(m_guardNfMarkVsRuleUid);
    auto it = m_nfMarkVsRuleUid.find(mark);
    if (it == m_nfMarkVsRuleUid.end() || out == nullptr)
        return false;
    *out = it->second;
    return true;
}

// ---------------------------------------------------------------------------------------------
// The rule store

int SFRuleManager::updateRuleStore()
{
    std::string path = m_configController->getRuleStorePath();
    Lock storeLock(m_guardRuleStore);
    lockRuleStore(path);
    const bool written = persistRuleStore(path);
    unlockRuleStore();
    return written ? SF_SUCCESS : SF_STORE_WRITE_FAILED;
}

void SFRuleManager::lockRuleStore(std::string& path)
{
    m_storeFile = std::make_unique<SFStoreFile>(path);
    std::string error;
    if (!m_storeFile->lock(error))
        log(2, "Error in locking the rule store : " + error);
}

void SFRuleManager::unlockRuleStore()
{
    m_storeFile.reset();
}

bool SFRuleManager::persistRuleStore(std::string& path)
{
    std::string bytes;
    try {
        bytes = encodeRuleStore(m_ruleTable); // takes the model locks itself
    } catch (const std::exception& e) {
        log(2, "Received exception. Ignoring. Will handle while loading data");
        log(2, std::string("Rule store not written: ") + e.what());
        return false;
    }
    std::string error;
    if (!SFStoreFile(path).replace(bytes, error)) {
        // The old store is still whole: the temporary file was written beside it and dropped.
        log(2, "Could not open Rule Store file");
        log(2, "Rule store not written: " + error);
        return false;
    }
    log(6, "Updated permissions of the Rule Store file");
    return true;
}

void SFRuleManager::clearTableLocked()
{
    m_ruleTable.delAllGroupsLocked(false);
    m_ruleTable.agentGroupId = GUID();
    m_ruleTable.clientGroupId = GUID();
    m_ruleTable.adaptiveGroupId = GUID();
    m_ruleTable.defaultGroupId = GUID();
}

bool SFRuleManager::loadRuleStore(std::string& path)
{
    // Read through the locked file when there is one, so the read keeps the lock.
    SFStoreFile unlocked(path);
    SFStoreFile& file = m_storeFile && m_storeFile->path() == path ? *m_storeFile : unlocked;
    std::string bytes;
    std::string error;
    switch (file.read(bytes, error)) {
    case SFStoreFile::ReadResult::Missing:
        if (!file.createEmpty(error))
            log(2, "Unable to create the rule store file");
        else
            log(6, "Successfully created and updated permissions of the rule store file");
        return false;
    case SFStoreFile::ReadResult::Failed:
        log(2, "Caught exception. Clearing our store and returning.");
        log(2, "Cannot read the rule store " + path + ": " + error);
        return false;
    case SFStoreFile::ReadResult::Read:
        break;
    }
    try {
        decodeRuleStore(bytes, m_ruleTable); // takes the group-list lock itself
        return true;
    } catch (const std::exception& e) {
        log(2, "Caught exception. Clearing our store and returning.");
        {
            Lock lock(SFRuleTable::m_guardRuleGroupList);
            clearTableLocked();
        }
        // Set the damaged store aside before anything writes over it.
        std::string kept;
        if (file.keepAsCorrupt(kept, error))
            log(2, std::string("Damaged rule store (") + e.what() + ") kept as " + kept);
        else if (!error.empty())
            log(2, "Damaged rule store could not be set aside: " + error);
        return false;
    }
}

bool SFRuleManager::deserializeRuleTable()
{
    std::string path = m_configController->getRuleStorePath();
    Lock storeLock(m_guardRuleStore);
    lockRuleStore(path);
    // Only the constructor loads the store, before this process writes it: any temporary file
    // beside it is a crashed write's leftover.
    if (const int removed = SFStoreFile(path).removeLeftoverTemporaries())
        log(5, "Removed " + std::to_string(removed) +
                   " temporary files left beside the rule store " + path);
    const bool loaded = loadRuleStore(path);
    unlockRuleStore();
    return loaded;
}

// ---------------------------------------------------------------------------------------------
// Retain-existing-client-rules policy

SFRuleEnginePolicyHelper* SFRuleEnginePolicyHelper::getInstance(ZAV::ILogger& logger,
                                                                IConfigController& config)
{
    SFRuleEnginePolicyHelper* self = m_pSelf.load();
    if (self != nullptr)
        return self;
    Lock lock(m_instanceMutex);
    self = m_pSelf.load();
    if (self == nullptr) {
        self = new SFRuleEnginePolicyHelper(logger, config);
        m_pSelf.store(self);
    }
    return self;
}

void SFRuleEnginePolicyHelper::releaseInstance()
{
    Lock lock(m_instanceMutex);
    delete m_pSelf.exchange(nullptr);
}

SFRuleEnginePolicyHelper::SFRuleEnginePolicyHelper(ZAV::ILogger& logger, IConfigController& config)
    : m_logger(&logger), m_moduleName("SFRuleEnginePolicyHelper"), m_configController(&config)
{
}

int SFRuleEnginePolicyHelper::handleEnforceRulePolicy()
{
    if (m_configController->getFwRetainExistCLROption())
        return SF_SUCCESS;
    return SFRuleManager::getInstance(*m_logger, *m_configController, true)->flushClientSideRules();
}

} // namespace StatefulFirewall
