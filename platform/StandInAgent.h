#pragma once

// Our in-memory management agent: it keeps the plug-ins it accepts, answers registrations,
// site-list and information queries and sends as its behaviour says, records what it sent, and
// lets a caller hand a policy to the policy plug-in or collect properties directly. Tests drive
// it as it stands; MsgBusEnterpriseAgent builds its file-backed agent on it.
//
// Ownership: kept plug-ins are freed by the destructor, after any plug-in call running on
// another thread has returned. Counters of constructed and destroyed agents let tests check
// that whoever owns an agent frees it exactly once.
//
// Thread safety: every operation may be called from any thread. Lock order: m_pluginCallMutex
// before m_stateMutex. m_pluginCallMutex serialises plug-in calls (a plug-in need not be
// reentrant) and is held across them; m_stateMutex guards the members marked below and is
// never held across a plug-in call or a blocking send.

#include "IEnterpriseAgent.h"
#include "ISiteListInfoAdaptor.h"
#include "MsgBusEventData.h"
#include "StandInSectionsHandle.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ZAV {

class ILogger;

// How a send goes. Half sends the first half of the batch (rounded down) and fails the rest;
// Throw does the same, then throws FMPException; ThrowOther then throws std::runtime_error;
// Block waits blockMs on the steady clock, then sends all.
enum class SendMode { Ok, Fail, Half, Throw, ThrowOther, Block };

struct StandInBehaviour {
    bool reachable = true; // false: every registration and query fails, every send fails all
    bool registerPolicy = true;
    bool registerProperty = true;
    bool registerAgentInfo = true;
    bool registerSiteList = true;
    bool siteListRead = true;
    bool hasManagedMode = true;
    std::string managedMode = "1"; // answered raw for key 0
    bool hasAgentPort = false;
    std::string agentPort; // answered for key 21
    SendMode sendMode = SendMode::Ok;
    int blockMs = 0;
    int registerDelayMs = 0; // the policy plug-in's registration takes this long (a slow agent)
};

struct StandInSentEvent {
    std::string softwareId;
    std::string productName;
    std::string productVersion;
    MsgBusEventData event;
};

class StandInAgent : public IEnterpriseAgent {
public:
    // softwareId: the software a policy is for unless its text names another.
    StandInAgent(ILogger& logger, std::string softwareId, std::string componentName = "StandInAgent");
    ~StandInAgent() override;

    StandInAgent(const StandInAgent&) = delete;
    StandInAgent& operator=(const StandInAgent&) = delete;

    bool registerPolicyEnforcement(std::unique_ptr<IAgentPolicyEnforcement>& plugin) override;
    bool registerPropertyCollection(std::unique_ptr<IAgentPropertyCollection>& plugin) override;
    bool registerAgentInfo(std::unique_ptr<IAgentInfo>& plugin) override;
    bool registerSiteListChange() override;
    bool getSiteList(SiteListInfoAdaptor& siteList) override;
    bool getAgentInformation(int key, std::string& value) override;
    bool sendCEFEvents(std::string softwareId, std::string productName, std::string productVersion,
                       std::vector<MsgBusEventData>& events, std::vector<MsgBusEventData>& failed,
                       std::vector<MsgBusEventData>& sent) override;
    void unloadPlugin() override;
    void reloadPlugin() override;
    IAgentUpdater* getUpdaterInterface() override { return nullptr; }
    void refreshLogSettings() override;

    void setBehaviour(const StandInBehaviour& behaviour);
    void setSites(std::list<tag_Site> sites);

    // Hands policy text (see StandInSectionsHandle) to the policy plug-in: -1 when none is
    // registered, else its result as 1 or 0 (0 also when it threw, which is logged).
    // softwareId, when given, receives the software id the policy was delivered for.
    int deliverPolicy(const std::string& text, std::string* softwareId = nullptr,
                      const std::string& source = "policy text");
    // Asks the property plug-in for properties: -1 when none is registered, else its result as
    // 1 or 0; properties receives what it added, in call order, also when it threw.
    int collect(bool all, std::vector<StandInSectionsHandle::Property>& properties);

    bool hasPolicyPlugin() const;
    bool hasPropertyPlugin() const;
    std::vector<StandInSentEvent> sentEvents() const;
    // "unload", "reload" and "logging", one per pass-through call, in order.
    std::vector<std::string> passThroughCalls() const;

    static int constructedCount() { return s_constructed.load(); }
    static int destroyedCount() { return s_destroyed.load(); }

protected:
    // The behaviour of the call being made; the file-backed agent reads its configuration.
    virtual StandInBehaviour currentBehaviour();
    // Fills siteList once the behaviour allows reading it.
    virtual bool readSites(SiteListInfoAdaptor& siteList);
    // Keeps the events sent in one batch; false when they could not be kept, and then they
    // count as failed.
    virtual bool recordSent(const std::string& softwareId, const std::string& productName,
                            const std::string& productVersion,
                            const std::vector<MsgBusEventData>& events);

    void log(int level, const std::string& message) const;

    ILogger& m_logger;
    const std::string m_componentName;
    const std::string m_softwareId;

private:
    template <typename Plugin>
    bool keep(std::unique_ptr<Plugin>& slot, std::unique_ptr<Plugin>& plugin, bool allowed,
              const char* what);

    std::mutex m_pluginCallMutex;
    mutable std::mutex m_stateMutex;
    // Guarded by m_stateMutex. A plug-in, once kept, stays until the destructor, so a pointer
    // read under the lock may be used after it is released.
    std::unique_ptr<IAgentPolicyEnforcement> m_policyPlugin;
    std::unique_ptr<IAgentPropertyCollection> m_propertyPlugin;
    std::unique_ptr<IAgentInfo> m_agentInfoPlugin;
    StandInBehaviour m_behaviour;
    std::list<tag_Site> m_sites;
    std::vector<StandInSentEvent> m_sent;
    std::vector<std::string> m_passThroughCalls;

    static std::atomic<int> s_constructed;
    static std::atomic<int> s_destroyed;
};

} // namespace ZAV
