#pragma once

// Our file-backed management agent. It answers through a spool folder (/var/Varnik/kyv/fw/agent,
// or $TQ_AGENT_DIR when set, read at construction): agent.conf, read at every call, decides
// registrations, queries and sends; sitelist.conf is the site list; sent events are appended to
// events.jsonl. Its own thread delivers policies dropped into policy.d and answers
// collect.request through the registered plug-ins. AgentSpool.h describes the files.
//
// Ownership and lifetime: the destructor stops and joins the agent thread, then the base frees
// the kept plug-ins; no plug-in is called after the destructor returns. It never throws: when
// the thread cannot be started, the agent answers calls but delivers nothing.
//
// Thread safety: as StandInAgent. The agent thread makes every plug-in call it starts and
// waits between passes on m_wake (steady clock); m_wakeMutex guards m_stop for the wait.

#include "AgentSpool.h"
#include "StandInAgent.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace ZAV {

class ILogger;

// The agent services a product takes part in, as flags.
enum RqdMsgBusEnterpriseAgentImpl : unsigned {
    RQD_NONE = 0,
    RQD_POLICY_ENFORCEMENT = 1,
    RQD_PROPERTY_COLLECTION = 2,
    RQD_AGENT_INFO = 4,
    RQD_SITE_LIST = 8,
    RQD_EVENTS = 16,
};

class MsgBusEnterpriseAgent : public StandInAgent {
public:
    static constexpr const char* kDefaultSpoolDirectory = "/var/Varnik/kyv/fw/agent";
    static constexpr int kDefaultPollMs = 200;

    // debug adds level-6 lines for every delivery and every batch written. The agent's own
    // software id and the required services are kept; this agent offers every service.
    MsgBusEnterpriseAgent(ILogger& logger, std::string softwareId, std::string agentSoftwareId,
                          bool debug, RqdMsgBusEnterpriseAgentImpl required);
    ~MsgBusEnterpriseAgent() override;

    const std::string& spoolDirectory() const { return m_spool.directory(); }

protected:
    StandInBehaviour currentBehaviour() override;
    bool readSites(SiteListInfoAdaptor& siteList) override;
    bool recordSent(const std::string& softwareId, const std::string& productName,
                    const std::string& productVersion,
                    const std::vector<MsgBusEventData>& events) override;

private:
    void run();
    // One pass over the spool; returns how long to wait before the next.
    int pollOnce();
    void deliverPolicies();
    void answerCollectRequest();

    AgentSpool m_spool;
    const std::string m_agentSoftwareId;
    const bool m_debug;
    const RqdMsgBusEnterpriseAgentImpl m_required;

    // Agent thread only: policies delivered whose rename failed, so they are not delivered
    // again.
    std::set<std::string> m_deliveredKeptInPlace;

    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_stop{false}; // written under m_wakeMutex so a wait cannot miss it
    std::thread m_thread;
};

} // namespace ZAV
