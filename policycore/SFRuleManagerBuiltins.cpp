// The fixed groups, the jump rules that lead to them, the rules a fresh store starts with, the
// management-agent group rebuilt at every start, and the factories of adaptive rules.
//
// Every operation that changes the table holds SFRuleTable::m_guardRuleGroupList from its first
// look-up to its last change and works through the ...Locked forms; the factories only build
// objects for the caller to add.

#include "SFRuleManager.h"

#include "SFBuiltinRuleParts.h"

#include "CommonFunc.h"
#include "IConfigController.h"
#include "SFException.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleTable.h"

#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace StatefulFirewall {

namespace {

using namespace builtin;
using Lock = boost::lock_guard<boost::mutex>;
using LogFn = std::function<void(int, const std::string&)>;

const char* const kClientName = "QTZ Client";
const char* const kAdaptiveName = "QTZ Adaptive";
const char* const kAgentName = "QTZ WZ";

// Letters, digits, '-' and '.', at most what a domain-name match holds.
bool isHostName(const std::string& text)
{
    if (text.empty() || text.size() > 255)
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return isAsciiLetter(c) || isAsciiDigit(c) || c == '-' || c == '.';
    });
}

// Whole decimal numbers 1..65535 only: strtol would turn "70000" into a wrapped port, "-1"
// into 65535 and "8a" into 8, each allowing a port nobody asked for.
bool parsePort(const std::string& text, uint16_t& port)
{
    if (text.empty())
        return false;
    unsigned long value = 0;
    for (char c : text) {
        if (!isAsciiDigit(c))
            return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > kLastPort)
            return false;
    }
    if (value == 0)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// A wake-up port of the agent's rule file. The file's numbers have always been read as base-10
// strtol reads them, so the blanks around the number and a plus sign that it skips are taken
// too; anything else around the digits, and values outside 1..65535, are still refused.
bool parseAgentPort(const std::string& text, uint16_t& port)
{
    const char* const blanks = " \t\n\v\f\r";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return false;
    const size_t last = text.find_last_not_of(blanks);
    size_t start = first;
    if (text[start] == '+')
        ++start;
    return start <= last && parsePort(text.substr(start, last - start + 1), port);
}

// A REMOTE_IP match for a server or update host: SINGLE for dotted IPv4, DOMAIN_NAME for a
// host name, null for anything else. An address that does not parse would otherwise leave a
// match on 0.0.0.0.
std::unique_ptr<SFMatch> remoteHostMatch(const std::string& host)
{
    std::unique_ptr<SFMatch> match(
        addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_SINGLE));
    if (match->setStartIp4Address(host.c_str()))
        return match;
    if (!isHostName(host))
        return nullptr;
    match->addressType = FW_ADDRESS_TYPE_DOMAIN_NAME;
    match->setFQDNString(host.c_str());
    return match;
}

std::vector<std::unique_ptr<SFMatch>> remoteHostMatches(const std::list<std::string>& hosts,
                                                        const std::string& usedBy, const LogFn& log)
{
    std::vector<std::unique_ptr<SFMatch>> matches;
    for (const std::string& host : hosts) {
        std::unique_ptr<SFMatch> match = remoteHostMatch(host);
        if (match)
            matches.push_back(std::move(match));
        else
            log(2, "Skipping host '" + host + "' for " + usedBy +
                       ": it is neither an IPv4 address nor a host name");
    }
    return matches;
}

std::vector<uint16_t> validPorts(const std::list<std::string>& ports, const std::string& usedBy,
                                 const LogFn& log)
{
    std::vector<uint16_t> result;
    for (const std::string& text : ports) {
        uint16_t port = 0;
        if (parsePort(text, port))
            result.push_back(port);
        else
            log(2, "Skipping port '" + text + "' for " + usedBy +
                       ": it is not a number from 1 to 65535");
    }
    return result;
}

// A jump rule carries its target's identifier as its own, so it can be found and deleted by the
// group's identifier. The null group makes addRule file it in the default group.
SFRule* newJumpRule(const GUID& target, const std::string& targetName)
{
    auto* rule = new SFRule();
    rule->ruleId = target;
    rule->jumpTarget = target;
    rule->name = "Jump to group " + targetName;
    rule->enabled = true;
    rule->keep = true;
    rule->action = FW_ACTION_JUMP;
    rule->transport = FW_TRANS_PROTO_NOT_SET;
    rule->netProto = NET_PROTO_ANY;
    rule->msgType = FW_MSG_TYPE_UNKNOWN;
    rule->position = -1;
    return rule;
}

bool aimsAt(const SFRule* rule, const GUID& target)
{
    return rule != nullptr && rule->action == FW_ACTION_JUMP &&
           sameGuidText(rule->jumpTarget, target);
}

// Needs m_guardRuleGroupList held.
bool hasJumpToLocked(SFRuleTable& table, const GUID& target)
{
    SFRuleGroup* primary = table.findGroupLocked(table.defaultGroupId);
    if (primary == nullptr)
        return false;
    Lock lock(SFRuleGroup::m_guardRuleAndMatchList);
    return std::any_of(primary->rules.begin(), primary->rules.end(),
                       [&](const SFRule* rule) { return aimsAt(rule, target); });
}

// The push reads the last two rules of the default group as the jumps to the client and the
// adaptive group, in that order. A jump added to a table that already holds rules would be
// filed in front of those two, so it is moved: the client jump right in front of the adaptive
// jump (or last when there is none), the adaptive jump last. On a fresh table this changes
// nothing. Needs m_guardRuleGroupList held.
void placeFixedJumpLocked(SFRuleTable& table, SFRule* jump)
{
    SFRuleGroup* primary = table.findGroupLocked(table.defaultGroupId);
    if (primary == nullptr)
        return;
    Lock lock(SFRuleGroup::m_guardRuleAndMatchList);
    std::list<SFRule*>& rules = primary->rules;
    auto stored = std::find(rules.begin(), rules.end(), jump);
    if (stored == rules.end())
        return;
    rules.erase(stored);
    auto before = rules.end();
    if (sameGuidText(jump->jumpTarget, clientId()))
        before = std::find_if(rules.begin(), rules.end(),
                              [](const SFRule* rule) { return aimsAt(rule, adaptiveId()); });
    rules.insert(before, jump);
    primary->updateAllRuleIndex();
}

// What differs between the client group and the adaptive group.
struct FixedGroup {
    const char* idText;
    const char* name;
    const char* chainName;
    GUID SFRuleTable::*idField;
    int (SFRuleTable::*appendLocked)();
    const char* renamedLog;
    const char* renameFailedLog;
    const char* refusedText;
    const char* addedLog;
    const char* jumpFailedLog;
};

const FixedGroup kClientGroup = {
    SF_CLIENT_GROUP_ID,
    kClientName,
    "QTZ_Client",
    &SFRuleTable::clientGroupId,
    &SFRuleTable::addClientSideGroupLocked,
    "Successfully set the client side group name to ",
    "Failed to set the client side group name to ",
    "RuleEngine: Failed to add Client side group into Rule table",
    "Successfully added Client side group with id: ",
    "Unable to add Jump Rule for Client Side Group with group id: ",
};

const FixedGroup kAdaptiveGroup = {
    SF_ADAPTIVE_GROUP_ID,
    kAdaptiveName,
    "QTZ_Adaptive",
    &SFRuleTable::adaptiveGroupId,
    &SFRuleTable::addAdaptiveGroupLocked,
    "Successfully set adaptive group name to ",
    "Failed to set adaptive group name ",
    "RuleEngine: Failed to add Adaptive group into Rule table",
    "Successfully added Adaptive group with id:  ",
    "Unable to Add jump Rule for Adaptive Group with group id: ",
};

// Makes sure of the client or the adaptive group. A table read from the store keeps its group
// and only gets the names set again; a group found while the table's identifier for it is null
// is adopted rather than added twice; a store that kept the identifier but lost the group gets
// the group back. The default group gets a jump to the group whenever it holds none (it may
// itself have been rebuilt). Needs m_guardRuleGroupList held.
int ensureFixedGroupLocked(SFRuleTable& table, const FixedGroup& fixed, SFRule* (*makeJump)(),
                           const std::function<int(SFRule*)>& addRuleLocked, const LogFn& log)
{
    const GUID id = CommonFunc::getGUIDFromString(fixed.idText);
    const bool fromStore = !CommonFunc::isGUIDNull(table.*fixed.idField);
    const std::string idText = CommonFunc::textGUID(id);
    if (SFRuleGroup* group = table.findGroupLocked(id)) {
        if (!fromStore)
            log(2, std::string("The rule store holds the group ") + fixed.name + " (" + idText +
                       ") without naming it; it is used as that group");
        table.*fixed.idField = id;
        group->name = fixed.name;
        group->chainName = fixed.chainName;
        log(6, std::string(fixed.renamedLog) + fixed.name);
    } else {
        if (fromStore)
            log(2, std::string(fixed.renameFailedLog) + fixed.name);
        table.*fixed.idField = id;
        if ((table.*fixed.appendLocked)() != SF_SUCCESS)
            throw SFException(SF_GROUP_REFUSED, fixed.refusedText);
        log(6, fixed.addedLog + idText);
    }

    if (hasJumpToLocked(table, id))
        return SF_SUCCESS;
    SFRule* jump = makeJump();
    const int result = addRuleLocked(jump);
    if (result == SF_SUCCESS || result == SF_RULE_POSITION_CHANGED) {
        placeFixedJumpLocked(table, jump);
    } else {
        delete jump;
        log(2, fixed.jumpFailedLog + idText);
    }
    return result;
}

SFRule* clientJump()
{
    return newJumpRule(clientId(), kClientName);
}

SFRule* adaptiveJump()
{
    return newJumpRule(adaptiveId(), kAdaptiveName);
}

} // namespace

// ---- Engine start-up -----------------------------------------------------------------------

int SFRuleManager::InitializeRuleEngine(bool freshStore)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return initializeRuleEngineLocked(freshStore);
}

int SFRuleManager::initializeRuleEngineLocked(bool freshStore)
{
    createDefaultGroupLocked();

    int result = createClientSideGroupLocked();
    if (result != SF_SUCCESS && result != SF_RULE_POSITION_CHANGED) {
        log(2, "Unable to create Client Side Group with group id: " +
                   CommonFunc::textGUID(m_ruleTable.clientGroupId));
        return result;
    }

    if (freshStore) {
        const struct {
            SFRule* rule;
            const char* failure;
        } builtins[] = {
            {createSSHRule(), "Failed to add SSH Rule. Continuing."},
            {createLoopbackRule(true), "Failed to add Loopback Rule. Continuing."},
            {createNtpRule(), "Failed to add Ntp Rule. Continuing."},
            {createAnyLocalIpRule(), "Failed to add Any Local Ip Rule. Continuing."},
        };
        for (const auto& builtin : builtins) {
            const int added = addRuleLocked(builtin.rule);
            if (added != SF_SUCCESS && added != SF_RULE_POSITION_CHANGED)
                delete builtin.rule;
            if (added != SF_SUCCESS)
                log(6, builtin.failure);
        }
    }

    result = createAdaptiveGroupLocked();
    if (result != SF_SUCCESS && result != SF_RULE_POSITION_CHANGED) {
        log(2, "Unable to create Adaptive Group with group id: " +
                   CommonFunc::textGUID(m_ruleTable.adaptiveGroupId));
        return result;
    }

    updateYalAgentGroupLocked();
    return result;
}

// ---- Fixed groups --------------------------------------------------------------------------

void SFRuleManager::createDefaultGroup()
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    createDefaultGroupLocked();
}

void SFRuleManager::createDefaultGroupLocked()
{
    if (!CommonFunc::isGUIDNull(m_ruleTable.defaultGroupId)) {
        if (m_ruleTable.findGroupLocked(m_ruleTable.defaultGroupId) != nullptr)
            return;
        // A damaged store named the group but lost it: rebuilt like the other fixed groups,
        // whose jumps are then added back to it.
        log(2, "The default group " + CommonFunc::textGUID(m_ruleTable.defaultGroupId) +
                   " is missing from the rule store; it is rebuilt");
    }
    m_ruleTable.defaultGroupId = CommonFunc::getDefaultGroupID();
    if (m_ruleTable.addDefaultGroupLocked() != SF_SUCCESS)
        throw SFException(SF_GROUP_REFUSED,
                          "SFRuleEngine: Failed to add default group into Rule table");
    log(6, "Successfully added default group with id: " +
               CommonFunc::textGUID(m_ruleTable.defaultGroupId));
}

int SFRuleManager::createClientSideGroup()
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return createClientSideGroupLocked();
}

int SFRuleManager::createClientSideGroupLocked()
{
    return ensureFixedGroupLocked(
        m_ruleTable, kClientGroup, clientJump, [this](SFRule* rule) { return addRuleLocked(rule); },
        [this](int level, const std::string& message) { log(level, message); });
}

int SFRuleManager::createAdaptiveGroup()
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return createAdaptiveGroupLocked();
}

int SFRuleManager::createAdaptiveGroupLocked()
{
    return ensureFixedGroupLocked(
        m_ruleTable, kAdaptiveGroup, adaptiveJump,
        [this](SFRule* rule) { return addRuleLocked(rule); },
        [this](int level, const std::string& message) { log(level, message); });
}

SFRule* SFRuleManager::CreateClientSideJumpRule()
{
    return clientJump();
}

SFRule* SFRuleManager::CreateAdaptiveJumpRule()
{
    return adaptiveJump();
}

SFRule* SFRuleManager::createYalAgentJumpRule()
{
    return newJumpRule(CommonFunc::getYalAgentGroupID(), kAgentName);
}

// ---- Rules a fresh store starts with -------------------------------------------------------

SFRule* SFRuleManager::createSSHRule()
{
    SFRule* rule =
        newBuiltinRule("Varnik-Allow-SSH", clientId(), FW_ACTION_ALLOW, FW_TRANS_PROTO_TCP);
    rule->addMatch(portMatch(FW_MATCH_LOCAL_PORT, 22));
    rule->addMatch(directionMatch(FW_DIRECTION_INBOUND));
    return rule;
}

SFRule* SFRuleManager::createLoopbackRule(bool clientGroup)
{
    SFRule* rule = newBuiltinRule("Varnik-Allow-Loopback", clientGroup ? clientId() : adaptiveId(),
                                  FW_ACTION_ALLOW, FW_TRANS_PROTO_ANY);
    rule->addMatch(directionMatch(FW_DIRECTION_EITHER));
    rule->addMatch(cidrMatch(FW_MATCH_LOCAL_IP_ADDRESS, "127.0.0.0", 8));
    rule->addMatch(cidrMatch(FW_MATCH_REMOTE_IP_ADDRESS, "127.0.0.0", 8));
    return rule;
}

SFRule* SFRuleManager::createNtpRule()
{
    SFRule* rule =
        newBuiltinRule("Varnik-Allow-Ntp", clientId(), FW_ACTION_ALLOW, FW_TRANS_PROTO_UDP);
    rule->addMatch(directionMatch(FW_DIRECTION_OUTBOUND));
    rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, 123));
    return rule;
}

SFRule* SFRuleManager::createAnyLocalIpRule()
{
    SFRule* rule =
        newBuiltinRule("Varnik-Allow-AnyLocalIp", clientId(), FW_ACTION_ALLOW, FW_TRANS_PROTO_ANY);
    rule->addMatch(directionMatch(FW_DIRECTION_EITHER));
    rule->addMatch(addressMatch(FW_MATCH_LOCAL_IP_ADDRESS, FW_ADDRESS_TYPE_ANY_LOCAL_IP));
    rule->addMatch(addressMatch(FW_MATCH_REMOTE_IP_ADDRESS, FW_ADDRESS_TYPE_ANY_LOCAL_IP));
    return rule;
}

// ---- The agent group -----------------------------------------------------------------------

int SFRuleManager::UpdateYalAgentGroup()
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return updateYalAgentGroupLocked();
}

int SFRuleManager::updateYalAgentGroupLocked()
{
    const GUID agentId = CommonFunc::getYalAgentGroupID();
    const std::string idText = CommonFunc::textGUID(agentId);
    int result = m_ruleTable.delGroupLocked(agentId);
    if (result != SF_SUCCESS)
        // Routine on a fresh store, where the group does not exist yet.
        log(result == SF_GROUP_TO_DELETE_NOT_FOUND ? 6 : 2,
            "'yal agent' group either doesn't exist or unable to delete it with group id: " +
                idText);

    if (m_withAgentGroup) {
        result = createYalAgentGroupLocked();
        if (result != SF_SUCCESS && result != SF_RULE_POSITION_CHANGED)
            log(2, "Unable to create yal agent Group with group id: " + idText);
    }
    return result;
}

int SFRuleManager::createYalAgentGroup()
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return createYalAgentGroupLocked();
}

int SFRuleManager::createYalAgentGroupLocked()
{
    const GUID agentId = CommonFunc::getYalAgentGroupID();
    const std::string idText = CommonFunc::textGUID(agentId);
    m_ruleTable.agentGroupId = agentId;

    // The group is rebuilt from the agent's current data: drop every copy first, so a damaged
    // store holding it twice cannot leave a stale one. Each pass that finds a copy removes it,
    // so the bound only guards against a table that answers otherwise.
    for (size_t pass = m_ruleTable.groups.size(); pass > 0; --pass)
        if (m_ruleTable.delGroupLocked(agentId) == SF_GROUP_TO_DELETE_NOT_FOUND)
            break;

    // A damaged store may also hold a jump to the agent group without the group (deleting a
    // missing group leaves its jumps): the jump added below is the only one.
    if (SFRuleGroup* primary = m_ruleTable.findGroupLocked(m_ruleTable.defaultGroupId)) {
        std::vector<GUID> stray;
        {
            Lock rulesLock(SFRuleGroup::m_guardRuleAndMatchList);
            for (const SFRule* rule : primary->rules)
                if (rule != nullptr && rule->action == FW_ACTION_JUMP &&
                    sameGuidText(rule->jumpTarget, agentId))
                    stray.push_back(rule->ruleId);
        }
        for (const GUID& ruleId : stray)
            primary->delRule(ruleId);
    }

    if (m_ruleTable.addYalAgentGroupLocked() != SF_SUCCESS)
        throw SFException(SF_GROUP_REFUSED,
                          "RuleEngine: Failed to add yal agent group into Rule table");
    log(6, "Successfully added yal agent group with id: " + idText);

    SFRule* jump = createYalAgentJumpRule();
    const int added = addRuleLocked(jump);
    if (added != SF_SUCCESS && added != SF_RULE_POSITION_CHANGED) {
        delete jump;
        log(2, "Unable to add Jump Rule for yal agent Group with group id: " + idText);
    }
    return createYalAgentCommunicationRulesLocked();
}

int SFRuleManager::createYalAgentCommunicationRules()
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return createYalAgentCommunicationRulesLocked();
}

int SFRuleManager::createYalAgentCommunicationRulesLocked()
{
    std::list<std::string> securePorts, addresses, serverPorts, httpHosts, httpPorts, ftpHosts,
        ftpPorts, names;
    const bool haveSecurePorts = m_configController->getYalSecurePort(securePorts) != 0;
    const bool haveAddresses = m_configController->getYalServerIP(addresses) != 0;
    const bool haveServerPorts = m_configController->getYalServerPort(serverPorts) != 0;
    const bool haveHttpHosts = m_configController->getHttpUpdateUrl(httpHosts) != 0;
    const bool haveHttpPorts = m_configController->getHttpUpdatePort(httpPorts) != 0;
    const bool haveFtpHosts = m_configController->getFtpUpdateUrl(ftpHosts) != 0;
    const bool haveFtpPorts = m_configController->getFtpUpdatePort(ftpPorts) != 0;
    const bool haveNames = m_configController->getYalServerName(names) != 0;

    int result = SF_SUCCESS;
    // Runs one step; false (after logging) when it did not answer 150000.
    auto step = [&](int stepResult, const char* failure) {
        result = stepResult;
        if (result == SF_SUCCESS)
            return true;
        log(6, failure);
        return false;
    };
    auto addBuiltin = [&](SFRule* rule) {
        const int added = addRuleLocked(rule);
        if (added != SF_SUCCESS && added != SF_RULE_POSITION_CHANGED)
            delete rule;
        return added;
    };

    const std::string secure = "for Secure Port";
    if (haveAddresses && haveSecurePorts) {
        if (!step(addYalRuleLocked(true, addresses, securePorts, secure),
                  "couldn't add AllowYalByIP rule for Secure Port."))
            return result;
    } else if (haveNames && haveSecurePorts) {
        if (!step(addYalRuleLocked(false, names, securePorts, secure),
                  "couldn't add AllowYalByName rule for Secure Port."))
            return result;
    }

    const std::string server = "for Server Port";
    if (haveServerPorts && haveAddresses) {
        if (!step(addYalRuleLocked(true, addresses, serverPorts, server),
                  "couldn't add AllowYalByIP rule for Server Port."))
            return result;
    } else if (haveNames && haveServerPorts) {
        if (!step(addYalRuleLocked(false, names, serverPorts, server),
                  "couldn't add AllowYalByName rule for Server Port."))
            return result;
    }

    if (!step(addBuiltin(createDHCPRule()), "couldn't add dhcp rule.") ||
        !step(addBuiltin(createDNSRule()), "couldn't add dns rule.") ||
        !step(addBuiltin(createDNSTcpRule()), "couldn't add dns rule for TCP."))
        return result;

    if (haveAddresses) {
        if (!step(addWakeupRulesLocked(true, addresses), "couldn't add agent wakeup rule."))
            return result;
    } else if (haveNames) {
        if (!step(addWakeupRulesLocked(false, names),
                  "couldn't add agent wakeup rule by server name."))
            return result;
    }

    if (haveHttpPorts && haveHttpHosts &&
        !step(addDatUpdateRuleLocked("Varnik-Allow Dat update http", httpHosts, httpPorts),
              "couldn't add http dat update rule."))
        return result;

    if (haveFtpPorts && haveFtpHosts &&
        !step(addDatUpdateRuleLocked("Varnik-Allow Dat update ftp", ftpHosts, ftpPorts),
              "couldn't add ftp dat update rule."))
        return result;

    return result;
}

SFRule* SFRuleManager::createDHCPRule()
{
    SFRule* rule = newBuiltinRule("Varnik-Allow Bootp", CommonFunc::getYalAgentGroupID(),
                                  FW_ACTION_ALLOW, FW_TRANS_PROTO_UDP);
    rule->addMatch(portMatch(FW_MATCH_LOCAL_PORT, 68));
    rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, 67));
    rule->addMatch(directionMatch(FW_DIRECTION_EITHER));
    return rule;
}

SFRule* SFRuleManager::createDNSRule()
{
    SFRule* rule = newBuiltinRule("Varnik-Allow DNS Resolution", CommonFunc::getYalAgentGroupID(),
                                  FW_ACTION_ALLOW, FW_TRANS_PROTO_UDP);
    rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, 53));
    rule->addMatch(directionMatch(FW_DIRECTION_OUTBOUND));
    return rule;
}

SFRule* SFRuleManager::createDNSTcpRule()
{
    SFRule* rule =
        newBuiltinRule("Varnik-Allow TCP DNS Resolution", CommonFunc::getYalAgentGroupID(),
                       FW_ACTION_ALLOW, FW_TRANS_PROTO_TCP);
    rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, 53));
    rule->addMatch(directionMatch(FW_DIRECTION_OUTBOUND));
    return rule;
}

int SFRuleManager::CreateHttpDatUpdateRule(const std::list<std::string>& hosts,
                                           const std::list<std::string>& ports)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return addDatUpdateRuleLocked("Varnik-Allow Dat update http", hosts, ports);
}

int SFRuleManager::CreateFtpDatUpdateRule(const std::list<std::string>& hosts,
                                          const std::list<std::string>& ports)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return addDatUpdateRuleLocked("Varnik-Allow Dat update ftp", hosts, ports);
}

// Without a host or a port match the rule would allow far more than the update site, so it is
// left out and the agent sequence goes on as if it had been added.
int SFRuleManager::addDatUpdateRuleLocked(const char* name, const std::list<std::string>& hosts,
                                          const std::list<std::string>& ports)
{
    const LogFn logFn = [this](int level, const std::string& message) { log(level, message); };
    std::vector<std::unique_ptr<SFMatch>> hostMatches =
        remoteHostMatches(hosts, std::string("rule ") + name, logFn);
    const std::vector<uint16_t> portNumbers = validPorts(ports, std::string("rule ") + name, logFn);
    if (hostMatches.empty() || portNumbers.empty()) {
        log(2, std::string("Not adding rule ") + name + ": no usable host or port is left");
        return SF_SUCCESS;
    }

    SFRule* rule =
        newBuiltinRule(name, CommonFunc::getYalAgentGroupID(), FW_ACTION_ALLOW, FW_TRANS_PROTO_TCP);
    for (std::unique_ptr<SFMatch>& match : hostMatches)
        rule->addMatch(match.release());
    for (uint16_t port : portNumbers)
        rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, port));
    rule->addMatch(directionMatch(FW_DIRECTION_OUTBOUND));

    const int result = addRuleLocked(rule);
    if (result != SF_SUCCESS && result != SF_RULE_POSITION_CHANGED)
        delete rule;
    return result;
}

int SFRuleManager::CreateYalByAddressRule(const std::list<std::string>& addresses,
                                          const std::list<std::string>& ports, std::string suffix)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return addYalRuleLocked(true, addresses, ports, suffix);
}

int SFRuleManager::CreateYalByNameRule(const std::list<std::string>& names,
                                       const std::list<std::string>& ports, std::string suffix)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return addYalRuleLocked(false, names, ports, suffix);
}

// Like the update rules, a server rule without a usable server or port is left out.
int SFRuleManager::addYalRuleLocked(bool byAddress, const std::list<std::string>& servers,
                                    const std::list<std::string>& ports, const std::string& suffix)
{
    const std::string name =
        std::string(byAddress ? "Varnik-Allow Yal by Address " : "Varnik-Allow Yal by Name ") +
        suffix;
    const LogFn logFn = [this](int level, const std::string& message) { log(level, message); };
    const std::vector<uint16_t> portNumbers = validPorts(ports, "rule " + name, logFn);
    std::vector<std::unique_ptr<SFMatch>> hostMatches =
        remoteHostMatches(servers, "rule " + name, logFn);
    if (hostMatches.empty() || portNumbers.empty()) {
        log(2, "Not adding rule " + name + ": no usable server or port is left");
        return SF_SUCCESS;
    }

    SFRule* rule =
        newBuiltinRule(name, CommonFunc::getYalAgentGroupID(), FW_ACTION_ALLOW, FW_TRANS_PROTO_TCP);
    for (uint16_t port : portNumbers)
        rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, port));
    for (std::unique_ptr<SFMatch>& match : hostMatches)
        rule->addMatch(match.release());
    rule->addMatch(directionMatch(FW_DIRECTION_OUTBOUND));

    const int result = addRuleLocked(rule);
    if (result != SF_SUCCESS && result != SF_RULE_POSITION_CHANGED)
        delete rule;
    return result;
}

int SFRuleManager::CreateAllowAgentWakeupRule(const std::list<std::string>& addresses)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return addWakeupRulesLocked(true, addresses);
}

int SFRuleManager::CreateAllowAgentWakeupRuleByName(const std::list<std::string>& names)
{
    Lock lock(SFRuleTable::m_guardRuleGroupList);
    return addWakeupRulesLocked(false, names);
}

// One rule per entry of the agent's rule file, each limited to the management servers. When
// servers were given but none is usable, no entry is built: the rules would otherwise admit
// every host on the agent's ports.
int SFRuleManager::addWakeupRulesLocked(bool byAddress, const std::list<std::string>& servers)
{
    const LogFn logFn = [this](int level, const std::string& message) { log(level, message); };
    const std::string what =
        byAddress ? "the agent wakeup rules" : "the agent wakeup rules by server name";
    const std::vector<std::unique_ptr<SFMatch>> hostMatches =
        remoteHostMatches(servers, what, logFn);
    if (!servers.empty() && hostMatches.empty()) {
        log(2, "Not adding " + what + ": no usable management server is left");
        return SF_SUCCESS;
    }

    std::map<std::string, std::vector<std::string>> entries;
    m_configController->getAgentRulesFromIni(entries);

    int result = SF_SUCCESS;
    for (const auto& entry : entries) {
        const std::string& name = entry.first;
        const std::vector<std::string>& values = entry.second;
        if (values.size() < 4) {
            log(2, "Skipping agent rule " + name + ": it has " + std::to_string(values.size()) +
                       " values instead of 4");
            continue;
        }
        uint16_t remotePort = 0;
        uint16_t localPort = 0;
        const bool remoteBad = !values[1].empty() && !parseAgentPort(values[1], remotePort);
        const bool localBad = !values[2].empty() && !parseAgentPort(values[2], localPort);
        if (remoteBad || localBad) {
            log(2, "Skipping agent rule " + name + ": port '" +
                       (remoteBad ? values[1] : values[2]) + "' is not a number from 1 to 65535");
            continue;
        }

        const std::string& transport = values[0];
        SFRule* rule = newBuiltinRule(name, CommonFunc::getYalAgentGroupID(), FW_ACTION_ALLOW,
                                      transport == "0"   ? FW_TRANS_PROTO_TCP
                                      : transport == "1" ? FW_TRANS_PROTO_UDP
                                                         : FW_TRANS_PROTO_ANY);
        if (remotePort != 0)
            rule->addMatch(portMatch(FW_MATCH_REMOTE_PORT, remotePort));
        if (localPort != 0)
            rule->addMatch(portMatch(FW_MATCH_LOCAL_PORT, localPort));
        for (const std::unique_ptr<SFMatch>& match : hostMatches)
            rule->addMatch(new SFMatch(*match));
        const std::string& direction = values[3];
        rule->addMatch(directionMatch(direction == "0"   ? FW_DIRECTION_INBOUND
                                      : direction == "1" ? FW_DIRECTION_OUTBOUND
                                                         : FW_DIRECTION_EITHER));

        result = addRuleLocked(rule);
        if (result != SF_SUCCESS && result != SF_RULE_POSITION_CHANGED)
            delete rule;
    }
    return result;
}

bool SFRuleManager::IsDomainName(const std::string& text)
{
    return !text.empty() && isAsciiLetter(text.front()) && isAsciiLetter(text.back());
}

} // namespace StatefulFirewall
