#pragma once

// Registration with the platform service as a framework manager: the register and deregister
// messages, the acknowledgement and the wait for it. The daemon's and the command-line tool's
// registration callbacks are thin shells around it.
//
// Owner is the callback class; each such class gets its own class-wide lock and condition.
// Threads: the acknowledgement arrives on the command client's run-loop thread; the
// registration is sent and waited for on the caller's thread (the main thread at start-up, the
// run-loop thread's owner after a reconnection). m_registrationLock guards m_acknowledged: it is
// set and the waiters woken under the lock, and the waiter tests it under the lock before and
// after the wait, so an acknowledgement between the send and the wait is never lost. Waking all
// waiters rather than one keeps a second instance's waiter from swallowing the wake-up.
//
// The acknowledged flag is never cleared: after a reconnection the re-registration runs on the
// run-loop thread's owner while that loop is not reading, so it could never see a new
// acknowledgement and returns true at once instead.
//
// Users link Boost::thread and Boost::chrono (the steady clock of the wait).

#include "ChannelFrame.h"
#include "IFMCommClient.h"
#include "ILogger.h"

#include <boost/chrono/duration.hpp>
#include <boost/chrono/system_clocks.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

#include <exception>
#include <list>
#include <string>
#include <unistd.h>

namespace StatefulFirewall {

template <class Owner> class SFRegistrationCore {
public:
    static constexpr int kAcknowledgementType = ZAV::kRegAckType;
    static constexpr int kAccepted = 1;

    explicit SFRegistrationCore(ZAV::ILogger& logger) : m_logger(logger) {}

    SFRegistrationCore(const SFRegistrationCore&) = delete;
    SFRegistrationCore& operator=(const SFRegistrationCore&) = delete;

    // The messages as sent, for a given process id.
    static std::string registrationMessage(int fmId, int pid)
    {
        return ZAV::encodeRegister(ZAV::RegisterFrame{fmId, pid, ZAV::kRegisterClientKind});
    }
    static std::string deregistrationMessage(int fmId, int pid)
    {
        return ZAV::encodeDeregister(ZAV::DeregisterFrame{fmId, pid});
    }

    // An arriving message: 1 when it is an accepting acknowledgement (now recorded), else 0.
    int acknowledge(int type, int status)
    {
        if (type != kAcknowledgementType || status != kAccepted)
            return 0;
        m_logger.logMessage(5, kComponent, "Received registration acknowledgment from ZAV");
        boost::lock_guard<boost::mutex> lock(m_registrationLock);
        m_acknowledged = true;
        m_regCondition.notify_all();
        return 1;
    }

    // Sends the registration and waits up to timeoutSecs on the steady clock (a clock step at
    // boot must neither cut the wait short nor stretch it) for the acknowledgement. True when it
    // has been recorded, now or at an earlier registration. A failed send throws FMPException.
    bool startFMRegistration(const int& fmId, int timeoutSecs, ZAV::IFMCommClient& client)
    {
        const std::string message = registrationMessage(fmId, static_cast<int>(::getpid()));
        client.sendRawMessage(message.data(), message.size());
        m_logger.logMessage(6, kComponent, "Successfully sent a registration request to ZAV");

        boost::unique_lock<boost::mutex> lock(m_registrationLock);
        if (m_acknowledged)
            return true;
        m_logger.logMessage(6, kComponent, "Waiting for registration acknowledgment or timeout");
        const auto deadline = boost::chrono::steady_clock::now() + boost::chrono::seconds(timeoutSecs);
        m_regCondition.wait_until(lock, deadline, [this] { return m_acknowledged; });
        m_logger.logMessage(6, kComponent, "Done waiting for registration acknowledgment");
        return m_acknowledged;
    }

    // Sends the deregistration; a failure is logged and ignored (shutdown goes on regardless).
    void startFMDeregistration(const int& fmId, ZAV::IFMCommClient& client) noexcept
    {
        std::string detail;
        try {
            const std::string message = deregistrationMessage(fmId, static_cast<int>(::getpid()));
            client.sendRawMessage(message.data(), message.size());
            m_logger.logMessage(6, kComponent, "Successfully sent a deregistration request to ZAV");
            return;
        } catch (const std::exception& e) {
            detail = e.what();
        } catch (...) {
            detail = "an unknown exception";
        }
        m_logger.logMessage(6, kComponent,
                            "Error that occurred in sending the deregistration request to ZAV was ignored");
        m_logger.logMessage(6, kComponent, "The deregistration failed with: " + detail);
    }

    bool isAcknowledged() const
    {
        boost::lock_guard<boost::mutex> lock(m_registrationLock);
        return m_acknowledged;
    }

private:
    static constexpr const char* kComponent = "RegistrationCallback";

    ZAV::ILogger& m_logger;
    bool m_acknowledged = false; // guarded by m_registrationLock

    static inline boost::mutex m_registrationLock;
    static inline boost::condition_variable m_regCondition;
};

} // namespace StatefulFirewall
