#pragma once

// The event adaptor's interface: turns block-event records into management-server events and
// sends batches of them through the agent adaptor. The operations' order is part of the
// interface: libraries built apart rely on it.

#include "RuleEventInfo.h"

#include <string>
#include <vector>

namespace ZAV {
class MsgBusEventData;
}

namespace StatefulFirewall {

class SFAgentAdaptor;

class ISFEventAdaptor {
public:
    virtual ~ISFEventAdaptor() = default;

    // Attaches the agent adaptor (not owned); null detaches. Waits for a running send.
    virtual void setAgentAdaptor(SFAgentAdaptor* adaptor) = 0;
    // Sends a batch. Without an agent adaptor every event is moved to failed (replacing what
    // it held) and the result is false; unmanaged or with sending switched off the result is
    // true and nothing is sent.
    virtual bool sendCEFEvent(std::vector<ZAV::MsgBusEventData>& events,
                              std::vector<ZAV::MsgBusEventData>& failed) = 0;
    // Sends one event under the same rules.
    virtual bool sendCEFEvent(ZAV::MsgBusEventData& event) = 0;
    // Fills the standard and custom fields of event from a block-event record and the topic.
    virtual void createEventData(std::string topic, RuleEventInfo& info, ZAV::MsgBusEventData& event) = 0;
};

} // namespace StatefulFirewall
