#include "SFAdaptiveQueue.h"

#include "ILogger.h"
#include "IQueueVerdictSink.h"
#include "SFQueueMessages.h"
#include "SFQueuePacket.h"

#include <boost/thread/lock_guard.hpp>

#include <libmnl/libmnl.h>

#include <exception>
#include <new>
#include <string>

namespace StatefulFirewall {

std::atomic<SFAdaptiveQueue*> SFAdaptiveQueue::m_pSelf{nullptr};
boost::mutex SFAdaptiveQueue::m_instanceMutex;
std::queue<SFAdaptiveQueueEntry> SFAdaptiveQueue::adaptiveQueue;
boost::mutex SFAdaptiveQueue::m_adaptiveQueueMutex;
SFQueueRunner SFAdaptiveQueue::m_netlinkSocket;

namespace {

using Lock = boost::lock_guard<boost::mutex>;

constexpr char COMPONENT_NAME[] = "SFAdaptiveQueue";

} // namespace

SFAdaptiveQueue::SFAdaptiveQueue(ZAV::ILogger& logger) : m_logger(logger), m_componentName(COMPONENT_NAME) {}

SFAdaptiveQueue* SFAdaptiveQueue::getInstance(ZAV::ILogger& logger)
{
    SFAdaptiveQueue* self = m_pSelf.load();
    if (self != nullptr)
        return self;
    Lock lock(m_instanceMutex);
    self = m_pSelf.load();
    if (self == nullptr) {
        self = new SFAdaptiveQueue(logger);
        m_pSelf.store(self);
    }
    return self;
}

void SFAdaptiveQueue::releaseInstance()
{
    Lock lock(m_instanceMutex);
    delete m_pSelf.exchange(nullptr);
}

int SFAdaptiveQueue::startAdaptiveQueue()
{
    // The run takes copies, not the instance, which may be released while the loop runs. Taken
    // under m_instanceMutex, so a release racing this start comes wholly after.
    ZAV::ILogger* logger = nullptr;
    std::string component;
    {
        Lock lock(m_instanceMutex);
        logger = &m_logger;
        component = m_componentName;
    }
    try {
        m_netlinkSocket.run(
            *logger, component, kAdaptiveQueueNumber,
            [logger](const nlmsghdr* message, IQueueVerdictSink& verdicts) {
                queueHandler(message, verdicts, *logger);
            },
            true);
    } catch (const std::exception& e) {
        // Only the opening can throw (out of memory); the loop catches its own.
        logger->logMessage(2, COMPONENT_NAME, std::string("Starting the adaptive queue failed: ") + e.what());
    }
    return 0;
}

bool SFAdaptiveQueue::stopAdaptiveQueue()
{
    return m_netlinkSocket.stop(m_logger, m_componentName);
}

void SFAdaptiveQueue::clearAdaptiveQueue()
{
    Lock lock(m_adaptiveQueueMutex);
    adaptiveQueue = std::queue<SFAdaptiveQueueEntry>();
}

bool SFAdaptiveQueue::readAndRemoveAdaptiveQueueEntry(SFAdaptiveQueueEntry* out)
{
    Lock lock(m_adaptiveQueueMutex);
    if (out == nullptr || adaptiveQueue.empty())
        return false;
    *out = adaptiveQueue.front();
    adaptiveQueue.pop();
    return true;
}

int SFAdaptiveQueue::queueHandler(const nlmsghdr* message, IQueueVerdictSink& verdicts, ZAV::ILogger& logger)
{
    SFQueuePacket packet;
    if (!SFNetfilterSocket::parseQueuedPacket(message, packet, logger, COMPONENT_NAME))
        return MNL_CB_OK;

    bool full = false;
    try {
        Lock lock(m_adaptiveQueueMutex);
        full = adaptiveQueue.size() >= kMaxEntries;
        SFAdaptiveQueueEntry entry{};
        if (!full && packet.toAdaptiveEntry(entry))
            adaptiveQueue.push(entry);
    } catch (const std::bad_alloc&) {
        logger.logMessage(2, COMPONENT_NAME, "Out of memory: the connection was not learned");
    }
    // Accepted in every case: learning must never hold traffic up.
    acceptQueueTraffic(verdicts, logger, packet.queueNumber(), packet.packetId());
    if (full)
        logger.logMessage(5, COMPONENT_NAME, "Adaptive Queue size has reached maximum limit. Skip new adaptive "
                                             "rule creation and let the traffic pass");
    return MNL_CB_OK;
}

bool SFAdaptiveQueue::acceptQueueTraffic(IQueueVerdictSink& verdicts, ZAV::ILogger& logger, uint16_t queueNumber,
                                         uint32_t packetId)
{
    if (verdicts.acceptPacket(queueNumber, packetId))
        return true;
    logger.logMessage(2, COMPONENT_NAME, "Error in sending accept verdict to netlink queue socket");
    return false;
}

} // namespace StatefulFirewall
