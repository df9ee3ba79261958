#pragma once

// The tool's registration with the platform service as framework manager 3000: sends the
// registration and waits for the acknowledgement, takes the acknowledgement (message type 2)
// from the command client, and sends the deregistration before the tool stops. The work is
// done by SFRegistrationCore; see there for the locking.
//
// Ownership: borrows the logger. Threads: callbackFMToProcessMessage on the command client's
// run-loop thread; the two registration calls on the main thread.

#include "IFMCallback.h"
#include "SFRegistrationCore.h"

#include <list>

namespace ZAV {
class IFMCommClient;
class ILogger;
} // namespace ZAV

namespace StatefulFirewall {

class SFCliRegistrationFMCallback : public ZAV::IRegistrationFMCallback {
public:
    explicit SFCliRegistrationFMCallback(ZAV::ILogger& logger);
    ~SFCliRegistrationFMCallback() override;

    SFCliRegistrationFMCallback(const SFCliRegistrationFMCallback&) = delete;
    SFCliRegistrationFMCallback& operator=(const SFCliRegistrationFMCallback&) = delete;

    // {2}: only the registration acknowledgement.
    std::list<int> getSupportedFMMessageTypes() override;
    // 1 for an acknowledgement with status 1, else 0 and nothing changes.
    int callbackFMToProcessMessage(const int& type, void* data, unsigned long size,
                                   const int& status) override;
    // True when acknowledged within timeoutSecs. A failed send throws FMPException.
    bool startFMRegistration(const int& fmId, int timeoutSecs, ZAV::IFMCommClient& client);
    // Never throws.
    void startFMDeregistration(const int& fmId, ZAV::IFMCommClient& client);

private:
    std::list<int> m_supportedTypes;
    SFRegistrationCore<SFCliRegistrationFMCallback> m_core;
};

} // namespace StatefulFirewall
