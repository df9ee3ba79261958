#pragma once

// The daemon's entry to adaptive aggregation: one process-wide facade that forwards every call
// to the SFAdaptiveAggregation instance it created. Creation and release are serialised by
// m_instanceMutex; the forwarded calls are not locked, because only the daemon's adaptive
// consume thread makes them and the release comes after that thread has ended. The logger and
// the interface monitor are owned by the daemon and outlive the facade.

#include "AggregatedRuleMap.h"
#include "SFAdaptiveQueueEntry.h"

#include <boost/thread/mutex.hpp>

#include <atomic>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class INwIFManager;
class SFAdaptiveAggregation;

class SFAdaptiveAggregationWrapper {
public:
    // The first call also creates the aggregation with the same arguments; later calls return
    // the same facade and ignore theirs.
    static SFAdaptiveAggregationWrapper* getInstance(ZAV::ILogger& logger, INwIFManager& manager);
    // Drops the aggregation with all its maps, then the facade; learning starts again from
    // empty maps at the next getInstance. Nothing when there is none.
    static void releaseInstance();

    // True when the record changed a map.
    bool aggregateRule(const SFAdaptiveQueueEntry* entry);
    // Copy the two maps of one protocol and kind of source out, incoming first; a null
    // pointer is left out.
    void getTcpPublicAggregatedRules(AggregatedRuleMap* incoming, AggregatedRuleMap* outgoing);
    void getUdpPublicAggregatedRules(AggregatedRuleMap* incoming, AggregatedRuleMap* outgoing);
    void getTcpPrivateAggregatedRules(AggregatedRuleMap* incoming, AggregatedRuleMap* outgoing);
    void getUdpPrivateAggregatedRules(AggregatedRuleMap* incoming, AggregatedRuleMap* outgoing);
    void clearAllAggregatedRules();

private:
    SFAdaptiveAggregationWrapper(ZAV::ILogger& logger, INwIFManager& manager);

    ZAV::ILogger& m_logger;
    INwIFManager& m_nwIFManager;

    static std::atomic<SFAdaptiveAggregationWrapper*> m_pSelf;
    static boost::mutex m_instanceMutex;
    // Set with the facade, cleared when the aggregation is released.
    static std::atomic<SFAdaptiveAggregation*> m_sFAdaptiveAggregation;
};

} // namespace StatefulFirewall
