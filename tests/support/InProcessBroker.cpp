#include "InProcessBroker.h"

#include <stdexcept>

namespace TestSupport {

InProcessBroker::InProcessBroker(ZAV::BrokerOptions options)
    : m_options(std::move(options)), m_broker(std::make_unique<ZAV::Broker>(m_logger, m_options))
{
}

InProcessBroker::~InProcessBroker()
{
    stop();
}

bool InProcessBroker::start(std::string& error)
{
    if (!m_broker->start(error))
        return false;
    m_thread = std::thread([this] { m_broker->run(); });
    return true;
}

void InProcessBroker::start()
{
    std::string error;
    if (!start(error))
        throw std::runtime_error("the broker did not start: " + error);
}

void InProcessBroker::stop()
{
    if (!m_broker)
        return;
    m_broker->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_broker.reset();
}

} // namespace TestSupport
