#include "SFAdaptiveAggregationWrapper.h"

#include "SFAdaptiveAggregation.h"

#include <boost/thread/lock_guard.hpp>

namespace StatefulFirewall {

std::atomic<SFAdaptiveAggregationWrapper*> SFAdaptiveAggregationWrapper::m_pSelf{nullptr};
boost::mutex SFAdaptiveAggregationWrapper::m_instanceMutex;
std::atomic<SFAdaptiveAggregation*> SFAdaptiveAggregationWrapper::m_sFAdaptiveAggregation{nullptr};

namespace {

using Lock = boost::lock_guard<boost::mutex>;

} // namespace

SFAdaptiveAggregationWrapper* SFAdaptiveAggregationWrapper::getInstance(ZAV::ILogger& logger,
                                                                        INwIFManager& manager)
{
    SFAdaptiveAggregationWrapper* self = m_pSelf.load();
    if (self != nullptr)
        return self;
    Lock lock(m_instanceMutex);
    self = m_pSelf.load();
    if (self == nullptr) {
        m_sFAdaptiveAggregation.store(SFAdaptiveAggregation::getInstance(logger, manager));
        self = new SFAdaptiveAggregationWrapper(logger, manager);
        m_pSelf.store(self);
    }
    return self;
}

void SFAdaptiveAggregationWrapper::releaseInstance()
{
    // The aggregation goes first, also when no facade exists, so a reset always starts learning
    // from empty maps.
    m_sFAdaptiveAggregation.store(nullptr);
    SFAdaptiveAggregation::releaseInstance();
    Lock lock(m_instanceMutex);
    delete m_pSelf.exchange(nullptr);
}

SFAdaptiveAggregationWrapper::SFAdaptiveAggregationWrapper(ZAV::ILogger& logger,
                                                           INwIFManager& manager)
    : m_logger(logger), m_nwIFManager(manager)
{
}

bool SFAdaptiveAggregationWrapper::aggregateRule(const SFAdaptiveQueueEntry* entry)
{
    SFAdaptiveAggregation* aggregation = m_sFAdaptiveAggregation.load();
    return aggregation != nullptr && aggregation->aggregateRule(entry);
}

void SFAdaptiveAggregationWrapper::getTcpPublicAggregatedRules(AggregatedRuleMap* incoming,
                                                               AggregatedRuleMap* outgoing)
{
    if (SFAdaptiveAggregation* aggregation = m_sFAdaptiveAggregation.load())
        aggregation->getTcpPublicAggregatedRules(incoming, outgoing);
}

void SFAdaptiveAggregationWrapper::getUdpPublicAggregatedRules(AggregatedRuleMap* incoming,
                                                               AggregatedRuleMap* outgoing)
{
    if (SFAdaptiveAggregation* aggregation = m_sFAdaptiveAggregation.load())
        aggregation->getUdpPublicAggregatedRules(incoming, outgoing);
}

void SFAdaptiveAggregationWrapper::getTcpPrivateAggregatedRules(AggregatedRuleMap* incoming,
                                                                AggregatedRuleMap* outgoing)
{
    if (SFAdaptiveAggregation* aggregation = m_sFAdaptiveAggregation.load())
        aggregation->getTcpPrivateAggregatedRules(incoming, outgoing);
}

void SFAdaptiveAggregationWrapper::getUdpPrivateAggregatedRules(AggregatedRuleMap* incoming,
                                                                AggregatedRuleMap* outgoing)
{
    if (SFAdaptiveAggregation* aggregation = m_sFAdaptiveAggregation.load())
        aggregation->getUdpPrivateAggregatedRules(incoming, outgoing);
}

void SFAdaptiveAggregationWrapper::clearAllAggregatedRules()
{
    if (SFAdaptiveAggregation* aggregation = m_sFAdaptiveAggregation.load())
        aggregation->clearAllAggregatedRules();
}

} // namespace StatefulFirewall
