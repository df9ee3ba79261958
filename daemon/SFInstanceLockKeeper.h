#pragma once

// Keeps the instance lock file in place for the daemon's whole life, from right after the
// take: a thread of its own waits on the lock's inotify descriptor, its socket and a stop
// pipe, so a lock file removed or replaced during start-up (the agent pause, the registration)
// is put back at once, as it is later, and lets no second tqd in meanwhile. The thread also
// accepts and closes the connections of second tqds asking who holds the socket.
//
// Ownership: owns the lock (taken and watched before it is handed over), the stop pipe and the
// thread; the destructor stops and joins the thread, then frees the lock.
// Threads: made, started and destroyed on one thread (the daemon's main thread). From start
// on, only the keeper's thread uses the lock. onLost runs on that thread, once, when another
// process holds the file the path names; the thread then ends (the daemon's onLost never
// returns). The logger must outlive this object.

#include <boost/thread/thread.hpp>

#include <functional>
#include <memory>
#include <string>

namespace ZAV {
class ILogger;
}

namespace StatefulFirewall {

class SFInstanceLock;

class SFInstanceLockKeeper {
public:
    SFInstanceLockKeeper(std::unique_ptr<SFInstanceLock> lock, ZAV::ILogger& logger, std::string component,
                         std::function<void()> onLost);
    ~SFInstanceLockKeeper();

    SFInstanceLockKeeper(const SFInstanceLockKeeper&) = delete;
    SFInstanceLockKeeper& operator=(const SFInstanceLockKeeper&) = delete;

    // Starts the thread; false with the reason when it cannot be started (the lock is still
    // held, and freed with this object).
    bool start(std::string& failure);

private:
    void run();

    const std::unique_ptr<SFInstanceLock> m_lock;
    ZAV::ILogger& m_logger;
    const std::string m_component;
    const std::function<void()> m_onLost;
    int m_stopRead = -1;
    int m_stopWrite = -1;
    boost::thread m_thread;
};

} // namespace StatefulFirewall
