#include "CommandCallbackForCLIFM.h"

#include "ChannelFrame.h"

namespace ZAV {

CommandCallbackForCLIFM::CommandCallbackForCLIFM(ILogger& logger)
    : m_exchange(logger, "CommandCallbackForCLIFM")
{
}

std::list<int> CommandCallbackForCLIFM::getSupportedFMMessageTypes()
{
    return {kResponseType, kAltResponseType};
}

int CommandCallbackForCLIFM::callbackFMToProcessMessage(const int& type, void* data,
                                                        unsigned long size, const int& /*status*/)
{
    if (type == kResponseType || type == kAltResponseType)
        return m_exchange.deliver(data, size);
    return 0;
}

void CommandCallbackForCLIFM::sendCommandRequest(CommandRequest& request, CommandResponse& response,
                                                 const int& sourceFmId, IFMCommClient& client,
                                                 bool sendFlag)
{
    m_exchange.send(request, response, sourceFmId, client, sendFlag);
}

void CommandCallbackForCLIFM::connectionClosed()
{
    m_exchange.connectionClosed();
}

} // namespace ZAV
