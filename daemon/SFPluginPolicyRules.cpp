// The rule list of a policy: reading its sequences, rules and aggregations into the plug-in's
// maps, deciding whether it changed, and rebuilding the rule manager's table from it.

#include "SFPluginPolicyEnforcementImpl.h"

#include "CommonFunc.h"
#include "IConfigController.h"
#include "ILogger.h"
#include "SFController.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleManager.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace StatefulFirewall {

namespace {

const ZAV::PolicyObject kRulesObject{"HVRT_FW_META_FW", "Tovalith_FW_Rules", "Tovalith_FW_Rules"};
const char* const kRuleSection = "101";
const char* const kSequenceSection = "100";
const char* const kAggSection = "AggregateCriterion";
const char* const kTopLevel = "null";
const char* const kMappedZero = "0000:0000:0000:0000:0000:ffff:0000:0000";
const char* const kMappedAll = "0000:0000:0000:0000:0000:ffff:ffff:ffff";
const char* const kSpecialIpv6Rule = "ae02d3db-11e3-4fdb-9f7d-f004cee03e23";
constexpr int kAggLocal = 65541;
constexpr int kAggRemote = 65546;
constexpr int kMaxGroupDepth = 2;
// Rules, matches and references that building one policy's rules for the rule manager may go
// through. A sequence may list one rule or group many times and a rule may refer to one
// aggregation many times, so that work grows with the product of list lengths, not with the
// policy's size; this caps it far above any real rule list (a match is a few hundred bytes, so
// the copies stay near 30 MB).
constexpr size_t kMaxBuiltItems = 100000;

// A port is decimal 0-65535 and nothing else.
bool parsePort(const std::string& text, uint16_t& port)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const int value = std::stoi(text);
    if (value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

bool isPrefixNumber(const std::string& text)
{
    return !text.empty() && text.size() <= 3 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool isIpv6Protocol(int protocol)
{
    switch (protocol) {
    case 41: case 43: case 44: case 50: case 51: case 58: case 59: case 60:
        return true;
    default:
        return false;
    }
}

bool isSupportedMessageType(int type)
{
    return type == 0 || (type >= 3 && type <= 6) || (type >= 8 && type <= 18) ||
           (type >= 31 && type <= 40);
}

} // namespace

void SFPluginPolicyEnforcementImpl::resetVariables()
{
    m_rules.clear();
    m_newSequences.clear();
    m_groups.clear();
    m_aggregations.clear();
    m_newTimestamps.clear();
    m_stagedGroups.clear();
    m_stagedRules.clear();
    m_builtItems = 0;
}

void SFPluginPolicyEnforcementImpl::FlushAllocatedMemory()
{
    m_rules.clear();
    m_groups.clear();
    m_aggregations.clear();
    m_stagedGroups.clear();
    m_stagedRules.clear();
    m_builtItems = 0;
}

void SFPluginPolicyEnforcementImpl::swapOldToNew()
{
    m_oldSequences = m_newSequences;
    m_oldTimestamps = m_newTimestamps;
}

void SFPluginPolicyEnforcementImpl::countBuilt(size_t items)
{
    m_builtItems += items;
    if (m_builtItems > kMaxBuiltItems)
        throw PolicyRefused("the rule list would build more than " +
                            std::to_string(kMaxBuiltItems) + " rules and matches");
}

void SFPluginPolicyEnforcementImpl::readRules(const ZAV::ISectionsHandle& handle)
{
    const ZAV::PolicyInfo info = handle.getPolicyInfo(kRulesObject);
    m_rulesPolicyName = info.policyName;
    m_changed = false;
    resetVariables();

    for (const ZAV::PolicySetting& setting : info.settings) {
        bool taken = true;
        if (setting.settingType == "100")
            taken = buildSequence(setting, handle);
        else if (setting.settingType == "101")
            taken = buildRule(setting, handle);
        else if (setting.settingType == "AggregateCriterion")
            taken = buildAggregation(setting, handle);
        if (!taken)
            log(6, "Ignored the Setting of Type " + setting.settingType + " with Setting name " +
                       setting.settingName);
    }
    stageRules();
}

void SFPluginPolicyEnforcementImpl::stageRules()
{
    // Rules of the top level, held back until every group they jump to is in the table.
    const auto top = m_newSequences.find(kTopLevel);
    if (top == m_newSequences.end())
        return;
    for (const std::string& guid : top->second) {
        std::unique_ptr<SFRuleGroup> group;
        std::unique_ptr<SFRule> rule = prepareRule(guid, kMaxGroupDepth, group);
        if (!rule)
            continue;
        log(6, "Adding Rule " + guid + " to Group EMPTY");
        m_stagedRules.push_back(std::move(rule));
        if (group)
            m_stagedGroups.push_back(std::move(group));
    }
}

bool SFPluginPolicyEnforcementImpl::enforceRules(bool force)
{
    m_configController.setPolicyNameForFirewallRules(m_rulesPolicyName);
    // From here on the previous policy is this one, whether or not it is applied.
    swapOldToNew();

    if (m_changed) {
        log(6, "Rule enforcement will be done as the policy state has changed");
        if (force)
            log(6, "Rule enforcement will be done as either the list of Trusted networks or the "
                   "local Ip Address configuration has changed");
    } else if (force) {
        log(6, "Rule enforcement will be done as either the list of Trusted networks or the local "
               "Ip Address configuration has changed");
    } else {
        FlushAllocatedMemory();
        log(6, "Skipping rule enforcement since there were no change in rule policy, list of "
               "Trusted networks or the local Ip Address configuration");
        return true;
    }

    SFRuleManager* manager = SFRuleManager::getInstance(m_logger, m_configController, true);
    manager->delAllGroups(m_configController.getFwRetainExistCLROption());

    for (std::unique_ptr<SFRuleGroup>& group : m_stagedGroups) {
        const std::string groupText = CommonFunc::textGUID(group->groupId);
        log(6, "Adding Group " + groupText + " to Rule Table");
        const int code = manager->addGroup(group.get());
        if (code == SF_SUCCESS || code == SF_RULE_POSITION_CHANGED)
            group.release();
        else
            log(2, "The rule manager refused the group " + groupText + " with error " +
                       std::to_string(code));
    }
    GUID defaultGroupId;
    {
        boost::lock_guard<boost::mutex> lock(SFRuleTable::m_guardRuleGroupList);
        defaultGroupId = manager->m_ruleTable.defaultGroupId;
    }
    for (std::unique_ptr<SFRule>& rule : m_stagedRules) {
        rule->groupId = defaultGroupId;
        const int code = manager->addRule(rule.get());
        if (code == SF_SUCCESS || code == SF_RULE_POSITION_CHANGED)
            rule.release();
        else
            log(2, "The rule manager refused the rule " + rule->name + " with error " +
                       std::to_string(code));
    }

    bool result = true;
    if (m_configController.getFwEnableStatus()) {
        if (!SFController::getInstance(m_logger, m_configController, nullptr)
                 ->SendRuleAndGroupDataToKext())
            result = false;
    } else {
        log(5, "Skipping rule enforcement since Firewall is in Disable mode");
    }
    if (manager->updateRuleStore() != SF_SUCCESS) {
        log(2, "Unable to write the rule store after rule enforcement");
        result = false;
    }
    if (!result) {
        // Forget the policy just read, so the same policy sent again is applied again.
        m_oldSequences.clear();
        m_oldTimestamps.clear();
    }
    FlushAllocatedMemory();
    return result;
}

std::unique_ptr<SFRule> SFPluginPolicyEnforcementImpl::prepareRule(const std::string& guid,
                                                                   int depth,
                                                                   std::unique_ptr<SFRuleGroup>& group)
{
    const auto found = m_rules.find(guid);
    if (found == m_rules.end())
        return nullptr;
    countBuilt(1 + found->second.rule->matches.size() + found->second.aggregations.size());
    auto rule = std::make_unique<SFRule>(*found->second.rule);
    const bool jump = rule->action == FW_ACTION_JUMP;
    if (jump) {
        const auto stored = m_groups.find(guid);
        if (stored == m_groups.end())
            return nullptr;
        countBuilt(1 + stored->second->matches.size());
        group = std::make_unique<SFRuleGroup>(*stored->second);
        handleGroupAddition(*group, guid, depth);
    }

    bool localFound = false, localHasMatch = false, remoteFound = false, remoteHasMatch = false;
    for (const std::string& aggGuid : found->second.aggregations) {
        const auto agg = m_aggregations.find(aggGuid);
        if (agg == m_aggregations.end()) {
            log(6, "Unable to find the aggregation " + aggGuid + " so skipping this entry");
            continue;
        }
        if (agg->second.type == kAggLocal) {
            localFound = true;
            localHasMatch = localHasMatch || !agg->second.matches.empty();
        } else if (agg->second.type == kAggRemote) {
            remoteFound = true;
            remoteHasMatch = remoteHasMatch || !agg->second.matches.empty();
        } else {
            continue;
        }
        countBuilt(agg->second.matches.size());
        for (const auto& match : agg->second.matches) {
            if (jump)
                group->addGrpMatch(new SFMatch(*match));
            else
                rule->addMatch(new SFMatch(*match));
        }
    }
    if ((localFound && !localHasMatch) || (remoteFound && !remoteHasMatch)) {
        if (jump) {
            log(6, "Found Invalid Agg for the Rule so Ignoring the jump rule -  " + guid +
                       " and the target group - " + rule->name);
            group.reset();
        } else {
            log(6, "Match type for the rule failed. Ignoring the rule - " + rule->name);
        }
        return nullptr;
    }
    return rule;
}

bool SFPluginPolicyEnforcementImpl::handleGroupAddition(SFRuleGroup& group,
                                                        const std::string& groupGuid, int depth)
{
    const auto sequence = m_newSequences.find(groupGuid);
    if (sequence == m_newSequences.end())
        return false;
    countBuilt(sequence->second.size());
    const std::string groupText = CommonFunc::textGUID(group.groupId);
    for (const std::string& guid : sequence->second) {
        const auto found = m_rules.find(guid);
        if (found == m_rules.end())
            continue;
        if (found->second.rule->action == FW_ACTION_JUMP) {
            // The rule manager files jump rules only in the default group.
            log(6, "Group Depth is " + std::to_string(depth) + " but currently support only " +
                       std::to_string(kMaxGroupDepth) + " so ignoring group");
            continue;
        }
        std::unique_ptr<SFRuleGroup> none;
        std::unique_ptr<SFRule> rule = prepareRule(guid, depth + 1, none);
        if (!rule)
            continue;
        rule->groupId = group.groupId;
        log(6, "Adding Rule " + guid + " to Group " + groupText);
        group.addRule(rule.release());
    }
    return true;
}

bool SFPluginPolicyEnforcementImpl::buildSequence(const ZAV::PolicySetting& setting,
                                                  const ZAV::ISectionsHandle& handle)
{
    std::string id = getStringFromKey(handle, setting, kSequenceSection, "RuleListID");
    if (id.empty())
        id = kTopLevel;
    int count = -1;
    getListCount(handle, &setting, kSequenceSection, "_RuleIDSequence", "+RuleIDSequence#", count);
    std::list<std::string> sequence;
    for (int i = 0; i < count; ++i)
        sequence.push_back(
            getStringFromKey(handle, setting, kSequenceSection, "+RuleIDSequence#" + std::to_string(i)));
    const auto old = m_oldSequences.find(id);
    if (old == m_oldSequences.end() || old->second != sequence)
        m_changed = true;
    m_newSequences.emplace(id, std::move(sequence)); // a repeated id keeps the first list
    return true;
}

bool SFPluginPolicyEnforcementImpl::isRulesModified(const ZAV::PolicySetting& setting,
                                                    const std::string& lastModified)
{
    const auto old = m_oldTimestamps.find(setting);
    if (old == m_oldTimestamps.end()) {
        log(6, "Rule has changed since one of the setting could not be found");
        return true;
    }
    if (old->second != lastModified) {
        log(6, "Rule has changed since the timestamp is different");
        return true;
    }
    return false;
}

void SFPluginPolicyEnforcementImpl::insertRuleSettingTimeStamp(const ZAV::PolicySetting& setting,
                                                               const std::string& lastModified)
{
    m_newTimestamps[setting] = lastModified;
}

bool SFPluginPolicyEnforcementImpl::buildAggregation(const ZAV::PolicySetting& setting,
                                                     const ZAV::ISectionsHandle& handle)
{
    const std::string lastModified = getStringFromKey(handle, setting, kAggSection, "LastModified");
    if (isRulesModified(setting, lastModified))
        m_changed = true;
    insertRuleSettingTimeStamp(setting, lastModified);
    const std::string guid = getStringFromKey(handle, setting, kAggSection, "GUID");
    int type = -1;
    if (!getPolicyKeyValue(handle, setting, kAggSection, "Type", type))
        return false;
    AggSettingObject agg;
    agg.type = type;
    if (type == kAggLocal)
        agg.matches = getAggMatchList(handle, setting, "_LocalAddress", "+LocalAddress#",
                                      FW_MATCH_LOCAL_IP_ADDRESS);
    else if (type == kAggRemote)
        agg.matches = getAggMatchList(handle, setting, "_RemoteAddress", "+RemoteAddress#",
                                      FW_MATCH_REMOTE_IP_ADDRESS);
    else
        return false;
    m_aggregations[guid] = std::move(agg);
    return true;
}

SFPluginPolicyEnforcementImpl::Matches SFPluginPolicyEnforcementImpl::getAggMatchList(
    const ZAV::ISectionsHandle& handle, const ZAV::PolicySetting& setting,
    const std::string& countKey, const std::string& entryPrefix, int matchType)
{
    Matches matches;
    int count = -1;
    getListCount(handle, &setting, kAggSection, countKey, entryPrefix, count);
    for (int i = 0; i < count; ++i) {
        const std::string text =
            getStringFromKey(handle, setting, kAggSection, entryPrefix + std::to_string(i));
        std::unique_ptr<SFMatch> match;
        if (getMatchFromIpString(text, matchType, FW_MATCH_OP_EQUAL, match))
            matches.push_back(std::move(match));
    }
    return matches;
}

bool SFPluginPolicyEnforcementImpl::getMatchFromIpString(const std::string& text, int matchType,
                                                         int op, std::unique_ptr<SFMatch>& out)
{
    auto match = std::make_unique<SFMatch>();
    match->matchType = matchType;
    match->matchOp = op;
    std::string dotted;
    std::string endDotted;
    if (text == "[trusted]") {
        match->addressType = FW_ADDRESS_TYPE_TRUSTED;
    } else if (text == "[local]") {
        match->addressType = FW_ADDRESS_TYPE_ANY_LOCAL_IP;
    } else if (text == kMappedZero) {
        match->addressType = FW_ADDRESS_TYPE_LOCAL_SUBNET;
    } else if (text.find('.') != std::string::npos) {
        // The match keeps a domain name with its terminator in 256 bytes.
        if (text.size() > 255)
            return false;
        match->addressType = FW_ADDRESS_TYPE_DOMAIN_NAME;
        match->setFQDNString(text.c_str());
    } else if (text.find('-') != std::string::npos) {
        const size_t dash = text.find('-');
        const std::string start = text.substr(0, dash);
        const std::string end = text.substr(dash + 1);
        if (!CommonFunc::convertIPV6ToIPV4Str(start, dotted) ||
            !CommonFunc::convertIPV6ToIPV4Str(end, endDotted) ||
            !match->setStartIp4Address(dotted.c_str()) || !match->setEndIp4Address(endDotted.c_str()))
            return false;
        match->addressType = (start == kMappedZero && end == kMappedAll) ? FW_ADDRESS_TYPE_ANY_IPV4_ADD
                                                                         : FW_ADDRESS_TYPE_IP_RANGE;
    } else if (text.find('/') != std::string::npos) {
        const size_t slash = text.find('/');
        const std::string prefixText = text.substr(slash + 1);
        if (!CommonFunc::convertIPV6ToIPV4Str(text.substr(0, slash), dotted) ||
            !isPrefixNumber(prefixText))
            return false;
        const int prefix = std::stoi(prefixText);
        if (prefix < 96 || prefix > 128 ||
            !match->setCidrIPAddress(static_cast<uint8_t>(prefix - 96), dotted.c_str()))
            return false;
        match->addressType = FW_ADDRESS_TYPE_CIDR;
    } else {
        if (!CommonFunc::convertIPV6ToIPV4Str(text, dotted) || !match->setStartIp4Address(dotted.c_str()))
            return false;
        match->addressType = FW_ADDRESS_TYPE_SINGLE;
    }
    out = std::move(match);
    return true;
}

bool SFPluginPolicyEnforcementImpl::getMatchFromPortString(const std::string& text, int matchType,
                                                           int op, Matches& out)
{
    std::string rest = text;
    for (;;) {
        // getEachString cuts its third argument, so the remainder is passed as both texts.
        std::string piece;
        const int at = CommonFunc::getEachString(rest, piece, rest, ",");
        auto match = std::make_unique<SFMatch>();
        match->matchType = matchType;
        match->matchOp = op;
        const size_t dash = piece.find('-');
        uint16_t first = 0;
        uint16_t last = 0;
        if (dash == std::string::npos) {
            if (!parsePort(piece, first))
                return false;
            match->addressType = FW_ADDRESS_TYPE_SINGLE;
            match->setPortNumber(first, 0);
        } else {
            if (!parsePort(piece.substr(0, dash), first) || !parsePort(piece.substr(dash + 1), last) ||
                first > last)
                return false;
            match->addressType = FW_ADDRESS_TYPE_PORT_RANGE;
            match->setPortNumber(first, last);
        }
        out.push_back(std::move(match));
        if (at < 0)
            return true;
    }
}

bool SFPluginPolicyEnforcementImpl::isApplicationSectionPresent(const ZAV::ISectionsHandle& handle,
                                                                const ZAV::PolicySetting& setting)
{
    for (const char* key : {"_AppExeSet", "_AppGUID", "_AppLastModified",
                            "_AppLastModifyingUsername", "_AppName", "_AppNote"}) {
        int value = -1;
        if (getPolicyKeyValue(handle, setting, kRuleSection, key, value))
            return true;
    }
    return false;
}

std::string SFPluginPolicyEnforcementImpl::genScheduleDays(int weekMask)
{
    if (weekMask == 0 || weekMask == 127)
        return "Sun,Mon,Tue,Wed,Thu,Fri,Sat,";
    std::string days;
    for (int bit = 0; bit < 7; ++bit)
        if (weekMask & (1 << bit))
            days += std::string(CommonFunc::getScheduleDay(bit)) + ",";
    return days;
}

bool SFPluginPolicyEnforcementImpl::buildRule(const ZAV::PolicySetting& setting,
                                              const ZAV::ISectionsHandle& handle)
{
    auto text = [&](const std::string& key) {
        return getStringFromKey(handle, setting, kRuleSection, key);
    };
    auto integer = [&](const std::string& key, int& out) {
        return getPolicyKeyValue(handle, setting, kRuleSection, key, out);
    };

    const std::string viewOnly = text("ViewOnly");
    const std::string guidText = text("GUID");
    if (viewOnly == "1" && lower(guidText) == kSpecialIpv6Rule) {
        log(6, "Rule " + text("Name") + " is special IPv6 rule from core networking, so ignore the rule");
        return true;
    }
    const std::string lastModified = text("LastModified");
    const std::string name = text("Name");
    if (isRulesModified(setting, lastModified)) {
        log(6, "Inside rule parsing section. Detected change in rule - " + name +
                   ". Policy will be enforced again");
        m_changed = true;
    }
    insertRuleSettingTimeStamp(setting, lastModified);
    if (isApplicationSectionPresent(handle, setting)) {
        log(6, "Inside rule parsing section. Skipping rule - " + name + " as it has an Application section");
        return false;
    }

    const std::string actionText = text("Action");
    int action = 0;
    if (actionText == "JUMP")
        action = FW_ACTION_JUMP;
    else if (actionText == "ALLOW")
        action = FW_ACTION_ALLOW;
    else if (actionText == "BLOCK")
        action = FW_ACTION_BLOCK_PACKET;
    else {
        log(6, "Actiontype " + actionText + " not supported so discarding this policy setting");
        return false;
    }
    const std::string note = text("Note");

    int value = -1;
    int netProto = NET_PROTO_ANY;
    if (integer("+NetworkProtocol#0", value)) {
        if (value != NET_PROTO_IP) {
            log(6, "Inside rule parsing section. Skipping rule - " + name + " as Ether type " +
                       std::to_string(value) + " is not supported");
            return false;
        }
        netProto = NET_PROTO_IP;
    } else if (!integer("_NetworkProtocol", value)) {
        log(6, "Unable to find network protocol count so setting it to any");
    } else {
        log(6, "Unable to find network protocol so discarding this Policy Setting. Skipping rule " + name);
        return false;
    }

    value = -1;
    const bool intrusion = integer("Intrusion", value) && value != 0;

    int transport = FW_TRANS_PROTO_ANY;
    value = -1;
    if (!integer("_TransportProtocol", value)) {
        log(6, "Inside rule parsing section. Transport protocol set to any for the rule - " + name +
                   ", as Transport protcol count could not be found");
    } else {
        value = -1;
        if (!integer("+TransportProtocol#0", value)) {
            log(6, "Inside rule parsing section. Skipping rule - " + name +
                       " as Transport protocol setting could not be found");
            return false;
        }
        if (isIpv6Protocol(value)) {
            log(6, "Ignoring the rule " + name + " as it contains IPv6 related protocol");
            return false;
        }
        if (value != FW_TRANS_PROTO_ICMP && value != FW_TRANS_PROTO_TCP && value != FW_TRANS_PROTO_UDP)
            log(6, "Inside rule parsing section. Accepting rule - " + name +
                       " which has unknown Transport protocol " + std::to_string(value));
        transport = value;
    }

    std::list<std::string> aggregations;
    int count = -1;
    getListCount(handle, &setting, kRuleSection, "_AggRef", "+AggRef#", count);
    for (int i = 0; i < count; ++i)
        aggregations.push_back(text("+AggRef#" + std::to_string(i)));

    // Port lists are appended in policy order.
    Matches localPorts;
    Matches remotePorts;
    for (const bool local : {true, false}) {
        const std::string list = local ? "LocalPort" : "RemotePort";
        count = -1;
        getListCount(handle, &setting, kRuleSection, "_" + list, "+" + list + "#", count);
        for (int i = 0; i < count; ++i) {
            const std::string ports = text("+" + list + "#" + std::to_string(i));
            if (ports.empty()) {
                if (local)
                    log(6, "Blank entry found so adding no Match");
                continue;
            }
            if (!getMatchFromPortString(ports, local ? FW_MATCH_LOCAL_PORT : FW_MATCH_REMOTE_PORT,
                                        FW_MATCH_OP_EQUAL, local ? localPorts : remotePorts)) {
                log(2, "Inside rule parsing section. Skipping rule - " + name + " as the port list " +
                           ports + " holds a value that is not a port from 0 to 65535 or a range "
                           "from a lower to a higher port");
                return false;
            }
        }
    }

    Matches media;
    count = -1;
    const bool hasMedia = integer("_PhysicalMedium", count);
    auto addMedium = [&](int medium) {
        auto match = std::make_unique<SFMatch>();
        match->matchType = FW_MATCH_PHYSICAL_MEDIUM;
        match->matchOp = FW_MATCH_OP_EQUAL;
        match->value.intValue = medium;
        media.push_back(std::move(match));
    };
    if (!hasMedia || count > 2) {
        addMedium(IF_ALL);
    } else {
        for (int i = 0; i < count; ++i) {
            const std::string medium = text("+PhysicalMedium#" + std::to_string(i));
            if (medium == "WIRED")
                addMedium(FW_PHYSICAL_MEDIUM_WIRED);
            else if (medium == "VPN")
                addMedium(FW_PHYSICAL_MEDIUM_VIRTUAL);
            else if (medium == "WIRELESS")
                addMedium(FW_PHYSICAL_MEDIUM_WIRELESS);
            else
                log(6, "Unknown Interface Type = " + medium + " So Ignoring the Interface Value");
        }
    }

    const std::string directionText = text("Direction");
    int direction = 0;
    if (directionText == "IN")
        direction = FW_DIRECTION_INBOUND;
    else if (directionText == "OUT")
        direction = FW_DIRECTION_OUTBOUND;
    else if (directionText == "EITHER")
        direction = FW_DIRECTION_EITHER;
    else {
        log(6, "Inside rule parsing section. Skipping rule - " + name + ", as Direction - " +
                   directionText + " is not supported");
        return false;
    }
    if (text("ClickTimeout") == "1") {
        log(6, "Inside rule parsing section. Skipping rule/group - " + name + " as it is a timed group");
        return false;
    }

    std::unique_ptr<SFMatch> schedule;
    value = -1;
    if (integer("ScheduleEnabled", value) && value == 1) {
        const std::string offHours = text("OffHours");
        const std::string start = (text("ScheduleStartHours") + ":" + text("ScheduleStartMinutes")).substr(0, 5);
        const std::string end = (text("ScheduleEndHours") + ":" + text("ScheduleEndMinutes")).substr(0, 5);
        // An absent or non-numeric week mask fails the whole policy, before anything changed.
        const int weekMask = std::stoi(text("WeekMask"));
        MatchSchedule plan{};
        std::strncpy(plan.startTime, start.c_str(), sizeof(plan.startTime) - 1);
        std::strncpy(plan.endTime, end.c_str(), sizeof(plan.endTime) - 1);
        std::strncpy(plan.days, genScheduleDays(weekMask).substr(0, 28).c_str(), sizeof(plan.days) - 1);
        plan.daysMask = static_cast<uint16_t>(weekMask);
        // Any off-hours text other than "SWITCH" disables the rule outside the schedule.
        plan.scheduleAction = offHours == "SWITCH" ? FW_SCHEDULE_ACTION_REVERSE : FW_SCHEDULE_ACTION_DISABLE;
        schedule = std::make_unique<SFMatch>();
        schedule->matchType = FW_MATCH_SCHEDULE;
        schedule->matchOp = FW_MATCH_OP_EQUAL;
        schedule->setSchedule(plan);
    }

    value = -1;
    const bool enabled = integer("Enabled", value) && value == 1;
    log(6, "Inside rule parsing section. Detected that the rule - " + name +
               (enabled ? " is enabled" : " is disabled"));

    int msgType = FW_MSG_TYPE_UNKNOWN;
    if (transport == FW_TRANS_PROTO_ICMP) {
        value = -1;
        if (!integer("_MessageType", value)) {
            log(6, "Inside rule parsing section. Message type section not found for the rule - " +
                       name + ", it is now set to any");
            msgType = FW_ICMP_ANY;
        } else {
            int type = 0;
            integer("+MessageType#0", type);
            if (type == 255)
                msgType = FW_ICMP_ANY;
            else if (isSupportedMessageType(type))
                msgType = type;
            else {
                log(6, "Inside rule parsing section. Skipping the rule - " + name +
                           " as Message type - " + std::to_string(type) + " is not supported");
                return false;
            }
        }
    }

    value = -1;
    const bool logged = integer("Logged", value) && value == 1;
    if (logged)
        log(6, "Inside rule parsing section. Logging is enabled for the rule - " + name);

    const GUID guid = CommonFunc::getGUIDFromString(guidText);
    log(6, "Inside rule parsing section. GUID for the rule - " + name + " is - " + guidText);

    // The matches in their order: local ports, remote ports, media, direction, schedule.
    Matches matches;
    for (Matches* part : {&localPorts, &remotePorts, &media})
        for (auto& match : *part)
            matches.push_back(std::move(match));
    auto directionMatch = std::make_unique<SFMatch>();
    directionMatch->matchType = FW_MATCH_DIRECTION;
    directionMatch->matchOp = FW_MATCH_OP_EQUAL;
    directionMatch->value.intValue = direction;
    matches.push_back(std::move(directionMatch));
    if (schedule)
        matches.push_back(std::move(schedule));

    auto rule = std::make_unique<SFRule>();
    rule->ruleId = guid;
    if (action == FW_ACTION_JUMP) {
        log(6, "Inside rule parsing section. Adding the jump rule / rule group - " + name +
                   " to the rule manager");
        rule->jumpTarget = guid;
        rule->name = "Jump to group " + name;
        rule->action = FW_ACTION_JUMP;
        rule->enabled = true;
        auto group = std::make_unique<SFRuleGroup>();
        group->groupId = guid;
        group->name = name;
        group->description = note;
        group->enabled = enabled;
        group->transport = transport;
        group->netProto = netProto;
        group->enforced = false;
        group->msgType = msgType;
        for (auto& match : matches)
            group->addGrpMatch(match.release());
        m_groups[guidText] = std::move(group);
    } else {
        log(6, "Inside rule parsing section. Adding the rule - " + name + " to the rule manager");
        rule->name = name;
        rule->description = note;
        rule->action = action;
        rule->enabled = enabled;
        rule->transport = transport;
        rule->netProto = netProto;
        rule->msgType = msgType;
        rule->logEnabled = logged;
        rule->treatAsIntrusion = intrusion;
        rule->enforced = false;
        for (auto& match : matches)
            rule->addMatch(match.release());
    }
    RuleSettingObject record;
    record.rule = std::move(rule);
    record.aggregations = std::move(aggregations);
    m_rules[guidText] = std::move(record);
    return true;
}

} // namespace StatefulFirewall
