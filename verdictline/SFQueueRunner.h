#pragma once

// The current run of one netfilter queue, shared by the thread that runs it and the threads that
// stop it. Each queue class keeps one, class-wide, so a run started through one instance can
// still be stopped after that instance was released and a new one made.
//
// It holds the run only weakly: the run's own thread keeps it alive, so the socket closes when
// the loop leaves even if nobody ever stops it again, and a stop lends itself a reference just
// long enough to unbind and wake the loop. m_mutex guards m_current; it is never held while
// the run opens, loops or closes.

#include "SFNetfilterSocket.h"

#include <boost/thread/mutex.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class SFQueueRunner {
public:
    // Opens the queue and runs its receive loop in the calling thread until the run is stopped
    // or its socket fails. When the queue cannot be opened, logs "netlink queue socket is not
    // open" under component and returns at once. Takes its arguments by value: the caller
    // (a queue instance) may be released while the loop runs.
    void run(ZAV::ILogger& logger, std::string component, uint16_t queueNumber,
             SFNetfilterSocket::PacketHandler handler, bool reportClose);

    // Ends the run current at this moment. With none (not started yet, already stopped or
    // ended), logs "netlink queue socket is not open" at level 6 and returns true; a caller
    // that raced a starting thread stops again. False only when the unbind could not be sent.
    bool stop(ZAV::ILogger& logger, const std::string& component);

private:
    boost::mutex m_mutex;
    std::weak_ptr<SFNetfilterSocket> m_current; // guarded by m_mutex
};

} // namespace StatefulFirewall
