#include "SFBlockEventQueueWrapper.h"

#include "SFBlockEventQueue.h"

#include <boost/thread/lock_guard.hpp>

namespace StatefulFirewall {

std::atomic<SFBlockEventQueueWrapper*> SFBlockEventQueueWrapper::m_pSelf{nullptr};
boost::mutex SFBlockEventQueueWrapper::m_instanceMutex;
std::atomic<SFBlockEventQueue*> SFBlockEventQueueWrapper::m_sfBlockEventQueue{nullptr};

namespace {

using Lock = boost::lock_guard<boost::mutex>;

} // namespace

SFBlockEventQueueWrapper::SFBlockEventQueueWrapper(ZAV::ILogger& logger, IConfigController& config)
    : m_logger(logger), m_componentName("SFBlockEventQueueWrapper"), m_configController(config)
{
}

SFBlockEventQueueWrapper* SFBlockEventQueueWrapper::getInstance(ZAV::ILogger& logger, IConfigController& config)
{
    SFBlockEventQueueWrapper* self = m_pSelf.load();
    if (self != nullptr)
        return self;
    Lock lock(m_instanceMutex);
    self = m_pSelf.load();
    if (self == nullptr) {
        m_sfBlockEventQueue.store(SFBlockEventQueue::getInstance(logger, config));
        self = new SFBlockEventQueueWrapper(logger, config);
        m_pSelf.store(self);
    }
    return self;
}

void SFBlockEventQueueWrapper::releaseInstance()
{
    Lock lock(m_instanceMutex);
    if (m_pSelf.load() == nullptr)
        return;
    m_sfBlockEventQueue.store(nullptr);
    SFBlockEventQueue::releaseInstance();
    delete m_pSelf.exchange(nullptr);
}

int SFBlockEventQueueWrapper::startBlockEventQueue()
{
    SFBlockEventQueue* queue = m_sfBlockEventQueue.load();
    return queue != nullptr ? queue->startBlockEventQueue() : 0;
}

bool SFBlockEventQueueWrapper::stopBlockEventQueue()
{
    SFBlockEventQueue* queue = m_sfBlockEventQueue.load();
    return queue == nullptr || queue->stopBlockEventQueue();
}

void SFBlockEventQueueWrapper::clearBlockEventQueue()
{
    SFBlockEventQueue::clearBlockEventQueue();
}

bool SFBlockEventQueueWrapper::readAndRemoveBlockEventQueueEntry(RuleEventInfo* out)
{
    return SFBlockEventQueue::readAndRemoveBlockEventQueueEntry(out);
}

} // namespace StatefulFirewall
