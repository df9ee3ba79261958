#include "SFAgentInfo.h"

namespace StatefulFirewall {

SFAgentInfo::SFAgentInfo(ZAV::ILogger& logger) : m_logger(&logger)
{
}

int SFAgentInfo::getAgentInformation(const int&, std::string&)
{
    return 1;
}

void SFAgentInfo::handleInfoChange(const int&)
{
}

} // namespace StatefulFirewall
