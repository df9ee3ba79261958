#include "CommandCallbackForServiceFM.h"

#include "ChannelFrame.h"
#include "CommandNWRequest.h"
#include "FMPException.h"
#include "IFMCommandRequestImpl.h"
#include "ILogger.h"
#include "ISocket.h"

#include <variant>

namespace ZAV {

namespace {
const char* const kComponent = "CommandCallbackForServiceFM";
}

CommandCallbackForServiceFM::CommandCallbackForServiceFM(ISocket& socket, ILogger& logger,
                                                         IFMCommandRequestImpl& handler)
    : m_socket(socket), m_logger(logger), m_handler(handler), m_exchange(logger, kComponent)
{
}

std::list<int> CommandCallbackForServiceFM::getSupportedFMMessageTypes()
{
    return {kRequestType, kResponseType, kAltResponseType};
}

int CommandCallbackForServiceFM::callbackFMToProcessMessage(const int& type, void* data,
                                                            unsigned long size, const int& /*status*/)
{
    if (type == kRequestType)
        return processRequest(data, size);
    if (type == kResponseType || type == kAltResponseType)
        return m_exchange.deliver(data, size);
    return 0;
}

void CommandCallbackForServiceFM::sendCommandRequest(CommandRequest& request,
                                                     CommandResponse& response,
                                                     const int& sourceFmId, IFMCommClient& client,
                                                     bool sendFlag)
{
    m_exchange.send(request, response, sourceFmId, client, sendFlag);
}

void CommandCallbackForServiceFM::connectionClosed()
{
    m_exchange.connectionClosed();
}

int CommandCallbackForServiceFM::processRequest(const void* data, unsigned long size)
{
    RequestFrame frame;
    try {
        FrameDecoder decoder;
        decoder.feed(static_cast<const char*>(data), size);
        Frame decoded;
        if (!decoder.next(decoded) || decoder.buffered() != 0 ||
            !std::holds_alternative<RequestFrame>(decoded)) {
            m_logger.logMessage(4, kComponent, "Dropped a request message that is not one whole request frame");
            return 0;
        }
        frame = std::move(std::get<RequestFrame>(decoded));
    } catch (const FMPException& e) {
        m_logger.logMessage(4, kComponent, "Dropped a request message: " + e.getMessage());
        return 0;
    }

    const RequestRecord record = frame.record;
    const std::string command = "command " + std::to_string(record.commandId) + " from " +
                                std::to_string(record.sourceFmId) + " (cookie " +
                                std::to_string(record.cookie) + ")";
    bool replied = false;
    try {
        CommandNWRequest request(std::move(frame));
        replied = m_handler.processCommandForFM(request, record.dataKind != kDataKindWide);
    } catch (const FMPException& e) {
        m_logger.logMessage(2, kComponent, "Handling " + command + " failed: " + e.getMessage());
    } catch (const std::exception& e) {
        m_logger.logMessage(2, kComponent, "Handling " + command + " failed: " + e.what());
    } catch (...) {
        m_logger.logMessage(2, kComponent, "Handling " + command + " failed with an unknown exception");
    }
    if (!replied)
        answerNotHandled(record);
    return 1;
}

void CommandCallbackForServiceFM::answerNotHandled(const RequestRecord& request)
{
    ResponseFrame reply;
    reply.type = kAltResponseType;
    reply.record.commandId = request.commandId;
    reply.record.requesterFmId = request.sourceFmId;
    reply.record.cookie = request.cookie;
    reply.record.completed = 1;
    reply.record.status = 0;
    try {
        const std::string bytes = encodeResponse(reply);
        m_socket.send(bytes.data(), bytes.size(), 1);
        m_logger.logMessage(4, kComponent,
                            "Answered command " + std::to_string(request.commandId) +
                                " with status 0 because its handler sent no reply");
    } catch (const FMPException& e) {
        m_logger.logMessage(2, kComponent, "Cannot answer command " +
                                               std::to_string(request.commandId) + ": " +
                                               e.getMessage());
    }
}

} // namespace ZAV
