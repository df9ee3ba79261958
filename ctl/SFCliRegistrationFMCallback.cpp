#include "SFCliRegistrationFMCallback.h"

namespace StatefulFirewall {

SFCliRegistrationFMCallback::SFCliRegistrationFMCallback(ZAV::ILogger& logger)
    : m_supportedTypes{SFRegistrationCore<SFCliRegistrationFMCallback>::kAcknowledgementType},
      m_core(logger)
{
}

SFCliRegistrationFMCallback::~SFCliRegistrationFMCallback() = default;

std::list<int> SFCliRegistrationFMCallback::getSupportedFMMessageTypes()
{
    return m_supportedTypes;
}

int SFCliRegistrationFMCallback::callbackFMToProcessMessage(const int& type, void* /*data*/,
                                                            unsigned long /*size*/,
                                                            const int& status)
{
    // The acknowledgement's body is not read: its type and status say all.
    return m_core.acknowledge(type, status);
}

bool SFCliRegistrationFMCallback::startFMRegistration(const int& fmId, int timeoutSecs,
                                                      ZAV::IFMCommClient& client)
{
    return m_core.startFMRegistration(fmId, timeoutSecs, client);
}

void SFCliRegistrationFMCallback::startFMDeregistration(const int& fmId, ZAV::IFMCommClient& client)
{
    m_core.startFMDeregistration(fmId, client);
}

} // namespace StatefulFirewall
