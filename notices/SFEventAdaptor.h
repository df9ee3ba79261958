#pragma once

// The event adaptor: builds management-server events from block-event records and sends them
// through the agent adaptor, unless no agent adaptor is attached yet, the product is
// unmanaged, or sending events is switched off in the settings.
//
// Ownership: the logger, the settings and the agent adaptor are the daemon's; none is freed
// here. Thread safety: m_agentAdaptorMutex, one for the class, guards m_agentAdaptor and is held
// across the whole call into the agent, so a detach waits for a running send and no send uses
// an adaptor after its detach. createEventData takes no lock: it reads only its arguments and
// members fixed at construction.

#include "ISFEventAdaptor.h"

#include <boost/thread/mutex.hpp>

#include <string>
#include <vector>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IConfigController;

class SFEventAdaptor : public ISFEventAdaptor {
public:
    // The firewall's software id, sent with every batch.
    static constexpr const char* kSoftwareId = "HVRT_FW_1060QUIL";

    // Reads the product name for events and the product version once, here.
    SFEventAdaptor(ZAV::ILogger& logger, IConfigController& configController);
    ~SFEventAdaptor() override;

    SFEventAdaptor(const SFEventAdaptor&) = delete;
    SFEventAdaptor& operator=(const SFEventAdaptor&) = delete;

    void setAgentAdaptor(SFAgentAdaptor* adaptor) override;
    bool sendCEFEvent(std::vector<ZAV::MsgBusEventData>& events,
                      std::vector<ZAV::MsgBusEventData>& failed) override;
    bool sendCEFEvent(ZAV::MsgBusEventData& event) override;
    void createEventData(std::string topic, RuleEventInfo& info, ZAV::MsgBusEventData& event) override;

    static boost::mutex m_agentAdaptorMutex;

private:
    // Steps shared by both sends, under m_agentAdaptorMutex: false when the caller must stop
    // and return result.
    bool mayForward(bool& result);

    ZAV::ILogger& m_logger;
    std::string m_componentName;
    IConfigController* m_configController;
    std::string m_productNameForEvent;
    std::string m_productVersion;
    SFAgentAdaptor* m_agentAdaptor; // guarded by m_agentAdaptorMutex
};

} // namespace StatefulFirewall
