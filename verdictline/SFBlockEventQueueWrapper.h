#pragma once

// The daemon's entry to the block-event queue: one process-wide facade that forwards every call
// to the SFBlockEventQueue instance it created. Creation and release are serialised by
// m_instanceMutex. The logger and the configuration controller are the daemon's and outlive
// the facade.
//
// Stop contract: stopBlockEventQueue ends the run current at that moment and may be repeated.
// Callers stop, join the thread that runs startBlockEventQueue (stopping again when the join has
// not ended within about 100 ms: the stop may have come before that thread opened the queue),
// then call releaseInstance, and release the rule manager only after that. Releasing before the
// join frees nothing the running loop uses.

#include "RuleEventInfo.h"

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <string>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IConfigController;
class SFBlockEventQueue;

class SFBlockEventQueueWrapper {
public:
    // The first call also creates the block-event queue with the same arguments; later calls
    // return the same facade.
    static SFBlockEventQueueWrapper* getInstance(ZAV::ILogger& logger, IConfigController& config);
    // Releases the block-event queue and deletes the facade; nothing when there is none. The
    // buffered records stay until read or cleared.
    static void releaseInstance();

    // Runs queue 3 in the calling thread until stopped; always 0.
    int startBlockEventQueue();
    // Unbinds queue 3 and ends its loop; false when the unbind could not be sent.
    bool stopBlockEventQueue();
    // Class-wide, so the daemon may call them after releaseInstance.
    static void clearBlockEventQueue();
    static bool readAndRemoveBlockEventQueueEntry(RuleEventInfo* out);

private:
    SFBlockEventQueueWrapper(ZAV::ILogger& logger, IConfigController& config);

    ZAV::ILogger& m_logger;
    const std::string m_componentName;
    IConfigController& m_configController;

    static std::atomic<SFBlockEventQueueWrapper*> m_pSelf;
    static boost::mutex m_instanceMutex;
    // Set with the facade, cleared when the queue is released.
    static std::atomic<SFBlockEventQueue*> m_sfBlockEventQueue;
};

} // namespace StatefulFirewall
