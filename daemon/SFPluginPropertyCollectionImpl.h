#pragma once

// The daemon's property plug-in: reports the product, the compliance with the last policy's
// firewall status, the options, the policy names and the client-side and adaptive rules (as a
// JSON list cut into pieces of 3000 characters) to the management agent.
//
// Ownership: the logger and the settings belong to the daemon and outlive the plug-in.
// Thread safety: the agent calls it on its own thread, one call at a time. The rules are read
// from deep copies of their groups (SFRuleManager::copyGroup), so other threads may change or
// free the live rules meanwhile.

#include "IAgentPropertyCollection.h"

#include <list>
#include <string>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IConfigController;
class SFMatch;
class SFRule;

// The kind of a protocol match in the JSON rule list.
enum SFProtType {
    SF_PROT_NETWORK_LAYER = 1,
    SF_PROT_IP = 2,
    SF_PROT_ICMPV4_TYPE = 3,
};

class SFPluginPropertyCollectionImpl : public ZAV::IAgentPropertyCollection {
public:
    SFPluginPropertyCollectionImpl(ZAV::ILogger& logger, IConfigController& config);
    ~SFPluginPropertyCollectionImpl() override;

    // Never throws: an error ends the collection with false, keeping what was added.
    bool collectProperties(bool all, ZAV::ISectionsHandle& sections) override;
    bool isSoftwareExists(const std::string&) override { return true; }

private:
    void addPropertyToSectionData(ZAV::ISectionsHandle& sections, const std::string& section,
                                  const std::string& name, const std::string& value);
    void collectPolicyNames(ZAV::ISectionsHandle& sections);
    void collectFirewallOptions(ZAV::ISectionsHandle& sections);
    bool isCompliant();
    bool collectClientSideAndAdaptiveRules(ZAV::ISectionsHandle& sections);
    bool getJSONRuleString(std::string& out);
    bool ruleToJsonStr(const SFRule& rule, std::string& out);
    bool getJsonMatchStr(const SFRule& rule, std::list<SFMatch*> matches, std::string& out);
    bool handlePortAndIpStringHack(std::list<SFMatch*>& matches);
    bool getProtocolMatchString(SFProtType kind, int value, std::string& out);
    std::string getVersionString();
    std::string getHFVersion();

    void log(int level, const std::string& message);

    ZAV::ILogger& m_logger;
    IConfigController& m_configController;
    const std::string m_componentName;
    bool m_addAllProperties;
};

} // namespace StatefulFirewall
