#include "SFPluginPolicyEnforcementImpl.h"

#include "CommonFunc.h"
#include "IConfigController.h"
#include "ILogger.h"
#include "INwIFManager.h"
#include "SFController.h"
#include "SFException.h"
#include "SFMatch.h"
#include "SFResultCodes.h"
#include "SFRule.h"
#include "SFRuleGroup.h"
#include "SFRuleManager.h"
#include "SFTrustedGroupIP.h"
#include "SFTrustedIPGroupManager.h"

#include <algorithm>
#include <exception>

namespace StatefulFirewall {

namespace {

const char* const kSoftwareId = "HVRT_FW_1060QUIL";
const char* const kOptionsSection = "8";
const char* const kMappedPrefix = "0000:0000:0000:0000:0000:ffff";
const ZAV::PolicyObject kStatusModeObject{"HVRT_FW_META_FW", "FW_StatusMode", "FW_StatusMode"};

// The key readers copy values into a 4096-byte buffer: longer texts are cut to what fits.
constexpr size_t kMaxValueLength = 4095;

// A decimal number of at most maxDigits digits, nothing else.
bool parseDecimal(const std::string& text, int maxValue, int& out)
{
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const long value = std::stol(text);
    if (value > maxValue)
        return false;
    out = static_cast<int>(value);
    return true;
}

// Dotted text as given, or IPv4-mapped text turned into dotted text; empty when neither.
std::string toDotted(const std::string& text, bool& mapped)
{
    mapped = text.compare(0, 29, kMappedPrefix) == 0;
    if (!mapped)
        return text;
    std::string dotted;
    if (!CommonFunc::convertIPV6ToIPV4Str(text, dotted))
        return std::string();
    return dotted;
}

} // namespace

SFPluginPolicyEnforcementImpl::SFPluginPolicyEnforcementImpl(ZAV::ILogger& logger,
                                                             IConfigController& config,
                                                             INwIFManager& nwIfManager)
    : m_logger(logger),
      m_configController(config),
      m_nwIfManager(nwIfManager),
      m_componentName("SFPolicyEnforcement"),
      m_changed(false)
{
}

SFPluginPolicyEnforcementImpl::~SFPluginPolicyEnforcementImpl() = default;

void SFPluginPolicyEnforcementImpl::log(int level, const std::string& message)
{
    m_logger.logMessage(level, m_componentName, message);
}

bool SFPluginPolicyEnforcementImpl::getPolicyKeyValue(const ZAV::ISectionsHandle& handle,
                                                      const std::string& section,
                                                      const std::string& key, int& out)
{
    bool found = false;
    const std::string text = handle.getValue(section, key, found);
    if (found)
        out = std::stoi(text);
    return found;
}

bool SFPluginPolicyEnforcementImpl::getPolicyKeyValue(const ZAV::ISectionsHandle& handle,
                                                      const ZAV::PolicySetting& setting,
                                                      const std::string& section,
                                                      const std::string& key, int& out)
{
    bool found = false;
    const std::string text = handle.getValue(setting, section, key, found);
    if (found)
        out = std::stoi(text);
    return found;
}

std::string SFPluginPolicyEnforcementImpl::getStringFromKey(const ZAV::ISectionsHandle& handle,
                                                            const std::string& section,
                                                            const std::string& key)
{
    bool found = false;
    std::string text = handle.getValue(section, key, found).substr(0, kMaxValueLength);
    if (found)
        log(6, "string = " + text);
    return text;
}

std::string SFPluginPolicyEnforcementImpl::getStringFromKey(const ZAV::ISectionsHandle& handle,
                                                            const ZAV::PolicySetting& setting,
                                                            const std::string& section,
                                                            const std::string& key)
{
    bool found = false;
    std::string text = handle.getValue(setting, section, key, found).substr(0, kMaxValueLength);
    if (found)
        log(6, "string = " + text);
    return text;
}

bool SFPluginPolicyEnforcementImpl::enforcePolicy(const std::string&, const std::string&,
                                                  const std::string&, unsigned long,
                                                  ZAV::tag_AgentLogonState,
                                                  const ZAV::ISectionsHandle&)
{
    return true;
}

bool SFPluginPolicyEnforcementImpl::getListCount(const ZAV::ISectionsHandle& handle,
                                                 const ZAV::PolicySetting* setting,
                                                 const std::string& section,
                                                 const std::string& countKey,
                                                 const std::string& entryPrefix, int& count)
{
    const bool found = setting != nullptr
                           ? getPolicyKeyValue(handle, *setting, section, countKey, count)
                           : getPolicyKeyValue(handle, section, countKey, count);
    if (!found || count < 1)
        return found;
    // The walks read entry after entry up to the count, so a count that the policy does not
    // back with entries would hold the agent's thread (and the lists built from it) for as long
    // as the count says. Checking stops at the first missing entry: at most one look-up more
    // than the entries the policy holds.
    for (int i = 0; i < count; ++i) {
        bool present = false;
        const std::string key = entryPrefix + std::to_string(i);
        if (setting != nullptr)
            handle.getValue(*setting, section, key, present);
        else
            handle.getValue(section, key, present);
        if (!present)
            throw PolicyRefused("the count " + countKey + "=" + std::to_string(count) +
                                " in section " + section +
                                (setting != nullptr ? " of the setting " + setting->settingName
                                                    : std::string()) +
                                " is larger than the " + std::to_string(i) +
                                " entries the policy holds (no " + key + ")");
    }
    return true;
}

bool SFPluginPolicyEnforcementImpl::enforcePolicy(const std::string& softwareId,
                                                  const ZAV::ISectionsHandle& handle)
{
    if (softwareId != kSoftwareId) {
        log(2, "Policy is not for our software ID so ignoring.");
        return false;
    }
    // The agent's thread must never see an exception: a bad number or count in the policy, a
    // failing store or the model's SFException all end the call with false. The policy is read
    // whole before anything changes, so a policy that cannot be read changes nothing.
    try {
        return enforcePolicyChecked(handle);
    } catch (const PolicyRefused& e) {
        log(2, std::string("Policy refused, nothing was applied: ") + e.what());
    } catch (const SFException& e) {
        log(2, "Policy enforcement failed with error " + std::to_string(e.code) + ": " + e.message);
    } catch (const std::exception& e) {
        log(2, std::string("Policy refused, nothing was applied: the policy holds a value that "
                           "could not be read (") + e.what() + ")");
    } catch (...) {
        log(2, "Policy enforcement failed with an unknown exception");
    }
    FlushAllocatedMemory();
    return false;
}

bool SFPluginPolicyEnforcementImpl::enforcePolicyChecked(const ZAV::ISectionsHandle& handle)
{
    log(5, "Enforcing Policy for Brevant Firewall for Linux");
    for (const auto& object : handle.getPolicyObjects())
        log(6, "Enforcement is being done for the policy - " + object.second.policyName +
                   " with - Feature Id : '" + object.first.featureId + "'Category Id: '" +
                   object.first.categoryId + "', Type Id : '" + object.first.typeId);

    int enforce = -1;
    if (getPolicyKeyValue(handle, kSoftwareId, "EnforcePolicy", enforce)) {
        log(6, "string = " + std::to_string(enforce));
        if (enforce < 1) {
            log(6, "Inside policy enforcement. Skipping rule enforcement as status is not valid");
            return true;
        }
    }

    // Everything is read first; any of these may throw, and nothing has changed yet.
    const FirewallOptions options = readFirewallOptions(handle);
    const std::optional<bool> trustLocalSubnet = parseTrustLocalSubnetInPolicy(handle);
    TrustedList trusted = parseTrustedNetworksInPolicy(handle);
    readRules(handle);

    bool result = true;
    const bool oldTrustLocalSubnet = m_configController.getShouldTrustLocalSubnet();
    if (!enforceFirewallOptions(options)) {
        log(2, "Error Firewall Options Policy enforcement failed ");
        result = false;
    }
    const std::string statusPolicyName = handle.getPolicyInfo(kStatusModeObject).policyName;
    m_configController.setPolicyNameForTrustedNetwork(statusPolicyName);
    bool newTrustLocalSubnet = false;
    if (trustLocalSubnet) {
        newTrustLocalSubnet = *trustLocalSubnet;
        if (!enforceTrustLocalSubnet(newTrustLocalSubnet))
            result = false;
    }

    const bool trustedChanged = hasTrustedNetworksChanged(trusted);
    if (trustedChanged && !enforceTrustedNetworks(trusted)) {
        log(2, "Error Trusted Network List update Failed ");
        result = false;
    }
    trusted.clear();

    // Read (and cleared) only now that the policy is known to apply: a refused policy leaves
    // the change for the health-check thread.
    const bool networkChanged = m_nwIfManager.hasNetworkChanged();
    if (!enforceRules(oldTrustLocalSubnet != newTrustLocalSubnet || networkChanged ||
                      trustedChanged)) {
        log(2, "Rule enforcement Failed ");
        result = false;
    }
    return result;
}

SFPluginPolicyEnforcementImpl::FirewallOptions
SFPluginPolicyEnforcementImpl::readFirewallOptions(const ZAV::ISectionsHandle& handle)
{
    FirewallOptions options;
    options.policyName = handle.getPolicyInfo(kStatusModeObject).policyName;
    auto read = [&](const char* key, std::optional<int>& out) {
        int value = -1;
        if (getPolicyKeyValue(handle, kOptionsSection, key, value))
            out = value;
    };
    read("FWStatus", options.fwStatus);
    read("AdaptiveModeStatus", options.adaptiveMode);
    read("MergeRules", options.mergeRules);
    read("InspectFTP", options.inspectFtp);
    read("TCPTimeout", options.tcpTimeout);
    read("VCTimeout", options.vcTimeout);
    return options;
}

bool SFPluginPolicyEnforcementImpl::enforceFirewallOptions(const FirewallOptions& options)
{
    log(6, "Enforcing Firewall Options");
    m_configController.setPolicyNameForFirewallOptions(options.policyName);
    SFController* controller = SFController::getInstance(m_logger, m_configController, nullptr);
    bool result = true;
    // A setter that could not write the settings fails the options; the others still apply.
    auto checkWrite = [&](int code, const std::string& what) {
        if (code == SF_PREF_WRITE_FAILED) {
            log(2, "Inside firewall option enforcement, unable to write the setting " + what +
                       " (error " + std::to_string(code) + ")");
            result = false;
        }
        return code;
    };

    if (options.fwStatus) {
        const bool on = *options.fwStatus == 1;
        checkWrite(m_configController.setFwEnableStatus(on), "firewall status");
        controller->setPolicyFirewallStatus(on);
        controller->setPolicyFirewallStatusSet(true);
        log(6, on ? "Inside firewall option enforcement. Enabling the firewall"
                  : "Inside firewall option enforcement. Disabling the firewall");
        controller->sfPreferencesCallBack(SF_PREF_FW_STATUS, m_nwIfManager);
    }
    if (options.adaptiveMode) {
        const int code = checkWrite(
            m_configController.setFwMode(static_cast<FW_MODE>(*options.adaptiveMode)), "firewall mode");
        if (code == SF_SUCCESS)
            controller->sfPreferencesCallBack(SF_PREF_FW_MODE, m_nwIfManager);
        else
            log(6, "Inside firewall option enforcement, Unable to set firewall mode due to the "
                   "error id - " + std::to_string(code));
    }
    if (options.mergeRules) {
        if (*options.mergeRules == 1) {
            checkWrite(m_configController.setFwRetainExistCLROption(true), "retain client rules");
            log(6, "Inside firewall option enforcement, setting the option retain client side "
                   "rules to true");
        } else {
            log(6, "Inside firewall option enforcement, setting the option retain client side "
                   "rules to false");
            checkWrite(m_configController.setFwRetainExistCLROption(false), "retain client rules");
            if (!flushClientSideRules())
                result = false;
        }
    }
    checkWrite(m_configController.setFwEnableIPspoofProtOption(false), "IP spoof protection");
    if (options.inspectFtp) {
        const bool on = *options.inspectFtp == 1;
        checkWrite(m_configController.setFwFTPinspectionOption(on), "FTP inspection");
        log(6, on ? "Inside firewall option enforcement, setting the option ftp inspection to true"
                  : "Inside firewall option enforcement, setting the option ftp inspection to false");
        controller->sfPreferencesCallBack(SF_PREF_FTP_INSPECTION, m_nwIfManager);
    }
    if (options.tcpTimeout) {
        const int value = *options.tcpTimeout;
        const int code = checkWrite(m_configController.setFwTCPConTimeout(value), "TCP timeout");
        if (code == SF_SUCCESS)
            controller->sfPreferencesCallBack(SF_PREF_TCP_CON_TIMEOUT, m_nwIfManager);
        else
            log(6, "Stateful Firewall Unable to set Value" + std::to_string(value) +
                       " for SF_TCP_TIMEOUT with error value " + std::to_string(code));
    }
    if (options.vcTimeout) {
        const int value = *options.vcTimeout;
        const int code =
            checkWrite(m_configController.setFwUDPandICMPConTimeout(value), "UDP and ICMP timeout");
        if (code == SF_SUCCESS)
            controller->sfPreferencesCallBack(SF_PREF_UDP_ICMP_CON_TIMEOUT, m_nwIfManager);
        else
            log(6, "Stateful Firewall Unable to set Value" + std::to_string(value) +
                       "for SF_UDP_ICMP_TIMEOUT with error value " + std::to_string(code));
    }
    return result;
}

bool SFPluginPolicyEnforcementImpl::flushClientSideRules()
{
    SFRuleManager* manager = SFRuleManager::getInstance();
    if (manager == nullptr) {
        log(6, "Inside firewall option enforcement, unable to update the rule manager to flush "
               "the client side rules");
        return true;
    }
    if (!manager->isClientSideRulesPresent()) {
        log(6, "Inside firewall option enforcement, nothing to flush in client side rule groups");
        return true;
    }
    if (manager->flushClientSideRules() != SF_SUCCESS) {
        log(6, "Inside firewall option enforcement, error in flushing the client side rules");
        return false;
    }
    bool result = true;
    // A disabled firewall has no chains to update; pushing would create them again.
    if (m_configController.getFwEnableStatus() &&
        !SFController::getInstance(m_logger, m_configController, nullptr)
             ->SendRuleAndGroupDataToKext()) {
        log(2, "Inside firewall option enforcement, the flushed client side rules could not be "
               "applied");
        result = false;
    }
    if (manager->updateRuleStore() != SF_SUCCESS) {
        log(2, "Inside firewall option enforcement, the rule store could not be written after "
               "flushing the client side rules");
        result = false;
    }
    log(6, "Inside firewall option enforcement, flushed the client side rules and send update to "
           "the rule manager");
    return result;
}

std::optional<bool>
SFPluginPolicyEnforcementImpl::parseTrustLocalSubnetInPolicy(const ZAV::ISectionsHandle& handle)
{
    int count = -1;
    if (!getListCount(handle, nullptr, kOptionsSection, "_AddressType", "+AddressType#", count))
        return std::nullopt;
    bool trusted = false;
    for (int i = 0; i < count; ++i) {
        const std::string index = std::to_string(i);
        if (getStringFromKey(handle, kOptionsSection, "+AddressType#" + index) != "LocalSubnet")
            continue;
        int isTrusted = -1;
        getPolicyKeyValue(handle, kOptionsSection, "+IsTrusted#" + index, isTrusted);
        trusted = isTrusted == 1;
        break;
    }
    return trusted;
}

bool SFPluginPolicyEnforcementImpl::enforceTrustLocalSubnet(bool trusted)
{
    bool result = true;
    if (m_configController.setShouldTrustLocalSubnet(trusted) == SF_PREF_WRITE_FAILED) {
        log(2, "Unable to write the trust local subnet setting");
        result = false;
    }
    SFController::getInstance(m_logger, m_configController, nullptr)
        ->sfPreferencesCallBack(SF_PREF_TRUST_LOCAL_SUBNET, m_nwIfManager);
    return result;
}

std::unique_ptr<SFTrustedGroupIP>
SFPluginPolicyEnforcementImpl::parseTrustedEntry(const std::string& type, const std::string& value)
{
    auto entry = std::make_unique<SFTrustedGroupIP>();
    bool mapped = false;
    if (type == "Range") {
        const size_t dash = value.find('-');
        if (dash == std::string::npos)
            return nullptr;
        const std::string start = toDotted(value.substr(0, dash), mapped);
        const std::string end = toDotted(value.substr(dash + 1), mapped);
        if (!entry->setStartIp4Address(start.c_str()) || !entry->setEndIp4Address(end.c_str()))
            return nullptr;
        entry->type = FW_TRUSTED_ADDRESS_TYPE_IP_RANGE;
        return entry;
    }
    const size_t slash = value.find('/');
    const std::string address = toDotted(value.substr(0, slash), mapped);
    if (slash == std::string::npos) {
        if (!entry->setStartIp4Address(address.c_str()))
            return nullptr;
        entry->type = FW_TRUSTED_ADDRESS_TYPE_SINGLE;
        return entry;
    }
    // A mapped address counts its prefix over 128 bits, of which the IPv4 part is the last 32.
    int prefix = 0;
    if (!parseDecimal(value.substr(slash + 1), mapped ? 128 : 32, prefix))
        return nullptr;
    if (mapped) {
        if (prefix < 96)
            return nullptr;
        prefix -= 96;
    }
    if (!entry->setCidrIPAddress(static_cast<uint8_t>(prefix), address.c_str()))
        return nullptr;
    entry->type = FW_TRUSTED_ADDRESS_TYPE_CIDR;
    return entry;
}

SFPluginPolicyEnforcementImpl::TrustedList
SFPluginPolicyEnforcementImpl::parseTrustedNetworksInPolicy(const ZAV::ISectionsHandle& handle)
{
    TrustedList list;
    int count = -1;
    if (!getListCount(handle, nullptr, kOptionsSection, "_AddressType", "+AddressType#", count) ||
        count < 1)
        return list;
    for (int i = 0; i < count; ++i) {
        const std::string index = std::to_string(i);
        const std::string type = getStringFromKey(handle, kOptionsSection, "+AddressType#" + index);
        int isTrusted = -1;
        getPolicyKeyValue(handle, kOptionsSection, "+IsTrusted#" + index, isTrusted);
        if (isTrusted == 0)
            continue;
        if (type != "Range" && type != "SingleIP" && type != "Subnet")
            continue;
        const std::string value = getStringFromKey(handle, kOptionsSection, "+AddressValue#" + index);
        if (value.empty())
            break;
        std::unique_ptr<SFTrustedGroupIP> entry = parseTrustedEntry(type, value);
        if (!entry) {
            log(2, "Ignoring the trusted network " + value + " of type " + type +
                       ": it is not a valid IPv4 address, range or network");
            continue;
        }
        // The manager refuses an equal entry: a duplicate would fail the update midway.
        const bool duplicate = std::any_of(list.begin(), list.end(), [&](const auto& other) {
            return *other == *entry;
        });
        if (!duplicate)
            list.push_back(std::move(entry));
    }
    return list;
}

bool SFPluginPolicyEnforcementImpl::hasTrustedNetworksChanged(const TrustedList& list)
{
    std::vector<SFTrustedGroupIP> current =
        SFTrustedIPGroupManager::getInstance(m_logger, m_configController)->copyTrustedIPList();
    // The policy never lists the local-subnet entry; the trust-local-subnet setting owns it.
    current.erase(std::remove_if(current.begin(), current.end(),
                                 [](const SFTrustedGroupIP& entry) {
                                     return entry.type == FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET;
                                 }),
                  current.end());
    if (current.size() != list.size()) {
        log(6, "Size of Trusted networks has changed, policy will be enforced again");
        return true;
    }
    bool changed = false;
    for (const auto& entry : list) {
        if (std::find(current.begin(), current.end(), *entry) == current.end()) {
            log(6, "Contents of Trusted networks has changed, policy will be enforced again");
            changed = true;
        }
    }
    return changed;
}

bool SFPluginPolicyEnforcementImpl::enforceTrustedNetworks(TrustedList& list)
{
    SFTrustedIPGroupManager* manager =
        SFTrustedIPGroupManager::getInstance(m_logger, m_configController);
    // The flush frees the manager's entries, so the revert works from copies taken first.
    const std::vector<SFTrustedGroupIP> previous = manager->copyTrustedIPList();
    int code = manager->flushTrustedIPList(true);
    if (code != SF_SUCCESS) {
        log(2, "Unable to Flush Trusted IP List with error Val " + std::to_string(code));
        return false;
    }
    bool result = true;
    for (auto& entry : list) {
        code = manager->addTrustedIP(entry.get());
        if (code != SF_SUCCESS) {
            log(2, "Unable to Add new list to Trusted IP List Eith Error Val " + std::to_string(code));
            result = false;
            break;
        }
        entry.release(); // the manager owns it now
    }
    if (!result) {
        // Back to the previous list, not a mix of old and new entries.
        manager->flushTrustedIPList(true);
        for (const SFTrustedGroupIP& old : previous) {
            if (old.type == FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET)
                continue;
            auto copy = std::make_unique<SFTrustedGroupIP>(old);
            code = manager->addTrustedIP(copy.get());
            if (code != SF_SUCCESS) {
                log(2, "Fatal Error Trusted IP List Reverting Failed Error Val " + std::to_string(code));
                break;
            }
            copy.release();
        }
    }
    if (manager->persistTrustedIPStore() != SF_SUCCESS) {
        log(2, "Unable to write the trusted network store");
        result = false;
    }
    return result;
}

} // namespace StatefulFirewall
