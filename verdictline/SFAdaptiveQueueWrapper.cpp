#include "SFAdaptiveQueueWrapper.h"

#include "SFAdaptiveQueue.h"

#include <boost/thread/lock_guard.hpp>

namespace StatefulFirewall {

std::atomic<SFAdaptiveQueueWrapper*> SFAdaptiveQueueWrapper::m_pSelf{nullptr};
boost::mutex SFAdaptiveQueueWrapper::m_instanceMutex;
std::atomic<SFAdaptiveQueue*> SFAdaptiveQueueWrapper::m_sfAdaptiveQueue{nullptr};

namespace {

using Lock = boost::lock_guard<boost::mutex>;

} // namespace

SFAdaptiveQueueWrapper::SFAdaptiveQueueWrapper(ZAV::ILogger& logger)
    : m_logger(logger), m_componentName("SFAdaptiveQueueWrapper")
{
}

SFAdaptiveQueueWrapper* SFAdaptiveQueueWrapper::getInstance(ZAV::ILogger& logger)
{
    SFAdaptiveQueueWrapper* self = m_pSelf.load();
    if (self != nullptr)
        return self;
    Lock lock(m_instanceMutex);
    self = m_pSelf.load();
    if (self == nullptr) {
        m_sfAdaptiveQueue.store(SFAdaptiveQueue::getInstance(logger));
        self = new SFAdaptiveQueueWrapper(logger);
        m_pSelf.store(self);
    }
    return self;
}

void SFAdaptiveQueueWrapper::releaseInstance()
{
    Lock lock(m_instanceMutex);
    if (m_pSelf.load() == nullptr)
        return;
    m_sfAdaptiveQueue.store(nullptr);
    SFAdaptiveQueue::releaseInstance();
    delete m_pSelf.exchange(nullptr);
}

int SFAdaptiveQueueWrapper::startAdaptiveQueue()
{
    SFAdaptiveQueue* queue = m_sfAdaptiveQueue.load();
    return queue != nullptr ? queue->startAdaptiveQueue() : 0;
}

bool SFAdaptiveQueueWrapper::stopAdaptiveQueue()
{
    SFAdaptiveQueue* queue = m_sfAdaptiveQueue.load();
    return queue == nullptr || queue->stopAdaptiveQueue();
}

void SFAdaptiveQueueWrapper::clearAdaptiveQueue()
{
    SFAdaptiveQueue::clearAdaptiveQueue();
}

bool SFAdaptiveQueueWrapper::readAndRemoveAdaptiveQueueEntry(SFAdaptiveQueueEntry* out)
{
    return SFAdaptiveQueue::readAndRemoveAdaptiveQueueEntry(out);
}

} // namespace StatefulFirewall
