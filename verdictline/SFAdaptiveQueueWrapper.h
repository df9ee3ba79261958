#pragma once

// The daemon's entry to the adaptive queue: one process-wide facade that forwards every call to
// the SFAdaptiveQueue instance it created. Creation and release are serialised by
// m_instanceMutex. The logger is the daemon's and outlives the facade.
//
// Stop contract: stopAdaptiveQueue ends the run current at that moment and may be repeated.
// Callers stop, join the thread that runs startAdaptiveQueue (stopping again when the join has
// not ended within about 100 ms: the stop may have come before that thread opened the queue),
// then call releaseInstance. Releasing before the join frees nothing the running loop uses.

#include "SFAdaptiveQueueEntry.h"

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <string>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class SFAdaptiveQueue;

class SFAdaptiveQueueWrapper {
public:
    // The first call also creates the adaptive queue; later calls return the same facade.
    static SFAdaptiveQueueWrapper* getInstance(ZAV::ILogger& logger);
    // Releases the adaptive queue and deletes the facade; nothing when there is none. The
    // buffered records stay until read or cleared.
    static void releaseInstance();

    // Runs queue 1 in the calling thread until stopped; always 0.
    int startAdaptiveQueue();
    // Unbinds queue 1 and ends its loop; false when the unbind could not be sent.
    bool stopAdaptiveQueue();
    // Class-wide, so the daemon may call them after releaseInstance.
    static void clearAdaptiveQueue();
    static bool readAndRemoveAdaptiveQueueEntry(SFAdaptiveQueueEntry* out);

private:
    explicit SFAdaptiveQueueWrapper(ZAV::ILogger& logger);

    ZAV::ILogger& m_logger;
    const std::string m_componentName;

    static std::atomic<SFAdaptiveQueueWrapper*> m_pSelf;
    static boost::mutex m_instanceMutex;
    // Set with the facade, cleared when the queue is released.
    static std::atomic<SFAdaptiveQueue*> m_sfAdaptiveQueue;
};

} // namespace StatefulFirewall
