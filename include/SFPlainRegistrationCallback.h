#pragma once

// The registration callback of a small program that only registers, sends commands and
// deregisters (the command sender zavcall and the round-trip benchmark): it takes the
// acknowledgement and nothing else. The registration itself is SFRegistrationCore's.
// Threads and locks: as SFRegistrationCore says; this class adds no state.

#include "IFMCallback.h"
#include "SFRegistrationCore.h"

#include <list>

namespace StatefulFirewall {

class SFPlainRegistrationCallback : public ZAV::IRegistrationFMCallback {
public:
    explicit SFPlainRegistrationCallback(ZAV::ILogger& logger) : m_core(logger) {}

    std::list<int> getSupportedFMMessageTypes() override { return {m_core.kAcknowledgementType}; }
    int callbackFMToProcessMessage(const int& type, void*, unsigned long, const int& status) override
    {
        return m_core.acknowledge(type, status);
    }
    SFRegistrationCore<SFPlainRegistrationCallback>& core() { return m_core; }

private:
    SFRegistrationCore<SFPlainRegistrationCallback> m_core;
};

} // namespace StatefulFirewall
