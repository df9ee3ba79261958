#pragma once

// An event adaptor that keeps what it is given: every record passed to createEventData (with
// its topic) and every event of every batch sent. It fills the event's standard field 7 with
// the record's rule name. Thread-safe; waitForEvents lets a test wait on the reporting thread.

#include "ISFEventAdaptor.h"
#include "MsgBusEventData.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

class CapturingEventAdaptor : public StatefulFirewall::ISFEventAdaptor {
public:
    struct Created {
        std::string topic;
        StatefulFirewall::RuleEventInfo record;
    };

    void setAgentAdaptor(StatefulFirewall::SFAgentAdaptor*) override {}
    bool sendCEFEvent(std::vector<ZAV::MsgBusEventData>& events,
                      std::vector<ZAV::MsgBusEventData>& failed) override;
    bool sendCEFEvent(ZAV::MsgBusEventData& event) override;
    void createEventData(std::string topic, StatefulFirewall::RuleEventInfo& info,
                         ZAV::MsgBusEventData& event) override;

    std::vector<Created> created() const;
    std::vector<ZAV::MsgBusEventData> sent() const;
    size_t batches() const;
    // True once at least count events were sent, false after the timeout.
    bool waitForEvents(size_t count, std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Created> m_created;
    std::vector<ZAV::MsgBusEventData> m_sent;
    size_t m_batches = 0;
};

} // namespace TestSupport
