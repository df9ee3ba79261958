#include "SFInstanceLockKeeper.h"

#include "ILogger.h"
#include "SFInstanceLock.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace StatefulFirewall {

namespace {

// After a failed poll or a failed step: the thread tries again this much later, so a failure
// that lasts cannot make it spin.
constexpr std::chrono::milliseconds kPauseAfterFailure{100};

} // namespace

SFInstanceLockKeeper::SFInstanceLockKeeper(std::unique_ptr<SFInstanceLock> lock, ZAV::ILogger& logger,
                                           std::string component, std::function<void()> onLost)
    : m_lock(std::move(lock)), m_logger(logger), m_component(std::move(component)), m_onLost(std::move(onLost))
{
}

SFInstanceLockKeeper::~SFInstanceLockKeeper()
{
    if (m_thread.joinable()) {
        const char byte = 1;
        // The byte stays in the pipe until the thread reads it, so the stop is never missed.
        [[maybe_unused]] const ssize_t written = ::write(m_stopWrite, &byte, 1);
        try {
            m_thread.join();
        } catch (const std::exception& e) {
            m_logger.logMessage(2, m_component,
                                std::string("Joining the instance lock keeper's thread failed: ") + e.what());
        }
    }
    for (int descriptor : {m_stopRead, m_stopWrite})
        if (descriptor >= 0)
            ::close(descriptor);
}

bool SFInstanceLockKeeper::start(std::string& failure)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        failure = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    m_stopRead = ends[0];
    m_stopWrite = ends[1];
    try {
        m_thread = boost::thread(&SFInstanceLockKeeper::run, this);
    } catch (const std::exception& e) {
        failure = std::string("cannot start a thread: ") + e.what();
        return false;
    }
    return true;
}

void SFInstanceLockKeeper::run()
{
    ::pthread_setname_np(::pthread_self(), "Instance Lock");
    for (;;) {
        try {
            pollfd entries[3] = {{m_stopRead, POLLIN, 0},
                                 {m_lock->watchDescriptor(), POLLIN, 0},
                                 {m_lock->socketDescriptor(), POLLIN, 0}};
            // A negative descriptor (nothing watched, the socket not held) is skipped by poll.
            const int ready = ::poll(entries, 3, -1);
            if (ready < 0) {
                // Only a shortage of memory for the poll; it is tried again, not spun on.
                if (errno != EINTR)
                    std::this_thread::sleep_for(kPauseAfterFailure);
                continue;
            }
            if ((entries[0].revents & POLLIN) != 0)
                return;
            if ((entries[1].revents & POLLIN) != 0 && !m_lock->keepInPlace(m_logger, m_component)) {
                m_onLost();
                return;
            }
            if ((entries[2].revents & POLLIN) != 0)
                m_lock->closePending();
        } catch (const std::exception& e) {
            // A shortage of memory; the events read so far are gone, the next ones wake it again.
            m_logger.logMessage(2, m_component,
                                std::string("Keeping the instance lock file in place failed: ") + e.what());
            std::this_thread::sleep_for(kPauseAfterFailure);
        }
    }
}

} // namespace StatefulFirewall
