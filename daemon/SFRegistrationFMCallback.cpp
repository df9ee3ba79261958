#include "SFRegistrationFMCallback.h"

namespace StatefulFirewall {

SFRegistrationFMCallback::SFRegistrationFMCallback(ZAV::ILogger& logger)
    : m_supportedTypes{SFRegistrationCore<SFRegistrationFMCallback>::kAcknowledgementType},
      m_core(logger)
{
}

SFRegistrationFMCallback::~SFRegistrationFMCallback() = default;

std::list<int> SFRegistrationFMCallback::getSupportedFMMessageTypes()
{
    return m_supportedTypes;
}

int SFRegistrationFMCallback::callbackFMToProcessMessage(const int& type, void* /*data*/,
                                                         unsigned long /*size*/, const int& status)
{
    // The acknowledgement's body is not read: its type and status say all.
    return m_core.acknowledge(type, status);
}

bool SFRegistrationFMCallback::startFMRegistration(const int& fmId, int timeoutSecs,
                                                   ZAV::IFMCommClient& client)
{
    return m_core.startFMRegistration(fmId, timeoutSecs, client);
}

void SFRegistrationFMCallback::startFMDeregistration(const int& fmId, ZAV::IFMCommClient& client)
{
    m_core.startFMDeregistration(fmId, client);
}

} // namespace StatefulFirewall
