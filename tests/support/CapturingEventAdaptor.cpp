#include "CapturingEventAdaptor.h"

namespace TestSupport {

bool CapturingEventAdaptor::sendCEFEvent(std::vector<ZAV::MsgBusEventData>& events,
                                         std::vector<ZAV::MsgBusEventData>&)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sent.insert(m_sent.end(), events.begin(), events.end());
        ++m_batches;
    }
    m_changed.notify_all();
    return true;
}

bool CapturingEventAdaptor::sendCEFEvent(ZAV::MsgBusEventData& event)
{
    std::vector<ZAV::MsgBusEventData> batch{event};
    std::vector<ZAV::MsgBusEventData> failed;
    return sendCEFEvent(batch, failed);
}

void CapturingEventAdaptor::createEventData(std::string topic, StatefulFirewall::RuleEventInfo& info,
                                            ZAV::MsgBusEventData& event)
{
    event.setStandardField(7, info.ruleName);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_created.push_back({topic, info});
}

std::vector<CapturingEventAdaptor::Created> CapturingEventAdaptor::created() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_created;
}

std::vector<ZAV::MsgBusEventData> CapturingEventAdaptor::sent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sent;
}

size_t CapturingEventAdaptor::batches() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_batches;
}

bool CapturingEventAdaptor::waitForEvents(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_sent.size() >= count; });
}

} // namespace TestSupport
