#include "SFQueueRunner.h"

#include "ILogger.h"

#include <boost/thread/lock_guard.hpp>

#include <utility>

namespace StatefulFirewall {

void SFQueueRunner::run(ZAV::ILogger& logger, std::string component, uint16_t queueNumber,
                        SFNetfilterSocket::PacketHandler handler, bool reportClose)
{
    auto socket = std::make_shared<SFNetfilterSocket>(logger, component, std::move(handler), reportClose);
    if (!socket->openNetfilterSocket(queueNumber, 0)) {
        logger.logMessage(2, component, "netlink queue socket is not open");
        return;
    }
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_current = socket;
    }
    socket->receiveLoop();
    // Dropping the last reference here closes the socket; a stop still running holds the other
    // one and closes it when it is done.
}

bool SFQueueRunner::stop(ZAV::ILogger& logger, const std::string& component)
{
    std::shared_ptr<SFNetfilterSocket> socket;
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        socket = m_current.lock();
        m_current.reset();
    }
    if (!socket) {
        logger.logMessage(6, component, "netlink queue socket is not open");
        return true;
    }
    return socket->stop();
}

} // namespace StatefulFirewall
