#pragma once

// The daemon's command callback: it runs every arriving command request through the handler
// and sends the daemon's own requests (the common policy fetch).
//
// Registered for types 4 (requests) and 8 and 16 (responses to its own sends). A request runs
// the handler on the run-loop thread; whatever escapes the handler is caught and logged, and
// when no reply went out (the handler threw or reported that its send failed) the callback
// answers completed 1, status 0, so the requester is not left waiting.
//
// Ownership: borrows the socket, the logger and the handler. Threads: as CommandExchange.

#include "CommandExchange.h"
#include "ICommandFMCallback.h"

#include <list>

namespace ZAV {

class IFMCommandRequestImpl;
class ILogger;
class ISocket;

class CommandCallbackForServiceFM : public ICommandFMCallback {
public:
    CommandCallbackForServiceFM(ISocket& socket, ILogger& logger, IFMCommandRequestImpl& handler);

    std::list<int> getSupportedFMMessageTypes() override;
    int callbackFMToProcessMessage(const int& type, void* data, unsigned long size,
                                   const int& status) override;
    void sendCommandRequest(CommandRequest& request, CommandResponse& response,
                            const int& sourceFmId, IFMCommClient& client, bool sendFlag) override;
    void connectionClosed() override;

private:
    int processRequest(const void* data, unsigned long size);
    void answerNotHandled(const RequestRecord& request);

    ISocket& m_socket;
    ILogger& m_logger;
    IFMCommandRequestImpl& m_handler;
    CommandExchange m_exchange;
};

} // namespace ZAV
