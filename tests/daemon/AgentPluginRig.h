#pragma once

// The plug-ins behind the in-memory agent, with fake settings, a recording bridge under the
// real controller, the real rule and trusted-network managers on temporary stores, and a
// builder of policy text in the agent's line format.

#include "FakeConfigController.h"
#include "FakeNwIFManager.h"
#include "ModelFixtures.h"
#include "RecordingKextInterface.h"
#include "RecordingLogger.h"
#include "SFController.h"
#include "SFPluginPolicyEnforcementImpl.h"
#include "SFPluginPropertyCollectionImpl.h"
#include "SFRuleManager.h"
#include "SFStoreCodec.h"
#include "SFTrustedIPGroupManager.h"
#include "StandInAgent.h"
#include "TempDir.h"
#include "CommonFunc.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace TestSupport {

// IPv4-mapped text of a dotted address, as policies carry addresses.
inline std::string mapped(const std::string& dotted)
{
    return StatefulFirewall::CommonFunc::convertIPV4ToIPV6Str(dotted);
}

class PolicyText {
public:
    using Keys = std::vector<std::pair<std::string, std::string>>;

    explicit PolicyText(const std::string& software = "HVRT_FW_1060QUIL")
    {
        m_head = "software " + software + "\nobject HVRT_FW_META_FW|FW_StatusMode|FW_StatusMode|Options A\n";
    }
    PolicyText& option(const std::string& key, const std::string& value)
    {
        m_head += "section 8 " + key + "=" + value + "\n";
        return *this;
    }
    PolicyText& enforce(const std::string& value)
    {
        m_head += "section HVRT_FW_1060QUIL EnforcePolicy=" + value + "\n";
        return *this;
    }
    // Trusted-network entries "+AddressType#i", "+AddressValue#i" and optional "+IsTrusted#i".
    PolicyText& trusted(const std::vector<std::vector<std::string>>& entries)
    {
        option("_AddressType", std::to_string(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string n = std::to_string(i);
            option("+AddressType#" + n, entries[i][0]);
            option("+AddressValue#" + n, entries[i].size() > 1 ? entries[i][1] : "");
            if (entries[i].size() > 2)
                option("+IsTrusted#" + n, entries[i][2]);
        }
        return *this;
    }
    PolicyText& setting(const std::string& type, const std::string& name, const Keys& keys)
    {
        m_settings += "setting HVRT_FW_META_FW|Tovalith_FW_Rules|Tovalith_FW_Rules|" + name + "|" +
                      type + "|" + name + "\n";
        for (const auto& key : keys)
            m_settings += "key " + type + " " + key.first + "=" + key.second + "\n";
        return *this;
    }
    PolicyText& sequence(const std::string& listId, const std::vector<std::string>& guids)
    {
        Keys keys{{"RuleListID", listId}, {"_RuleIDSequence", std::to_string(guids.size())}};
        for (size_t i = 0; i < guids.size(); ++i)
            keys.push_back({"+RuleIDSequence#" + std::to_string(i), guids[i]});
        return setting("100", "seq-" + listId, keys);
    }
    // A rule with the keys every rule needs; extra keys replace or add.
    PolicyText& rule(const std::string& guid, const std::string& action, const Keys& extra)
    {
        std::map<std::string, std::string> keys{{"GUID", guid},        {"Name", "rule " + guid},
                                                {"LastModified", "t1"}, {"Action", action},
                                                {"Direction", "EITHER"}, {"Enabled", "1"}};
        for (const auto& key : extra)
            keys[key.first] = key.second;
        Keys list;
        for (const auto& key : keys)
            if (key.second != "<absent>")
                list.push_back(key);
        return setting("101", "rule-" + guid, list);
    }
    PolicyText& aggregation(const std::string& guid, int type, const std::vector<std::string>& addresses)
    {
        const std::string list = type == 65541 ? "LocalAddress" : "RemoteAddress";
        Keys keys{{"GUID", guid}, {"LastModified", "t1"}, {"Type", std::to_string(type)},
                  {"_" + list, std::to_string(addresses.size())}};
        for (size_t i = 0; i < addresses.size(); ++i)
            keys.push_back({"+" + list + "#" + std::to_string(i), addresses[i]});
        return setting("AggregateCriterion", "agg-" + guid, keys);
    }
    std::string text() const
    {
        return m_head + "object HVRT_FW_META_FW|Tovalith_FW_Rules|Tovalith_FW_Rules|Rules A\n" + m_settings;
    }

private:
    std::string m_head;
    std::string m_settings;
};

class AgentPluginRig {
public:
    using P = FakeConfigController::path;

    explicit AgentPluginRig(std::unique_ptr<FakeConfigController> config = std::make_unique<FakeConfigController>())
        : m_ownConfig(std::move(config)), m_config(*m_ownConfig), m_agent(m_logger, "HVRT_FW_1060QUIL")
    {
        m_config.set(P::ruleStore, m_dir.file("rules"));
        m_config.set(P::trustedStore, m_dir.file("trusted"));
        m_config.set(P::enabled, "1");
        m_config.set(P::retain, "1");
        m_config.set(P::trustSubnet, "0");
        m_controller = StatefulFirewall::SFController::getInstance(m_logger, m_config, &m_bridge);
        m_controller->enableStatefulFirewall(m_monitor);
        manager();
        trustedManager();
        std::unique_ptr<ZAV::IAgentPolicyEnforcement> policy =
            std::make_unique<StatefulFirewall::SFPluginPolicyEnforcementImpl>(m_logger, m_config, m_monitor);
        std::unique_ptr<ZAV::IAgentPropertyCollection> properties =
            std::make_unique<StatefulFirewall::SFPluginPropertyCollectionImpl>(m_logger, m_config);
        m_agent.registerPolicyEnforcement(policy);
        m_agent.registerPropertyCollection(properties);
        m_bridge.clear();
    }

    ~AgentPluginRig()
    {
        StatefulFirewall::SFController::releaseInstance();
        StatefulFirewall::SFTrustedIPGroupManager::releaseInstance();
        StatefulFirewall::SFRuleManager::releaseInstance();
    }

    int deliver(const PolicyText& policy) { return m_agent.deliverPolicy(policy.text()); }

    StatefulFirewall::SFRuleManager* manager()
    {
        return StatefulFirewall::SFRuleManager::getInstance(m_logger, m_config, true);
    }
    StatefulFirewall::SFTrustedIPGroupManager* trustedManager()
    {
        return StatefulFirewall::SFTrustedIPGroupManager::getInstance(m_logger, m_config);
    }
    // Value texts of the trusted networks but the local-subnet entry.
    std::vector<std::string> trustedValues()
    {
        std::vector<std::string> values;
        for (const auto& entry : trustedManager()->copyTrustedIPList())
            if (entry.type != StatefulFirewall::FW_TRUSTED_ADDRESS_TYPE_LOCAL_SUBNET)
                values.push_back(entry.getTrustedIPValueString());
        return values;
    }
    size_t pushes() const { return m_bridge.count("SendRuleAndGroupDataToKext"); }

    RecordingLogger m_logger;
    TempDir m_dir;
    std::unique_ptr<FakeConfigController> m_ownConfig;
    FakeConfigController& m_config;
    RecordingKextInterface m_bridge;
    FakeNwIFManager m_monitor;
    StatefulFirewall::SFController* m_controller = nullptr;
    ZAV::StandInAgent m_agent;
};

} // namespace TestSupport
