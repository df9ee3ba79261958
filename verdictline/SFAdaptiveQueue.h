#pragma once

// The adaptive queue: reads netfilter queue 1, where the iptables driver queues the first reply
// of every connection an adaptive group let through, accepts every packet and learns each TCP
// or UDP one as an SFAdaptiveQueueEntry in a class-wide first-in-first-out buffer of at most
// 4096 records, which the daemon drains.
//
// Ownership: one process-wide instance made by getInstance and freed by releaseInstance; the
// logger is the daemon's and outlives it. The buffer and the current run are class-wide: they
// survive releaseInstance, so records are kept until read or cleared, and a run started through
// a released instance can still be stopped. A run uses nothing of the instance once its start
// has copied what it needs, so releasing during a run frees nothing the run reads.
//
// Threads: startAdaptiveQueue runs the receive loop in the calling thread (the daemon's adaptive
// queue thread), which alone appends; any thread reads, clears and stops. Locks, never nested:
// m_instanceMutex (creation, release, the start's copies), m_adaptiveQueueMutex (the buffer: the
// limit test and the append of one packet in one hold, each removal, the clearing), and the
// runner's own.

#include "SFAdaptiveQueueEntry.h"
#include "SFQueueRunner.h"

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <queue>
#include <string>

struct nlmsghdr;

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IQueueVerdictSink;

class SFAdaptiveQueue {
public:
    static constexpr size_t kMaxEntries = 4096;

    // The first call creates the instance; later calls return it and ignore their logger.
    static SFAdaptiveQueue* getInstance(ZAV::ILogger& logger);
    // Frees the instance (nothing when there is none). Leaves the buffer and a running loop be.
    static void releaseInstance();

    // Opens queue 1 and handles its packets in the calling thread until the run is stopped or its
    // socket fails; returns 0 at once when the queue cannot be opened. Always 0.
    int startAdaptiveQueue();
    // Ends the run current at this moment (see SFQueueRunner::stop); may be repeated.
    bool stopAdaptiveQueue();
    // Class-wide, so they work with no instance alive.
    static void clearAdaptiveQueue();
    // Moves the oldest record into *out; false, *out untouched, when there is none.
    static bool readAndRemoveAdaptiveQueueEntry(SFAdaptiveQueueEntry* out);

    // One queued packet: learned when it is an intact TCP or UDP reply and the buffer has room,
    // and accepted in every case the packet id can be read. Logs under logger. Always MNL_CB_OK.
    static int queueHandler(const nlmsghdr* message, IQueueVerdictSink& verdicts, ZAV::ILogger& logger);

private:
    explicit SFAdaptiveQueue(ZAV::ILogger& logger);

    static bool acceptQueueTraffic(IQueueVerdictSink& verdicts, ZAV::ILogger& logger, uint16_t queueNumber,
                                   uint32_t packetId);

    ZAV::ILogger& m_logger;
    const std::string m_componentName;

    static std::atomic<SFAdaptiveQueue*> m_pSelf;
    static boost::mutex m_instanceMutex;
    static std::queue<SFAdaptiveQueueEntry> adaptiveQueue; // guarded by m_adaptiveQueueMutex
    static boost::mutex m_adaptiveQueueMutex;
    static SFQueueRunner m_netlinkSocket; // the current run of queue 1
};

} // namespace StatefulFirewall
