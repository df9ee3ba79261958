#pragma once

// The daemon's link to the management agent: registers the agent plug-ins, keeps the
// management-server and update-site lists read from the agent's site list, answers the
// managed-mode query and forwards event batches.
//
// Ownership: owns the agent (deleted by the destructor), which owns the plug-ins it accepted;
// a plug-in it refuses is deleted right after its registration. The constructor takes all four
// by value, so when it throws for a null one every object passed in is freed. Deleting the
// adaptor stops the agent's thread and frees the plug-ins, so the daemon deletes it before the
// objects the plug-ins use (settings, interface monitor, logger).
//
// Thread safety: no lock of its own. The lists are written only by the constructor, before the
// daemon publishes the pointer; afterwards other threads (the configuration controller) read
// them in place without a lock, which is why they are public and declared in this order.
// sendCEFEvent is called only under the event adaptor's lock.

#include <list>
#include <memory>
#include <string>
#include <vector>

namespace ZAV {
class ILogger;
class IEnterpriseAgent;
class IAgentPolicyEnforcement;
class IAgentPropertyCollection;
class IAgentInfo;
class IAgentUpdater;
class SiteListInfoAdaptor;
class MsgBusEventData;
} // namespace ZAV

namespace StatefulFirewall {

class SFAgentAdaptor {
public:
    SFAgentAdaptor(ZAV::ILogger& logger, std::unique_ptr<ZAV::IEnterpriseAgent> agent,
                   std::unique_ptr<ZAV::IAgentPolicyEnforcement> policyEnforcement,
                   std::unique_ptr<ZAV::IAgentPropertyCollection> propertyCollection,
                   std::unique_ptr<ZAV::IAgentInfo> agentInfo);
    ~SFAgentAdaptor();

    SFAgentAdaptor(const SFAgentAdaptor&) = delete;
    SFAgentAdaptor& operator=(const SFAgentAdaptor&) = delete;

    // 0 unmanaged, 1 managed, 2 cloud managed, 3 unknown (also when the agent cannot say).
    int getAgentManagedMode();
    void updateAgentPort();
    void updateYALServerValues(const ZAV::SiteListInfoAdaptor& siteList);
    bool sendCEFEvent(std::string softwareId, std::string productName, std::string productVersion,
                      std::vector<ZAV::MsgBusEventData>& events,
                      std::vector<ZAV::MsgBusEventData>& failed,
                      std::vector<ZAV::MsgBusEventData>& sent);
    ZAV::IAgentUpdater* getAgentUpdaterInterface();
    void unloadWZPlugin();
    void reloadWZPlugin();
    void startLogging();
    void stopLogging();

    ZAV::ILogger& m_logger;
    ZAV::IEnterpriseAgent* m_enterpriseAgent;
    std::string m_componentName;
    std::list<std::string> m_yalServerName;
    std::list<std::string> m_yalServerIP;
    std::string m_agentPort;
    std::list<std::string> m_yalSecurePort;
    std::list<std::string> m_yalServerPort;
    std::list<std::string> m_httpUpdateUrl;
    std::list<std::string> m_httpUpdatePort;
    std::list<std::string> m_ftpUpdateUrl;
    std::list<std::string> m_ftpUpdatePort;
};

} // namespace StatefulFirewall
