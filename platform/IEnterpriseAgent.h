#pragma once

// The management agent as a product sees it: plug-in registration, the site list, agent
// information by key, event sending and a few pass-through services.
//
// Ownership: a registration takes the plug-in by reference to its owning pointer and moves out
// what it keeps; a refused plug-in stays with the caller. The agent frees the plug-ins it kept
// when it is destroyed, after its last call into them has returned.

#include <memory>
#include <string>
#include <vector>

namespace ZAV {

class IAgentInfo;
class IAgentPolicyEnforcement;
class IAgentPropertyCollection;
class IAgentUpdater;
class MsgBusEventData;
class SiteListInfoAdaptor;

// Keys of getAgentInformation.
enum AgentInfoKey {
    AGENT_INFO_MANAGED_MODE = 0, // the text of an integer: 0 unmanaged, 1 managed, 2 cloud, 3 unknown
    AGENT_INFO_AGENT_PORT = 21,  // the agent's communication port as text
};

class IEnterpriseAgent {
public:
    virtual ~IEnterpriseAgent() = default;

    virtual bool registerPolicyEnforcement(std::unique_ptr<IAgentPolicyEnforcement>& plugin) = 0;
    virtual bool registerPropertyCollection(std::unique_ptr<IAgentPropertyCollection>& plugin) = 0;
    virtual bool registerAgentInfo(std::unique_ptr<IAgentInfo>& plugin) = 0;
    virtual bool registerSiteListChange() = 0;

    // Fills siteList with the sites the agent knows; false when it cannot say.
    virtual bool getSiteList(SiteListInfoAdaptor& siteList) = 0;
    // Writes the information for key into value; false, with value untouched, when unknown.
    virtual bool getAgentInformation(int key, std::string& value) = 0;

    // Sends events. Every event of the batch ends in sent or in failed (appended there) and
    // events is left empty; true when all were sent. May throw FMPException, after which what
    // was already put into failed and sent stays there.
    virtual bool sendCEFEvents(std::string softwareId, std::string productName,
                               std::string productVersion, std::vector<MsgBusEventData>& events,
                               std::vector<MsgBusEventData>& failed,
                               std::vector<MsgBusEventData>& sent) = 0;

    virtual void unloadPlugin() = 0;
    virtual void reloadPlugin() = 0;
    // The updater service, or null when the agent offers none.
    virtual IAgentUpdater* getUpdaterInterface() = 0;
    // Re-reads the agent's logging settings.
    virtual void refreshLogSettings() = 0;
};

} // namespace ZAV
