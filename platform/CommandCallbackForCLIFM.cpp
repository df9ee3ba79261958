#include "CommandCallbackForCLIFM.h"

#include "ChannelFrame.h"
#include "CommandRequest.h"
#include "CommandResponse.h"
#include "ILogger.h"

#include <algorithm>
#include <string>

namespace ZAV {

namespace {

const char* const kComponent = "CommandCallbackForCLIFM";

} // namespace

CommandCallbackForCLIFM::CommandCallbackForCLIFM(ILogger& logger, ReplyBound replyBound)
    : m_logger(logger), m_exchange(logger, kComponent), m_replyBound(std::move(replyBound))
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
    if (m_peerLost) {
        // The peer is still busy with (or stuck in) an earlier request: a new one would only
        // queue behind it.
        response.clearReceivedReply();
        m_logger.logMessage(4, kComponent,
                            "Command " + std::to_string(request.getCommandId()) +
                                " not sent: an earlier request got no reply");
        return;
    }
    const std::chrono::seconds bound = replyBoundOf(request.getCommandId());
    if (m_exchange.send(request, response, sourceFmId, client, sendFlag, bound) ==
        CommandExchange::Outcome::TimedOut)
        m_peerLost = true;
}

std::chrono::seconds CommandCallbackForCLIFM::replyBoundOf(int commandId) const
{
    const std::chrono::seconds bound = m_exchange.timeout();
    return m_replyBound ? std::min(bound, m_replyBound(commandId)) : bound;
}

void CommandCallbackForCLIFM::connectionClosed()
{
    m_exchange.connectionClosed();
}

} // namespace ZAV
