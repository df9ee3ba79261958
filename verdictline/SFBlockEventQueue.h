#pragma once

// The block-event queue: reads netfilter queue 3, where the block-event chains hand a
// rate-limited share of the packets that reporting block rules drop, drops every packet, and
// records each one whose mark names a rule as a RuleEventInfo in a class-wide
// first-in-first-out buffer of at most 4096 records, which the daemon drains.
//
// Ownership: one process-wide instance made by getInstance and freed by releaseInstance; the
// logger and the configuration controller are the daemon's and outlive it. The buffer and the
// current run are class-wide and survive releaseInstance. A run uses nothing of the instance
// once its start has copied what it needs. Its mark lookup asks the rule manager, creating it
// when none exists, so a run must be stopped before the rule manager is released.
//
// Threads: startBlockEventQueue runs the receive loop in the calling thread (the daemon's
// queue-monitoring thread), which alone appends; any thread reads, clears and stops. Locks,
// never nested: m_instanceMutex (creation, release, the start's copies), m_blockEventQueueMutex
// (the buffer: the limit test, each append and removal, the clearing), and the runner's own.

#include "RuleEventInfo.h"
#include "SFQueueRunner.h"
#include "SFTypes.h"

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <string>

struct nlmsghdr;

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class IConfigController;
class IQueueVerdictSink;
class SFQueuePacket;

class SFBlockEventQueue {
public:
    static constexpr size_t kMaxEntries = 4096;

    // Finds the rule of a packet mark's low 16 bits; false when no rule has it.
    using MarkLookup = std::function<bool(uint16_t mark, KGUID* ruleId)>;

    // The first call creates the instance; later calls return it and ignore their arguments.
    static SFBlockEventQueue* getInstance(ZAV::ILogger& logger, IConfigController& config);
    // Frees the instance (nothing when there is none). Leaves the buffer and a running loop be.
    static void releaseInstance();

    // Opens queue 3 and handles its packets in the calling thread until the run is stopped or
    // its socket fails; returns 0 at once when the queue cannot be opened. Always 0.
    int startBlockEventQueue();
    // Ends the run current at this moment (see SFQueueRunner::stop); may be repeated.
    bool stopBlockEventQueue();
    // Class-wide, so they work with no instance alive.
    static void clearBlockEventQueue();
    // Moves the oldest record into *out; false, *out untouched, when there is none.
    static bool readAndRemoveBlockEventQueueEntry(RuleEventInfo* out);

    // One queued packet: recorded when the buffer has room, lookup finds the rule of its mark and
    // the IPv4 header is intact; dropped in every case the packet id can be read. The runs pass
    // the rule manager's getNfMarkVsRuleUid as lookup. Always MNL_CB_OK.
    static int queueHandler(const nlmsghdr* message, IQueueVerdictSink& verdicts, ZAV::ILogger& logger,
                            const MarkLookup& lookup);

private:
    SFBlockEventQueue(ZAV::ILogger& logger, IConfigController& config);

    static void recordPacket(const SFQueuePacket& packet, ZAV::ILogger& logger, const MarkLookup& lookup);
    static bool blockQueueTraffic(IQueueVerdictSink& verdicts, ZAV::ILogger& logger, uint16_t queueNumber,
                                  uint32_t packetId);

    ZAV::ILogger& m_logger;
    const std::string m_componentName;
    IConfigController& m_configController;

    static std::atomic<SFBlockEventQueue*> m_pSelf;
    static boost::mutex m_instanceMutex;
    static std::queue<RuleEventInfo> blockEventQueue; // guarded by m_blockEventQueueMutex
    static boost::mutex m_blockEventQueueMutex;
    static SFQueueRunner m_netlinkSocket; // the current run of queue 3
};

} // namespace StatefulFirewall
