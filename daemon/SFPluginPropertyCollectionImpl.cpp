#include "SFPluginPropertyCollectionImpl.h"

#include "CommonFunc.h"
#include "IConfigController.h"
#include "ILogger.h"
#include "ISectionsHandle.h"
#include "SFController.h"
#include "SFException.h"
#include "SFMatch.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleManager.h"

#include <cstdio>
#include <exception>
#include <memory>

namespace StatefulFirewall {

namespace {

constexpr size_t kPieceLength = 3000;
constexpr size_t kNameLimit = 255;
constexpr size_t kValueLimit = 269;
constexpr size_t kPortTextLimit = 1000;
constexpr size_t kMaxRemoteAddresses = 500;

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

std::string jsonString(std::string text)
{
    CommonFunc::EscapeSpecialCharsForJSON(text);
    return "\"" + text + "\"";
}

std::string matchObject(const std::string& type, const std::string& subType,
                        const std::string& op, bool isRange, const std::string& value1,
                        const std::string& value2)
{
    return std::string("{\"@_NodeName\":\"match\",\"type\":") + jsonString(type) +
           ",\"subType\":" + jsonString(subType) + ",\"enabled\":true,\"operator\":" +
           jsonString(op) + ",\"isRange\":" + boolText(isRange) +
           ",\"isTime\":false,\"value1\":" + jsonString(value1) + ",\"value2\":" +
           jsonString(value2) + ",\"value3\":\"\"}";
}

bool isRemotePort(int kind)
{
    return kind == FW_MATCH_REMOTE_PORT || kind == FW_MATCH_REMOTE_PORT_2;
}

bool isLocalPort(int kind)
{
    return kind == FW_MATCH_LOCAL_PORT || kind == FW_MATCH_LOCAL_PORT_2;
}

bool isRemoteAddress(int kind)
{
    return kind == FW_MATCH_REMOTE_IP_ADDRESS || kind == FW_MATCH_REMOTE_IP_ADDRESS_2;
}

} // namespace

SFPluginPropertyCollectionImpl::SFPluginPropertyCollectionImpl(ZAV::ILogger& logger,
                                                               IConfigController& config)
    : m_logger(logger),
      m_configController(config),
      m_componentName("SFPropertyCollection"),
      m_addAllProperties(true)
{
}

SFPluginPropertyCollectionImpl::~SFPluginPropertyCollectionImpl() = default;

void SFPluginPropertyCollectionImpl::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_componentName, message);
}

void SFPluginPropertyCollectionImpl::addPropertyToSectionData(ZAV::ISectionsHandle& sections,
                                                              const std::string& section,
                                                              const std::string& name,
                                                              const std::string& value)
{
    if (m_addAllProperties || section == "8")
        sections.addProperty(section, name, value);
}

bool SFPluginPropertyCollectionImpl::collectProperties(bool all, ZAV::ISectionsHandle& sections)
{
    try {
        log(5, "Collecting properties for Brevant Firewall for Linux");
        m_addAllProperties = all;
        addPropertyToSectionData(sections, "General", "szProductVer", getVersionString());
        const std::string hotfix = getHFVersion();
        if (!hotfix.empty())
            addPropertyToSectionData(sections, "General", "Hotfix", hotfix);
        const bool compliant = isCompliant();
        addPropertyToSectionData(sections, "CustomProps", "bComplianceStatus", compliant ? "1" : "0");
        addPropertyToSectionData(sections, "CustomProps", "szComplianceStatus", compliant ? "0" : "1");
        addPropertyToSectionData(sections, "General", "ServiceRunning", "1");
        addPropertyToSectionData(sections, "General", "RebootRequired", "0");
        std::string installDir;
        try {
            installDir = m_configController.getProductInfo()["ProductInformation.ProductInstallDir"];
        } catch (const SFException& e) {
            log(2, "SFPluginPropertyCollectionImpl::collectProperties - unable to read the install "
                   "directory: " + e.message);
        } catch (const std::exception& e) {
            log(2, std::string("SFPluginPropertyCollectionImpl::collectProperties - unable to read "
                               "the install directory: ") + e.what());
        }
        addPropertyToSectionData(sections, "General", "szInstallDir32", installDir);
        addPropertyToSectionData(sections, "General", "szInstallDir64", installDir);
        addPropertyToSectionData(sections, "General", "Language", "0409");
        collectPolicyNames(sections);
        collectFirewallOptions(sections);
        if (!collectClientSideAndAdaptiveRules(sections))
            log(6, "No client side and adaptive rules present");
        log(6, "SFPluginPropertyCollectionImpl::collectProperties - Exiting");
        return true;
    } catch (const SFException& e) {
        log(2, "Other exception: error " + std::to_string(e.code) + ": " + e.message);
    } catch (const std::exception& e) {
        log(2, std::string("Other exception: ") + e.what());
    } catch (...) {
        log(2, "Other exception");
    }
    return false;
}

std::string SFPluginPropertyCollectionImpl::getVersionString()
{
    try {
        return m_configController.getProductInfo()["ProductInformation.ProductVersion"];
    } catch (...) {
        log(2, "SFPluginPropertyCollectionImpl::getVersionString - Received xml exception while "
               "fetching product version");
    }
    return std::string();
}

std::string SFPluginPropertyCollectionImpl::getHFVersion()
{
    try {
        return m_configController.getProductInfo()["ProductInformation.HotFixes"];
    } catch (...) {
        log(2, "SFPluginPropertyCollectionImpl::getHFVersion - Received xml exception while HF version");
    }
    return std::string();
}

bool SFPluginPropertyCollectionImpl::isCompliant()
{
    SFController* controller = nullptr;
    try {
        controller = SFController::getInstance(m_logger, m_configController, nullptr);
    } catch (const SFException& e) {
        // Without the controller no policy can have set the status.
        log(2, "SFPluginPropertyCollectionImpl::collectProperties - no controller: " + e.message);
        return true;
    }
    return !(controller->getPolicyFirewallStatusSet() && controller->getPolicyFirewallStatus() &&
             !controller->getEnableStatefulFirewall());
}

void SFPluginPropertyCollectionImpl::collectPolicyNames(ZAV::ISectionsHandle& sections)
{
    log(6, "SFPluginPropertyCollectionImpl::collectPolicyNames - Entering");
    addPropertyToSectionData(sections, "General", "PolicyNameClientUI", "Not Applicable");
    addPropertyToSectionData(sections, "General", "PolicyNameFwOptions",
                             m_configController.getPolicyNameForFirewallOptions());
    addPropertyToSectionData(sections, "General", "PolicyNameFwRules",
                             m_configController.getPolicyNameForFirewallRules());
    addPropertyToSectionData(sections, "General", "PolicyNameDnsBlockingList", "Not Applicable");
    addPropertyToSectionData(sections, "General", "PolicyNameTrustedNetworks",
                             m_configController.getPolicyNameForTrustedNetwork());
}

void SFPluginPropertyCollectionImpl::collectFirewallOptions(ZAV::ISectionsHandle& sections)
{
    addPropertyToSectionData(sections, "Options", "FWStatus",
                             m_configController.getFwEnableStatus() ? "1" : "0");
    addPropertyToSectionData(sections, "Options", "FWAdaptiveModeStatus",
                             m_configController.getFwMode() != FW_MODE_REGULAR ? "1" : "0");
}

bool SFPluginPropertyCollectionImpl::collectClientSideAndAdaptiveRules(ZAV::ISectionsHandle& sections)
{
    log(6, "SFPluginPropertyCollectionImpl::collectClientSideAndAdaptiveRules - Entered");
    std::string json;
    if (!getJSONRuleString(json)) {
        log(6, "SFPluginPropertyCollectionImpl::collectClientSideAndAdaptiveRules - "
               "getJSONRuleString returned false so not proceeding");
        return false;
    }
    const size_t pieces = (json.size() + kPieceLength - 1) / kPieceLength;
    for (size_t i = 0; i < pieces; ++i) {
        // Past 999 pieces the numbers simply grow wider.
        char name[64];
        std::snprintf(name, sizeof(name), "ClientFwRules_%03zu_%03zu", i, pieces);
        addPropertyToSectionData(sections, "ClientPolicy", name, json.substr(i * kPieceLength, kPieceLength));
    }
    log(6, "SFPluginPropertyCollectionImpl::collectClientSideAndAdaptiveRules - Exited");
    return true;
}

bool SFPluginPropertyCollectionImpl::getJSONRuleString(std::string& out)
{
    log(6, "SFPluginPropertyCollectionImpl::getJSONRuleString - Entered");
    std::string text = "{\"list\":[";
    SFRuleManager* manager = SFRuleManager::getInstance(m_logger, m_configController, true);
    bool any = false;
    const struct {
        const char* id;
        const char* none;
    } groups[] = {
        {SF_CLIENT_GROUP_ID, "SFPluginPropertyCollectionImpl::collectClientSideAndAdaptiveRules - "
                             "No client side Rules so nothing to be done here"},
        {SF_ADAPTIVE_GROUP_ID, "SFPluginPropertyCollectionImpl::collectClientSideAndAdaptiveRules - "
                               "No Adaptive Rules so nothing to be done here"},
    };
    for (const auto& entry : groups) {
        // A deep copy: other threads may free the live rules while this one renders them.
        const std::unique_ptr<SFRuleGroup> group =
            manager->copyGroup(CommonFunc::getGUIDFromString(entry.id));
        if (!group || group->rules.empty()) {
            log(6, entry.none);
            continue;
        }
        for (const SFRule* rule : group->rules) {
            std::string object;
            if (!ruleToJsonStr(*rule, object))
                continue;
            if (any)
                text += ",";
            text += object;
            any = true;
        }
    }
    text += "]}";
    if (any)
        out = text;
    else
        log(6, "SFPluginPropertyCollectionImpl::collectClientSideAndAdaptiveRules - No Client and "
               "Adptive Rule found so doing Nothing");
    log(6, "SFPluginPropertyCollectionImpl::getJSONRuleString - Exited");
    return any;
}

bool SFPluginPropertyCollectionImpl::ruleToJsonStr(const SFRule& rule, std::string& out)
{
    log(6, "SFPluginPropertyCollectionImpl::ruleToJsonStr - Entered");
    std::string text = "{\"@_NodeName\":\"clientRule\",\"id\":\"" + CommonFunc::textGUID(rule.ruleId) +
                       "\",\"name\":" + jsonString(CommonFunc::cutUtf8(rule.name, kNameLimit)) +
                       ",\"enabled\":" + boolText(rule.enabled);
    if (rule.action != FW_ACTION_ALLOW && rule.action != FW_ACTION_BLOCK_PACKET) {
        log(6, "SFPluginPropertyCollectionImpl::ruleToJsonStr - Unknow action found so ignoring the rule");
        return false;
    }
    text += std::string(",\"action\":\"") + (rule.action == FW_ACTION_ALLOW ? "allow" : "block") +
            "\",\"logMatchingTraffic\":" + boolText(rule.logEnabled) +
            ",\"treatAsIntrusion\":" + boolText(rule.treatAsIntrusion) +
            ",\"hotDropIfNotMatch\":false,\"invertMatch\":false,\"enforceTimeRestrictions\":false"
            ",\"switchWhenExpired\":false";
    std::list<SFMatch*> matches(rule.matches.begin(), rule.matches.end());
    handlePortAndIpStringHack(matches);
    std::string matchText;
    const bool converted = getJsonMatchStr(rule, matches, matchText);
    if (converted)
        text += "," + matchText;
    else
        log(6, "SFPluginPropertyCollectionImpl::ruleToJsonStr - Something went wrong so not adding "
               "Match string");
    out = text + "}";
    log(6, "SFPluginPropertyCollectionImpl::ruleToJsonStr - Exited");
    return converted;
}

bool SFPluginPropertyCollectionImpl::handlePortAndIpStringHack(std::list<SFMatch*>& matches)
{
    log(6, "SFPluginPropertyCollectionImpl::handlePortAndIpStringHack - Entered");
    if (matches.empty()) {
        log(6, "SFPluginPropertyCollectionImpl::handlePortAndIpStringHack - Exiting as no Match is there");
        return true;
    }
    std::string remotePorts;
    std::string localPorts;
    size_t remoteAddresses = 0;
    for (const SFMatch* match : matches) {
        std::string* ports = isRemotePort(match->matchType)  ? &remotePorts
                             : isLocalPort(match->matchType) ? &localPorts
                                                             : nullptr;
        if (ports != nullptr) {
            if (!ports->empty())
                *ports += ",";
            *ports += match->getMatchValueString().substr(0, kValueLimit);
        }
        if (isRemoteAddress(match->matchType))
            ++remoteAddresses;
    }
    const bool dropRemotePorts = remotePorts.size() > kPortTextLimit;
    const bool dropLocalPorts = localPorts.size() > kPortTextLimit;
    const bool dropRemoteAddresses = remoteAddresses > kMaxRemoteAddresses;
    matches.remove_if([&](const SFMatch* match) {
        return (dropRemotePorts && isRemotePort(match->matchType)) ||
               (dropLocalPorts && isLocalPort(match->matchType)) ||
               (dropRemoteAddresses && isRemoteAddress(match->matchType));
    });
    log(6, "SFPluginPropertyCollectionImpl::handlePortAndIpStringHack - Exiting");
    return true;
}

bool SFPluginPropertyCollectionImpl::getJsonMatchStr(const SFRule& rule, std::list<SFMatch*> matches,
                                                     std::string& out)
{
    log(6, "SFPluginPropertyCollectionImpl::getJsonMatchStr - Entered");
    std::string objects;
    auto append = [&](const std::string& object) {
        if (!objects.empty())
            objects += ",";
        objects += object;
    };
    auto finish = [&](bool result) {
        log(6, "SFPluginPropertyCollectionImpl::getJsonMatchStr - Exited");
        return result;
    };

    std::string object;
    if (rule.netProto != NET_PROTO_ANY && getProtocolMatchString(SF_PROT_NETWORK_LAYER, rule.netProto, object))
        append(object);
    if (rule.transport != FW_TRANS_PROTO_ANY) {
        if (rule.transport != FW_TRANS_PROTO_TCP && rule.transport != FW_TRANS_PROTO_UDP &&
            rule.transport != FW_TRANS_PROTO_ICMP) {
            log(6, "SFPluginPolicyEnforcementImpl::getJsonMatchStr unsupported Transport protocol so "
                   "something is wrong");
            return finish(false);
        }
        object.clear();
        if (getProtocolMatchString(SF_PROT_IP, rule.transport, object))
            append(object);
        if (rule.transport == FW_TRANS_PROTO_ICMP) {
            const int type = rule.msgType;
            if (type == 0 || (type >= 3 && type <= 6) || (type >= 8 && type <= 18) ||
                (type >= 30 && type <= 40)) {
                object.clear();
                if (getProtocolMatchString(SF_PROT_ICMPV4_TYPE, type, object))
                    append(object);
            } else if (type != FW_ICMP_ANY) {
                log(2, "SFPluginPolicyEnforcementImpl::getJsonMatchStr unsupported Message Type " +
                           std::to_string(type) + "found so something has gone wrong");
            }
        }
    }

    for (const SFMatch* match : matches) {
        const int kind = match->matchType;
        if (kind == FW_MATCH_PHYSICAL_MEDIUM && match->value.intValue == IF_ALL) {
            log(2, "SFPluginPolicyEnforcementImpl::getJsonMatchStr For All Interface no match need to be added");
            continue;
        }
        if (kind <= FW_MATCH_INVALID || kind >= FW_MATCH_SCHEDULE) {
            log(2, "SFPluginPolicyEnforcementImpl::getJsonMatchStr Unsupported matchType Found. "
                   "Something seriously went wrong so returning");
            return finish(false);
        }
        const bool address = SFMatch::isAddressKind(kind);
        const bool isRange = match->addressType == FW_ADDRESS_TYPE_IP_RANGE ||
                             match->addressType == FW_ADDRESS_TYPE_PORT_RANGE ||
                             match->addressType == FW_ADDRESS_TYPE_ANY_IPV4_ADD;
        std::string value1;
        std::string value2;
        if (SFMatch::isPortKind(kind)) {
            value1 = std::to_string(match->value.ports.port);
            if (isRange)
                value2 = std::to_string(match->value.ports.lastPort);
        } else {
            value1 = match->getMatchValueString().substr(0, kValueLimit);
        }
        append(matchObject(match->getMatchTypeString(), address ? "IP ADDRESS" : "NOT SPECIFIED",
                           isRange ? "FW_MATCH_OP_IN_RANGE" : "FW_MATCH_OP_EQUAL", isRange, value1,
                           value2));
    }
    if (objects.empty())
        return finish(false);
    out = "\"matches\":[" + objects + "]";
    return finish(true);
}

bool SFPluginPropertyCollectionImpl::getProtocolMatchString(SFProtType kind, int value, std::string& out)
{
    log(6, "SFPluginPropertyCollectionImpl::getProtocolMatchString - Entered");
    const char* type = nullptr;
    switch (kind) {
    case SF_PROT_NETWORK_LAYER:
        type = "FW_MATCH_NETWORK_LAYER_PROTOCOL";
        break;
    case SF_PROT_IP:
        type = "FW_MATCH_IP_PROTOCOL";
        break;
    case SF_PROT_ICMPV4_TYPE:
        type = "FW_MATCH_ICMPV4_TYPE";
        break;
    default:
        log(2, "SFPluginPropertyCollectionImpl::getProtocolMatchString - Unknow Protocol Type Found "
               "so something is seriously wrong so returning false");
        return false;
    }
    out += matchObject(type, "NOT SPECIFIED", "FW_MATCH_OP_EQUAL", false, std::to_string(value), "");
    log(6, "SFPluginPropertyCollectionImpl::getProtocolMatchString - Exited");
    return true;
}

} // namespace StatefulFirewall
