#pragma once

// The daemon's registration with the platform service as framework manager 7000: it sends the
// registration and waits for the acknowledgement, takes the acknowledgement (message type 2)
// from the command client, and sends the deregistration at shutdown. The work is done by
// SFRegistrationCore; see there for the locking and for why the flag is never cleared.
//
// Ownership: borrows the logger. Threads: callbackFMToProcessMessage on the command client's
// run-loop thread; the two registration calls on the main thread, or on the comm thread after
// a reconnection.

#include "IFMCallback.h"
#include "SFRegistrationCore.h"

#include <list>

namespace ZAV {
class IFMCommClient;
class ILogger;
} // namespace ZAV

namespace StatefulFirewall {

constexpr int SF_DAEMON_FM_ID = 7000;

class SFRegistrationFMCallback : public ZAV::IRegistrationFMCallback {
public:
    explicit SFRegistrationFMCallback(ZAV::ILogger& logger);
    ~SFRegistrationFMCallback() override;

    SFRegistrationFMCallback(const SFRegistrationFMCallback&) = delete;
    SFRegistrationFMCallback& operator=(const SFRegistrationFMCallback&) = delete;

    // {2}: only the registration acknowledgement.
    std::list<int> getSupportedFMMessageTypes() override;
    // 1 for an acknowledgement with status 1, else 0 and nothing changes.
    int callbackFMToProcessMessage(const int& type, void* data, unsigned long size,
                                   const int& status) override;

    // True when acknowledged within timeoutSecs, or at an earlier registration.
    bool startFMRegistration(const int& fmId, int timeoutSecs, ZAV::IFMCommClient& client);
    // Never throws.
    void startFMDeregistration(const int& fmId, ZAV::IFMCommClient& client);

private:
    std::list<int> m_supportedTypes;
    SFRegistrationCore<SFRegistrationFMCallback> m_core;
};

} // namespace StatefulFirewall
